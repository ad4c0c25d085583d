"""The `screen` subcommand: the property pipeline on many structures, on Dask, into an ASE
database."""

import sys

from corvane.cli import DEFAULT_IN_WORDS, CombinedFormatter
from corvane.cli._pipeline_options import add_pipeline_options, fail, settings_from_args


def register_parser(subparsers):
    parser = subparsers.add_parser(
        "screen",
        help="Screen many structures for hardness into an ASE database (on Dask).",
        description="Runs the property pipeline (relaxation, elastic tensor, five hardness\n"
        "values, optional ideal strength) on every structure of the sources and\n"
        "writes one row per structure to an ASE database. A rerun with the same\n"
        "settings skips finished structures; Ctrl-C keeps everything finished.",
        formatter_class=CombinedFormatter,
    )
    parser.add_argument(
        "sources",
        nargs="+",
        metavar="SOURCE",
        help="ASE databases (*.db, *.json; rows chosen by --query) or structure\n"
        "files and globs (every frame of each file).",
    )
    parser.add_argument("-o", "--output", default="results.db", help="ASE database the results are added to.")
    parser.add_argument(
        "--query",
        default=None,
        help="ASE query selecting rows of the database sources, e.g. 'B,N,natoms<20'.",
    )
    execution = parser.add_argument_group("execution")
    execution.add_argument(
        "--workers",
        type=int,
        default=None,
        help="Worker processes of the local cluster (default: the CPUs of\nthis machine); one thread each."
        + DEFAULT_IN_WORDS,
    )
    execution.add_argument(
        "--scheduler",
        default=None,
        metavar="ADDRESS",
        help="Run on an existing Dask cluster, e.g. tcp://node1:8786,\ninstead of a local one.",
    )
    execution.add_argument(
        "--connect-timeout", type=float, default=10.0, help="Seconds to wait for the scheduler."
    )
    execution.add_argument(
        "--retry-failed",
        action="store_true",
        help="Compute again the structures that failed with these settings.",
    )
    execution.add_argument(
        "--rank-by", default="hv_chen", help="Value the summary's five best structures are ranked by."
    )
    execution.add_argument("--no-progress", action="store_true", help="No progress bar on standard error.")
    add_pipeline_options(parser)
    parser.set_defaults(command="screen")


def main(args):
    from corvane.workflows.screening import ScreenError, format_summary, screen

    if args.workers is not None and args.scheduler:
        fail("screen", "--workers sets up a local cluster; with --scheduler the cluster's own workers run")
    try:
        settings = settings_from_args(args)
        summary = screen(
            args.sources,
            args.output,
            settings,
            query=args.query,
            workers=args.workers,
            scheduler=args.scheduler,
            retry_failed=args.retry_failed,
            rank_by=args.rank_by,
            connect_timeout=args.connect_timeout,
            progress=not args.no_progress,
        )
    except (ScreenError, ValueError) as exc:
        fail("screen", exc)
    except KeyboardInterrupt:  # while reading the sources or starting the cluster
        fail("screen", "interrupted (every finished row is kept)")
    print(format_summary(summary, args.output, args.rank_by))
    if summary.interrupted:
        sys.stdout.flush()
        raise SystemExit(130)
