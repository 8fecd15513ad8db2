# The one way the package writes an output file: complete or not at all, and never over a node that
# is not a regular file (a device, a FIFO, a socket or a directory is refused, never replaced).
"""Atomic output files.

Every file the package writes (scan checkpoints, CLASS/CAMB tables, saved chains, ...) goes through
this module. The rules:

- The target must be a regular file or a path that does not exist yet. A directory, a device
  (``/dev/null``, ``/dev/full``), a FIFO or a socket is refused with :class:`UnsafeOutputError`
  naming the path and what it is; the node is left as it was.
- A symbolic link is followed: the file it points to is the one replaced, in the directory of that
  file, and the link itself stays a link (as ``open(path, "w")`` would treat it). A link that points
  to a device or a directory is refused like the node itself.
- The content is written to a temporary file in the target's directory, flushed to the disk
  (``fsync``) and renamed onto the target: readers see the old file or the new one, never a part.
  On any failure the temporary file is removed and the old file is untouched.
- Missing directories of the path are created; the new file gets the usual mode (0666 less the umask).
"""
from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from typing import IO, Any, Iterator

__all__ = ["UnsafeOutputError", "check_target", "atomic_open", "write_text", "write_bytes"]


class UnsafeOutputError(OSError):
    """The path names something that is not a regular file: writing there would destroy it."""


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "not a regular file"


def check_target(path: str | os.PathLike[str]) -> str:
    """The file that a write to ``path`` replaces (symbolic links followed), or UnsafeOutputError.

    Returns the resolved path; it may not exist yet. Raises when it exists and is not a regular file.
    """
    text = os.fspath(path)
    if not text:
        raise UnsafeOutputError("cannot write '': empty path")
    target = os.path.realpath(text)
    try:
        st = os.stat(target)
    except FileNotFoundError:
        return target
    if not stat.S_ISREG(st.st_mode):
        shown = text if target == os.path.abspath(text) else f"{text} (-> {target})"
        raise UnsafeOutputError(f"cannot write {shown}: {_kind(st.st_mode)}, not a regular file; "
                                "nuvex replaces only regular files")
    return target


@contextlib.contextmanager
def atomic_open(path: str | os.PathLike[str], mode: str = "w", **kwargs: Any) -> Iterator[IO[Any]]:
    """A file object whose content replaces ``path`` when the ``with`` block ends without an exception.

    ``mode`` is "w" (text; ``encoding`` defaults to UTF-8) or "wb". On an exception inside the block,
    or a failed write, flush or rename, the target is left untouched and the exception propagates.
    """
    if mode not in ("w", "wb"):
        raise ValueError(f"atomic_open: mode must be 'w' or 'wb', not {mode!r}")
    if mode == "w":
        kwargs.setdefault("encoding", "utf-8")
    text = os.fspath(path)
    target = check_target(text)
    directory = os.path.dirname(target)
    os.makedirs(directory, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(target) + ".", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, mode, **kwargs) as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        # the target may have turned into something else while we wrote: check again just before
        check_target(text)
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise


def write_text(path: str | os.PathLike[str], text: str, encoding: str = "utf-8") -> None:
    """Replace ``path`` by ``text`` atomically (rules in the module documentation)."""
    with atomic_open(path, "w", encoding=encoding) as f:
        f.write(text)


def write_bytes(path: str | os.PathLike[str], data: bytes) -> None:
    """Replace ``path`` by ``data`` atomically (rules in the module documentation)."""
    with atomic_open(path, "wb") as f:
        f.write(data)
