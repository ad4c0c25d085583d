"""Accuracy against cost of cluster-expansion bases and fit settings, on our PBE data.

    python validation/basis_scan.py [--data data/dft] [--cells 8] [--only NAME ...]

Fits each basis below with each of the fit settings below and prints its errors on the
validation cells that chose its penalty (those of kinds the training split holds) and on the
test split, beside the CPU time of one energy + forces + stress evaluation per atom (one
thread) on rattled cells of 8 n^3 atoms: diamond, and a ternary cell (c-BN with every fourth
atom carbon, C2B2N4, one of the data's alloys; in it every term of the model is evaluated,
while in diamond only those reading carbon neighbours are). A model is chosen on the validation errors alone, on the
cells less than 1 eV/atom above the lowest cell of their family and composition (the range a
relaxation, an elastic constant, an ideal-strength path or a molecular-dynamics run below melting
visits; the strongest rattles reach 2.7 eV/atom, and one such cell would otherwise decide the
choice alone), scored as the sum of each error over its target (5 meV/atom, 0.15 eV/A, 1 GPa):
among those within the time target (20 us per atom-step) on both cells, the one with the fewest
descriptors whose score is within 5 % of the lowest (a few validation cells decide the scores,
so smaller differences are noise). The errors on all validation cells and on the test split
(all of it, and below the same bound) are only reported.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import numpy as np
from ase.build import bulk

from corvane.potentials.ace import AceBasis, AceCalculator
from corvane.potentials.timing import time_per_atom_step
from corvane.training.ace_fit import (
    FitSettings,
    calculator_errors,
    energy_above_lowest,
    fit,
    read_dataset,
    split_of,
)

ROOT = Path(__file__).resolve().parents[1]
ELEMENTS = ("B", "C", "N")

BASES = {
    "12/6,6,6,4/1": AceBasis(ELEMENTS, body2=12, body3=(6, 6, 6, 4), body4=1),
    "12/8,8,6,4/1": AceBasis(ELEMENTS, body2=12, body3=(8, 8, 6, 4), body4=1),
    "12/8,8,8,6/1": AceBasis(ELEMENTS, body2=12, body3=(8, 8, 8, 6), body4=1),
    "12/6,6,6,4/2": AceBasis(ELEMENTS, body2=12, body3=(6, 6, 6, 4), body4=2),
    "12/8,8,4,4/2": AceBasis(ELEMENTS, body2=12, body3=(8, 8, 4, 4), body4=2),
    "12/8,8,6,4/2": AceBasis(ELEMENTS, body2=12, body3=(8, 8, 6, 4), body4=2),
    "12/8,8,6,4/3": AceBasis(ELEMENTS, body2=12, body3=(8, 8, 6, 4), body4=3),
}
SETTINGS = {
    "scale 0.1, plain ridge": FitSettings(energy_scale=0.1, smoothness=0.0),
    "scale 1, plain ridge": FitSettings(energy_scale=1.0, smoothness=0.0),
    "scale 1, smooth 1": FitSettings(energy_scale=1.0, smoothness=1.0),
}
TARGETS = (5.0, 0.15, 1.0)  # meV/atom, eV/A, GPa
TIME_TARGET = 20.0  # us per atom-step, diamond
IN_USE = FitSettings().choice_bound  # eV/atom above the lowest cell of the same family and composition


def _in_units(errors):
    """A fit report's errors as (meV/atom, eV/A, GPa), nan where a kind has no rows."""
    return 1000 * errors.get("energy", np.nan), errors.get("force", np.nan), errors.get("stress", np.nan)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", nargs="+", default=[str(ROOT / "data" / "dft")])
    parser.add_argument("--cells", type=int, default=8)
    parser.add_argument("--only", nargs="*", help="names of the bases to fit (default: all)")
    args = parser.parse_args(argv)
    frames = read_dataset(args.data)
    diamond = bulk("C", "diamond", a=3.57, cubic=True) * ((args.cells,) * 3)
    diamond.rattle(0.01, seed=1)
    ternary = bulk("BN", "zincblende", a=3.60, cubic=True) * ((args.cells,) * 3)
    ternary.symbols[::4] = "C"
    ternary.rattle(0.01, seed=1)

    # The validation cells that score a model are those that chose its penalty (the fit's rule);
    # the test cells below the same bound are picked here.
    above = dict(zip(map(id, frames), energy_above_lowest(frames)))
    test = [a for a in frames if split_of(a) == "test"]
    test_in_use = [a for a in test if above[id(a)] < IN_USE]

    rows = []
    for name, basis in BASES.items():
        if args.only and name not in args.only:
            continue
        timing = None
        for setting, settings in SETTINGS.items():
            start = time.perf_counter()
            model, report = fit(frames, basis, settings, log=lambda *_: None)
            seconds = time.perf_counter() - start
            calc = AceCalculator(model, threads=1)
            if timing is None:  # the cost depends on the basis only
                # Best of five: one evaluation on a shared machine can take twice as long.
                timing = time_per_atom_step(calc, diamond, 5)[1], time_per_atom_step(calc, ternary, 5)[1]
            val = _in_units(report["choice_errors"])
            val_all = _in_units(report["errors"]["validation"])[0]
            test_all = _in_units(report["errors"]["test"])
            test_low = calculator_errors(calc, test_in_use)
            score = sum(v / t for v, t in zip(val, TARGETS))
            rows.append(
                (name, setting, basis.descriptor_count(), *val, val_all, *test_all, *test_low, *timing, score)
            )
            print(f"fitted {name}, {setting} in {seconds:.0f} s", flush=True)
    print(
        f"\n{len(frames)} cells; errors E (meV/atom), F (eV/A), S (GPa) on the validation cells "
        f"of known kinds below {IN_USE:g} eV/atom above their crystal (E on all validation "
        f"cells beside them), on all {len(test)} test cells and on the {len(test_in_use)} "
        f"below the bound; CPU us per atom-step at {len(diamond)} atoms, one thread; score: the "
        f"validation errors below the bound over their targets, summed"
    )
    print(
        f"{'basis':14}{'settings':24}{'K':>5}{'val E':>7}{'F':>7}{'S':>6}{'all E':>7}"
        f"{'test E':>8}{'F':>7}{'S':>6}{'<1 E':>7}{'F':>7}{'S':>6}{'diamond':>9}{'ternary':>9}{'score':>7}"
    )
    for row in rows:
        print(
            f"{row[0]:14}{row[1]:24}{row[2]:5d}{row[3]:7.2f}{row[4]:7.3f}{row[5]:6.2f}{row[6]:7.1f}"
            f"{row[7]:8.2f}{row[8]:7.3f}{row[9]:6.2f}{row[10]:7.2f}{row[11]:7.3f}{row[12]:6.2f}"
            f"{row[13]:9.1f}{row[14]:9.1f}{row[15]:7.2f}"
        )
    fast = [row for row in rows if max(row[13], row[14]) <= TIME_TARGET]
    if fast:
        lowest = min(row[15] for row in fast)
        best = min((row for row in fast if row[15] <= 1.05 * lowest), key=lambda row: (row[2], row[15]))
        print(
            f"chosen (the fewest descriptors within 5 % of the lowest score, both cells within "
            f"{TIME_TARGET:.0f} us): {best[0]}, {best[1]}"
        )


if __name__ == "__main__":
    main()
