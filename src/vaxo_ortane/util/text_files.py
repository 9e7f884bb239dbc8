"""Text files that settings name: an inventory, a names file, a key, a fleet's CSV."""

from __future__ import annotations

import os


class TextFileError(Exception):
    """Why a file cannot be read as text; never quotes the file's content, which may be a secret."""

    def __init__(self, reason: str, missing: bool = False) -> None:
        super().__init__(reason)
        self.missing = missing


def read_utf8(path: str | os.PathLike[str]) -> str:
    """The file's text; raises TextFileError saying what is wrong with it, without naming it."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as exc:
        reason = f"cannot be read: {exc.strerror or type(exc).__name__}"
        raise TextFileError(reason, missing=isinstance(exc, FileNotFoundError)) from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        # The reason and offset only: the bytes around them may be part of a key.
        raise TextFileError(f"is not UTF-8 text: {exc.reason} at byte {exc.start}") from None
