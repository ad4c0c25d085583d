"""Calculators and relaxed cubic crystals for the mechanics tests."""

import os

import numpy as np
import pytest
from ase.build import bulk


def tersoff_factory(name="BNC.tersoff"):
    """Makes calculators for the potential file `name` shipped in corvane.data.files."""
    try:
        from corvane import optimization
    except ImportError as exc:
        pytest.skip(f"the Tersoff calculator comes from corvane.optimization, not importable: {exc}")
    from corvane.data import files

    path = os.path.join(os.path.dirname(files.__file__), name)
    return lambda: optimization.get_calculator(path)


def relaxed_cubic(symbols, structure, make_calc, lo=3.3, hi=3.9):
    """The cubic cell at zero pressure under `make_calc()`'s potential, its lattice constant
    found by bisection in [lo, hi] on the stress (positive under tension in ASE)."""
    for _ in range(50):
        a = 0.5 * (lo + hi)
        atoms = bulk(symbols, structure, a=a, cubic=True)
        atoms.calc = make_calc()
        if atoms.get_stress()[0] > 0:
            hi = a
        else:
            lo = a
    atoms = bulk(symbols, structure, a=0.5 * (lo + hi), cubic=True)
    atoms.calc = make_calc()
    return atoms


def diamond_eos_minimum(calc, lattice, near):
    """The lattice constant of diamond's energy minimum under `calc`: a quartic fitted to the
    energies on the grid `lattice`, the stationary point nearest `near`."""
    energies = []
    for a in lattice:
        atoms = bulk("C", "diamond", a=a)
        atoms.calc = calc
        energies.append(atoms.get_potential_energy())
    fit = np.polyfit(lattice, energies, 4)
    roots = np.roots(np.polyder(fit)).real
    return roots[np.argmin(np.abs(roots - near))]
