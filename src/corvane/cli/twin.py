"""The ``twin`` subcommand: a Σ3 twin by a mirror or a 180° rotation, written to a file."""

import os

from ase.io import write
from ase.io.formats import UnknownFileTypeError, filetype, ioformats

from corvane.build.sigma3 import Sigma3TwinBoundary
from corvane.cli import DEFAULT_IN_WORDS, CombinedFormatter

COMMAND = "twin"
DESCRIPTION = (
    "Create a Σ3 twin of a cubic crystal by a mirror or by a 180° rotation about the plane "
    "normal (the twin of zinc-blende crystals such as c-BN, which keeps every bond B-N)."
)


def register_parser(subparsers):
    parser = subparsers.add_parser(
        COMMAND, help=DESCRIPTION, description=DESCRIPTION, formatter_class=CombinedFormatter
    )
    parser.add_argument(
        "-f",
        "--filename",
        type=str,
        help="Bulk crystal structure file (any format ASE reads). "
        "Without it: c-BN, zinc-blende, a = 3.615 Angstrom." + DEFAULT_IN_WORDS,
    )
    parser.add_argument(
        "-o", "--output", type=str, default="twin.vasp", help="Output file; its name sets the format."
    )
    parser.add_argument(
        "--plane",
        type=int,
        nargs=3,
        default=[1, 1, 1],
        help="Miller indices of the twinning plane in the bulk's cell.",
    )
    parser.add_argument(
        "--layers",
        type=int,
        nargs="+",
        default=[3],
        help="Thickness of each grain in layer units (at least 2).\n"
        "One value: two grains, two boundaries per cell.\n"
        "Several: those grains, then the same in reverse order.",
    )
    parser.add_argument(
        "--operation",
        choices=("auto", "mirror", "rotation"),
        default="auto",
        help="mirror, 180° rotation about the normal, or auto (mirror first).",
    )
    parser.add_argument(
        "--supercell",
        type=int,
        nargs=3,
        default=[1, 1, 1],
        help="Repetitions of the twin cell along its three vectors.",
    )
    parser.add_argument(
        "--vacuum",
        type=float,
        default=0.0,
        help="Vacuum in Angstrom along the normal (0 keeps the twin periodic).",
    )
    parser.add_argument(
        "--tol", type=float, default=0.01, help="Tolerance in Angstrom for layers and bond lengths."
    )
    parser.add_argument(
        "--grains",
        action="store_true",
        help="Also write each grain, named from the output: <stem>_grain<i><ext>.",
    )
    parser.set_defaults(command=COMMAND)


def _format_of(path):
    try:
        fmt = filetype(path, read=False)
    except UnknownFileTypeError:
        fmt = None
    if fmt not in ioformats or not ioformats[fmt].can_write:
        raise ValueError(f"cannot tell a structure format ASE writes from the file name {path!r}")
    return fmt


def _write(path, atoms):
    """Writes through a temporary file beside `path`, so a failure leaves an old file whole."""
    from corvane.io.atomic import replacing

    fmt = _format_of(path)
    with replacing(path) as temporary:
        write(temporary, atoms, format=fmt)


def main(args):
    try:
        _run(args)
    except (ValueError, OSError, UnknownFileTypeError) as exc:
        raise SystemExit(f"corvane {COMMAND}: error: {exc}") from exc


def _run(args):
    _format_of(args.output)  # a bad name fails before any work
    if args.filename:
        from ase.io import read

        bulk, source = read(args.filename), args.filename
    else:
        from ase.build import bulk as build_bulk

        bulk, source = build_bulk("BN", "zincblende", a=3.615), "built-in c-BN (a = 3.615 A)"
    print(f"Bulk: {bulk.get_chemical_formula()}, {len(bulk)} atoms, from {source}")
    builder = Sigma3TwinBoundary(
        bulk,
        plane=tuple(args.plane),
        layers=args.layers,
        operation=args.operation,
        tol=args.tol,
        vacuum=args.vacuum,
    )
    stack = builder.layers + builder.layers[::-1]
    print(
        f"Building the ({' '.join(map(str, builder.plane))}) twin: grains of "
        f"{' '.join(map(str, stack))} layer units, operation {args.operation}"
    )
    twin = builder.create(supercell=args.supercell)
    info = twin.info
    heights = ", ".join(f"{h:.3f}" for h in info["twin_boundaries"]) or "none"
    print(
        f"Twin: {len(twin)} atoms, {info['twin_operation']}, stacking {info['twin_stacking']}, "
        f"boundaries at z = {heights} A"
    )
    if args.grains:
        stem, ext = os.path.splitext(args.output)
        for i, grain in enumerate(builder.grains):
            name = f"{stem}_grain{i}{ext}"
            _write(name, grain)
            print(f"  Grain {i}: {len(grain)} atoms -> {name}")
    _write(args.output, twin)
    print(f"Written to {args.output}")
