"""Checks of the parsed command line, made before a subcommand starts its work.

Each check raises :class:`OptionError` naming the option and the value at fault, so that a run
that cannot succeed stops at once with a message the user can act on: numbers finite, counts
positive, output files writable before hours of relaxation, sizes estimated before a structure
too big for the machine is built. A subcommand without an entry in ``CHECKS`` runs unchecked.
"""

from __future__ import annotations

import math
import os
from pathlib import Path

import numpy as np

from corvane import limits
from corvane.io.atomic import check_writable

__all__ = ["OptionError", "CHECKS", "check"]


class OptionError(ValueError):
    """A command-line value that cannot work."""


def _flag(option, value):
    if isinstance(value, (list, tuple)):
        value = " ".join(str(v) for v in value)
    return f"{option} {value}"


def finite(option, value, minimum=None, strict=False):
    if value is None:
        return
    if not math.isfinite(value):
        raise OptionError(f"{_flag(option, value)}: must be a finite number")
    if minimum is not None and (value <= minimum if strict else value < minimum):
        relation = "above" if strict else "at least"
        raise OptionError(f"{_flag(option, value)}: must be {relation} {minimum:g}")


def positive_counts(option, values, what):
    if any(v < 1 for v in values):
        raise OptionError(f"{_flag(option, values)}: every {what} must be at least 1")


def writable(option, path, what="output file"):
    try:
        check_writable(path, what)
    except OSError as exc:
        raise OptionError(f"{option} {path}: {exc}") from None


def structure(option, path):
    """The structure in file `path`, or an OptionError saying why it cannot be read."""
    from ase.io import read
    from ase.io.formats import UnknownFileTypeError

    if not os.path.exists(path):
        raise OptionError(f"{option} {path}: no such file")
    if os.path.isdir(path):
        raise OptionError(f"{option} {path}: is a folder, not a structure file")
    try:
        atoms = read(path)
    except UnknownFileTypeError as exc:
        raise OptionError(
            f"{option} {path}: not a structure file of a format ASE knows "
            f"({' '.join(str(exc).split())}); use e.g. POSCAR, .vasp, .cif or "
            ".xyz"
        ) from None
    except Exception as exc:  # ASE's readers fail in many ways on a file that is not theirs
        reason = f"{type(exc).__name__}: {' '.join(str(exc).split())}"
        raise OptionError(f"{option} {path}: cannot read a structure from it ({reason})") from None
    if len(atoms) == 0:
        raise OptionError(f"{option} {path}: the structure has no atoms")
    if not np.isfinite(atoms.positions).all() or not np.isfinite(atoms.cell.array).all():
        raise OptionError(f"{option} {path}: the structure has non-finite positions or cell")
    return atoms


def _density(atoms):
    volume = abs(atoms.cell.volume)
    return len(atoms) / volume if volume > 1e-12 else float("nan")


# --------------------------------------------------------------------------------- boundary


def check_boundary(args):
    for option in ("tol_surface", "tol_layer"):
        finite(f"--{option}", getattr(args, option), minimum=0)
    for option in ("average_cutoff", "gap", "vacuum", "symprec"):
        finite(f"--{option}", getattr(args, option))
    if not any(args.plane):
        raise OptionError(f"{_flag('--plane', args.plane)}: the Miller indices cannot all be zero")
    positive_counts("--layers", args.layers, "grain thickness (in layers)")
    positive_counts("--supercell", args.supercell, "repetition")
    writable("-o/--output", args.output)
    if args.write_grains:
        writable("--write_grains", "grain_0.vasp", "grain file")

    if args.filename:
        bulk = structure("-f/--filename", args.filename)
    else:
        from ase.build import bulk as build_bulk

        bulk = build_bulk("C", "diamond", a=3.56)
    # ASE's surface() makes a slab of len(bulk) atoms per layer unit; the stack has two grains
    # per entry of --layers, repeated by the supercell.
    repeat = math.prod(args.supercell)  # Python integers: no overflow
    slab = len(bulk) * (max(args.layers) + 3)
    stacked = len(bulk) * 2 * sum(args.layers)
    atoms = max(slab, stacked * repeat)
    limits.check_memory(
        atoms * limits.BYTES_PER_ATOM,
        f"--layers {' '.join(map(str, args.layers))} with --supercell "
        f"{' '.join(map(str, args.supercell))}: a boundary of about {atoms:.3g} atoms",
    )
    pairs = limits.neighbour_pairs(stacked, _density(bulk), args.average_cutoff)
    limits.check_memory(
        pairs * limits.BYTES_PER_PAIR,
        f"--average_cutoff {args.average_cutoff:g}: merging atoms within "
        f"{args.average_cutoff:g} A (about {pairs:.3g} atom pairs)",
    )


# --------------------------------------------------------------------------------- optimize


def check_optimize(args):
    from corvane.optimization import OPTIMIZERS

    if not args.filename:
        raise OptionError("-f/--filename: the structure file to relax is required")
    finite("--fmax", args.fmax, minimum=0, strict=True)
    finite("--pressure", args.pressure)
    if args.steps < 0:
        raise OptionError(f"--steps {args.steps}: must be zero or more")
    if str(args.method).lower() not in {name.lower() for name in OPTIMIZERS}:
        raise OptionError(f"--method {args.method}: unknown optimiser; choose one of {', '.join(OPTIMIZERS)}")
    writable("-o/--output", args.output)
    writable("--trajectory", args.trajectory, "trajectory file")
    if Path(args.output).resolve() == Path(args.trajectory).resolve():
        raise OptionError(f"-o/--output {args.output}: the same file as --trajectory")
    structure("-f/--filename", args.filename)


# ------------------------------------------------------------------------------ polycrystal


def _node_records(nodes):
    for values in nodes or ():
        given = " ".join(values)
        if len(values) not in (3, 6):
            raise OptionError(
                f"--node {given}: give a position x y z, optionally followed by "
                "three rotation angles (degrees)"
            )
        try:
            numbers = [float(v) for v in values]
        except ValueError:
            bad = next(v for v in values if not _is_float(v))
            raise OptionError(f"--node {given}: {bad!r} is not a number") from None
        if not all(math.isfinite(x) for x in numbers):
            raise OptionError(f"--node {given}: the values must be finite numbers")


def _is_float(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def check_polycrystal(args):
    box = args.box or []
    if box and not all(math.isfinite(x) and x > 0 for x in box):
        raise OptionError(f"{_flag('--box', box)}: the edges must be positive finite lengths")
    if args.random is not None and args.random < 1:
        raise OptionError(f"--random {args.random}: the number of grains must be at least 1")
    _node_records(args.node)
    finite("--remove-doubles", args.remove_doubles, minimum=0)
    if args.param_file and not os.path.isfile(args.param_file):
        raise OptionError(f"--param-file {args.param_file}: no such file")
    if args.output:
        writable("-o/--output", args.output)

    if args.filename:
        seed = structure("-f/--filename", args.filename)
    else:
        from ase.build import bulk

        seed = bulk("Al", "fcc", a=4.046, cubic=True)
    if not box:
        return  # the parameter file gives the box; the builder checks it
    volume = float(np.prod(box))
    atoms = volume * _density(seed)
    limits.check_memory(
        atoms * limits.BYTES_PER_ATOM, f"{_flag('--box', box)}: a polycrystal of about {atoms:.3g} atoms"
    )
    if args.node:
        grains, option = len(args.node), "--node"
    elif args.lattice:
        grains, option = None, None
    else:
        grains, option = args.random, f"--random {args.random}"
    cells = volume / abs(seed.cell.volume)
    if grains and grains > cells:
        raise OptionError(
            f"{option}: {grains} grains in a box of {cells:.0f} seed cells leave "
            "less than one cell per grain; use fewer grains or a larger --box"
        )
    if args.remove_doubles:
        pairs = limits.neighbour_pairs(atoms, _density(seed), args.remove_doubles)
        limits.check_memory(
            pairs * limits.BYTES_PER_PAIR,
            f"--remove-doubles {args.remove_doubles:g}: comparing atoms within "
            f"{args.remove_doubles:g} A (about {pairs:.3g} atom pairs)",
        )


# ---------------------------------------------------------------------------------- pelvaro


def check_pelvaro(args):
    if not 1 <= args.port <= 65535:
        raise OptionError(f"--port {args.port}: a port number must be between 1 and 65535")


CHECKS = {
    "boundary": check_boundary,
    "optimize": check_optimize,
    "polycrystal": check_polycrystal,
    "pelvaro": check_pelvaro,
}


def check(args):
    """Runs the checks of the chosen subcommand, if it has any."""
    checker = CHECKS.get(getattr(args, "command", None))
    if checker is not None:
        checker(args)
