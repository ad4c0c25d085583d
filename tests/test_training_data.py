"""The reference data set: its structure families, the file format, the generator, and the committed data."""

import gzip
import math
from collections import Counter
from pathlib import Path

import numpy as np
import pytest
from ase.build import bulk
from ase.calculators.singlepoint import SinglePointCalculator
from ase.neighborlist import neighbor_list

from corvane.training import dataset
from corvane.training.structures import (
    ALLOY_COMPOSITIONS,
    SHORT_DISTANCES,
    WALL_DISTANCES,
    all_cells,
    alloy,
    bc2n_orderings,
    like_bond_decorations,
    model_relaxed_family,
    new_decorations,
    nitrogen_cluster_decorations,
    random_decorations,
    shell_fingerprint,
    short_contact,
    sp2_sp3_path,
    stacked,
    supercell_matrices,
)

DATA = Path(__file__).resolve().parents[1] / "data" / "dft"


def _with_results(atoms, name, energy=-1.0):
    atoms = atoms.copy()
    atoms.calc = SinglePointCalculator(
        atoms, energy=energy, forces=np.zeros((len(atoms), 3)), stress=np.zeros(6)
    )
    atoms.info.update(name=name, family="diamond", split=dataset.split_of(name))
    return atoms


# ---------------------------------------------------------------------------------- families


def test_cells_are_unique_reproducible_and_physical():
    cells = all_cells()
    names = [c.name for c in cells]
    assert len(names) == len(set(names)) >= 400
    families = Counter(c.family for c in cells)
    for family in (
        "diamond",
        "cBN",
        "wBN",
        "lonsdaleite",
        "BC2N",
        "doped_diamond",
        "doped_cBN",
        "cBN_defects",
        "twin",
        "sp2",
        "sp2_sp3",
        "BCN_alloys",
    ):
        assert families[family] > 0, family
    again = {c.name: c.atoms for c in all_cells()}
    for cell in cells:
        assert np.array_equal(again[cell.name].positions, cell.atoms.positions), cell.name
        # no overlapping atoms; short contacts press one pair on purpose, walls closer still, and
        # a potential's minima may hold an N-N pair near N2's bond
        if "_relaxed_" in cell.name:
            bound = 1.0
        elif cell.kind == "short":
            bound = 0.9 if "_wall_" in cell.name else 1.1
        else:
            bound = 1.2
        assert neighbor_list("d", cell.atoms, 3.0).min() >= bound, cell.name
    # cheap cells come first, so an interrupted run has every small family
    sizes = [len(c.atoms) for c in cells if c.priority == 0]
    assert sizes == sorted(sizes)


def test_relaxed_cells_come_from_their_file_as_written(tmp_path):
    from ase.io import write

    written = []
    for symbol, name in (("BN", "alloy_BN_relaxed_1"), ("C", "alloy_C2_relaxed_1")):
        atoms = bulk(symbol, "zincblende" if symbol == "BN" else "diamond", a=3.6)
        atoms.rattle(0.03, seed=1)
        atoms.info["name"] = name
        written.append(atoms)
    # a boron without its nitrogen leaves the cell metallic
    odd = written[0].copy()
    odd.symbols[1] = "C"
    odd.info["name"] = "alloy_BC_relaxed_1"
    write(tmp_path / "relaxed.extxyz", written + [odd], format="extxyz")
    cells = model_relaxed_family(tmp_path / "relaxed.extxyz")
    assert [c.name for c in cells] == ["alloy_BN_relaxed_1", "alloy_C2_relaxed_1", "alloy_BC_relaxed_1"]
    assert [c.metallic for c in cells] == [False, False, True]
    assert {(c.family, c.kind, c.priority) for c in cells} == {("BCN_alloys", "relaxed", 1)}
    for cell, atoms in zip(cells, written + [odd]):
        assert list(cell.atoms.symbols) == list(atoms.symbols)
        assert np.allclose(cell.atoms.positions, atoms.positions, atol=1e-8)
        assert np.allclose(cell.atoms.cell, atoms.cell, atol=1e-8)
        assert cell.atoms.info == {}


@pytest.mark.parametrize("sequence", ["ABC", "AB", "ABCACB"])
def test_stacked_cells_are_tetrahedral_with_only_cation_anion_bonds(sequence):
    atoms = stacked(sequence, "B", "N", 3.625)
    bond = math.sqrt(3) * 3.625 / 4
    i, j, d = neighbor_list("ijd", atoms, bond * 1.1)
    assert np.all(np.bincount(i, minlength=len(atoms)) == 4)
    assert np.allclose(d, bond, atol=1e-9)
    assert all(atoms[a].symbol != atoms[b].symbol for a, b in zip(i, j))
    assert atoms.get_chemical_formula() == f"B{len(sequence)}N{len(sequence)}"


def test_bc2n_orderings_have_no_like_pairs_and_differ():
    orderings = bc2n_orderings()
    assert len(orderings) >= 5
    for label, atoms in orderings:
        counts = Counter(atoms.get_chemical_symbols())
        assert counts["C"] == 2 * counts["B"] == 2 * counts["N"], label
        i, j = neighbor_list("ij", atoms, 1.7)
        assert not any(atoms[a].symbol + atoms[b].symbol in ("BB", "NN") for a, b in zip(i, j)), label


def test_alloys_have_their_composition_and_no_like_pairs():
    rng = np.random.default_rng(0)
    shapes = [(1, None), (1, (2, 2, 1)), (2, (2, 2, 2))]  # atoms per 8, supercell
    for n_boron, n_nitrogen, (k, repeat) in [(*c, s) for c in ALLOY_COMPOSITIONS for s in shapes]:
        atoms = alloy(k * n_boron, k * n_nitrogen, rng, repeat)
        counts = Counter(atoms.get_chemical_symbols())
        assert len(atoms) == 8 * k
        assert (counts["B"], counts["N"], counts["C"]) == (
            k * n_boron,
            k * n_nitrogen,
            k * (8 - n_boron - n_nitrogen),
        )
        i, j = neighbor_list("ij", atoms, 1.7)
        assert np.all(np.bincount(i, minlength=8 * k) == 4)
        assert not any(atoms[a].symbol + atoms[b].symbol in ("BB", "NN") for a, b in zip(i, j))
    # the carbon-rich cells sit nearer diamond's lattice constant
    assert alloy(1, 1, rng).cell[0, 0] < alloy(3, 3, rng).cell[0, 0]
    # both shapes hold the same crystal at the same density
    assert np.isclose(alloy(2, 2, rng, (2, 2, 1)).get_volume(), alloy(2, 2, rng).get_volume())
    assert np.isclose(alloy(4, 4, rng, (2, 2, 2)).get_volume(), 2 * alloy(2, 2, rng).get_volume())


def test_supercells_of_four_primitive_cells_are_each_sublattice_once():
    matrices = supercell_matrices(4)
    assert all(round(np.linalg.det(m)) == 4 for m in matrices)
    # two matrices give one lattice when either maps onto the other by an integer unimodular one
    for k, first in enumerate(matrices):
        for second in matrices[k + 1 :]:
            assert not np.allclose(np.round(second @ np.linalg.inv(first)), second @ np.linalg.inv(first))
    assert len(matrices) == 35  # the sublattices of index 4 of a three-dimensional lattice
    # the conventional cubic cell of fcc, in primitive vectors, is one of them
    cubic = np.array([[-1, 1, 1], [1, -1, 1], [1, 1, -1]])
    assert any(np.allclose(np.round(cubic @ np.linalg.inv(m)), cubic @ np.linalg.inv(m)) for m in matrices)


def test_new_decorations_differ_from_the_seen_ones_and_each_other():
    a = 3.6
    c6bn = bulk("BN", "zincblende", a=a, cubic=True)
    c6bn.set_chemical_symbols(["B", "N"] + ["C"] * 6)
    # the fingerprint sees through a shifted, renumbered and repeated copy of one crystal
    copy = c6bn.repeat((1, 1, 2))[::-1]
    copy.translate([0.3, 0.1, 0.2])
    assert shell_fingerprint(copy, a) == shell_fingerprint(c6bn, a)
    # asking for more than there are gives every decoration not yet seen, each once
    n_boron = n_nitrogen = 1
    cubic = alloy(n_boron, n_nitrogen, np.random.default_rng(0))
    found = new_decorations(n_boron, n_nitrogen, np.random.default_rng(1), [cubic], 50)
    prints = [shell_fingerprint(x, a=cubic.cell[0, 0]) for x in [cubic, *found]]
    assert len(set(prints)) == len(prints) == 18  # all 8-atom decorations of C6BN: none repeated
    for atoms in found:
        assert Counter(atoms.get_chemical_symbols()) == Counter(B=1, N=1, C=6)
        assert np.isclose(atoms.get_volume(), cubic.get_volume())
        i, j = neighbor_list("ij", atoms, 1.7)
        assert np.all(np.bincount(i, minlength=8) == 4)
        assert not any(atoms[p].symbol == atoms[q].symbol != "C" for p, q in zip(i, j))
    again = new_decorations(n_boron, n_nitrogen, np.random.default_rng(1), [cubic], 2)
    assert [x.get_chemical_symbols() for x in again] == [x.get_chemical_symbols() for x in found[:2]]


def test_random_16_atom_decorations_cover_the_supercell_once_and_skip_the_seen_ones():
    # C3B4N in 16 atoms: every cation site boron, two of the eight anion sites nitrogen
    rng = np.random.default_rng(2)
    found = random_decorations(8, 2, rng, [], 50)
    a = found[0].cell.lengths()[0] / np.sqrt(2)  # the 2x2x2 cell's edge is twice a / sqrt(2)
    prints = [shell_fingerprint(x, a) for x in found]
    assert len(set(prints)) == len(prints) > 1
    for atoms in found:
        assert len(atoms) == 16 and Counter(atoms.get_chemical_symbols()) == Counter(B=8, N=2, C=6)
    # every decoration drawn independently is one of them
    assert {shell_fingerprint(alloy(8, 2, rng, (2, 2, 2)), a) for _ in range(40)} <= set(prints)
    # the cubic 8-atom crystal repeats in this cell: once seen, it is not drawn again
    cubic = alloy(4, 1, rng)
    assert shell_fingerprint(cubic, a) in prints
    rest = random_decorations(8, 2, np.random.default_rng(3), [cubic], 50)
    assert len(rest) == len(found) - 1
    assert shell_fingerprint(cubic, a) not in {shell_fingerprint(x, a) for x in rest}


def assert_new_decorations(found, seen, count, composition, a=3.6):
    """`count` decorations of the composition, none a crystal in `seen` nor one another."""
    assert len(found) == count
    prints = {shell_fingerprint(x, a) for x in seen}
    assert len({shell_fingerprint(x, a) for x in found} - prints) == count
    for atoms in found:
        assert Counter(atoms.get_chemical_symbols()) == composition


def test_like_bond_decorations_hold_a_b_b_or_n_n_bond_and_skip_the_seen_ones():
    # C3B3N2: the sublattice-ordered decorations hold no like bond; these each hold one at least
    rng = np.random.default_rng(4)
    ordered = new_decorations(3, 2, rng, [], 50)
    found = like_bond_decorations(3, 2, rng, ordered, 6)
    assert_new_decorations(found, ordered, 6, Counter(B=3, N=2, C=3))

    def like_bonded(atoms):
        i, j = neighbor_list("ij", atoms, 1.8)
        symbols = atoms.get_chemical_symbols()
        return any(symbols[x] == symbols[y] != "C" for x, y in zip(i, j))

    assert all(map(like_bonded, found)) and not any(map(like_bonded, ordered))
    # one boron and one nitrogen can make no like bond
    assert like_bond_decorations(1, 1, rng, [], 2) == []


def test_nitrogen_cluster_decorations_give_a_nitrogen_two_nitrogen_neighbours():
    rng = np.random.default_rng(6)
    seen = like_bond_decorations(1, 4, rng, [], 3)
    found = nitrogen_cluster_decorations(1, 4, rng, seen, 4)
    assert_new_decorations(found, seen, 4, Counter(B=1, N=4, C=3))
    for atoms in found:
        symbols = np.array(atoms.get_chemical_symbols())
        i, j = neighbor_list("ij", atoms, 1.8)
        nitrogen_neighbours = np.bincount(i[(symbols[i] == "N") & (symbols[j] == "N")], minlength=len(atoms))
        assert nitrogen_neighbours.max() >= 2
        # the wall: an N-N bond pressed below N2's bond length, every other distance a bond
        pair, pressed = short_contact(atoms, ("NN",), rng, WALL_DISTANCES)
        d = np.sort(neighbor_list("d", pressed, 1.8))
        assert pair == "NN" and WALL_DISTANCES[0] <= d[0] <= WALL_DISTANCES[1] and d[2] > 1.3
    assert nitrogen_cluster_decorations(1, 1, rng, [], 2) == []


def test_short_contacts_press_one_bond_of_the_asked_elements_and_keep_the_rest():
    rng = np.random.default_rng(5)
    decoration = like_bond_decorations(3, 2, rng, [], 1)[0]
    symbols = decoration.get_chemical_symbols()
    for pairs in (("BB", "NN"), ("BC", "CN"), ("NN",)):
        for _ in range(5):
            found = short_contact(decoration, pairs, rng)
            if found is None:  # this decoration may hold no N-N bond
                assert pairs == ("NN",)
                i, j = neighbor_list("ij", decoration, 1.8)
                assert not any(symbols[x] == symbols[y] == "N" for x, y in zip(i, j))
                continue
            pair, pressed = found
            assert pair in pairs
            assert pressed.get_chemical_symbols() == symbols
            i, j, d = neighbor_list("ijd", pressed, 1.4)
            shortest = np.argmin(d)
            assert SHORT_DISTANCES[0] <= d[shortest] <= SHORT_DISTANCES[1]
            assert "".join(sorted(symbols[i[shortest]] + symbols[j[shortest]])) == pair
            # only that pair is pressed: every other distance stays a mildly rattled bond
            others = np.delete(
                d,
                np.flatnonzero(
                    (i == i[shortest]) & (j == j[shortest]) | (i == j[shortest]) & (j == i[shortest])
                ),
            )
            assert others.size == 0 or others.min() > 1.3
    assert short_contact(bulk("C", "diamond", a=3.57), ("BB", "NN"), rng) is None


def test_sp2_to_sp3_path_ends_at_wurtzite():
    end = sp2_sp3_path("B", "N", 3.625, 1.0)
    assert np.allclose(end.cell.array, stacked("AB", "B", "N", 3.625).cell.array)
    i = neighbor_list("i", end, 1.7)
    assert np.all(np.bincount(i) == 4)
    start = sp2_sp3_path("B", "N", 3.625, 0.0)
    assert np.all(np.bincount(neighbor_list("i", start, 1.6)) == 3)  # flat sheets: three bonds


# ---------------------------------------------------------------------------------- file format


def test_append_read_and_repair_after_interrupted_write(tmp_path):
    path = dataset.family_path(tmp_path, "diamond")
    first = _with_results(bulk("C", "diamond", a=3.57), "a", -18.0)
    second = _with_results(bulk("C", "diamond", a=3.60), "b", -17.9)
    dataset.append(path, first)
    dataset.append(path, second)
    whole = path.read_bytes()
    # a third cell cut off mid-write, as a killed generator leaves it
    partial = gzip.compress(b"2\nLattice=...", mtime=0)[:-9]
    path.write_bytes(whole + partial)
    assert dataset.finished_names(tmp_path) == {"a", "b"}
    assert dataset.repair(path) == len(partial)
    assert path.read_bytes() == whole
    cells = dataset.read(tmp_path)
    assert [c.get_potential_energy() for c in cells] == [-18.0, -17.9]
    assert np.allclose(cells[1].cell.array, second.cell.array)


def test_splits_are_fixed_by_name_and_roughly_80_10_10():
    names = [f"cell_{k}" for k in range(3000)]
    counts = Counter(dataset.split_of(n) for n in names)
    assert [dataset.split_of(n) for n in names[:50]] == [dataset.split_of(n) for n in names[:50]]
    assert 0.75 < counts["train"] / 3000 < 0.85
    assert 0.07 < counts["test"] / 3000 < 0.13 and 0.07 < counts["validation"] / 3000 < 0.13


# ---------------------------------------------------------------------------------- generator


def test_generator_computes_a_cell_and_resumes(tmp_path, capsys):
    pytest.importorskip("gpaw")
    from corvane.training import generate

    cheap = dict(families=["diamond"], limit=1, ecut=250.0, kd_insulator=1.0, kd_metallic=1.0, smearing=0.1)
    assert generate.run(tmp_path, **cheap) == 1
    assert generate.run(tmp_path, **cheap) == 1  # the finished cell is skipped, the next one runs
    cells = dataset.read(tmp_path)
    assert len({c.info["name"] for c in cells}) == 2
    for atoms in cells:
        assert atoms.info["xc"] == "PBE" and atoms.info["ecut"] == 250.0
        assert np.isfinite(atoms.get_potential_energy())
        assert np.abs(atoms.get_forces().sum(axis=0)).max() < 1e-3
        assert np.all(np.isfinite(atoms.get_stress()))
    out = capsys.readouterr().out
    assert "1 cells already computed" in out and "atoms" in out


# ---------------------------------------------------------------------------------- committed data


@pytest.fixture(scope="module")
def committed():
    cells = dataset.read(DATA) if DATA.is_dir() else []
    if not cells:
        pytest.skip("no committed data set in this checkout")
    return cells


def test_committed_cells_carry_settings_and_sane_values(committed):
    known = {c.name: c for c in all_cells()}
    names = [c.info["name"] for c in committed]
    assert len(names) == len(set(names)), "duplicate cells"
    for atoms in committed:
        name = atoms.info["name"]
        assert name in known, name
        assert atoms.info["family"] == known[name].family
        assert atoms.info["split"] == dataset.split_of(name)
        assert atoms.info["xc"] == "PBE" and atoms.info["ecut"] == 800.0 and atoms.info["smearing"] == 0.05
        assert atoms.info["kdensity"] == (3.5 if known[name].metallic else 2.5)
        assert atoms.info["code"].startswith("GPAW")
        assert np.allclose(atoms.cell.array, known[name].atoms.cell.array, atol=1e-6), name
        energy = atoms.get_potential_energy() / len(atoms)
        assert -12.0 < energy < -4.0, name  # eV/atom, PAW-referenced PBE
        forces = atoms.get_forces()
        assert np.abs(forces.sum(axis=0)).max() < 0.05, name
        assert np.abs(dataset.stress_gpa(atoms)).max() < 500, name  # GPa


def test_committed_splits_cover_the_families(committed):
    splits = Counter(c.info["split"] for c in committed)
    assert splits["train"] > splits["validation"] > 0 and splits["test"] > 0
    assert sum(splits.values()) == len(committed)
