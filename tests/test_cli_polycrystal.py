"""The `polycrystal` subcommand: parser, parameter file, precedence, and real runs."""

import numpy as np
import pytest
from ase.io import read
from ase.neighborlist import neighbor_list

import corvane.cli.polycrystal as cli
from corvane.cli import build_parser

BANNER = "=" * 60
AL_DENSITY = 4 / 4.046**3


def parse(*argv):
    return build_parser({"polycrystal": cli}).parse_args(["polycrystal", *argv])


class Recorder:
    """Stands in for Polycrystal (looked up by main at call time) and records what it gets."""

    calls = []

    def __init__(self, **kwargs):
        Recorder.calls.append(("init", kwargs))

    def generate_polycrystal(self, **kwargs):
        Recorder.calls.append(("generate", kwargs))
        return "the polycrystal"

    def write_final_files(self, polycrystal, **kwargs):
        Recorder.calls.append(("write", polycrystal, kwargs))


@pytest.fixture
def recorded(monkeypatch):
    Recorder.calls = []
    monkeypatch.setattr(cli, "Polycrystal", Recorder)

    def run(*argv):
        Recorder.calls = []
        cli.main(parse(*argv))
        return Recorder.calls

    return run


def params_of(calls):
    return calls[0][1]["params"]


@pytest.fixture
def param_file(tmp_path):
    def make(text):
        path = tmp_path / "params.txt"
        path.write_text(text)
        return str(path)

    return make


# -- parser --------------------------------------------------------------------------------------


def test_parser_defaults_and_help(capsys):
    args = parse()
    assert (args.command, args.random, args.box, args.formats) == ("polycrystal", 8, [80.0, 80.0, 80.0], [])
    assert (args.filename, args.param_file, args.lattice, args.node, args.remove_doubles) == (None,) * 5
    assert (args.prefix, args.output, args.no_wrap, args.verbose) == (
        "polycrystal",
        "polycrystal.cfg",
        False,
        False,
    )
    with pytest.raises(SystemExit):
        parse("--help")
    text = capsys.readouterr().out
    assert "Can be used multiple times.\n" in text and "Ex: --node 10 10 10 45 30 0" in text
    assert "(default: 8)" in text and "(default: [80.0, 80.0, 80.0])" in text


@pytest.mark.parametrize(
    "argv",
    [
        ["--lattice", "sc"],
        ["--random", "3", "--lattice", "fcc"],
        ["--random", "8", "--node", "1", "2", "3"],  # the default value typed explicitly still conflicts
        ["--lattice", "bcc", "--node", "1", "2", "3"],
        ["--box", "10", "10"],
        ["--random", "many"],
        ["--remove-doubles", "close"],
    ],
)
def test_parser_rejects(argv, capsys):
    with pytest.raises(SystemExit):
        parse(*argv)
    assert "error:" in capsys.readouterr().err


# -- main: what it hands to the builder -----------------------------------------------------------


def test_run_without_options(recorded):
    calls = recorded()
    assert [c[0] for c in calls] == ["init", "generate", "write"]
    init = calls[0][1]
    assert list(init) == ["seed", "params", "prefix", "verbose"]
    assert init["params"] == {"box": [80.0, 80.0, 80.0], "random": 8}
    assert type(init["params"]["box"]) is list and type(init["params"]["random"]) is int
    seed = init["seed"]
    assert seed.get_chemical_formula() == "Al4" and np.allclose(seed.cell.lengths(), 4.046)
    assert (init["prefix"], init["verbose"]) == ("polycrystal", False)
    assert calls[1][1] == {"wrap": True, "remove_doubles": None}
    assert calls[2] == ("write", "the polycrystal", {"output": "polycrystal.cfg", "formats": []})


def test_options_reach_the_builder(recorded):
    calls = recorded(
        "-f",
        "POSCAR",
        "--lattice",
        "hcp",
        "--no-wrap",
        "--remove-doubles",
        "1.5",
        "--verbose",
        "--formats",
        "xyz",
        "vasp",
        "-o",
        "results/run1.cfg",
    )
    assert params_of(calls) == {"box": [80.0, 80.0, 80.0], "lattice": "hcp"}
    assert calls[0][1]["seed"] == "POSCAR"  # the file is the builder's to read
    assert (calls[0][1]["prefix"], calls[0][1]["verbose"]) == ("run1", True)
    assert calls[1][1] == {"wrap": False, "remove_doubles": 1.5}
    assert calls[2][2] == {"output": "results/run1.cfg", "formats": ["xyz", "vasp"]}


def test_nodes_and_prefix_from_option(recorded):
    node = ["--node", "10", "10", "10", "45", "30", "0"]
    calls = recorded(*node, *node, "--output", "", "--prefix", "mine")
    record = {"pos": [10.0, 10.0, 10.0], "orient": ["45", "30", "0"]}
    assert params_of(calls) == {"box": [80.0, 80.0, 80.0], "node": [record, record]}
    assert calls[0][1]["prefix"] == "mine" and calls[2][2]["output"] == ""


def test_random_zero_leaves_no_mode(recorded, capsys):
    with pytest.raises(
        ValueError, match="A generation mode is required. Use --random, --lattice, or --node."
    ):
        recorded("--random", "0")
    assert Recorder.calls == [] and capsys.readouterr().out == ""


def test_hand_made_namespace_without_box(monkeypatch):
    monkeypatch.setattr(cli, "Polycrystal", Recorder)
    args = parse()
    args.box = []
    with pytest.raises(
        ValueError, match=r"A final box size is required. Use --box or define it in --param-file."
    ):
        cli.main(args)


# -- parameter file and precedence --------------------------------------------------------------


def test_param_file_is_read(recorded, param_file):
    path = param_file(
        "# a comment\n\n  BOX 50 50 50  \nGrain 1 2 3\nnode 4 5 6 10 20 30 # not a comment\n"
        "colour red\nrandom 5\nlattice FCC\n"
    )
    calls = recorded("--param-file", path)
    params = params_of(calls)
    assert params["param_file"] == path
    assert params["box"] == [50.0, 50.0, 50.0]
    assert params["node"] == [
        {"pos": [1.0, 2.0, 3.0], "orient": []},
        {"pos": [4.0, 5.0, 6.0], "orient": ["10", "20", "30", "#", "not", "a", "comment"]},
    ]
    # the file may name several modes; the defaults of --box and --random do not override it
    assert (params["random"], params["lattice"]) == (5, "fcc")


def test_explicit_options_override_the_file(recorded, param_file):
    path = param_file("box 50 50 50\nnode 1 2 3\nnode 4 5 6\n")
    params = params_of(recorded("--param-file", path, "--box", "20", "30", "40"))
    assert params["box"] == [20.0, 30.0, 40.0] and len(params["node"]) == 2 and "random" not in params
    params = params_of(recorded("--param-file", path, "--random", "8"))
    assert params["random"] == 8 and "node" not in params and params["box"] == [50.0, 50.0, 50.0]
    params = params_of(recorded("--param-file", path, "--lattice", "bcc"))
    assert params["lattice"] == "bcc" and "node" not in params
    params = params_of(recorded("--param-file", path, "--node", "7", "8", "9"))
    assert params["node"] == [{"pos": [7.0, 8.0, 9.0], "orient": []}]  # replaced, not extended


def test_defaults_fill_in_what_the_file_lacks(recorded, param_file):
    params = params_of(recorded("--param-file", param_file("lattice diamond\n")))
    assert params["box"] == [80.0, 80.0, 80.0] and params["lattice"] == "diamond" and "random" not in params
    params = params_of(recorded("--param-file", param_file("box 10 20 30\n")))
    assert params["box"] == [10.0, 20.0, 30.0] and params["random"] == 8


@pytest.mark.parametrize(
    "text, error, note",
    [
        ("box 50 50 50\nrandom\n", IndexError, "line 2: random (a value is missing)"),
        ("lattice\n", IndexError, "line 1: lattice"),
        ("box 50 x 50\n", ValueError, "line 1: box 50 x 50"),
        ("random 2.5\n", ValueError, "line 1: random 2.5"),
        ("node 1 2 three\n", ValueError, "node 1 2 three"),
    ],
)
def test_bad_param_files(recorded, param_file, text, error, note):
    path = param_file(text)
    with pytest.raises(error) as info:
        recorded("--param-file", path)
    assert any(n.startswith(path) and note in n for n in info.value.__notes__)
    assert Recorder.calls == []


def test_missing_param_file(recorded, tmp_path):
    with pytest.raises(FileNotFoundError):
        recorded("--param-file", str(tmp_path / "absent.txt"))


# -- real runs ----------------------------------------------------------------------------------


def min_distance(atoms, cutoff=3.0):
    d = neighbor_list("d", atoms, cutoff)
    return d.min() if len(d) else np.inf


def test_default_run_writes_al_polycrystal(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    cli.main(parse())
    out = capsys.readouterr().out.splitlines()
    assert out[:3] == [BANNER, "Success: Polycrystal Generation", BANNER] and out[-1] == BANNER
    atoms = read(tmp_path / "polycrystal.cfg")
    assert abs(len(atoms) / (80.0**3 * AL_DENSITY) - 1) < 0.02
    assert sorted(set(atoms.arrays["grain"].astype(int))) == list(range(1, 9))
    scaled = atoms.get_scaled_positions(wrap=False)
    assert np.all((scaled >= 0) & (scaled < 1))


def test_remove_doubles_and_no_wrap_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    cli.main(parse("--remove-doubles", "2.0", "--box", "50", "50", "50", "--random", "4"))
    atoms = read(tmp_path / "polycrystal.cfg")
    assert min_distance(atoms) > 2.0 - 1e-3
    # ASE's CFG writer stores positions folded into the cell; the xyz file shows --no-wrap.
    cli.main(parse("--no-wrap", "--box", "50", "50", "50", "-o", "loose.cfg", "--formats", "xyz"))
    scaled = read(tmp_path / "loose.xyz").get_scaled_positions(wrap=False)
    assert ((scaled < 0) | (scaled >= 1)).any()


def test_lattice_bcc_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    cli.main(parse("--lattice", "bcc", "--box", "40", "40", "40", "--formats", "xyz"))
    atoms = read(tmp_path / "polycrystal.xyz")
    assert sorted(set(atoms.arrays["grain"])) == [1, 2]
    assert len(read(tmp_path / "polycrystal.cfg")) == len(atoms)
    assert abs(len(atoms) / (40.0**3 * AL_DENSITY) - 1) < 0.02


def test_node_and_param_file_run(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "grains.txt").write_text("box 40.46 40.46 40.46\nnode 10 10 10 0 0 0\nnode 30 30 30\n")
    (tmp_path / "out").mkdir()  # folders are not created
    cli.main(parse("--param-file", "grains.txt", "--verbose", "-o", "out/two.cfg"))
    atoms = read(tmp_path / "out" / "two.cfg")
    np.testing.assert_allclose(atoms.cell.lengths(), 40.46)
    grain = atoms.arrays["grain"].astype(int)
    assert sorted(set(grain)) == [1, 2]
    # grain 1 keeps the seed's orientation: its atoms sit on the fcc lattice through (10, 10, 10),
    # which the box (ten cells) repeats
    lattice = (atoms.positions[grain == 1] - 10.0) / (4.046 / 2)
    np.testing.assert_allclose(lattice, np.round(lattice), atol=1e-4)
    seeds = (tmp_path / "out" / "two_seeds.txt").read_text()
    assert "box 40.460000 40.460000 40.460000" in seeds and seeds.count("\nnode ") == 2
    assert "Grain 2:" in capsys.readouterr().out
    cli.main(
        parse(
            "--node",
            "10",
            "10",
            "10",
            "0",
            "0",
            "0",
            "--node",
            "30",
            "30",
            "30",
            "0",
            "0",
            "45",
            "--box",
            "40",
            "40",
            "40",
            "--prefix",
            "unused",
            "-o",
            "opt.cfg",
        )
    )
    again = read(tmp_path / "opt.cfg")
    assert sorted(set(again.arrays["grain"].astype(int))) == [1, 2]
    assert abs(len(again) / (40.0**3 * AL_DENSITY) - 1) < 0.02
