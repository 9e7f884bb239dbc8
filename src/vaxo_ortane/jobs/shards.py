"""One fleet run split into K shards that run side by side.

A name's shard is CRC-32 of its UTF-8 bytes modulo K: the same in every process,
on every machine and in every release (Python's ``hash`` of a str changes from
process to process). Every name lands in exactly one shard, and a name listed
twice lands twice in the same one.

``FLIP_SHARD_COUNT`` = K turns sharding on; the shard's index comes from
``FLIP_SHARD_INDEX`` or, when that is not set, from ``JOB_COMPLETION_INDEX``,
which a Kubernetes Indexed Job gives each of its pods.
"""

from __future__ import annotations

import re
import zlib
from collections.abc import Mapping, MutableMapping
from dataclasses import dataclass

NAMES = "PREPAY_DISABLED_METER_NAMES"
COUNT = "FLIP_SHARD_COUNT"
INDEX = "FLIP_SHARD_INDEX"
SCHEDULER_INDEX = "JOB_COMPLETION_INDEX"

_WHOLE_NUMBER = re.compile(r"[0-9]{1,9}")  # nine digits: far more shards than any fleet


class ShardError(Exception):
    """A shard setting that cannot be used; names the variable."""


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


def shard_from_env(environ: Mapping[str, str]) -> Shard | None:
    """This process's shard, or None when the run is not sharded."""
    count_text = environ.get(COUNT)
    if count_text is None:
        if INDEX in environ:
            raise ShardError(f"{INDEX} is set but {COUNT} is not; set both, or neither")
        return None
    count = _whole_number(COUNT, count_text)
    if count < 1:
        raise ShardError(f"{COUNT} must be at least 1, not {count}")
    index_variable = INDEX if INDEX in environ else SCHEDULER_INDEX
    index_text = environ.get(index_variable)
    if index_text is None:
        raise ShardError(f"{COUNT} is set but neither {INDEX} nor {SCHEDULER_INDEX} is")
    index = _whole_number(index_variable, index_text)
    if index >= count:
        raise ShardError(f"{index_variable} must be below {COUNT} ({count}), not {index}")
    return Shard(index, count)


def apply_shard(environ: MutableMapping[str, str]) -> ShardRun | None:
    """Keep in ``environ`` only this shard's names; None when the run is not sharded.

    Names keep their order and repeats. An unset name list is left unset, for the
    job to report (``total`` is then 0).
    """
    shard = shard_from_env(environ)
    if shard is None:
        return None
    text = environ.get(NAMES)
    if text is None:
        return ShardRun(shard, 0, 0)
    names = split_names(text)
    kept = [name for name in names if shard_of(name, shard.count) == shard.index]
    environ[NAMES] = ",".join(kept)
    return ShardRun(shard, len(kept), len(names))


def _whole_number(variable: str, text: str) -> int:
    # ASCII digits only: int() would also take "+3", "3_0" and other scripts' digits.
    if not _WHOLE_NUMBER.fullmatch(text.strip()):
        raise ShardError(f"{variable} must be a whole number of at most nine digits, not {text[:40]!r}")
    return int(text)
