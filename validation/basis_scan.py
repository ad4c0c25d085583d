"""Accuracy against cost of cluster-expansion bases fitted to our PBE data.

    python validation/basis_scan.py [--data data/dft] [--cells 8]

Fits each basis below with the same settings as ``corvane fit`` and prints its test-split errors
beside the CPU time of one energy + forces + stress evaluation per atom (one thread) on a
rattled diamond cell and on a rattled BC2N-like ternary cell of 8 n^3 atoms (in the ternary cell
every term of the model is evaluated; in diamond only those reading carbon neighbours).
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import numpy as np
from ase.build import bulk
from ase.calculators.calculator import all_changes

from corvane.potentials.ace import AceBasis, AceCalculator
from corvane.training.ace_fit import fit, read_dataset

ROOT = Path(__file__).resolve().parents[1]
ELEMENTS = ("B", "C", "N")

BASES = {
    "body order 3 only": AceBasis(ELEMENTS, body2=8, body3=(4, 4, 4, 3), body4=0,
                                  contractions=()),
    "default (4-body, 1 radial)": AceBasis(ELEMENTS),
    "default, cutoff 5.0": AceBasis(ELEMENTS, cutoff=5.0),
    "medium (4-body, 2 radial)": AceBasis(ELEMENTS, body2=8, body3=(4, 4, 4, 3), body4=2),
    "large (4-body, 3 radial)": AceBasis(ELEMENTS, body2=8, body3=(5, 5, 4, 3), body4=3),
}


def cpu_per_atom_step(calc, atoms, repeat=2):
    best = np.inf
    for _ in range(repeat):
        start = time.process_time()
        calc.calculate(atoms, ["energy", "forces", "stress"], all_changes)
        best = min(best, time.process_time() - start)
    return best / len(atoms) * 1e6


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
        test = report["errors"].get("test", {})
        rows.append((name, basis.descriptor_count(), test.get("energy", np.nan) * 1000,
                     test.get("force", np.nan), test.get("stress", np.nan),
                     cpu_per_atom_step(calc, diamond), cpu_per_atom_step(calc, ternary), seconds))
        print(f"fitted {name} in {seconds:.0f} s", flush=True)
    print(f"\n{len(frames)} cells; test split errors; CPU us per atom-step at {len(diamond)} atoms")
    print(f"{'basis':28}{'K':>6}{'E meV/at':>10}{'F eV/A':>9}{'S GPa':>8}{'diamond':>9}"
          f"{'ternary':>9}{'fit s':>7}")
    for row in rows:
        print(f"{row[0]:28}{row[1]:6d}{row[2]:10.2f}{row[3]:9.3f}{row[4]:8.2f}{row[5]:9.1f}"
              f"{row[6]:9.1f}{row[7]:7.0f}")


if __name__ == "__main__":
    main()
