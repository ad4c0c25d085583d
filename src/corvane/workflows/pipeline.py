"""The property pipeline of one structure: relax, elastic tensor, five hardness values and,
on request, ideal strength along chosen directions.

Every step is timed and its outcome recorded; a step that fails records its error, the steps
that need its result are skipped, and the structure's result says which step failed and why.
The pipeline never raises for a bad structure; it raises only for bad settings.

    from corvane.workflows import PipelineSettings, compute_properties
    result = compute_properties(atoms, PipelineSettings(strength=("100", "111/11-2")))
    result.values["hv_chen"], result.status, result.steps["elastic"].seconds
"""

from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import io
import json
import math
import re
import threading
import time
import warnings
from pathlib import Path

import numpy as np
from ase import units
from ase.calculators.singlepoint import SinglePointCalculator

__all__ = [
    "HARDNESS_MODELS",
    "PipelineSettings",
    "Result",
    "StepRecord",
    "StrengthTest",
    "check_potential",
    "compute_properties",
    "curve_peak",
    "potential_location",
    "structure_digest",
]

#: Moduli-based hardness models, by the key their value is stored under.
HARDNESS_MODELS = {"hv_chen": "chen", "hv_tian": "tian", "hv_jiang": "jiang", "hv_mazhnik": "mazhnik"}

#: The default potential: a file of corvane.data.files.
DEFAULT_POTENTIAL = "BNC.tersoff"

_MILLER_DIGITS = re.compile(r"-?\d")


# ---------------------------------------------------------------------------------------------
# Settings


def _parse_indices(text, token):
    """Three integers from "100", "11-2" or "1,0,-12"."""
    if "," in text:
        parts = text.split(",")
        try:
            indices = [int(p) for p in parts]
        except ValueError:
            indices = []
    else:
        parts = _MILLER_DIGITS.findall(text)
        indices = [int(p) for p in parts] if "".join(parts) == text else []
    if len(indices) != 3 or not any(indices):
        raise ValueError(
            f"bad strength direction {token!r}: expected three indices such as "
            "100, 11-2 or 1,0,-12 (tensile) or PLANE/DIRECTION such as 111/11-2 "
            "(shear)"
        )
    return tuple(indices)


def _indices_text(indices):
    separator = "" if all(-9 <= i <= 9 for i in indices) else ","
    return separator.join(str(i) for i in indices)


def _indices_name(indices):
    """Indices as part of a key-value key: 11m2, 1_0_m12."""
    return _indices_text(indices).replace(",", "_").replace("-", "m")


@dataclasses.dataclass(frozen=True)
class StrengthTest:
    """One ideal-strength test: tensile along `direction`, or shear along `direction` in the
    plane whose normal is `normal` (Cartesian axes of the cell)."""

    direction: tuple[int, int, int]
    normal: tuple[int, int, int] | None = None

    @classmethod
    def parse(cls, token: str) -> "StrengthTest":
        """ "100" is tensile along [100]; "111/11-2" is shear along [11-2] in the (111) plane."""
        if not isinstance(token, str):
            raise ValueError(f"bad strength direction {token!r}: expected text such as 100")
        text = token.strip()
        if "/" in text:
            plane, _, direction = text.partition("/")
            normal, direction = _parse_indices(plane, token), _parse_indices(direction, token)
            if np.dot(normal, direction) != 0:
                raise ValueError(
                    f"bad strength direction {token!r}: the shear direction does not "
                    "lie in the plane (it must be perpendicular to its normal)"
                )
            return cls(direction, normal)
        return cls(_parse_indices(text, token))

    @property
    def name(self) -> str:
        """The key its peak stress is stored under: tensile_100, shear_111_11m2."""
        if self.normal is None:
            return f"tensile_{_indices_name(self.direction)}"
        return f"shear_{_indices_name(self.normal)}_{_indices_name(self.direction)}"

    @property
    def text(self) -> str:
        """The test as typed: "111", "11-2", "1,0,-12", "111/1-10"."""
        if self.normal is None:
            return _indices_text(self.direction)
        return f"{_indices_text(self.normal)}/{_indices_text(self.direction)}"


@dataclasses.dataclass(frozen=True)
class PipelineSettings:
    """What the pipeline does to every structure.

    potential: a file of corvane.data.files by name, a path, or any name get_calculator knows.
    relax: relax positions and cell first (optimize_structure) at `pressure` (GPa), to `fmax`
        (eV/A) with the ASE optimiser `optimizer` in at most `steps` steps; a run that does not
        converge fails the structure.
    strength: ideal-strength tests ("100" tensile, "111/11-2" shear), each a curve from 0 to
        `strain_max` in steps of `strain_step`.
    bond_cutoff: neighbour cutoff (A) of the bond-strength hardness. Between the first and
        second neighbour shells of sp3 B-C-N (bonds up to about 1.7 A, second neighbours from
        about 2.4 A): the bond-strength module's own default, 2.5 A, counts second neighbours
        as bonds in diamond compressed by 1 % or in c-BN at the default potential's lattice
        constant, and the hardness collapses.
    """

    potential: str = DEFAULT_POTENTIAL
    relax: bool = True
    fmax: float = 0.01
    steps: int = 500
    optimizer: str = "LBFGS"
    pressure: float = 0.0
    strength: tuple[str, ...] = ()
    strain_max: float = 0.3
    strain_step: float = 0.02
    bond_cutoff: float = 2.0

    def __post_init__(self):
        def positive(name):
            value = getattr(self, name)
            if (
                isinstance(value, bool)
                or not isinstance(value, (int, float))
                or not math.isfinite(value)
                or value <= 0
            ):
                raise ValueError(f"{name} must be a positive number, got {value!r}")
            object.__setattr__(self, name, float(value))

        if not isinstance(self.potential, str) or not self.potential:
            raise ValueError(f"potential must be a file name or path, got {self.potential!r}")
        for name in ("fmax", "strain_max", "strain_step", "bond_cutoff"):
            positive(name)
        if isinstance(self.steps, bool) or not isinstance(self.steps, int) or self.steps < 1:
            raise ValueError(f"steps must be a positive integer, got {self.steps!r}")
        if not isinstance(self.pressure, (int, float)) or not math.isfinite(self.pressure):
            raise ValueError(f"pressure must be a finite number, got {self.pressure!r}")
        object.__setattr__(self, "pressure", float(self.pressure))
        object.__setattr__(self, "relax", bool(self.relax))
        if self.strain_step > self.strain_max:
            raise ValueError(
                f"strain_step ({self.strain_step:g}) is larger than strain_max ({self.strain_max:g})"
            )
        if isinstance(self.strength, str):
            object.__setattr__(self, "strength", (self.strength,))
        tests = [StrengthTest.parse(t) for t in self.strength]
        names = [t.name for t in tests]
        duplicate = next((n for n in names if names.count(n) > 1), None)
        if duplicate:
            raise ValueError(f"strength test {duplicate} is asked for twice")
        object.__setattr__(self, "strength", tuple(t.text for t in tests))
        if not isinstance(self.optimizer, str):
            raise ValueError(f"optimizer must be the name of an ASE optimiser, got {self.optimizer!r}")
        if self.relax:
            from corvane.optimization import OPTIMIZERS

            if self.optimizer.lower() not in {n.lower() for n in OPTIMIZERS}:
                raise ValueError(
                    f"unknown optimiser {self.optimizer!r}; choose one of: {', '.join(OPTIMIZERS)}"
                )

    @property
    def strength_tests(self) -> tuple[StrengthTest, ...]:
        return tuple(StrengthTest.parse(t) for t in self.strength)

    def as_dict(self) -> dict:
        data = dataclasses.asdict(self)
        data["strength"] = list(self.strength)
        if not self.relax:  # the optimiser's settings do not change the results then
            for name in ("fmax", "steps", "optimizer", "pressure"):
                del data[name]
        return data

    def fingerprint(self) -> str:
        """A short digest of everything that changes the results: the settings and the contents
        of the potential file."""
        data = self.as_dict()
        data["strength"].sort()  # the same tests in another order give the same results
        location = potential_location(self.potential)
        if location.is_file():
            data["potential"] = hashlib.sha256(location.read_bytes()).hexdigest()
        return hashlib.sha256(json.dumps(data, sort_keys=True).encode()).hexdigest()[:16]


def potential_location(potential: str) -> Path:
    """Where the potential file is: an existing path, else the file of that name among
    corvane's own potentials (which may not exist either: then get_calculator decides)."""
    path = Path(potential).expanduser()
    if path.is_file():
        return path
    from corvane.data import files

    bundled = files.DIRECTORY / potential
    return bundled if bundled.is_file() else path


def check_potential(potential: str):
    """Makes the calculator of `potential` once; ValueError (one line) when it cannot be made."""
    try:
        _calculator(potential)
    except Exception as exc:
        raise ValueError(f"cannot use the potential {potential!r}: {one_line(exc)}") from None


_calculators = threading.local()


def _calculator(potential: str):
    """One calculator per potential and thread, reused from structure to structure."""
    from corvane.optimization import get_calculator

    cache = _calculators.__dict__.setdefault("cache", {})
    location = potential_location(potential)
    stamp = location.stat().st_mtime_ns if location.is_file() else None
    key = (potential, stamp)
    if key not in cache:
        cache.clear()
        cache[key] = get_calculator(str(location))
    return cache[key]


# ---------------------------------------------------------------------------------------------
# Results


@dataclasses.dataclass
class StepRecord:
    """One step of one structure: "ok", "failed" or "skipped", its time and its error."""

    status: str
    seconds: float = 0.0
    error: str | None = None


@dataclasses.dataclass
class Result:
    """The outcome of the pipeline for one structure."""

    status: str = "done"  # "done" or "failed"
    error: str | None = None  # "step: reason" of the first failure
    values: dict = dataclasses.field(default_factory=dict)  # scalar results (GPa, strain)
    steps: dict = dataclasses.field(default_factory=dict)  # step name -> StepRecord
    elastic_constants: np.ndarray | None = None  # 6x6 Voigt, GPa
    curves: dict = dataclasses.field(default_factory=dict)  # test name -> (strain, stress GPa)
    atoms: object = None  # the final (relaxed) structure
    seconds: float = 0.0

    @property
    def failed_step(self) -> str | None:
        return next((n for n, s in self.steps.items() if s.status == "failed"), None)

    def to_json(self) -> dict:
        """A plain-JSON form (no structure)."""
        return {
            "status": self.status,
            "error": self.error,
            "values": self.values,
            "steps": {n: dataclasses.asdict(s) for n, s in self.steps.items()},
            "elastic_constants": None
            if self.elastic_constants is None
            else np.asarray(self.elastic_constants).tolist(),
            "curves": {
                n: {"strain": np.asarray(c[0]).tolist(), "stress": np.asarray(c[1]).tolist()}
                for n, c in self.curves.items()
            },
            "seconds": self.seconds,
        }


class StepFailure(Exception):
    """A step's result is unusable (not a crash of the code it called)."""


def one_line(exc: BaseException) -> str:
    """The first line of an error, with its kind unless it is the pipeline's own."""
    text = str(exc).strip().splitlines()
    message = text[0] if text else ""
    if isinstance(exc, StepFailure) and message:
        return message
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


class _Step:
    """Times a step, keeps its printed output out of the caller's, and records its failure."""

    def __init__(self, result: Result, name: str, needs=()):
        self.result, self.name = result, name
        self.runnable = all(result.steps.get(n, StepRecord("ok")).status == "ok" for n in needs)
        if not self.runnable:
            result.steps[name] = StepRecord(
                "skipped", error="needs " + ", ".join(n for n in needs if result.steps[n].status != "ok")
            )

    def __enter__(self):
        self.output = io.StringIO()
        self._redirect = contextlib.redirect_stdout(self.output)
        self._redirect.__enter__()
        self._warnings = warnings.catch_warnings()
        self._warnings.__enter__()
        warnings.simplefilter("ignore")
        self.start = time.perf_counter()
        return self

    def __exit__(self, kind, exc, tb):
        seconds = time.perf_counter() - self.start
        self._warnings.__exit__(None, None, None)
        self._redirect.__exit__(None, None, None)
        if not self.runnable or (exc is not None and not isinstance(exc, Exception)):
            return False  # a skipped step stays skipped; KeyboardInterrupt and the like go on
        record = StepRecord(
            "ok" if exc is None else "failed", seconds, None if exc is None else one_line(exc)
        )
        self.result.steps[self.name] = record
        return True


def _finite(value, what):
    if isinstance(value, complex) or not math.isfinite(float(value)):
        raise StepFailure(f"{what} is {value} (mechanically unstable or broken structure)")
    return float(value)


# ---------------------------------------------------------------------------------------------
# The pipeline


def structure_digest(atoms) -> str:
    """A digest of a structure's species, positions, cell and periodicity."""
    digest = hashlib.sha256()
    digest.update(np.asarray(atoms.numbers, dtype=np.int64).tobytes())
    digest.update(np.ascontiguousarray(atoms.positions, dtype=np.float64).tobytes())
    digest.update(np.ascontiguousarray(atoms.cell.array, dtype=np.float64).tobytes())
    digest.update(np.asarray(atoms.pbc, dtype=np.uint8).tobytes())
    return digest.hexdigest()[:20]


def _check_crystal(atoms):
    if len(atoms) == 0:
        raise StepFailure("the structure has no atoms")
    if not np.all(atoms.pbc):
        raise StepFailure(
            f"not a periodic crystal (pbc = {''.join('TF'[not p] for p in atoms.pbc)}); "
            "elastic constants need periodicity in all three directions"
        )
    volume = abs(atoms.cell.volume)
    if not volume > 1e-6 * len(atoms):
        raise StepFailure(f"the cell has no volume ({volume:g} A^3)")
    if not np.all(np.isfinite(atoms.positions)):
        raise StepFailure("the structure has non-finite positions")


def curve_peak(strain, stress):
    """(index of the ideal strength, index where the curve turns sharply upwards or None).

    Up to its maximum a stress-strain curve bends downwards. A jump in slope of more than half
    the initial (elastic) slope is not the material: with a short-ranged potential such as
    Tersoff's it is the cutoff function pulling on bonds stretched into its range, and the
    spike it makes can exceed the true maximum many times. The maximum is taken before it.
    """
    stress = np.asarray(stress, dtype=float)
    if len(stress) < 3:
        return int(np.argmax(stress)) if len(stress) else 0, None
    slopes = np.diff(stress) / np.diff(np.asarray(strain, dtype=float))
    scale = abs(slopes[0]) or np.max(np.abs(slopes))
    jumps = np.nonzero(np.diff(slopes) > 0.5 * scale)[0]
    upturn = int(jumps[0]) + 1 if len(jumps) else None  # the point the steeper segment starts
    end = len(stress) if upturn is None else upturn + 1
    return int(np.argmax(stress[:end])), upturn


def compute_properties(atoms, settings: PipelineSettings | None = None, threads: int | None = None) -> Result:
    """Runs the pipeline on a copy of `atoms`; returns its Result (never raises for a bad
    structure). `threads`: threads of the potential (None: its default)."""
    from corvane.optimization import optimize_structure
    from corvane.properties.elastic import calculate_elastic_properties
    from corvane.properties.hardness import SimunekHardnessCalculator, calculate_hardness
    from corvane.properties.strength import calculate_shear_strength, calculate_tensile_strength

    settings = PipelineSettings() if settings is None else settings
    start = time.perf_counter()
    result = Result()
    atoms = atoms.copy()
    atoms.calc = None
    result.atoms = atoms

    with _Step(result, "structure"):
        _check_crystal(atoms)
        calc = _calculator(settings.potential)
        if threads is not None and hasattr(calc, "threads"):
            calc.threads = threads
        atoms.calc = calc
        energy = atoms.get_potential_energy()
        if not math.isfinite(energy):
            raise StepFailure(f"the potential gives the energy {energy}")

    prepared = "structure"
    if settings.relax:
        with (step := _Step(result, "relax", needs=["structure"])):
            if step.runnable:
                optimize_structure(
                    atoms,
                    fmax=settings.fmax,
                    method=settings.optimizer,
                    steps=settings.steps,
                    pressure=settings.pressure,
                    trajectory=None,
                )
                if "did not reach fmax" in step.output.getvalue():
                    raise StepFailure(
                        f"did not reach fmax = {settings.fmax:g} eV/A in {settings.steps} steps"
                    )
        prepared = "relax"

    with (step := _Step(result, "elastic", needs=[prepared])):
        if step.runnable:
            elastic = calculate_elastic_properties(atoms)
            moduli = {
                key: _finite(elastic[key], key.replace("_", " "))
                for key in ("bulk_modulus", "shear_modulus", "youngs_modulus", "poisson_ratio")
            }
            result.elastic_constants = np.asarray(elastic["elastic_constants"], dtype=float)
            result.values.update(moduli)

    with (step := _Step(result, "hardness", needs=["elastic"])):
        if step.runnable:
            v = result.values
            unreal = []
            for key, method in HARDNESS_MODELS.items():
                hv = calculate_hardness(
                    shear=v["shear_modulus"],
                    bulk=v["bulk_modulus"],
                    young=v["youngs_modulus"],
                    poisson=v["poisson_ratio"],
                    method=method,
                )
                if isinstance(hv, complex) or not math.isfinite(hv):
                    unreal.append(method)
                else:
                    result.values[key] = float(hv)
            if unreal:
                raise StepFailure(
                    f"no real hardness from {', '.join(unreal)} (G = "
                    f"{v['shear_modulus']:.1f}, B = {v['bulk_modulus']:.1f} GPa)"
                )

    with (step := _Step(result, "simunek", needs=[prepared])):
        if step.runnable:
            hv = SimunekHardnessCalculator().calculate_hardness(atoms, rcut=settings.bond_cutoff)
            result.values["hv_simunek"] = _finite(hv, "the bond-strength hardness")

    for test in settings.strength_tests:
        with (step := _Step(result, test.name, needs=[prepared])):
            if step.runnable:
                strained = atoms.copy()  # the curve leaves the structure at its last strain
                strained.calc = atoms.calc
                grid = dict(
                    start_strain=0.0, end_strain=settings.strain_max, interval_strain=settings.strain_step
                )
                if test.normal is None:
                    strain, stress, _ = calculate_tensile_strength(strained, list(test.direction), **grid)
                else:
                    strain, stress, _ = calculate_shear_strength(
                        strained, list(test.direction), list(test.normal), **grid
                    )
                stress_gpa = np.asarray(stress, dtype=float) / units.GPa
                strain = np.asarray(strain, dtype=float)
                result.curves[test.name] = (strain, stress_gpa)
                peak, upturn = curve_peak(strain, stress_gpa)
                result.values[test.name] = _finite(stress_gpa[peak], f"the {test.name} stress")
                result.values[f"{test.name}_strain"] = float(strain[peak])
                if upturn is not None and peak == upturn:
                    raise StepFailure(
                        f"no maximum before the stress turns sharply upwards at "
                        f"strain {strain[upturn]:g} (bonds entering the cutoff "
                        "of the potential?); the value is a lower bound"
                    )
                if peak == len(strain) - 1:
                    raise StepFailure(
                        f"the stress still rises at the largest strain ({strain[peak]:g}); raise strain_max"
                    )

    # Keep energy and stress of the final structure with it, as a database row shows them.
    if result.steps["structure"].status == "ok":
        with contextlib.suppress(Exception):
            atoms.calc = SinglePointCalculator(
                atoms,
                energy=atoms.get_potential_energy(),
                forces=atoms.get_forces(),
                stress=atoms.get_stress(),
            )
    if not isinstance(atoms.calc, SinglePointCalculator):
        atoms.calc = None
    failed = result.failed_step
    if failed is not None:
        result.status = "failed"
        result.error = f"{failed}: {result.steps[failed].error}"
    result.seconds = time.perf_counter() - start
    return result
