"""The ``fit`` subcommand: fits a linear cluster-expansion potential to DFT data.

    corvane fit data/dft -o src/corvane/data/files/BCN-ms-v0.0.1.pth

DATA are extxyz files (gzip or not) or directories holding them, each cell with energy, forces
and stress; cells carry their split ("train", "validation", "test") in ``atoms.info["split"]``
or get one from a hash of their name. Prints progress and, last, the error table. Unless
``--stability-draws 0``, the chosen penalty is the lowest-loss one whose model keeps 64-atom
crystals and random alloys sound in MD and relaxation (corvane.training.stability).
"""

from __future__ import annotations

import argparse
import math
import re
import sys
from dataclasses import fields

from corvane.cli import DEFAULT_IN_WORDS, CombinedFormatter
from corvane.potentials.ace import AceBasis
from corvane.training.ace_fit import FitSettings

_BASIS = {f.name: f.default for f in fields(AceBasis)}
_SETTINGS = {f.name: f.default for f in fields(FitSettings)}


def register_parser(subparsers):
    parser = subparsers.add_parser(
        "fit",
        help="Fit a machine-learning potential to DFT data",
        description="Fit a linear cluster-expansion potential (weighted least squares on "
        "energies per atom, forces and stresses; penalty chosen on the validation split) and "
        "write it as a .pth model file.",
        formatter_class=CombinedFormatter,
    )
    parser.add_argument(
        "data", nargs="+", metavar="DATA", help="extxyz files (.gz allowed) or directories holding them"
    )
    parser.add_argument(
        "-o", "--output", required=True, default=argparse.SUPPRESS, help="Path of the model file to write."
    )
    parser.add_argument("--elements", default="B,C,N", help="Elements of the model, comma-separated.")
    parser.add_argument("--cutoff", type=float, default=_BASIS["cutoff"], help="Cutoff radius (Angstrom).")
    parser.add_argument("--body2", type=int, default=_BASIS["body2"], help="Radial functions of pair terms.")
    parser.add_argument(
        "--body3",
        default=",".join(map(str, _BASIS["body3"])),
        help="Radial functions of three-body terms, for tensor ranks 0,1,2,3.",
    )
    parser.add_argument(
        "--body4", type=int, default=_BASIS["body4"], help="Radial functions of four-body terms."
    )
    parser.add_argument(
        "--core-radius",
        type=float,
        default=_BASIS["core_radius"],
        help="Pairs closer than this (Angstrom) feel the fixed repulsive core.",
    )
    parser.add_argument(
        "--core-energy",
        type=float,
        default=_BASIS["core_energy"],
        help="Strength of the core (eV): core-energy * (core-radius/r - 1)^3 per pair; 0 for none.",
    )
    parser.add_argument(
        "--sigma-energy",
        type=float,
        default=_SETTINGS["sigma_energy"],
        help="Target accuracy of energies (eV/atom): the rows' weight is 1/sigma.",
    )
    parser.add_argument(
        "--sigma-force",
        type=float,
        default=_SETTINGS["sigma_force"],
        help="Target accuracy of forces (eV/Angstrom).",
    )
    parser.add_argument(
        "--sigma-stress",
        type=float,
        default=_SETTINGS["sigma_stress"],
        help="Target accuracy of stresses (GPa).",
    )
    parser.add_argument(
        "--energy-scale",
        type=float,
        default=_SETTINGS["energy_scale"],
        help="Cells dE eV/atom above the lowest of their family and composition weigh 1/(1 + dE/scale).",
    )
    parser.add_argument(
        "--smoothness",
        type=float,
        default=_SETTINGS["smoothness"],
        help="Smoothness prior: the penalty on a coefficient grows as (1 + n)^(2 smoothness), "
        "n the sum of its radial indices (0: plain ridge).",
    )
    parser.add_argument(
        "--hosts",
        default=",".join("".join(h) for h in _SETTINGS["hosts"]),
        help="Host chemistries, comma-separated (e.g. C,BN): coefficients whose central and "
        "neighbour elements lie within none of them are of mixed chemistry.",
    )
    parser.add_argument(
        "--penalties",
        default=None,
        help="Penalties to choose from, relative to the largest squared singular value of the "
        "weighted rows, comma-separated (default: 1e-16 to 1 in half decades)." + DEFAULT_IN_WORDS,
    )
    parser.add_argument(
        "--mixed-penalties",
        default=",".join(f"{f:g}" for f in _SETTINGS["mixed_penalties"]),
        help="Factors on the penalty of mixed-chemistry coefficients, comma-separated; the "
        "validation split chooses one with the penalty (1: no separate penalty).",
    )
    parser.add_argument(
        "--prior-cells",
        type=int,
        default=_SETTINGS["prior_cells"],
        help="Cells labelled by our Tersoff potential whose forces enter the fit "
        "as a weak prior where the DFT data say nothing (0: none).",
    )
    parser.add_argument(
        "--stability-draws",
        type=int,
        default=3,
        help="Draws of each random B-C-N alloy in the stability check: from the lowest "
        "validation loss up, the first candidate whose MD runs and relaxations of 64-atom "
        "crystals and random alloys stay sound is chosen (about 3 minutes per candidate that "
        "passes, less for one that fails; 0: the loss alone chooses).",
    )
    parser.set_defaults(command="fit")


def _numbers(option, text):
    """Comma-separated positive numbers; ValueError naming the option otherwise."""
    try:
        values = tuple(float(x) for x in text.split(","))
    except ValueError:
        raise ValueError(f"{option} needs comma-separated numbers, got {text!r}") from None
    for value in values:
        if not (value > 0 and math.isfinite(value)):
            raise ValueError(f"{option} must be positive, got {value}")
    return values


def _hosts(text):
    """Host chemistries from "C,BN": element symbols run together, hosts comma-separated."""
    from ase.data import chemical_symbols

    hosts = []
    for host in text.split(","):
        symbols = re.findall(r"[A-Z][a-z]?", host)
        if not symbols or "".join(symbols) != host.strip() or set(symbols) - set(chemical_symbols[1:]):
            raise ValueError(f"--hosts needs element symbols run together, comma-separated, got {host!r}")
        hosts.append(tuple(symbols))
    return tuple(hosts)


def main(args):
    from pathlib import Path

    from corvane.potentials.ace import save_model
    from corvane.training.ace_fit import error_table, fit, read_dataset

    def log(message):
        print(message, flush=True)

    try:
        body3 = tuple(int(x) for x in args.body3.split(","))
    except ValueError:
        raise SystemExit(f"corvane fit: error: --body3 needs four integers, got {args.body3!r}")
    try:
        mixed_penalties = _numbers("--mixed-penalties", args.mixed_penalties)
        penalties = (
            _SETTINGS["penalties"] if args.penalties is None else _numbers("--penalties", args.penalties)
        )
        basis = AceBasis(
            elements=tuple(e.strip() for e in args.elements.split(",") if e.strip()),
            cutoff=args.cutoff,
            body2=args.body2,
            body3=body3,
            body4=args.body4,
            core_radius=args.core_radius,
            core_energy=args.core_energy,
        )
        settings = FitSettings(
            args.sigma_energy,
            args.sigma_force,
            args.sigma_stress,
            energy_scale=args.energy_scale,
            smoothness=args.smoothness,
            prior_cells=args.prior_cells,
            hosts=_hosts(args.hosts),
            penalties=penalties,
            mixed_penalties=mixed_penalties,
            stability_draws=args.stability_draws,
        )
        if args.stability_draws < 0:
            raise ValueError(f"--stability-draws must be zero or positive, got {args.stability_draws}")
        if not args.smoothness >= 0:
            raise ValueError(f"--smoothness must be zero or positive, got {args.smoothness}")
        for name, value in (
            ("sigma-energy", settings.sigma_energy),
            ("sigma-force", settings.sigma_force),
            ("sigma-stress", settings.sigma_stress),
            ("energy-scale", settings.energy_scale),
        ):
            if not value > 0:
                raise ValueError(f"--{name} must be positive, got {value}")
        out = Path(args.output)
        if not out.parent.is_dir():
            raise ValueError(f"the output directory {str(out.parent)!r} does not exist")
        frames = read_dataset(args.data, log=log)
        model, report = fit(frames, basis, settings, log=log)
    except (ValueError, FileNotFoundError) as exc:
        print(f"corvane fit: error: {exc}", file=sys.stderr)
        raise SystemExit(2) from None
    save_model(model, out)
    print("-" * 60)
    print(error_table(report))
    factor = report["mixed_penalty"]
    mixed = f", mixed chemistry x{factor:g}" if len(mixed_penalties) > 1 or factor != 1.0 else ""
    how = (
        "given"
        if len(penalties) == len(mixed_penalties) == 1
        else f"chosen on the {report['chosen_on']} split"
    )
    print(f"penalty {report['penalty']:.1e}{mixed} ({how})")
    print(f"stability: {report['stability']}")
    print(f"Model written to: {out}")
