"""``prepay-enabled-flip-shard``: which shard each meter name falls in.

    prepay-enabled-flip-shard --count 8 A-001 A-002
    prepay-enabled-flip-shard --count 8 --file names.txt

One line a name on standard output: the name, a tab, its shard. With ``--summary``,
a header line, then one line a shard instead: the shard and how many of the names
it holds. Without ``--count``, the count is ``FLIP_SHARD_COUNT``; without names or
``--file``, they are the job's own (``PREPAY_DISABLED_METER_NAMES`` or its
``_FILE``). Errors go to standard error with status 2 (bad command line) or 1
(unusable names file).
"""

from __future__ import annotations

import argparse
import os
import sys
from collections import Counter

from vaxo_ortane.launcher.run import statuses
from vaxo_ortane.launcher.run.shards import shard_of, split_names
from vaxo_ortane.launcher.settings import environment as settings
from vaxo_ortane.launcher.settings import variables
from vaxo_ortane.launcher.settings.file_values import FileValueError, read_names_file, resolve_file_values


def _count(text: str) -> int:
    # The job's own rule for FLIP_SHARD_COUNT, so that no count works here and fails there.
    try:
        shard = settings.shard_from_env({variables.SHARD_COUNT: text, variables.SHARD_INDEX: "0"})
    except settings.ShardError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    assert shard is not None
    return shard.count


def _job_names() -> list[str]:
    # The job's own list, from its variable or its file, read as the launcher reads it.
    environ = {
        key: os.environ[key] for key in (variables.NAMES, variables.NAMES + variables.FILE_SUFFIX) if key in os.environ
    }
    resolve_file_values(environ, variables.NAMES, (), variables.FILE_SUFFIX)
    return [name for name in split_names(environ[variables.NAMES]) if name] if variables.NAMES in environ else []


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="prepay-enabled-flip-shard",
        description=f"Which shard of {variables.SHARD_COUNT} shards each meter name falls in (CRC-32 of its UTF-8 text).",
    )
    parser.add_argument(
        "--count", type=_count, help=f"the number of shards (default: {variables.SHARD_COUNT}, as the job reads it)"
    )
    parser.add_argument(
        "--file", help=f"a names file, one name a line, as {variables.NAMES}{variables.FILE_SUFFIX} takes"
    )
    parser.add_argument("--summary", action="store_true", help="print how many names each shard holds instead")
    parser.add_argument("names", nargs="*", help="meter names; a comma-separated list is split as the job splits it")
    args = parser.parse_args(argv)
    if args.count is None:
        if variables.SHARD_COUNT not in os.environ:
            parser.error(f"give --count, or set {variables.SHARD_COUNT}")
        try:
            args.count = _count(os.environ[variables.SHARD_COUNT])
        except argparse.ArgumentTypeError as exc:
            parser.error(str(exc))
    names = [name for text in args.names for name in split_names(text) if name]  # the job leaves out empty ones
    try:
        if args.file is not None:
            names += read_names_file(args.file, "--file")
        elif not names:
            names = _job_names()
    except FileValueError as exc:
        print(f"prepay-enabled-flip-shard: {exc}", file=sys.stderr)
        return statuses.UNUSABLE_FILE
    if not names:
        parser.error(
            f"give meter names or --file, or set {variables.NAMES} or {variables.NAMES}{variables.FILE_SUFFIX}"
        )
    if args.summary:
        held = Counter(shard_of(name, args.count) for name in names)
        lines = ["shard\tnames"] + [f"{shard}\t{held[shard]}" for shard in range(args.count)]
    else:
        lines = [f"{name}\t{shard_of(name, args.count)}" for name in names]
    sys.stdout.write("".join(line + "\n" for line in lines))
    return statuses.SUCCESS
