"""The cell-list neighbour kernel against ASE's neighbour list, and the cluster labels."""

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk, molecule
from ase.neighborlist import neighbor_list

from corvane import _kernels


def pairs_of(atoms, cutoff):
    i, j, S, D = _kernels.neighbor_pairs(atoms.positions, atoms.cell.array, atoms.pbc, cutoff)
    assert np.all(np.diff(i) >= 0)
    np.testing.assert_allclose(D, atoms.positions[j] + S @ atoms.cell.array - atoms.positions[i], atol=1e-9)
    return i, j, S


def structures():
    rng = np.random.default_rng(7)
    diamond = bulk("C", "diamond", a=3.56)
    outside = bulk("Cu", "fcc", a=3.6) * (3, 2, 4)
    outside.rattle(0.1, seed=1)
    outside.positions += [7.3, -11.0, 30.0]  # atoms far outside the cell
    skewed = bulk("Mg", "hcp", a=3.2) * (2, 2, 2)
    skewed.set_cell(skewed.cell.array @ [[1, 0.3, 0], [0, 1, 0.1], [0, 0, 1]], scale_atoms=True)
    slab = bulk("C", "diamond", a=3.56, cubic=True) * (2, 2, 3)
    slab.pbc = [True, False, True]
    slab.positions[:, 1] += rng.normal(0, 2, len(slab))
    benzene = molecule("C6H6")  # no cell at all
    boxed = benzene.copy()
    boxed.cell = [10, 10, 10]
    return [
        ("diamond primitive, cutoff longer than the cell", diamond, 5.0),
        ("diamond bonds", diamond, 1.7),
        ("atoms outside the cell", outside, 3.0),
        ("skewed hcp", skewed, 4.5),
        ("slab, one direction open", slab, 2.0),
        ("molecule without a cell", benzene, 2.0),
        ("molecule in a box, not periodic", boxed, 1.2),
    ]


@pytest.mark.parametrize("label, atoms, cutoff", structures(), ids=lambda x: x if isinstance(x, str) else "")
def test_same_pairs_as_ase(label, atoms, cutoff):
    i, j, S = pairs_of(atoms, cutoff)
    ai, aj, aS = neighbor_list("ijS", atoms, cutoff)
    ours = sorted(zip(i.tolist(), j.tolist(), map(tuple, S.tolist())))
    theirs = sorted(zip(ai.tolist(), aj.tolist(), map(tuple, aS.tolist())))
    assert ours == theirs


def test_random_gas_counts_match_ase():
    rng = np.random.default_rng(3)
    cell = np.array([[9.0, 0.0, 0.0], [2.0, 8.0, 0.0], [1.0, -1.5, 7.0]])
    atoms = Atoms("X500", scaled_positions=rng.random((500, 3)), cell=cell, pbc=True)
    i, _, _ = pairs_of(atoms, 2.5)
    ai = neighbor_list("i", atoms, 2.5)
    assert np.array_equal(np.bincount(i, minlength=500), np.bincount(ai, minlength=500))


def test_empty_and_bad_input():
    i, j, S, D = _kernels.neighbor_pairs(np.zeros((0, 3)), np.eye(3), [True] * 3, 2.0)
    assert len(i) == len(j) == 0 and S.shape == (0, 3) and D.shape == (0, 3)
    with pytest.raises(ValueError, match=r"shape \(N, 3\)"):
        _kernels.neighbor_pairs(np.zeros((4, 2)), np.eye(3), [True] * 3, 2.0)
    with pytest.raises(ValueError, match="linearly dependent"):
        _kernels.neighbor_pairs(np.zeros((1, 3)), np.zeros((3, 3)), [True] * 3, 2.0)


def test_cluster_labels_join_chains_across_the_boundary():
    positions = [[0, 0, 0], [0.05, 0, 0], [5, 5, 5], [9.98, 0, 0], [3, 3, 3], [3.08, 3, 3], [3.16, 3, 3]]
    labels = _kernels.cluster_labels(positions, np.eye(3) * 10, [True] * 3, 0.1)
    assert labels.tolist() == [0, 0, 2, 0, 4, 4, 4]
    open_box = _kernels.cluster_labels(positions, np.eye(3) * 10, [False] * 3, 0.1)
    assert open_box.tolist() == [0, 0, 2, 3, 4, 4, 4]
