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

from vaxo_ortane.jobs.file_values import FileValueError, read_names_file
from vaxo_ortane.jobs.shards import shard_of, split_names


def _count(text: str) -> int:
    count = int(text)
    if count < 1:
        raise argparse.ArgumentTypeError(f"the shard count must be at least 1, not {count}")
    return count


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="prepay-enabled-flip-shard",
        description="Which shard of FLIP_SHARD_COUNT shards each meter name falls in (CRC-32 of its UTF-8 text).",
    )
    parser.add_argument("--count", type=_count, required=True, help="the number of shards, FLIP_SHARD_COUNT")
    parser.add_argument("--file", help="a names file, one name a line, as PREPAY_DISABLED_METER_NAMES_FILE takes")
    parser.add_argument("--summary", action="store_true", help="print how many names each shard holds instead")
    parser.add_argument("names", nargs="*", help="meter names; a comma-separated list is split as the job splits it")
    args = parser.parse_args(argv)
    names = [name for text in args.names for name in split_names(text)]
    if args.file is not None:
        try:
            names += read_names_file(args.file, "--file")
        except FileValueError as exc:
            print(f"prepay-enabled-flip-shard: {exc}", file=sys.stderr)
            return 1
    if not names:
        parser.error("give meter names, or --file")
    if args.summary:
        held = Counter(shard_of(name, args.count) for name in names)
        lines = [f"{shard}\t{held[shard]}" for shard in range(args.count)]
    else:
        lines = [f"{name}\t{shard_of(name, args.count)}" for name in names]
    sys.stdout.write("".join(line + "\n" for line in lines))
    return 0
