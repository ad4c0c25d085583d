"""The ``corvane`` command-line tool: a root parser whose subcommands live in this package."""

import argparse
import importlib
import sys

#: Subcommand modules of this package, in the order they appear in the help.
SUBCOMMANDS = ("boundary", "optimize", "polycrystal", "pelvaro", "twin", "properties", "screen", "fit")


class CombinedFormatter(argparse.ArgumentDefaultsHelpFormatter, argparse.RawTextHelpFormatter):
    """Help formatter that keeps explicit line breaks in help texts and shows defaults."""


#: Ends a help text that says its default in words: prints nothing, and its "%(default)" keeps
#: CombinedFormatter from adding "(default: None)" after the words.
DEFAULT_IN_WORDS = "%(default).0s"


def _subcommand_modules():
    modules = {}
    for name in SUBCOMMANDS:
        dotted = f"{__name__}.{name}"
        try:
            modules[name] = importlib.import_module(dotted)
        except ModuleNotFoundError as exc:
            if exc.name != dotted:  # a dependency of an existing subcommand is missing
                raise
    return modules


def build_parser(modules=None):
    """The root parser with every available subcommand registered."""
    if modules is None:
        modules = _subcommand_modules()
    parser = argparse.ArgumentParser(
        prog="corvane",
        description="Build and judge superhard crystals: twin boundaries, relaxation, "
        "polycrystals and a structure-database viewer.",
        formatter_class=CombinedFormatter,
    )
    from corvane import __version__

    parser.add_argument("--version", action="version", version=f"corvane {__version__}")
    # Absent from the namespace unless given: subcommands see only their own options.
    parser.add_argument(
        "--traceback",
        action="store_true",
        default=argparse.SUPPRESS,
        help="On an error, print the full traceback instead of one line "
        "(also: environment variable CORVANE_TRACEBACK=1).",
    )
    parser.add_argument(
        "--max-memory",
        metavar="SIZE",
        default=argparse.SUPPRESS,
        help="Refuse work estimated to need more memory than this "
        "(e.g. 16G; default 4G, or environment variable CORVANE_MAX_MEMORY).",
    )
    subparsers = parser.add_subparsers(title="commands", dest="command", metavar="command")
    subparsers.required = True
    for module in modules.values():
        module.register_parser(subparsers)
    return parser


def main(argv=None):
    """Entry point of the ``corvane`` console script and of ``python -m corvane``."""
    modules = _subcommand_modules()
    parser = build_parser(modules)
    args = parser.parse_args(sys.argv[1:] if argv is None else argv)
    from corvane import limits
    from corvane.cli import errors

    try:
        limits.set_max_memory(getattr(args, "max_memory", None))
    except ValueError as exc:
        parser.error(f"--max-memory: {exc}")
    return errors.run(
        args.command, modules[args.command].main, args, traceback=getattr(args, "traceback", False)
    )
