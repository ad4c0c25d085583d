"""The polycrystal builder: its two kernels against brute force, and the Polycrystal service."""

import itertools

import numpy as np
import pytest
from ase.build import bulk
from ase.io import read, write
from ase.neighborlist import neighbor_list

from corvane import _kernels
from corvane.build.polycrystal import (
    Polycrystal,
    random_rotation,
    rotation_angles,
    rotation_matrix,
)

AL = 4.046


def al():
    return bulk("Al", "fcc", a=AL, cubic=True)


def rotations(n, seed):
    rng = np.random.default_rng(seed)
    return np.array([random_rotation(rng) for _ in range(n)])


def nearest_centre(points, centres, box):
    """Index of the nearest centre of each point (27 images: exact for an orthorhombic box)."""
    shifts = np.array(list(itertools.product((-1, 0, 1), repeat=3))) * box
    images = centres[:, None, :] + shifts[None, :, :]
    d = np.linalg.norm(points[:, None, None, :] - images[None], axis=-1).min(axis=2)
    return d.argmin(axis=1), np.sort(d, axis=1)


def min_distance(atoms):
    d = neighbor_list("d", atoms, 3.0)
    return d.min() if len(d) else np.inf


# -- kernels ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "box, n_grains, seed",
    [
        ((40.0, 40.0, 40.0), 6, 1),
        ((30.0, 45.0, 60.0), 10, 2),  # unequal edges
        ((60.0, 60.0, 9.0), 5, 3),  # a flat box, thinner than the grains
        ((25.0, 25.0, 25.0), 1, 4),  # one grain: its cell is the whole box
        ((20.0, 20.0, 20.0), 40, 5),  # grains of only a few dozen atoms
    ],
)
def test_fill_assigns_every_atom_to_its_nearest_centre(box, n_grains, seed):
    box = np.array(box)
    centres = np.random.default_rng(seed).random((n_grains, 3)) * box
    crystal = al()
    pos, grain, site, counts = _kernels.fill_voronoi_grains(
        box, centres, rotations(n_grains, seed), crystal.cell[:], crystal.positions, True
    )
    owner, dist = nearest_centre(pos, centres, box)
    ties = dist[:, 1] - dist[:, 0] < 1e-6 if n_grains > 1 else np.zeros(len(pos), bool)
    assert np.all((owner == grain) | ties)
    assert np.all((pos >= 0) & (pos < box))
    np.testing.assert_array_equal(np.bincount(grain, minlength=n_grains), counts)
    assert set(site) <= set(range(len(crystal)))
    # A full tessellation: the atom count matches the crystal's density.
    expected = 4 * np.prod(box) / AL**3
    assert abs(len(pos) - expected) / expected < 0.03


@pytest.mark.parametrize("rotation", [np.eye(3), rotation_matrix([0, 0, 90])])
def test_fill_of_commensurate_grains_rebuilds_the_perfect_crystal(rotation):
    # Grains with the crystal's own orientation whose centres sit on lattice points: the grain
    # boundaries and the box faces fall on atoms, and each such atom must appear exactly once.
    box = np.array([6, 6, 6]) * AL
    centres = np.array([[0, 0, 0], [3, 0, 0], [1, 4, 2], [3, 3, 3]]) * AL + 0.3
    crystal = al()
    pos, grain, _, counts = _kernels.fill_voronoi_grains(
        box, centres, np.array([rotation] * 4), crystal.cell[:], crystal.positions, True
    )
    assert len(pos) == 4 * 6**3
    assert counts.min() > 0
    lattice = (pos - 0.3) / (AL / 2)
    np.testing.assert_allclose(lattice, np.round(lattice), atol=1e-9)
    from ase import Atoms

    atoms = Atoms("Al%d" % len(pos), positions=pos, cell=box, pbc=True)
    assert min_distance(atoms) == pytest.approx(AL / np.sqrt(2))


def test_fill_unwrapped_keeps_each_grain_around_its_centre():
    box = np.array([30.0, 30.0, 30.0])
    centres = np.array([[1.0, 1.0, 1.0], [15.0, 15.0, 15.0]])
    crystal = al()
    wrapped = _kernels.fill_voronoi_grains(
        box, centres, rotations(2, 0), crystal.cell[:], crystal.positions, True
    )[0]
    pos, grain, _, _ = _kernels.fill_voronoi_grains(
        box, centres, rotations(2, 0), crystal.cell[:], crystal.positions, False
    )
    assert (pos < 0).any()
    np.testing.assert_allclose(np.mod(pos, box) % box, wrapped, atol=1e-9)
    # Unwrapped, no atom is farther from its centre than the cell allows.
    assert np.all(np.abs(pos - centres[grain]) <= box / 2 + 1e-9)


def test_fill_rejects_coinciding_centres_and_flat_seed():
    crystal = al()
    with pytest.raises(ValueError, match="coincide"):
        _kernels.fill_voronoi_grains(
            [20.0] * 3, [[1.0, 2, 3], [21.0, 2, 3]], rotations(2, 0), crystal.cell[:], crystal.positions, True
        )
    with pytest.raises(ValueError, match="linearly dependent"):
        _kernels.fill_voronoi_grains(
            [20.0] * 3, [[1.0, 2, 3]], rotations(1, 0), np.diag([4.0, 4.0, 0.0]), crystal.positions, True
        )


def greedy_reference(atoms, distance):
    i, j = neighbor_list("ij", atoms, distance)
    keep = np.ones(len(atoms), bool)
    for a, b in sorted(zip(i, j)):
        if b > a and keep[a]:
            keep[b] = False
    return keep


def test_close_atom_removal_matches_greedy_reference_across_the_box_edge():
    rng = np.random.default_rng(3)
    atoms = bulk("Cu", "fcc", a=3.6, cubic=True) * (4, 4, 4)
    extra = atoms.positions[rng.choice(len(atoms), 40, replace=False)] + rng.normal(0, 0.4, (40, 3))
    extra[:5] = [[0.05, 7.0, 7.0], [14.35, 7.02, 7.0], [3.0, 0.1, 14.3], [3.1, 14.3, 0.1], [8, 8, 8]]
    atoms.extend(bulk("Cu", "fcc", a=3.6) * (1, 1, 1))  # one more atom at the origin: a double
    for p in extra:
        atoms.append("Cu")
        atoms.positions[-1] = p
    keep = _kernels.close_atom_keep_mask(atoms.positions, atoms.cell[:], atoms.pbc, 1.5)
    np.testing.assert_array_equal(keep, greedy_reference(atoms, 1.5))
    kept = atoms[keep]
    assert min_distance(kept) >= 1.5
    assert len(kept) < len(atoms)
    # Every removed atom had a kept atom within the distance.
    i, j = neighbor_list("ij", atoms, 1.5)
    for removed in np.flatnonzero(~keep):
        assert keep[j[i == removed]].any()


def test_close_atom_removal_edge_cases():
    crystal = al()
    cell, pbc = crystal.cell[:], crystal.pbc
    assert _kernels.close_atom_keep_mask(crystal.positions, cell, pbc, 2.0).all()
    assert _kernels.close_atom_keep_mask(np.zeros((0, 3)), cell, pbc, 2.0).shape == (0,)
    doubled = np.vstack([crystal.positions, crystal.positions + 1e-4])
    keep = _kernels.close_atom_keep_mask(doubled, cell, pbc, 0.5)
    np.testing.assert_array_equal(keep, [True] * 4 + [False] * 4)
    # A cutoff longer than the cell: an atom's own images are not doubles of it.
    assert _kernels.close_atom_keep_mask([[0.0, 0, 0]], np.eye(3) * 2, pbc, 3.0).all()


# -- orientations ------------------------------------------------------------------------------


def test_rotations_are_proper_and_angles_round_trip():
    rng = np.random.default_rng(11)
    for _ in range(50):
        r = random_rotation(rng)
        np.testing.assert_allclose(r @ r.T, np.eye(3), atol=1e-12)
        assert np.linalg.det(r) == pytest.approx(1.0)
        np.testing.assert_allclose(rotation_matrix(rotation_angles(r)), r, atol=1e-10)
    np.testing.assert_allclose(rotation_matrix([0, 0, 90]) @ [1, 0, 0], [0, 1, 0], atol=1e-12)
    np.testing.assert_allclose(rotation_matrix([90, 0, 0]) @ [0, 1, 0], [0, 0, 1], atol=1e-12)
    for locked in ([10, 90, 0], [-30, -90, 25]):  # gimbal lock: still the same rotation
        r = rotation_matrix(locked)
        np.testing.assert_allclose(rotation_matrix(rotation_angles(r)), r, atol=1e-10)
    # Uniform over rotations: the image of z is spread evenly over the sphere.
    z = np.array([random_rotation(rng)[:, 2] for _ in range(4000)])
    assert abs(z.mean(axis=0)).max() < 0.05
    assert abs((z[:, 2] > 0.5).mean() - 0.25) < 0.03


# -- Polycrystal --------------------------------------------------------------------------------


def test_random_polycrystal_fills_box_at_crystal_density():
    gen = Polycrystal(seed=al(), params={"box": [60.0, 50.0, 40.0], "random": 5}, prefix="p", rng=1)
    atoms = gen.generate_polycrystal()
    expected = 4 * 60 * 50 * 40 / AL**3
    assert abs(len(atoms) - expected) / expected < 0.02
    np.testing.assert_allclose(atoms.cell.lengths(), [60, 50, 40])
    assert atoms.pbc.all()
    assert set(atoms.get_chemical_symbols()) == {"Al"}
    assert sorted(set(atoms.arrays["grain"])) == [1, 2, 3, 4, 5]
    np.testing.assert_array_equal(gen.grain_counts, np.bincount(atoms.arrays["grain"])[1:])
    scaled = atoms.get_scaled_positions(wrap=False)
    assert np.all((scaled >= 0) & (scaled < 1))


def test_remove_doubles_and_wrap():
    params = {"box": [50.0, 50.0, 50.0], "random": 6}
    raw = Polycrystal(seed=al(), params=params, rng=7).generate_polycrystal(wrap=False)
    assert (raw.get_scaled_positions(wrap=False) < 0).any()
    assert min_distance(raw) < 2.0  # grain boundaries bring atoms close
    clean = Polycrystal(seed=al(), params=params, rng=7).generate_polycrystal(remove_doubles=2.0)
    assert min_distance(clean) >= 2.0
    assert 0.9 * len(raw) < len(clean) < len(raw)
    with pytest.raises(ValueError, match="remove_doubles"):
        Polycrystal(seed=al(), params=params).generate_polycrystal(remove_doubles=-1.0)


def test_same_rng_gives_same_polycrystal():
    params = {"box": [30.0, 30.0, 30.0], "random": 3}
    a = Polycrystal(seed=al(), params=params, rng=5).generate_polycrystal()
    b = Polycrystal(seed=al(), params=params, rng=5).generate_polycrystal()
    np.testing.assert_array_equal(a.positions, b.positions)


@pytest.mark.parametrize("lattice, grains", [("fcc", 4), ("bcc", 2), ("diamond", 8), ("hcp", 4)])
def test_lattice_mode_puts_centres_on_scaled_sites(lattice, grains):
    gen = Polycrystal(seed=al(), params={"box": [40.0, 40.0, 40.0], "lattice": lattice}, rng=2)
    assert len(gen.centres) == grains
    frac = gen.centres / 40.0
    if lattice == "bcc":
        np.testing.assert_allclose(frac, [[0, 0, 0], [0.5, 0.5, 0.5]])
    atoms = gen.generate_polycrystal()
    assert len(set(atoms.arrays["grain"])) == grains
    assert abs(len(atoms) / (4 * 40**3 / AL**3) - 1) < 0.02


def test_node_orientation_is_rotation_about_x_then_y_then_z():
    angles = [20.0, -35.0, 50.0]
    box = 24.0
    gen = Polycrystal(
        seed=al(),
        params={"box": [box] * 3, "node": [{"pos": [12.0, 12.0, 12.0], "orient": ["20", "-35", "50"]}]},
    )
    np.testing.assert_allclose(gen.angles[0], angles)
    atoms = gen.generate_polycrystal()
    centre = np.flatnonzero(np.linalg.norm(atoms.positions - 12.0, axis=1) < 1e-9)
    assert len(centre) == 1  # the seed's origin atom sits on the grain centre
    i, d = neighbor_list("iD", atoms, 3.0)
    vectors = d[i == centre[0]]
    expected = rotation_matrix(angles) @ (al().positions[1:].T)  # three of the 12 neighbours
    for v in expected.T:
        assert np.min(np.linalg.norm(vectors - v, axis=1)) < 1e-9


def test_node_records_and_seed_file(tmp_path):
    path = tmp_path / "POSCAR"
    write(path, bulk("C", "diamond", a=3.567, cubic=True), format="vasp")
    nodes = [{"pos": [5.0, 5.0, 5.0], "orient": []}, {"pos": [-5.0, 25.0, 15.0], "orient": ["0", "0", "45"]}]
    gen = Polycrystal(seed=str(path), params={"box": [30.0, 20.0, 30.0], "node": nodes}, prefix="c")
    np.testing.assert_allclose(gen.centres[1], [25.0, 5.0, 15.0])  # folded into the box
    full = gen.generate_polycrystal()
    # Both cells span the box along y, where each grain meets its own image: the count then
    # depends on how many lattice planes fit in 20 A, so only a loose density check.
    assert abs(len(full) / (8 * 30 * 20 * 30 / 3.567**3) - 1) < 0.08
    owner, dist = nearest_centre(full.positions, gen.centres, gen.box)
    np.testing.assert_array_equal(owner + 1, full.arrays["grain"])
    atoms = gen.generate_polycrystal(remove_doubles=1.2)
    assert set(atoms.get_chemical_symbols()) == {"C"}
    assert min_distance(atoms) >= 1.2
    assert 0.9 * len(full) < len(atoms) < len(full)


@pytest.mark.parametrize(
    "params, message",
    [
        ({"random": 3}, "A final box size is required"),
        ({"box": [10.0, 10.0, 10.0]}, "A generation mode is required"),
        ({"box": [10.0, 10.0], "random": 2}, "three positive edge lengths"),
        ({"box": [10.0, -1.0, 10.0], "random": 2}, "three positive edge lengths"),
        ({"box": [10.0] * 3, "random": 0}, "positive integer"),
        ({"box": [10.0] * 3, "random": 2.5}, "positive integer"),
        ({"box": [10.0] * 3, "lattice": "sc"}, "Unknown lattice 'sc'"),
        ({"box": [10.0] * 3, "node": []}, "at least one grain"),
        ({"box": [10.0] * 3, "node": [{"pos": [1.0, 2.0], "orient": []}]}, "Grain 1: the position"),
        (
            {"box": [10.0] * 3, "node": [{"pos": [1.0, 2.0, 3.0], "orient": ["45", "30"]}]},
            "Grain 1: give three",
        ),
        (
            {"box": [10.0] * 3, "node": [{"pos": [1.0, 2.0, 3.0], "orient": ["a", "0", "0"]}]},
            "must be numbers",
        ),
        (
            {
                "box": [10.0] * 3,
                "node": [{"pos": [1.0, 2.0, 3.0], "orient": []}, {"pos": [11.0, 2.0, 3.0], "orient": []}],
            },
            "Grains 1 and 2 are at the same position",
        ),
    ],
)
def test_bad_parameters_fail_clearly(params, message):
    with pytest.raises(ValueError, match=message):
        Polycrystal(seed=al(), params=params)


def test_bad_seed():
    from ase import Atoms

    with pytest.raises(ValueError, match="no atoms"):
        Polycrystal(seed=Atoms(cell=[3, 3, 3]), params={"box": [9.0] * 3, "random": 1})
    with pytest.raises(ValueError, match="three independent lattice vectors"):
        Polycrystal(seed=Atoms("Al"), params={"box": [9.0] * 3, "random": 1})


def test_several_modes_use_the_first_and_say_so(capsys):
    gen = Polycrystal(
        seed=al(), params={"box": [20.0] * 3, "lattice": "bcc", "node": [{"pos": [1, 1, 1], "orient": []}]}
    )
    assert gen.mode == "lattice" and len(gen.centres) == 2
    assert "using lattice" in capsys.readouterr().out


def test_write_final_files_round_trip(tmp_path, capsys):
    gen = Polycrystal(seed=al(), params={"box": [30.0] * 3, "random": 3}, prefix="run", verbose=True, rng=3)
    atoms = gen.generate_polycrystal(remove_doubles=2.0)
    out = tmp_path / "new" / "run.cfg"
    out.parent.mkdir()  # folders are not created
    written = gen.write_final_files(atoms, output=str(out), formats=["xyz", "vasp", "cfg"])
    assert [p.name for p in written] == ["run.cfg", "run.xyz", "run.vasp", "run_seeds.txt"]
    printed = capsys.readouterr().out
    assert "Filled the grains" in printed and "Grain 3:" in printed and "run_seeds.txt" in printed
    back = read(out)
    assert len(back) == len(atoms)
    np.testing.assert_allclose(back.cell.lengths(), [30, 30, 30])
    np.testing.assert_array_equal(back.arrays["grain"], atoms.arrays["grain"])
    assert min_distance(back) > 2.0 - 1e-3  # the CFG keeps 7 digits
    assert len(read(tmp_path / "new" / "run.xyz")) == len(read(tmp_path / "new" / "run.vasp")) == len(atoms)
    # The seeds file is a parameter file for the same grains.
    seeds = (tmp_path / "new" / "run_seeds.txt").read_text().splitlines()
    nodes = [line.split()[1:] for line in seeds if line.startswith("node ")]
    assert len(nodes) == 3
    np.testing.assert_allclose(np.array(nodes, float)[:, :3], gen.centres, atol=1e-6)
    again = Polycrystal(
        seed=al(), params={"box": [30.0] * 3, "node": [{"pos": n[:3], "orient": n[3:]} for n in nodes]}
    ).generate_polycrystal(remove_doubles=2.0)
    assert len(again) == len(atoms)
    np.testing.assert_allclose(again.positions, atoms.positions, atol=1e-4)


def test_write_final_files_defaults_and_bad_format(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    gen = Polycrystal(seed=al(), params={"box": [12.0] * 3, "random": 1}, prefix="solo")
    atoms = gen.generate_polycrystal()
    written = gen.write_final_files(atoms, output="", formats=[])
    assert [str(p) for p in written] == ["solo.cfg"]
    assert len(read(tmp_path / "solo.cfg")) == len(atoms)
    assert "solo.cfg" in capsys.readouterr().out
    with pytest.raises(ValueError, match="Unknown output format 'nope'"):
        gen.write_final_files(atoms, output="other.cfg", formats=["xyz", "nope"])
    assert not (tmp_path / "other.cfg").exists()  # nothing written when a format is unknown
    with pytest.raises(TypeError, match="ase.Atoms"):
        gen.write_final_files(None, output="x.cfg")
