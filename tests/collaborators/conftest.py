"""Fixtures for testing the collaborators one at a time."""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from postgrest_double import PostgrestDouble

from vaxo_ortane.mediator.sample_fleet import SampleMeter, write_registry

ANON = "anon-key-7f3a9c"
ROLE = "role-key-d41e0b"


def registry_rows(meters: list[SampleMeter]) -> list[dict[str, Any]]:
    return [
        {"id": m.id, "name": m.name, "meter_id": m.meter_id, "serial": m.serial,
         "esco": m.esco, "prepay_enabled": m.prepay_enabled}
        for m in meters
    ]


def meters(count: int, start: int = 1) -> list[SampleMeter]:
    return [
        SampleMeter(id=i, name=f"M-{i:05d}", meter_id=f"MID{i}", serial=f"SN{i}", esco="E",
                    prepay_enabled=(None, True, False)[i % 3] if i % 7 == 0 else True)
        for i in range(start, start + count)
    ]


@pytest.fixture
def sqlite_registry(tmp_path: Path) -> Any:
    def make(fleet: list[SampleMeter]) -> Path:
        path = tmp_path / "registry.db"
        write_registry(path, fleet)
        return path

    return make


@pytest.fixture
def postgrest() -> Iterator[Any]:
    started: list[PostgrestDouble] = []

    def make(rows: list[dict[str, Any]], **options: Any) -> PostgrestDouble:
        double = PostgrestDouble(rows, ANON, ROLE, **options).start()
        started.append(double)
        return double

    yield make
    for double in started:
        double.stop()

