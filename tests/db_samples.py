"""Sample ASE databases for the web-viewer tests: real crystals built with ase.build."""

import functools

import ase.db
import numpy as np
from ase.build import bulk, molecule
from ase.calculators.emt import EMT

PHASES = ("diamond", "cubic", "wurtzite", "fcc", "fcc")


@functools.lru_cache(maxsize=None)
def sample_structures(n=50):
    """n (atoms, key_value_pairs, data) triples: diamond, c-BN, w-BN, BC2N, Cu and Al crystals
    (the metals with EMT energy, forces and stress) and, last, a methane molecule without a cell.
    Cached: treat the result as read-only."""
    rng = np.random.default_rng(7)
    out = []
    for i in range(n - 1):
        kind = i % 5
        if kind == 0:
            atoms = bulk("C", "diamond", a=3.567 * (1 + 0.005 * (i % 7 - 3)), cubic=True)
            if i % 10 == 5:  # BC2N: boron and nitrogen on half of the diamond sites
                atoms.symbols[[0, 2]] = "B"
                atoms.symbols[[1, 3]] = "N"
        elif kind == 1:
            atoms = bulk("BN", "zincblende", a=3.615, cubic=True)
        elif kind == 2:
            atoms = bulk("BN", "wurtzite", a=2.55, c=4.21)
        elif kind == 3:
            atoms = bulk("Cu", "fcc", a=3.58 + 0.005 * i, cubic=True)
        else:
            atoms = bulk("Al", "fcc", a=4.05, cubic=True).repeat((2, 1, 1))
        atoms.rattle(0.01, seed=i)
        kv = {"phase": PHASES[kind], "step": i}
        if kind >= 3:
            atoms.calc = EMT()
            atoms.get_potential_energy()
            atoms.get_forces()
            atoms.get_stress()
            kv["hv"] = float(rng.uniform(0.5, 3.0))
        data = {"strain": np.linspace(0, 0.1, 5)} if i % 10 == 0 else {}
        out.append((atoms, kv, data))
    methane = molecule("CH4")
    methane.pbc = False  # and no cell
    out.append((methane, {"phase": "gas", "step": n - 1}, {}))
    return out


def make_database(path, n=50):
    """Writes the sample structures to a new database at path (SQLite .db or .json)."""
    with ase.db.connect(str(path), append=False) as db:
        for atoms, kv, data in sample_structures(n):
            db.write(atoms, data=data, **kv)
    return path
