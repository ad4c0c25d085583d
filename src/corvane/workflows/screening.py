"""Screening many structures: the property pipeline on a Dask cluster, results in an ASE database.

    from corvane.workflows import PipelineSettings
    from corvane.workflows.screening import screen
    summary = screen(["candidates.db"], "results.db", PipelineSettings(), query="B,N", workers=4)

Workers compute; only the client writes the database, one row per structure as its result
arrives, so an interrupted run keeps everything finished. A row records the settings' digest
and the input structure's digest: a rerun with the same settings skips what is finished, a run
with other settings adds new rows. Without `scheduler` a local cluster of worker processes
runs (one thread each); with it, the run uses an existing cluster (``dask scheduler`` /
``dask worker``, dask-jobqueue). A task whose worker dies is given to another worker.
"""

from __future__ import annotations

import contextlib
import dataclasses
import glob
import logging
import math
import os
import signal
import sys
import threading
import time
from pathlib import Path

import numpy as np

from corvane.workflows.pipeline import (
    HARDNESS_MODELS,
    PipelineSettings,
    Result,
    compute_properties,
    one_line,
    structure_digest,
)

__all__ = [
    "Candidate",
    "ScreenError",
    "Summary",
    "collect_candidates",
    "dask_client",
    "run_candidate",
    "screen",
]

#: Key-value pairs every result row carries.
STATUS_KEYS = (
    "screen_status",
    "screen_settings",
    "screen_input",
    "screen_source",
    "screen_seconds",
    "screen_error",
    "screen_failed_step",
)

#: Suffixes of ASE database files among the sources.
DATABASE_SUFFIXES = (".db", ".json")


class ScreenError(Exception):
    """Bad input to a screening run (a one-line message naming it); nothing was written."""


@dataclasses.dataclass
class Candidate:
    """One structure to screen: its digest, where it came from and the source row's pairs."""

    key: str
    label: str
    atoms: object
    extra: dict = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Summary:
    """What a screening run did."""

    settings: str
    total: int = 0
    skipped: int = 0
    duplicates: int = 0
    done: int = 0
    failed: list = dataclasses.field(default_factory=list)  # (label, formula, error)
    interrupted: bool = False
    seconds: float = 0.0
    best: list = dataclasses.field(default_factory=list)  # (value, formula, label, row id)


# ---------------------------------------------------------------------------------------------
# Sources


def _is_database(text: str) -> bool:
    return "://" in text or Path(text).suffix.lower() in DATABASE_SUFFIXES


def _read_database(text, query):
    import ase.db

    if "://" not in text and not Path(text).is_file():
        raise ScreenError(f"no database file {text!r}")
    try:
        db = ase.db.connect(text, use_lock_file=False, create_indices=False)
        rows = list(db.select(query or None))
    except Exception as exc:
        if query:
            raise ScreenError(f"cannot select {query!r} from {text!r}: {one_line(exc)}") from None
        raise ScreenError(f"cannot read the database {text!r}: {one_line(exc)}") from None
    if not rows:
        if query:
            raise ScreenError(f"the query {query!r} matches no row of {text!r}")
        raise ScreenError(f"the database {text!r} has no rows")
    out = []
    for row in rows:
        extra = {
            k: v
            for k, v in row.key_value_pairs.items()
            if not k.startswith("screen_") and k not in _RESULT_KEYS
        }
        out.append((f"{text}@{row.id}", row.toatoms(), extra))
    return out


def _read_files(pattern):
    from ase.io import read

    if glob.has_magic(pattern):
        paths = sorted(glob.glob(os.path.expanduser(pattern)))
        if not paths:
            raise ScreenError(f"no file matches {pattern!r}")
    else:
        if not os.path.exists(os.path.expanduser(pattern)):
            raise ScreenError(f"no such file {pattern!r}")
        paths = [pattern]
    out = []
    for path in paths:
        if os.path.isdir(path):
            raise ScreenError(f"{path!r} is a directory, not a structure file")
        try:
            images = read(os.path.expanduser(path), index=":")
        except Exception as exc:
            raise ScreenError(f"cannot read structures from {path!r}: {one_line(exc)}") from None
        if not images:
            raise ScreenError(f"{path!r} holds no structure")
        for i, atoms in enumerate(images):
            out.append((path if len(images) == 1 else f"{path}@{i}", atoms, {}))
    return out


def collect_candidates(sources, query=None) -> tuple[list[Candidate], int]:
    """The structures of `sources` (ASE databases, selected by `query`, or structure files and
    globs), each once: (candidates, number of duplicates dropped). Raises ScreenError."""
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    sources = [os.fspath(s) for s in sources]
    if not sources:
        raise ScreenError("no sources given")
    if query and not any(_is_database(s) for s in sources):
        raise ScreenError(f"the query {query!r} needs a database source (*.db, *.json)")
    candidates, seen, duplicates = [], set(), 0
    for source in sources:
        found = _read_database(source, query) if _is_database(source) else _read_files(source)
        for label, atoms, extra in found:
            key = structure_digest(atoms)
            if key in seen:
                duplicates += 1
                continue
            seen.add(key)
            candidates.append(Candidate(key, label, atoms, extra))
    return candidates, duplicates


_RESULT_KEYS = frozenset(
    ["bulk_modulus", "shear_modulus", "youngs_modulus", "poisson_ratio", "hv_simunek", *HARDNESS_MODELS]
)


# ---------------------------------------------------------------------------------------------
# Execution


def run_candidate(atoms, settings: PipelineSettings) -> Result:
    """The task a worker runs: the pipeline on one structure, the potential on one thread."""
    return compute_properties(atoms, settings, threads=1)


@contextlib.contextmanager
def _sigint_ignored():
    """Worker processes started inside inherit an ignored SIGINT: Ctrl-C reaches the client
    alone, which then stops them in order."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


class _InterruptLatch:
    """Remembers a Ctrl-C while the results come in. Python ignores an exception raised in an
    object's finaliser (dask's futures release themselves in theirs), so a KeyboardInterrupt
    that lands in one would be lost and the run would go on to the end; the latch keeps it, and
    the loop stops at its next check. Python would also print that lost exception's traceback;
    the latch, which has kept it, leaves that out. Where SIGINT is ignored or has a handler of
    its own (a background run, an application embedding the screen), it is left as it is."""

    def __init__(self):
        self.caught = False
        self._installed = False
        self._unraisable_hook = None

    def __enter__(self):
        if (
            threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler
        ):
            signal.signal(signal.SIGINT, self._handle)
            self._unraisable_hook, sys.unraisablehook = sys.unraisablehook, self._unraisable
            self._installed = True
        return self

    def _handle(self, signum, frame):
        self.caught = True
        raise KeyboardInterrupt

    def _unraisable(self, unraisable):
        if not (self.caught and issubclass(unraisable.exc_type, KeyboardInterrupt)):
            self._unraisable_hook(unraisable)

    def check(self):
        if self.caught:
            raise KeyboardInterrupt

    def __exit__(self, *exc):
        if self._installed:
            signal.signal(signal.SIGINT, signal.default_int_handler)
            sys.unraisablehook = self._unraisable_hook
        return False


def _ignore_interrupt_plugin():
    """A worker plugin for the local cluster: its workers ignore SIGINT, also those a nanny
    restarts after a death (which do not inherit the ignored signal), so that Ctrl-C in the
    terminal reaches the client alone."""
    from distributed.diagnostics.plugin import WorkerPlugin

    class IgnoreInterrupt(WorkerPlugin):
        name = "corvane-ignore-interrupt"

        def setup(self, worker):
            if threading.current_thread() is threading.main_thread():
                signal.signal(signal.SIGINT, signal.SIG_IGN)

    return IgnoreInterrupt()


#: Thread counts of BLAS and OpenMP in the worker processes of a local cluster.
ONE_THREAD = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")


@contextlib.contextmanager
def _one_thread_environment():
    """Workers started inside run BLAS and OpenMP on one thread whatever this process's
    environment says: each nanny takes these variables from it before spawning its worker (and
    again when it restarts one), which is the only time they take effect."""
    saved = {name: os.environ.get(name) for name in ONE_THREAD}
    os.environ.update({name: "1" for name in ONE_THREAD})
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@contextlib.contextmanager
def dask_client(workers=None, scheduler=None, connect_timeout=10.0):
    """A Dask client: on the scheduler at `scheduler`, else on a new local cluster of
    `workers` processes (default: the CPUs this process may use), one thread each."""
    from dask.distributed import Client, LocalCluster

    cluster = None
    if scheduler:
        try:
            client = Client(scheduler, timeout=connect_timeout)
        except Exception as exc:
            raise ScreenError(f"cannot reach the Dask scheduler at {scheduler!r}: {one_line(exc)}") from None
    else:
        if workers is None:
            try:
                workers = len(os.sched_getaffinity(0))
            except (AttributeError, OSError):
                workers = os.cpu_count() or 1
        with _sigint_ignored(), _one_thread_environment():
            # The scheduler's HTTP endpoints (health, metrics) would listen on all interfaces
            # at port 8787: here they listen on the loopback at a free port.
            cluster = LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=None,
                scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"},
                silence_logs=logging.ERROR,
            )
            client = Client(cluster)
            client.register_plugin(_ignore_interrupt_plugin())
    try:
        yield client
    finally:
        with _dask_quiet():
            with contextlib.suppress(Exception):
                client.close(timeout=10)
            if cluster is not None:
                with _sigint_ignored(), contextlib.suppress(Exception):
                    cluster.close(timeout=10)


@contextlib.contextmanager
def _dask_quiet():
    """Dask's own log lines while a run is cancelled and its cluster shut down (futures that
    could not be gathered, workers closing) are no news to the user."""
    logger = logging.getLogger("distributed")
    level = logger.level
    logger.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        logger.setLevel(level)


def _validate_workers(workers):
    if workers is None:
        return
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ScreenError(f"--workers must be a positive integer, got {workers!r}")


def _check_output(output, sources):
    path = Path(output).expanduser()
    if path.suffix.lower() not in DATABASE_SUFFIXES:
        raise ScreenError(f"the output {str(output)!r} must be an ASE database file (*.db)")
    if path.is_dir():
        raise ScreenError(f"the output {str(output)!r} is a directory")
    parent = path.parent if str(path.parent) else Path(".")
    if not parent.is_dir():
        raise ScreenError(f"the folder of the output {str(output)!r} does not exist")
    if not os.access(parent, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        raise ScreenError(f"cannot write the output {str(output)!r}: permission denied")
    for source in sources:
        source = os.fspath(source)
        if "://" not in source and Path(source).expanduser().resolve() == path.resolve():
            raise ScreenError(
                f"the output {str(output)!r} is also a source; write the results to another database"
            )
    return path


def _finished_rows(path, fingerprint):
    """{structure digest: (row id, status)} of the rows of these settings in the output."""
    if not path.exists():
        return {}
    import ase.db

    try:
        db = ase.db.connect(str(path), use_lock_file=False, create_indices=False)
        rows = list(db.select(screen_settings=fingerprint, include_data=False))
    except Exception as exc:
        raise ScreenError(f"cannot read the output database {str(path)!r}: {one_line(exc)}") from None
    return {row.screen_input: (row.id, row.screen_status) for row in rows}


def _open_output(path):
    """The output database, set up in a file beside it and moved into place when new, so a
    viewer never meets a half-made database."""
    import ase.db

    from corvane.io.atomic import replacing

    if not path.exists():
        with replacing(path, "output database") as temporary:
            os.unlink(temporary)  # let SQLite create the file itself
            ase.db.connect(temporary, type="db", use_lock_file=False).count()
    return ase.db.connect(str(path), use_lock_file=False)


def _row_contents(candidate, result, settings, fingerprint):
    pairs = dict(candidate.extra)
    pairs.update({k: float(v) for k, v in result.values.items()})
    pairs.update(
        screen_status=result.status,
        screen_settings=fingerprint,
        screen_input=candidate.key,
        screen_source=candidate.label,
        screen_seconds=round(result.seconds, 4),
    )
    if result.error:
        pairs["screen_error"] = result.error
        pairs["screen_failed_step"] = result.failed_step or "worker"
    data = {
        "settings": settings.as_dict(),
        "steps": {n: dataclasses.asdict(s) for n, s in result.steps.items()},
    }
    if result.elastic_constants is not None:
        data["elastic_constants"] = np.asarray(result.elastic_constants, dtype=float)
    for name, (strain, stress) in result.curves.items():
        data[f"curve_{name}"] = np.array([strain, stress], dtype=float)
    return pairs, data


def _worker_death(candidate, error):
    """The result of a structure whose workers kept dying."""
    from corvane.workflows.pipeline import StepRecord

    result = Result(
        status="failed", error=f"worker: {error}", steps={"worker": StepRecord("failed", error=error)}
    )
    result.atoms = candidate.atoms
    return result


class Progress:
    """A one-line progress bar on `stream`: count, rate and time left. Rewritten in place on a
    terminal; elsewhere a line every tenth of the work (or every minute)."""

    def __init__(self, total, stream=None, enabled=True):
        self.total, self.enabled = total, enabled
        self.stream = sys.stderr if stream is None else stream
        self.start = time.monotonic()
        self.tty = self.enabled and hasattr(self.stream, "isatty") and self.stream.isatty()
        self.last_draw, self.last_tenth = self.start, 0
        self.count = self.failed = 0

    def update(self, failed=False):
        self.count += 1
        self.failed += bool(failed)
        if not self.enabled:
            return
        now = time.monotonic()
        tenth = 10 * self.count // max(self.total, 1)
        if self.tty:
            if now - self.last_draw >= 0.2 or self.count == self.total:
                self.stream.write("\r" + self.line(now))
                self.stream.flush()
                self.last_draw = now
        elif tenth > self.last_tenth or now - self.last_draw >= 60 or self.count == self.total:
            self.stream.write(self.line(now) + "\n")
            self.stream.flush()
            self.last_draw, self.last_tenth = now, tenth

    def line(self, now=None):
        now = time.monotonic() if now is None else now
        elapsed = now - self.start
        width = 24
        filled = width * self.count // max(self.total, 1)
        rate = self.count / elapsed if elapsed > 0 else 0.0
        left = (self.total - self.count) / rate if rate > 0 else math.inf
        failed = f", {self.failed} failed" if self.failed else ""
        return (
            f"[{'#' * filled}{'.' * (width - filled)}] {self.count}/{self.total}{failed}  "
            f"{rate:.2f}/s  elapsed {_clock(elapsed)}  left {_clock(left)}"
        )

    def close(self):
        if self.tty and self.count:
            self.stream.write("\n")
            self.stream.flush()


def _clock(seconds):
    if not math.isfinite(seconds):
        return "?"
    seconds = int(round(seconds))
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


def _best(path, fingerprint, rank_by, count=5):
    import ase.db

    db = ase.db.connect(str(path), use_lock_file=False, create_indices=False)
    rows = [
        row
        for row in db.select(screen_settings=fingerprint, include_data=False)
        if isinstance(row.get(rank_by), (int, float))
    ]
    rows.sort(key=lambda row: -row.get(rank_by))
    return [(row.get(rank_by), row.formula, row.get("screen_source"), row.id) for row in rows[:count]]


def screen(
    sources,
    output,
    settings: PipelineSettings | None = None,
    *,
    query=None,
    workers=None,
    scheduler=None,
    retry_failed=False,
    rank_by="hv_chen",
    connect_timeout=10.0,
    progress=True,
    out=None,
    on_result=None,
) -> Summary:
    """Screens the structures of `sources` into the ASE database `output`; returns a Summary.

    query: ASE query selecting rows of the database sources.
    workers: processes of the local cluster; scheduler: address of an existing Dask scheduler
        instead. retry_failed: recompute structures that failed with these settings before.
    rank_by: the value the summary's best five are ranked by.
    on_result(candidate, result, client): called after each row is written.
    Bad input raises ScreenError before anything is written; Ctrl-C stops the run, keeps
    every finished row and returns a Summary with `interrupted` set.
    """
    out = sys.stdout if out is None else out
    settings = PipelineSettings() if settings is None else settings
    _validate_workers(workers)
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    path = _check_output(output, sources)
    fingerprint = settings.fingerprint()
    candidates, duplicates = collect_candidates(sources, query)
    finished = _finished_rows(path, fingerprint)
    summary = Summary(settings=fingerprint, total=len(candidates), duplicates=duplicates)
    todo = []
    for candidate in candidates:
        row = finished.get(candidate.key)
        if row is None or (retry_failed and row[1] != "done"):
            todo.append(candidate)
    summary.skipped = len(candidates) - len(todo)

    start = time.monotonic()
    if todo:
        with dask_client(workers, scheduler, connect_timeout) as client:
            _run(client, todo, settings, fingerprint, path, finished, summary, progress, out, on_result)
    summary.seconds = time.monotonic() - start
    if path.exists():
        summary.best = _best(path, fingerprint, rank_by)
    return summary


def _run(client, todo, settings, fingerprint, path, finished, summary, progress, out, on_result):
    from dask.distributed import as_completed
    from distributed.scheduler import KilledWorker

    info = client.scheduler_info()
    where = (
        f"the Dask scheduler at {info['address']}"
        if client.cluster is None
        else f"a local cluster of {len(info['workers'])} workers"
    )
    print(
        f"Screening {len(todo)} structures on {where} "
        f"(settings {fingerprint}; {summary.skipped} finished earlier)",
        file=out,
        flush=True,
    )
    if not info["workers"]:
        print("No workers are connected to the scheduler yet; waiting for them.", file=out, flush=True)

    pending = {}
    for candidate in todo:
        future = client.submit(
            run_candidate,
            candidate.atoms,
            settings,
            pure=False,
            key=f"corvane-screen-{fingerprint}-{candidate.key}",
        )
        pending[future.key] = (future, candidate)
    completed = as_completed([future for future, _ in pending.values()])
    bar = Progress(len(todo), enabled=progress)
    db = _open_output(path)
    try:
        with _InterruptLatch() as latch:
            for future in completed:
                future_, candidate = pending.pop(future.key)
                try:
                    result = future.result()
                except KilledWorker as exc:
                    result = _worker_death(candidate, f"the worker running it died ({one_line(exc)})")
                except Exception as exc:
                    raise ScreenError(
                        f"a worker could not run the pipeline on {candidate.label}: {one_line(exc)}"
                    ) from None
                pairs, data = _row_contents(candidate, result, settings, fingerprint)
                db.write(result.atoms, key_value_pairs=pairs, data=data)
                old = finished.get(candidate.key)
                if old is not None:  # a failed row recomputed
                    db.delete([old[0]])
                if result.status == "done":
                    summary.done += 1
                else:
                    summary.failed.append(
                        (candidate.label, result.atoms.get_chemical_formula(), result.error)
                    )
                bar.update(failed=result.status != "done")
                del future, future_
                if on_result is not None:
                    on_result(candidate, result, client)
                latch.check()
    except KeyboardInterrupt:
        summary.interrupted = True
    finally:
        bar.close()
        if pending:
            with _dask_quiet():
                client.cancel([f for f, _ in pending.values()], force=True)


def format_summary(summary: Summary, output, rank_by="hv_chen") -> str:
    """The text printed at the end of a run."""
    lines = []
    state = "Interrupted" if summary.interrupted else "Finished"
    lines.append(
        f"{state} in {_clock(summary.seconds)}: {summary.done} done, "
        f"{len(summary.failed)} failed, {summary.skipped} skipped (finished earlier), "
        f"of {summary.total} structures"
        + (f" ({summary.duplicates} duplicates dropped)" if summary.duplicates else "")
    )
    if summary.interrupted:
        left = summary.total - summary.skipped - summary.done - len(summary.failed)
        lines.append(f"{left} structures left; run the same command again to finish them.")
    if summary.failed:
        lines.append("Failed:")
        for label, formula, error in summary.failed[:20]:
            lines.append(f"  {label} ({formula}): {error}")
        if len(summary.failed) > 20:
            lines.append(f"  ... and {len(summary.failed) - 20} more (screen_status=failed)")
    if not summary.best and summary.done:
        lines.append(f"No result has a value of {rank_by!r} to rank by.")
    if summary.best:
        lines.append(f"Hardest by {rank_by} (GPa) among the results of these settings:")
        for rank, (value, formula, label, row_id) in enumerate(summary.best, 1):
            lines.append(f"  {rank}. {value:8.2f}  {formula:<12s} row {row_id:<6d} {label}")
    lines.append(
        f"Results: {output} (settings {summary.settings}); view them with: corvane "
        f"pelvaro {output} --host 127.0.0.1 --port 8080 --columns id formula "
        f"{' '.join(HARDNESS_MODELS)} hv_simunek bulk_modulus shear_modulus "
        "screen_status"
    )
    return "\n".join(lines)
