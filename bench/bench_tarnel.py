"""Bond-strength hardness of diamond supercells: our calculator against plain Python versions.

    python bench/bench_tarnel.py [--sizes 10 20 30] [--python-max 8000] [--python-cached-max 64000]
                                 [--repeat 3]

For each size n the structure is the 8-atom cubic diamond cell repeated n x n x n (8 n^3 atoms).
Timed, in the same process:
  * ASE's neighbor_list("ijd", atoms, 2.5) alone (shared by every version);
  * SimunekHardnessCalculator.calculate_hardness with the module's neighbor_list replaced by one
    that returns the list just computed ("our code": everything but the neighbour search), best of
    --repeat runs;
  * "python": a straightforward Python version of the same algorithm (per-pair loop, the mean
    coordination of the neighbour's element recomputed for every bond type, the product of the
    factors and its root), given the same neighbour list; only on sizes up to --python-max atoms;
  * "python-cached": the same with the element means computed once, up to --python-cached-max.
Prints, last, one line per figure with the ratio to its baseline (python / ours: above 1.0 means
ours is faster) and our time per atom for the linear-scaling check.
"""

import argparse
import time

import numpy as np
from ase.build import bulk
from ase.neighborlist import neighbor_list

from corvane.properties import tarnel
from corvane.properties.tarnel import BondType, SimunekHardnessCalculator

PARAMS = {"C": {"Z": 4, "R": 0.77}}


def python_version(
    atoms, neighbors, params, rcut=2.5, tolerance=0.01, C=1450.0, sigma=2.8, cached_means=False
):
    symbols = atoms.get_chemical_symbols()
    groups = [[] for _ in atoms]
    indices_i, indices_j, distances = neighbors
    cn_total = np.bincount(indices_i, minlength=len(atoms))
    for i, j, distance in zip(indices_i, indices_j, distances):
        neighbor_sym = symbols[j]
        for bt in groups[i]:
            if bt.neighbor_sym == neighbor_sym and abs(bt.representative_distance - distance) < tolerance:
                new_count = bt.count + 1
                bt.representative_distance = (bt.representative_distance * bt.count + distance) / new_count
                bt.count = new_count
                break
        else:
            groups[i].append(BondType(neighbor_sym, distance))

    def e(x):
        return abs(params[x]["Z"]) / params[x]["R"] if params[x]["R"] > 0 else 0

    def eff(c):
        return (4 - c) * 6 if c < 4 else c

    means = {}
    hv_product = 1.0
    total = sum(len(g) for g in groups)
    for i, bond_types in enumerate(groups):
        if cn_total[i] == 0:
            continue
        e_i = e(symbols[i])
        for bt in bond_types:
            sym_j = bt.neighbor_sym
            if cached_means and sym_j in means:
                cn_j_base = means[sym_j]
            else:
                cn_j_base = np.mean([cn_total[k] for k in range(len(atoms)) if symbols[k] == sym_j])
                means[sym_j] = cn_j_base
            cn_i, cn_j = eff(cn_total[i]), eff(cn_j_base)
            if cn_j == 0 or bt.representative_distance < 1e-6:
                continue
            term = np.sqrt(e_i * e(sym_j)) / (cn_i * cn_j * bt.representative_distance)
            hv_product = hv_product * (term * bt.count)
    volume = atoms.get_volume()
    bond_part = hv_product ** (1.0 / total) * total / 2.0
    unique = sorted(set(symbols))
    e_per_type = [e(s) for s in unique]
    fe = 1 - (len(unique) * np.prod(e_per_type) ** (1.0 / len(unique)) / sum(e_per_type)) ** 2.0
    return ((C / volume) * bond_part) * np.exp((-1.0 * sigma) * fe)


def timed(fn, repeat):
    best, value = float("inf"), None
    for _ in range(repeat):
        t = time.perf_counter()
        value = fn()
        best = min(best, time.perf_counter() - t)
    return best, value


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10, 20, 30])
    parser.add_argument("--python-max", type=int, default=8000)
    parser.add_argument("--python-cached-max", type=int, default=64000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    calc = SimunekHardnessCalculator()
    rows = []
    for n in args.sizes:
        atoms = bulk("C", "diamond", a=3.567, cubic=True) * (n, n, n)
        natoms = len(atoms)
        t_nl, neighbors = timed(lambda: neighbor_list("ijd", atoms, 2.5), 1)
        # Our code alone: the module's neighbour search replaced by the list just computed (the
        # module looks neighbor_list up at each call).
        tarnel.neighbor_list = lambda quantities, a, cutoff: neighbors
        ours_rest, value = timed(lambda: calc.calculate_hardness(atoms, element_params=PARAMS), args.repeat)
        tarnel.neighbor_list = neighbor_list
        ours_nl = t_nl
        print(
            f"{natoms:7d} atoms: ASE neighbor_list {t_nl:8.3f} s + our code {ours_rest:8.4f} s"
            f"  ({ours_rest / natoms * 1e6:.3f} us/atom)  hardness {value:.4f}",
            flush=True,
        )
        row = {"natoms": natoms, "ours": ours_rest, "nl": ours_nl}
        for label, limit, cached in (
            ("python", args.python_max, False),
            ("python-cached", args.python_cached_max, True),
        ):
            if natoms > limit:
                continue
            t_py, h_py = timed(lambda: python_version(atoms, neighbors, PARAMS, cached_means=cached), 1)
            row[label] = t_py
            print(
                f"{'':13s}{label:>14s}: {t_py:8.3f} s (without neighbor_list)  hardness {h_py:.4f}",
                flush=True,
            )
        rows.append(row)

    print()
    for row in rows:
        for label in ("python", "python-cached"):
            if label in row:
                print(
                    f"{row['natoms']:7d} atoms, our code vs {label}: {row[label] / row['ours']:8.1f}x "
                    f"({row['ours']:.4f} s vs {row[label]:.3f} s)"
                )
        share = row["nl"] / (row["nl"] + row["ours"])
        print(
            f"{row['natoms']:7d} atoms, our code per atom: {row['ours'] / row['natoms'] * 1e6:.3f} us "
            f"(ratio to the smallest size: {row['ours'] / row['natoms'] / (rows[0]['ours'] / rows[0]['natoms']):.2f}); "
            f"neighbor_list share of calculate_hardness: {share:.2%}"
        )


if __name__ == "__main__":
    main()
