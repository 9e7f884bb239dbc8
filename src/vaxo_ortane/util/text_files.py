"""Text files that settings name: an inventory, a names file, a key, a fleet's CSV.

Only regular files are read, after following links (a mounted Kubernetes Secret
is a chain of them): a FIFO with no writer would block the process for ever, and
``/dev/zero`` would fill its memory.
"""

from __future__ import annotations

import os
import stat


class TextFileError(Exception):
    """Why a file cannot be read as text; never quotes the file's content, which may be a secret."""

    def __init__(self, reason: str, missing: bool = False) -> None:
        super().__init__(reason)
        self.missing = missing


_KINDS = {
    stat.S_IFDIR: "a folder",
    stat.S_IFIFO: "a FIFO",
    stat.S_IFCHR: "a character device",
    stat.S_IFBLK: "a block device",
    stat.S_IFSOCK: "a socket",
}


def read_utf8(path: str | os.PathLike[str], limit: int | None = None) -> str:
    """The file's text; raises TextFileError saying what is wrong with it, without naming it.

    With ``limit``, a file of more bytes than that is refused.
    """
    try:
        # Non-blocking, so that opening a FIFO returns at once and is refused below.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as exc:
        reason = f"cannot be read: {exc.strerror or type(exc).__name__}"
        raise TextFileError(reason, missing=isinstance(exc, FileNotFoundError)) from None
    mode = os.fstat(fd).st_mode
    if not stat.S_ISREG(mode):
        os.close(fd)
        raise TextFileError(f"is not a regular file but {_KINDS.get(stat.S_IFMT(mode), 'a special file')}")
    with open(fd, "rb") as file:
        try:
            data = file.read() if limit is None else file.read(limit + 1)
        except OSError as exc:
            raise TextFileError(f"cannot be read: {exc.strerror or type(exc).__name__}") from None
    if limit is not None and len(data) > limit:
        raise TextFileError(f"is larger than {limit} bytes, more than a setting holds")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        # The reason and offset only: the bytes around them may be part of a key.
        raise TextFileError(f"is not UTF-8 text: {exc.reason} at byte {exc.start}") from None
