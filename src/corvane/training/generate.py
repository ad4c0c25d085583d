"""Computes the reference data set with GPAW (PBE, plane waves), resumably.

    mpirun -np 2 gpaw python -m corvane.training.generate data/dft --minutes 150

Cells already in the data set are skipped; every finished cell is appended at once, so an
interrupted run loses at most the cell in progress. ``--minutes N`` stops cleanly after the cell
that crosses N minutes. GPAW is imported here only, never by the package's runtime.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from corvane.training import dataset
from corvane.training.structures import all_cells

ECUT = 800.0  # eV; at 500 eV the c-BN stress is ~30 GPa off
KDENSITY_INSULATOR = 2.5  # Å⁻¹, Γ-centred
KDENSITY_METALLIC = 3.5  # sp², metallic or defect cells
SMEARING = 0.05  # eV, Fermi–Dirac


def settings_for(
    cell, ecut=ECUT, kd_insulator=KDENSITY_INSULATOR, kd_metallic=KDENSITY_METALLIC, smearing=SMEARING
) -> dict:
    from ase.calculators.calculator import kptdensity2monkhorstpack

    density = kd_metallic if cell.metallic else kd_insulator
    kpts = kptdensity2monkhorstpack(cell.atoms, kptdensity=density, even=False)
    return {
        "xc": "PBE",
        "ecut": float(ecut),
        "kdensity": float(density),
        "kpts": [int(k) for k in kpts],
        "smearing": float(smearing),
    }


def compute(cell, settings, world):
    """Runs GPAW on `cell`; returns a copy of its atoms carrying energy, forces and stress."""
    import gpaw
    from ase.calculators.singlepoint import SinglePointCalculator
    from gpaw import GPAW, PW, FermiDirac

    atoms = cell.atoms.copy()
    atoms.calc = GPAW(
        mode=PW(settings["ecut"]),
        xc=settings["xc"],
        kpts={"size": settings["kpts"], "gamma": True},
        occupations=FermiDirac(settings["smearing"]),
        txt=None,
        communicator=world,
    )
    energy = atoms.get_potential_energy(force_consistent=True)
    forces = atoms.get_forces()
    stress = atoms.get_stress(voigt=True)
    out = cell.atoms.copy()
    out.calc = SinglePointCalculator(out, energy=energy, free_energy=energy, forces=forces, stress=stress)
    out.info.update(
        name=cell.name,
        family=cell.family,
        kind=cell.kind,
        sp3=bool(cell.sp3),
        metallic=bool(cell.metallic),
        split=dataset.split_of(cell.name),
        xc=settings["xc"],
        ecut=settings["ecut"],
        kdensity=settings["kdensity"],
        kpts="x".join(map(str, settings["kpts"])),
        smearing=settings["smearing"],
        spinpol=False,
        code=f"GPAW {gpaw.__version__}",
        energy_kind="free",
    )
    return out


def _format_duration(seconds: float) -> str:
    seconds = int(round(seconds))
    hours, rest = divmod(seconds, 3600)
    return f"{hours}h{rest // 60:02d}m" if hours else f"{rest // 60}m{rest % 60:02d}s"


def run(
    directory,
    minutes=None,
    families=None,
    limit=None,
    ecut=ECUT,
    kd_insulator=KDENSITY_INSULATOR,
    kd_metallic=KDENSITY_METALLIC,
    smearing=SMEARING,
    out=sys.stdout,
) -> int:
    """Computes the missing cells into `directory`; returns the number of cells finished."""
    from gpaw.mpi import world

    directory = Path(directory)
    master = world.rank == 0
    if master:
        directory.mkdir(parents=True, exist_ok=True)
        for path in directory.glob("*.extxyz.gz"):
            cut = dataset.repair(path)
            if cut:
                print(f"{path.name}: removed an incomplete last cell ({cut} bytes)", file=out, flush=True)
    world.barrier()
    done = dataset.finished_names(directory)
    todo = [c for c in all_cells() if c.name not in done and (families is None or c.family in families)]
    if limit is not None:
        todo = todo[:limit]
    if master:
        print(f"{len(done)} cells already computed, {len(todo)} to go", file=out, flush=True)
    started = time.perf_counter()
    spent_per_atom = []
    finished = 0
    for k, cell in enumerate(todo):
        settings = settings_for(cell, ecut, kd_insulator, kd_metallic, smearing)
        t0 = time.perf_counter()
        result = compute(cell, settings, world)
        seconds = time.perf_counter() - t0
        result.info["seconds"] = round(seconds, 2)
        if master:
            dataset.append(dataset.family_path(directory, cell.family), result)
        finished += 1
        spent_per_atom.append(seconds / len(cell.atoms))
        left = todo[k + 1 :]
        estimate = np.median(spent_per_atom) * sum(len(c.atoms) for c in left)
        if master:
            print(
                f"{cell.name:28s} {len(cell.atoms):3d} atoms {seconds:7.1f} s  "
                f"{len(left)} left, about {_format_duration(estimate)}",
                file=out,
                flush=True,
            )
        # One decision for every rank: rank 0's clock.
        stop = np.array([minutes is not None and time.perf_counter() - started >= 60 * minutes], dtype=int)
        world.broadcast(stop, 0)
        if stop[0]:
            if master and left:
                print(f"stopping after {minutes} minutes; rerun to continue", file=out, flush=True)
            break
    return finished


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m corvane.training.generate",
        description="Compute the B-C-N reference data set with GPAW (run under mpirun -np N gpaw python).",
    )
    parser.add_argument("directory", help="data-set folder (one <family>.extxyz.gz per family)")
    parser.add_argument("--minutes", type=float, help="stop after the cell that crosses this many minutes")
    parser.add_argument("--family", action="append", dest="families", help="only this family (repeatable)")
    parser.add_argument("--limit", type=int, help="compute at most this many cells")
    parser.add_argument("--ecut", type=float, default=ECUT, help="plane-wave cutoff, eV")
    parser.add_argument(
        "--kdensity",
        type=float,
        default=KDENSITY_INSULATOR,
        help="k-point density of insulating sp3 cells, 1/Å",
    )
    parser.add_argument(
        "--kdensity-metallic",
        type=float,
        default=KDENSITY_METALLIC,
        help="k-point density of sp2, metallic and defect cells, 1/Å",
    )
    parser.add_argument("--smearing", type=float, default=SMEARING, help="Fermi-Dirac width, eV")
    parser.add_argument("--list", action="store_true", help="list the cells still to compute and exit")
    args = parser.parse_args(argv)
    for name in ("minutes", "ecut", "kdensity", "kdensity_metallic", "smearing"):
        value = getattr(args, name)
        if value is not None and not (np.isfinite(value) and value > 0):
            parser.error(f"--{name.replace('_', '-')} must be a positive number, got {value}")
    if args.list:
        done = dataset.finished_names(args.directory) if Path(args.directory).exists() else set()
        for cell in all_cells():
            if cell.name not in done and (args.families is None or cell.family in args.families):
                print(f"{cell.name:28s} {cell.family:14s} {len(cell.atoms):3d} atoms")
        return 0
    run(
        args.directory,
        args.minutes,
        args.families,
        args.limit,
        args.ecut,
        args.kdensity,
        args.kdensity_metallic,
        args.smearing,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
