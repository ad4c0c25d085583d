"""Whether a fitted potential keeps B-C-N crystals and random alloys sound.

A linear model fitted to a few thousand cells can be accurate on its data and still pull atoms
together in arrangements the data lack: a random alloy's like bonds, say. This check shows it:

1. constant-energy molecular dynamics (0.5 fs steps, 1 ps) of 64 atoms started at 1,000 K
   (about 500 K once the energy has shared itself out): diamond, c-BN, and random alloys of
   three compositions on diamond's lattice (``draws`` draws of the sites each). A run is sound if
   its shortest distance stays at ``SHORTEST_SOUND`` or more and its total energy within
   ``EXCURSION_SOUND`` of the start;
2. the same random alloys relaxed, cell and atoms: sound if the shortest distance stays at
   ``SHORTEST_SOUND`` or more and the volume per atom within ``VOLUME_SOUND``.

Only the cells whose elements the model has are run. The distances: bonds in these crystals are
1.4-1.6 A, and N2's is 1.10 A; a collapsing model brings atoms to 0.5-0.9 A.

    from corvane.training.stability import stability_check
    result = stability_check(calc, ("B", "C", "N"), draws=3, log=print)
    result.sound, result.unsound_runs
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field

import numpy as np
from ase import units
from ase.build import bulk

from corvane.training.structures import A_CBN, A_DIAMOND

__all__ = [
    "EXCURSION_SOUND",
    "SHORTEST_SOUND",
    "STABILITY_CELLS",
    "VOLUME_SOUND",
    "StabilityResult",
    "is_random_alloy",
    "md_run",
    "on_random_sites",
    "relax",
    "relaxed_random_alloy",
    "shortest_distance",
    "stability_cell",
    "stability_check",
]

#: (label, borons, nitrogens) of the 64-atom cells; the labelled compositions are random alloys.
STABILITY_CELLS = (
    ("diamond", 0, 0),
    ("c-BN", 32, 32),
    ("C40B12N12", 12, 12),
    ("C36B20N8", 20, 8),
    ("C32B8N24", 8, 24),
)
ALLOY_LATTICE_CONSTANT = 3.60  # A: between diamond's and c-BN's
SHORTEST_SOUND = 1.0  # A
EXCURSION_SOUND = 10.0  # meV/atom
VOLUME_SOUND = (4.0, 10.0)  # A^3 per atom; diamond has 5.7, c-BN 5.9


def is_random_alloy(label: str) -> bool:
    return label not in ("diamond", "c-BN")


def stability_cell(label, n_boron, n_nitrogen, rng):
    """64 atoms of diamond, c-BN, or diamond's lattice with n_boron borons and n_nitrogen
    nitrogens on random sites."""
    if label == "diamond":
        return bulk("C", "diamond", a=A_DIAMOND, cubic=True) * (2, 2, 2)
    if label == "c-BN":
        return bulk("BN", "zincblende", a=A_CBN, cubic=True) * (2, 2, 2)
    atoms = bulk("C", "diamond", a=ALLOY_LATTICE_CONSTANT, cubic=True) * (2, 2, 2)
    return on_random_sites(atoms, n_boron, n_nitrogen, rng)


def on_random_sites(atoms, n_boron, n_nitrogen, rng):
    """`atoms` with n_boron borons and n_nitrogen nitrogens on sites drawn by `rng` (any site:
    like bonds occur as in a random alloy)."""
    sites = rng.permutation(len(atoms))
    atoms.symbols[sites[:n_boron]] = "B"
    atoms.symbols[sites[n_boron : n_boron + n_nitrogen]] = "N"
    return atoms


def shortest_distance(atoms) -> float:
    distances = atoms.get_all_distances(mic=True)
    return float(distances[np.triu_indices(len(atoms), 1)].min())


def md_run(calc, label, n_boron, n_nitrogen, steps=2000, temperature=1000.0, seed=0):
    """(energy drift in meV/atom, largest excursion of the total energy in meV/atom, shortest
    distance in A) of a constant-energy run of a 64-atom stability cell. A run whose shortest
    distance falls below half an angstrom stops there: it has collapsed."""
    from ase.md.verlet import VelocityVerlet

    rng = np.random.default_rng(seed)
    atoms = stability_cell(label, n_boron, n_nitrogen, rng)
    masses = atoms.get_masses()[:, None]
    momenta = rng.normal(size=(len(atoms), 3)) * np.sqrt(masses * units.kB * temperature)
    atoms.set_momenta(momenta - momenta.mean(axis=0))
    atoms.calc = calc
    dynamics = VelocityVerlet(atoms, 0.5 * units.fs)
    start = atoms.get_total_energy()
    energies, shortest = [], np.inf
    for _ in range(max(1, steps // 50)):
        dynamics.run(50)
        energies.append(atoms.get_total_energy())
        shortest = min(shortest, shortest_distance(atoms))
        if shortest < 0.5:
            break
    excursion = np.abs(np.array(energies) - start)
    per_atom = 1000.0 / len(atoms)
    return per_atom * (energies[-1] - start), per_atom * float(excursion.max()), shortest


def relaxed_random_alloy(calc, n_boron, n_nitrogen, seed, steps=400):
    """(shortest distance in A, volume per atom in A^3) of a random alloy relaxed, cell and
    atoms."""
    atoms = stability_cell("alloy", n_boron, n_nitrogen, np.random.default_rng(seed))
    atoms.rattle(0.05, seed=seed)
    relax(atoms, calc, steps=steps)
    return shortest_distance(atoms), atoms.get_volume() / len(atoms)


def relax(atoms, calc, fmax=0.02, steps=400) -> bool:
    """Relaxes `atoms` in place with `calc`, cell and atoms; whether the forces reached `fmax`
    with no distance below half an angstrom. A collapse stops the relaxation there."""
    from ase.filters import FrechetCellFilter
    from ase.optimize import BFGS

    atoms.calc = calc
    optimizer = BFGS(FrechetCellFilter(atoms), logfile=None)
    with warnings.catch_warnings():
        # The cell filter's matrix logarithm warns at round-off level on every step.
        warnings.filterwarnings("ignore", "logm result may be inaccurate", RuntimeWarning)
        for converged in optimizer.irun(fmax=fmax, steps=steps):
            if shortest_distance(atoms) < 0.5:
                return False
            if converged:
                return True
    return False


@dataclass
class StabilityResult:
    runs: int = 0
    unsound_runs: int = 0
    lines: list = field(default_factory=list)  # one per run: what it reached

    @property
    def sound(self) -> bool:
        return self.runs > 0 and self.unsound_runs == 0

    def summary(self) -> str:
        return f"{self.runs - self.unsound_runs} of {self.runs} runs sound"


def stability_check(calc, elements, draws=3, steps=2000, log=None):
    """Runs the stability cells whose elements are all among `elements`, `steps` MD steps each,
    up to the first unsound run (the verdict is then known)."""
    result = StabilityResult()

    def record(line, sound):
        result.runs += 1
        result.unsound_runs += not sound
        result.lines.append(line + ("" if sound else " UNSOUND"))
        if log is not None:
            log("  " + result.lines[-1])
        return sound

    for label, n_boron, n_nitrogen in STABILITY_CELLS:
        present = set(stability_cell(label, n_boron, n_nitrogen, np.random.default_rng(0)).symbols)
        if not present <= set(elements):
            continue
        for seed in range(draws if is_random_alloy(label) else 1):
            _, excursion, shortest = md_run(calc, label, n_boron, n_nitrogen, steps=steps, seed=seed)
            if not record(
                f"{label} draw {seed} MD: shortest {shortest:.3f} A, energy excursion "
                f"{excursion:.1f} meV/atom",
                shortest >= SHORTEST_SOUND and excursion <= EXCURSION_SOUND,
            ):
                return result
            if is_random_alloy(label):
                shortest, volume = relaxed_random_alloy(calc, n_boron, n_nitrogen, seed)
                if not record(
                    f"{label} draw {seed} relaxed: shortest {shortest:.3f} A, {volume:.2f} A^3/atom",
                    shortest >= SHORTEST_SOUND and VOLUME_SOUND[0] < volume < VOLUME_SOUND[1],
                ):
                    return result
    return result
