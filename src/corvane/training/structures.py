"""The structure families of the B–C–N reference data set.

Every cell is built deterministically (one seeded generator per family), so a rerun produces the
same cells under the same names and a resumed generator skips exactly the finished ones.

Starting geometries use PBE-like lattice constants (diamond 3.573 Å, c-BN 3.625 Å); hexagonal
phases and (111) twins are built from the same cubic constant, with ideal tetrahedral geometry.
"""

from __future__ import annotations

import itertools
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from ase import Atoms
from ase.build import bulk, make_supercell, niggli_reduce
from ase.neighborlist import neighbor_list

A_DIAMOND = 3.573
A_CBN = 3.625
A_GRAPHITE, C_GRAPHITE = 2.467, 6.70  # interlayer spacing fixed: PBE has no dispersion
A_HBN, C_HBN = 2.512, 6.66

#: Fractional in-plane positions of the three close-packed stacking sites.
STACKING_SITES = {"A": (0.0, 0.0), "B": (1 / 3, 2 / 3), "C": (2 / 3, 1 / 3)}


@dataclass
class Cell:
    """One cell to compute: its unique name, family, kind and whether its bands may cross."""

    name: str
    family: str
    kind: str
    atoms: Atoms
    sp3: bool = True
    metallic: bool = False  # sp², metallic or defect cells get the denser k-point mesh
    priority: int = 2  # 0 first; within a priority, smaller cells first
    info: dict = field(default_factory=dict)


# --------------------------------------------------------------------------------------------
# Deformations


def deformed(atoms: Atoms, gradient) -> Atoms:
    """`atoms` under the homogeneous deformation gradient F (rows of the cell map as cell·Fᵀ)."""
    out = atoms.copy()
    out.set_cell(atoms.cell.array @ np.asarray(gradient).T, scale_atoms=True)
    return out


def volume_scaled(atoms: Atoms, factor: float) -> Atoms:
    return deformed(atoms, np.eye(3) * factor ** (1 / 3))


def random_strain(rng, amplitude: float) -> np.ndarray:
    """A random symmetric strain with components uniform in ±amplitude, as a gradient."""
    eps = rng.uniform(-amplitude, amplitude, (3, 3))
    return np.eye(3) + (eps + eps.T) / 2


MIN_DISTANCE = 1.2  # Å: rattled cells closer than this are drawn again (bonds are 1.4–1.6 Å)


def rattled(atoms: Atoms, rng, amplitude: float) -> Atoms:
    """`atoms` with Gaussian displacements of standard deviation `amplitude` per component."""
    from ase.neighborlist import neighbor_list

    while True:
        out = atoms.copy()
        out.positions += rng.normal(0.0, amplitude, out.positions.shape)
        if len(neighbor_list("d", out, MIN_DISTANCE)) == 0:
            return out


def pushed_together(atoms: Atoms, i: int, j: int, distance: float) -> Atoms:
    """`atoms` with atoms i and j moved apart or together symmetrically along the line between
    them (nearest images) until they are `distance` Å apart."""
    out = atoms.copy()
    bond = out.get_distance(i, j, mic=True, vector=True)
    length = np.linalg.norm(bond)
    shift = 0.5 * (length - distance) * bond / length
    positions = out.positions
    positions[i] += shift
    positions[j] -= shift
    out.positions = positions
    return out


# Å: between the bonds of the tetrahedral crystals (1.54-1.57 Å) and their second neighbours (2.5 Å)
BOND_CUTOFF = 2.0
SHORT_DISTANCES = (1.10, 1.35)  # Å; the rattles stop at MIN_DISTANCE
# Å; N2's PBE bond is 1.10 Å, so pressed no closer a nitrogen pair shows only attraction
WALL_DISTANCES = (0.90, 1.10)


def short_contact(atoms: Atoms, pairs, rng, distances=SHORT_DISTANCES) -> tuple[str, Atoms] | None:
    """`atoms` mildly strained and rattled, then one of its bonds between the elements of one
    of `pairs` (drawn by `rng`) pressed to a length drawn from `distances`; with that pair's
    name. None if the crystal has no such bond."""
    first, second = neighbor_list("ij", atoms, BOND_CUTOFF)
    symbols = atoms.get_chemical_symbols()
    bonds = {}
    for i, j in zip(first, second):
        if i < j:
            bonds.setdefault("".join(sorted(symbols[i] + symbols[j])), []).append((i, j))
    present = [pair for pair in pairs if pair in bonds]
    if not present:
        return None
    pair = present[rng.integers(len(present))]
    i, j = bonds[pair][rng.integers(len(bonds[pair]))]
    start = rattled(deformed(atoms, random_strain(rng, 0.02)), rng, 0.03)
    return pair, pushed_together(start, i, j, rng.uniform(*distances))


def uniaxial(direction, strain: float) -> np.ndarray:
    n = np.asarray(direction, float)
    n /= np.linalg.norm(n)
    return np.eye(3) + strain * np.outer(n, n)


def simple_shear(slip, normal, strain: float) -> np.ndarray:
    s = np.asarray(slip, float)
    n = np.asarray(normal, float)
    s /= np.linalg.norm(s)
    n /= np.linalg.norm(n)
    return np.eye(3) + strain * np.outer(s, n)


# --------------------------------------------------------------------------------------------
# Stacked (111) / (0001) tetrahedral cells


def stacked(sequence: str, cation: str, anion: str, a_cubic: float) -> Atoms:
    """A tetrahedral crystal stacked along the hexagonal c axis in the given site sequence.

    Each layer is a cation at its stacking site with an anion straight above it at the bond
    length, so every vertical bond points cation→anion (one polarity throughout) and any
    sequence without a repeated neighbour bonds every anion to three cations of the next layer.
    "ABC" is zinc blende/diamond, "AB" wurtzite/lonsdaleite, "ABCACB" the Σ3 (111) twin with
    two boundaries per cell (the 180° rotation twin, which keeps every bond cation–anion).
    """
    a_hex = a_cubic / np.sqrt(2)
    spacing = a_cubic / np.sqrt(3)
    bond = np.sqrt(3) * a_cubic / 4
    cell = [[a_hex, 0, 0], [-a_hex / 2, a_hex * np.sqrt(3) / 2, 0], [0, 0, spacing * len(sequence)]]
    symbols, scaled = [], []
    for k, site in enumerate(sequence):
        x, y = STACKING_SITES[site]
        z = k * spacing
        symbols += [cation, anion]
        scaled += [[x, y, z / cell[2][2]], [x, y, (z + bond) / cell[2][2]]]
    return Atoms(symbols, scaled_positions=np.mod(scaled, 1.0), cell=cell, pbc=True)


def sp2_sp3_path(cation: str, anion: str, a_cubic: float, fraction: float) -> Atoms:
    """A cell on the path from eclipsed (AA′) sp² sheets (fraction 0) to the wurtzite phase (1).

    In the wurtzite cell of `stacked("AB")` each anion and the cation of the next layer form a
    puckered sheet; flattening both sheets and pulling them 3.3 Å apart gives the layered phase.
    Cell and fractional positions are interpolated linearly, so halfway the sheets are buckled
    and partly bonded: the mixed sp²–sp³ bonding of graphite–diamond and h-BN–w-BN interfaces.
    """
    end = stacked("AB", cation, anion, a_cubic)
    z_end = np.array([1.0, 0.375, 0.5, 0.875])  # cation₀ unwrapped to the top
    sheet_low, sheet_high = (z_end[1] + z_end[2]) / 2, (z_end[3] + z_end[0]) / 2
    z_start = np.array([sheet_high, sheet_low, sheet_low, sheet_high])
    a_sheet, c_sheet = (A_GRAPHITE, C_GRAPHITE) if cation == anion else (A_HBN, C_HBN)
    start_cell = np.array([[a_sheet, 0, 0], [-a_sheet / 2, a_sheet * np.sqrt(3) / 2, 0], [0, 0, c_sheet]])
    scaled = end.get_scaled_positions()
    scaled[:, 2] = (1 - fraction) * z_start + fraction * z_end
    cell = (1 - fraction) * start_cell + fraction * end.cell.array
    return Atoms(end.get_chemical_symbols(), scaled_positions=np.mod(scaled, 1), cell=cell, pbc=True)


def sheets(cation: str, anion: str) -> Atoms:
    """Graphite (AB) or h-BN (AA′, B over N) with the experimental interlayer spacing."""
    a, c = (A_GRAPHITE, C_GRAPHITE) if cation == anion else (A_HBN, C_HBN)
    cell = [[a, 0, 0], [-a / 2, a * np.sqrt(3) / 2, 0], [0, 0, c]]
    if cation == anion:
        scaled = [[0, 0, 0.25], [1 / 3, 2 / 3, 0.25], [0, 0, 0.75], [2 / 3, 1 / 3, 0.75]]
    else:
        scaled = [[1 / 3, 2 / 3, 0.25], [2 / 3, 1 / 3, 0.25], [2 / 3, 1 / 3, 0.75], [1 / 3, 2 / 3, 0.75]]
    return Atoms([cation, anion, cation, anion], scaled_positions=scaled, cell=cell, pbc=True)


def bc2n_orderings() -> list[tuple[str, Atoms]]:
    """Distinct BC2N decorations of small tetrahedral cells, with no B–B or N–N bond.

    Host cells: the 8-atom cubic cell, the fcc primitive cell doubled along one vector and the
    4-atom wurtzite-type cell. Decorations of one host are told apart by every atom's symbol and
    neighbour symbols; the first of each kind in a fixed enumeration order is kept, so the set is
    reproducible.
    """
    from ase.neighborlist import neighbor_list

    a = (A_DIAMOND + A_CBN) / 2
    hosts = {
        "cubic": bulk("C", "diamond", a=a, cubic=True),
        "chain": bulk("C", "diamond", a=a).repeat((2, 1, 1)),
        "hex": stacked("AB", "C", "C", a),
    }
    out = []
    for host_name, host in hosts.items():
        n = len(host)
        i, j = neighbor_list("ij", host, 1.7)
        seen = set()
        for b_sites in itertools.combinations(range(n), n // 4):
            rest = [k for k in range(n) if k not in b_sites]
            for n_sites in itertools.combinations(rest, n // 4):
                symbols = ["C"] * n
                for k in b_sites:
                    symbols[k] = "B"
                for k in n_sites:
                    symbols[k] = "N"
                if any(symbols[p] + symbols[q] in ("BB", "NN") for p, q in zip(i, j)):
                    continue
                signature = tuple(
                    sorted((symbols[p], "".join(sorted(symbols[q] for q in j[i == p]))) for p in range(n))
                )
                if signature in seen:
                    continue
                seen.add(signature)
                cell = host.copy()
                cell.set_chemical_symbols(symbols)
                out.append((f"{host_name}{len(seen)}", cell))
    return out


# --------------------------------------------------------------------------------------------
# Families


def _eos(prefix, family, atoms, factors, **kw):
    return [Cell(f"{prefix}_eos_{f:.3f}", family, "eos", volume_scaled(atoms, f), **kw) for f in factors]


def _strains(prefix, family, atoms, rng, count, amplitude=0.04, first=0, **kw):
    return [
        Cell(
            f"{prefix}_strain_{k:02d}", family, "strain", deformed(atoms, random_strain(rng, amplitude)), **kw
        )
        for k in range(first, first + count)
    ]


def _rattles(prefix, family, atoms, rng, count, strain=0.02, first=0, amplitudes=(0.02, 0.15), **kw):
    cells = []
    low, high = amplitudes
    for k in range(count):
        amplitude = low + (high - low) * k / max(count - 1, 1)  # Å, evenly from low to high
        cell = rattled(deformed(atoms, random_strain(rng, strain)), rng, amplitude)
        cells.append(Cell(f"{prefix}_rattle_{first + k:02d}", family, "rattle", cell, **kw))
    return cells


IDEAL_PATHS = {
    "t100": lambda e: uniaxial([1, 0, 0], e),
    "t110": lambda e: uniaxial([1, 1, 0], e),
    "t111": lambda e: uniaxial([1, 1, 1], e),
    "s111_112": lambda e: simple_shear([1, 1, -2], [1, 1, 1], e),
    "s111_m112": lambda e: simple_shear([-1, -1, 2], [1, 1, 1], e),
}


def _ideal_paths(prefix, family, atoms, strains):
    cells = []
    for path, gradient in IDEAL_PATHS.items():
        for e in strains:
            # Far along the paths the gap may close: use the denser mesh there.
            cells.append(
                Cell(
                    f"{prefix}_{path}_{e:.2f}",
                    family,
                    "ideal_path",
                    deformed(atoms, gradient(e)),
                    metallic=e >= 0.15,
                )
            )
    return cells


def cubic_family(prefix: str, atoms: Atoms, seed: int) -> list[Cell]:
    rng = np.random.default_rng(seed)
    family = prefix
    cells = _eos(prefix, family, atoms, np.linspace(0.92, 1.08, 9), priority=0)
    cells += _strains(prefix, family, atoms, rng, 40)
    cells += _ideal_paths(prefix, family, atoms, [0.05, 0.10, 0.15, 0.20, 0.25, 0.30])
    cells += _rattles(f"{prefix}2", family, atoms, rng, 8)
    conventional = atoms.repeat(1) if len(atoms) == 8 else _conventional(atoms)
    cells += _rattles(f"{prefix}8", family, conventional, rng, 8)
    big = conventional.repeat((2, 2, 1))
    cells += _rattles(f"{prefix}32", family, big, rng, 2, priority=3)
    # More rattled primitive cells from a generator of their own (the cells above stay as they
    # were): the strongly rattled small cells are the hardest to fit and the cheapest to add.
    cells += _rattles(f"{prefix}2", family, atoms, np.random.default_rng(seed + 1000), 4, first=8)
    return cells


def _conventional(primitive: Atoms) -> Atoms:
    symbols = primitive.get_chemical_symbols()
    a = np.linalg.norm(primitive.cell[0]) * np.sqrt(2)
    if symbols[0] == symbols[1]:
        return bulk(symbols[0], "diamond", a=a, cubic=True)
    return bulk("".join(symbols), "zincblende", a=a, cubic=True)


def hexagonal_family(prefix: str, cation: str, anion: str, seed: int) -> list[Cell]:
    rng = np.random.default_rng(seed)
    a = A_DIAMOND if cation == anion else A_CBN
    atoms = stacked("AB", cation, anion, a)
    cells = _eos(prefix, prefix, atoms, np.linspace(0.92, 1.08, 7), priority=1)
    cells += _strains(prefix, prefix, atoms, rng, 16)
    cells += _rattles(prefix, prefix, atoms, rng, 6)
    cells += _rattles(prefix, prefix, atoms, np.random.default_rng(seed + 1000), 4, first=6)
    return cells


def bc2n_family(seed: int) -> list[Cell]:
    rng = np.random.default_rng(seed)
    cells = []
    for label, atoms in bc2n_orderings():
        prefix = f"BC2N_{label}"
        cells += _eos(prefix, "BC2N", atoms, [0.96, 1.0, 1.04], priority=1)
        cells += _strains(prefix, "BC2N", atoms, rng, 4)
        cells += _rattles(prefix, "BC2N", atoms, rng, 4)
    # A second batch with its own generator, so the cells above stay as they were: the many
    # orderings with few cells each were the hardest part of the set to fit.
    rng = np.random.default_rng(seed + 1000)
    for label, atoms in bc2n_orderings():
        prefix = f"BC2N_{label}"
        cells += _eos(prefix, "BC2N", atoms, [0.92, 1.08])
        cells += _strains(prefix, "BC2N", atoms, rng, 4, first=4)
        cells += _rattles(prefix, "BC2N", atoms, rng, 4, first=4)
    # A third batch of rattles: the strongly rattled cells are still the ones fitted worst.
    rng = np.random.default_rng(seed + 2000)
    for label, atoms in bc2n_orderings():
        cells += _rattles(f"BC2N_{label}", "BC2N", atoms, rng, 4, first=8)
    # A fourth batch, strong rattles only: cells 0.5–1.5 eV/atom above the crystal were the
    # whole of the fitted model's remaining error.
    rng = np.random.default_rng(seed + 3000)
    for label, atoms in bc2n_orderings():
        cells += _rattles(f"BC2N_{label}", "BC2N", atoms, rng, 4, first=12, amplitudes=(0.08, 0.15))
    # A fifth batch at moderate amplitudes: the alloys' third batch halved their held-out errors,
    # and BC2N's strongly rattled cells are now the largest errors left.
    rng = np.random.default_rng(seed + 4000)
    for label, atoms in bc2n_orderings():
        cells += _rattles(f"BC2N_{label}", "BC2N", atoms, rng, 2, first=16, amplitudes=(0.06, 0.12))
    return cells


def substituted(host: Atoms, index: int, symbol: str) -> Atoms:
    out = host.copy()
    out[index].symbol = symbol
    return out


def doped_families(seed: int) -> list[Cell]:
    rng = np.random.default_rng(seed)
    diamond8 = bulk("C", "diamond", a=A_DIAMOND, cubic=True)
    diamond16 = bulk("C", "diamond", a=A_DIAMOND).repeat(2)
    cbn8 = bulk("BN", "zincblende", a=A_CBN, cubic=True)
    cells = []
    for dopant in ("B", "N"):
        prefix = f"diamond_{dopant}"
        for size, host in (("8", diamond8), ("16", diamond16)):
            atoms = substituted(host, 0, dopant)
            kw = dict(metallic=True, priority=1 if size == "8" else 2)
            cells += _eos(f"{prefix}{size}", "doped_diamond", atoms, [0.97, 1.0, 1.03], **kw)
            cells += _rattles(
                f"{prefix}{size}", "doped_diamond", atoms, rng, 3 if size == "8" else 1, metallic=True
            )
    for site, index in (("B", 0), ("N", 1)):  # C on the B site, C on the N site
        atoms = substituted(cbn8, index, "C")
        prefix = f"cBN_C{site}"
        cells += _eos(prefix, "doped_cBN", atoms, [0.97, 1.0, 1.03], metallic=True, priority=1)
        cells += _rattles(prefix, "doped_cBN", atoms, rng, 3, metallic=True)
    return cells


def defect_family(seed: int) -> list[Cell]:
    rng = np.random.default_rng(seed)
    host = bulk("BN", "zincblende", a=A_CBN).repeat(2)  # 16 atoms, B on even indices
    defects = {
        "VB": lambda: _removed(host, 0),
        "VN": lambda: _removed(host, 1),
        "BN": lambda: substituted(host, 1, "B"),  # B on an N site
        "NB": lambda: substituted(host, 0, "N"),  # N on a B site
    }
    cells = []
    for label, make in defects.items():
        atoms = make()
        cells.append(Cell(f"cBN_{label}", "cBN_defects", "relaxed", atoms, metallic=True, priority=2))
        cells += _rattles(f"cBN_{label}", "cBN_defects", atoms, rng, 2, strain=0.01, metallic=True)
    return cells


def _removed(atoms: Atoms, index: int) -> Atoms:
    out = atoms.copy()
    del out[index]
    return out


def twin_family(seed: int) -> list[Cell]:
    rng = np.random.default_rng(seed)
    cells = []
    for prefix, cation, anion, a in (("twin_diamond", "C", "C", A_DIAMOND), ("twin_cBN", "B", "N", A_CBN)):
        atoms = stacked("ABCACB", cation, anion, a)
        cells.append(Cell(f"{prefix}_ideal", "twin", "relaxed", atoms, priority=1))
        cells += _strains(prefix, "twin", atoms, rng, 3, amplitude=0.02)
        cells += _rattles(prefix, "twin", atoms, rng, 3)
    return cells


def sp2_families(seed: int) -> list[Cell]:
    rng = np.random.default_rng(seed)
    cells = []
    for prefix, cation, anion in (("graphite", "C", "C"), ("hBN", "B", "N")):
        atoms = sheets(cation, anion)
        for f in (0.96, 0.98, 1.0, 1.02, 1.04):  # in plane only: layers stay apart
            gradient = np.diag([f, f, 1.0])
            cells.append(
                Cell(
                    f"{prefix}_plane_{f:.2f}",
                    "sp2",
                    "eos",
                    deformed(atoms, gradient),
                    sp3=False,
                    metallic=True,
                    priority=1 if f == 1.0 else 2,
                )
            )
        for k in range(3):
            eps = random_strain(rng, 0.03)
            eps[2, :] = eps[:, 2] = 0.0
            eps[2, 2] = 1.0
            cells.append(
                Cell(
                    f"{prefix}_strain_{k:02d}",
                    "sp2",
                    "strain",
                    deformed(atoms, eps),
                    sp3=False,
                    metallic=True,
                )
            )
        cells += _rattles(prefix, "sp2", atoms, rng, 3, strain=0.0, sp3=False, metallic=True)
        for fraction in (0.2, 0.4, 0.5, 0.6, 0.8, 0.9):
            cells.append(
                Cell(
                    f"{prefix}_to_sp3_{fraction:.1f}",
                    "sp2_sp3",
                    "path",
                    sp2_sp3_path(cation, anion, A_DIAMOND if cation == anion else A_CBN, fraction),
                    sp3=False,
                    metallic=True,
                )
            )
    # More rattled sheets, from their own generator so the cells above stay as they were: with
    # three rattles per sheet, the largest one was beyond anything the fit had seen.
    rng = np.random.default_rng(seed + 1000)
    for prefix, cation, anion in (("graphite", "C", "C"), ("hBN", "B", "N")):
        cells += _rattles(
            prefix, "sp2", sheets(cation, anion), rng, 6, strain=0.0, first=3, sp3=False, metallic=True
        )
    # A third batch: a sheet rattled 1.4 eV/atom above the crystal was still beyond the fit's reach.
    rng = np.random.default_rng(seed + 2000)
    for prefix, cation, anion in (("graphite", "C", "C"), ("hBN", "B", "N")):
        cells += _rattles(
            prefix, "sp2", sheets(cation, anion), rng, 8, strain=0.0, first=9, sp3=False, metallic=True
        )
    # A fourth batch, strong rattles only.
    rng = np.random.default_rng(seed + 3000)
    for prefix, cation, anion in (("graphite", "C", "C"), ("hBN", "B", "N")):
        cells += _rattles(
            prefix,
            "sp2",
            sheets(cation, anion),
            rng,
            4,
            strain=0.0,
            first=17,
            amplitudes=(0.08, 0.15),
            sp3=False,
            metallic=True,
        )
    return cells


#: (boron, nitrogen) atoms in the 8-atom cubic cell of the off-stoichiometric alloys; carbon
#: fills the rest. Diamond, c-BN, BC2N and the single dopants are families of their own. New
#: compositions go at the end, so the cells of the earlier ones stay as they are: the last four
#: were added when a model fitted to the others was 1.3-1.5 eV/atom off on B4C3N and BC3N4.
ALLOY_COMPOSITIONS = (
    (1, 1), (3, 3), (2, 1), (1, 2), (3, 1), (1, 3), (4, 2), (2, 4), (3, 2), (2, 3),
    (4, 1), (1, 4), (2, 0), (0, 2),
)  # fmt: skip


def _alloy_lattice_constant(n_boron: int, n_nitrogen: int, n_atoms: int = 8) -> float:
    """Vegard's rule between diamond's and c-BN's by the carbon fraction."""
    carbon = 1.0 - (n_boron + n_nitrogen) / n_atoms
    return carbon * A_DIAMOND + (1 - carbon) * A_CBN


def _decorated(atoms: Atoms, boron_sites, nitrogen_sites) -> Atoms:
    """`atoms` (zincblende B–N) with boron kept on `boron_sites`, nitrogen on `nitrogen_sites`
    and carbon everywhere else."""
    symbols = ["C"] * len(atoms)
    for k in boron_sites:
        symbols[k] = "B"
    for k in nitrogen_sites:
        symbols[k] = "N"
    atoms = atoms.copy()
    atoms.set_chemical_symbols(symbols)
    return atoms


def _sublattices(atoms: Atoms) -> tuple[list[int], list[int]]:
    symbols = atoms.get_chemical_symbols()
    return [k for k, s in enumerate(symbols) if s == "B"], [k for k, s in enumerate(symbols) if s == "N"]


def _alloy_host(n_boron: int, n_nitrogen: int, repeat=None) -> tuple[Atoms, float]:
    """The zincblende B-N cell an alloy of the composition is decorated on, and its lattice
    constant: the 8-atom cubic cell, or with `repeat` that supercell of the primitive cell."""
    n_atoms = 8 if repeat is None else 2 * int(np.prod(repeat))
    a = _alloy_lattice_constant(n_boron, n_nitrogen, n_atoms)
    if repeat is None:
        return bulk("BN", "zincblende", a=a, cubic=True), a
    return bulk("BN", "zincblende", a=a).repeat(repeat), a


def alloy(n_boron: int, n_nitrogen: int, rng, repeat=None) -> Atoms:
    """A zincblende-ordered B–C–N cell: boron only on the cation sublattice and nitrogen only on
    the anion sublattice (so no B–B or N–N bond), the sites drawn by `rng`, carbon on the rest.
    The lattice constant follows the carbon fraction between diamond's and c-BN's. The cell is
    the 8-atom cubic one, or with `repeat` that supercell of the 2-atom primitive cell."""
    atoms, _ = _alloy_host(n_boron, n_nitrogen, repeat)
    cations, anions = _sublattices(atoms)
    return _decorated(
        atoms, rng.choice(cations, n_boron, replace=False), rng.choice(anions, n_nitrogen, replace=False)
    )


def supercell_matrices(multiple: int) -> list[np.ndarray]:
    """Every supercell of `multiple` primitive cells once, as the matrix whose rows are its
    vectors in primitive ones: the transposed Hermite normal forms of that determinant (lower
    triangular, each entry below the diagonal smaller than the diagonal entry of its row)."""
    matrices = []
    for a in range(1, multiple + 1):
        for c in range(1, multiple // a + 1):
            if multiple % (a * c):
                continue
            f = multiple // (a * c)
            for b, d, e in itertools.product(range(c), range(f), range(f)):
                matrices.append(np.array([[a, 0, 0], [b, c, 0], [d, e, f]]).T)
    return matrices


def shell_fingerprint(atoms: Atoms, a: float) -> tuple:
    """For a cell on the ideal sites of zincblende with lattice constant `a`: each element pair
    with the neighbour shells (squared distance in units of a²/16, an integer) out to 1.45 a,
    and how often each occurs per atom. Cells that are one crystal up to symmetry have equal
    fingerprints, so differing fingerprints prove two decorations differ."""
    cutoff = 1.45 * a
    cell = atoms.cell.array
    # every lattice translation that can reach within the cutoff of the cell
    reach = np.ceil(cutoff * np.linalg.norm(np.linalg.inv(cell), axis=0)).astype(int) + 1
    steps = np.stack(np.meshgrid(*[np.arange(-r, r + 1) for r in reach], indexing="ij"), -1).reshape(-1, 3)
    vectors = atoms.positions[None, :, None] - atoms.positions[:, None, None] + (steps @ cell)[None, None]
    squared = np.einsum("ijkx,ijkx->ijk", vectors, vectors)
    first, second, image = np.nonzero((squared < cutoff**2) & (squared > 1e-6))
    shells = np.rint(16 * squared[first, second, image] / a**2).astype(int)
    symbols = atoms.get_chemical_symbols()
    pairs = Counter((symbols[i], symbols[j], shell) for i, j, shell in zip(first, second, shells))
    return tuple(sorted((key, count / len(atoms)) for key, count in pairs.items()))


def _unseen_decorations(candidates, a, rng, seen, count) -> list[Atoms]:
    """Up to `count` of the `candidates` (a zincblende B-N cell, boron sites, nitrogen sites),
    taken in the random order `rng` gives and decorated, that are none of the crystals in
    `seen` (lattice constant `a`) nor each other."""
    known = {shell_fingerprint(atoms, a) for atoms in seen}
    found = []
    for k in rng.permutation(len(candidates)):
        if len(found) == count:
            break
        atoms = _decorated(*candidates[k])
        fingerprint = shell_fingerprint(atoms, a)
        if fingerprint not in known:
            known.add(fingerprint)
            found.append(atoms)
    return found


def _site_choices(supercell: Atoms, n_boron: int, n_nitrogen: int) -> list:
    cations, anions = _sublattices(supercell)
    return [
        (supercell, boron_sites, nitrogen_sites)
        for boron_sites in itertools.combinations(cations, n_boron)
        for nitrogen_sites in itertools.combinations(anions, n_nitrogen)
    ]


def _like_bond_site_choices(supercell: Atoms, n_boron: int, n_nitrogen: int) -> list:
    """Every choice of sites, on either sublattice, for boron and nitrogen that makes at least
    one B-B or N-N bond."""
    first, second = neighbor_list("ij", supercell, BOND_CUTOFF)
    bonds = {(i, j) for i, j in zip(first, second) if i < j}

    def bonded(sites):  # sites ascending, as combinations gives them
        return any(pair in bonds for pair in itertools.combinations(sites, 2))

    choices = []
    for boron_sites in itertools.combinations(range(len(supercell)), n_boron):
        boron_bonded = bonded(boron_sites)
        rest = [k for k in range(len(supercell)) if k not in boron_sites]
        for nitrogen_sites in itertools.combinations(rest, n_nitrogen):
            if boron_bonded or bonded(nitrogen_sites):
                choices.append((supercell, boron_sites, nitrogen_sites))
    return choices


def _nitrogen_cluster_site_choices(supercell: Atoms, n_boron: int, n_nitrogen: int) -> list:
    """Every choice of sites, on either sublattice, for boron and nitrogen in which some
    nitrogen has at least two nitrogen neighbours."""
    first, second = neighbor_list("ij", supercell, BOND_CUTOFF)
    neighbours = [second[first == k] for k in range(len(supercell))]
    choices = []
    for nitrogen_sites in itertools.combinations(range(len(supercell)), n_nitrogen):
        nitrogen = set(nitrogen_sites)
        if max(sum(j in nitrogen for j in neighbours[k]) for k in nitrogen_sites) < 2:
            continue
        rest = [k for k in range(len(supercell)) if k not in nitrogen]
        for boron_sites in itertools.combinations(rest, n_boron):
            choices.append((supercell, boron_sites, nitrogen_sites))
    return choices


def new_decorations(n_boron: int, n_nitrogen: int, rng, seen, count: int) -> list[Atoms]:
    """Up to `count` 8-atom decorations of the composition, drawn by `rng` from every supercell
    of 4 primitive cells and every choice of sites, that are none of the crystals in `seen`
    (same composition and lattice constant) nor each other. Fewer if fewer exist."""
    return _eight_atom_decorations(n_boron, n_nitrogen, rng, seen, count, _site_choices)


def like_bond_decorations(n_boron: int, n_nitrogen: int, rng, seen, count: int) -> list[Atoms]:
    """As :func:`new_decorations`, but boron and nitrogen may sit on either sublattice and each
    decoration holds at least one B-B or N-N bond."""
    return _eight_atom_decorations(n_boron, n_nitrogen, rng, seen, count, _like_bond_site_choices)


def nitrogen_cluster_decorations(n_boron: int, n_nitrogen: int, rng, seen, count: int) -> list[Atoms]:
    """As :func:`like_bond_decorations`, but in each decoration a nitrogen has two or more
    nitrogen neighbours."""
    return _eight_atom_decorations(n_boron, n_nitrogen, rng, seen, count, _nitrogen_cluster_site_choices)


def _eight_atom_decorations(n_boron, n_nitrogen, rng, seen, count, site_choices) -> list[Atoms]:
    a = _alloy_lattice_constant(n_boron, n_nitrogen)
    primitive = bulk("BN", "zincblende", a=a)
    candidates = []
    for matrix in supercell_matrices(4):
        candidates += site_choices(make_supercell(primitive, matrix), n_boron, n_nitrogen)
    found = _unseen_decorations(candidates, a, rng, seen, count)
    for atoms in found:
        niggli_reduce(atoms)  # a compact cell of the same crystal: fewer grid points, better k-mesh
        atoms.wrap()
    return found


def random_decorations(n_boron: int, n_nitrogen: int, rng, seen, count: int, repeat=(2, 2, 2)) -> list[Atoms]:
    """Up to `count` decorations of the composition in the `repeat` supercell of the primitive
    cell (`n_boron`, `n_nitrogen` per that cell), drawn by `rng` from every choice of sites,
    that are none of the crystals in `seen` (same composition and lattice constant, any cell)
    nor each other. Fewer if fewer exist."""
    supercell, a = _alloy_host(n_boron, n_nitrogen, repeat)
    return _unseen_decorations(_site_choices(supercell, n_boron, n_nitrogen), a, rng, seen, count)


def alloy_family(seed: int) -> list[Cell]:
    """Off-stoichiometric B–C–N: without these the models extrapolate on any composition
    other than BC2N's (one measured case was 0.16 eV/atom off). The equilibrium cell and the
    rattles of every composition come before the rest."""
    rng = np.random.default_rng(seed)
    cells, crystals, decorations = [], [], {}
    for n_boron, n_nitrogen in ALLOY_COMPOSITIONS:
        atoms = alloy(n_boron, n_nitrogen, rng)
        prefix = f"alloy_{atoms.get_chemical_formula()}"
        # Unequal boron and nitrogen leave a band partly filled.
        kw = dict(metallic=n_boron != n_nitrogen)
        crystals.append((prefix, atoms, kw))
        decorations[n_boron, n_nitrogen] = [atoms]
        cells += _eos(prefix, "BCN_alloys", atoms, [1.0], priority=1, **kw)
        cells += _rattles(prefix, "BCN_alloys", atoms, rng, 2, priority=1, **kw)
        cells += _eos(prefix, "BCN_alloys", atoms, [0.97, 1.03], **kw)
        cells += _strains(prefix, "BCN_alloys", atoms, rng, 1, **kw)
    # A second batch of strong rattles: with two rattles per composition, the models were
    # 0.1-0.4 eV/atom off on strongly rattled alloys they had not seen. Drawn after the cells
    # above, so that none of those moves.
    for prefix, atoms, kw in crystals:
        cells += _rattles(prefix, "BCN_alloys", atoms, rng, 3, first=2, amplitudes=(0.08, 0.15), **kw)
    # A third batch: with five rattles per composition the fits were still two to three times
    # worse on held-out alloy rattles than on the ones they had seen.
    for prefix, atoms, kw in crystals:
        cells += _rattles(prefix, "BCN_alloys", atoms, rng, 4, first=5, amplitudes=(0.04, 0.15), **kw)
    # A fourth batch with a second decoration of every composition. In the cubic cell each
    # composition has a single decoration up to symmetry, so the cells above show it in one
    # arrangement only; the 2x2x1 supercell of the primitive cell has other periodic images and
    # other second and third neighbours (for B2C2N4 and C6N2 it happens to hold the cubic one
    # again). Its own generator: nothing above moves.
    rng = np.random.default_rng(seed + 1000)
    for n_boron, n_nitrogen in ALLOY_COMPOSITIONS:
        atoms = alloy(n_boron, n_nitrogen, rng, repeat=(2, 2, 1))
        prefix = f"alloy_{atoms.get_chemical_formula()}_p221"
        kw = dict(metallic=n_boron != n_nitrogen)
        cells += _eos(prefix, "BCN_alloys", atoms, [1.0], **kw)
        cells += _rattles(prefix, "BCN_alloys", atoms, rng, 3, amplitudes=(0.04, 0.12), **kw)
        decorations[n_boron, n_nitrogen].append(atoms)
    # A fifth batch: after the fourth the models were still 30-40 meV/atom off on held-out
    # second decorations. So two more per composition from any 8-atom supercell of the
    # primitive cell, one mildly rattled and strained cell each: more arrangements teach more
    # than more rattles of one. Every composition has 7 to 25 decorations in 8 atoms. A sixth
    # batch, from its own generator, adds two more again.
    eight_atom = dict.fromkeys(ALLOY_COMPOSITIONS, 2)  # the cubic and the 2x2x1 decoration

    def eight_atom_batch(rng):
        """Two new 8-atom decorations per composition, numbered on, one cell each."""
        batch = []
        for n_boron, n_nitrogen in ALLOY_COMPOSITIONS:
            seen = decorations[n_boron, n_nitrogen]
            kw = dict(metallic=n_boron != n_nitrogen)
            found = new_decorations(n_boron, n_nitrogen, rng, seen, 2)
            for k, atoms in enumerate(found, start=eight_atom[n_boron, n_nitrogen] + 1):
                prefix = f"alloy_{atoms.get_chemical_formula()}_d{k}"
                batch += _rattles(prefix, "BCN_alloys", atoms, rng, 1, amplitudes=(0.05, 0.05), **kw)
            eight_atom[n_boron, n_nitrogen] += len(found)
            seen += found
        return batch

    for offset in (2000, 3000):
        cells += eight_atom_batch(np.random.default_rng(seed + offset))
    # A seventh batch: one random decoration of each composition in 16 atoms (the 2x2x2
    # supercell of the primitive cell). An ordered 8-atom decoration has two to four distinct
    # environments; a random 16-atom cell has up to sixteen, and its forces tell them apart.
    rng = np.random.default_rng(seed + 4000)
    for n_boron, n_nitrogen in ALLOY_COMPOSITIONS:
        atoms = alloy(2 * n_boron, 2 * n_nitrogen, rng, repeat=(2, 2, 2))
        prefix = f"alloy_{atoms.get_chemical_formula()}_r16"
        kw = dict(metallic=n_boron != n_nitrogen)
        cells += _rattles(prefix, "BCN_alloys", atoms, rng, 1, amplitudes=(0.05, 0.05), **kw)
        decorations[n_boron, n_nitrogen].append(atoms)
    # An eighth batch: two more random 16-atom decorations of each composition, none a crystal
    # already above. With four to six decorations per composition the models were still
    # 50-140 meV/atom off on held-out ones, worst where a dopant pair sits apart (one C6BN cell
    # whose boron and nitrogen share no bond, 0.25 eV/atom above the paired ones, was 0.3
    # eV/atom too low): rarer local environments that random cells hold in numbers.
    rng = np.random.default_rng(seed + 5000)
    for n_boron, n_nitrogen in ALLOY_COMPOSITIONS:
        seen = decorations[n_boron, n_nitrogen]
        kw = dict(metallic=n_boron != n_nitrogen)
        found = random_decorations(2 * n_boron, 2 * n_nitrogen, rng, seen, 2)
        for k, atoms in enumerate(found, start=2):
            prefix = f"alloy_{atoms.get_chemical_formula()}_r16_{k}"
            cells += _rattles(prefix, "BCN_alloys", atoms, rng, 1, amplitudes=(0.05, 0.05), **kw)
        seen += found
    # A ninth and a tenth batch: two more 8-atom decorations per composition each, as in the
    # fifth and sixth, none a crystal above. An 8-atom cell costs a quarter of a 16-atom one in
    # GPAW, so per hour these bring four times the energies, and the energies of arrangements
    # are what the models miss most.
    for offset in (6000, 7000):
        cells += eight_atom_batch(np.random.default_rng(seed + offset))
    # An eleventh batch: every decoration above keeps boron on the cation sublattice and
    # nitrogen on the anion one, so the data held no N-N bond and B-B bonds in one cell only,
    # while a random alloy has both; models fitted without them collapsed random B- and N-rich
    # alloys in hot runs, two atoms of a like pair pulled below 0.9 A. Two 8-atom decorations per
    # composition with such bonds.
    like_bonded = dict.fromkeys(ALLOY_COMPOSITIONS, [])

    def like_bond_batch(rng):
        """Two new like-bond decorations per composition, numbered on, one cell each."""
        batch = []
        for n_boron, n_nitrogen in ALLOY_COMPOSITIONS:
            seen = decorations[n_boron, n_nitrogen]
            kw = dict(metallic=n_boron != n_nitrogen)
            found = like_bond_decorations(n_boron, n_nitrogen, rng, seen, 2)
            first = len(like_bonded[n_boron, n_nitrogen]) + 1
            for k, atoms in enumerate(found, start=first):
                prefix = f"alloy_{atoms.get_chemical_formula()}_l{k}"
                batch += _rattles(prefix, "BCN_alloys", atoms, rng, 1, amplitudes=(0.05, 0.05), **kw)
            like_bonded[n_boron, n_nitrogen] = like_bonded[n_boron, n_nitrogen] + found
            seen += found
        return batch

    cells += like_bond_batch(np.random.default_rng(seed + 8000))
    # A twelfth batch of short contacts: no cell above has two atoms closer than 1.2 A, and in
    # hot runs the models pulled like pairs from 1.1 A to below 0.9 A, energy falling all the
    # way. In each composition's first like-bond decoration, one like pair and one pair with
    # carbon pressed to 1.10-1.35 A teach the repulsion there (C6BN, with no like pair: its
    # cubic cell and a pair with carbon only).
    rng = np.random.default_rng(seed + 9000)
    for n_boron, n_nitrogen in ALLOY_COMPOSITIONS:
        atoms = (like_bonded[n_boron, n_nitrogen] or decorations[n_boron, n_nitrogen])[0]
        suffix = "_l1" if like_bonded[n_boron, n_nitrogen] else ""
        kw = dict(metallic=n_boron != n_nitrogen)
        for pairs in (("BB", "NN"), ("BC", "CN")):
            found = short_contact(atoms, pairs, rng)
            if found is not None:
                pair, pressed = found
                name = f"alloy_{atoms.get_chemical_formula()}{suffix}_short_{pair}"
                # first among what is left: the models' stability waits on these
                cells.append(Cell(name, "BCN_alloys", "short", pressed, priority=1, **kw))
    # A thirteenth batch: two more like-bond decorations per composition. Fitted to the first
    # ten of the eleventh batch, the models were still 0.2 eV/atom and 4 eV/A off on the
    # others: two arrangements per composition teach too little of bonds this strained.
    cells += like_bond_batch(np.random.default_rng(seed + 10000))
    # A fourteenth batch, of nitrogen clusters: fitted to the batches above, the models pulled
    # two nitrogens of random N-rich alloys (C32B8N24) to 0.8 A, where a nitrogen with two or
    # three nitrogen neighbours had a site energy ten times a normal one; the data held N-N
    # bonds one or two at a time, and none shorter than 1.1 A, so nothing showed the repulsion
    # below N2's bond. For each composition with three or more nitrogens in eight atoms: two
    # decorations in which a nitrogen has two or more nitrogen neighbours, and in the first an
    # N-N bond pressed to 0.90-1.10 A.
    rng = np.random.default_rng(seed + 11000)
    for n_boron, n_nitrogen in ALLOY_COMPOSITIONS:
        if n_nitrogen < 3:
            continue
        seen = decorations[n_boron, n_nitrogen]
        kw = dict(metallic=n_boron != n_nitrogen)
        found = nitrogen_cluster_decorations(n_boron, n_nitrogen, rng, seen, 2)
        for k, atoms in enumerate(found, start=1):
            prefix = f"alloy_{atoms.get_chemical_formula()}_n{k}"
            cells += _rattles(prefix, "BCN_alloys", atoms, rng, 1, amplitudes=(0.05, 0.05), priority=1, **kw)
        pair, pressed = short_contact(found[0], ("NN",), rng, WALL_DISTANCES)
        name = f"alloy_{found[0].get_chemical_formula()}_n1_wall_{pair}"
        cells.append(Cell(name, "BCN_alloys", "short", pressed, priority=1, **kw))
        seen += found
    # A fifteenth batch: two more 8-atom decorations per composition on the sublattices (in the
    # eight compositions that have any left) and two with like bonds, as in the tenth and
    # thirteenth. Fitted to a random quarter, half, three quarters and all of the alloy training
    # cells above, the models' errors on the alloy test cells below 0.5 eV/atom fell from 62 to
    # 32, 22 and 21 meV/atom, and on held-out decorations from 152 to 67, 63 and 49: more
    # arrangements still teach.
    cells += eight_atom_batch(np.random.default_rng(seed + 12000))
    cells += like_bond_batch(np.random.default_rng(seed + 13000))
    return cells


#: Alloys relaxed, cell and atoms, by a fitted potential, kept as a file: a refit relaxes them
#: elsewhere, and the data set must not move with it.
MODEL_RELAXED_FILE = Path(__file__).with_name("model_relaxed_alloys.extxyz")


def model_relaxed_family(path: Path = MODEL_RELAXED_FILE) -> list[Cell]:
    """The cells of `path`, named by its `name` fields. PBE at a potential's own minima shows
    what a relaxation with it gets wrong: forces and stresses there should vanish."""
    from ase.io import read

    cells = []
    for stored in read(path, index=":", format="extxyz"):
        atoms = Atoms(stored.symbols, positions=stored.positions, cell=stored.cell, pbc=True)
        counts = Counter(atoms.get_chemical_symbols())
        # Unequal boron and nitrogen leave a band partly filled.
        metallic = counts["B"] != counts["N"]
        cells.append(Cell(stored.info["name"], "BCN_alloys", "relaxed", atoms, metallic=metallic, priority=1))
    return cells


def all_cells() -> list[Cell]:
    """Every cell of the data set, in the order the generator computes them."""
    cells = []
    cells += cubic_family("diamond", bulk("C", "diamond", a=A_DIAMOND), seed=11)
    cells += cubic_family("cBN", bulk("BN", "zincblende", a=A_CBN), seed=12)
    cells += hexagonal_family("lonsdaleite", "C", "C", seed=13)
    cells += hexagonal_family("wBN", "B", "N", seed=14)
    cells += bc2n_family(seed=15)
    cells += doped_families(seed=16)
    cells += defect_family(seed=17)
    cells += twin_family(seed=18)
    cells += sp2_families(seed=19)
    cells += alloy_family(seed=20)
    cells += model_relaxed_family()
    for cell in cells:
        cell.atoms.wrap()
    order = {id(c): k for k, c in enumerate(cells)}
    return sorted(cells, key=lambda c: (c.priority, len(c.atoms), order[id(c)]))
