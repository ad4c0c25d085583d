"""The time one energy + forces + stress evaluation takes per atom, as the benchmarks and the
validation scripts report it.

    from corvane.potentials.timing import time_per_atom_step
    wall_us, cpu_us = time_per_atom_step(calc, atoms, repeat=3)
"""

from __future__ import annotations

import time

from ase.calculators.calculator import all_changes

__all__ = ["time_per_atom_step"]


def time_per_atom_step(calc, atoms, repeat: int = 3) -> tuple[float, float]:
    """Best of `repeat` evaluations, neighbour list included, in microseconds per atom: elapsed
    time and this process's CPU time (the fairer figure on a busy machine)."""
    if repeat < 1:
        raise ValueError(f"repeat must be at least 1, got {repeat}")
    wall = cpu = float("inf")
    for _ in range(repeat):
        w, c = time.perf_counter(), time.process_time()
        calc.calculate(atoms, ["energy", "forces", "stress"], all_changes)
        wall = min(wall, time.perf_counter() - w)
        cpu = min(cpu, time.process_time() - c)
    return wall / len(atoms) * 1e6, cpu / len(atoms) * 1e6
