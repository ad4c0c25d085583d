"""The command-line root on bad input: one line naming the option and value, exit status 1,
nothing written and no work started; sizes estimated before anything is built."""

import os
import subprocess
import sys

import pytest
from ase.build import bulk
from ase.io import read

import corvane.cli
from corvane import limits
from corvane.cli import errors

OLD = "old\n"


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv(errors.TRACEBACK_VARIABLE, raising=False)
    monkeypatch.delenv(limits.ENVIRONMENT_VARIABLE, raising=False)
    return tmp_path


def fails(capsys, *argv):
    """Runs the tool; returns its one error line after checking status 1 and a quiet stdout."""
    status = corvane.cli.main(list(argv))
    captured = capsys.readouterr()
    assert status == 1, captured
    lines = captured.err.splitlines()
    assert len(lines) == 1, captured.err
    assert "Traceback" not in captured.err
    return lines[0]


# ----------------------------------------------------------- item 7: errors a user can act on


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["boundary", "--layers", "0"], "corvane boundary: error: --layers 0: every grain thickness"),
        (["boundary", "--layers", "3", "-2"], "--layers 3 -2: every grain thickness"),
        (["boundary", "--gap", "nan"], "corvane boundary: error: --gap nan: must be a finite number"),
        (["boundary", "--tol_layer", "inf"], "--tol_layer inf: must be a finite number"),
        (["boundary", "--plane", "0", "0", "0"], "--plane 0 0 0: the Miller indices cannot all be zero"),
        (["optimize"], "corvane optimize: error: -f/--filename: the structure file to relax is required"),
        (
            ["optimize", "-f", "notes.txt"],
            "-f/--filename notes.txt: not a structure file of a format ASE knows",
        ),
        (["optimize", "-f", "in.vasp", "--fmax", "0"], "--fmax 0.0: must be above 0"),
        (["optimize", "-f", "in.vasp", "--method", "Newton"], "--method Newton: unknown optimiser"),
        (["polycrystal", "--random", "0"], "corvane polycrystal: error: --random 0: the number of grains"),
        (["polycrystal", "--node", "a", "b", "c"], "--node a b c: 'a' is not a number"),
        (["polycrystal", "--node", "1", "2"], "--node 1 2: give a position x y z"),
        (["polycrystal", "--box", "10", "nan", "10"], "--box 10.0 nan 10.0: the edges must be positive"),
        (["polycrystal", "--remove-doubles", "-1"], "--remove-doubles -1.0: must be at least 0"),
        (
            ["boundary", "-f", "notes.txt"],
            "-f/--filename notes.txt: not a structure file of a format ASE knows",
        ),
        (["boundary", "-f", "absent.vasp"], "-f/--filename absent.vasp: no such file"),
        (["boundary", "-f", "POSCAR"], "-f/--filename POSCAR: cannot read a structure from it (RuntimeError"),
        (["boundary", "--supercell", "4294967296", "4294967296", "1"], "a boundary of about 2.21e+20 atoms"),
    ],
)
def test_bad_values_are_named_on_one_line(in_tmp, capsys, argv, expected):
    (in_tmp / "notes.txt").write_text("Remember to relax the cell.\nThen compute hardness.\n")
    (in_tmp / "POSCAR").write_text("C 0 0 0\nnot a structure\n")
    bulk("C", "diamond", a=3.567).write("in.vasp", format="vasp")
    before = sorted(os.listdir(in_tmp))
    line = fails(capsys, *argv)
    assert expected in line
    assert sorted(os.listdir(in_tmp)) == before


def test_traceback_on_request(in_tmp, capsys, monkeypatch):
    with pytest.raises(errors.checks.OptionError, match="--layers 0"):
        corvane.cli.main(["--traceback", "boundary", "--layers", "0"])
    monkeypatch.setenv(errors.TRACEBACK_VARIABLE, "1")
    with pytest.raises(errors.checks.OptionError):
        corvane.cli.main(["boundary", "--layers", "0"])
    monkeypatch.setenv(errors.TRACEBACK_VARIABLE, "0")
    assert fails(capsys, "boundary", "--layers", "0").startswith("corvane boundary: error:")


def test_console_script_exit_status_and_message(in_tmp):
    done = subprocess.run(
        [sys.executable, "-m", "corvane", "polycrystal", "--random", "0"],
        capture_output=True,
        text=True,
        timeout=120,
        env={k: v for k, v in os.environ.items() if k != errors.TRACEBACK_VARIABLE},
    )
    assert done.returncode == 1
    assert done.stderr == (
        "corvane polycrystal: error: --random 0: the number of grains must be at least 1\n"
    )


def test_errors_from_the_work_itself_are_one_line_too(in_tmp, capsys):
    bulk("BN", "zincblende", a=3.615).write("POSCAR", format="vasp")
    line = fails(capsys, "boundary", "-f", "POSCAR")
    assert line == "corvane boundary: error: Failed to find any valid mirror plane by reflection."
    # a class name is added where the message alone says little
    assert errors.one_line(KeyError("x")) == "KeyError: 'x'"
    assert errors.one_line(ValueError("two\n  lines")) == "two lines"


# ---------------------------------------------------- item 3: sizes estimated before building


@pytest.mark.parametrize(
    "argv, words",
    [
        (["boundary", "--average_cutoff", "1e6"], "--average_cutoff 1e+06: merging atoms within"),
        (
            ["boundary", "--layers", "100000000"],
            "--layers 100000000 with --supercell 1 1 1: a boundary of about 4e+08 atoms",
        ),
        (["boundary", "--supercell", "1000", "1000", "1000"], "a boundary of about 1.2e+10 atoms"),
        (
            ["polycrystal", "--box", "1e6", "1e6", "1e6"],
            "--box 1000000.0 1000000.0 1000000.0: a polycrystal of about 6.04e+16 atoms",
        ),
        (["polycrystal", "--remove-doubles", "1e6"], "--remove-doubles 1e+06: comparing atoms within"),
    ],
)
def test_runaway_sizes_are_refused_with_the_estimate(in_tmp, capsys, argv, words):
    line = fails(capsys, *argv)
    assert words in line and "above the limit of 4 GiB" in line and "--max-memory" in line


def test_too_many_grains_for_the_box(in_tmp, capsys):
    line = fails(capsys, "polycrystal", "--random", "100000")
    assert "--random 100000: 100000 grains in a box of 7730 seed cells" in line


def test_the_limit_can_be_raised(in_tmp, capsys, monkeypatch):
    argv = ["boundary", "--supercell", "40", "40", "40"]  # 768,000 atoms
    assert "about 7.68e+05 atoms would need about 375 MiB" in fails(capsys, "--max-memory", "100M", *argv)
    monkeypatch.setenv(limits.ENVIRONMENT_VARIABLE, "200M")
    assert "above the limit of 200 MiB" in fails(capsys, *argv)
    with pytest.raises(SystemExit):
        corvane.cli.main(["--max-memory", "lots", *argv])  # the parser's own usage error
    assert "--max-memory: not a memory size: 'lots'" in capsys.readouterr().err
    # the library refuses on its own, too, when called directly
    from corvane.core import average_atoms

    with pytest.raises(limits.SizeLimitError, match="merging atoms within 1e\\+06 A"):
        average_atoms(bulk("C", "diamond", a=3.567, cubic=True), 1e6)


# ------------------------------------------------------- item 4: wrong output with status 0


def test_boundary_refuses_what_it_used_to_write_wrongly(in_tmp, capsys):
    assert "--supercell 0 0 0: every repetition" in fails(capsys, "boundary", "--supercell", "0", "0", "0")
    assert "--supercell -1 1 1: every repetition" in fails(capsys, "boundary", "--supercell", "-1", "1", "1")
    (in_tmp / "somedir.vasp").mkdir()
    line = fails(capsys, "boundary", "-o", "somedir.vasp")
    assert "-o/--output somedir.vasp: output file 'somedir.vasp' is a folder" in line
    assert os.listdir("somedir.vasp") == []


def test_boundary_negative_vacuum_means_none(in_tmp, capsys):
    assert corvane.cli.main(["boundary", "--vacuum", "-100", "-o", "neg.vasp"]) == 0
    assert corvane.cli.main(["boundary", "-o", "zero.vasp"]) == 0
    negative, zero = read("neg.vasp"), read("zero.vasp")
    assert negative.cell[2, 2] == pytest.approx(zero.cell[2, 2]) and zero.cell[2, 2] > 0


def test_boundary_warns_about_layers_it_cannot_delete(in_tmp, capsys):
    assert corvane.cli.main(["boundary", "--delete_layers", "99", "-o", "w.vasp"]) == 0
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 1 and err[0].startswith("corvane boundary: warning: delete_layers:")
    assert "out-of-range entries [99]" in err[0]


# ---------------------------------------------- item 5: outputs checked before relaxing


def test_optimize_checks_its_outputs_before_relaxing(in_tmp, capsys):
    bulk("BN", "zincblende", a=3.7).write("in.vasp", format="vasp")
    (in_tmp / "t.traj").write_text(OLD)
    line = fails(capsys, "optimize", "-f", "in.vasp", "-o", "missing_dir/o.vasp", "--trajectory", "t.traj")
    assert "-o/--output missing_dir/o.vasp: output file 'missing_dir/o.vasp': the folder" in line
    assert (in_tmp / "t.traj").read_text() == OLD
    line = fails(capsys, "optimize", "-f", "in.vasp", "--trajectory", "no/t.traj")
    assert line.startswith("corvane optimize: error: --trajectory no/t.traj: trajectory file")


def test_optimize_main_itself_checks_the_output_before_relaxing(in_tmp, capsys, monkeypatch):
    from corvane.cli import optimize

    relaxed = []
    monkeypatch.setattr(optimize, "optimize_structure", lambda a, **k: relaxed.append(a) or a)
    bulk("BN", "zincblende", a=3.7).write("in.vasp", format="vasp")
    args = corvane.cli.build_parser({"optimize": optimize}).parse_args(
        ["optimize", "-f", "in.vasp", "-o", "missing_dir/o.vasp"]
    )
    with pytest.raises(FileNotFoundError, match="missing_dir"):
        optimize.main(args)
    assert relaxed == []


# ------------------------------------------------------------------ items 6 and 8


def test_port_outside_the_tcp_range(in_tmp, capsys):
    assert "--port 99999: a port number must be between 1 and 65535" in fails(
        capsys, "pelvaro", "x.db", "--port", "99999"
    )
    assert "--port 0:" in fails(capsys, "pelvaro", "x.db", "--port", "0")


def test_polycrystal_does_not_create_folders(in_tmp, capsys):
    line = fails(capsys, "polycrystal", "--box", "20", "20", "20", "--random", "2", "-o", "a/b/c.cfg")
    assert "-o/--output a/b/c.cfg: output file 'a/b/c.cfg': the folder 'a/b' does not exist" in line
    assert not (in_tmp / "a").exists()
    from ase.build import bulk as make

    from corvane.build.polycrystal import Polycrystal

    builder = Polycrystal(make("Al", "fcc", a=4.046, cubic=True), {"box": [20] * 3, "random": 2}, rng=1)
    with pytest.raises(FileNotFoundError, match="does not exist"):
        builder.write_final_files(builder.generate_polycrystal(), output="a/b/c.cfg")
    assert not (in_tmp / "a").exists()


@pytest.mark.parametrize(
    "command, words",
    [
        ("fit", "(default: 1e-16 to 1 in half decades)."),
        ("screen", "(default: the CPUs of this machine); one thread each."),
        ("twin", "Without it: c-BN, zinc-blende, a = 3.615 Angstrom."),
    ],
)
def test_help_gives_a_default_in_words_without_the_none_behind_it(capsys, command, words):
    with pytest.raises(SystemExit):
        corvane.cli.main([command, "--help"])
    text = " ".join(capsys.readouterr().out.split())
    assert f"{words} -" in text or text.endswith(words)  # the next option follows, nothing between
