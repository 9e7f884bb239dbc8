"""What the launcher does to the environment before the job module reads it, and
how a shard's outcome reaches its scheduler.

Values from ``<VAR>_FILE`` files come first, then the shard's part of the name
list. A file that cannot be used ends the process with status 1, a bad shard
setting with status 2, as a bad command line does; either after one error record.

A shard whose names select no meter has done its work: in a sharded run the job's
status 10 becomes 0, or the scheduler would retry it and fail the whole Indexed Job
(a shard of a few names may well hold only meters already off). An unsharded run
keeps status 10. A shard with no names at all does not run the job: an empty list
reads as one empty name, which would select a registry row named "" that belongs
to shard 0.
"""

from __future__ import annotations

from collections.abc import Callable, MutableMapping

from vaxo_ortane.jobs.file_values import FileValueError, resolve_file_values
from vaxo_ortane.jobs.shards import ShardError, ShardRun, apply_shard

Record = Callable[..., None]

FILE_STATUS = 1
SHARD_STATUS = 2
NO_METER_STATUS = 10


def prepare(environ: MutableMapping[str, str], record: Record) -> ShardRun | None:
    """Resolve the file values and the shard in ``environ``; the shard run, if sharded."""
    try:
        resolve_file_values(environ)
        shard_run = apply_shard(environ)
    except FileValueError as exc:
        record("error", str(exc), status=FILE_STATUS)
        raise SystemExit(FILE_STATUS) from None
    except ShardError as exc:
        record("error", str(exc), status=SHARD_STATUS)
        raise SystemExit(SHARD_STATUS) from None
    if shard_run is not None:
        shard = shard_run.shard
        record(
            "info", f"Shard {shard.index} of {shard.count}: {shard_run.kept} of {shard_run.total} meter names",
            shard=shard.index, shards=shard.count, names=shard_run.kept, total_names=shard_run.total,
        )
    return shard_run


def status_without_run(shard_run: ShardRun | None, record: Record) -> int | None:
    """0 for a shard that holds no name and so need not run; None when the job runs."""
    if shard_run is None or not shard_run.empty:
        return None
    record("info", f"Shard {shard_run.shard.index} holds no meter name: nothing to do, exit status 0")
    return 0


def settled_status(shard_run: ShardRun | None, status: object, record: Record) -> int | None:
    """0 for a shard whose names selected no meter; None to keep the job's own status."""
    if shard_run is None or status != NO_METER_STATUS:
        return None
    record(
        "info", f"Shard {shard_run.shard.index}: no meter of its names to switch off, exit status 0 instead of 10",
        shard=shard_run.shard.index, status=0, run_status=NO_METER_STATUS,
    )
    return 0
