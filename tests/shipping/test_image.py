"""The image run as an Indexed Job runs it: K = 4 job containers, each given its
JOB_COMPLETION_INDEX, the names file and the key files mounted read-only, a
read-only root and no capabilities, against one mediator container per meter."""

from __future__ import annotations

import json
import os
import time
from collections import Counter
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import httpx
import pytest

from vaxo_ortane.jobs.shards import shard_of
from vaxo_ortane.mediator.sample_fleet import SampleMeter, write_registry
from vaxo_ortane.mediator.sim import MeterBehaviour
from vaxo_ortane.orchestrate.local_engine import PrivatePodman, published_address, run_mediator, wait_until_serving

ESCO = "ESCO_S"
K = 4
# Shard 0 holds more names than one round of five writes: a stop finds some queued.
PER_SHARD = (7, 3, 3, 3)
LATENCY = 1.0
CONFIG = "/etc/prepay-enabled-flip"
OUTCOMES = ("prepay disabled", "Mediator client failure")


def sample_fleet() -> list[SampleMeter]:
    """Selected meters, PER_SHARD of them in each shard; one named with its setting
    unknown, and one not named."""
    meters: list[SampleMeter] = []
    wanted = list(PER_SHARD)
    n = 0
    while any(wanted):
        n += 1
        if wanted[shard := shard_of(f"S-{n:04d}", K)]:
            wanted[shard] -= 1
            meters.append(sample_meter(n))
    return [*meters, sample_meter(n + 1, prepay_enabled=None), sample_meter(n + 2, in_name_list=False)]


def sample_meter(n: int, **options: Any) -> SampleMeter:
    return SampleMeter(id=n, name=f"S-{n:04d}", meter_id=f"MTR-S{n:04d}", serial=f"SN-S-{n}", esco=ESCO,
                       behaviour=MeterBehaviour(latency=LATENCY), **options)


@pytest.fixture(scope="module")
def deployment(engine: PrivatePodman, image: str, tmp_path_factory: pytest.TempPathFactory) -> Iterator[Any]:
    folder = tmp_path_factory.mktemp("indexed-job")
    meters = sample_fleet()
    for sub in ("names", "keys", "registry"):
        (folder / sub).mkdir()
    write_registry(folder / "registry" / "registry.db", meters)
    (folder / "names" / "names").write_text("".join(f"{m.name}\n" for m in meters if m.in_name_list))
    for key, value in (("supabase-url", "sqlite:///registry/registry.db"), ("supabase-anon-key", "anon-test"),
                       ("tramu-role-key", "role-test")):
        (folder / "keys" / key).write_text(value + "\n")
    os.chmod(engine.socket, 0o666)  # the job runs as uid 10001; the socket is in a root-only folder
    mediators = {m.meter_id: run_mediator(engine.client, m, folder, engine.network_mode, verbose=True)
                 for m in meters}
    addresses = {meter_id: published_address(c) for meter_id, c in mediators.items()}
    for meter_id, address in addresses.items():
        wait_until_serving(address, meter_id)
    yield meters, folder, mediators, addresses
    for c in mediators.values():
        c.remove(force=True)


def start_shard(engine: PrivatePodman, image: str, folder: Path, index: int) -> Any:
    """One pod of the Indexed Job in deploy/kubernetes, as the engine can run it."""
    keys = f"{CONFIG}/keys"
    container = engine.client.containers.create(
        image, ["--esco", ESCO], name=f"shard-{index}-{os.urandom(3).hex()}",
        environment={
            "FLIP_SHARD_COUNT": str(K), "JOB_COMPLETION_INDEX": str(index),
            "PREPAY_DISABLED_METER_NAMES_FILE": f"{CONFIG}/names/names",
            "SUPABASE_URL_FILE": f"{keys}/supabase-url", "SUPABASE_ANON_KEY_FILE": f"{keys}/supabase-anon-key",
            "TRAMU_ROLE_KEY_FILE": f"{keys}/tramu-role-key",
            "MEDIATOR_INVENTORY": "docker:unix:///run/engine.sock",
        },
        volumes={str(folder / "names"): {"bind": f"{CONFIG}/names", "mode": "ro"},
                 str(folder / "keys"): {"bind": keys, "mode": "ro"},
                 str(folder / "registry"): {"bind": "/registry", "mode": "ro"},
                 str(engine.socket): {"bind": "/run/engine.sock", "mode": "rw"}},
        # The host's network: the mediators' ports are published on its 127.0.0.1.
        network_mode="host", read_only=True, cap_drop=["ALL"], security_opt=["no-new-privileges"],
    )
    container.start()
    return container


def records(container: Any) -> list[dict[str, Any]]:
    lines = container.logs(stdout=False, stderr=True).decode().splitlines()
    return [json.loads(line) for line in lines]


def writes(mediator: Any, meter_id: str) -> int:
    log = mediator.logs(stdout=False, stderr=True).decode()
    return log.count(f" PUT /meters/{meter_id}/prepay_enabled ")


def setting(address: str, meter_id: str) -> bool:
    return bool(httpx.get(f"{address}/meters/{meter_id}/prepay_enabled", timeout=5).json()["value"])


def test_four_shards_switch_off_each_selected_meter_once(engine: PrivatePodman, image: str, deployment: Any) -> None:
    meters, folder, mediators, addresses = deployment
    shards = [start_shard(engine, image, folder, i) for i in range(K)]
    statuses = [c.wait(timeout=120)["StatusCode"] for c in shards]
    logs = [records(c) for c in shards]
    assert statuses == [0] * K, logs
    named = sum(m.in_name_list for m in meters)
    kept = Counter(shard_of(m.name, K) for m in meters if m.in_name_list)
    for index, log in enumerate(logs):
        (announced,) = [r for r in log if str(r["event"]).startswith(f"Shard {index} of {K}: ")]
        assert (announced["names"], announced["total_names"]) == (kept[index], named)
    flipped = Counter(r["meter_id"] for log in logs for r in log if r["event"] == "prepay disabled")
    selected = {m.meter_id for m in meters if m.selected}
    assert flipped == Counter(selected)
    for m in meters:
        assert writes(mediators[m.meter_id], m.meter_id) == (m.meter_id in selected)
        assert setting(addresses[m.meter_id], m.meter_id) is (m.meter_id not in selected)


def test_stopped_shard_ends_with_the_stop_status_and_every_meter_recorded(
    engine: PrivatePodman, image: str, deployment: Any
) -> None:
    meters, folder, mediators, _ = deployment
    mine = [m for m in meters if m.selected and shard_of(m.name, K) == 0]
    before = {m.meter_id: writes(mediators[m.meter_id], m.meter_id) for m in mine}
    shard = start_shard(engine, image, folder, 0)
    deadline = time.monotonic() + 60
    while not any(writes(mediators[m.meter_id], m.meter_id) > before[m.meter_id] for m in mine):
        assert time.monotonic() < deadline, records(shard)
        time.sleep(0.05)
    shard.stop(timeout=60)  # SIGTERM while the first five writes are in flight
    assert shard.wait(timeout=90)["StatusCode"] == 143
    log = records(shard)
    outcomes = [r for r in log if str(r["event"]).startswith(OUTCOMES)]
    assert sorted(r["meter_id"] for r in outcomes) == sorted(m.meter_id for m in mine)
    refused = {r["meter_id"] for r in outcomes if "not attempted because the job is stopping (SIGTERM)" in
               str(r.get("error"))}
    assert 0 < len(refused) < len(mine)
    for m in mine:
        assert writes(mediators[m.meter_id], m.meter_id) == before[m.meter_id] + (m.meter_id not in refused)
    assert log[-1]["event"] == "Stopped on SIGTERM: exit status 143"
