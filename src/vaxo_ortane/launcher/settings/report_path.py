"""``FLIP_REPORT``: the report's path and its rerun list's, checked before the run.

Every shard of a run is given the same ``FLIP_REPORT``: each writes its own pair,
named for its shard (``run.json`` becomes ``run.shard-3-of-4.json``), so that no
shard replaces another's report or rerun list.
"""

from __future__ import annotations

import os
import stat
from pathlib import Path

from vaxo_ortane.launcher.run.shards import Shard


class ReportError(ValueError):
    """``FLIP_REPORT`` names a place where no report can be written."""


def checked_path(variable: str, raw: str, shard: Shard | None = None) -> Path:
    """The report's path that ``variable`` holds, ``shard``'s own when sharded, checked now
    rather than when the run has ended."""
    raw = raw.strip()
    path = Path(raw)
    if shard is not None and raw.rpartition("/")[2] not in ("", ".", ".."):
        path = for_shard(path, shard)
    folder = path.parent
    if raw.rpartition("/")[2] in ("", ".", ".."):
        reason = "it names a folder, not a file"
    elif path.is_dir() or not folder.is_dir() or not os.access(folder, os.W_OK | os.X_OK):
        reason = "the report must be a file in an existing folder this process can write"
    elif rerun_path(path) == path:
        reason = "that is the name of its own rerun list; name the report run.json, say"
    else:
        reason = unwritable(path) or unwritable(rerun_path(path)) or ""
    if reason:
        raise ReportError(f"{variable}={raw!r}: {reason}")
    return path


def for_shard(path: Path, shard: Shard) -> Path:
    """``path`` named for ``shard``: ``run.json`` is ``run.shard-3-of-4.json``, ``run`` is ``run-shard-3-of-4``."""
    tag = f"shard-{shard.index}-of-{shard.count}"
    if path.suffix:
        return path.with_name(f"{path.stem}.{tag}{path.suffix}")
    return path.with_name(f"{path.name}-{tag}")  # a dot would make the tag the suffix, which the rerun list drops


def rerun_path(path: Path) -> Path:
    return path.with_name(path.stem + ".rerun")


TEMP_SUFFIX = ".tmp"
TEMP_EXTRA = len("..") + 8 + len(TEMP_SUFFIX)  # mkstemp's eight random characters


def unwritable(path: Path) -> str | None:
    """Why ``path`` cannot be replaced by a report file, or None."""
    try:
        mode = os.stat(path).st_mode  # through links: a link to /dev/null is a device
    except FileNotFoundError:
        mode = None
    except OSError as exc:
        return f"{path} cannot be examined: {exc.strerror}"
    if mode is not None and not stat.S_ISREG(mode):
        return f"{path} exists and is not a regular file; the report never replaces one"
    longest = os.pathconf(path.parent, "PC_NAME_MAX")
    if len(os.fsencode(path.name)) + TEMP_EXTRA > longest:
        return f"the name {path.name!r} is too long for the temporary file written beside it"
    return None
