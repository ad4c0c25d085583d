"""Speed of the cluster-expansion calculator against our Tersoff calculator, in the same run.

    python bench/bench_ace.py [--model BCN-ms-v0.0.1.pth] [--cells 8 16] [--repeat 3]

Structures: rattled (0.01 A) cubic supercells of 8 n^3 atoms of diamond, of c-BN, and of a
ternary cell (c-BN with every fourth atom carbon, in which every term of the model is evaluated).
Each figure is one energy + forces + stress evaluation, neighbour list included: best of
--repeat, elapsed and CPU time of this process, per atom, on one thread and on every CPU this
process may use. Prints, last, one line per ratio to Tersoff.
"""

import argparse
from pathlib import Path

from ase.build import bulk

from corvane.data import files
from corvane.potentials import default_threads
from corvane.potentials.ace import AceCalculator
from corvane.potentials.timing import time_per_atom_step
from corvane.tersoff import Tersoff

FILES = Path(files.__file__).parent


def structures(n):
    diamond = bulk("C", "diamond", a=3.57, cubic=True) * (n, n, n)
    cbn = bulk("BN", "zincblende", a=3.62, cubic=True) * (n, n, n)
    ternary = cbn.copy()
    ternary.symbols[::4] = "C"
    for atoms in (diamond, cbn, ternary):
        atoms.rattle(0.01, seed=1)
    return {"diamond": diamond, "c-BN": cbn, "ternary": ternary}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default=str(FILES / "BCN-ms-v0.0.1.pth"))
    parser.add_argument("--cells", type=int, nargs="+", default=[8, 16])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    all_threads = default_threads()
    ratios = []
    for n in args.cells:
        for name, atoms in structures(n).items():
            for threads in sorted({1, all_threads}):
                ace = AceCalculator(args.model, threads=threads)
                ter = Tersoff(FILES / "BNC.tersoff", threads=threads)
                a_wall, a_cpu = time_per_atom_step(ace, atoms, args.repeat)
                t_wall, t_cpu = time_per_atom_step(ter, atoms, args.repeat)
                print(
                    f"{name:8} {len(atoms):6d} atoms, {threads} thread(s): ACE {a_wall:7.2f} us "
                    f"elapsed {a_cpu:7.2f} us CPU per atom-step; Tersoff {t_wall:6.2f} / "
                    f"{t_cpu:6.2f}",
                    flush=True,
                )
                ratios.append((name, len(atoms), threads, a_wall / t_wall, a_cpu, t_cpu))
    for name, n, threads, ratio, a_cpu, t_cpu in ratios:
        print(
            f"ratio ACE/Tersoff {name} {n} atoms {threads} thread(s): {ratio:.1f} elapsed "
            f"(CPU {a_cpu:.1f} vs {t_cpu:.2f} us per atom-step)"
        )


if __name__ == "__main__":
    main()
