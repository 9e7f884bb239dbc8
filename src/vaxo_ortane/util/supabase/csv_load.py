"""``vaxo-registry-load FLEET.csv REGISTRY.db``: an embedded registry from a CSV file.

The CSV file has a header row naming at least the columns of ``meter_registry``
(others are ignored). ``prepay_enabled`` is true or false (also t/f, yes/no,
1/0), or empty for NULL. Every row is checked before anything is written, and
the registry file appears whole or not at all.

Not the sqlite3 shell's ``.import``: it stores "false" and an empty field as
text, and text is never equal to false, so the job would select both meters.
"""

from __future__ import annotations

import argparse
import csv
import io
import os
import sqlite3
import sys
import tempfile
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any

from ..text_files import TextFileError, read_utf8

SCHEMA = """
CREATE TABLE meter_registry (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL,
    meter_id TEXT NOT NULL,
    serial TEXT NOT NULL,
    esco TEXT NOT NULL,
    prepay_enabled BOOLEAN
)
"""
COLUMNS = ("id", "name", "meter_id", "serial", "esco", "prepay_enabled")
TEXT_COLUMNS = ("name", "meter_id", "serial", "esco")
BOOLEANS = {"true": True, "t": True, "yes": True, "1": True, "false": False, "f": False, "no": False, "0": False}


class LoadError(Exception):
    """The CSV file cannot become a registry; the message names file and line."""


def read_rows(path: Path, lines: Iterable[str]) -> Iterator[tuple[Any, ...]]:
    reader = csv.DictReader(lines)
    header = [c.strip() for c in reader.fieldnames or []]
    missing = [c for c in COLUMNS if c not in header]
    if missing:
        raise LoadError(f"{path}: the header row lacks the column(s) {', '.join(missing)}")
    reader.fieldnames = header
    seen: dict[int, int] = {}
    for record in reader:
        line = reader.line_num
        if None in record or any(record[c] is None for c in COLUMNS):
            raise LoadError(f"{path} line {line}: the row has a different number of fields than the header")
        raw_id = record["id"].strip()
        try:
            meter_id = int(raw_id)
        except ValueError:
            raise LoadError(f"{path} line {line}: id {raw_id!r} is not a whole number") from None
        if meter_id in seen:
            raise LoadError(f"{path} line {line}: id {meter_id} is already used on line {seen[meter_id]}")
        seen[meter_id] = line
        texts = []
        for column in TEXT_COLUMNS:
            value = record[column].strip()
            if not value:
                raise LoadError(f"{path} line {line}: {column} is empty")
            texts.append(value)
        raw_setting = record["prepay_enabled"].strip()
        if raw_setting and raw_setting.lower() not in BOOLEANS:
            raise LoadError(f"{path} line {line}: prepay_enabled {raw_setting!r} is not true, false or empty (NULL)")
        yield (meter_id, *texts, BOOLEANS[raw_setting.lower()] if raw_setting else None)


def load(csv_path: Path, registry: Path, replace: bool = False) -> int:
    """Write ``registry`` from ``csv_path``; the number of meters written."""
    if registry.exists() and not replace:
        raise LoadError(f"{registry} already exists; pass --replace to overwrite it")
    folder = registry.absolute().parent
    if not folder.is_dir():
        raise LoadError(f"the folder {folder} does not exist; create it first (mkdir -p {folder})")
    try:
        text = read_utf8(csv_path).removeprefix("\ufeff")
        rows = list(read_rows(csv_path, io.StringIO(text, newline="")))
    except TextFileError as exc:
        raise LoadError(f"{csv_path} {exc}") from None
    except csv.Error as exc:
        raise LoadError(f"{csv_path}: {exc}") from None
    fd, temporary = tempfile.mkstemp(prefix=f".{registry.name}.", dir=folder)
    os.close(fd)
    try:
        conn = sqlite3.connect(temporary)
        try:
            with conn:
                conn.execute(SCHEMA)
                conn.executemany("INSERT INTO meter_registry VALUES (?, ?, ?, ?, ?, ?)", rows)
        finally:
            conn.close()
        os.chmod(temporary, 0o644)  # mkstemp's 0600 would hide it from the job's account
        os.replace(temporary, registry)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise
    return len(rows)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="vaxo-registry-load", description="Build an embedded meter registry (SQLite) from a CSV file."
    )
    parser.add_argument("csv", type=Path, help="CSV file with a header row: " + ",".join(COLUMNS))
    parser.add_argument("registry", type=Path, help="SQLite file to write; SUPABASE_URL=sqlite:///ITS/PATH")
    parser.add_argument("--replace", action="store_true", help="overwrite an existing registry file")
    args = parser.parse_args(argv)
    try:
        count = load(args.csv, args.registry, args.replace)
    except (LoadError, sqlite3.Error, OSError) as exc:
        print(f"vaxo-registry-load: {exc}", file=sys.stderr)
        return 1
    print(f"wrote {count} meters to {args.registry}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
