"""The mediator inventory: which mediator container serves which meter.

The inventory is a TOML file with one ``[[mediator]]`` table per container::

    [[mediator]]
    esco = "ESCO_A"
    id = 17                  # the meter's registry row id (column ``id``)
    serial = "SN-0017"
    address = "http://10.0.0.5:8080"

``id`` is the registry row's ``id``, not its ``meter_id``: that is what the jobs
look meters up by. Ids and serials match as text, so ``id = 17`` and
``id = "17"`` name the same meter whichever type the registry returns.
"""

from __future__ import annotations

import itertools
import re
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from types import MappingProxyType
from typing import Any

import rtoml

from vaxo_ortane.mediator.client import split_address
from vaxo_ortane.util.text_files import TextFileError, read_utf8

ENTRY_KEYS = frozenset({"esco", "id", "serial", "address"})


class InventoryError(Exception):
    """The mediator inventory cannot be read, or is malformed or ambiguous about a meter."""


@dataclass(frozen=True, slots=True)
class MediatorEntry:
    esco: str
    id: str
    serial: str
    address: str


def match_key(value: object) -> str | None:
    """The text an id or serial is matched by; None for what can never match."""
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str) and value.strip():
        return value.strip()
    return None


def _entry(path: Path, index: int, raw: Any) -> MediatorEntry:
    where = f"{path}: mediator entry {index + 1}"
    if not isinstance(raw, dict):
        raise InventoryError(f"{where} is not a table")
    unknown = set(raw) - ENTRY_KEYS
    missing = ENTRY_KEYS - set(raw)
    if unknown or missing:
        problems = []
        if missing:
            problems.append(f"lacks {', '.join(sorted(missing))}")
        if unknown:
            problems.append(f"has unknown keys {', '.join(sorted(unknown))}")
        raise InventoryError(f"{where} {' and '.join(problems)}")
    esco = raw["esco"]
    if not isinstance(esco, str) or not esco.strip():
        raise InventoryError(f"{where}: esco must be a non-empty string")
    meter_id, serial = match_key(raw["id"]), match_key(raw["serial"])
    if meter_id is None:
        raise InventoryError(f"{where}: id must be an integer or a non-empty string")
    if serial is None:
        raise InventoryError(f"{where}: serial must be an integer or a non-empty string")
    address = raw["address"]
    if not _usable_address(address):
        raise InventoryError(
            f"{where} (id {meter_id}): address must be an http(s) URL with a host, "
            "a valid port if any, and no credentials, query or fragment"
        )
    return MediatorEntry(esco.strip(), meter_id, serial, address.rstrip("/"))


def _usable_address(address: object) -> bool:
    # What the mediator client accepts: a bad port or a stray bracket found here
    # stops the run at start instead of failing meter by meter. Credentials are
    # refused because the job logs each meter's address in its records.
    parts = split_address(address)
    return (
        parts is not None
        and parts.scheme in ("http", "https")
        and bool(parts.hostname)
        and parts.username is None
        and parts.password is None
        and not parts.query
        and not parts.fragment
    )


def load_entries(path: Path) -> list[MediatorEntry]:
    # rtoml (compiled) reads a fleet's inventory some ten times faster than tomllib,
    # which took ~25-45 us an entry: a visible share of a run's start-up.
    try:
        text = read_utf8(path)
    except TextFileError as exc:
        said = "does not exist; check MEDIATOR_INVENTORY" if exc.missing else str(exc)
        raise InventoryError(f"mediator inventory {path} {said}") from None
    cuts = [match.start() for match in _TABLE_LINE.finditer(text)][CHUNK_TABLES::CHUNK_TABLES]
    if cuts:
        # A part of CHUNK_TABLES tables at a time: parsed whole, a million tables took
        # 2.6 GB at once. A part that does not parse (cut inside a multi-line string, or
        # a file that is not TOML) has the whole file parsed, for the same tables or the
        # same error as ever; so does an entry's error, which a later part's could precede.
        entries: list[MediatorEntry] = []
        try:
            for begin, end in itertools.pairwise([0, *cuts, len(text)]):
                entries += _entries(path, rtoml.loads(text[begin:end]), len(entries))
        except (rtoml.TomlParsingError, InventoryError):
            pass
        else:
            return entries
    try:
        document = rtoml.loads(text)
    except rtoml.TomlParsingError as exc:
        raise InventoryError(f"mediator inventory {path} is not valid TOML: {exc}") from None
    return _entries(path, document, 0)


# A line that opens a mediator's table, where a large inventory may be cut.
_TABLE_LINE = re.compile(r"^\[\[mediator\]\][ \t]*$", re.MULTILINE)
CHUNK_TABLES = 10_000


def _entries(path: Path, document: dict[str, Any], first: int) -> list[MediatorEntry]:
    extra = set(document) - {"mediator"}
    if extra:
        raise InventoryError(f"{path}: unknown top-level keys {', '.join(sorted(extra))}; expected [[mediator]] tables")
    raw_entries = document.get("mediator", [])
    if not isinstance(raw_entries, list):
        raise InventoryError(f"{path}: 'mediator' must be an array of tables, [[mediator]]")
    return [_entry(path, first + i, raw) for i, raw in enumerate(raw_entries)]


def _key(meter_id: str, serial: str) -> str:
    # One text for the pair, the id's length first: no two pairs share a key.
    return f"{len(meter_id)}:{meter_id}{serial}"


class MediatorInventory:
    """Mediator addresses by meter, for one ESCO or all.

    Built once and never changed, so ``mediator_address`` needs no lock.
    """

    def __init__(self, path: Path, entries: list[MediatorEntry], esco: str | None) -> None:
        # One text key a meter, and each mediator's address once however many meters
        # it serves: a fleet's inventory is kept in a few hundred bytes a meter less.
        by_meter: dict[str, str] = {}
        addresses: dict[str, str] = {}
        for index, entry in enumerate(entries):
            if esco is not None and entry.esco != esco:
                continue
            key = _key(entry.id, entry.serial)
            address = addresses.setdefault(entry.address, entry.address)
            if by_meter.setdefault(key, address) != address:
                # Named as before: the latest entry for the meter, then this one.
                known = next(
                    e
                    for e in reversed(entries[:index])
                    if (e.id, e.serial) == (entry.id, entry.serial) and (esco is None or e.esco == esco)
                )
                raise InventoryError(
                    f"{path}: meter id {entry.id} serial {entry.serial} has two mediators, "
                    f"{known.address} ({known.esco}) and {entry.address} ({entry.esco})"
                )
        self.path = path
        self.esco = esco
        self._by_meter: Mapping[str, str] = MappingProxyType(by_meter)

    def __len__(self) -> int:
        return len(self._by_meter)

    def mediator_address(self, meter_id: object, serial: object) -> str | None:
        """The address of the mediator serving this meter, or None if there is none."""
        meter_key, serial_key = match_key(meter_id), match_key(serial)
        if meter_key is None or serial_key is None:
            return None
        address = self._by_meter.get(_key(meter_key, serial_key))
        return None if address is None else str(address)

    def __repr__(self) -> str:
        scope = "all ESCOs" if self.esco is None else f"ESCO {self.esco!r}"
        return f"<MediatorInventory {self.path} for {scope}: {len(self)} meters>"
