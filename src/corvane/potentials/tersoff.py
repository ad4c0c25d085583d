"""The Tersoff bond-order potential as an ASE calculator, computed in C++.

Parameters are read from LAMMPS-format Tersoff files (any number of elements, one entry per
ordered element triple), and energies, forces and stresses follow LAMMPS's conventions for them,
so results agree with LAMMPS's ``pair_style tersoff`` to rounding::

    from corvane.potentials.tersoff import Tersoff
    atoms.calc = Tersoff("BNC.tersoff")
    atoms.get_potential_energy(), atoms.get_forces(), atoms.get_stress()

The work is linear in the number of atoms (cell lists) and runs on several threads for large
structures; results do not depend on the number of threads.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from itertools import product
from pathlib import Path

import numpy as np
from ase.calculators.calculator import Calculator, PropertyNotImplementedError, all_changes
from ase.data import chemical_symbols

from corvane import _kernels
from corvane.potentials import default_threads

__all__ = ["FIELDS", "Tersoff", "read_tersoff_file", "stress_from_virial", "write_tersoff_file"]

#: The numbers of one entry, in the order of LAMMPS-format files.
FIELDS = (
    "m",
    "gamma",
    "lambda3",
    "c",
    "d",
    "costheta0",
    "n",
    "beta",
    "lambda2",
    "B",
    "R",
    "D",
    "lambda1",
    "A",
)

Entries = dict[tuple[str, str, str], tuple[float, ...]]


def _check_entry(key, values, where):
    try:
        _kernels.tersoff_check_entry(np.asarray(values, dtype=float))
    except ValueError as exc:
        raise ValueError(f"{where}: illegal entry {' '.join(key)}: {exc}") from None


def read_tersoff_file(path: str | os.PathLike) -> Entries:
    """The entries of a LAMMPS-format Tersoff file: {(i, j, k): (m, gamma, ..., A)}.

    Text after ``#`` is a comment; an entry is three element names and 14 numbers and may run
    over several lines. A malformed, duplicated or illegal entry raises ValueError naming the
    file and line.
    """
    path = Path(path)
    words = []  # (word, line number)
    with open(path, encoding="utf-8") as fh:
        for lineno, line in enumerate(fh, 1):
            words.extend((w, lineno) for w in line.split("#", 1)[0].split())
    per_entry = 3 + len(FIELDS)
    if len(words) % per_entry:
        raise ValueError(
            f"{path}:{words[-1][1]}: incomplete entry at the end of the file "
            f"(each entry has 3 element names and {len(FIELDS)} numbers)"
        )
    entries: Entries = {}
    for start in range(0, len(words), per_entry):
        chunk = words[start : start + per_entry]
        key = tuple(w for w, _ in chunk[:3])
        where = f"{path}:{chunk[0][1]}"
        try:
            values = tuple(float(w) for w, _ in chunk[3:])
        except ValueError:
            bad = next(w for w, _ in chunk[3:] if not _is_number(w))
            raise ValueError(f"{where}: entry {' '.join(key)}: {bad!r} is not a number") from None
        if key in entries:
            raise ValueError(f"{where}: duplicate entry {' '.join(key)}")
        _check_entry(key, values, where)
        entries[key] = values
    if not entries:
        raise ValueError(f"{path}: no Tersoff entries found")
    return entries


def write_tersoff_file(entries: Mapping, path: str | os.PathLike, header: str = "") -> None:
    """Writes `entries` {(i, j, k): 14 numbers in FIELDS order} as a LAMMPS-format file.

    `header` becomes comment lines at the top. Numbers are written so that they read back
    exactly. The file is written beside `path` first and moved over it when complete.
    """
    entries = _entries_from_mapping(entries)
    path = Path(path)
    lines = [f"# {line}".rstrip() for line in header.splitlines()]
    if lines:
        lines.append("#")
    lines.append("# i j k  " + " ".join(FIELDS))
    for key, values in entries.items():
        lines.append(" ".join(key) + "  " + " ".join(repr(float(v)) for v in values))
    from corvane.io.atomic import open_replacing

    with open_replacing(path, "w") as fh:
        fh.write("\n".join(lines) + "\n")


def stress_from_virial(virial: np.ndarray, volume: float) -> np.ndarray:
    """ASE's stress (Voigt xx yy zz yz xz xy, eV/A^3) from the kernel's 3x3 virial."""
    s = 0.5 * (virial + virial.T) / volume
    return np.array([s[0, 0], s[1, 1], s[2, 2], s[1, 2], s[0, 2], s[0, 1]])


def _is_number(word):
    try:
        float(word)
    except ValueError:
        return False
    return True


def _entries_from_mapping(mapping: Mapping) -> Entries:
    entries: Entries = {}
    for key, values in mapping.items():
        if isinstance(key, str) or len(key) != 3:
            raise ValueError(f"Tersoff entry keys are triples of element names, got {key!r}")
        key = tuple(str(k) for k in key)
        if isinstance(values, Mapping):
            missing = [f for f in FIELDS if f not in values]
            if missing:
                raise ValueError(f"entry {' '.join(key)} lacks {', '.join(missing)}")
            values = [values[f] for f in FIELDS]
        values = tuple(float(v) for v in values)
        if len(values) != len(FIELDS):
            raise ValueError(f"entry {' '.join(key)} needs {len(FIELDS)} numbers, got {len(values)}")
        _check_entry(key, values, "parameters")
        entries[key] = values
    if not entries:
        raise ValueError("no Tersoff entries given")
    return entries


class Tersoff(Calculator):
    """Tersoff potential from a LAMMPS-format parameter file.

    potential: path of the parameter file, or a mapping {(i, j, k): 14 numbers in file order, or
        a dict keyed by the names in FIELDS}.
    threads: number of threads (default: the CPUs this process may use). Small structures run
        on one thread whatever is asked; results are the same for every thread count.

    Site energies ("energies") give each atom half of the energy of every bond it takes part in,
    as LAMMPS's per-atom energies and ASE's own Tersoff calculator do.
    """

    implemented_properties = ["energy", "free_energy", "energies", "forces", "stress"]
    nolabel = True

    def __init__(self, potential: str | os.PathLike | Mapping, threads: int | None = None, **kwargs):
        super().__init__(**kwargs)
        if isinstance(potential, Mapping):
            self.potential = None
            self.entries = _entries_from_mapping(potential)
        else:
            self.potential = Path(potential)
            self.entries = read_tersoff_file(self.potential)
        self.elements = tuple(sorted({e for key in self.entries for e in key}))
        if threads is None:
            threads = default_threads()
        if not isinstance(threads, (int, np.integer)) or isinstance(threads, bool) or threads < 1:
            raise ValueError(f"threads must be a positive integer, got {threads!r}")
        self.threads = int(threads)
        self._tables = {}
        self._last_species = None

    def __repr__(self):
        source = str(self.potential) if self.potential is not None else f"{len(self.entries)} entries"
        return f"Tersoff({source!r}, threads={self.threads})"

    def cutoff(self, symbols: Sequence[str] | None = None) -> float:
        """The longest interaction range (R + D) among the entries of the given elements."""
        names = set(self.elements if symbols is None else symbols)
        return max(v[10] + v[11] for k, v in self.entries.items() if set(k) <= names)

    def _table(self, symbols):
        """Parameter array (E, E, E, 14) and its mask for the elements `symbols`, in order."""
        table = self._tables.get(symbols)
        if table is not None:
            return table
        unknown = [s for s in symbols if s not in self.elements]
        if unknown:
            raise ValueError(
                f"no Tersoff parameters for element(s) {', '.join(unknown)} "
                f"(the potential covers {', '.join(self.elements)})"
            )
        e = len(symbols)
        params = np.zeros((e, e, e, len(FIELDS)))
        present = np.zeros((e, e, e), dtype=bool)
        for (a, i), (b, j), (c, k) in product(enumerate(symbols), repeat=3):
            values = self.entries.get((i, j, k))
            if values is None:
                raise ValueError(
                    f"the Tersoff potential has no entry {i} {j} {k}, "
                    f"which a structure with {', '.join(symbols)} needs"
                )
            if j == k and not values[FIELDS.index("n")] > 0:
                raise ValueError(
                    f"the Tersoff entry {i} {j} {k} gives the pair terms of {i}-{j} "
                    "bonds, so its n must be positive"
                )
            params[a, b, c] = values
            present[a, b, c] = True
        self._tables[symbols] = params, present
        return params, present

    def _species(self, numbers):
        """Element names present (in order of atomic number) and each atom's index among them;
        kept while the atomic numbers stay the same, as they do through a relaxation."""
        last = getattr(self, "_last_species", None)
        if last is not None and np.array_equal(last[0], numbers):
            return last[1], last[2]
        unique, species = np.unique(numbers, return_inverse=True)
        names = tuple(chemical_symbols[z] for z in unique)
        species = species.astype(np.int32).reshape(-1)
        self._last_species = (numbers.copy(), names, species)
        return names, species

    def calculate(self, atoms=None, properties=("energy",), system_changes=all_changes):
        super().calculate(atoms, properties, system_changes)
        atoms = self.atoms
        names, species = self._species(atoms.numbers)
        params, present = self._table(names)
        positions = atoms.positions
        if not np.all(np.isfinite(positions)):
            raise ValueError("atomic positions must be finite numbers")
        energy, energies, forces, virial = _kernels.tersoff(
            positions, atoms.cell.array, atoms.pbc, species, params, present, self.threads
        )
        self.results["energy"] = self.results["free_energy"] = energy
        self.results["energies"] = energies
        self.results["forces"] = forces
        volume = abs(atoms.cell.volume) if atoms.cell.rank == 3 else 0.0
        if volume > 0:
            self.results["stress"] = stress_from_virial(virial, volume)
        elif "stress" in properties:
            raise PropertyNotImplementedError("stress needs a cell with three non-zero, independent vectors")
