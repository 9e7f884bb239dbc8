"""Sample fleets for the demo and the end-to-end tests.

Writes the three files a local run needs: an SQLite registry, the mediator
inventory and the simulator's meter list.
"""

from __future__ import annotations

import json
import sqlite3
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from pathlib import Path

from ..util.supabase.csv_load import SCHEMA as REGISTRY_SCHEMA
from .sim import MeterBehaviour


@dataclass(frozen=True)
class SampleMeter:
    id: int
    name: str
    meter_id: str
    serial: str
    esco: str
    prepay_enabled: bool | None = True
    has_mediator: bool = True
    in_name_list: bool = True
    behaviour: MeterBehaviour = field(default_factory=MeterBehaviour)

    @property
    def selected(self) -> bool:
        """Whether the job's query picks this meter (a NULL setting is not picked)."""
        return self.in_name_list and self.prepay_enabled is True


def write_registry(path: Path, meters: Iterable[SampleMeter]) -> None:
    with sqlite3.connect(path) as conn:
        conn.execute(REGISTRY_SCHEMA)
        conn.executemany(
            "INSERT INTO meter_registry VALUES (?, ?, ?, ?, ?, ?)",
            [(m.id, m.name, m.meter_id, m.serial, m.esco, m.prepay_enabled) for m in meters],
        )
    conn.close()


def _toml_str(value: str) -> str:
    return json.dumps(value)  # a JSON string is a valid TOML basic string


def write_inventory(path: Path, meters: Iterable[SampleMeter], addresses: Mapping[str, str]) -> None:
    """One entry per meter with a mediator; ``addresses`` maps ESCO to mediator address."""
    lines: list[str] = []
    for m in meters:
        if m.has_mediator:
            lines += [
                "[[mediator]]",
                f"esco = {_toml_str(m.esco)}",
                f"id = {m.id}",
                f"serial = {_toml_str(m.serial)}",
                f"address = {_toml_str(addresses[m.esco])}",
                "",
            ]
    path.write_text("\n".join(lines), encoding="utf-8")


def write_sim_config(path: Path, meters: Iterable[SampleMeter]) -> None:
    lines: list[str] = []
    for m in meters:
        b = m.behaviour
        lines.append(f"[meters.{_toml_str(m.meter_id)}]")
        lines.append(f"prepay_enabled = {'false' if m.prepay_enabled is False else 'true'}")
        if b.latency:
            lines.append(f"latency = {b.latency}")
        if b.fail_status is not None:
            lines.append(f"fail_status = {b.fail_status}")
        if b.fail_times is not None:
            lines.append(f"fail_times = {b.fail_times}")
        if b.hang:
            lines.append("hang = true")
        if b.accept:
            lines.append("accept = true")
        if b.apply_after:
            lines.append(f"apply_after = {b.apply_after}")
        if b.apply is not None:
            lines.append(f"apply = {_toml_str(b.apply)}")
        if b.lie:
            lines.append("lie = true")
        lines.append("")
    path.write_text("\n".join(lines), encoding="utf-8")


def demo_fleet() -> list[SampleMeter]:
    """Two ESCOs; ESCO_A's meters are the ones the demo's name list names.

    Among them: three already disabled, one without a mediator, one whose
    mediator answers 503, one left out of the name list and one whose setting is
    unknown (NULL). ESCO_B's meters are not named.
    """
    meters: list[SampleMeter] = []
    for n in range(1, 21):
        special: dict[str, object] = {}
        if n in (4, 9, 15):
            special["prepay_enabled"] = False
        if n == 7:
            special["has_mediator"] = False
        if n == 12:
            special["behaviour"] = MeterBehaviour(fail_status=503)
        if n == 18:
            special["in_name_list"] = False
        if n == 20:
            special["prepay_enabled"] = None
        meters.append(
            SampleMeter(
                id=n,
                name=f"A-{n:03d}",
                meter_id=f"MTR-A{n:04d}",
                serial=f"SN-A-{1000 + n}",
                esco="ESCO_A",
                **special,  # type: ignore[arg-type]
            )
        )
    meters.extend(
        SampleMeter(
            id=100 + n,
            name=f"B-{n:03d}",
            meter_id=f"MTR-B{n:04d}",
            serial=f"SN-B-{2000 + n}",
            esco="ESCO_B",
            prepay_enabled=n % 4 != 0,
            in_name_list=False,
        )
        for n in range(1, 13)
    )
    return meters
