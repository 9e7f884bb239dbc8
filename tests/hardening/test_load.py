"""A fleet-sized run under load: five workers, the real structured logger, mediators
that are slow and fail at random. Every meter must end in exactly one outcome
record, the summary must count the successes exactly, and every record must be a
whole JSON line.
"""

import collections
import json
import random
import time

from hardening_support import JOB
from vaxo_ortane.mediator.mediator_client_exception import MediatorClientException
from vaxo_ortane.util.logging import get_logger

ROWS = 20_000
OUTCOMES = ("success", "mediator_failure", "other_failure", "no_mediator", "adapter_raises")


class Registry:
    def __init__(self, rows):
        self.rows = rows

    def __getattr__(self, name):
        if name == "execute":
            return lambda: type("Response", (), {"data": self.rows})()
        return lambda *args: self


def test_fleet_run_keeps_one_outcome_per_meter_and_exact_count(mod, tmp_path):
    rng = random.Random(20_000)
    rows = [{"id": i, "meter_id": f"MID{i}", "serial": f"SN{i:05d}", "name": f"M-{i}"} for i in range(ROWS)]
    plan = {row["meter_id"]: (rng.choice(OUTCOMES), rng.random() / 1000) for row in rows}

    class Adapter:
        def mediator_address(self, meter_id, serial):
            outcome = plan[f"MID{meter_id}"][0]
            if outcome == "adapter_raises":
                raise LookupError(f"inventory has no entry for {serial}")
            return None if outcome == "no_mediator" else f"tcp://mediator-{meter_id % 40}:7000"

    class Client:
        def __init__(self, *, mediator_address, meter_id):
            self.outcome, self.latency = plan[meter_id]
            self.meter_id, self.address = meter_id, mediator_address

        def prepay_enabled_write(self, value):
            time.sleep(self.latency)
            if self.outcome == "mediator_failure":
                raise MediatorClientException(
                    "mediator answered 503", meter_id=self.meter_id, address=self.address, status=503
                )
            if self.outcome == "other_failure":
                raise ConnectionResetError("connection reset by mediator")

    log_path = tmp_path / "job.jsonl"
    with open(log_path, "w", encoding="utf-8") as stream:
        mod.logger = get_logger(JOB, mod.__file__, stream=stream, environ={})
        mod.get_instance = lambda *, esco: Adapter()
        mod.supa_client = lambda url, key, role_key: Registry(rows)
        mod.OrtaneMediatorClient = Client
        job = mod.PrepayEnabledFlipAllJob("ESCO-LOAD")
        started = time.perf_counter()
        job.run()
        duration = time.perf_counter() - started
    print(f"\nfleet run: {ROWS} rows in {duration:.1f} s")

    with open(log_path, encoding="utf-8") as lines:
        records = [json.loads(line) for line in lines]

    def meter_of(record):
        """The serial an outcome record is about, or None for other records."""
        event = record["event"]
        if event in (
            "prepay disabled",
            "Mediator client failure",
            "Unknown failure during prepay_enabled flag disable",
        ):
            return record["serial"]
        for prefix in (
            "No mediator container exists for meter ",
            "Error processing meter: inventory has no entry for ",
        ):
            if event.startswith(prefix):
                return event[len(prefix) :]
        return None

    per_meter = collections.Counter(meter_of(r) for r in records)
    per_meter.pop(None, None)
    assert per_meter == collections.Counter(row["serial"] for row in rows), (
        "some meter has no outcome record, or more than one"
    )

    expected = collections.Counter(outcome for outcome, _ in plan.values())
    finished = [r["event"] for r in records if r["event"].startswith("Finished")]
    assert finished == [f"Finished prepay_enabled_flip job. Success: {expected['success']}/{ROWS}"]
    assert all(r["esco"] == "ESCO-LOAD" for r in records if "esco" in r)
    failures = [r for r in records if r["event"] == "Mediator client failure"]
    assert len(failures) == expected["mediator_failure"]
    assert all(
        r["error"] == "MediatorClientException: mediator answered 503" and r["exception"].startswith("Traceback")
        for r in failures
    )
    # Start, processing and summary, plus per meter: the row record, then the
    # "run_job" record and the flip's own record, or the one error in their place.
    per_outcome = {"success": 3, "mediator_failure": 3, "other_failure": 3, "no_mediator": 2, "adapter_raises": 2}
    assert len(records) == 3 + sum(per_outcome[o] * n for o, n in expected.items())
