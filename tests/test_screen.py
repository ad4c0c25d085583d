"""Screening on Dask: the same numbers serially, on a local cluster and on an external
scheduler; worker deaths, failures, reruns, Ctrl-C, bad input; the viewer shows the results."""

import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import ase.db
import numpy as np
import pytest
from ase.build import bulk, molecule
from ase.io import write

import corvane.cli as cli
from corvane.data.db import ASEDBApp
from corvane.workflows import PipelineSettings, compute_properties
from corvane.workflows.screening import (
    Progress,
    ScreenError,
    _InterruptLatch,
    collect_candidates,
    screen,
)

SETTINGS = PipelineSettings(fmax=0.02, steps=200)
VALUE_KEYS = (
    "bulk_modulus",
    "shear_modulus",
    "youngs_modulus",
    "poisson_ratio",
    "hv_chen",
    "hv_tian",
    "hv_jiang",
    "hv_mazhnik",
    "hv_simunek",
)


def crystals(n):
    """n small distinct B-C-N crystals (2 to 4 atoms), lightly rattled."""
    out = []
    for i in range(n):
        kind = i % 3
        if kind == 0:
            atoms = bulk("C", "diamond", a=3.58 + 0.01 * i)
        elif kind == 1:
            atoms = bulk("BN", "zincblende", a=3.62 + 0.01 * i)
        else:
            atoms = bulk("BN", "wurtzite", a=2.55, c=4.20 + 0.01 * i)
        atoms.rattle(0.01, seed=i)
        out.append(atoms)
    return out


def make_source(path, n, with_molecule=True):
    with ase.db.connect(str(path), append=False) as db:
        for i, atoms in enumerate(crystals(n)):
            db.write(atoms, origin="search", rank=i)
        if with_molecule:
            db.write(molecule("CH4"), origin="gas")
    return path


def rows_by_input(path):
    db = ase.db.connect(str(path))
    return {row.screen_input: row for row in db.select(include_data=True)}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    return make_source(tmp_path_factory.mktemp("src") / "candidates.db", 5)


@pytest.fixture(scope="module")
def local_run(source, tmp_path_factory):
    output = tmp_path_factory.mktemp("local") / "results.db"
    summary = screen([source], output, SETTINGS, workers=2, progress=False, out=open(os.devnull, "w"))
    return output, summary


@pytest.fixture(scope="module")
def external_scheduler():
    """A scheduler and one worker started as separate processes on 127.0.0.1."""
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    scheduler = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "distributed.cli.dask_scheduler",
            "--host",
            "127.0.0.1",
            "--port",
            str(port),
            "--no-dashboard",
        ],
        **quiet,
    )
    worker = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "distributed.cli.dask_worker",
            address,
            "--nthreads",
            "1",
            "--nworkers",
            "1",
            "--no-dashboard",
            "--host",
            "127.0.0.1",
        ],
        **quiet,
    )
    try:
        yield address
    finally:
        for process in (worker, scheduler):
            process.terminate()
        for process in (worker, scheduler):
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()


def test_serial_local_and_external_runs_give_identical_numbers(
    source, local_run, external_scheduler, tmp_path
):
    output, summary = local_run
    assert (summary.done, len(summary.failed), summary.skipped) == (5, 1, 0)
    external = tmp_path / "external.db"
    screen(
        [source],
        external,
        SETTINGS,
        scheduler=external_scheduler,
        connect_timeout=30,
        progress=False,
        out=open(os.devnull, "w"),
    )
    local_rows, external_rows = rows_by_input(output), rows_by_input(external)
    assert local_rows.keys() == external_rows.keys() and len(local_rows) == 6
    candidates, _ = collect_candidates([source])
    for candidate in candidates:
        serial = compute_properties(candidate.atoms, SETTINGS)
        for rows in (local_rows, external_rows):
            row = rows[candidate.key]
            assert row.screen_status == serial.status
            assert {k: row.get(k) for k in VALUE_KEYS} == {k: serial.values.get(k) for k in VALUE_KEYS}
            if serial.status == "done":
                assert np.array_equal(row.data["elastic_constants"], serial.elastic_constants)
                assert np.array_equal(row.positions, serial.atoms.positions)
                assert row.energy == serial.atoms.get_potential_energy()


def test_rows_carry_results_source_pairs_and_failures(local_run, source):
    output, summary = local_run
    rows = list(ase.db.connect(str(output)).select())
    failed = [row for row in rows if row.screen_status == "failed"]
    assert len(failed) == 1 and failed[0].formula == "CH4"
    assert failed[0].screen_failed_step == "structure"
    assert "not a periodic crystal" in failed[0].screen_error
    assert failed[0].origin == "gas" and failed[0].screen_source == f"{source}@6"
    assert summary.failed == [(f"{source}@6", "CH4", failed[0].screen_error)]
    done = [row for row in rows if row.screen_status == "done"]
    assert sorted(row.rank for row in done) == [0, 1, 2, 3, 4]
    assert all(row.data["elastic_constants"].shape == (6, 6) for row in done)
    assert all(row.data["steps"]["relax"]["status"] == "ok" for row in done)
    assert {row.screen_settings for row in rows} == {SETTINGS.fingerprint()}
    # the summary's best five are the five highest hv_chen values, highest first
    best = sorted(done, key=lambda row: -row.hv_chen)
    assert [b[3] for b in summary.best] == [row.id for row in best]


def test_rerun_skips_finished_rows_and_new_settings_make_a_new_run(
    source, local_run, tmp_path, external_scheduler
):
    output = tmp_path / "results.db"
    output.write_bytes(local_run[0].read_bytes())
    run = dict(scheduler=external_scheduler, progress=False, out=open(os.devnull, "w"))
    again = screen([source], output, SETTINGS, **run)
    assert (again.skipped, again.done, again.failed) == (6, 0, [])
    assert ase.db.connect(str(output)).count() == 6
    # the failed molecule is computed again only when asked, and its old row replaced
    retry = screen([source], output, SETTINGS, retry_failed=True, **run)
    assert (retry.skipped, len(retry.failed)) == (5, 1)
    assert ase.db.connect(str(output)).count(screen_status="failed") == 1
    other = PipelineSettings(relax=False)
    new = screen([source], output, other, query="origin=search", **run)
    assert (new.skipped, new.done) == (0, 5)
    db = ase.db.connect(str(output))
    assert db.count(screen_settings=other.fingerprint()) == 5 and db.count() == 11


def test_a_killed_worker_loses_nothing(tmp_path):
    source = make_source(tmp_path / "many.db", 10, with_molecule=False)
    output = tmp_path / "results.db"
    killed = {}

    def kill_a_busy_worker(candidate, result, client):
        if killed:
            return
        busy = {w: keys for w, keys in client.processing().items() if keys}
        if not busy:
            return
        killed["blas"] = client.run(os.getenv, "OPENBLAS_NUM_THREADS")
        worker, keys = next(iter(busy.items()))
        killed["keys"] = set(keys)
        killed["pid"] = client.run(os.getpid, workers=[worker])[worker]
        os.kill(killed["pid"], signal.SIGKILL)

    summary = screen(
        [source],
        output,
        SETTINGS,
        workers=2,
        progress=False,
        out=open(os.devnull, "w"),
        on_result=kill_a_busy_worker,
    )
    assert killed, "no worker was busy when the first result came in"
    assert list(killed["blas"].values()) == ["1", "1"]
    assert (summary.done, summary.failed, summary.interrupted) == (10, [], False)
    rows = rows_by_input(output)
    assert len(rows) == 10 and all(r.screen_status == "done" for r in rows.values())
    lost = {key.rsplit("-", 1)[-1] for key in killed["keys"]}
    assert lost <= rows.keys()


@pytest.fixture
def interruptible():
    """Python's own SIGINT handler in this process, so that the Ctrl-C of the tests below is
    delivered: a suite started in the background inherits an ignored SIGINT, and so would the
    runs it starts."""
    before = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, before)


def test_ctrl_c_stops_cleanly_and_keeps_finished_rows(tmp_path, interruptible):
    # Enough structures that the run cannot end between the second row and the Ctrl-C, even on
    # a fast machine where rows come in bursts.
    count = 40
    source = make_source(tmp_path / "many.db", count, with_molecule=False)
    output = tmp_path / "results.db"
    command = [
        sys.executable,
        "-m",
        "corvane",
        "screen",
        str(source),
        "-o",
        str(output),
        "--workers",
        "1",
        "--fmax",
        "0.02",
        "--steps",
        "200",
    ]
    process = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True
    )
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and process.poll() is None:
        if output.exists() and ase.db.connect(str(output)).count() >= 2:
            break
        time.sleep(0.05)
    assert process.poll() is None, process.communicate()
    os.killpg(process.pid, signal.SIGINT)  # as a terminal does: to every process of the group
    out, err = process.communicate(timeout=120)
    assert process.returncode == 130, err
    assert "Interrupted" in out and "run the same command again" in out
    assert "Traceback" not in err
    kept = ase.db.connect(str(output)).count()
    assert 2 <= kept < count
    # the rest, on more workers: the settings, not the cluster, decide what is finished
    finished = subprocess.run(
        command + ["--no-progress", "--workers", "2"], capture_output=True, text=True, timeout=300
    )
    assert finished.returncode == 0, finished.stderr
    assert f"{count - kept} done, 0 failed, {kept} skipped" in finished.stdout
    assert ase.db.connect(str(output)).count(screen_status="done") == count


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_a_ctrl_c_lost_in_a_finaliser_still_stops_the_results_loop(interruptible):
    """Python drops an exception raised in a finaliser, as when Ctrl-C arrives while a finished
    future releases itself; the run must still stop at its next check."""

    class ReleasesOnCollection:
        def __del__(self):
            os.kill(os.getpid(), signal.SIGINT)
            for _ in range(1000):  # the handler runs between these bytecodes, inside __del__
                pass

    class FailsOnCollection:
        def __del__(self):
            raise ValueError("lost")

    before = signal.getsignal(signal.SIGINT)
    lost, hook = [], sys.unraisablehook
    sys.unraisablehook = lost.append  # what Python would print as "Exception ignored in ..."
    try:
        with _InterruptLatch() as latch:
            item = ReleasesOnCollection()
            del item  # the KeyboardInterrupt is raised and dropped here
            assert latch.caught
            with pytest.raises(KeyboardInterrupt):
                latch.check()
            item = FailsOnCollection()
            del item
        # The latched Ctrl-C prints no traceback; other lost exceptions still do.
        assert [type(u.exc_value) for u in lost] == [ValueError]
        assert sys.unraisablehook == lost.append
    finally:
        sys.unraisablehook = hook
    assert signal.getsignal(signal.SIGINT) is before
    # A run whose SIGINT is ignored (started in the background) keeps it ignored.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        with _InterruptLatch():
            assert signal.getsignal(signal.SIGINT) == signal.SIG_IGN
        assert signal.getsignal(signal.SIGINT) == signal.SIG_IGN
    finally:
        signal.signal(signal.SIGINT, before)


def test_the_viewer_serves_the_new_columns(local_run):
    output, _ = local_run
    viewer = ASEDBApp(str(output))
    client = viewer.app.test_client()
    page = client.get("/?columns=id,formula,hv_chen,hv_simunek,screen_status&sort=-hv_chen")
    assert page.status_code == 200
    text = page.get_data(as_text=True)
    assert re.findall(r'title="sort by ([^"]+)"', text) == [
        "id",
        "formula",
        "hv_chen",
        "hv_simunek",
        "screen_status",
    ]
    db = ase.db.connect(str(output))
    expected = [row.id for row in sorted(db.select(screen_status="done"), key=lambda row: -row.hv_chen)]
    shown = [int(i) for i in re.findall(r'id="row-(\d+)"', text)]
    assert shown[:5] == expected  # the failed row, without hardness, comes last
    query = client.get("/?query=hv_chen>0,screen_status=done").get_data(as_text=True)
    assert "Rows 1–5 of 5" in query
    row = client.get(f"/row/{expected[0]}").get_data(as_text=True)
    assert "elastic_constants" in row and "hv_tian" in row


# --- bad input -------------------------------------------------------------------------------


def run_cli(*argv):
    try:
        return cli.main(list(argv))
    except SystemExit as exit:
        return exit.code


@pytest.mark.parametrize(
    "make_args, message",
    [
        (lambda d: [str(d / "missing.db")], "no database file"),
        (lambda d: [str(d / "nothing*.vasp")], "no file matches"),
        (lambda d: [str(d / "garbage.vasp")], "cannot read structures from"),
        (lambda d: [str(d / "src.db"), "--query", "natoms>100"], "matches no row of"),
        (lambda d: [str(d / "src.db"), "--query", "natoms>>1"], "cannot select 'natoms>>1'"),
        (lambda d: [str(d / "good.vasp"), "--query", "B"], "needs a database source"),
        (
            lambda d: [
                str(d / "src.db"),
                "--scheduler",
                f"tcp://127.0.0.1:{free_port()}",
                "--connect-timeout",
                "1",
            ],
            "cannot reach the Dask scheduler at",
        ),
        (lambda d: [str(d / "src.db"), "--workers", "0"], "--workers must be a positive integer"),
        (lambda d: [str(d / "src.db"), "--strength", "1/1"], "bad strength direction"),
        (lambda d: [str(d / "src.db"), "--potential", "other.tersoff"], "cannot use the potential"),
    ],
)
def test_bad_input_is_one_line_and_writes_nothing(tmp_path, make_args, message):
    make_source(tmp_path / "src.db", 1, with_molecule=False)
    (tmp_path / "garbage.vasp").write_text("this is not\na structure\n")
    write(tmp_path / "good.vasp", bulk("C", "diamond", a=3.57))
    output = tmp_path / "out.db"
    code = run_cli("screen", *make_args(tmp_path), "-o", str(output))
    assert isinstance(code, str) and "\n" not in code, code
    assert code.startswith("corvane screen: error: ") and message in code
    assert not output.exists()


def test_the_output_must_be_another_usable_database(tmp_path):
    source = make_source(tmp_path / "src.db", 1, with_molecule=False)
    before = source.read_bytes()
    with pytest.raises(ScreenError, match="is also a source"):
        screen([source], source, SETTINGS, progress=False)
    assert source.read_bytes() == before
    broken = tmp_path / "broken.db"
    broken.write_text("not a database\n")
    with pytest.raises(ScreenError, match="cannot read the output database .*broken.db"):
        screen([source], broken, SETTINGS, progress=False)
    assert broken.read_text() == "not a database\n"
    with pytest.raises(ScreenError, match="must be an ASE database file"):
        screen([source], tmp_path / "results.txt", SETTINGS, progress=False)
    with pytest.raises(ScreenError, match="folder of the output .* does not exist"):
        screen([source], tmp_path / "no" / "results.db", SETTINGS, progress=False)


def test_files_and_globs_are_sources(tmp_path):
    for i, atoms in enumerate(crystals(3)):
        write(tmp_path / f"c{i}.vasp", atoms)
    write(tmp_path / "path.extxyz", crystals(2))  # two frames
    write(tmp_path / "dup.vasp", crystals(1)[0])
    candidates, duplicates = collect_candidates(
        [str(tmp_path / "c*.vasp"), str(tmp_path / "path.extxyz"), str(tmp_path / "dup.vasp")]
    )
    labels = [Path(c.label).name for c in candidates]
    # c0.vasp and the file's first frame are the same crystal only up to the 6-digit text
    assert labels[:3] == ["c0.vasp", "c1.vasp", "c2.vasp"]
    assert labels[3:] == ["path.extxyz@0", "path.extxyz@1"]
    assert duplicates == 1  # dup.vasp is c0.vasp


def test_progress_line_counts_rate_and_time_left():
    class Stream(list):
        def write(self, text):
            self.append(text)

        def flush(self):
            pass

    stream = Stream()
    bar = Progress(20, stream=stream)
    bar.start -= 10  # ten seconds ago
    bar.last_draw = bar.start
    for i in range(20):
        bar.update(failed=i == 3)
    lines = "".join(stream).splitlines()
    assert len(lines) == 10  # a line per tenth off a terminal
    assert lines[0].startswith("[" + "#" * 2 + "." * 22 + "] 2/20")
    assert lines[-1].startswith("[" + "#" * 24 + "] 20/20, 1 failed")
    assert "2.00/s" in lines[-1] and "left 0:00:00" in lines[-1]
    assert re.search(r"left 0:00:(39|40)", lines[1])  # 4 of 20 at 0.4/s: 16 left, 40 s
