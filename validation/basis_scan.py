"""Accuracy against cost of cluster-expansion bases fitted to our PBE data.

    python validation/basis_scan.py [--data data/dft] [--cells 8]

Fits each basis below with the same settings as ``corvane fit`` and prints its errors on the
validation cells that chose its penalty (those of kinds the training split holds; a basis is
chosen on them) and on the test split (reported), beside the CPU time of one energy + forces +
stress evaluation per atom (one thread) on a rattled diamond cell and on a rattled BC2N-like
ternary cell of 8 n^3 atoms (in the ternary cell every term of the model is evaluated; in
diamond only those reading carbon neighbours).
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import numpy as np
from ase.build import bulk

from corvane.potentials.ace import AceBasis, AceCalculator
from corvane.potentials.timing import time_per_atom_step
from corvane.training.ace_fit import fit, read_dataset

ROOT = Path(__file__).resolve().parents[1]
ELEMENTS = ("B", "C", "N")

BASES = {
    "body order 3 only": AceBasis(ELEMENTS, body2=8, body3=(4, 4, 4, 3), body4=0, contractions=()),
    "6/3 radial": AceBasis(ELEMENTS, body2=6, body3=(3, 3, 3, 2), body4=1),
    "8/4 radial": AceBasis(ELEMENTS, body2=8, body3=(4, 4, 4, 3), body4=1),
    "10/5 radial": AceBasis(ELEMENTS, body2=10, body3=(5, 5, 5, 4), body4=1),
    "10/5 radial, cutoff 5.0": AceBasis(ELEMENTS, cutoff=5.0, body2=10, body3=(5, 5, 5, 4), body4=1),
    "12/6 radial (default)": AceBasis(ELEMENTS),
    "10/5 radial, 4-body 2": AceBasis(ELEMENTS, body2=10, body3=(5, 5, 5, 4), body4=2),
}


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

    rows = []
    for name, basis in BASES.items():
        if args.only and name not in args.only:
            continue
        start = time.perf_counter()
        model, report = fit(frames, basis, log=lambda *_: None)
        seconds = time.perf_counter() - start
        calc = AceCalculator(model, threads=1)
        errors = [report["choice_errors"], report["errors"].get("test", {})]
        rows.append(
            (
                name,
                basis.descriptor_count(),
                *[
                    value
                    for e in errors
                    for value in (
                        1000 * e.get("energy", np.nan),
                        e.get("force", np.nan),
                        e.get("stress", np.nan),
                    )
                ],
                time_per_atom_step(calc, diamond, 2)[1],
                time_per_atom_step(calc, ternary, 2)[1],
                seconds,
            )
        )
        print(f"fitted {name} in {seconds:.0f} s", flush=True)
    print(
        f"\n{len(frames)} cells; errors E (meV/atom), F (eV/A), S (GPa) on the validation "
        f"cells of known kinds and the test split; CPU us per atom-step at {len(diamond)} "
        f"atoms, one thread"
    )
    print(
        f"{'basis':26}{'K':>5}{'val E':>7}{'F':>7}{'S':>6}{'test E':>8}{'F':>7}{'S':>6}"
        f"{'diamond':>9}{'ternary':>9}{'fit s':>7}"
    )
    for row in rows:
        print(
            f"{row[0]:26}{row[1]:5d}{row[2]:7.2f}{row[3]:7.3f}{row[4]:6.2f}{row[5]:8.2f}"
            f"{row[6]:7.3f}{row[7]:6.2f}{row[8]:9.1f}{row[9]:9.1f}{row[10]:7.0f}"
        )


if __name__ == "__main__":
    main()
