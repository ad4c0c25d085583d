"""Structure utilities of corvane.core and the layer kernels behind them."""

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk, surface

from corvane import _kernels
from corvane._testing.reference import layers_by_gaps
from corvane.core import (
    average_atoms,
    check_reflection_symmetry,
    compute_d_hkl,
    get_layers,
    mirror_array,
)


def diamond_slab(layers=6, a=3.56, symbol="C"):
    return surface(bulk(symbol, "diamond", a=a), (1, 1, 1), layers, vacuum=10.0, tol=0.02)


# --------------------------------------------------------------------------- get_layers


def test_layers_of_a_diamond_slab_ascend_with_the_bilayer_spacings():
    slab = diamond_slab(4)
    layers = get_layers(slab.positions, direction=2, tol=0.1)
    z = np.array([slab.positions[layer, 2].mean() for layer in layers])
    assert len(layers) == 8
    assert np.all(np.diff(z) > 0)
    gaps = np.round(np.diff(z), 3)
    assert set(gaps) == {0.514, 1.542}
    assert sorted(np.concatenate(layers)) == list(range(len(slab)))


def test_layers_match_a_plain_python_grouping_on_noisy_data():
    rng = np.random.default_rng(7)
    heights = np.repeat(np.arange(40) * 0.8, 25)
    pos = rng.uniform(0, 10, (len(heights), 3))
    for axis in (0, 1, 2):
        p = pos.copy()
        p[:, axis] = heights + rng.uniform(-0.03, 0.03, len(heights))
        perm = rng.permutation(len(p))
        p = p[perm]
        got = [list(layer) for layer in get_layers(p, direction=axis, tol=0.1)]
        assert got == layers_by_gaps(p[:, axis], 0.1)
        assert len(got) == 40


def test_layers_edge_inputs():
    assert get_layers(np.zeros((0, 3))) == []
    one = get_layers([[0.0, 0.0, 1.0]])
    assert len(one) == 1 and list(one[0]) == [0]
    # Layers chain through gaps up to tol, and coinciding atoms share a layer.
    chained = get_layers([[0, 0, 0.0], [0, 0, 0.09], [0, 0, 0.18], [0, 0, 0.5]], tol=0.1)
    assert [list(layer) for layer in chained] == [[0, 1, 2], [3]]
    with pytest.raises(ValueError, match="finite"):
        get_layers([[0, 0, np.nan], [0, 0, 1.0]])
    with pytest.raises(ValueError, match="shape"):
        get_layers(np.zeros((4, 2)))
    with pytest.raises(ValueError, match="direction"):
        get_layers(np.zeros((2, 3)), direction=3)
    with pytest.raises(TypeError, match="direction"):
        get_layers(np.zeros((2, 3)), direction=2.0)


# --------------------------------------------------------------------------- reflection


def test_reflection_through_a_vertical_bond_needs_in_plane_wrapping():
    slab = diamond_slab(3)
    layers = get_layers(slab.positions)
    z = [slab.positions[layer, 2].mean() for layer in layers]
    # The first two atoms sit above each other only up to a lattice vector of the slab.
    assert not np.allclose(slab.positions[layers[0], :2], slab.positions[layers[1], :2])
    mid = (z[0] + z[1]) / 2
    assert check_reflection_symmetry(np.float64(mid), 2, 0.1, slab[layers[0]], slab[layers[1]])
    # Across the short spacing the in-plane sites differ: no mirror.
    mid = (z[1] + z[2]) / 2
    assert not check_reflection_symmetry(mid, 2, 0.1, slab[layers[1]], slab[layers[2]])
    # A plane off the midpoint by more than tol fails.
    assert not check_reflection_symmetry((z[0] + z[1]) / 2 + 0.2, 2, 0.1, slab[layers[0]], slab[layers[1]])


def test_reflection_matches_species_and_counts():
    bn = surface(bulk("BN", "zincblende", a=3.615), (1, 1, 1), 3, vacuum=10.0)
    layers = get_layers(bn.positions)
    z = [bn.positions[layer, 2].mean() for layer in layers]
    gaps = np.diff(z)
    k = int(np.argmax(gaps[:2]))  # the layer pair joined by a vertical bond
    below, above = bn[layers[k]], bn[layers[k + 1]]
    assert set(below.get_chemical_symbols()) != set(above.get_chemical_symbols())
    assert not check_reflection_symmetry((z[k] + z[k + 1]) / 2, 2, 0.1, below, above)
    # The same geometry with one species is a mirror image.
    same = below.copy()
    same.numbers[:] = above.numbers[0]
    assert check_reflection_symmetry((z[k] + z[k + 1]) / 2, 2, 0.1, same, above)
    assert not check_reflection_symmetry((z[k] + z[k + 1]) / 2, 2, 0.1, same + same, above)


def test_reflection_in_a_larger_oblique_in_plane_cell():
    si = bulk("Si", "diamond", a=5.431, cubic=True)
    slab = surface(si, (1, 1, 1), 3, vacuum=8.0) * (2, 1, 1)
    layers = get_layers(slab.positions)
    z = [slab.positions[layer, 2].mean() for layer in layers]
    k = 0 if z[1] - z[0] > 1.0 else 1
    below, above = slab[layers[k]], slab[layers[k + 1]]
    assert len(below) == 8
    # Shuffle and wrap the atoms of one layer by lattice vectors: still a mirror image.
    above = above[np.random.default_rng(1).permutation(len(above))]
    above.positions += np.outer([1, -2, 0, 3, 1, 0, -1, 2], slab.cell[0]) + np.outer(
        [0, 1, -1, 2, 0, 0, 1, -3], slab.cell[1]
    )
    plane = (z[k] + z[k + 1]) / 2
    assert check_reflection_symmetry(plane, 2, 0.1, below, above)
    # Without periodicity the wrapped copies no longer match.
    above.pbc = False
    assert not check_reflection_symmetry(plane, 2, 0.1, below, above)


# --------------------------------------------------------------------------- d_hkl


@pytest.mark.parametrize("hkl", [(1, 0, 0), (1, 1, 0), (1, 1, 1), (2, 1, 0), (1, 2, 3)])
def test_d_hkl_of_a_cubic_cell(hkl):
    a = 4.05
    assert compute_d_hkl(bulk("Al", "sc", a=a), hkl) == pytest.approx(a / np.linalg.norm(hkl))


def test_d_hkl_is_the_same_lattice_plane_in_primitive_and_hexagonal_cells():
    a = 3.56
    prim = bulk("C", "diamond", a=a)
    assert compute_d_hkl(prim, (1, 1, 1)) == pytest.approx(a / np.sqrt(3))
    # (1 0 0) of the primitive fcc vectors is the cubic (-1 1 1) family; (1 1 -1) is cubic (1 1 3).
    assert compute_d_hkl(prim, (1, 0, 0)) == pytest.approx(a / np.sqrt(3))
    assert compute_d_hkl(prim, (1, 1, -1)) == pytest.approx(a / np.sqrt(11))
    mg = bulk("Mg")
    a_hex, c_hex = mg.cell.cellpar()[[0, 2]]
    assert compute_d_hkl(mg, (0, 0, 1)) == pytest.approx(c_hex)
    assert compute_d_hkl(mg, (1, 0, 0)) == pytest.approx(a_hex * np.sqrt(3) / 2)


def test_d_hkl_of_a_triclinic_cell_is_volume_over_area():
    cell = np.array([[4.0, 0.3, -0.2], [1.1, 5.0, 0.4], [0.7, -0.9, 6.0]])
    atoms = Atoms("H", cell=cell, pbc=True)
    volume = abs(np.linalg.det(cell))
    for (i, j), hkl in [((1, 2), (1, 0, 0)), ((0, 2), (0, 1, 0)), ((0, 1), (0, 0, 1))]:
        area = np.linalg.norm(np.cross(cell[i], cell[j]))
        assert compute_d_hkl(atoms, hkl) == pytest.approx(volume / area)
    assert isinstance(compute_d_hkl(atoms, (1, 1, 1)), float)


def test_d_hkl_rejects_a_null_plane_or_a_flat_cell():
    with pytest.raises(ValueError, match="plane"):
        compute_d_hkl(bulk("Cu"), (0, 0, 0))
    with pytest.raises(ValueError, match="volume"):
        compute_d_hkl(Atoms("H", cell=[1, 1, 0]), (1, 1, 1))


# --------------------------------------------------------------------------- mirror_array


def test_mirror_array_reflects_one_axis_only_and_copies():
    scaled = np.array([[0.1, 0.2, 0.3], [0.0, 0.5, 1.0]])
    before = scaled.copy()
    out = mirror_array(scaled, direction=2)
    np.testing.assert_allclose(np.mod(out, 1), [[0.1, 0.2, 0.7], [0.0, 0.5, 0.0]])
    np.testing.assert_array_equal(scaled, before)
    np.testing.assert_allclose(mirror_array(scaled, direction=0)[:, 1:], scaled[:, 1:])
    assert mirror_array([0.25, 0.5, 0.75], direction=1).tolist() == [0.25, 0.5, 0.75]
    with pytest.raises(ValueError):
        mirror_array(np.zeros((3, 2)))


# --------------------------------------------------------------------------- average_atoms


def test_merging_across_the_periodic_boundary_uses_the_minimum_image():
    atoms = Atoms("C3", positions=[[1, 1, 0.05], [1, 1, 9.93], [3, 3, 5]], cell=[6, 6, 10], pbc=True)
    atoms.set_tags([5, 6, 7])
    merged = average_atoms(atoms, 0.2)
    assert len(merged) == 2 and len(atoms) == 3
    z = merged.positions[0, 2] % 10.0
    assert min(z, 10 - z) == pytest.approx(0.01, abs=1e-12)  # not the naive mean 4.99
    assert list(merged.get_tags()) == [5, 7]
    np.testing.assert_allclose(merged.positions[1], [3, 3, 5])
    # Without periodicity the two are 9.88 apart and stay.
    atoms.pbc = False
    assert len(average_atoms(atoms, 0.2)) == 3


def test_merging_keeps_species_and_joins_chains():
    atoms = Atoms(
        "BBBN", positions=[[0, 0, 0], [0.15, 0, 0], [0.3, 0, 0], [0.1, 0, 0]], cell=[8, 8, 8], pbc=True
    )
    merged = average_atoms(atoms, 0.2)
    assert merged.get_chemical_symbols() == ["B", "N"]
    np.testing.assert_allclose(merged.positions[0], [0.15, 0, 0])
    np.testing.assert_allclose(merged.positions[1], [0.1, 0, 0])


def test_merging_in_a_skewed_cell_and_trivial_cases():
    cell = np.array([[3.0, 0, 0], [2.9, 0.5, 0], [0, 0, 4.0]])  # very oblique
    atoms = Atoms("Si2", positions=[[0.02, 0.01, 1.0], [0, 0, 1.0]], cell=cell, pbc=True)
    atoms.positions[1] += cell[0] - cell[1]  # same point, other image
    merged = average_atoms(atoms, 0.2)
    assert len(merged) == 1
    single = average_atoms(atoms, 0.0)
    assert len(single) == 2 and single is not atoms
    assert len(average_atoms(atoms[:1], 0.5)) == 1


def test_merge_kernel_matches_brute_force():
    rng = np.random.default_rng(3)
    cell = np.array([[5.0, 0, 0], [1.5, 4.0, 0], [0.5, 0.3, 6.0]])
    base = rng.uniform(0, 1, (60, 3)) @ cell
    jitter = base[:20] + rng.normal(0, 0.05, (20, 3))
    pos = np.vstack([base, jitter])
    numbers = np.r_[np.full(60, 6), np.full(20, 6)]
    keep, merged = _kernels.merge_close_atoms(pos, numbers, cell, [True] * 3, 0.3)
    # brute force: union of pairs closer than 0.3 by minimum image over +-1 images
    n = len(pos)
    parent = list(range(n))

    def find(x):
        while parent[x] != x:
            x = parent[x]
        return x

    shifts = np.array([[i, j, k] for i in (-1, 0, 1) for j in (-1, 0, 1) for k in (-1, 0, 1)]) @ cell
    for i in range(n):
        for j in range(i + 1, n):
            d = np.min(np.linalg.norm(pos[j] + shifts - pos[i], axis=1))
            if d < 0.3:
                a, b = find(i), find(j)
                parent[max(a, b)] = min(a, b)
    roots = sorted({find(i) for i in range(n)})
    assert keep.tolist() == roots
    assert len(roots) <= 60
    for row, r in enumerate(roots):
        members = [i for i in range(n) if find(i) == r]
        unwrapped = [pos[r]]
        for m in members[1:]:
            images = pos[m] + shifts
            unwrapped.append(images[np.argmin(np.linalg.norm(images - pos[r], axis=1))])
        np.testing.assert_allclose(merged[row], np.mean(unwrapped, axis=0), atol=1e-12)
