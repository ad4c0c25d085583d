"""The Tersoff refit: parameter layout in LAMMPS's conventions, data reading, the fit itself on
data made with a known parameter set, and the command line."""

import gzip
import io

import numpy as np
import pytest
from ase.build import bulk
from ase.calculators.singlepoint import SinglePointCalculator
from ase.io import write

pytest.importorskip("scipy")

from corvane.data import files  # noqa: E402
from corvane.tersoff import FIELDS, Tersoff, read_tersoff_file  # noqa: E402
from corvane.training import tersoff_fit as tf  # noqa: E402

F = {name: i for i, name in enumerate(FIELDS)}
ONE_BODY = {"B": -1.5, "C": 2.0, "N": 0.5}  # added to the labels: the fit must find them
CELL_FIELDS = (
    "name",
    "family",
    "kind",
    "split",
    "sp3",
    "species",
    "positions",
    "cell",
    "pbc",
    "energy",
    "forces",
    "stress",
)


def labelled(atoms, entries, **info):
    """`atoms` with energy, forces and stress of the Tersoff set `entries`, as a data cell."""
    atoms = atoms.copy()
    atoms.calc = Tersoff(entries)
    energy = atoms.get_potential_energy() + sum(ONE_BODY[s] for s in atoms.get_chemical_symbols())
    forces, stress = atoms.get_forces(), atoms.get_stress()
    atoms.calc = SinglePointCalculator(atoms, energy=energy, forces=forces, stress=stress)
    atoms.info.update({"family": "diamond", "kind": "rattle", "split": "train", "sp3": True}, **info)
    return atoms


def write_members(path, frames):
    """One gzip member per cell, as the data generator appends them."""
    with open(path, "wb") as fh:
        for atoms in frames:
            text = io.StringIO()
            write(text, atoms, format="extxyz")
            fh.write(gzip.compress(text.getvalue().encode()))


def truth_set():
    """The starting set with the C-C bond made 5 % more repulsive and its attraction shorter."""
    entries = {k: list(v) for k, v in tf.starting_entries().items()}
    entries["C", "C", "C"][F["A"]] *= 1.05
    entries["C", "C", "C"][F["lambda2"]] += 0.03
    for key in (("C", "C", "B"), ("C", "C", "N")):
        entries[key][F["A"]] = entries["C", "C", "C"][F["A"]]
        entries[key][F["lambda2"]] = entries["C", "C", "C"][F["lambda2"]]
    return entries


def diamond_cells(entries, count=8):
    frames = []
    for n in range(count):
        atoms = bulk("C", "diamond", a=3.52 + 0.02 * n, cubic=True)
        atoms.set_cell(
            atoms.cell.array @ (np.eye(3) + 0.01 * np.random.default_rng(n).normal(size=(3, 3))),
            scale_atoms=True,
        )
        atoms.rattle(0.05, seed=n)
        frames.append(labelled(atoms, entries, name=f"diamond-{n}"))
    return frames


# ---------------------------------------------------------------------------------------------
# The parameter set and its layout


def test_starting_set_is_tersoff_carbon_on_the_kinaci_set():
    start, kinaci = tf.starting_entries(), read_tersoff_file(files.BNC_KINACI2012_TERSOFF)
    assert sorted(start) == sorted(kinaci) and len(start) == 27
    carbon = [tf.TERSOFF_1989_CARBON[f] for f in FIELDS]
    assert start["C", "C", "C"] == pytest.approx(carbon, rel=1e-12)
    for key, values in start.items():
        if "C" not in key:
            assert values == kinaci[key], key  # B-N, B-B, N-N untouched
        if key[0] == "C":  # angular terms around carbon are Tersoff's
            assert [values[F[f]] for f in ("c", "d", "costheta0")] == [38049.0, 4.3484, -0.57058]


def test_parameters_land_in_the_entries_lammps_reads_them_from():
    space = tf.ParameterSpace(tf.entries_to_table(tf.starting_entries()))
    # 6 pairs x (A, lambda1, B, lambda2) + 9 ordered pairs x (n, beta, c, d, costheta0)
    assert len(space) == 6 * 4 + 9 * 5
    z = space.z0.copy()
    index = {p.label: n for n, p in enumerate(space.params)}
    z[index["A B-N"]] = np.log(2000.0)
    z[index["beta N-B"]] = np.log(3e-6)
    z[index["costheta0 B-C-*"]] = -0.5
    entries = tf.table_to_entries(space.decode(z))
    assert entries["B", "N", "N"][F["A"]] == entries["N", "B", "B"][F["A"]] == pytest.approx(2000)
    assert entries["N", "B", "B"][F["beta"]] == pytest.approx(3e-6)
    assert entries["B", "N", "N"][F["beta"]] == tf.starting_entries()["B", "N", "N"][F["beta"]]
    assert [entries["B", "C", k][F["costheta0"]] for k in "BCN"] == [-0.5] * 3
    assert entries["C", "B", "B"][F["costheta0"]] != -0.5
    np.testing.assert_allclose(space.encode(space.decode(z)), z, rtol=1e-13, atol=1e-13)
    # Entries the fit never moves keep the starting values.
    start = tf.starting_entries()
    for key in entries:
        for name in ("m", "gamma", "lambda3", "R", "D"):
            assert entries[key][F[name]] == start[key][F[name]]


def test_parameter_space_refuses_bad_input():
    table = tf.entries_to_table(tf.starting_entries())
    with pytest.raises(ValueError, match="like B-N or C-C, got 'C-Si'"):
        tf.ParameterSpace(table, free=["C-Si"])
    table[0, 1, 1, F["A"]] += 1.0  # B-C-C no longer matches C-B-B
    with pytest.raises(ValueError, match="different values of A B-C"):
        tf.ParameterSpace(table)
    entries = tf.starting_entries()
    del entries["N", "N", "B"]
    with pytest.raises(ValueError, match="no entry N N B"):
        tf.entries_to_table(entries)


# ---------------------------------------------------------------------------------------------
# Data


def test_load_cells_reads_appended_members_and_leaves_out_other_elements(tmp_path, capsys):
    truth = truth_set()
    frames = diamond_cells(truth, 2)
    bn = labelled(bulk("BN", "zincblende", a=3.6), truth, name="cbn", family="cBN", sp3=True, split="test")
    si = bulk("Si", "diamond", a=5.43)
    si.calc = SinglePointCalculator(si, energy=-10.0, forces=np.zeros((2, 3)))
    si.info.update(name="si", family="diamond")
    write_members(tmp_path / "diamond.extxyz.gz", frames + [si])
    write_members(tmp_path / "cBN.extxyz.gz", [bn])
    cells = tf.load_cells([tmp_path])
    assert "left out 1 cell" in capsys.readouterr().out
    assert [c.name for c in cells] == ["cbn", "diamond-0", "diamond-1"]
    cbn = cells[0]
    assert cbn.split == "test" and cbn.family == "cBN" and list(cbn.counts) == [1, 0, 1]
    np.testing.assert_allclose(cbn.stress, bn.get_stress() / tf.GPA)  # GPa
    assert cbn.energy == pytest.approx(bn.get_potential_energy())
    assert [c.name for c in tf.load_cells([tmp_path], families=["diamond"])] == ["diamond-0", "diamond-1"]
    with pytest.raises(FileNotFoundError, match="no such data file or directory"):
        tf.load_cells([tmp_path / "missing"])


def train_cell(a):
    """A labelled diamond frame as a training cell of the fit."""
    return tf.Cell(
        name=a.info["name"],
        family="diamond",
        kind="",
        split="train",
        sp3=True,
        species=np.ones(len(a), np.int32),
        positions=a.positions,
        cell=a.cell.array,
        pbc=a.pbc,
        energy=a.get_potential_energy(),
        forces=a.get_forces(),
        stress=a.get_stress() / tf.GPA,
    )


def test_predictions_and_errors_match_the_calculator():
    truth = truth_set()
    frames = diamond_cells(truth, 2)
    cells = [train_cell(a) for a in frames]
    table = tf.entries_to_table(truth)
    energy, forces, stress = tf.predict(cells[0], table)
    ref = frames[0].copy()
    ref.calc = Tersoff(truth)
    assert energy == pytest.approx(ref.get_potential_energy(), rel=1e-14)
    np.testing.assert_allclose(stress, ref.get_stress() / tf.GPA, atol=1e-10)
    mu = tf.fit_references(cells, [tf.predict(c, table)[0] for c in cells])
    assert mu == pytest.approx([0.0, ONE_BODY["C"], 0.0])  # B and N absent: 0
    e = tf.errors(cells, table, mu)
    assert e["cells"] == 2 and e["energy"] < 1e-9 and e["forces"] < 1e-12 and e["stress"] < 1e-9
    off = tf.errors(cells, table, mu + 0.01)
    assert off["energy"] == pytest.approx(10.0)  # meV/atom


# ---------------------------------------------------------------------------------------------
# The fit


def test_fit_recovers_data_made_with_a_known_set():
    """Labels from a set whose C-C bond differs from the starting set: fitting the C-C numbers
    from the start brings the errors down to nothing and finds the one-body energy."""
    truth = truth_set()
    cells_atoms = diamond_cells(truth, 6)
    cells = [train_cell(a) for a in cells_atoms]
    space = tf.ParameterSpace(tf.entries_to_table(tf.starting_entries()), free=["C-C"])
    assert len(space) == 4 + 2 + 3
    settings = tf.FitSettings(prior=0.0, loss="linear", max_nfev=60)
    fitter = tf.Fitter(cells, space, settings, log=lambda *a, **k: None)
    start = space.decode(space.z0)
    before = tf.errors(cells, start, fitter.initial_mu(start))
    table, mu, result = fitter.run(space.z0)
    after = tf.errors(cells, table, mu)
    assert before["forces"] > 0.05 and before["stress"] > 1.0  # the start is visibly off
    assert after["forces"] < 1e-3 * before["forces"]
    assert after["stress"] < 1e-3 * before["stress"]
    assert after["energy"] < 0.01  # meV/atom
    assert mu[1] == pytest.approx(ONE_BODY["C"], abs=1e-3)
    # Only carbon-carbon numbers moved.
    start_entries, fitted = tf.starting_entries(), tf.table_to_entries(table)
    for key in fitted:
        if key[:2] != ("C", "C"):
            assert fitted[key] == start_entries[key]


def test_weights_by_kind_family_and_bonding():
    def cell(sp3, family, kind):
        return tf.Cell(
            name="x",
            family=family,
            kind=kind,
            split="train",
            sp3=sp3,
            species=np.ones(1, np.int32),
            positions=np.zeros((1, 3)),
            cell=np.eye(3) * 3,
            pbc=np.ones(3, bool),
            energy=0.0,
            forces=None,
            stress=None,
        )

    s = tf.FitSettings(sp3_weight=2.0, other_weight=0.5, group_weights={"ideal_path": 0.1, "twin": 3.0})
    assert s.weight(cell(True, "diamond", "eos")) == 2.0
    assert s.weight(cell(False, "sp2", "eos")) == 0.5
    assert s.weight(cell(True, "twin", "ideal_path")) == pytest.approx(2.0 * 3.0 * 0.1)
    assert s.weight(tf.experiment_cells(7.0)[0]) == 7.0


def test_starts_are_deterministic_and_within_bounds():
    space = tf.ParameterSpace(tf.entries_to_table(tf.starting_entries()))
    cell = tf.Cell(
        name="x",
        family="diamond",
        kind="",
        split="train",
        sp3=True,
        species=np.ones(2, np.int32),
        positions=np.array([[0, 0, 0], [0.9, 0.9, 0.9]]),
        cell=np.eye(3) * 3,
        pbc=np.ones(3, bool),
        energy=0.0,
        forces=None,
        stress=None,
    )
    settings = tf.FitSettings(starts=3, spread=5.0)
    first = tf.Fitter([cell], space, settings).starts()
    again = tf.Fitter([cell], space, settings).starts()
    assert len(first) == 3 and np.array_equal(first[0], space.z0)
    for a, b in zip(first, again):
        assert np.array_equal(a, b)
        assert np.all(a >= space.lower) and np.all(a <= space.upper)
    assert not np.array_equal(first[1], first[2])


# ---------------------------------------------------------------------------------------------
# Command line


def test_command_line_fits_and_writes_a_file_lammps_conventions_hold(tmp_path, capsys):
    truth = truth_set()
    frames = diamond_cells(truth, 6)
    for n, atoms in enumerate(frames):
        atoms.info["split"] = ["train", "train", "train", "train", "validation", "test"][n]
    write_members(tmp_path / "diamond.extxyz.gz", frames)
    out = tmp_path / "fitted.tersoff"
    assert tf.main([str(tmp_path), "-o", str(out), "--free", "C-C", "--starts", "2", "--max-nfev", "30"]) == 0
    text = capsys.readouterr().out
    assert "6 cells: 4 training, 1 validation, 1 test" in text
    assert "start 0:" in text and "start 1:" in text and f"wrote {out}" in text
    for label in ("starting set", "fitted set"):
        assert all(f"{label:<28s} {split}" in text for split in ("train", "validation", "test"))
    header = out.read_text()
    assert f"tersoff_fit {tmp_path} -o {out} --free C-C" in header
    assert "Test split (1 cells)" in header
    entries = read_tersoff_file(out)
    assert len(entries) == 27
    for i, j in (("B", "C"), ("B", "N"), ("C", "N")):
        for name in ("A", "lambda1", "B", "lambda2", "R", "D"):
            assert entries[i, j, j][F[name]] == entries[j, i, i][F[name]]
    fitted = tf.errors(
        tf.load_cells([tmp_path]), tf.entries_to_table(entries), np.array([0.0, ONE_BODY["C"], 0.0])
    )
    start = tf.errors(
        tf.load_cells([tmp_path]),
        tf.entries_to_table(tf.starting_entries()),
        np.array([0.0, ONE_BODY["C"], 0.0]),
    )
    assert fitted["forces"] < 0.5 * start["forces"]
    # A refit from that file says where its start came from, and holds both shear rows.
    again = tmp_path / "again.tersoff"
    assert (
        tf.main(
            [
                str(tmp_path),
                "-o",
                str(again),
                "--start",
                str(out),
                "--free",
                "C-C",
                "--starts",
                "1",
                "--max-nfev",
                "5",
                "--experiment-weight",
                "3",
                "--held-c44",
            ]
        )
        == 0
    )
    header = again.read_text()
    assert "Starting set: the file fitted.tersoff." in header
    assert f"#   python -m corvane.training.tersoff_fit {tmp_path} -o {out} --free C-C" in header
    prose = " ".join(line.lstrip("#").strip() for line in header.splitlines() if line[:1] == "#")
    assert "C44 is held to the measured value both with the ions relaxed" in prose
    assert "Tersoff, Phys. Rev. B 39" in header  # the first file's own start, carried over


def test_command_line_errors(tmp_path, capsys):
    with pytest.raises(SystemExit):
        tf.main([str(tmp_path / "none"), "-o", str(tmp_path / "x.tersoff")])
    assert "no such data file or directory" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        tf.main([str(tmp_path), "-o", str(tmp_path / "missing" / "x.tersoff")])
    assert "no directory" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        tf.main([str(tmp_path), "-o", str(tmp_path / "x.tersoff"), "--sigma-force", "0"])
    assert "--sigma-force must be positive" in capsys.readouterr().err
    for bad in ("ideal_path", "ideal_path=-1", "=2"):
        with pytest.raises(SystemExit):
            tf.main([str(tmp_path), "-o", str(tmp_path / "x.tersoff"), "--weight", bad])
        assert f"got '{bad}'" in capsys.readouterr().err
    assert not (tmp_path / "x.tersoff").exists()


def test_experiment_rows_hold_the_measured_constants_and_can_be_fitted():
    cells = tf.experiment_cells(weight=2.0)
    by_name = {c.name: c for c in cells}
    assert sorted(by_name) == [
        "experiment c-BN xx",
        "experiment c-BN yz",
        "experiment diamond xx",
        "experiment diamond yz",
    ]
    xx, yz = by_name["experiment diamond xx"], by_name["experiment diamond yz"]
    assert np.diag(xx.cell) == pytest.approx([3.567 * 1.005, 3.567, 3.567])
    assert np.diag(xx.minus.cell) == pytest.approx([3.567 * 0.995, 3.567, 3.567])
    assert xx.stress == pytest.approx([1079 * 0.005, 124 * 0.005, 124 * 0.005, 0, 0, 0])
    assert yz.stress == pytest.approx([0, 0, 0, 578 * 0.005, 0, 0])
    # Errors count relative to the constant a component measures, C12 at the least.
    assert xx.stress_scale == pytest.approx(5e-5 * np.array([1079, 124, 124, 124, 124, 124]))
    assert yz.stress_scale == pytest.approx(5e-5 * np.array([124, 124, 124, 578, 124, 124]))
    assert yz.cell[1, 2] == pytest.approx(3.567 * 0.0025)  # engineering shear 0.005
    assert yz.minus.cell[1, 2] == pytest.approx(-3.567 * 0.0025)
    assert all(c.energy is None and c.forces is None and c.weight == 2.0 for c in cells)
    # Half the stress difference: a uniform pressure (here the starting set's, away from its
    # own lattice constant) drops out.
    table = tf.entries_to_table(tf.starting_entries())
    plus = tf.predict(tf.Cell(**{k: getattr(xx, k) for k in CELL_FIELDS}), table)[2]
    minus = tf.predict(xx.minus, table)[2]
    assert tf.predict(xx, table)[2] == pytest.approx(0.5 * (plus - minus))
    # Stress rows only: the fit of the carbon numbers to them moves diamond towards the targets.
    diamond = [c for c in cells if "diamond" in c.name]
    space = tf.ParameterSpace(table, free=["C-C"])
    fitter = tf.Fitter(diamond, space, tf.FitSettings(max_nfev=15), log=lambda *a, **k: None)
    assert fitter.n_mu == 0 and fitter.n_data == 6 * len(diamond)
    start = space.decode(space.z0)
    fitted, mu, _ = fitter.run(space.z0)
    assert tf.errors(diamond, fitted, mu)["stress"] < 0.5 * tf.errors(diamond, start, mu)["stress"]


def test_held_c44_rows_move_no_ion():
    plain = {c.name for c in tf.experiment_cells(1.0)}
    cells = {c.name: c for c in tf.experiment_cells(1.0, held_c44=True)}
    assert set(cells) - plain == {"experiment diamond yz held", "experiment c-BN yz held"}
    held, relaxed = cells["experiment c-BN yz held"], cells["experiment c-BN yz"]
    assert held.shift is None and held.minus.shift is None and relaxed.shift is not None
    np.testing.assert_array_equal(held.positions, relaxed.positions)
    assert held.stress == pytest.approx([0, 0, 0, 469 * 0.005, 0, 0])
    # Ions held: the stress the set gives is larger than with the sublattices relaxed.
    table = tf.entries_to_table(tf.starting_entries())
    assert tf.predict(held, table)[2][3] > tf.predict(relaxed, table)[2][3]


def test_sublattice_shift_relaxes_the_shear_cell():
    """The yz-sheared experiment cell: after the shift the force along x on each sublattice
    vanishes, and the stress is that of ASE's own relaxation of the same cell."""
    from ase.constraints import FixedLine
    from ase.optimize import BFGS

    cell = next(c for c in tf.experiment_cells(1.0) if c.name == "experiment diamond yz")
    cell = tf.Cell(**{k: getattr(cell, k) for k in CELL_FIELDS}, shift=cell.shift)  # +0.5 % alone
    table = tf.entries_to_table(tf.starting_entries())
    energy, forces, stress = tf.predict(cell, table)
    mask, direction = cell.shift
    assert abs(forces[mask] @ direction).sum() < 1e-9
    unshifted = tf.predict(tf.Cell(**{k: getattr(cell, k) for k in CELL_FIELDS}), table)
    assert abs(unshifted[1][mask] @ direction).sum() > 1e-3  # there was something to relax
    assert energy < unshifted[0]
    atoms = bulk("C", "diamond", a=3.567, cubic=True)
    atoms.set_cell(cell.cell, scale_atoms=False)
    atoms.positions = cell.positions
    atoms.calc = Tersoff(tf.starting_entries())
    atoms.set_constraint([FixedLine(i, [1, 0, 0]) for i in range(len(atoms))])
    BFGS(atoms, logfile=None).run(fmax=1e-8, steps=200)
    np.testing.assert_allclose(stress, atoms.get_stress() / tf.GPA, atol=1e-6)


def test_bounds_hold_every_published_starting_value():
    space = tf.ParameterSpace(tf.entries_to_table(tf.starting_entries()))
    np.testing.assert_array_equal(space.z0, space.encode(space.start_table))
    assert np.all(space.lower < space.z0) and np.all(space.z0 < space.upper)
