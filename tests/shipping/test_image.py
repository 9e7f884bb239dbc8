"""The image as the Indexed Job's four pods on a private podman engine, one
mediator container per meter (see demo/run_demo_shards.py), over mutual TLS with a
token; one container, labelled for its meter, holds a certificate from another CA."""

from __future__ import annotations

import time
from collections import Counter
from collections.abc import Iterator

import pytest

from run_demo_shards import SHARDS, IndexedJob, records
from vaxo_ortane.launcher.run.shards import shard_of
from vaxo_ortane.mediator.sample_fleet import SampleMeter
from vaxo_ortane.mediator.sim import MeterBehaviour
from vaxo_ortane.orchestrate.local_engine import PrivatePodman

OUTCOMES = ("prepay disabled", "Mediator client failure")


@pytest.fixture(scope="module")
def job(engine: PrivatePodman, image: str, tmp_path_factory: pytest.TempPathFactory) -> Iterator[IndexedJob]:
    # Shard 0 gets more meters than one round of five writes: a stop finds some queued.
    left, numbers = [7, 3, 3, 3], []
    for n in range(1, 1000):
        if left[shard := shard_of(f"S-{n:04d}", SHARDS)]:
            left[shard] -= 1
            numbers.append(n)
    # one named but its setting unknown, one not named: neither may be written; and one
    # outside shard 0 whose labelled container is an impostor: it must get no request
    options: list[dict[str, object]] = [{}] * len(numbers) + [{"prepay_enabled": None}, {"in_name_list": False}, {}]
    impostor = next(n for n in range(9003, 9100) if shard_of(f"S-{n:04d}", SHARDS))
    meters = [
        SampleMeter(
            id=n,
            name=f"S-{n:04d}",
            meter_id=f"MTR-S{n:04d}",
            serial=f"SN-S-{n}",
            esco="ESCO_A",
            behaviour=MeterBehaviour(latency=1.0),
            **o,
        )
        for n, o in zip([*numbers, 9001, 9002, impostor], options, strict=True)
    ]
    folder = tmp_path_factory.mktemp("indexed-job")
    made = IndexedJob(engine, meters, folder, image).prepare(meters, strangers=[f"MTR-S{impostor:04d}"])
    yield made
    made.remove()


def test_four_shards_switch_off_each_selected_meter_once(job: IndexedJob) -> None:
    ended = job.run()
    assert [status for status, _ in ended] == [0] * SHARDS, ended
    kept = Counter(shard_of(m.name, SHARDS) for m in job.meters if m.in_name_list)
    for index, (_, log) in enumerate(ended):
        (announced,) = [r for r in log if r["event"].startswith(f"Shard {index} of {SHARDS}: ")]
        assert (announced["names"], announced["total_names"]) == (kept[index], kept.total())
    flipped = Counter(r["meter_id"] for _, log in ended for r in log if r["event"] == "prepay disabled")
    genuine = {m.meter_id: int(m.selected and m.id < 9003) for m in job.meters}
    assert flipped == Counter(meter_id for meter_id, n in genuine.items() if n)
    assert {m.meter_id: job.writes(m.meter_id) for m in job.meters} == genuine
    (refused,) = [r for _, log in ended for r in log if r["event"] == "Mediator client failure"]
    assert "CERTIFICATE_VERIFY_FAILED" in refused["error"] and genuine[refused["meter_id"]] == 0


def test_stopped_shard_ends_with_the_stop_status_and_every_meter_recorded(job: IndexedJob) -> None:
    mine = {m.meter_id for m in job.meters if m.selected and shard_of(m.name, SHARDS) == 0}
    before = {meter_id: job.writes(meter_id) for meter_id in mine}
    shard, deadline = job.start_shard(0), time.monotonic() + 60
    while all(job.writes(meter_id) == before[meter_id] for meter_id in mine):
        assert time.monotonic() < deadline, records(shard)
        time.sleep(0.05)
    shard.stop(timeout=60)  # SIGTERM while the first five writes are in flight
    assert shard.wait(timeout=90)["StatusCode"] == 143
    log = records(shard)
    outcomes = [r for r in log if r["event"] in OUTCOMES]
    assert sorted(r["meter_id"] for r in outcomes) == sorted(mine)  # one each
    refused = {
        r["meter_id"] for r in outcomes if "not attempted because the job is stopping (SIGTERM)" in str(r.get("error"))
    }
    assert 0 < len(refused) < len(mine)
    assert {k: job.writes(k) - before[k] for k in mine} == {k: int(k not in refused) for k in mine}
    assert log[-2]["event"] == "Stopped on SIGTERM: exit status 143"
    assert (log[-1]["exit_status"], log[-1]["failed_by_cause"]["stopped"]) == (143, len(refused))  # the summary
