"""Interatomic potentials: one registry of the potential files corvane reads.

Each kind of potential is one entry: a name, a test that recognises its files (by content where
the file has a signature, else by extension) and a loader returning an ASE calculator::

    from corvane.potentials import calculator_for
    atoms.calc = calculator_for("BCN-ms-v0.0.1.pth")   # or "BNC.tersoff"

``corvane.optimization.get_calculator`` consults this registry. A new kind of potential is one
kernel (native/kernels/), one binding (src/corvane/_kernels/bind_<name>.cpp), one calculator
class in this package and one entry in ``REGISTRY``; see ARCHITECTURE.md.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

__all__ = ["REGISTRY", "PotentialKind", "calculator_for", "default_threads", "kind_of"]


def default_threads() -> int:
    """Threads a calculator uses unless told: the CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


@dataclass(frozen=True)
class PotentialKind:
    name: str
    description: str
    pattern: str  # file names this kind usually has
    recognises: Callable[[Path, bytes], bool]  # (path, first bytes) -> is it this kind?
    load: Callable[[Path], object]  # path -> calculator


def _is_zip(path: Path, head: bytes) -> bool:
    return head[:4] == b"PK\x03\x04"


def _load_ace(path):
    from corvane.potentials.ace import AceCalculator

    return AceCalculator(path)


def _is_tersoff(path: Path, head: bytes) -> bool:
    return path.suffix.lower() == ".tersoff" and not _is_zip(path, head)


def _load_tersoff(path):
    from corvane.potentials.tersoff import Tersoff

    return Tersoff(path)


#: The kinds of potential file, tried in order.
REGISTRY: list[PotentialKind] = [
    PotentialKind(
        "ace",
        "linear cluster-expansion model (tensor file in PyTorch's zip layout)",
        "*.pth",
        _is_zip,
        _load_ace,
    ),
    PotentialKind("tersoff", "LAMMPS-format Tersoff parameters", "*.tersoff", _is_tersoff, _load_tersoff),
]


def kind_of(path: str | os.PathLike) -> PotentialKind:
    """The registry entry for the potential file `path`.

    FileNotFoundError if there is no such file; ValueError naming what the file seems to be if
    no entry recognises it.
    """
    path = Path(path)
    supported = ", ".join(f"{k.description} ({k.pattern})" for k in REGISTRY)
    if not path.is_file():
        if any(path.match(k.pattern) for k in REGISTRY):
            raise FileNotFoundError(f"potential file not found: {str(path)!r}")
        raise ValueError(
            f"cannot tell the kind of potential of {str(path)!r} from its name: supported are {supported}"
        )
    with open(path, "rb") as fh:
        head = fh.read(64)
    for kind in REGISTRY:
        if kind.recognises(path, head):
            return kind
    if path.suffix.lower() == ".pth":
        from corvane.potentials.pth import ModelFileError, load

        try:  # the tensor-file reader says what the file is
            load(path)
        except ModelFileError as exc:
            raise ValueError(f"{exc}; supported are {supported}") from None
    raise ValueError(f"cannot tell the kind of potential of {str(path)!r}: supported are {supported}")


def calculator_for(path: str | os.PathLike):
    """An ASE calculator for the potential file `path` (see :func:`kind_of`)."""
    path = Path(path)
    return kind_of(path).load(path)
