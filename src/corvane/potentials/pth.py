"""Tensor files in PyTorch's zip layout, written and read without torch.

The layout is the one ``torch.save`` produces, so ``torch.load(path, weights_only=True)`` reads
our files:

    archive/data.pkl        the object tree, pickled (protocol 2); tensors as persistent ids
    archive/byteorder       "little"
    archive/data/<key>      each tensor's storage, raw little-endian values, 64-byte aligned
    archive/version         "3"

Only plain values (dict/OrderedDict, list, tuple, str, int, float, bool, None) and numpy arrays
(stored as tensors) can be written. The reader is restricted: the pickle may name only
``collections.OrderedDict``, ``torch._utils._rebuild_tensor_v2`` and the storage types, every
size and stride is checked against its storage record, and anything else is refused with
:class:`ModelFileError` before it could run — loading a file never executes code from it.
"""

from __future__ import annotations

import io
import os
import pickle
import struct
import zipfile
import zlib
from collections import OrderedDict
from pathlib import Path

import numpy as np

__all__ = ["ModelFileError", "load", "save"]

ARCHIVE = "archive"
ALIGNMENT = 64

#: Storage types by name, with the numpy type of their values.
STORAGES = {
    "DoubleStorage": np.dtype("<f8"),
    "FloatStorage": np.dtype("<f4"),
    "LongStorage": np.dtype("<i8"),
    "IntStorage": np.dtype("<i4"),
    "ShortStorage": np.dtype("<i2"),
    "CharStorage": np.dtype("i1"),
    "ByteStorage": np.dtype("u1"),
    "BoolStorage": np.dtype("?"),
}
_STORAGE_OF = {dtype: name for name, dtype in STORAGES.items()}
_FIXED_TIME = (1980, 1, 1, 0, 0, 0)


class ModelFileError(ValueError):
    """A tensor file that is damaged, not in the expected layout, or asks for code to run."""


# ---------------------------------------------------------------------------------------------
# Writing


class _Pickle:
    """A protocol-2 pickle of plain values, with tensors as torch's persistent ids."""

    def __init__(self):
        self.out = io.BytesIO()
        self.storages = []  # (key, contiguous little-endian array)

    def op(self, data: bytes):
        self.out.write(data)

    def global_(self, module, name):
        self.op(b"c" + module.encode() + b"\n" + name.encode() + b"\n")

    def value(self, v):
        if v is None:
            self.op(b"N")
        elif isinstance(v, (bool, np.bool_)):
            self.op(b"\x88" if v else b"\x89")
        elif isinstance(v, (int, np.integer)):
            v = int(v)
            if -(2**31) <= v < 2**31:
                self.op(b"J" + struct.pack("<i", v))
            else:
                data = v.to_bytes((v.bit_length() + 8) // 8, "little", signed=True)
                if len(data) > 255:
                    raise ValueError(f"integer too large to store: {v}")
                self.op(b"\x8a" + bytes([len(data)]) + data)
        elif isinstance(v, (float, np.floating)):
            self.op(b"G" + struct.pack(">d", float(v)))
        elif isinstance(v, str):
            data = v.encode("utf-8")
            self.op(b"X" + struct.pack("<I", len(data)) + data)
        elif isinstance(v, np.ndarray):
            self.tensor(v)
        elif isinstance(v, dict):
            if isinstance(v, OrderedDict):
                self.global_("collections", "OrderedDict")
                self.op(b")R")
            else:
                self.op(b"}")
            if v:
                self.op(b"(")
                for key, item in v.items():
                    if not isinstance(key, str):
                        raise TypeError(f"dictionary keys must be str, got {type(key).__name__}")
                    self.value(key)
                    self.value(item)
                self.op(b"u")
        elif isinstance(v, list):
            self.op(b"]")
            if v:
                self.op(b"(")
                for item in v:
                    self.value(item)
                self.op(b"e")
        elif isinstance(v, tuple):
            self.op(b"(")
            for item in v:
                self.value(item)
            self.op(b"t")
        else:
            raise TypeError(f"cannot store a {type(v).__name__} in a tensor file")

    def tensor(self, array):
        name = _STORAGE_OF.get(array.dtype.newbyteorder("<"))
        if name is None:
            raise TypeError(f"cannot store arrays of type {array.dtype}")
        data = np.array(array, dtype=STORAGES[name], order="C")  # keeps 0-d arrays 0-d
        key = str(len(self.storages))
        self.storages.append((key, data))
        stride, step = [], 1
        for extent in reversed(data.shape):
            stride.append(step)
            step *= extent
        self.global_("torch._utils", "_rebuild_tensor_v2")
        self.op(b"(")
        # The storage, as torch's persistent id ('storage', type, key, location, size).
        self.op(b"(")
        self.value("storage")
        self.global_("torch", name)
        self.value(key)
        self.value("cpu")
        self.value(data.size)
        self.op(b"tQ")
        self.value(0)
        self.value(tuple(int(s) for s in data.shape))
        self.value(tuple(reversed(stride)))
        self.value(False)
        self.global_("collections", "OrderedDict")
        self.op(b")R")
        self.op(b"tR")

    def dumps(self, obj):
        self.op(b"\x80\x02")
        self.value(obj)
        self.op(b".")
        return self.out.getvalue()


def _aligned_record(zf, name, data):
    """Writes one uncompressed record whose data starts on an ALIGNMENT boundary."""
    info = zipfile.ZipInfo(name, date_time=_FIXED_TIME)
    info.compress_type = zipfile.ZIP_STORED
    info.external_attr = 0o600 << 16
    start = zf.fp.tell() + 30 + len(name.encode()) + 4
    pad = -start % ALIGNMENT
    info.extra = b"FB" + struct.pack("<H", pad) + b"Z" * pad
    zf.writestr(info, data)


def dumps(obj) -> bytes:
    """The bytes of a tensor file holding `obj` (see :func:`save`)."""
    writer = _Pickle()
    pkl = writer.dumps(obj)
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_STORED) as zf:
        _aligned_record(zf, f"{ARCHIVE}/data.pkl", pkl)
        _aligned_record(zf, f"{ARCHIVE}/byteorder", b"little")
        for key, data in writer.storages:
            _aligned_record(zf, f"{ARCHIVE}/data/{key}", data.tobytes())
        _aligned_record(zf, f"{ARCHIVE}/version", b"3\n")
    return buf.getvalue()


def save(obj, path: str | os.PathLike) -> None:
    """Writes `obj` (a dict tree of plain values and numpy arrays) to `path`.

    The file is written beside its target and moved over it when complete. The bytes depend
    only on `obj`: saving what :func:`load` returned gives the same file again.
    """
    data = dumps(obj)
    path = Path(path)
    from corvane.io.atomic import open_replacing

    with open_replacing(path, "wb", what="model file") as fh:
        fh.write(data)


# ---------------------------------------------------------------------------------------------
# Reading


class _StorageType:
    def __init__(self, name):
        self.name = name
        self.dtype = STORAGES[name]


class _Storage:
    def __init__(self, array):
        self.array = array


class _Restricted(pickle.Unpickler):
    def __init__(self, data, records, where):
        super().__init__(io.BytesIO(data))
        self.records = records
        self.where = where

    def find_class(self, module, name):
        if (module, name) == ("collections", "OrderedDict"):
            return OrderedDict
        if (module, name) == ("torch._utils", "_rebuild_tensor_v2"):
            return self.rebuild_tensor
        if module == "torch" and name in STORAGES:
            return _StorageType(name)
        hint = ""
        if module.startswith("torch.nn") or module.startswith("__main__"):
            hint = " (the file holds a whole pickled Python object, not plain tensors)"
        raise ModelFileError(
            f"{self.where}: refused: its pickle asks for {module}.{name}, which a tensor file "
            f"may not use{hint}; only tensors, OrderedDict and storage types are accepted and "
            "nothing from the file was run"
        )

    def persistent_load(self, pid):
        if (
            not isinstance(pid, tuple)
            or len(pid) != 5
            or pid[0] != "storage"
            or not isinstance(pid[1], _StorageType)
            or not isinstance(pid[2], str)
            or not isinstance(pid[4], int)
            or isinstance(pid[4], bool)
            or pid[4] < 0
        ):
            raise ModelFileError(f"{self.where}: malformed storage reference {pid!r:.200}")
        kind, key, numel = pid[1], pid[2], pid[4]
        data = self.records.get(key)
        if data is None:
            raise ModelFileError(f"{self.where}: storage record data/{key} is missing")
        if len(data) != numel * kind.dtype.itemsize:
            raise ModelFileError(
                f"{self.where}: storage data/{key} holds {len(data)} bytes, but its "
                f"{numel} {kind.name} values need {numel * kind.dtype.itemsize}"
            )
        return _Storage(np.frombuffer(data, dtype=kind.dtype))

    def rebuild_tensor(self, storage, offset, size, stride, requires_grad=False, hooks=None, *rest):
        if not isinstance(storage, _Storage):
            raise ModelFileError(f"{self.where}: a tensor without a storage")

        def ints(t):
            return isinstance(t, tuple) and all(
                isinstance(x, int) and not isinstance(x, bool) and x >= 0 for x in t
            )

        if not (
            isinstance(offset, int)
            and offset >= 0
            and ints(size)
            and ints(stride)
            and len(size) == len(stride)
        ):
            raise ModelFileError(f"{self.where}: a tensor with a malformed size, stride or offset")
        array = storage.array
        if 0 in size:
            return np.zeros(size, dtype=array.dtype)
        last = offset + sum((n - 1) * s for n, s in zip(size, stride))
        if last >= array.size:
            raise ModelFileError(
                f"{self.where}: a tensor of size {size} reaches past the end "
                f"of its storage ({array.size} values)"
            )
        item = array.dtype.itemsize
        view = np.lib.stride_tricks.as_strided(
            array[offset:], shape=size, strides=tuple(s * item for s in stride), writeable=False
        )
        return view.astype(array.dtype.newbyteorder("="), copy=True)


def _describe_non_zip(head: bytes) -> str:
    if head[:2] == b"\x80\x02" or head[:1] == b"\x80":
        return (
            "a bare pickle (such as PyTorch's legacy pre-1.6 format), which is not read "
            "because unpickling it could run code"
        )
    if not head:
        return "empty"
    if head[:2] == b"PK":
        return "a damaged or truncated zip archive"
    return "not a zip archive"


def loads(data: bytes, where: str = "<bytes>"):
    """The object tree of a tensor file's bytes; numpy arrays stand for the tensors."""
    if data[:4] != b"PK\x03\x04":
        raise ModelFileError(f"{where}: not a tensor file: {_describe_non_zip(data[:8])}")
    try:
        zf = zipfile.ZipFile(io.BytesIO(data))
    except zipfile.BadZipFile as exc:
        raise ModelFileError(f"{where}: damaged or truncated zip archive ({exc})") from None
    with zf:
        names = zf.namelist()
        tops = {n.split("/", 1)[0] for n in names}
        if len(tops) != 1 or any("/" not in n for n in names):
            raise ModelFileError(
                f"{where}: not in PyTorch's zip layout (records must sit in one top-level directory)"
            )
        top = tops.pop()
        if f"{top}/constants.pkl" in names or any(n.startswith(f"{top}/code/") for n in names):
            raise ModelFileError(f"{where}: a TorchScript archive (compiled model code), not a tensor file")
        if f"{top}/data.pkl" not in names:
            raise ModelFileError(f"{where}: not a PyTorch tensor file: {top}/data.pkl is missing")

        def read(name):
            try:
                return zf.read(name)
            except (zipfile.BadZipFile, zlib.error, EOFError, OSError) as exc:
                raise ModelFileError(f"{where}: record {name} is damaged ({exc})") from None

        if f"{top}/byteorder" in names:
            order = read(f"{top}/byteorder").decode("ascii", "replace").strip()
            if order != "little":
                raise ModelFileError(
                    f"{where}: storages are {order!r}-endian; only little-endian files are read"
                )
        prefix = f"{top}/data/"
        records = {n[len(prefix) :]: read(n) for n in names if n.startswith(prefix)}
        pkl = read(f"{top}/data.pkl")
    try:
        return _Restricted(pkl, records, where).load()
    except ModelFileError:
        raise
    except Exception as exc:  # a malformed pickle: truncated, bad opcodes, wrong arguments
        raise ModelFileError(
            f"{where}: its data.pkl is not a valid tensor pickle ({type(exc).__name__}: {exc})"
        ) from None


def load(path: str | os.PathLike):
    """Reads a tensor file; see :func:`loads`. Raises ModelFileError for anything not accepted."""
    with open(path, "rb") as fh:
        data = fh.read()
    return loads(data, str(path))
