"""Throughput of `screen` on Dask against the same pipeline in a plain loop.

    python bench/bench_screen.py [--cells 64] [--strength 100 ...] [--workers 1 2]

Makes --cells small B-C-N crystals (8-atom cubic cells of diamond, c-BN and BC2N orderings,
each strained and rattled differently), then in the same run:
  1. the baseline: compute_properties on every cell in a plain loop (Tersoff on one thread), in
     a fresh process as a Dask worker is one;
  2. screen() on a local Dask cluster of 1 and of 2 worker processes, into a fresh database each
     time; the cluster is started and every worker has run one structure before the clock runs
     (this start-up is printed apart), so the figure is what Dask and the database writes add
     per structure.
BLAS runs on one thread everywhere. The machine may be shared, so --repeat rounds alternate the
loop and the screens and the best time of each counts. Prints, last, throughput and the ratios
to the loop.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("MKL_NUM_THREADS", "1")

import argparse  # noqa: E402
import io  # noqa: E402
import multiprocessing  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import ase.db  # noqa: E402
import numpy as np  # noqa: E402
from ase.build import bulk  # noqa: E402

from corvane.workflows import PipelineSettings, compute_properties  # noqa: E402
from corvane.workflows.screening import dask_client, run_candidate, screen  # noqa: E402


def cells(n):
    """n distinct 8-atom cubic cells: diamond, c-BN and two BC2N orderings."""
    rng = np.random.default_rng(11)
    out = []
    for i in range(n):
        kind = i % 4
        if kind == 0:
            atoms = bulk("C", "diamond", a=3.60, cubic=True)
        elif kind == 1:
            atoms = bulk("BN", "zincblende", a=3.65, cubic=True)
        else:
            atoms = bulk("C", "diamond", a=3.62, cubic=True)
            atoms.symbols[[0, 2] if kind == 2 else [0, 1]] = "B"
            atoms.symbols[[1, 3] if kind == 2 else [2, 3]] = "N"
        strain = np.eye(3) + 0.01 * rng.uniform(-1, 1, (3, 3))
        atoms.set_cell(atoms.cell.array @ strain, scale_atoms=True)
        atoms.rattle(0.02, seed=i)
        out.append(atoms)
    return out


def loop_in_this_process(structures, settings):
    """(wall time, CPU time, structures not done) of the pipeline in a plain loop, after one
    structure run beforehand (imports and first calls)."""
    compute_properties(structures[0], settings, threads=1)
    start, cpu = time.perf_counter(), time.process_time()
    failed = sum(compute_properties(atoms, settings, threads=1).status != "done" for atoms in structures)
    return time.perf_counter() - start, time.process_time() - cpu, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cells", type=int, default=64)
    parser.add_argument("--strength", nargs="*", default=[])
    parser.add_argument("--strain-max", type=float, default=0.6)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument(
        "--supercell",
        type=int,
        nargs=3,
        default=[1, 1, 1],
        help="repeat each 8-atom cell, for longer structures",
    )
    args = parser.parse_args()
    settings = PipelineSettings(
        fmax=0.01, steps=500, strength=tuple(args.strength), strain_max=args.strain_max
    )
    structures = [atoms.repeat(args.supercell) for atoms in cells(args.cells)]
    print(
        f"{args.cells} cells of {len(structures[0])} atoms; settings {settings.as_dict()}; "
        f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}"
    )

    def plain_loop():
        # In a fresh process, as a worker is one: the comparison is then Dask against no Dask,
        # not one process's history against another's.
        with multiprocessing.get_context("spawn").Pool(1) as pool:
            return pool.apply(loop_in_this_process, (structures, settings))

    def screened(workers, folder, source, round_):
        begin = time.perf_counter()
        with dask_client(workers=workers) as client:
            # Start-up: the cluster, then one structure on every worker (imports, first calls),
            # as the loop's first structure is run before its clock starts too.
            client.run(run_candidate, structures[0], settings)
            startup = time.perf_counter() - begin
            output = Path(folder) / f"results-{workers}-{round_}.db"
            # CPU time of every process of the run: the workers, and this one, which holds the
            # client, the scheduler and the nannies of a local cluster.
            here, there = time.process_time(), sum(client.run(time.process_time).values())
            start = time.perf_counter()
            summary = screen(
                [source],
                output,
                settings,
                scheduler=client.scheduler_info()["address"],
                progress=False,
                out=io.StringIO(),
            )
            elapsed = time.perf_counter() - start
            here = time.process_time() - here
            there = sum(client.run(time.process_time).values()) - there
        assert summary.done + len(summary.failed) == args.cells
        return elapsed, here, there, startup, len(summary.failed)

    # The machine may be shared: rounds alternate the loop and the screens and the best of each
    # counts. CPU time, which waiting for a busy machine does not inflate, gives the overhead:
    # that of this process (client, and the scheduler of the local cluster) and of the workers.
    best = {}
    with tempfile.TemporaryDirectory() as folder:
        source = Path(folder) / "cells.db"
        with ase.db.connect(str(source)) as db:
            for atoms in structures:
                db.write(atoms)
        for round_ in range(args.repeat):
            elapsed, cpu, failed = plain_loop()
            print(f"round {round_ + 1}: plain loop {elapsed:.2f} s, CPU {cpu:.2f} s ({failed} not done)")
            best["loop"] = np.minimum(best.get("loop", np.inf), (elapsed, cpu))
            for workers in args.workers:
                elapsed, here, there, startup, failed = screened(workers, folder, source, round_)
                print(
                    f"round {round_ + 1}: screen on {workers} worker(s) {elapsed:.2f} s, "
                    f"CPU {there:.2f} s in the workers and {here:.2f} s in this process "
                    f"(start-up and warm-up {startup:.1f} s apart; {failed} not done)"
                )
                best[workers] = np.minimum(best.get(workers, np.inf), (elapsed, here, there))
    loop, loop_cpu = best["loop"]
    n = args.cells

    print()
    print(
        f"plain loop: {n / loop:.2f} structures/s, {loop / n:.3f} s and {loop_cpu / n:.3f} s "
        "CPU per structure (baseline)"
    )
    for workers in args.workers:
        elapsed, here, there = best[workers]
        overhead = (here + there - loop_cpu) / n
        print(
            f"screen, {workers} worker(s): {n / elapsed:.2f} structures/s, ratio "
            f"{loop / elapsed:.2f} to the loop; CPU overhead {overhead * 1000:+.0f} ms per "
            f"structure ({overhead / (loop_cpu / n) * 100:+.1f} % of its CPU time), of which "
            f"client, scheduler and database {here / n * 1000:.0f} ms and workers "
            f"{(there - loop_cpu) / n * 1000:+.0f} ms"
        )


if __name__ == "__main__":
    main()
