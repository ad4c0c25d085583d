"""The reference data set on disk: one gzip'd extended-XYZ file per structure family.

Every cell is appended as its own gzip member in a single write, so a generator stopped at any
moment leaves at most one incomplete member at the end of one file; `repair` cuts it off.
"""

from __future__ import annotations

import gzip
import hashlib
import io
import os
import zlib
from pathlib import Path

import numpy as np

SPLITS = ("train", "validation", "test")


def split_of(name: str) -> str:
    """The split a cell belongs to, fixed by its name: 80 % train, 10 % validation, 10 % test."""
    bucket = int.from_bytes(hashlib.sha256(name.encode()).digest()[:4], "little") % 10
    return "test" if bucket == 0 else "validation" if bucket == 1 else "train"


def family_path(directory: str | os.PathLike, family: str) -> Path:
    return Path(directory) / f"{family}.extxyz.gz"


def _complete_members(raw: bytes):
    """Yields (end offset, text) of each complete gzip member of `raw`, in order."""
    offset = 0
    while offset < len(raw):
        decoder = zlib.decompressobj(wbits=31)
        try:
            text = decoder.decompress(raw[offset:])
        except zlib.error:
            return
        if not decoder.eof:
            return
        end = len(raw) - len(decoder.unused_data)
        yield end, text
        offset = end


def repair(path: str | os.PathLike) -> int:
    """Cuts an incomplete last member off `path`; returns the number of bytes removed."""
    path = Path(path)
    if not path.exists():
        return 0
    raw = path.read_bytes()
    good = 0
    for end, _ in _complete_members(raw):
        good = end
    if good < len(raw):
        with open(path, "r+b") as handle:
            handle.truncate(good)
        return len(raw) - good
    return 0


def append(path: str | os.PathLike, atoms) -> None:
    """Appends one cell (with its single-point results) as a gzip member, written at once."""
    from ase.io import write

    text = io.StringIO()
    write(text, atoms, format="extxyz", parallel=False)   # rank 0 alone writes under MPI
    member = gzip.compress(text.getvalue().encode(), mtime=0)
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "ab") as handle:
        handle.write(member)
        handle.flush()
        os.fsync(handle.fileno())


def read(directory: str | os.PathLike, families=None, split=None):
    """All cells of the data set in `directory` (a folder or one file), optionally one split."""
    from ase.io import read as ase_read

    directory = Path(directory)
    paths = [directory] if directory.is_file() else sorted(directory.glob("*.extxyz.gz"))
    cells = []
    for path in paths:
        family = path.name.removesuffix(".extxyz.gz")
        if families is not None and family not in families:
            continue
        raw = path.read_bytes()
        for _, text in _complete_members(raw):
            for atoms in ase_read(io.StringIO(text.decode()), index=":", format="extxyz",
                                  parallel=False):
                if split is None or atoms.info.get("split") == split:
                    cells.append(atoms)
    return cells


def finished_names(directory: str | os.PathLike) -> set[str]:
    """Names of the cells already in the data set."""
    return {atoms.info["name"] for atoms in read(directory)}


def stress_gpa(atoms) -> np.ndarray:
    """The cell's stress in GPa (Voigt order xx yy zz yz xz xy)."""
    from ase.units import GPa

    return np.asarray(atoms.get_stress(voigt=True)) / GPa
