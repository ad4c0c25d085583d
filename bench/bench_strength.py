"""What a stress-strain curve costs beyond its calculator calls.

    python bench/bench_strength.py [--calculator tersoff|emt] [--repeat 3] [--points 21]

Builds a 1,000-atom cell (diamond, 5x5x5 cubic cells, for Tersoff; fcc Cu, 5x5x10 cubic cells,
for ASE's EMT), runs calculate_tensile_strength over --points strains, and times, in the
same process, the same number of bare stress calls of the same calculator on the same strained
cells. The curve's own cost is the difference. Output is swallowed into a buffer for both, so
terminal speed is not measured. Prints, last, the overhead as a share of the curve's time.
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


def tersoff_setup():
    try:
        from corvane import optimization
        from corvane.data import files
    except ImportError as exc:
        sys.exit(f"the Tersoff calculator is not available ({exc}); use --calculator emt")
    path = os.path.join(os.path.dirname(files.__file__), "BNC.tersoff")
    atoms = bulk("C", "diamond", a=3.566, cubic=True) * (5, 5, 5)
    return atoms, lambda: optimization.get_calculator(path)


def emt_setup():
    from ase.calculators.emt import EMT

    atoms = bulk("Cu", "fcc", a=3.59, cubic=True) * (5, 5, 10)
    return atoms, EMT


def timed(calc):
    """Adds up the time spent inside the calculator's get_stress."""
    inner = calc.get_stress
    calc.inside = 0.0

    def get_stress(*args, **kwargs):
        t0 = time.perf_counter()
        try:
            return inner(*args, **kwargs)
        finally:
            calc.inside += time.perf_counter() - t0

    calc.get_stress = get_stress
    return calc


def run_curve(atoms, make_calc, points, step):
    atoms = atoms.copy()
    calc = timed(make_calc())
    end = step * (points - 1)
    buf = io.StringIO()
    t0 = time.perf_counter()
    with contextlib.redirect_stdout(buf):
        strains, _, _ = strength.calculate_tensile_strength(
            atoms, [1, 0, 0], end_strain=end, interval_strain=step, calculator=calc)
    elapsed = time.perf_counter() - t0
    assert strains.size == points, strains
    return elapsed, calc.inside, strains


def run_bare(atoms, make_calc, strains):
    # The same strained cells, made beforehand; only the stress calls are timed.
    calc = make_calc()
    cells = []
    for eps in strains:
        a = atoms.copy()
        a.set_cell(atoms.cell[:] @ (np.identity(3) + eps * np.outer([1, 0, 0], [1, 0, 0])).T,
                   scale_atoms=True)
        a.calc = calc
        cells.append(a)
    t0 = time.perf_counter()
    for a in cells:
        a.get_stress(voigt=False)
    return time.perf_counter() - t0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calculator", choices=["tersoff", "emt"], default="tersoff")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--points", type=int, default=21)
    parser.add_argument("--step", type=float, default=0.01)
    args = parser.parse_args()

    atoms, make_calc = tersoff_setup() if args.calculator == "tersoff" else emt_setup()
    print(f"{len(atoms)} atoms, {args.calculator}, {args.points} strains, best of {args.repeat}")
    # Warm up: imports, first-call allocations.
    run_curve(atoms, make_calc, 2, args.step)

    curves, bares, outside = [], [], []
    for _ in range(args.repeat):
        t_curve, t_inside, strains = run_curve(atoms, make_calc, args.points, args.step)
        t_bare = run_bare(atoms, make_calc, strains)
        curves.append(t_curve)
        bares.append(t_bare)
        outside.append(t_curve - t_inside)
        print(f"curve {t_curve * 1e3:9.2f} ms (outside the calculator {outside[-1] * 1e3:7.3f} ms)"
              f"   {args.points} bare stress calls {t_bare * 1e3:9.2f} ms")

    t_curve, t_bare, t_out = min(curves), min(bares), statistics.median(outside)
    print(f"curve (best)                          {t_curve * 1e3:9.2f} ms")
    print(f"{args.points} bare stress calls (best)          {t_bare * 1e3:9.2f} ms")
    print(f"curve minus bare calls                {(t_curve - t_bare) * 1e3:9.2f} ms")
    print(f"curve outside the calculator (median) {t_out * 1e3:9.3f} ms")
    print(f"ratio (curve - bare calls) / curve: {(t_curve - t_bare) / t_curve:.4f}")
    print(f"ratio outside the calculator / curve: {t_out / t_curve:.4f}")


if __name__ == "__main__":
    main()
