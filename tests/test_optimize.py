"""The optimisation service and the `optimize` subcommand."""

import argparse
import re
from pathlib import Path

import numpy as np
import pytest
from ase import Atoms, units
from ase.build import bulk, graphene
from ase.io import read
from tersoff_samples import diamond_eos_minimum

import corvane.cli as cli
from corvane.cli import optimize
from corvane.data import files
from corvane.optimization import get_calculator, optimize_structure
from corvane.potentials.ace import AceCalculator
from corvane.tersoff import Tersoff

BNC = str(Path(files.__file__).parent / "BNC.tersoff")
KINACI = str(Path(files.__file__).parent / "BNC_Kinaci2012.tersoff")
PTH = str(Path(files.__file__).parent / "BCN-ms-v0.0.1.pth")


def strained_cbn(seed=1):
    """A rattled, strained 64-atom c-BN cell."""
    atoms = bulk("BN", "zincblende", a=3.62, cubic=True) * (2, 2, 2)
    atoms.set_cell(atoms.cell.array @ [[1.03, 0.02, 0], [0, 0.98, 0.01], [0, 0, 1.02]], scale_atoms=True)
    atoms.rattle(0.05, seed=seed)
    return atoms


# ---------------------------------------------------------------------------------------------
# The optimisation service


def test_get_calculator_by_file_content(tmp_path):
    calc = get_calculator(BNC)
    assert isinstance(calc, Tersoff)
    assert isinstance(get_calculator(PTH), AceCalculator)
    # The content decides: a model under another name is still a model.
    renamed = tmp_path / "model.bin"
    renamed.write_bytes(Path(PTH).read_bytes())
    assert isinstance(get_calculator(str(renamed)), AceCalculator)
    with pytest.raises(ValueError, match=r"cannot tell the kind of potential.*\*\.pth.*\*\.tersoff"):
        get_calculator(str(tmp_path / "Si.tersoff.mod"))
    (tmp_path / "notes.txt").write_text("C C C 3 1 0 ...\n")
    with pytest.raises(ValueError, match=r"cannot tell the kind of potential of .*notes\.txt"):
        get_calculator(str(tmp_path / "notes.txt"))
    with pytest.raises(FileNotFoundError, match="potential file not found"):
        get_calculator(str(tmp_path / "missing.tersoff"))
    with pytest.raises(FileNotFoundError, match="potential file not found"):
        get_calculator(str(tmp_path / "missing.pth"))


def test_relaxed_cell_is_the_potentials_own_minimum(capsys, tmp_path):
    """Diamond relaxes to the minimum of an energy-volume scan of the same potential."""
    calc = get_calculator(KINACI)
    a_min = diamond_eos_minimum(calc, np.linspace(3.60, 3.70, 21), near=3.645)

    atoms = bulk("C", "diamond", a=3.56, cubic=True)
    atoms.rattle(0.02, seed=3)
    atoms.calc = calc
    out = optimize_structure(atoms, fmax=1e-4, method="BFGS", steps=500, trajectory=str(tmp_path / "d.traj"))
    assert out is atoms
    assert np.abs(atoms.get_forces()).max() < 1e-4
    np.testing.assert_allclose(atoms.cell.cellpar()[:3], a_min, atol=2e-4)
    frames = read(tmp_path / "d.traj", ":")
    assert len(frames) > 2 and np.allclose(frames[-1].cell, atoms.cell)
    assert "BFGS:" in capsys.readouterr().out  # the optimiser's progress on standard output


def test_pressure_is_reached(tmp_path):
    atoms = bulk("BN", "zincblende", a=3.62, cubic=True)
    atoms.set_cell(atoms.cell.array @ [[1.02, 0.01, 0], [0, 0.99, 0], [0, 0, 1.0]], scale_atoms=True)
    atoms.calc = get_calculator(BNC)
    optimize_structure(atoms, fmax=1e-3, method="bfgs", steps=300, pressure=30.0, trajectory=None)
    np.testing.assert_allclose(atoms.get_stress()[:3] / units.GPa, -30.0, atol=0.5)
    np.testing.assert_allclose(atoms.get_stress()[3:] / units.GPa, 0.0, atol=0.5)


def test_open_directions_keep_their_cell(tmp_path):
    calc = get_calculator(KINACI)  # fitted for sheets; h-BN's lattice near 2.50 A
    sheet = graphene("BN", a=2.60, vacuum=5.0)  # h-BN, stretched
    sheet.pbc = [True, True, False]
    sheet.positions[0, 2] += 0.1
    sheet.calc = calc
    height = sheet.cell[2].copy()
    optimize_structure(sheet, fmax=0.01, steps=200, trajectory=None)
    np.testing.assert_array_equal(sheet.cell[2], height)
    assert sheet.cell.lengths()[0] < 2.55  # the periodic directions did relax
    assert np.abs(sheet.get_forces()).max() < 0.01

    cluster = Atoms("C4", positions=[[0, 0, 0], [1.5, 0, 0], [0, 1.5, 0], [0, 0, 1.5]])
    cluster.calc = calc
    optimize_structure(cluster, fmax=0.05, steps=300, trajectory=None)
    assert np.abs(cluster.get_forces()).max() < 0.05
    assert not cluster.cell.any()
    with pytest.raises(ValueError, match="needs a periodic structure"):
        optimize_structure(cluster, pressure=1.0, trajectory=None)


def test_bad_arguments(capsys):
    atoms = bulk("C", "diamond", a=3.6)
    with pytest.raises(ValueError, match="no calculator"):
        optimize_structure(atoms, trajectory=None)
    atoms.calc = get_calculator(BNC)
    with pytest.raises(ValueError, match=r"unknown optimiser 'Newton'; choose one of: .*LBFGS.*FIRE"):
        optimize_structure(atoms, method="Newton", trajectory=None)
    with pytest.raises(ValueError, match="fmax must be a positive"):
        optimize_structure(atoms, fmax=0, trajectory=None)
    with pytest.raises(ValueError, match="steps must be"):
        optimize_structure(atoms, steps=2.5, trajectory=None)
    rattled = strained_cbn()
    rattled.calc = atoms.calc
    optimize_structure(rattled, fmax=1e-3, steps=2, trajectory=None)
    assert "did not reach fmax = 0.001 eV/A in 2 steps" in capsys.readouterr().out


# ---------------------------------------------------------------------------------------------
# The subcommand


def test_register_parser_options():
    parser = cli.build_parser({"optimize": optimize})
    args = parser.parse_args(["optimize"])
    assert vars(args) == {
        "command": "optimize",
        "filename": None,
        "output": "optimized.vasp",
        "potential": "tersoff",
        "method": "LBFGS",
        "fmax": 0.05,
        "steps": 5000,
        "pressure": 0.0,
        "trajectory": "opt.traj",
    }
    args = parser.parse_args(
        [
            "optimize",
            "-f",
            "in.cif",
            "-o",
            "x.cif",
            "--fmax",
            "1",
            "--steps",
            "7",
            "--pressure",
            "2",
            "--method",
            "FIRE",
        ]
    )
    assert (args.filename, args.output, args.fmax, args.steps, args.pressure, args.method) == (
        "in.cif",
        "x.cif",
        1.0,
        7,
        2.0,
        "FIRE",
    )
    sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    text = sub.choices["optimize"].format_help()
    # The formatter keeps the help text's own line breaks.
    assert re.search(
        r"default potentials\.\n\s+'pth':     pre-trained BCN ML potential\.\n"
        r"\s+'tersoff': pre-trained BCN tersoff potential\.\n",
        text,
    )
    with pytest.raises(SystemExit):
        parser.parse_args(["optimize", "--steps", "many"])


@pytest.fixture
def recorded(monkeypatch):
    """main() with reading, the calculator, the optimiser and writing replaced by recorders."""
    calls = {}
    atoms = bulk("C", "diamond", a=3.6)

    def fake_read(name):
        calls["read"] = name
        return atoms

    def fake_get_calculator(*args):
        calls["potential"] = args
        return None

    def fake_optimize(a, **kwargs):
        calls["optimize"] = (a, list(kwargs.items()))
        return a

    def fake_write(name, a, **kwargs):
        calls["write"] = (name, a, kwargs)

    monkeypatch.setattr(optimize, "read", fake_read)
    monkeypatch.setattr(optimize, "get_calculator", fake_get_calculator)
    monkeypatch.setattr(optimize, "optimize_structure", fake_optimize)
    monkeypatch.setattr(optimize, "write", fake_write)
    return calls


def parsed(*argv):
    return cli.build_parser({"optimize": optimize}).parse_args(["optimize", *argv])


@pytest.mark.parametrize(
    "output, options",
    [
        ("result.vasp", {"vasp5": True, "direct": True}),
        ("out/POSCAR", {}),
        ("poscar", {"format": "vasp", "vasp5": True, "direct": True}),
        ("run/contcar", {"format": "vasp", "vasp5": True, "direct": True}),
        ("final.cif", {}),
        ("relaxed.poscar", {}),
    ],
)
def test_main_output_options(recorded, output, options, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "out").mkdir()
    (tmp_path / "run").mkdir()
    optimize.main(parsed("-f", "in.vasp", "-o", output))
    name, atoms, kwargs = recorded["write"]
    assert name == output and kwargs == options
    lines = capsys.readouterr().out.splitlines()
    assert lines == [
        "Reading initial structure from: in.vasp",
        "-" * 60,
        "Optimization finished.",
        f"Final optimized structure written to: {output}",
    ]


def test_main_potentials_and_optimiser_arguments(recorded):
    optimize.main(
        parsed(
            "-f",
            "in.vasp",
            "--fmax",
            "0.1",
            "--method",
            "FIRE",
            "--steps",
            "3",
            "--pressure",
            "4",
            "--trajectory",
            "t.traj",
        )
    )
    assert recorded["potential"] == (BNC,)
    atoms, kwargs = recorded["optimize"]
    assert kwargs == [
        ("fmax", 0.1),
        ("method", "FIRE"),
        ("steps", 3),
        ("pressure", 4.0),
        ("trajectory", "t.traj"),
    ]
    optimize.main(parsed("--potential", "pth"))
    assert recorded["read"] is None
    assert recorded["potential"] == (str(Path(files.__file__).parent / "BCN-ms-v0.0.1.pth"),)
    optimize.main(parsed("--potential", "my/own.tersoff"))
    assert recorded["potential"] == ("my/own.tersoff",)


def test_main_errors_propagate(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(Exception):
        optimize.main(parsed())  # no --filename: read(None) fails after the first line
    assert capsys.readouterr().out == "Reading initial structure from: None\n"
    strained_cbn().write("POSCAR", format="vasp")
    (tmp_path / "fake.pth").write_bytes(b"\x80\x02}q\x00.")
    with pytest.raises(ValueError, match="bare pickle"):
        optimize.main(parsed("-f", "POSCAR", "--potential", "fake.pth"))
    assert not (tmp_path / "optimized.vasp").exists()


def test_relaxing_a_cbn_cell_from_the_command_line(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    strained_cbn().write("POSCAR", format="vasp")
    assert cli.main(["optimize", "-f", "POSCAR"]) == 0
    text = (tmp_path / "optimized.vasp").read_text().splitlines()
    assert text[5].split()[:2] == ["B", "N"] and text[7].strip() == "Direct"  # VASP 5, direct
    relaxed = read(tmp_path / "optimized.vasp")
    relaxed.calc = get_calculator(BNC)
    assert np.abs(relaxed.get_forces()).max() < 0.05
    frames = read(tmp_path / "opt.traj", ":")
    assert len(frames) > 2
    assert "Optimization finished." in capsys.readouterr().out

    assert (
        cli.main(["optimize", "-f", "POSCAR", "--pressure", "50", "-o", "poscar", "--trajectory", "p.traj"])
        == 0
    )
    compressed = read(tmp_path / "poscar", format="vasp")
    assert compressed.get_volume() < 0.95 * relaxed.get_volume()


def test_relaxing_a_rattled_cbn_cell_with_the_shipped_model(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    start = strained_cbn(seed=4)
    start.write("POSCAR", format="vasp")
    assert (
        cli.main(
            [
                "optimize",
                "-f",
                "POSCAR",
                "--potential",
                "pth",
                "--fmax",
                "0.02",
                "--steps",
                "400",
                "-o",
                "relaxed.vasp",
            ]
        )
        == 0
    )
    assert "Optimization finished." in capsys.readouterr().out
    relaxed = read(tmp_path / "relaxed.vasp")
    relaxed.calc = get_calculator(PTH)
    start.calc = relaxed.calc
    assert np.abs(relaxed.get_forces()).max() < 0.02
    assert np.abs(relaxed.get_stress()).max() / units.GPa < 0.5
    assert relaxed.get_potential_energy() < start.get_potential_energy() - 0.1
    # Relaxed, the strained and rattled cell is cubic c-BN again: equal edges, right angles,
    # bonds of one length.
    lengths, angles = relaxed.cell.cellpar()[:3], relaxed.cell.cellpar()[3:]
    assert np.ptp(lengths) < 0.03 and np.allclose(angles, 90, atol=0.3)
    bonds = relaxed.get_all_distances(mic=True)[relaxed.numbers == 5][:, relaxed.numbers == 7]
    first = np.sort(bonds, axis=1)[:, :4]
    assert np.ptp(first) < 0.01
    assert 3.5 < lengths.mean() / 2 < 3.75
