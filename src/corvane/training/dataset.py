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
    write(text, atoms, format="extxyz", parallel=False)  # rank 0 alone writes under MPI
    member = gzip.compress(text.getvalue().encode(), mtime=0)
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "ab") as handle:
        handle.write(member)
        handle.flush()
        os.fsync(handle.fileno())


DATA_SUFFIXES = (".extxyz.gz", ".extxyz", ".xyz.gz", ".xyz")


def data_files(sources) -> list[Path]:
    """The data files named by `sources` (a path or several): files as given, folders' data files."""
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    files = []
    for source in map(Path, sources):
        if source.is_dir():
            found = sorted(p for p in source.iterdir() if p.name.endswith(DATA_SUFFIXES))
            if not found:
                raise FileNotFoundError(f"no data files (*{', *'.join(DATA_SUFFIXES)}) in {str(source)!r}")
            files.extend(found)
        elif source.is_file():
            files.append(source)
        else:
            raise FileNotFoundError(f"no such data file or directory: {str(source)!r}")
    return files


def _frames(path: Path):
    from ase.io import read as ase_read

    if path.name.endswith(".gz"):
        texts = [text.decode() for _, text in _complete_members(path.read_bytes())]
    else:
        texts = [path.read_text()]
    frames = []
    for text in texts:
        # parallel=False: under MPI every rank reads for itself
        frames += ase_read(io.StringIO(text), index=":", format="extxyz", parallel=False)
    for k, atoms in enumerate(frames):
        atoms.info.setdefault("name", f"{path.name}:{k}")
        atoms.info.setdefault("family", path.name.split(".")[0])
    return frames


def read(sources, families=None, split=None):
    """All cells of the data set in `sources` (folders or files), optionally some families or one split.

    A gzip'd file's incomplete last member (a generator stopped mid-write) is ignored. Cells
    without a recorded split get the one their name fixes.
    """
    cells = []
    for path in data_files(sources):
        for atoms in _frames(path):
            if families is not None and atoms.info["family"] not in families:
                continue
            atoms.info.setdefault("split", split_of(str(atoms.info["name"])))
            if split is None or atoms.info["split"] == split:
                cells.append(atoms)
    return cells


def finished_names(directory: str | os.PathLike) -> set[str]:
    """Names of the cells already in the data set."""
    if not any(Path(directory).glob("*.extxyz.gz")):
        return set()
    return {atoms.info["name"] for atoms in read(directory)}


def stress_gpa(atoms) -> np.ndarray:
    """The cell's stress in GPa (Voigt order xx yy zz yz xz xy)."""
    from ase.units import GPa

    return np.asarray(atoms.get_stress(voigt=True)) / GPa
