"""PBE at a potential's own minima: what a relaxation with it gets wrong.

    python validation/model_minima.py --write [--model M]   # relax new alloys, write the cells
    python validation/model_minima.py [--data data/dft] [--model M ...]

With ``--write``: random B-C-N alloys on diamond's lattice, any element on any site (so like
bonds and nitrogen clusters occur as in a random alloy), are relaxed, cell and atoms, with the
model and written to the file the data set reads its relaxed cells from. One 8-atom cell per
alloy composition of the data set, and one 16-atom cell per random composition of the stability
check. A relaxation that collapses (a distance below 1 A) is reported and not kept.

Without it: for each relaxed cell the data set holds in PBE, the PBE forces and pressure at the
model's minimum (zero if the model and PBE agree there) and each model's errors on it.
"""

from __future__ import annotations

import argparse
from collections import Counter

import numpy as np
from ase import Atoms, units
from ase.build import bulk
from ase.io import write

from corvane.data import files
from corvane.potentials.ace import AceCalculator
from corvane.training import dataset
from corvane.training.ace_fit import split_of
from corvane.training.stability import (
    SHORTEST_SOUND,
    STABILITY_CELLS,
    is_random_alloy,
    on_random_sites,
    relax,
    shortest_distance,
)
from corvane.training.structures import ALLOY_COMPOSITIONS, MODEL_RELAXED_FILE, _alloy_lattice_constant

SEED = 20 + 14000  # the alloys' seed, offset past their batches


def random_alloy(n_atoms: int, n_boron: int, n_nitrogen: int, rng) -> Atoms:
    """Diamond's lattice (8-atom cubic cell, or the 2x2x2 primitive supercell for 16 atoms) at
    Vegard's lattice constant, with borons and nitrogens on random sites."""
    a = _alloy_lattice_constant(n_boron, n_nitrogen, n_atoms)
    atoms = bulk("C", "diamond", a=a, cubic=True) if n_atoms == 8 else bulk("C", "diamond", a=a).repeat(2)
    on_random_sites(atoms, n_boron, n_nitrogen, rng)
    atoms.rattle(0.05, seed=int(rng.integers(2**31)))
    return atoms


def relaxed_cells(calc, log=print) -> list[Atoms]:
    rng = np.random.default_rng(SEED)
    wanted = [(8, b, n) for b, n in ALLOY_COMPOSITIONS]
    wanted += [(16, b // 4, n // 4) for label, b, n in STABILITY_CELLS if is_random_alloy(label)]
    kept, count = [], Counter()
    for n_atoms, n_boron, n_nitrogen in wanted:
        atoms = random_alloy(n_atoms, n_boron, n_nitrogen, rng)
        converged = relax(atoms, calc)
        formula = atoms.get_chemical_formula()
        count[formula] += 1
        name = f"alloy_{formula}_relaxed_{count[formula]}"
        shortest = shortest_distance(atoms)
        volume = atoms.get_volume() / len(atoms)
        state = "converged" if converged else "NOT converged"
        log(f"{name:28s} {state:13s} shortest {shortest:.3f} A, {volume:.2f} A^3/atom")
        if shortest < SHORTEST_SOUND:
            log("  collapsed: not kept")
            continue
        stored = Atoms(atoms.symbols, positions=atoms.positions, cell=atoms.cell, pbc=True)
        stored.info["name"] = name
        kept.append(stored)
    return kept


def pressure(atoms) -> float:
    """GPa."""
    return -atoms.get_stress()[:3].mean() / units.GPa


def report(data, models):
    frames = [a for a in dataset.read(data) if "_relaxed_" in a.info["name"]]
    if not frames:
        print(f"no relaxed cells in {data} yet")
        return
    calcs = [AceCalculator(m) for m in models]
    head = f"{'cell':28s} {'split':10s} {'PBE max F':>9s} {'PBE P':>7s} {'short':>6s}"
    print(head + "".join(f"  {'dE meV/at':>9s} {'F rmse':>6s} {'dP GPa':>6s}" for _ in models))
    errors = [[] for _ in models]
    for atoms in frames:
        forces = atoms.get_forces()
        pbe_pressure = pressure(atoms)
        line = (
            f"{atoms.info['name']:28s} {split_of(atoms):10s} {np.linalg.norm(forces, axis=1).max():9.3f} "
            f"{pbe_pressure:7.2f} {shortest_distance(atoms):6.3f}"
        )
        for k, calc in enumerate(calcs):
            model = atoms.copy()
            model.calc = calc
            d_energy = 1000 * (model.get_potential_energy() - atoms.get_potential_energy()) / len(atoms)
            d_forces = np.sqrt(np.mean((model.get_forces() - forces) ** 2))
            d_pressure = pressure(model) - pbe_pressure
            errors[k].append((d_energy, d_forces, d_pressure))
            line += f"  {d_energy:9.1f} {d_forces:6.3f} {d_pressure:6.2f}"
        print(line)
    for model, rows in zip(models, errors):
        rows = np.array(rows)
        rms = np.sqrt(np.mean(rows**2, axis=0))
        print(
            f"{model}: RMS over {len(rows)} cells: E {rms[0]:.1f} meV/atom, F {rms[1]:.3f} eV/A, P {rms[2]:.2f} GPa"
        )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--write", action="store_true", help="relax new alloys with the model and write them")
    parser.add_argument("--data", default="data/dft")
    parser.add_argument("--model", action="append", help="model file (default: the shipped one)")
    args = parser.parse_args(argv)
    models = args.model or [str(files.BCN_MS)]
    if args.write:
        cells = relaxed_cells(AceCalculator(models[0]))
        write(MODEL_RELAXED_FILE, cells, format="extxyz")
        print(f"{len(cells)} cells written to {MODEL_RELAXED_FILE}")
    else:
        report(args.data, models)


if __name__ == "__main__":
    main()
