"""Polycrystal generation speed: the C++ kernels against the same algorithm written with numpy.

    python bench/bench_polycrystal.py [--box 200] [--grains 20] [--remove-doubles 1.2] [--repeat 3]

A diamond polycrystal (about 1.4 million atoms in a 200 A box with 20 grains): Voronoi grain
filling plus close-atom removal. Ours is Polycrystal.generate_polycrystal (kernels, the Atoms
object included); the baseline fills the grains with numpy (same grid bound, same bisector
planes) and removes close atoms with a numpy cell list and the same greedy pass. Both use the same
grain layout, and their atom counts are checked to agree. Prints, last, atoms per second of
both and the speed-up.
"""

import argparse
import itertools
import time

import numpy as np
from ase import Atoms
from ase.build import bulk

from corvane.build.polycrystal import Polycrystal


def numpy_fill(box, centres, rotations, cell, basis):
    """The grain filling of the kernel, step for step, in numpy."""
    n_grains = len(centres)
    inv = np.linalg.inv(cell)
    inv_col_norm = np.linalg.norm(inv, axis=0)
    frac = basis @ inv
    cart_basis = (frac - np.floor(frac)) @ cell

    target = max(4096.0, min(4000.0 * n_grains, 1e8 / n_grains))
    spacing = np.cbrt(np.prod(box) / target)
    m = np.maximum(1, np.rint(box / spacing)).astype(int)
    h = box / m
    delta = 0.5 * np.linalg.norm(h)
    grid = (np.indices(m).reshape(3, -1).T + 0.5) * h
    diff = grid[:, None, :] - centres[None, :, :]
    diff -= box * np.round(diff / box)
    dist = np.linalg.norm(diff, axis=2)
    near = dist * dist <= (dist.min(axis=1)[:, None] + 2 * delta) ** 2 * (1 + 1e-12)

    positions, grains = [], []
    for g in range(n_grains):
        v = diff[near[:, g], g]
        variants = [v]
        for flips in itertools.product((0, 1), repeat=3):
            if not any(flips):
                continue
            w = v.copy()
            ok = np.ones(len(v), bool)
            for k in range(3):
                if flips[k]:
                    edge = np.abs(v[:, k]) >= 0.5 * box[k] - delta
                    ok &= edge
                    w[:, k] -= np.sign(v[:, k]) * box[k]
            variants.append(w[ok])
        v = np.vstack(variants)
        radius = np.linalg.norm(v, axis=1).max() + delta
        s = (v @ rotations[g]) @ inv  # seed-frame fractional coordinates of R^T v
        lo = np.floor(s.min(axis=0) - delta * inv_col_norm).astype(int) - 1
        hi = np.ceil(s.max(axis=0) + delta * inv_col_norm).astype(int)

        images = np.ceil(2 * radius / box).astype(int) + 1
        shifts = np.array(list(itertools.product(*(range(-i, i + 1) for i in images))))
        u = (centres[:, None, :] + shifts[None, :, :] * box - centres[g]).reshape(-1, 3)
        key = [(o, *sh) for o in range(n_grains) for sh in shifts]
        l2 = np.einsum("ij,ij->i", u, u)
        own = np.array([k == (g, 0, 0, 0) for k in key])
        use = (l2 <= 4 * radius * radius * (1 + 1e-9)) & ~own
        larger = np.array([k > (g, 0, 0, 0) for k in key])
        threshold = 0.5 * l2 + np.where(larger, 1e-9, -1e-9) * l2
        u, threshold = u[use], threshold[use]

        n = np.stack(np.meshgrid(*(np.arange(a, b + 1) for a, b in zip(lo, hi)), indexing="ij"), -1).reshape(
            -1, 3
        )
        x = ((n @ cell)[:, None, :] + cart_basis[None, :, :]).reshape(-1, 3) @ rotations[g].T
        x = x[np.einsum("ij,ij->i", x, x) <= radius * radius * (1 + 1e-12)]
        inside = np.all(x @ u.T <= threshold, axis=1)
        positions.append(np.mod(centres[g] + x[inside], box))
        grains.append(np.full(int(inside.sum()), g))
    return np.vstack(positions), np.concatenate(grains)


def numpy_pairs(positions, box, cutoff):
    """All pairs (i, j), both orders, closer than cutoff in the periodic orthorhombic box: a cell
    list with cells at least the cutoff wide (at least three per edge)."""
    n = len(positions)
    bins = np.maximum(3, (box // cutoff).astype(int))
    if np.any(box / bins < cutoff):
        raise ValueError("the box is too small for this cell list")
    cell3 = np.minimum((np.mod(positions, box) // (box / bins)).astype(int), bins - 1)

    def flat(c):
        return (c[:, 0] * bins[1] + c[:, 1]) * bins[2] + c[:, 2]

    cid = flat(cell3)
    order = np.argsort(cid, kind="stable")
    sorted_cid = cid[order]
    start = np.searchsorted(sorted_cid, np.arange(np.prod(bins)))
    end = np.searchsorted(sorted_cid, np.arange(np.prod(bins)), side="right")
    first, second = [], []
    for offset in itertools.product((-1, 0, 1), repeat=3):
        other = flat(np.mod(cell3 + offset, bins))
        s, c = start[other], end[other] - start[other]
        i = np.repeat(np.arange(n), c)
        within = np.arange(int(c.sum())) - np.repeat(np.cumsum(c) - c, c)
        j = order[np.repeat(s, c) + within]
        d = positions[j] - positions[i]
        d -= box * np.round(d / box)
        close = (np.einsum("ij,ij->i", d, d) < cutoff * cutoff) & (i != j)
        first.append(i[close])
        second.append(j[close])
    return np.concatenate(first), np.concatenate(second)


def numpy_remove(positions, box, distance):
    """The greedy removal of the kernel: earlier atoms remove their later close neighbours."""
    i, j = numpy_pairs(positions, box, distance)
    order = np.lexsort((j, i))
    keep = np.ones(len(positions), bool)
    for a, b in zip(i[order].tolist(), j[order].tolist()):
        if b > a and keep[a]:
            keep[b] = False
    return keep


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--box", type=float, default=200.0)
    parser.add_argument("--grains", type=int, default=20)
    parser.add_argument("--remove-doubles", type=float, default=1.2)
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs of ours")
    args = parser.parse_args()

    seed = bulk("C", "diamond", a=3.567, cubic=True)
    params = {"box": [args.box] * 3, "random": args.grains}
    gen = Polycrystal(seed=seed, params=params, rng=2024)

    ours_times = []
    for _ in range(args.repeat):
        start = time.perf_counter()
        atoms = gen.generate_polycrystal(wrap=True, remove_doubles=args.remove_doubles)
        ours_times.append(time.perf_counter() - start)
    ours = min(ours_times)
    print(f"ours:  {len(atoms)} atoms in {ours:.2f} s (best of {args.repeat})")

    start = time.perf_counter()
    positions, grain = numpy_fill(gen.box, gen.centres, gen.rotations, seed.cell[:], seed.positions)
    filled = time.perf_counter() - start
    keep = numpy_remove(positions, gen.box, args.remove_doubles)
    base_atoms = Atoms(
        numbers=seed.numbers[np.zeros(int(keep.sum()), int)],
        positions=positions[keep],
        cell=np.diag(gen.box),
        pbc=True,
    )
    base_atoms.set_array("grain", grain[keep] + 1)
    baseline = time.perf_counter() - start
    print(
        f"numpy: {len(base_atoms)} atoms in {baseline:.2f} s (fill {filled:.2f} s, removal {baseline - filled:.2f} s)"
    )
    if len(base_atoms) != len(atoms) or not np.array_equal(base_atoms.arrays["grain"], atoms.arrays["grain"]):
        raise SystemExit(f"the two versions disagree: {len(atoms)} against {len(base_atoms)} atoms")
    print(f"largest position difference: {np.abs(base_atoms.positions - atoms.positions).max():.1e} A")

    print(f"atoms per second, ours:  {len(atoms) / ours:,.0f}")
    print(f"atoms per second, numpy: {len(base_atoms) / baseline:,.0f}")
    print(f"speed-up over numpy: {baseline / ours:.1f}x")


if __name__ == "__main__":
    main()
