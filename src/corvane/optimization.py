"""Relaxing structures: calculators from potential files, and ASE's optimisers with a cell filter.

from corvane.optimization import get_calculator, optimize_structure
atoms.calc = get_calculator("BNC.tersoff")
optimize_structure(atoms, fmax=0.01, method="FIRE", pressure=10.0)  # GPa
"""

from __future__ import annotations

import contextlib
import importlib
import math
import os
import warnings

import numpy as np
from ase import units
from ase.filters import FrechetCellFilter
from ase.io.trajectory import Trajectory

from corvane.io.atomic import replacing

__all__ = ["OPTIMIZERS", "get_calculator", "optimize_structure"]

#: ASE optimisers known by name, and the module each comes from.
OPTIMIZERS = {
    "BFGS": "ase.optimize",
    "BFGSLineSearch": "ase.optimize",
    "QuasiNewton": "ase.optimize",
    "LBFGS": "ase.optimize",
    "LBFGSLineSearch": "ase.optimize",
    "FIRE": "ase.optimize",
    "FIRE2": "ase.optimize",
    "MDMin": "ase.optimize",
    "GPMin": "ase.optimize",
    "ODE12r": "ase.optimize",
    "GoodOldQuasiNewton": "ase.optimize",
    "RFO": "ase.optimize",
    "CellAwareBFGS": "ase.optimize",
    "SciPyFminBFGS": "ase.optimize.sciopt",
    "SciPyFminCG": "ase.optimize.sciopt",
}


def get_calculator(potential: str | os.PathLike):
    """A calculator for the potential file `potential`, recognised by its content.

    Tensor files in PyTorch's zip layout (``*.pth``) holding a linear cluster-expansion model
    give :class:`corvane.potentials.ace.AceCalculator`; LAMMPS-format Tersoff files
    (``*.tersoff``) give :class:`corvane.potentials.tersoff.Tersoff`. See :mod:`corvane.potentials`.
    """
    from corvane.potentials import calculator_for

    return calculator_for(potential)


def _optimizer_class(method):
    if not isinstance(method, str):
        raise TypeError(f"method must be the name of an optimiser, got {type(method).__name__}")
    wanted = method.lower()
    for name, module in OPTIMIZERS.items():
        if name.lower() == wanted:
            cls = getattr(importlib.import_module(module), name, None)
            if cls is not None:
                return cls
    available = [n for n, m in OPTIMIZERS.items() if hasattr(importlib.import_module(m), n)]
    raise ValueError(f"unknown optimiser {method!r}; choose one of: {', '.join(available)}")


def optimize_structure(
    atoms,
    fmax: float = 0.05,
    method: str = "LBFGS",
    steps: int = 5000,
    pressure: float = 0.0,
    trajectory: str | os.PathLike | None = "opt.traj",
):
    """Relaxes positions and cell of `atoms` (with its calculator) at `pressure` (GPa).

    fmax: force criterion (eV/A; the cell's generalised forces are held to it as well).
    method: an ASE optimiser by name (see OPTIMIZERS; case does not matter).
    steps: maximum number of optimiser steps.
    trajectory: file every step is written to (None: none written).

    The cell relaxes along periodic directions only (not at all for a molecule). The
    optimiser's log goes to standard output; a run that reaches `steps` without converging says
    so there. Relaxes `atoms` in place and returns it.
    """
    if getattr(atoms, "calc", None) is None:
        raise ValueError("the structure has no calculator attached")
    fmax = float(fmax)
    if not fmax > 0 or not math.isfinite(fmax):
        raise ValueError(f"fmax must be a positive number, got {fmax}")
    if isinstance(steps, bool) or not isinstance(steps, (int, np.integer)) or steps < 0:
        raise ValueError(f"steps must be a non-negative integer, got {steps!r}")
    pressure = float(pressure)
    if not math.isfinite(pressure):
        raise ValueError(f"pressure must be a finite number, got {pressure}")
    cls = _optimizer_class(method)

    pbc = np.asarray(atoms.pbc, dtype=bool)
    if pbc.any():
        voigt = [(0, 0), (1, 1), (2, 2), (1, 2), (0, 2), (0, 1)]
        mask = [bool(pbc[a] and pbc[b]) for a, b in voigt]
        target = FrechetCellFilter(atoms, mask=mask, scalar_pressure=pressure * units.GPa)
    else:
        if pressure:
            raise ValueError("a pressure needs a periodic structure; this one has no periodic direction")
        target = atoms

    # The trajectory is written to a temporary file that replaces an existing one only when the
    # run ends normally: a failed or interrupted run leaves the previous trajectory as it was.
    with contextlib.ExitStack() as stack:
        traj = None
        if trajectory is not None:
            temporary = stack.enter_context(replacing(trajectory, "trajectory file"))
            traj = Trajectory(temporary, "w", atoms)
            stack.callback(traj.close)
        with warnings.catch_warnings():
            # The cell filter's matrix logarithm warns about errors of order 1e-13 near the
            # identity, once per step.
            warnings.filterwarnings("ignore", message="logm result may be inaccurate")
            optimizer = cls(target, logfile="-")
            if traj is not None:
                optimizer.attach(traj)
            converged = optimizer.run(fmax=fmax, steps=int(steps))
    if converged is not None and not converged:  # numpy's bool from ASE's optimisers
        print(f"Warning: {cls.__name__} did not reach fmax = {fmax:g} eV/A in {int(steps)} steps.")
    return atoms
