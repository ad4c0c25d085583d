"""Σ3 twin builder at 10^5 atoms, against baselines measured in the same run.

    python bench/bench_sigma3.py [--repeat 3] [--atoms 100000]

1. c-BN (111) rotation twin, layers [12], repeated laterally to ~10^5 atoms (create: build and
   check one lateral cell, repeat, sort), against the mirror-plane builder CoherentTwinBoundary
   making a diamond (111) twin of the same size the same way (layers [12], same supercell).
2. c-BN (111) rotation twin of ~10^5 atoms in one lateral cell (every atom stacked and checked
   against its bulk site by the kernels), against the same algorithm written in Python: numpy
   stacking of the oriented unit and ASE's neighbor_list with a per-atom comparison of the
   sorted (species, distance) shells.
Prints, last, one ratio per figure (baseline time / ours: above 1 means ours is faster).
"""

import argparse
import time

import numpy as np
from ase import Atoms
from ase.build import bulk
from ase.neighborlist import neighbor_list

from corvane.build.sigma3 import Sigma3TwinBoundary
from corvane.build.twin import CoherentTwinBoundary


def best(fn, repeat):
    times, result = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


# --------------------------------------------------------------------------- Python version


def py_rotation_twin(crystal, n):
    """Two grains of n layer units, the second rotated by 180° about the column of the unit's
    first atom; every atom's shell compared with its bulk site's. Returns (positions, ok)."""
    unit = Sigma3TwinBoundary(crystal).oriented_unit()
    pos = unit.positions - unit.positions[0]
    u1, u2, u3 = unit.cell.array
    d = u3[2]
    z = np.sort(pos[:, 2] % d)
    gaps = np.diff(np.r_[z, z[0] + d])
    eps = 0.25 * gaps[gaps > 0.01].min()
    rot = np.diag([-1.0, -1.0, 1.0])

    def grain(linear, shift, low, high):
        ms = np.arange(int(np.floor(low / d)) - 2, int(np.ceil(high / d)) + 3)
        images = (pos[None, :, :] + ms[:, None, None] * u3) @ linear.T + shift
        sites = np.broadcast_to(np.arange(len(pos)), images.shape[:2])
        keep = (images[..., 2] > low + eps) & (images[..., 2] <= high + eps)
        return images[keep], sites[keep]

    a, sa = grain(np.eye(3), np.zeros(3), -n * d, 0.0)
    q = np.zeros(3)  # the axis of the first boundary
    b, sb = grain(rot, 2 * q * [1, 1, 0], 0.0, n * d)
    q2 = rot @ (n * u3) + 2 * q * [1, 1, 0]  # the axis at the top of the second grain
    shift = 2 * q2 * [1, 1, 0] - 2 * q * [1, 1, 0]
    c = shift + 2 * n * u3
    f = np.linalg.solve(np.array([u1[:2], u2[:2]]).T, c[:2])
    c[:2] -= np.round(f[0]) * u1[:2] + np.round(f[1]) * u2[:2]
    sites = np.r_[sa, sb]
    twin = Atoms(
        numbers=unit.numbers[sites], positions=np.r_[a, b] + [0, 0, n * d], cell=[u1, u2, c], pbc=True
    )
    twin.wrap()

    cutoff = 1.2 * neighbor_list("d", unit, 3.0).min()

    def shells(atoms):
        i, j, dist = neighbor_list("ijd", atoms, cutoff)
        out = [[] for _ in range(len(atoms))]
        for a_, z_, d_ in zip(i, atoms.numbers[j], dist):
            out[a_].append((z_, d_))
        return [sorted(s) for s in out]

    reference = shells(Atoms(numbers=unit.numbers, positions=pos, cell=unit.cell, pbc=True))
    ok = True
    for shell, site in zip(shells(twin), sites):
        ref = reference[site]
        if len(shell) != len(ref) or any(x[0] != y[0] or abs(x[1] - y[1]) > 0.01 for x, y in zip(shell, ref)):
            ok = False
            break
    return twin, ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--atoms", type=int, default=100_000)
    args = parser.parse_args()
    ratios = []
    cbn = bulk("BN", "zincblende", a=3.615)
    diamond = bulk("C", "diamond", a=3.56)

    # 1. a laterally repeated twin, against the mirror-plane builder at the same size
    per_cell = len(Sigma3TwinBoundary(cbn, layers=[12]).build())
    side = int(round(np.sqrt(args.atoms / per_cell)))
    supercell = [side, side, 1]
    ours_t, ours = best(lambda: Sigma3TwinBoundary(cbn, layers=[12]).create(supercell=supercell), args.repeat)
    base_t, base = best(
        lambda: CoherentTwinBoundary(diamond, layers=[12]).create(supercell=supercell), args.repeat
    )
    print(
        f"c-BN (111) rotation twin, layers [12] x {supercell} ({len(ours)} atoms): ours {ours_t * 1e3:.1f} ms; "
        f"mirror-plane builder, diamond ({len(base)} atoms) {base_t * 1e3:.1f} ms"
    )
    ratios.append((f"create {len(ours)} atoms (mirror-plane builder / ours)", base_t / ours_t))

    # 2. one lateral cell of ~10^5 atoms, every atom checked
    n = args.atoms // (2 * len(cbn))
    ours_t, ours = best(
        lambda: Sigma3TwinBoundary(cbn, layers=[n], operation="rotation").build(), args.repeat
    )
    py_t, (theirs, ok) = best(lambda: py_rotation_twin(cbn, n), 1)
    assert ok and len(theirs) == len(ours) and np.allclose(theirs.cell, ours.cell)
    print(
        f"c-BN (111) rotation twin, layers [{n}] ({len(ours)} atoms, all checked): ours {ours_t * 1e3:.1f} ms, "
        f"Python {py_t * 1e3:.1f} ms"
    )
    ratios.append((f"build {len(ours)} atoms (Python / ours)", py_t / ours_t))

    for label, r in ratios:
        print(f"ratio {label}: {r:.1f}")


if __name__ == "__main__":
    main()
