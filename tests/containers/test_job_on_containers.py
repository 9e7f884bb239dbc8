"""The prepay-enabled-flip process against mediators that run as containers,
found only through their labels on a real engine."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import httpx
import pytest

from job_runner import Fleet, meter, skip_unless_built
from vaxo_ortane.mediator.sample_fleet import write_registry
from vaxo_ortane.mediator.sim import MeterBehaviour
from vaxo_ortane.orchestrate.local_engine import (
    PrivatePodman,
    mediator_labels,
    published_address,
    run_mediator,
    wait_until_serving,
)

pytestmark = skip_unless_built


@dataclass
class ContainerFleet(Fleet):
    """The registry only: the mediators' addresses come from the engine."""

    def __post_init__(self) -> None:
        self.registry = self.folder / "registry.db"
        self.inventory = self.folder / "no-inventory-file.toml"
        write_registry(self.registry, self.meters)


def setting(address: str, meter_id: str) -> bool:
    response = httpx.get(f"{address}/meters/{meter_id}/prepay_enabled", timeout=5)
    response.raise_for_status()
    return bool(response.json()["value"])


@pytest.fixture(scope="module")
def mediators(engine: PrivatePodman, tmp_path_factory: pytest.TempPathFactory) -> Iterator[dict[str, Any]]:
    folder = tmp_path_factory.mktemp("mediators")
    meters = [meter(n) for n in range(1, 5)] + [
        meter(5, behaviour=MeterBehaviour(fail_status=503)),
        meter(6, has_mediator=False),
        meter(7),  # its container is stopped before the run
        meter(8),  # its container's serial label is wrong
        meter(9),  # two running containers claim it
        meter(10, prepay_enabled=False),
    ]
    containers: dict[str, Any] = {}
    for m in meters:
        if not m.has_mediator:
            continue
        labels = mediator_labels(m)
        if m.id == 8:
            labels["ortane.meter.serial"] = "SN-NOT-THIS-ONE"
        containers[m.meter_id] = run_mediator(engine.client, m, folder, engine.network_mode, labels=labels)
    containers["MTR-0009-twin"] = run_mediator(engine.client, meter(9), folder, engine.network_mode)
    addresses = {key: published_address(c) for key, c in containers.items()}
    for key, address in addresses.items():
        wait_until_serving(address, key.removesuffix("-twin"))
    containers["MTR-0007"].stop(timeout=5)
    yield {"meters": meters, "addresses": addresses, "folder": folder}
    for c in containers.values():
        c.remove(force=True)


def test_job_flips_the_meters_whose_containers_it_finds_by_label(
    mediators: dict[str, Any], engine: PrivatePodman, tmp_path: Path
) -> None:
    meters, addresses = mediators["meters"], mediators["addresses"]
    fleet = ContainerFleet(tmp_path, meters, None)  # type: ignore[arg-type]
    run = fleet.run("--esco", "ESCO_A", MEDIATOR_INVENTORY=f"docker:{engine.address}")
    assert run.status == 0, run.stderr
    assert run.summary == "4/9"
    flipped = run.events("prepay disabled")
    assert {(r["meter_id"], r["mediator_address"]) for r in flipped} == {
        (f"MTR-{n:04d}", addresses[f"MTR-{n:04d}"]) for n in range(1, 5)
    }
    assert all(setting(addresses[f"MTR-{n:04d}"], f"MTR-{n:04d}") is False for n in range(1, 5))
    # the mediator refused; the one whose serial disagrees was never written to
    assert setting(addresses["MTR-0005"], "MTR-0005") is True
    assert setting(addresses["MTR-0008"], "MTR-0008") is True
    assert all(r.get("meter_id") != "MTR-0010" for r in run.records)  # already off: not selected
    missing = sorted(r["event"] for r in run.events("No mediator container exists for meter "))
    assert missing == [f"No mediator container exists for meter SN-{1000 + n}" for n in (6, 7, 8)]
    (duplicate,) = run.events("Error processing meter: ")
    assert "meter id 9 is claimed by 2 running mediator containers" in duplicate["event"]
    assert setting(addresses["MTR-0009"], "MTR-0009") is True
    assert setting(addresses["MTR-0009-twin"], "MTR-0009") is True


def test_unreachable_engine_stops_the_job_at_start(tmp_path: Path) -> None:
    fleet = ContainerFleet(tmp_path, [meter(1)], None)  # type: ignore[arg-type]
    run = fleet.run(MEDIATOR_INVENTORY=f"docker:unix://{tmp_path}/no-engine.sock")
    assert run.status == 1
    assert run.stderr.splitlines()[-1] == (
        f"vaxo_ortane.orchestrate.adapter.inventory.InventoryError: container engine unix://{tmp_path}/no-engine.sock "
        "cannot be reached (No such file or directory); check MEDIATOR_INVENTORY and DOCKER_HOST"
    )
    assert "Starting prepay_enabled_flip job" not in run.stderr
