"""corvane.build.twin: the coherent twin-boundary builder."""

import inspect
import re

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk, surface
from twin_checks import (
    DIAMOND_BOND,
    DIAMOND_D111,
    SILICON_A,
    SILICON_BOND,
    assert_planes,
    assert_sound_tetrahedral,
    coordination,
    expected_boundaries,
    mirror_planes,
)

import corvane.build.twin as twin
import corvane.core as core
from corvane.build.twin import CoherentTwinBoundary

NO_MIRROR = "Failed to find any valid mirror plane by reflection."
TYPE_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


@pytest.fixture
def diamond():
    return bulk("C", "diamond", a=3.56)


# --------------------------------------------------------------------------- module and class


def test_module_namespace_and_class_layout():
    import ase.atoms
    import ase.build
    import ase.cell
    import ase.io

    names = [n for n in vars(twin) if not n.startswith("__")]
    assert names == [
        "np",
        "surface",
        "sort",
        "make_supercell",
        "read",
        "Cell",
        "Atoms",
        "average_atoms",
        "mirror_array",
        "compute_d_hkl",
        "check_reflection_symmetry",
        "get_layers",
        "CoherentTwinBoundary",
    ]
    assert twin.np is np and twin.surface is ase.build.surface and twin.read is ase.io.read
    assert twin.Cell is ase.cell.Cell and twin.Atoms is ase.atoms.Atoms
    assert twin.get_layers is core.get_layers

    cls = CoherentTwinBoundary
    assert cls.__bases__ == (object,) and cls.__module__ == "corvane.build.twin"
    assert cls.__doc__ == (
        "\n    A class to create a coherent twin boundary from a bulk crystal structure.\n    "
    )
    methods = [n for n in vars(cls) if not n.startswith("__") or n == "__init__"]
    assert methods == [
        "__init__",
        "find_mirror_plane",
        "_guess_delete_layers",
        "generate_grains",
        "mirror_grain",
        "stack_grains",
        "create",
    ]


def test_signatures_annotations_and_docstrings():
    cls = CoherentTwinBoundary
    init = cls.__init__
    assert str(inspect.signature(init)) == (
        "(self, bulk: 'str | Atoms', plane: 'tuple' = (1, 1, 1), layers: 'list' = [3], "
        "tol_surface: 'float' = 0.02, tol_layer: 'float' = 0.1, average_cutoff: 'float' = 0.2, "
        "delete_layers: 'list' = [], gap: 'float' = 0.0, vacuum: 'float' = 0.0, "
        "direction: 'int' = 2, symprec: 'float' = 0.0)"
    )
    assert list(init.__annotations__) == [
        "bulk",
        "plane",
        "layers",
        "tol_surface",
        "tol_layer",
        "average_cutoff",
        "delete_layers",
        "gap",
        "vacuum",
        "direction",
        "symprec",
    ]
    assert "Args:" in init.__doc__
    assert cls.find_mirror_plane.__annotations__ == {"grain": "Atoms", "direction": "int", "tol": "float"}
    assert cls.find_mirror_plane.__doc__.strip().startswith("Finds a mirror plane in a slab structure.")
    assert cls._guess_delete_layers.__annotations__ == {}
    assert cls._guess_delete_layers.__doc__ == (
        " Guesses layers to delete based on finding a mirror plane for a given number of layers. "
    )
    assert cls.generate_grains.__annotations__ == {"return": "list"}
    assert cls.mirror_grain.__annotations__ == {"grain": "Atoms", "return": "Atoms"}
    assert cls.stack_grains.__annotations__ == {"grains": "list", "gap": "float", "return": "Atoms"}
    assert cls.create.__annotations__ == {}
    assert cls.create.__doc__.strip() == (
        "A high-level method to execute the full workflow of creating the twin boundary."
    )
    assert cls.mirror_grain.__doc__.strip().startswith("Creates a mirrored copy of the input grain.")
    assert cls.stack_grains.__doc__.strip().startswith(
        "Stacks a list of grains to create the twin boundary structure."
    )


# --------------------------------------------------------------------------- constructor


def test_constructor_attributes_in_order(diamond):
    layers = [2, 5, 3]
    gb = CoherentTwinBoundary(diamond, layers=layers, vacuum=0, symprec=0)
    assert list(vars(gb)) == [
        "plane",
        "layers",
        "direction",
        "vacuum",
        "tol_surface",
        "tol_layer",
        "average_cutoff",
        "symprec",
        "delete_layers",
        "gap",
        "bulk",
        "grains",
        "grain_boundary",
        "grain_template",
    ]
    assert gb.layers is layers and layers == [5, 3, 2]
    assert gb.bulk is diamond
    assert type(gb.vacuum) is float and gb.vacuum == 0.0 and type(gb.symprec) is float
    assert gb.grains == [] and gb.grain_boundary is None and gb.grain_template is None
    assert CoherentTwinBoundary(diamond, layers=4).layers == [4]
    # the list defaults are single shared objects
    a, b = CoherentTwinBoundary(diamond), CoherentTwinBoundary(diamond)
    assert a.delete_layers is b.delete_layers is CoherentTwinBoundary.__init__.__defaults__[5]
    assert a.layers is CoherentTwinBoundary.__init__.__defaults__[1]


def test_constructor_reads_paths_and_accepts_atoms_subclasses(tmp_path, diamond):
    path = tmp_path / "POSCAR"
    diamond.write(path, format="vasp")
    gb = CoherentTwinBoundary(str(path))
    assert isinstance(gb.bulk, Atoms) and len(gb.bulk) == 2

    class MyAtoms(Atoms):
        pass

    mine = MyAtoms(diamond)
    assert CoherentTwinBoundary(mine).bulk is mine


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"plane": [1, 1, 1]}, TYPE_MSG.format("plane", "tuple", "list")),
        ({"layers": (3,)}, TYPE_MSG.format("layers", "list", "tuple")),
        ({"layers": True}, TYPE_MSG.format("layers", "list", "bool")),
        ({"delete_layers": None}, TYPE_MSG.format("delete_layers", "list", "NoneType")),
        ({"direction": 2.0}, TYPE_MSG.format("direction", "int", "float")),
        ({"direction": True}, TYPE_MSG.format("direction", "int", "bool")),
        # float conversion comes first, then the checks in parameter order
        ({"plane": [1], "symprec": "x"}, "must be real number, not str"),
        ({"plane": [1], "direction": 1.0}, TYPE_MSG.format("plane", "tuple", "list")),
    ],
)
def test_constructor_type_errors(diamond, kwargs, message):
    with pytest.raises(TypeError) as err:
        CoherentTwinBoundary(diamond, **kwargs)
    assert message in str(err.value)


def test_direction_is_checked_after_reading_the_bulk(tmp_path, diamond):
    with pytest.raises(FileNotFoundError):
        CoherentTwinBoundary(str(tmp_path / "missing.vasp"), direction=0)
    with pytest.raises(ValueError, match=r"^Only support z direction, where 'direction=2'$"):
        CoherentTwinBoundary(diamond, direction=0)
    with pytest.raises(TypeError):
        CoherentTwinBoundary()
    with pytest.raises(TypeError):
        CoherentTwinBoundary(diamond, nonsense=1)


# --------------------------------------------------------------------------- mirror-plane search


class FakeSlab:
    """Stands in for a slab: `n` atoms at z = 0, 1, 2, ...; indexing returns the indices."""

    def __init__(self, n):
        self.n = n

    def get_positions(self):
        return np.c_[np.zeros(self.n), np.zeros(self.n), np.arange(self.n, dtype=float)]

    def __getitem__(self, idx):
        return tuple(np.atleast_1d(idx).tolist())


def fake_layers(positions, direction=2, tol=0.1):
    return [[i] for i in range(len(positions))]


@pytest.fixture
def symmetric_at(monkeypatch):
    """Replaces the module's utilities: mirror planes at the given heights."""

    def install(planes):
        calls = []

        def check(plane, direction, tol, below, above):
            calls.append(float(plane))
            return float(plane) in planes

        monkeypatch.setattr(twin, "get_layers", fake_layers)
        monkeypatch.setattr(twin, "check_reflection_symmetry", check)
        return calls

    return install


def test_search_order_prefers_planes_through_layers_then_the_highest(symmetric_at, diamond):
    gb = CoherentTwinBoundary(diamond)
    symmetric_at({5.0, 6.5})
    assert gb.find_mirror_plane(FakeSlab(10)) == (5, 0.0)
    symmetric_at({3.0, 6.0})
    assert gb.find_mirror_plane(FakeSlab(10)) == (6, 0.0)
    calls = symmetric_at({6.5})
    index, offset = gb.find_mirror_plane(FakeSlab(10))
    assert (index, offset) == (6, 1.0)
    # through layers 8..2, then between from 8.5 down to 6.5
    assert calls == [8.0, 7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 8.5, 7.5, 6.5]
    calls = symmetric_at(set())
    result = gb.find_mirror_plane(FakeSlab(10))
    assert result == (None, 0) and type(result[1]) is int
    assert len(calls) == 2 * (10 - 3)


def test_search_on_few_layers(symmetric_at, diamond):
    gb = CoherentTwinBoundary(diamond)
    calls = symmetric_at({0.0, 1.0, 1.5, 2.0})
    for n in (0, 1):
        result = gb.find_mirror_plane(FakeSlab(n))
        assert result == (None, 0.0) and type(result[1]) is float
    for n in (2, 3):
        result = gb.find_mirror_plane(FakeSlab(n))
        assert result == (None, 0) and type(result[1]) is int
    assert calls == []


def test_search_arguments(diamond):
    gb = CoherentTwinBoundary(diamond)
    slab = surface(diamond, (1, 1, 1), 6, vacuum=10.0)
    with pytest.raises(TypeError, match=re.escape(TYPE_MSG.format("direction", "int", "float"))):
        gb.find_mirror_plane(slab, 2.0)
    with pytest.raises(TypeError):
        gb.find_mirror_plane(slab, 2, tol="wide")
    index, gap = gb.find_mirror_plane(slab, 2, 0.1)
    assert index == 10 and gap == pytest.approx(DIAMOND_BOND)


def test_guess_delete_layers_with_given_layers_returns_that_list(monkeypatch, diamond):
    given = [0, -1]
    gb = CoherentTwinBoundary(diamond, delete_layers=given)
    monkeypatch.setattr(twin, "get_layers", None)  # must not be called
    assert gb._guess_delete_layers(object(), 7, index=3) is given
    assert gb._guess_delete_layers(None, "any") is given


def test_guess_delete_layers_index_zero_and_missing_plane(symmetric_at, diamond):
    gb = CoherentTwinBoundary(diamond)
    symmetric_at(set())
    with pytest.raises(ValueError, match=f"^{NO_MIRROR}$"):
        gb._guess_delete_layers(FakeSlab(10), 1, index=0)
    with pytest.raises(ValueError, match=f"^{NO_MIRROR}$"):
        gb._guess_delete_layers(FakeSlab(10), 1)
    assert gb.gap == 0.0


def test_guess_delete_layers_bounds_and_gap_adoption(symmetric_at, monkeypatch, diamond):
    gb = CoherentTwinBoundary(diamond, tol_layer=0.5)
    d = 1.0
    monkeypatch.setattr(twin, "compute_d_hkl", lambda b, p: d)
    symmetric_at({7.5})  # between layers 7 and 8, spacing 1.0
    # right_p = 7 - 3 + 0.5 = 4.5, left_p = 4.25: layers 0..4 go, 5..7 stay, 8, 9 go
    assert gb._guess_delete_layers(FakeSlab(10), 3) == [8, 9, 0, 1, 2, 3, 4]
    assert gb.gap == 1.0
    # a layer exactly at left_p = 7 - 2 + 0.25 - 0.25 = 5 is kept, one just below goes
    gb.gap = 0.5
    assert gb._guess_delete_layers(FakeSlab(10), 2, index=7) == [8, 9, 0, 1, 2, 3, 4]
    assert gb._guess_delete_layers(FakeSlab(10), 1.99, index=7) == [8, 9, 0, 1, 2, 3, 4, 5]
    # a non-zero gap is never overwritten
    symmetric_at({6.5})
    gb._guess_delete_layers(FakeSlab(10), 1)
    assert gb.gap == 0.5


# --------------------------------------------------------------------------- grains and stacking


def assert_same_sites(a, b):
    """Same atoms up to order and in-plane lattice translations."""
    fa, fb = a.get_scaled_positions(wrap=False), b.get_scaled_positions(wrap=False)
    fa, fb = fa[np.argsort(a.positions[:, 2])], fb[np.argsort(b.positions[:, 2])]
    diff = fa - fb
    diff[:, :2] -= np.round(diff[:, :2])
    np.testing.assert_allclose(diff, 0, atol=1e-9)


def thickness_units(grain, d, gap):
    z = grain.positions[:, 2]
    return (np.ptp(z) + gap) / d


def test_default_grains_are_mirror_pairs(diamond):
    gb = CoherentTwinBoundary(diamond)
    grains = gb.generate_grains()
    assert grains is gb.grains and len(grains) == 2
    assert gb.gap == pytest.approx(DIAMOND_BOND)
    for g in grains:
        assert thickness_units(g, DIAMOND_D111, gb.gap) == pytest.approx(3)
    mirrored = gb.mirror_grain(grains[0])
    np.testing.assert_allclose(mirrored.positions, grains[1].positions)
    reflected = grains[0].copy()
    reflected.positions[:, 2] = reflected.cell[2, 2] - reflected.positions[:, 2]
    assert_same_sites(mirrored, reflected)


def test_multi_grain_thicknesses_and_user_deleted_layers(diamond):
    gb = CoherentTwinBoundary(diamond, layers=[3, 5])
    grains = gb.generate_grains()
    units = [thickness_units(g, DIAMOND_D111, gb.gap) for g in grains]
    np.testing.assert_allclose(units, [5, 3, 3, 5])

    gb = CoherentTwinBoundary(diamond, layers=[5, 3], delete_layers=[0, 1, -1, -2])
    grains = gb.generate_grains()
    slab = surface(diamond, (1, 1, 1), 8, vacuum=10.0, tol=0.02)
    assert len(grains) == 4 and len(grains[0]) == len(slab) - 4
    for a, b in [(1, 0), (2, 1), (3, 0)]:
        assert len(grains[a]) == len(grains[b])
    assert_same_sites(grains[2], grains[0])


def test_generate_grains_failure_keeps_previous_grains(diamond):
    gb = CoherentTwinBoundary(bulk("BN", "zincblende", a=3.615))
    before = gb.grains
    with pytest.raises(ValueError, match=f"^{NO_MIRROR}$"):
        gb.generate_grains()
    assert gb.grains is before


def test_stacking_heights_and_cell_lengths(diamond):
    gb = CoherentTwinBoundary(diamond)
    grains = gb.generate_grains()
    extents = [np.ptp(g.positions[:, 2]) for g in grains]

    one = gb.stack_grains([grains[0]], gap=5.0)
    assert one.cell[2, 2] == pytest.approx(extents[0])
    assert one is gb.grain_boundary and one.pbc.all()

    gb.average_cutoff = 0.0
    zero = gb.stack_grains(grains, gap=0)
    z = zero.positions[:, 2]
    n0 = len(grains[0])
    assert z[:n0].min() == 0.0
    assert z[n0:].min() == pytest.approx(z[:n0].max())
    assert zero.cell[2, 2] == pytest.approx(sum(extents))

    gb.vacuum = 8.0
    vac = gb.stack_grains(grains, gap=1.0)
    z = vac.positions[:, 2]
    assert vac.cell[2, 2] == pytest.approx(np.ptp(z) + 8.0)
    assert z.min() == pytest.approx(4.0)
    np.testing.assert_allclose(vac.positions[:, :2], np.vstack([g.positions[:, :2] for g in grains]))


def test_stack_grains_arguments(diamond):
    gb = CoherentTwinBoundary(diamond)
    with pytest.raises(TypeError, match="expected list, got tuple"):
        gb.stack_grains(tuple(gb.generate_grains()))
    with pytest.raises(TypeError, match="must be real number"):
        gb.stack_grains((), gap="x")  # conversion reported before the type check
    with pytest.raises(IndexError):
        gb.stack_grains([])


def test_create_supercell_sorting_and_repeat(diamond):
    salt = bulk("NaCl", "rocksalt", a=5.64, cubic=True)
    gb = CoherentTwinBoundary(diamond)
    result = gb.create()
    assert result is not gb.grain_boundary and len(result) == len(gb.grain_boundary) == 12
    big = gb.create(supercell=[2, 2, 1])
    assert len(big) == 48 and len(gb.grain_boundary) == 12
    np.testing.assert_allclose(big.cell.lengths(), result.cell.lengths() * [2, 2, 1])
    # sorting is by symbol; the stored structure is neither replicated nor sorted
    mixed = CoherentTwinBoundary(salt, plane=(0, 0, 1), layers=2)
    out = mixed.create()
    symbols = out.get_chemical_symbols()
    assert symbols == sorted(symbols)
    assert mixed.grain_boundary.get_chemical_symbols() != symbols
    # a repeated create reuses the adopted gap
    gap = gb.gap
    gb.create()
    assert gb.gap == gap


def test_primitive_reduction_is_not_periodic():
    si = bulk("Si", "diamond", a=SILICON_A, cubic=True)  # four times the primitive area
    out = CoherentTwinBoundary(si, symprec=1e-3).create()
    assert not out.pbc.any()
    plain = CoherentTwinBoundary(si).create()
    assert plain.pbc.all()
    assert len(out) == len(plain) // 4 == 12
    periodic = out.copy()
    periodic.pbc = True
    assert_sound_tetrahedral(periodic, SILICON_BOND, 2.6)


# --------------------------------------------------------------------------- real crystals


def test_diamond_twin_is_sound_and_mirror_symmetric(diamond):
    gb = CoherentTwinBoundary(diamond, layers=[4, 2])
    out = gb.create()
    assert_sound_tetrahedral(out, DIAMOND_BOND, 1.7)
    c = out.cell[2, 2]
    assert c == pytest.approx(12 * DIAMOND_D111)
    planes = mirror_planes(out, window=1.9 * DIAMOND_D111)
    assert_planes(planes, expected_boundaries([4, 2, 2, 4], DIAMOND_D111, DIAMOND_BOND, c), c)


def test_the_checks_reject_an_untwinned_crystal(diamond):
    perfect = surface(diamond, (1, 1, 1), 6, periodic=True)
    assert_sound_tetrahedral(perfect, DIAMOND_BOND, 1.7)
    assert len(mirror_planes(perfect, window=1.9 * DIAMOND_D111)) == 0


def test_silicon_from_a_cubic_cell():
    si = bulk("Si", "diamond", a=SILICON_A, cubic=True)
    out = CoherentTwinBoundary(si).create()
    assert len(out) == 48
    assert_sound_tetrahedral(out, SILICON_BOND, 2.6)
    d = SILICON_A / np.sqrt(3)
    c = out.cell[2, 2]
    assert_planes(mirror_planes(out, 2.5 * d), expected_boundaries([3, 3], d, SILICON_BOND, c), c)


def test_zero_gap_plane_through_a_layer_merges_hcp_magnesium():
    mg = bulk("Mg")
    gb = CoherentTwinBoundary(mg, plane=(0, 0, 1), layers=[2])
    index, gap = gb.find_mirror_plane(surface(mg, (0, 0, 1), 5, vacuum=10.0))
    assert gap == 0.0 and index is not None
    out = gb.create()
    assert gb.gap == 0.0
    before = sum(len(g) for g in gb.grains)
    assert len(out) == before - 2  # one coinciding layer at each of the two boundaries
    assert np.all(coordination(out, 3.5) == 12)


def test_zinc_blende_has_no_same_species_mirror_plane():
    bn = bulk("BN", "zincblende", a=3.615)
    gb = CoherentTwinBoundary(bn)
    assert gb.find_mirror_plane(surface(bn, (1, 1, 1), 6, vacuum=10.0)) == (None, 0)
    with pytest.raises(ValueError, match=f"^{NO_MIRROR}$"):
        gb.create()


# --------------------------------------------------------------- values that used to mislead


def test_negative_vacuum_adds_no_vacuum(diamond):
    gb = CoherentTwinBoundary(diamond, vacuum=-100.0, average_cutoff=0.0)
    grains = gb.generate_grains()
    stacked = gb.stack_grains(grains, gap=0.0)
    assert stacked.cell[2, 2] == pytest.approx(sum(np.ptp(g.positions[:, 2]) for g in grains))
    assert gb.vacuum == -100.0  # stored as given


@pytest.mark.parametrize("supercell", [[0, 0, 0], [-1, 1, 1], [2, 0, 1], (1, 1, -2)])
def test_create_refuses_non_positive_repetitions(diamond, supercell):
    with pytest.raises(ValueError, match="^supercell: every repetition must be a positive integer"):
        CoherentTwinBoundary(diamond).create(supercell=supercell)


def test_out_of_range_layers_to_delete_warn(diamond):
    gb = CoherentTwinBoundary(diamond, delete_layers=[99, 0, -40])
    with pytest.warns(UserWarning, match=r"the slab has \d+ layers .*out-of-range entries \[-40, 99\]"):
        grains = gb.generate_grains()
    kept = CoherentTwinBoundary(diamond, delete_layers=[0]).generate_grains()
    assert len(grains[0]) == len(kept[0])  # only layer 0 was deleted
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        CoherentTwinBoundary(diamond, delete_layers=[0, -1]).generate_grains()  # in range: quiet
        CoherentTwinBoundary(diamond).generate_grains()  # automatic deletion: quiet
