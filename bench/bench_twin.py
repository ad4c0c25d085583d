"""Twin-boundary builder and structure utilities against straightforward Python/numpy versions.

    python bench/bench_twin.py [--repeat 3] [--sizes 10000 100000 1000000]

1. CoherentTwinBoundary.create for diamond (111), layers=[12, 8], supercell=[4, 4, 1], against
   the same workflow written in Python on Python utilities (below).
2. The utilities alone on a ~100,000-atom diamond (111) slab: get_layers, check_reflection_symmetry
   (the two layers around a vertical bond, ~1000 atoms each) and average_atoms (the slab plus 10 %
   jittered duplicates), against
     - layers: numpy argsort and a Python loop splitting at gaps larger than tol;
     - reflection: numpy distances from each reflected atom to every atom of the other layer
       (in-plane minimum image), nearest free match;
     - merging: ASE's neighbor_list, a Python union-find and minimum-image averages.
3. Scaling of the kernels (the corvane.core functions) at the given slab sizes.
Prints, last, one ratio per figure (Python time / ours: above 1 means ours is faster).
"""

import argparse
import time

import numpy as np
from ase import Atoms
from ase.build import bulk, make_supercell, sort, surface
from ase.cell import Cell
from ase.neighborlist import neighbor_list

from corvane._testing.reference import layers_by_gaps
from corvane.build.twin import CoherentTwinBoundary
from corvane.core import (
    average_atoms,
    check_reflection_symmetry,
    compute_d_hkl,
    get_layers,
    mirror_array,
)

# --------------------------------------------------------------------------- Python versions


def py_get_layers(positions, direction=2, tol=0.1):
    return layers_by_gaps(np.asarray(positions)[:, direction], tol)


def py_check_reflection_symmetry(plane, direction, tol, below, above):
    if len(below) != len(above):
        return False
    cell = above.cell.array
    in_plane = [k for k in range(3) if above.pbc[k] and abs(cell[k, direction]) < 1e-8]
    basis = cell[in_plane]
    inv = np.linalg.pinv(basis)
    image = below.positions.copy()
    image[:, direction] = 2 * plane - image[:, direction]
    taken = np.zeros(len(above), bool)
    for r, z in zip(image, below.numbers):
        d = above.positions - r
        frac = d @ inv
        d -= np.round(frac) @ basis
        dist = np.linalg.norm(d, axis=1)
        dist[taken | (above.numbers != z)] = np.inf
        j = int(np.argmin(dist))
        if dist[j] >= tol:
            return False
        taken[j] = True
    return True


def py_average_atoms(atoms, cutoff):
    i, j, D = neighbor_list("ijD", atoms, cutoff)
    same = (atoms.numbers[i] == atoms.numbers[j]) & (i != j)
    i, j, D = i[same], j[same], D[same]
    n = len(atoms)
    parent = list(range(n))

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for a, b in zip(i.tolist(), j.tolist()):
        ra, rb = find(a), find(b)
        if ra != rb:
            parent[max(ra, rb)] = min(ra, rb)
    roots = [find(x) for x in range(n)]
    neighbours = {}
    for a, b, d in zip(i.tolist(), j.tolist(), D):
        neighbours.setdefault(a, []).append((b, d))
    pos = atoms.positions
    keep, merged = [], []
    for r in range(n):
        if roots[r] != r:
            continue
        keep.append(r)
        unwrapped = {r: pos[r]}
        queue = [r]
        while queue:
            a = queue.pop()
            for b, d in neighbours.get(a, ()):
                if b not in unwrapped:
                    unwrapped[b] = unwrapped[a] + d
                    queue.append(b)
        merged.append(np.mean(list(unwrapped.values()), axis=0))
    out = atoms[keep]
    out.positions = np.array(merged)
    return out


class PyTwin:
    """The builder's workflow in Python, on the Python utilities above."""

    def __init__(
        self, bulk, plane=(1, 1, 1), layers=(3,), tol_surface=0.02, tol_layer=0.1, average_cutoff=0.2
    ):
        self.bulk, self.plane, self.layers = bulk, plane, sorted(layers, reverse=True)
        self.tol_surface, self.tol_layer, self.average_cutoff = tol_surface, tol_layer, average_cutoff
        self.direction, self.gap, self.vacuum = 2, 0.0, 0.0

    def coords(self, positions, layers):
        return np.array([np.mean(positions[layer, self.direction]) for layer in layers])

    def find_mirror_plane(self, grain, direction, tol):
        positions = grain.get_positions()
        layers = py_get_layers(positions, direction, tol)
        if len(layers) < 2:
            return None, 0.0
        z = self.coords(positions, layers)
        for i in range(len(z) - 2, 1, -1):
            if py_check_reflection_symmetry(z[i], direction, tol, grain[layers[i - 1]], grain[layers[i + 1]]):
                return i, 0.0
        for i in range(len(z) - 2, 1, -1):
            if py_check_reflection_symmetry(
                (z[i] + z[i + 1]) / 2, direction, tol, grain[layers[i]], grain[layers[i + 1]]
            ):
                return i, z[i + 1] - z[i]
        return None, 0

    def guess_delete_layers(self, grain, nlayers, index):
        positions = grain.get_positions()
        layers = py_get_layers(positions, self.direction, self.tol_layer)
        z = self.coords(positions, layers)
        result = list(range(index + 1, len(z)))
        right = z[index] - compute_d_hkl(self.bulk, self.plane) * nlayers + 0.5 * self.gap
        result += np.where(z < right - 0.5 * self.tol_layer)[0].tolist()
        return result

    def mirror_grain(self, grain):
        m = grain.copy()
        m.set_scaled_positions(np.mod(mirror_array(m.get_scaled_positions(), self.direction), 1))
        return m

    def create(self, supercell):
        surf = surface(self.bulk, self.plane, max(self.layers) + 3, vacuum=10.0, tol=self.tol_surface)
        layers = py_get_layers(surf.positions, self.direction, self.tol_layer)
        index, self.gap = self.find_mirror_plane(surf, self.direction, self.tol_layer)
        nl = len(self.guess_delete_layers(surf, 2, index)) - len(self.guess_delete_layers(surf, 1, index))
        delete = self.guess_delete_layers(surf, self.layers[0], index)
        grains = []
        for il, n in enumerate(self.layers):
            gone = {i if i >= 0 else len(layers) + i for i in delete}
            keep = [a for i, layer in enumerate(layers) if i not in gone for a in layer]
            grains.append(surf[keep])
            if il < len(self.layers) - 1:
                surf = self.mirror_grain(grains[-1])
                layers = py_get_layers(surf.positions, self.direction, self.tol_layer)
                delete = range(-nl * (self.layers[il + 1] - n), 0)
        grains += [self.mirror_grain(g) for g in grains[::-1]]
        cellpar = grains[0].cell.cellpar()
        cellpar[2] = sum(np.ptp(g.positions[:, 2]) for g in grains) + len(grains) * self.gap
        out = Atoms(pbc=True, cell=Cell.fromcellpar(cellpar))
        z = 0.0
        for g in grains:
            g = g.copy()
            g.positions[:, 2] += z - g.positions[:, 2].min()
            out.extend(g)
            z = g.positions[:, 2].max() + self.gap
        out = py_average_atoms(out, self.average_cutoff)
        return sort(make_supercell(out, np.diag(supercell)))


# --------------------------------------------------------------------------- timing


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
    return min(times), result


def slab_of(n_atoms):
    """A diamond (111) slab of 50 layer units, repeated in the plane to about n_atoms."""
    base = surface(bulk("C", "diamond", a=3.56), (1, 1, 1), 50, vacuum=5.0)
    k = max(1, int(round(np.sqrt(n_atoms / len(base)))))
    return base * (k, k, 1)


def vertical_pair(slab):
    layers = get_layers(slab.positions)
    z = np.array([slab.positions[layer, 2].mean() for layer in layers])
    k = len(z) // 2
    if z[k + 1] - z[k] < 1.0:
        k += 1
    return (z[k] + z[k + 1]) / 2, slab[layers[k]], slab[layers[k + 1]]


def with_duplicates(slab, fraction=0.1, seed=0):
    rng = np.random.default_rng(seed)
    pick = rng.choice(len(slab), int(fraction * len(slab)), replace=False)
    extra = slab[pick]
    extra.positions += rng.normal(0, 0.03, (len(extra), 3))
    return slab + extra


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    args = parser.parse_args()
    ratios = []

    # 1. the whole workflow
    diamond = bulk("C", "diamond", a=3.56)
    ours_t, ours = best(
        lambda: CoherentTwinBoundary(diamond, layers=[12, 8]).create(supercell=[4, 4, 1]), args.repeat
    )
    py_t, theirs = best(lambda: PyTwin(diamond, layers=[12, 8]).create([4, 4, 1]), args.repeat)
    assert len(ours) == len(theirs) and np.allclose(ours.cell, theirs.cell)
    print(
        f"create diamond (111) [12, 8] x [4, 4, 1] ({len(ours)} atoms): ours {ours_t * 1e3:.1f} ms, "
        f"Python {py_t * 1e3:.1f} ms"
    )
    ratios.append(("create", py_t / ours_t))

    # 2. the utilities on a 100k-atom slab
    slab = slab_of(100_000)
    pos = slab.positions
    ours_t, layers = best(lambda: get_layers(pos), args.repeat)
    py_t, py_layers = best(lambda: py_get_layers(pos), 1)
    assert [list(x) for x in layers] == py_layers
    print(
        f"get_layers {len(slab)} atoms, {len(layers)} layers: ours {ours_t * 1e3:.1f} ms, Python {py_t * 1e3:.1f} ms"
    )
    ratios.append(("get_layers 100k", py_t / ours_t))

    plane, below, above = vertical_pair(slab)
    ours_t, ok = best(lambda: check_reflection_symmetry(plane, 2, 0.1, below, above), args.repeat)
    py_t, py_ok = best(lambda: py_check_reflection_symmetry(plane, 2, 0.1, below, above), 1)
    assert ok and py_ok
    print(
        f"check_reflection_symmetry {len(below)} + {len(above)} atoms: ours {ours_t * 1e3:.2f} ms, "
        f"Python {py_t * 1e3:.1f} ms"
    )
    ratios.append(("check_reflection_symmetry 100k slab", py_t / ours_t))

    dup = with_duplicates(slab)
    ours_t, merged = best(lambda: average_atoms(dup, 0.2), args.repeat)
    py_t, py_merged = best(lambda: py_average_atoms(dup, 0.2), 1)
    assert len(merged) == len(py_merged) == len(slab)
    assert np.allclose(merged.positions, py_merged.positions)
    print(
        f"average_atoms {len(dup)} atoms -> {len(merged)}: ours {ours_t * 1e3:.1f} ms, Python {py_t * 1e3:.1f} ms"
    )
    ratios.append(("average_atoms 100k", py_t / ours_t))

    # 3. scaling of the kernels
    print("scaling (ours):  atoms      get_layers   reflection(layer)   average_atoms")
    for n in args.sizes:
        s = slab_of(n)
        t_layers, _ = best(lambda: get_layers(s.positions), args.repeat)
        plane, below, above = vertical_pair(s)
        t_refl, ok = best(lambda: check_reflection_symmetry(plane, 2, 0.1, below, above), args.repeat)
        assert ok
        d = with_duplicates(s)
        t_avg, m = best(lambda: average_atoms(d, 0.2), args.repeat)
        assert len(m) == len(s)
        print(
            f"scaling     {len(s):>10d}   {t_layers * 1e3:9.1f} ms   {t_refl * 1e3:8.2f} ms ({len(below)})"
            f"   {t_avg * 1e3:9.1f} ms ({len(d)})"
        )

    for label, r in ratios:
        print(f"ratio {label} (Python / ours): {r:.1f}")


if __name__ == "__main__":
    main()
