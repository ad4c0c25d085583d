"""The `boundary` subcommand and the command-line root, checked on the files they write."""

import argparse
import subprocess
import sys

import numpy as np
import pytest
from ase.build import bulk
from ase.io import read
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

import corvane.cli
import corvane.cli.boundary as boundary
from corvane.cli import CombinedFormatter, build_parser

RULE = "=" * 60


def parse(*argv):
    return build_parser({"boundary": boundary}).parse_args(["boundary", *argv])


def run(capsys, *argv):
    boundary.main(parse(*argv))
    return capsys.readouterr().out.splitlines()


@pytest.fixture(autouse=True)
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


# --------------------------------------------------------------------------- module and parser


def test_module_namespace():
    names = [n for n in vars(boundary) if not n.startswith("__")]
    assert names == ["CombinedFormatter", "CoherentTwinBoundary", "register_parser", "main"]
    assert boundary.CombinedFormatter is CombinedFormatter
    assert boundary.register_parser.__doc__ is None and boundary.main.__annotations__ == {}


def test_parser_defaults_and_types():
    args = parse()
    assert vars(args) == {
        "command": "boundary",
        "filename": None,
        "output": "grain_gb.vasp",
        "plane": [1, 1, 1],
        "layers": [3],
        "tol_surface": 0.02,
        "tol_layer": 0.1,
        "average_cutoff": 0.2,
        "delete_layers": [],
        "gap": 0.0,
        "symprec": 0,
        "vacuum": 0,
        "supercell": [1, 1, 1],
        "write_grains": False,
    }
    assert type(args.symprec) is int and type(args.vacuum) is int
    # list defaults are new objects at each registration
    assert parse().layers is not parse().layers
    args = parse(
        "--layers", "3", "5", "--plane", "0", "0", "1", "--delete_layers", "--symprec", "1e-3", "-f", "x.vasp"
    )
    assert args.layers == [3, 5] and args.plane == [0, 0, 1] and args.delete_layers == []
    assert args.symprec == 1e-3 and args.filename == "x.vasp"
    for bad in (["--plane", "1", "1"], ["--plane", "1", "1", "a"], ["--supercell", "2", "2"]):
        with pytest.raises(SystemExit):
            parse(*bad)


def test_help_keeps_line_breaks_and_shows_defaults(capsys):
    with pytest.raises(SystemExit):
        parse("--help")
    out = capsys.readouterr().out
    assert "Create a coherent grain boundary." in out
    lines = [line.strip() for line in out.splitlines()]
    assert "Number of layers for each grain." in lines
    assert "If one value is given, a standard two-grain twin boundary is created." in lines
    assert "(default: grain_gb.vasp)" in out and "(default: [3])" in out


def test_register_parser_adds_one_subcommand():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="cmd")
    assert boundary.register_parser(sub) is None
    ((name, sp),) = sub.choices.items()
    assert name == "boundary" and sp.formatter_class is CombinedFormatter
    assert sp.description == "Create a coherent grain boundary."
    flags = [a.option_strings for a in sp._actions][1:]
    assert flags == [
        ["-f", "--filename"],
        ["-o", "--output"],
        ["--plane"],
        ["--layers"],
        ["--tol_surface"],
        ["--tol_layer"],
        ["--average_cutoff"],
        ["--delete_layers"],
        ["--gap"],
        ["--symprec"],
        ["--vacuum"],
        ["--supercell"],
        ["--write_grains"],
    ]


# --------------------------------------------------------------------------- runs


def test_default_run_writes_a_sound_diamond_twin(capsys, in_tmp):
    out = run(capsys)
    assert out == [RULE, "Success: Grain boundary", RULE, "  Written to file grain_gb.vasp.", RULE]
    assert sorted(p.name for p in in_tmp.iterdir()) == ["grain_gb.vasp"]
    atoms = read("grain_gb.vasp")
    assert atoms.get_chemical_symbols() == ["C"] * 12
    assert_sound_tetrahedral(atoms, DIAMOND_BOND, 1.7)
    c = atoms.cell[2, 2]
    assert c == pytest.approx(6 * DIAMOND_D111)
    assert_planes(
        mirror_planes(atoms, 2.5 * DIAMOND_D111),
        expected_boundaries([3, 3], DIAMOND_D111, DIAMOND_BOND, c),
        c,
    )


def test_empty_filename_also_selects_diamond(capsys):
    run(capsys, "-f", "")
    assert len(read("grain_gb.vasp")) == 12


def test_silicon_from_a_poscar(capsys):
    bulk("Si", "diamond", a=SILICON_A, cubic=True).write("POSCAR", format="vasp")
    run(capsys, "-f", "POSCAR")
    atoms = read("grain_gb.vasp")
    assert set(atoms.get_chemical_symbols()) == {"Si"}
    assert_sound_tetrahedral(atoms, SILICON_BOND, 2.6)
    d = SILICON_A / np.sqrt(3)
    c = atoms.cell[2, 2]
    assert_planes(mirror_planes(atoms, 2.5 * d), expected_boundaries([3, 3], d, SILICON_BOND, c), c)


def test_four_grains_from_unsorted_layers(capsys):
    run(capsys, "--layers", "3", "5")
    atoms = read("grain_gb.vasp")
    assert len(atoms) == 2 * 2 * (5 + 3)
    assert_sound_tetrahedral(atoms, DIAMOND_BOND, 1.7)
    c = atoms.cell[2, 2]
    assert c == pytest.approx(16 * DIAMOND_D111)
    assert_planes(
        mirror_planes(atoms, 2.5 * DIAMOND_D111),
        expected_boundaries([5, 3, 3, 5], DIAMOND_D111, DIAMOND_BOND, c),
        c,
    )


def test_vacuum_leaves_a_sound_interior(capsys):
    run(capsys, "--vacuum", "10")
    atoms = read("grain_gb.vasp")
    z = atoms.positions[:, 2]
    assert atoms.cell[2, 2] == pytest.approx(np.ptp(z) + 10)
    assert z.min() == pytest.approx(5.0)
    surface = (z < z.min() + 0.1) | (z > z.max() - 0.1)
    assert surface.sum() == 2
    assert np.all(coordination(atoms, 1.7)[surface] == 3)
    assert_sound_tetrahedral(atoms, DIAMOND_BOND, 1.7, mask=~surface)
    middle = (z.min() + z.max()) / 2
    assert mirror_planes(atoms, 1.9 * DIAMOND_D111) == pytest.approx([middle])


def test_supercell_multiplies_the_atoms(capsys):
    run(capsys, "--supercell", "2", "2", "1")
    atoms = read("grain_gb.vasp")
    assert len(atoms) == 48
    assert_sound_tetrahedral(atoms, DIAMOND_BOND, 1.7)
    c = atoms.cell[2, 2]
    assert_planes(
        mirror_planes(atoms, 2.5 * DIAMOND_D111),
        expected_boundaries([3, 3], DIAMOND_D111, DIAMOND_BOND, c),
        c,
    )


def test_grain_files_come_first(capsys, in_tmp, monkeypatch):
    order = []
    real_create = boundary.CoherentTwinBoundary.create

    def create(self, supercell):
        result = real_create(self, supercell=supercell)
        original = result.write

        def write(name, **kw):
            # (the hidden file is the one being written, moved over the target when complete)
            order.append(sorted(p.name for p in in_tmp.iterdir() if not p.name.startswith(".")))
            return original(name, **kw)

        result.write = write
        return result

    monkeypatch.setattr(boundary.CoherentTwinBoundary, "create", create)
    run(capsys, "--write_grains", "--layers", "4", "2")
    grains = [f"grain_{i}.vasp" for i in range(4)]
    assert order == [grains]  # all grain files exist before the boundary is written
    for i, name in enumerate(grains):
        units = [4, 2, 2, 4][i]
        assert len(read(name, format="vasp")) == 2 * units


def test_other_output_format(capsys):
    out = run(capsys, "-o", "out.cif")
    assert out[3] == "  Written to file out.cif."
    assert len(read("out.cif")) == 12


def test_symprec_gives_the_primitive_cell(capsys):
    bulk("Si", "diamond", a=SILICON_A, cubic=True).write("POSCAR", format="vasp")
    run(capsys, "-f", "POSCAR", "--symprec", "1e-3")
    atoms = read("grain_gb.vasp")
    assert len(atoms) == 12
    assert_sound_tetrahedral(atoms, SILICON_BOND, 2.6)


def test_failures_propagate_after_nothing_is_written(capsys, in_tmp):
    bulk("BN", "zincblende", a=3.615).write("POSCAR", format="vasp")
    with pytest.raises(ValueError, match="^Failed to find any valid mirror plane by reflection.$"):
        boundary.main(parse("-f", "POSCAR"))
    assert capsys.readouterr().out == ""
    with pytest.raises(FileNotFoundError):
        boundary.main(parse("-f", "missing.vasp"))
    # a failing write leaves the first three report lines
    with pytest.raises(Exception):
        boundary.main(parse("-o", str(in_tmp / "no" / "such" / "dir.vasp")))
    assert capsys.readouterr().out.splitlines() == [RULE, "Success: Grain boundary", RULE]


# --------------------------------------------------------------------------- command-line root


def test_root_dispatches_to_boundary(capsys, in_tmp):
    assert corvane.cli.main(["boundary", "--layers", "2"]) == 0
    assert capsys.readouterr().out.splitlines()[1] == "Success: Grain boundary"
    assert len(read("grain_gb.vasp")) == 8
    with pytest.raises(SystemExit):
        corvane.cli.main([])


def test_python_dash_m_runs_the_subcommand(in_tmp):
    done = subprocess.run(
        [sys.executable, "-m", "corvane", "boundary", "-o", "m.vasp"],
        capture_output=True,
        text=True,
        cwd=in_tmp,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[3] == "  Written to file m.vasp."
    assert_sound_tetrahedral(read(in_tmp / "m.vasp"), DIAMOND_BOND, 1.7)
