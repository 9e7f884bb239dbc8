"""One fleet run split into K shards that run side by side.

A name's shard is CRC-32 of its UTF-8 bytes modulo K: the same in every process,
on every machine and in every release (Python's ``hash`` of a str changes from
process to process). Every name lands in exactly one shard, and a name listed
twice lands twice in the same one. The settings that choose a shard are read in
``settings``.

A shard whose names select no meter has done its work: in a sharded run the job's
status 10 becomes 0, or the scheduler would retry it and fail the whole Indexed Job
(a shard of a few names may well hold only meters already off). An unsharded run
keeps status 10. A shard with no names at all does not run the job: an empty list
reads as one empty name, which would select a registry row named "" that belongs
to shard 0.
"""

from __future__ import annotations

import zlib
from collections.abc import Callable
from dataclasses import dataclass

from vaxo_ortane.launcher.run import statuses

Record = Callable[..., None]


@dataclass(frozen=True)
class Shard:
    index: int
    count: int


@dataclass(frozen=True)
class ShardRun:
    """What one shard holds of the whole name list."""

    shard: Shard
    kept: int
    total: int

    @property
    def empty(self) -> bool:
        """The list is set, and none of its names falls in this shard."""
        return self.total > 0 and self.kept == 0

    def description(self) -> dict[str, int]:
        """The shard as the report and the plan show it."""
        return {"index": self.shard.index, "count": self.shard.count, "names": self.kept, "total_names": self.total}


def shard_of(name: str, count: int) -> int:
    """The shard, 0 to ``count`` - 1, that ``name`` falls in."""
    if count < 1:
        raise ValueError(f"a shard count must be at least 1, not {count}")
    try:
        # A name that came from undecodable bytes (os.environ, argv) hashes as those bytes.
        data = name.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        data = name.encode("utf-8", "surrogatepass")  # other lone surrogates: no OS text holds them
    return zlib.crc32(data) % count


def split_names(text: str) -> list[str]:
    """The name list as the job reads it: split at commas, blanks stripped, nothing dropped."""
    return [piece.strip() for piece in text.split(",")]


def keep_shard(text: str | None, shard: Shard) -> tuple[str | None, ShardRun]:
    """The name list ``text`` cut down to ``shard``'s names, and what the shard holds.

    Names keep their order and repeats. An unset list stays unset, for the job to
    report (``total`` is then 0).
    """
    if text is None:
        return None, ShardRun(shard, 0, 0)
    names = split_names(text)
    kept = [name for name in names if shard_of(name, shard.count) == shard.index]
    return ",".join(kept), ShardRun(shard, len(kept), len(names))


def status_without_run(shard_run: ShardRun | None, record: Record) -> int | None:
    """0 for a shard that holds no name and so need not run; None when the job runs."""
    if shard_run is None or not shard_run.empty:
        return None
    record("info", f"Shard {shard_run.shard.index} holds no meter name: nothing to do, exit status 0")
    return statuses.SUCCESS


def settled_status(shard_run: ShardRun | None, status: object, record: Record) -> int | None:
    """0 for a shard whose names selected no meter; None to keep the job's own status."""
    if shard_run is None or status != statuses.NO_METER_SELECTED:
        return None
    record(
        "info",
        f"Shard {shard_run.shard.index}: no meter of its names to switch off, exit status 0 instead of 10",
        shard=shard_run.shard.index,
        status=statuses.SUCCESS,
        run_status=statuses.NO_METER_SELECTED,
    )
    return statuses.SUCCESS
