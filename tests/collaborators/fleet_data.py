"""Meters and keys shared by the collaborator tests."""

from __future__ import annotations

from typing import Any

from vaxo_ortane.mediator.sample_fleet import SampleMeter

ANON = "anon-key-7f3a9c"
ROLE = "role-key-d41e0b"


def registry_rows(meters: list[SampleMeter]) -> list[dict[str, Any]]:
    return [
        {
            "id": m.id,
            "name": m.name,
            "meter_id": m.meter_id,
            "serial": m.serial,
            "esco": m.esco,
            "prepay_enabled": m.prepay_enabled,
        }
        for m in meters
    ]


def meters(count: int, start: int = 1) -> list[SampleMeter]:
    return [
        SampleMeter(
            id=i,
            name=f"M-{i:05d}",
            meter_id=f"MID{i}",
            serial=f"SN{i}",
            esco="E",
            prepay_enabled=(None, True, False)[i % 3] if i % 7 == 0 else True,
        )
        for i in range(start, start + count)
    ]
