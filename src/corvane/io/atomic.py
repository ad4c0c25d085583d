"""Files written whole or not at all.

Every file corvane writes goes first to a hidden temporary file in the target's own folder and is
moved over the target (an atomic rename on one file system) only once it is complete and on disk.
When anything fails on the way (a full disk, an error in the writer, an interrupt), the temporary
file is removed and an existing target keeps its old content.

    with replacing("out.vasp") as tmp:          # a path to write to
        atoms.write(tmp, format="vasp")
    with open_replacing("notes.txt") as fh:     # an open file
        fh.write("...")
    write("out.cif", atoms)                     # ase.io.write, made atomic
    write_bcs = atomic_writer(writer(...))      # a writer(fd, ...) that may be given a path
"""

from __future__ import annotations

import contextlib
import functools
import os
import secrets
from pathlib import Path, PurePath

__all__ = ["check_writable", "replacing", "open_replacing", "atomic_writer", "write", "write_with"]


def _is_path(target) -> bool:
    return isinstance(target, (str, PurePath))


def _resolve(target) -> Path:
    """The file that writing `target` changes: a symbolic link's target, not the link."""
    path = Path(os.fspath(target))
    return Path(os.path.realpath(path)) if path.is_symlink() else path


def check_writable(target, what: str = "output file") -> Path:
    """Checks, before any work, that a file can be written at `target`.

    Raises one-line OS errors naming the path: IsADirectoryError when the target is a folder,
    FileNotFoundError when its folder does not exist (folders are never created), and
    PermissionError when the folder or an existing file cannot be written. Returns the path.
    """
    text = os.fspath(target)
    if not text:
        raise FileNotFoundError(f"{what}: an empty name is not a file name")
    path = _resolve(text)
    if path.is_dir():
        raise IsADirectoryError(f"{what} {text!r} is a folder, not a file")
    folder = path.parent
    if not folder.is_dir():
        if folder.exists():
            raise NotADirectoryError(f"{what} {text!r}: {str(folder)!r} is not a folder")
        raise FileNotFoundError(f"{what} {text!r}: the folder {str(folder)!r} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(f"{what} {text!r}: the folder {str(folder)!r} is not writable")
    if path.exists() and not os.access(path, os.W_OK):
        raise PermissionError(f"{what} {text!r} exists and is not writable")
    return path


def _temporary_name(path: Path) -> Path:
    # Hidden, unique, and ending in the target's last suffix, so that ASE still recognises a
    # compressed name (.gz, .bz2, .xz) and database names keep their extension.
    token = secrets.token_hex(4)
    return path.with_name(f".{path.stem}.{token}.part{path.suffix}")


def _fsync(path: Path) -> None:
    # Data still in the page cache has not met the disk yet: a full disk or an I/O error can
    # surface only here, and must do so before the old file is replaced.
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _fsync_folder(folder: Path) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass  # some file systems do not sync folders; the rename itself has happened
    finally:
        os.close(fd)


def _mode_for(path: Path) -> int:
    """Permissions for the new file: those of the file it replaces, or the usual ones."""
    try:
        return os.stat(path).st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def _remove(path: Path) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)


@contextlib.contextmanager
def replacing(target, what: str = "output file"):
    """Yields the name (str) of a temporary file next to `target` to write in full; on normal
    exit it is synced and moved over `target`, on an exception it is removed.

    The name is reserved by creating the (empty) file, so two writers never share it."""
    path = check_writable(target, what)
    while True:
        temporary = _temporary_name(path)
        try:
            os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
            break
        except FileExistsError:
            continue
    try:
        yield str(temporary)
        if temporary.is_dir() or not temporary.exists():
            # A writer that made a folder (ASE's bundle formats) or removed the file: not ours
            # to move into place.
            raise OSError(f"{what} {os.fspath(target)!r}: the writer did not produce a file")
        os.chmod(temporary, _mode_for(path))
        _fsync(temporary)
        os.replace(temporary, path)
    except OSError as exc:
        _remove(temporary)
        if exc.errno is None or exc.filename is not None:
            raise
        # A full disk reports only "No space left on device": say which file, and that the
        # old one is untouched.
        kept = " (the existing file is unchanged)" if path.exists() else ""
        raise type(exc)(exc.errno, f"{exc.strerror} while writing {os.fspath(target)!r}{kept}") from exc
    except BaseException:
        _remove(temporary)
        raise
    _fsync_folder(path.parent)


@contextlib.contextmanager
def open_replacing(target, mode: str = "w", encoding: str | None = None, what: str = "output file"):
    """An open file (text or binary by `mode`, "w" or "wb") that replaces `target` when it is
    closed without an error."""
    if mode not in ("w", "wb"):
        raise ValueError(f"open_replacing writes new files: mode must be 'w' or 'wb', got {mode!r}")
    if encoding is None and mode == "w":
        encoding = "utf-8"
    with replacing(target, what) as temporary:
        with open(temporary, mode, encoding=encoding) as fh:
            yield fh


def atomic_writer(func):
    """Makes a writer ``func(fd, *args, **kwargs)`` that accepts a path (ase.utils.writer's
    convention) replace that path atomically; open files are passed through unchanged.

    The path handed to `func` is the temporary file's, so `func` opens it as before."""

    @functools.wraps(func)
    def atomic(fd, *args, **kwargs):
        if not _is_path(fd):
            return func(fd, *args, **kwargs)
        with replacing(fd) as temporary:
            return func(type(fd)(temporary) if isinstance(fd, PurePath) else temporary, *args, **kwargs)

    return atomic


def write(filename, images, format=None, parallel=True, append=False, **kwargs):
    """ase.io.write with the target replaced only by a complete file.

    The format is the one ASE names for `filename` unless `format` is given; appending starts
    from a copy of the existing file. Open files are handed to ASE unchanged."""
    import ase.io
    from ase.io.formats import filetype

    if not _is_path(filename):
        return ase.io.write(filename, images, format=format, parallel=parallel, append=append, **kwargs)
    name = os.fspath(filename)
    if format is None:
        format = filetype(name, read=False)
    with replacing(name) as temporary:
        if append and os.path.isfile(name):
            import shutil

            shutil.copyfile(name, temporary)
        return ase.io.write(temporary, images, format=format, parallel=parallel, append=append, **kwargs)


def write_with(target, write_method, format=None, **kwargs):
    """Calls ``write_method(temporary_name, format=..., **kwargs)`` (an ``Atoms.write``, say)
    so that it replaces `target` only when complete. The format is the one ASE names for
    `target` unless given."""
    from ase.io.formats import filetype

    name = os.fspath(target)
    if format is None:
        format = filetype(name, read=False)
    with replacing(name) as temporary:
        return write_method(temporary, format=format, **kwargs)
