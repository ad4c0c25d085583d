"""Size estimates made before large structures are built, and the memory limit they answer to.

A supercell, a polycrystal or a merge of close atoms is estimated from its inputs (atom count,
neighbour pairs) before any of it is built; past the limit the work is refused with the estimate
in the message, instead of running for hours or until the machine runs out of memory.

The limit is ``DEFAULT_MAX_MEMORY`` unless the environment variable ``CORVANE_MAX_MEMORY`` or
:func:`set_max_memory` (the command line's ``--max-memory``) says otherwise; sizes are written as
bytes or with a unit: ``512M``, ``16G``, ``1.5T``.
"""

from __future__ import annotations

import math
import os

__all__ = [
    "DEFAULT_MAX_MEMORY",
    "SizeLimitError",
    "parse_size",
    "format_size",
    "max_memory",
    "set_max_memory",
    "check_memory",
    "BYTES_PER_ATOM",
    "BYTES_PER_PAIR",
    "neighbour_pairs",
]

DEFAULT_MAX_MEMORY = 4 * 1024**3
ENVIRONMENT_VARIABLE = "CORVANE_MAX_MEMORY"

#: Peak bytes per atom of a built structure: ASE's arrays, the kernels' copies and the
#: intermediate structures of stacking or filling (measured peaks are below this).
BYTES_PER_ATOM = 512
#: Bytes per neighbour pair kept while close atoms are merged (indices and image shift).
BYTES_PER_PAIR = 32

_UNITS = {"": 1, "B": 1, "K": 1024, "M": 1024**2, "G": 1024**3, "T": 1024**4}

_limit = None  # set by set_max_memory


class SizeLimitError(ValueError):
    """Work refused because its estimated memory exceeds the limit."""


def parse_size(text) -> int:
    """Bytes of a size such as ``"16G"``, ``"512M"``, ``"1.5T"`` or ``"1000000"``."""
    s = str(text).strip().upper().removesuffix("IB").removesuffix("B")
    unit = s[-1:] if s[-1:] in _UNITS else ""
    number = s[: len(s) - len(unit)]
    try:
        value = float(number) * _UNITS[unit]
    except ValueError:
        raise ValueError(f"not a memory size: {text!r} (use e.g. 512M, 16G)") from None
    if not math.isfinite(value) or value <= 0:
        raise ValueError(f"a memory size must be positive and finite, got {text!r}")
    return int(value)


def format_size(nbytes: float) -> str:
    for unit, scale in (("TiB", 1024**4), ("GiB", 1024**3), ("MiB", 1024**2), ("KiB", 1024)):
        if nbytes >= scale:
            value = nbytes / scale
            return f"{value:.3g} {unit}" if value < 1e4 else f"{value:.2e} {unit}"
    return f"{nbytes:.0f} B"


def set_max_memory(size) -> None:
    """Sets the limit for this process (None: back to the environment or the default)."""
    global _limit
    _limit = None if size is None else parse_size(size)


def max_memory() -> int:
    if _limit is not None:
        return _limit
    text = os.environ.get(ENVIRONMENT_VARIABLE)
    if text:
        try:
            return parse_size(text)
        except ValueError as exc:
            raise ValueError(f"{ENVIRONMENT_VARIABLE}: {exc}") from None
    return DEFAULT_MAX_MEMORY


def check_memory(nbytes: float, what: str) -> None:
    """Refuses work whose estimated peak memory `nbytes` exceeds the limit.

    `what` says what would be built, with the estimate's basis (e.g. "--box 1e6 1e6 1e6: a
    polycrystal of about 6.0e16 atoms")."""
    limit = max_memory()
    if not nbytes <= limit:  # also refuses NaN estimates
        raise SizeLimitError(
            f"{what} would need about {format_size(nbytes)} of memory, above the limit of "
            f"{format_size(limit)}; raise it with --max-memory or {ENVIRONMENT_VARIABLE} if "
            "this is intended"
        )


def neighbour_pairs(n_atoms: float, density: float, cutoff: float) -> float:
    """Expected number of (atom, neighbour) pairs within `cutoff` among `n_atoms` atoms at
    `density` (atoms per cubic Angstrom), periodic images included."""
    if cutoff <= 0:
        return 0.0
    return n_atoms * density * 4.0 / 3.0 * math.pi * cutoff**3
