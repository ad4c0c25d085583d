"""corvane.build.sigma3: Σ3 twins by a mirror or a 180° rotation, and the twin kernels."""

import inspect
import re

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk
from ase.geometry import find_mic
from ase.neighborlist import neighbor_list

from corvane import _kernels
from corvane.build.sigma3 import Sigma3TwinBoundary

CBN_A = 3.615
CBN_BOND = CBN_A * np.sqrt(3) / 4
CU_A = 3.61
CU_BOND = CU_A / np.sqrt(2)
DIAMOND_A = 3.56


def cbn():
    return bulk("BN", "zincblende", a=CBN_A)


def shifted(atoms, shift):
    moved = atoms.copy()
    moved.translate(shift)
    moved.wrap()
    return moved


# --------------------------------------------------------------------------- independent checks


def bonds(atoms, cutoff):
    i, j, d, D = neighbor_list("ijdD", atoms, cutoff)
    return i, j, d, D


def assert_bulk_shell(atoms, count, bond, species_pairs=None, tol=1e-6):
    """Every atom has `count` neighbours within 1.2 bond, each at `bond` within tol."""
    i, j, d, _ = bonds(atoms, 1.2 * bond)
    coordination = np.bincount(i, minlength=len(atoms))
    assert np.all(coordination == count), np.unique(coordination, return_counts=True)
    assert np.max(np.abs(d - bond)) <= tol, np.max(np.abs(d - bond))
    if species_pairs is not None:
        pairs = {tuple(sorted(p)) for p in zip(atoms.numbers[i], atoms.numbers[j])}
        assert pairs == species_pairs


def close_packed_sequence(atoms, tol=0.05):
    """Lateral stacking positions (0, 1, 2) of the atomic layers from the bottom, layers stacked
    directly on one another counted once; from positions alone."""
    cell = atoms.cell.array
    z = atoms.positions[:, 2]
    order = np.argsort(z, kind="stable")
    frac = np.linalg.solve(cell[:2, :2].T, atoms.positions[:, :2].T).T
    positions, last = [], None
    for k in order:
        if last is not None and z[k] - last <= tol:
            last = z[k]
            continue
        last = z[k]
        # In a triangular net the stacking positions differ by (1/3, 1/3) along the 60° basis
        # (or (1/3, 2/3) along the 120° one); classify by f1 + f2 or f1 - f2 modulo 1.
        f = frac[k] - frac[order[0]]
        gamma = atoms.cell.cellpar()[5]
        value = (f[0] + f[1]) if gamma < 90 else (f[0] - f[1])
        label = int(round(3 * (value % 1.0))) % 3
        if not positions or positions[-1] != label:
            positions.append(label)
    if len(positions) > 1 and positions[0] == positions[-1]:
        positions.pop()
    return positions


def twin_centres(sequence):
    """Positions in a periodic stacking sequence that are centres of a palindrome (...ABA...)."""
    n = len(sequence)
    return [i for i in range(n) if sequence[i - 1] == sequence[(i + 1) % n]]


def same_up_to_translation(a, b, tol=1e-6):
    if len(a) != len(b) or not np.allclose(a.cell.array, b.cell.array, atol=tol):
        return False
    if sorted(a.numbers) != sorted(b.numbers):
        return False
    anchor = 0
    for k in np.nonzero(b.numbers == a.numbers[anchor])[0]:
        shift = b.positions[k] - a.positions[anchor]
        moved = a.positions + shift
        ok = True
        for p, z in zip(moved, a.numbers):
            _, lengths = find_mic(b.positions - p, b.cell, pbc=True)
            hit = np.argmin(lengths)
            if lengths[hit] > tol or b.numbers[hit] != z:
                ok = False
                break
        if ok:
            return True
    return False


# --------------------------------------------------------------------------- c-BN rotation twin


@pytest.mark.parametrize("layers", [[3], [2], [5, 3], [4, 4, 2]])
def test_cbn_rotation_twin_keeps_every_bulk_bond(layers):
    twin = Sigma3TwinBoundary(cbn(), layers=list(layers), operation="rotation").create()
    assert twin.info["twin_operation"] == "rotation"
    assert_bulk_shell(twin, 4, CBN_BOND, species_pairs={(5, 7)})
    assert np.sum(twin.numbers == 5) == np.sum(twin.numbers == 7)
    units = 2 * sum(layers)
    assert len(twin) == 2 * units  # one B and one N per layer unit
    # Two boundaries for every grain pair, seen in the stacking of the atoms themselves.
    sequence = close_packed_sequence(twin)
    assert len(sequence) == units
    assert len(twin_centres(sequence)) == 2 * len(layers)
    assert len(twin.info["twin_boundaries"]) == 2 * len(layers)


def test_cbn_vertical_bonds_point_the_same_way_in_both_grains():
    twin = Sigma3TwinBoundary(cbn(), layers=[4]).create()
    i, j, d, D = bonds(twin, 1.2 * CBN_BOND)
    vertical = np.abs(np.abs(D[:, 2]) - CBN_BOND) < 1e-6
    b_to_n = vertical & (twin.numbers[i] == 5) & (twin.numbers[j] == 7)
    # Every atom has exactly one vertical bond; all point from B to N the same way up.
    assert b_to_n.sum() == len(twin) // 2
    assert len(set(np.sign(D[b_to_n, 2]))) == 1
    # Both grains are present: the stacking turns round at the boundaries.
    assert len(twin_centres(close_packed_sequence(twin))) == 2


def test_cbn_twin_is_independent_of_the_inputs_origin():
    reference = Sigma3TwinBoundary(cbn(), layers=[3]).create()
    rng = np.random.default_rng(7)
    shifts = [(0.1, 0.2, 0.3), (1.0, -0.4, 2.2)] + [tuple(rng.uniform(-3, 3, 3)) for _ in range(3)]
    for shift in shifts:
        twin = Sigma3TwinBoundary(shifted(cbn(), shift), layers=[3]).create()
        assert twin.info["twin_stacking"] == reference.info["twin_stacking"]
        assert same_up_to_translation(twin, reference), shift
        assert_bulk_shell(twin, 4, CBN_BOND, species_pairs={(5, 7)})


def test_cbn_mirror_alone_fails_and_says_what_it_tried():
    with pytest.raises(ValueError) as err:
        Sigma3TwinBoundary(cbn(), operation="mirror").create()
    message = str(err.value)
    assert "\n" not in message
    assert message.startswith(
        "No Σ3 twin on plane (1, 1, 1) of BN: tried mirrors through and "
        "midway above 2 layers of the layer unit;"
    )
    assert "rotation" not in message


def test_cubic_cell_input_gives_the_same_sound_twin():
    conventional = bulk("BN", "zincblende", a=CBN_A, cubic=True)
    twin = Sigma3TwinBoundary(conventional, layers=[3]).create()
    reference = Sigma3TwinBoundary(cbn(), layers=[3]).create()
    assert len(twin) == len(reference)
    assert twin.info["twin_stacking"] == reference.info["twin_stacking"]
    assert_bulk_shell(twin, 4, CBN_BOND, species_pairs={(5, 7)})


# --------------------------------------------------------------------------- elemental crystals


def test_diamond_rotation_equals_mirror_up_to_translation():
    diamond = bulk("C", "diamond", a=DIAMOND_A)
    mirror = Sigma3TwinBoundary(diamond, layers=[3], operation="mirror").create()
    rotation = Sigma3TwinBoundary(diamond, layers=[3], operation="rotation").create()
    assert mirror.info["twin_operation"] == "mirror"
    assert rotation.info["twin_operation"] == "rotation"
    assert same_up_to_translation(mirror, rotation)
    assert_bulk_shell(rotation, 4, DIAMOND_A * np.sqrt(3) / 4)
    # A shifted input gives the same twin as well.
    again = Sigma3TwinBoundary(shifted(diamond, (0.3, 0.1, 0.7)), operation="mirror").create()
    assert same_up_to_translation(again, mirror)


@pytest.mark.parametrize("layers", [3, 4, 5, 8])
def test_fcc_copper_twin_is_twelvefold_with_the_textbook_stacking(layers):
    copper = bulk("Cu", "fcc", a=CU_A)
    twins = [
        Sigma3TwinBoundary(copper, layers=layers, operation=op).create()
        for op in ("mirror", "rotation", "auto")
    ]
    for twin in twins:
        assert_bulk_shell(twin, 12, CU_BOND)
        letters = "".join("ABC"[k] for k in close_packed_sequence(twin))
        assert len(letters) == 2 * layers
        # Relabelled so the first boundary layer is A, the sequence reads ...ABCACBA...
        for start in range(len(letters)):
            rolled = letters[start:] + letters[:start]
            relabel = {rolled[0]: "A", rolled[1]: "B"}
            relabel[({"A", "B", "C"} - set(relabel)).pop()] = "C"
            text = "".join(relabel[c] for c in rolled * 2)
            if "ABCACBA" in text:
                break
        else:
            pytest.fail(letters)
        assert "ABCACBA" in twin.info["twin_stacking"] * 2
    assert same_up_to_translation(twins[0], twins[1])


# --------------------------------------------------------------------------- no twin


@pytest.mark.parametrize(
    "crystal, plane, expected",
    [
        (bulk("Mg"), (0, 0, 1), r"plane \(0, 0, 1\) of Mg2: .*\(Σ1\)"),
        (bulk("BN", "wurtzite", a=2.55, c=4.2), (0, 0, 1), r"of B2N2: .*\(Σ1\)"),
        (bulk("Cu", "fcc", a=CU_A, cubic=True), (1, 1, 0), r"plane \(1, 1, 0\) of Cu4: .*\(Σ1\)"),
        (bulk("Cu", "fcc", a=CU_A, cubic=True), (0, 0, 1), r"\(Σ1\)"),
        # Σ3 lattices, but the (112) boundary cannot keep every neighbour.
        (
            bulk("Cu", "fcc", a=CU_A, cubic=True),
            (1, 1, 2),
            r"plane \(1, 1, 2\) of Cu4: tried mirrors through and midway above 1 layer of the "
            r"layer unit and the 180° rotation about 1 atom column; none keeps every atom's bulk "
            r"neighbours$",
        ),
    ],
)
def test_crystals_without_a_sigma3_twin_get_a_clear_error(crystal, plane, expected):
    with pytest.raises(ValueError, match="^No Σ3 twin on ") as err:
        Sigma3TwinBoundary(crystal, plane=plane).create()
    assert re.search(expected, str(err.value)), str(err.value)
    assert "\n" not in str(err.value)


@pytest.mark.parametrize("supercell", [[1, 1, 1], [2, 1, 3]])
@pytest.mark.parametrize("crystal", [cbn(), bulk("Cu", "fcc", a=CU_A)])
def test_rotation_axes_pass_through_atoms_of_the_boundary_layers(crystal, supercell):
    twin = Sigma3TwinBoundary(crystal, layers=[3, 2], operation="rotation").create(supercell=supercell)
    heights, axes = twin.info["twin_boundaries"], twin.info["twin_axes"]
    assert len(heights) == len(axes) == 4 * supercell[2]
    assert heights == sorted(heights)
    for h, (x, y) in zip(heights, axes):
        _, lengths = find_mic(twin.positions - [x, y, h], twin.cell, pbc=True)
        assert lengths.min() < 1e-6
        # 180° about that column carries the boundary layer onto itself.
        near = np.abs(find_mic(twin.positions - [x, y, h], twin.cell, pbc=True)[0][:, 2]) < 0.01
        assert near.sum() == supercell[0] * supercell[1]
        images = twin.positions[near].copy()
        images[:, :2] = 2 * np.array([x, y]) - images[:, :2]
        for p, z in zip(images, twin.numbers[near]):
            _, lengths = find_mic(twin.positions - p, twin.cell, pbc=True)
            assert lengths.min() < 1e-6 and twin.numbers[np.argmin(lengths)] == z


# --------------------------------------------------------------------------- options


def test_supercell_and_vacuum():
    builder = Sigma3TwinBoundary(cbn(), layers=[3])
    base = builder.create()
    height = base.cell[2, 2]
    wide = builder.create(supercell=[2, 3, 1])
    assert len(wide) == 6 * len(base)
    assert wide.info["twin_boundaries"] == base.info["twin_boundaries"]
    tall = builder.create(supercell=(1, 1, 2))
    assert len(tall) == 2 * len(base)
    assert np.allclose(
        tall.info["twin_boundaries"],
        sorted(base.info["twin_boundaries"] + [h + height for h in base.info["twin_boundaries"]]),
    )
    assert tall.info["twin_stacking"] == base.info["twin_stacking"] * 2
    assert_bulk_shell(tall, 4, CBN_BOND, species_pairs={(5, 7)})

    slab = Sigma3TwinBoundary(cbn(), layers=[3], vacuum=12.0).create()
    z = slab.positions[:, 2]
    assert len(slab) == len(base)
    assert slab.cell[2, 2] == pytest.approx(z.max() - z.min() + 12.0)
    assert z.min() == pytest.approx(6.0)
    # The slab is one piece: the layer that sat on the bottom face went to the top.
    assert z.max() - z.min() < height
    # One boundary left inside, and only the two outer layers lose neighbours.
    assert len(slab.info["twin_boundaries"]) == 1
    assert z.min() < slab.info["twin_boundaries"][0] < z.max()
    i = neighbor_list("i", slab, 1.2 * CBN_BOND)
    short = np.bincount(i, minlength=len(slab)) < 4
    assert np.all((z[short] < z.min() + 0.1) | (z[short] > z.max() - 0.1))
    assert short.sum() == 2


def test_grains_and_the_callers_objects():
    crystal = cbn()
    before = crystal.positions.copy()
    layers = [2, 5]
    builder = Sigma3TwinBoundary(crystal, layers=layers)
    assert builder.bulk is crystal and builder.layers == [5, 2] and layers == [2, 5]
    twin = builder.build()
    assert builder.twin_boundary is twin
    assert [len(g) for g in builder.grains] == [10, 4, 4, 10]
    assert sum(len(g) for g in builder.grains) == len(twin)
    assert np.array_equal(crystal.positions, before)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"layers": [1]}, "layers must be whole numbers of at least 2 layer units per grain; got [1]"),
        ({"layers": "3"}, "layers must be whole numbers of at least 2 layer units per grain; got '3'"),
        ({"layers": [3, 2.5]}, "got [3, 2.5]"),
        ({"layers": []}, "got []"),
        ({"plane": (0, 0, 0)}, "plane must be three integer Miller indices, not all zero; got (0, 0, 0)"),
        ({"plane": (1, 1)}, "got (1, 1)"),
        ({"plane": (1, 1, 1.5)}, "got (1, 1, 1.5)"),
        ({"operation": "flip"}, "operation must be 'auto', 'mirror' or 'rotation'; got 'flip'"),
        ({"tol": 0.0}, "tol must be a positive distance in Angstrom; got 0.0"),
        ({"tol": float("nan")}, "tol must be a positive distance in Angstrom; got nan"),
        ({"vacuum": -1}, "vacuum must be a distance of 0 or more Angstrom; got -1"),
    ],
)
def test_bad_arguments_name_the_value(kwargs, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        Sigma3TwinBoundary(cbn(), **kwargs)


def test_bad_bulk_and_supercell():
    with pytest.raises(ValueError, match="periodic in all three directions"):
        Sigma3TwinBoundary(Atoms("BN", positions=[[0, 0, 0], [1, 1, 1]], cell=[3, 3, 3], pbc=False))
    with pytest.raises(ValueError, match="no atoms"):
        Sigma3TwinBoundary(Atoms(cell=[3, 3, 3], pbc=True))
    with pytest.raises(FileNotFoundError):
        Sigma3TwinBoundary("no-such-file.vasp")
    with pytest.raises(TypeError):
        Sigma3TwinBoundary(cbn(), tol="0.1")
    builder = Sigma3TwinBoundary(cbn())
    for supercell in ([0, 1, 1], [1, 1], "111", [1.5, 1, 1]):
        with pytest.raises(ValueError, match=re.escape("supercell must be three positive integers; got ")):
            builder.create(supercell=supercell)


def test_reads_a_structure_file(tmp_path):
    path = tmp_path / "cbn.vasp"
    cbn().write(path)
    twin = Sigma3TwinBoundary(str(path), layers=[2]).create()
    assert_bulk_shell(twin, 4, CBN_BOND, species_pairs={(5, 7)})


def test_signature():
    assert str(inspect.signature(Sigma3TwinBoundary.__init__)) == (
        "(self, bulk: 'str | Atoms', plane: 'tuple' = (1, 1, 1), layers: 'list' = [3], "
        "operation: 'str' = 'auto', tol: 'float' = 0.01, vacuum: 'float' = 0.0)"
    )
    assert str(inspect.signature(Sigma3TwinBoundary.create)) == "(self, supercell=[1, 1, 1]) -> 'Atoms'"
    assert Sigma3TwinBoundary.__module__ == "corvane.build.sigma3"


def test_oriented_unit_is_the_primitive_cell_on_the_plane():
    unit = Sigma3TwinBoundary(bulk("Cu", "fcc", a=CU_A, cubic=True)).oriented_unit()
    assert len(unit) == 1
    cell = unit.cell.array
    assert np.allclose(cell[:2, 2], 0) and cell[2, 2] == pytest.approx(CU_A / np.sqrt(3))
    assert abs(unit.get_volume()) == pytest.approx(CU_A**3 / 4)


# --------------------------------------------------------------------------- kernels


@pytest.mark.parametrize("hkl", [(1, 1, 1), (1, 0, 0), (1, 2, 3), (2, 2, 2), (0, -1, 1), (3, 1, 0)])
def test_plane_basis(hkl):
    cell = bulk("Cu", "fcc", a=CU_A).cell.array
    rows = _kernels.plane_basis(cell, np.array(hkl))
    g = np.array(hkl) // np.gcd.reduce(np.abs(hkl))
    assert abs(round(np.linalg.det(rows))) == 1
    assert list(rows[:2] @ g) == [0, 0] and rows[2] @ g == 1
    vectors = rows @ cell
    assert np.dot(np.cross(vectors[0], vectors[1]), vectors[2]) > 0
    normal = g @ np.linalg.inv(cell).T
    lateral = vectors[2] - normal * np.dot(vectors[2], normal) / np.dot(normal, normal)
    # Shortest in-plane part: no in-plane lattice vector brings it closer to the normal.
    for a in (-1, 0, 1):
        for b in (-1, 0, 1):
            other = lateral - a * vectors[0] - b * vectors[1]
            assert np.linalg.norm(other) >= np.linalg.norm(lateral) - 1e-9
    with pytest.raises(ValueError, match="do not define a plane"):
        _kernels.plane_basis(cell, np.array([0, 0, 0]))


def test_coincidence_index():
    fcc = bulk("Cu", "fcc", a=CU_A).cell.array
    n = np.array([1.0, 1.0, 1.0]) / np.sqrt(3)
    mirror_111 = np.eye(3) - 2 * np.outer(n, n)
    rotation_111 = 2 * np.outer(n, n) - np.eye(3)
    assert _kernels.coincidence_index(fcc, mirror_111) == 3
    assert _kernels.coincidence_index(fcc, rotation_111) == 3
    assert _kernels.coincidence_index(fcc, np.eye(3)) == 1
    assert _kernels.coincidence_index(fcc, np.diag([-1.0, -1.0, 1.0])) == 1
    # The Σ5 rotation about [001] (36.87°) on a simple cubic lattice.
    c, s = 4 / 5, 3 / 5
    assert _kernels.coincidence_index(np.eye(3), np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])) == 5
    # An irrational angle has no coincidence lattice.
    t = 0.3
    rot = np.array([[np.cos(t), -np.sin(t), 0], [np.sin(t), np.cos(t), 0], [0, 0, 1]])
    assert _kernels.coincidence_index(np.eye(3), rot) == 0


def test_shell_mismatches_flags_the_displaced_atom_and_its_neighbours():
    unit = bulk("BN", "zincblende", a=CBN_A)
    crystal = unit.repeat((3, 3, 3))
    site = np.tile(np.arange(2), 27)
    args = (unit.positions, unit.numbers, unit.cell.array, 1.2 * CBN_BOND, 1e-6)

    def mismatches(atoms):
        return _kernels.shell_mismatches(
            atoms.positions, atoms.numbers, site, atoms.cell.array, atoms.pbc, *args[:3], args[3], args[4]
        )

    assert list(mismatches(crystal)) == []
    moved = crystal.copy()
    moved.positions[10] += [0.0, 0.0, 1e-4]
    neighbours = neighbor_list("j", crystal, 1.2 * CBN_BOND)[
        neighbor_list("i", crystal, 1.2 * CBN_BOND) == 10
    ]
    assert sorted(mismatches(moved)) == sorted({10, *neighbours})
    swapped = crystal.copy()
    swapped.numbers[3] = 6  # a carbon on a nitrogen site: its own and its neighbours' shells change
    assert 3 in mismatches(swapped)
    with pytest.raises(IndexError):
        _kernels.shell_mismatches(
            crystal.positions,
            crystal.numbers,
            site + 5,
            crystal.cell.array,
            crystal.pbc,
            *args[:3],
            args[3],
            args[4],
        )
