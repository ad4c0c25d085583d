"""What a stress-strain curve costs beyond its calculator calls.

    python bench/bench_strength.py [--calculator tersoff|emt] [--threads N] [--repeat 5]

Runs calculate_tensile_strength over 21 strains (0 to 0.2) on a 1,000-atom cell (diamond,
5x5x5 cubic cells, with the Tersoff calculator; fcc Cu, 5x5x10 cubic cells, with ASE's EMT)
and, in the same process, 21 bare stress calls of the same calculator on the same strained
cells made beforehand. Inside the curve it also times the calculator's get_stress and the
structure's set_cell (ASE's, which every step must call to strain the cell and move the atoms
with it), so the module's own share is measured directly rather than as a small difference of
two large, noisy times. A run with a calculator that costs nothing gives the module's own
cost without the cache and scheduling effects of a real calculator between the steps. Output of
the curve goes to a buffer, so terminal speed is not measured. Prints medians of --repeat runs and, last, the ratios to the curve's time.
"""

import argparse
import contextlib
import io
import os
import statistics
import sys
import time

import numpy as np
from ase.build import bulk

from corvane.properties import strength


def tersoff_setup(threads):
    from corvane.data import files

    path = os.path.join(os.path.dirname(files.__file__), "BNC.tersoff")
    try:
        from corvane.optimization import get_calculator
    except ImportError:
        try:  # the calculator itself, where the optimisation service is not there yet
            from corvane.tersoff import Tersoff

            def get_calculator(p):
                return Tersoff(p) if threads is None else Tersoff(p, threads=threads)
        except ImportError as exc:
            sys.exit(f"the Tersoff calculator is not available ({exc}); use --calculator emt")
    print(f"calculator: {get_calculator(path)!r} from {get_calculator.__module__}")
    # Diamond at this potential's zero-pressure lattice constant.
    atoms = bulk("C", "diamond", a=3.6451, cubic=True) * (5, 5, 5)
    return atoms, lambda: get_calculator(path)


def emt_setup(threads):
    from ase.calculators.emt import EMT

    atoms = bulk("Cu", "fcc", a=3.59, cubic=True) * (5, 5, 10)
    return atoms, EMT


class Clock:
    """Adds up the time spent in one bound method, replaced on the instance."""

    def __init__(self, obj, name):
        self.total = 0.0
        inner = getattr(obj, name)

        def timed(*args, **kwargs):
            t0 = time.perf_counter()
            try:
                return inner(*args, **kwargs)
            finally:
                self.total += time.perf_counter() - t0

        setattr(obj, name, timed)


def run_curve(atoms, make_calc, points, step):
    atoms = atoms.copy()
    calc = make_calc()
    in_calc = Clock(calc, "get_stress")
    in_cell = Clock(atoms, "set_cell")
    buf = io.StringIO()
    t0 = time.perf_counter()
    with contextlib.redirect_stdout(buf):
        strains, _, _ = strength.calculate_tensile_strength(
            atoms, [1, 0, 0], end_strain=step * (points - 1), interval_strain=step, calculator=calc
        )
    elapsed = time.perf_counter() - t0
    assert strains.size == points, strains
    return elapsed, in_calc.total, in_cell.total, strains


def run_bare(atoms, make_calc, strains):
    calc = make_calc()
    cells = []
    for eps in strains:
        a = atoms.copy()
        a.set_cell(
            atoms.cell[:] @ (np.identity(3) + eps * np.outer([1, 0, 0], [1, 0, 0])).T, scale_atoms=True
        )
        a.calc = calc
        cells.append(a)
    t0 = time.perf_counter()
    for a in cells:
        a.get_stress(voigt=False)
    return time.perf_counter() - t0


class Instant:
    """A calculator that costs nothing: zero stress, at once."""

    def get_stress(self, atoms=None):
        return np.zeros(6)


def instant_overhead(atoms, points, step, repeat):
    """The curve's cost with a free calculator, minus the same calls made bare."""

    def curve():
        a = atoms.copy()
        with contextlib.redirect_stdout(io.StringIO()):
            t0 = time.perf_counter()
            strength.calculate_tensile_strength(
                a, [1, 0, 0], end_strain=step * (points - 1), interval_strain=step, calculator=Instant()
            )
            return time.perf_counter() - t0

    def cell_and_stress():
        a = atoms.copy()
        a.calc = Instant()
        cell0 = a.cell[:].copy()
        t0 = time.perf_counter()
        for k in range(points):
            eps = k * step
            a.set_cell(cell0 @ (np.identity(3) + eps * np.outer([1, 0, 0], [1, 0, 0])).T, scale_atoms=True)
            a.get_stress(voigt=False)
        return time.perf_counter() - t0

    n = 20 * repeat
    return (
        statistics.median(curve() for _ in range(n)),
        statistics.median(cell_and_stress() for _ in range(n)),
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calculator", choices=["tersoff", "emt"], default="tersoff")
    parser.add_argument("--threads", type=int, default=None, help="Tersoff threads")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--points", type=int, default=21)
    parser.add_argument("--step", type=float, default=0.01)
    args = parser.parse_args()

    setup = tersoff_setup if args.calculator == "tersoff" else emt_setup
    atoms, make_calc = setup(args.threads)
    print(f"{len(atoms)} atoms, {args.points} strains, medians of {args.repeat} runs")
    run_curve(atoms, make_calc, 2, args.step)  # warm-up

    rows = []
    for _ in range(args.repeat):
        total, in_calc, in_cell, strains = run_curve(atoms, make_calc, args.points, args.step)
        bare = run_bare(atoms, make_calc, strains)
        rows.append((total, in_calc, in_cell, bare))
        print(
            f"curve {total * 1e3:8.2f} ms: calculator {in_calc * 1e3:8.2f}, set_cell "
            f"{in_cell * 1e3:6.3f}, module {(total - in_calc - in_cell) * 1e3:6.3f} ms; "
            f"bare calls {bare * 1e3:8.2f} ms"
        )

    total, in_calc, in_cell, bare = (statistics.median(col) for col in zip(*rows))
    own = statistics.median(t - c - s for t, c, s, _ in rows)
    print(f"curve                       {total * 1e3:9.3f} ms")
    print(f"{args.points} bare calculator calls    {bare * 1e3:9.3f} ms")
    print(f"inside the calculator       {in_calc * 1e3:9.3f} ms")
    print(f"inside ASE's set_cell       {in_cell * 1e3:9.3f} ms")
    print(f"the module's own code       {own * 1e3:9.3f} ms")
    free_curve, free_floor = instant_overhead(atoms, args.points, args.step, args.repeat)
    print(
        f"curve with a free calculator {free_curve * 1e3:8.3f} ms, of which set_cell and "
        f"get_stress {free_floor * 1e3:.3f} ms: module {(free_curve - free_floor) * 1e3:.3f} ms"
    )
    print(f"ratio (curve - bare calls) / curve: {(total - bare) / total:.4f}")
    print(f"ratio outside the calculator / curve: {(total - in_calc) / total:.4f}")
    print(f"ratio module's own code / curve: {own / total:.4f}")
    print(f"ratio module's own code (free calculator) / curve: {(free_curve - free_floor) / total:.4f}")


if __name__ == "__main__":
    main()
