"""Options of the property pipeline shared by the `properties` and `screen` subcommands."""

import sys
from pathlib import Path

from corvane.workflows.pipeline import DEFAULT_POTENTIAL, PipelineSettings, check_potential


def add_pipeline_options(parser):
    """Adds the pipeline's options to a subcommand parser."""
    group = parser.add_argument_group("pipeline")
    group.add_argument(
        "--potential",
        default=DEFAULT_POTENTIAL,
        help="Potential: a file of corvane's own potentials by name, or a path.",
    )
    group.add_argument(
        "--no-relax",
        action="store_true",
        help="Use the structures as given, without relaxing positions and cell.",
    )
    group.add_argument("--fmax", type=float, default=0.01, help="Force criterion of the relaxation (eV/A).")
    group.add_argument(
        "--steps",
        type=int,
        default=500,
        help="Maximum number of relaxation steps; a structure that does not\n"
        "converge in them is recorded as failed.",
    )
    group.add_argument("--optimizer", default="LBFGS", help="ASE optimiser of the relaxation.")
    group.add_argument("--pressure", type=float, default=0.0, help="Pressure of the relaxation (GPa).")
    group.add_argument(
        "--strength",
        nargs="+",
        default=[],
        metavar="DIR",
        help="Ideal strength tests (Cartesian directions): 100 is tensile along\n"
        "[100]; 111/11-2 is shear along [11-2] in the (111) plane;\n"
        "1,0,-12 for indices of more than one digit.",
    )
    group.add_argument("--strain-max", type=float, default=0.3, help="Largest strain of the strength curves.")
    group.add_argument("--strain-step", type=float, default=0.02, help="Strain step of the strength curves.")
    group.add_argument(
        "--bond-cutoff", type=float, default=2.0, help="Neighbour cutoff of the bond-strength hardness (A)."
    )


def settings_from_args(args):
    """The pipeline settings of parsed options; ValueError names a bad option or a potential
    that cannot be used."""
    potential = args.potential
    if Path(potential).expanduser().is_file():  # workers elsewhere look for it by full path
        potential = str(Path(potential).expanduser().resolve())
    settings = PipelineSettings(
        potential=potential,
        relax=not args.no_relax,
        fmax=args.fmax,
        steps=args.steps,
        optimizer=args.optimizer,
        pressure=args.pressure,
        strength=tuple(args.strength),
        strain_max=args.strain_max,
        strain_step=args.strain_step,
        bond_cutoff=args.bond_cutoff,
    )
    check_potential(settings.potential)
    return settings


def fail(command, message):
    """Ends the command with one line on standard error."""
    sys.stdout.flush()
    raise SystemExit(f"corvane {command}: error: {message}")
