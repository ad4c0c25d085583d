"""How the cluster-expansion model's test errors on one family fall with that family's data.

    python validation/learning_curve.py [--data data/dft] [--family BCN_alloys]
                                        [--fractions 0.25,0.5,0.75,1] [--penalty 1e-13]
                                        [--mixed-penalty 100]

For each fraction, the model is fitted (fixed penalty and mixed-chemistry factor, no stability
check) to every training cell of the other families and that random fraction of the family's
training cells (the same draw order for every fraction, so each set holds the smaller ones), and
its errors are printed on the family's test cells: all of them, and those less than 0.5 eV/atom
above the lowest of their composition. The last column is the exponent of the latter's energy error
against the number of cells since the row before: -0.5 is the rate of averaging out noise, 0 means
more of the same cells no longer help.
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import numpy as np

from corvane.potentials.ace import AceBasis, AceCalculator
from corvane.training.ace_fit import (
    FitSettings,
    calculator_errors,
    energy_above_lowest,
    fit,
    read_dataset,
    split_of,
)

ROOT = Path(__file__).resolve().parents[1]


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--data", default=str(ROOT / "data" / "dft"))
    parser.add_argument("--family", default="BCN_alloys")
    parser.add_argument("--fractions", default="0.25,0.5,0.75,1")
    parser.add_argument("--penalty", type=float, default=1e-13)
    parser.add_argument("--mixed-penalty", type=float, default=100.0)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args(argv)

    frames = read_dataset([args.data], log=lambda *_: None)
    above = dict(zip(map(id, frames), energy_above_lowest(frames)))
    in_family = [a for a in frames if a.info.get("family") == args.family]
    if not in_family:
        raise SystemExit(f"learning_curve: no cells of family {args.family!r} in {args.data}")
    family_ids = set(map(id, in_family))
    test = [a for a in in_family if split_of(a) == "test"]
    near = [a for a in test if above[id(a)] < 0.5]
    train = sorted((a for a in in_family if split_of(a) == "train"), key=lambda a: str(a.info["name"]))
    order = np.random.default_rng(args.seed).permutation(len(train))
    settings = FitSettings(penalties=(args.penalty,), mixed_penalties=(args.mixed_penalty,))

    print(f"{args.family}: {len(train)} training cells, {len(test)} test cells ({len(near)} < 0.5 eV/atom)")
    print(f"penalty {args.penalty:g}, mixed chemistry x{args.mixed_penalty:g}; E meV/atom, F eV/A, S GPa")
    print(f"{'fraction':>8} {'cells':>6}   {'test E / F / S':>22}   {'< 0.5 eV/atom E / F / S':>24}   slope")
    previous = None
    for fraction in (float(x) for x in args.fractions.split(",")):
        kept = {id(train[k]) for k in order[: round(fraction * len(train))]}
        cells = [a for a in frames if id(a) not in family_ids or split_of(a) != "train" or id(a) in kept]
        model, _ = fit(cells, AceBasis(("B", "C", "N")), settings, log=lambda *_: None)
        calc = AceCalculator(model)
        errors = [calculator_errors(calc, part) for part in (test, near)]
        slope = ""
        if previous is not None:
            slope = f"{math.log(errors[1][0] / previous[1]) / math.log(len(kept) / previous[0]):6.2f}"
        previous = (len(kept), errors[1][0])
        columns = ["{:7.1f} /{:6.3f} /{:5.2f}".format(*e) for e in errors]
        print(f"{fraction:8.2f} {len(kept):6d}   {columns[0]:>22}   {columns[1]:>24}   {slope}", flush=True)


if __name__ == "__main__":
    main()
