"""``prepay-enabled-flip-shard``: which shard each meter name falls in.

    prepay-enabled-flip-shard --count 8 A-001 A-002
    prepay-enabled-flip-shard --count 8 --file names.txt

One line a name on standard output: the name, a tab, its shard. With ``--summary``,
one line a shard instead: the shard and how many of the names it holds. Errors go
to standard error with status 2 (bad command line) or 1 (unusable names file).
"""

from __future__ import annotations

import argparse
import sys
from collections import Counter

from vaxo_ortane.launcher import settings, statuses
from vaxo_ortane.launcher.file_values import FileValueError, read_names_file
from vaxo_ortane.launcher.shards import shard_of, split_names


def _count(text: str) -> int:
    # The job's own rule for FLIP_SHARD_COUNT, so that no count works here and fails there.
    try:
        shard = settings.shard_from_env({settings.SHARD_COUNT: text, settings.SHARD_INDEX: "0"})
    except settings.ShardError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    assert shard is not None
    return shard.count


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="prepay-enabled-flip-shard",
        description=f"Which shard of {settings.SHARD_COUNT} shards each meter name falls in (CRC-32 of its UTF-8 text).",
    )
    parser.add_argument("--count", type=_count, required=True, help=f"the number of shards, {settings.SHARD_COUNT}")
    parser.add_argument(
        "--file", help=f"a names file, one name a line, as {settings.NAMES}{settings.FILE_SUFFIX} takes"
    )
    parser.add_argument("--summary", action="store_true", help="print how many names each shard holds instead")
    parser.add_argument("names", nargs="*", help="meter names; a comma-separated list is split as the job splits it")
    args = parser.parse_args(argv)
    names = [name for text in args.names for name in split_names(text)]
    if args.file is not None:
        try:
            names += read_names_file(args.file, "--file")
        except FileValueError as exc:
            print(f"prepay-enabled-flip-shard: {exc}", file=sys.stderr)
            return statuses.UNUSABLE_FILE
    if not names:
        parser.error("give meter names, or --file")
    if args.summary:
        held = Counter(shard_of(name, args.count) for name in names)
        lines = [f"{shard}\t{held[shard]}" for shard in range(args.count)]
    else:
        lines = [f"{name}\t{shard_of(name, args.count)}" for name in names]
    sys.stdout.write("".join(line + "\n" for line in lines))
    return statuses.SUCCESS
