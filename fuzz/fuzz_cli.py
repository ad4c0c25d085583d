"""Coverage-guided fuzzing of the command line: the root parser, every subcommand's options and
the checks made before work starts (atheris, from PyPI).

    python fuzz/fuzz_cli.py CORPUS_DIR [libFuzzer options, e.g. -max_total_time=600]

Each input becomes an argument list: a subcommand, then options drawn from the subcommands' own
flags mixed with fuzzed values (numbers of every kind, paths, junk). The subcommands' ``main``
functions are replaced by a recorder, so only parsing and checking run. A run fails (and libFuzzer
saves the input) on a crash, a hang (-timeout), an exception escaping the root, or an error
report that is not exactly one line ``corvane <command>: error: ...`` with exit status 1.
Runs in a scratch folder that holds one readable structure file, in.vasp.
"""

import contextlib
import io
import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import corvane.cli
    from corvane.cli import checks  # noqa: F401  (instrumented with the root)

FLAGS = {
    "boundary": [
        "-f",
        "-o",
        "--plane",
        "--layers",
        "--tol_surface",
        "--tol_layer",
        "--average_cutoff",
        "--delete_layers",
        "--gap",
        "--symprec",
        "--vacuum",
        "--supercell",
        "--write_grains",
    ],
    "optimize": ["-f", "-o", "--potential", "--method", "--fmax", "--steps", "--pressure", "--trajectory"],
    "polycrystal": [
        "-f",
        "--prefix",
        "-o",
        "--param-file",
        "--random",
        "--lattice",
        "--node",
        "--box",
        "--formats",
        "--remove-doubles",
        "--no-wrap",
        "--verbose",
    ],
    "pelvaro": [
        "db",
        "--host",
        "--port",
        "--templates",
        "--static",
        "--name",
        "--title",
        "--columns",
        "--debug",
    ],
}
COMMANDS = list(FLAGS)
ROOT_FLAGS = ["--traceback", "--max-memory", "--version"]
VALUES = [
    "0",
    "-1",
    "1",
    "3",
    "1e6",
    "1e300",
    "-1e300",
    "nan",
    "inf",
    "-inf",
    "0.0",
    "1e-320",
    "99999",
    "65535",
    "100000",
    "in.vasp",
    "missing.vasp",
    ".",
    "/",
    "a/b/c.cfg",
    "out.vasp",
    "x.traj",
    "fcc",
    "hcp",
    "LBFGS",
    "",
    "-",
    "--",
    "1G",
    "10K",
    "a",
    "\x00",
]


def argument_list(data: bytes):
    fdp = atheris.FuzzedDataProvider(data)
    argv = []
    if fdp.ConsumeIntInRange(0, 7) == 0:
        argv.append(fdp.PickValueInList(ROOT_FLAGS))
        argv.append(fdp.PickValueInList(VALUES))
    command = fdp.PickValueInList(COMMANDS)
    argv.append(command)
    for _ in range(fdp.ConsumeIntInRange(0, 12)):
        choice = fdp.ConsumeIntInRange(0, 5)
        if choice <= 2:
            argv.append(fdp.PickValueInList(FLAGS[command]))
        elif choice == 3:
            argv.append(fdp.PickValueInList(VALUES))
        elif choice == 4:
            argv.append(repr(fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else fdp.ConsumeInt(8)))
        else:
            argv.append(fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 24)))
    return command, argv


def main():
    os.chdir(tempfile.mkdtemp(prefix="fuzz-cli-"))
    from ase.build import bulk

    bulk("C", "diamond", a=3.567).write("in.vasp", format="vasp")
    modules = corvane.cli._subcommand_modules()
    ran = []

    class Recorder:
        def __init__(self, module):
            self.register_parser = module.register_parser

        @staticmethod
        def main(args):
            ran.append(args.command)

    recorded = {name: Recorder(module) for name, module in modules.items()}
    corvane.cli._subcommand_modules = lambda: recorded
    os.environ.pop("CORVANE_TRACEBACK", None)
    os.environ.pop("CORVANE_MAX_MEMORY", None)

    def one_input(data: bytes):
        command, argv = argument_list(data)
        err, out = io.StringIO(), io.StringIO()
        try:
            with contextlib.redirect_stderr(err), contextlib.redirect_stdout(out):
                status = corvane.cli.main(argv)
        except SystemExit as exc:  # argparse: usage errors (2), --help and --version (0)
            if exc.code not in (0, 2):
                raise RuntimeError(f"unexpected exit {exc.code!r} for {argv!r}") from None
            return
        except Exception:
            if "--traceback" in argv:
                return  # asked for the exception itself
            raise
        lines = err.getvalue().splitlines()
        errors = [line for line in lines if ": error: " in line]
        if status == 1:
            if len(errors) != 1 or not errors[0].startswith(f"corvane {command}: error: "):
                raise RuntimeError(f"bad error report for {argv!r}: {err.getvalue()!r}")
        elif status != 0 or errors:
            raise RuntimeError(f"status {status!r} with {err.getvalue()!r} for {argv!r}")

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
