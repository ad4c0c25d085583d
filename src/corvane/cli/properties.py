"""The `properties` subcommand: the property pipeline on one structure, as a table or JSON."""

import contextlib
import io
import json
import warnings
from pathlib import Path

import numpy as np

from corvane.cli import CombinedFormatter
from corvane.cli._pipeline_options import add_pipeline_options, fail, settings_from_args
from corvane.workflows.pipeline import compute_properties

#: Rows of the table: key, label, format.
QUANTITIES = (
    ("bulk_modulus", "Bulk modulus (GPa)", ".2f"),
    ("shear_modulus", "Shear modulus (GPa)", ".2f"),
    ("youngs_modulus", "Young's modulus (GPa)", ".2f"),
    ("poisson_ratio", "Poisson's ratio", ".4f"),
    ("hv_chen", "Hardness, Chen 2011 (GPa)", ".2f"),
    ("hv_tian", "Hardness, Tian 2012 (GPa)", ".2f"),
    ("hv_jiang", "Hardness, Jiang 2011 (GPa)", ".2f"),
    ("hv_mazhnik", "Hardness, Mazhnik-Oganov 2019 (GPa)", ".2f"),
    ("hv_simunek", "Hardness, Simunek bond strength (GPa)", ".2f"),
)


def register_parser(subparsers):
    parser = subparsers.add_parser(
        "properties",
        help="Elastic moduli, hardness and ideal strength of one structure.",
        description="Relaxes one structure, fits its elastic tensor, and reports its moduli,\n"
        "four moduli-based hardness values, the bond-strength hardness and,\n"
        "with --strength, ideal strengths.",
        formatter_class=CombinedFormatter,
    )
    parser.add_argument("file", help="Structure file (any format ASE reads; the last frame).")
    add_pipeline_options(parser)
    parser.add_argument("--json", action="store_true", help="Print the results as JSON instead of a table.")
    parser.add_argument(
        "--plot",
        metavar="PNG",
        default=None,
        help="Save the stress-strain curves of --strength to this figure.",
    )
    parser.set_defaults(command="properties")


def _table(label, atoms, settings, result):
    rule = "-" * 60
    lines = [f"Structure: {label} ({atoms.get_chemical_formula()}, {len(atoms)} atoms)"]
    relax = (
        f"relaxed to fmax {settings.fmax:g} eV/A with {settings.optimizer} at {settings.pressure:g} GPa"
        if settings.relax
        else "not relaxed"
    )
    lines += [
        f"Potential: {settings.potential}; {relax}",
        rule,
        f"{'Step':<24s}{'Status':<10s}{'Time (s)':>10s}  Note",
    ]
    for name, step in result.steps.items():
        lines.append(f"{name:<24s}{step.status:<10s}{step.seconds:>10.3f}  {step.error or ''}")
    lines += [rule, f"{'Quantity':<40s}{'Value':>12s}"]
    values = result.values
    for key, text, fmt in QUANTITIES:
        shown = format(values[key], fmt) if key in values else "-"
        lines.append(f"{text:<40s}{shown:>12s}")
    for test in settings.strength_tests:
        if test.normal is None:
            text = f"Tensile strength [{test.text}] (GPa)"
        else:
            normal, direction = test.text.split("/")
            text = f"Shear strength ({normal})[{direction}] (GPa)"
        if test.name in values:
            lines.append(
                f"{text:<40s}{values[test.name]:>12.2f}  at strain {values[test.name + '_strain']:.3f}"
            )
        else:
            lines.append(f"{text:<40s}{'-':>12s}")
    if result.elastic_constants is not None:
        lines += [rule, "Elastic constants (GPa, Voigt order xx yy zz yz xz xy):"]
        for row in np.asarray(result.elastic_constants):
            lines.append("  " + " ".join(f"{c:9.2f}" for c in row))
    lines.append(rule)
    lines.append("Done." if result.status == "done" else f"Failed at {result.error}")
    return "\n".join(lines)


def _save_plot(path, result, settings):
    import matplotlib

    matplotlib.use("Agg")  # a file is asked for, not a window
    from ase import units

    from corvane.properties.strength import plot_stress_strain

    tests = {t.name: t for t in settings.strength_tests}
    data = {}
    for name, (strain, stress_gpa) in result.curves.items():
        test = tests[name]
        label = (
            f"tensile [{test.text}]"
            if test.normal is None
            else "shear ({})[{}]".format(*test.text.split("/"))
        )
        data[name] = (strain, np.asarray(stress_gpa) * units.GPa, label)
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")  # "cannot show the figure" from the Agg backend
        plt, figure = plot_stress_strain(data)
    from corvane.io.atomic import replacing

    target = Path(path)
    try:
        with replacing(target, "figure") as temporary:
            figure.savefig(temporary, format=target.suffix.lstrip(".").lower() or "png", dpi=150)
    finally:
        plt.close(figure)


def main(args):
    from ase.io import read

    try:
        settings = settings_from_args(args)
    except ValueError as exc:
        fail("properties", exc)
    if args.plot is not None:
        if not settings.strength:
            fail("properties", "--plot draws the curves of --strength; give some directions")
        folder = Path(args.plot).expanduser().parent
        if not folder.is_dir():
            fail("properties", f"the folder of --plot {args.plot!r} does not exist")
    try:
        atoms = read(args.file)
    except Exception as exc:
        first = (str(exc).strip().splitlines() or [""])[0]
        fail("properties", f"cannot read a structure from {args.file!r}: {type(exc).__name__}: {first}")
    result = compute_properties(atoms, settings)
    if args.json:
        report = {
            "file": args.file,
            "formula": atoms.get_chemical_formula(),
            "settings": settings.as_dict(),
            **result.to_json(),
        }
        print(json.dumps(report, indent=2))
    else:
        print(_table(args.file, atoms, settings, result))
    if args.plot is not None and result.curves:
        _save_plot(args.plot, result, settings)
        if not args.json:
            print(f"Stress-strain curves saved to: {args.plot}")
    if result.status != "done":
        fail("properties", f"{args.file}: {result.error}")
