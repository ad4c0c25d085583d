"""The `corvane twin` subcommand."""

import os

import numpy as np
import pytest
from ase.build import bulk
from ase.io import read
from ase.neighborlist import neighbor_list

from corvane.cli import build_parser, main

CBN_BOND = 3.615 * np.sqrt(3) / 4


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_registered_with_its_options():
    args = build_parser().parse_args(["twin"])
    assert args.command == "twin"
    assert (args.filename, args.output, args.plane, args.layers, args.operation) == (
        None,
        "twin.vasp",
        [1, 1, 1],
        [3],
        "auto",
    )
    assert (args.supercell, args.vacuum, args.tol, args.grains) == ([1, 1, 1], 0.0, 0.01, False)
    with pytest.raises(SystemExit):
        build_parser().parse_args(["twin", "--operation", "flip"])


def test_default_run_writes_the_cbn_twin_and_reports_it(in_tmp, capsys):
    assert main(["twin", "--supercell", "2", "2", "1"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines == [
        "Bulk: BN, 2 atoms, from built-in c-BN (a = 3.615 A)",
        "Building the (1 1 1) twin: grains of 3 3 layer units, operation auto",
        "Twin: 48 atoms, rotation, stacking ABCACB, boundaries at z = 0.000, 6.261 A",
        "Written to twin.vasp",
    ]
    twin = read(in_tmp / "twin.vasp")
    assert len(twin) == 48
    i, j = neighbor_list("ij", twin, 1.2 * CBN_BOND)
    assert np.all(np.bincount(i) == 4)
    assert np.all(twin.numbers[i] != twin.numbers[j])
    assert [p.name for p in in_tmp.iterdir()] == ["twin.vasp"]  # no temporary file left
    mode = os.stat(in_tmp / "twin.vasp").st_mode & 0o777
    umask = os.umask(0)
    os.umask(umask)
    assert mode == 0o666 & ~umask


def test_file_input_grains_and_format_from_the_name(in_tmp, capsys):
    bulk("Cu", "fcc", a=3.61, cubic=True).write(in_tmp / "cu.vasp")
    main(
        [
            "twin",
            "-f",
            "cu.vasp",
            "--layers",
            "4",
            "2",
            "--operation",
            "mirror",
            "--grains",
            "-o",
            "cu_twin.cif",
        ]
    )
    out = capsys.readouterr().out
    assert "Twin: 12 atoms, mirror, stacking " in out
    grains = sorted(p.name for p in in_tmp.glob("cu_twin_grain*.cif"))
    assert grains == [f"cu_twin_grain{i}.cif" for i in range(4)]
    assert [len(read(in_tmp / g)) for g in grains] == [4, 2, 2, 4]
    twin = read(in_tmp / "cu_twin.cif")
    assert len(twin) == 12
    i = neighbor_list("i", twin, 1.2 * 3.61 / np.sqrt(2))
    assert np.all(np.bincount(i) == 12)


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--layers", "1"], "layers must be whole numbers of at least 2 layer units per grain; got [1]"),
        (["-f", "missing.vasp"], "missing.vasp"),
        (["--plane", "1", "1", "0"], "No Σ3 twin on plane (1, 1, 0) of BN"),
        (["-o", "twin.nosuchformat"], "cannot tell a structure format ASE writes from the file name"),
        (["--supercell", "0", "1", "1"], "supercell must be three positive integers"),
    ],
)
def test_errors_are_one_line_and_write_nothing(in_tmp, argv, message):
    (in_tmp / "twin.vasp").write_text("old")
    with pytest.raises(SystemExit) as exit_:
        main(["twin", *argv])
    text = str(exit_.value.code)
    assert text.startswith("corvane twin: error: ") and message in text and "\n" not in text
    assert (in_tmp / "twin.vasp").read_text() == "old"
    assert sorted(p.name for p in in_tmp.iterdir()) == ["twin.vasp"]
