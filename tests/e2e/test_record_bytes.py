"""A run's records, field by field and in each record's field order, against the
records the job wrote before its logger and client were made cheaper.

``record_bytes.json`` holds those records, made from commit f676017 (main before
that work) by running this file with that commit's installation, in its own
venv, with ``RECORDS_FIXTURE=write``:

    RECORDS_FIXTURE=write /path/to/f676017/.venv/bin/python -m pytest tests/e2e/test_record_bytes.py

What a run cannot repeat is put aside: each time stamp's value (its layout is
checked), the mediator's port, the ledger's path, the run's id, seconds and rate, and
the traceback's frames (their files and lines move with any change of code; the
traceback's first line and the exception's lines stay).
"""

from __future__ import annotations

import json
import os
import re
from dataclasses import replace
from pathlib import Path
from typing import Any

import pytest

from job_runner import Run, meter, skip_unless_built
from vaxo_ortane.mediator.sim import MeterBehaviour

pytestmark = skip_unless_built

FIXTURE = Path(__file__).with_name("record_bytes.json")
STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?Z")
VARYING = {"seconds", "rate", "eta_seconds", "duration_seconds", "run_id"}

CASES = {
    "defaults": {},
    "unwatched": {"FLIP_PROGRESS_SECONDS": "0"},
    "ledger": {"FLIP_LEDGER": "sqlite:///{folder}/ledger.db", "FLIP_ROLLOUT": "r1"},
    "errors only": {"LOG_LEVEL": "error"},
}


def normalized(run: Run, address: str, folder: Path) -> list[list[list[Any]]]:
    """Each record as its (field, value) pairs in order, the unrepeatable parts put aside;
    the records sorted, since five workers interleave them."""
    records = []
    for line in run.stderr.splitlines():
        fields = []
        for key, value in json.loads(line).items():
            if key == "timestamp":
                assert STAMP.fullmatch(value), value
                value = "<time>"
            elif key in VARYING:
                value = "<varies>"
            elif key == "exception" and isinstance(value, str):
                value = [text for text in value.splitlines() if not text.startswith(" ")]
            text = json.dumps(value).replace(address, "<mediator>").replace(str(folder), "<folder>")
            fields.append([key, json.loads(text)])
        records.append(fields)
    return sorted(records, key=json.dumps)


@pytest.mark.parametrize("case", CASES)
def test_records_keep_every_field_and_text(fleet: Any, tmp_path: Path, case: str) -> None:
    meters = [
        *(meter(n) for n in range(1, 5)),
        meter(5, behaviour=MeterBehaviour(fail_status=503)),
        meter(6, has_mediator=False),
        meter(7, prepay_enabled=False),
        meter(8, behaviour=MeterBehaviour(fail_status=404)),
        replace(meter(9), meter_id=""),  # refused by the client's constructor
    ]
    f = fleet(meters)
    env = {key: value.format(folder=tmp_path) for key, value in CASES[case].items()}
    run = f.run("--esco", "ESCO_A", MEDIATOR_RETRIES="1", **env)
    assert run.status == 0, run.stderr
    records = normalized(run, f.sim.address, tmp_path)
    if os.environ.get("RECORDS_FIXTURE") == "write":
        made = json.loads(FIXTURE.read_text()) if FIXTURE.exists() else {}
        made[case] = records
        # One case a line: the file stays small, and a changed case shows as one line.
        lines = (f"{json.dumps(name)}: {json.dumps(made[name], ensure_ascii=False)}" for name in sorted(made))
        FIXTURE.write_text("{\n" + ",\n".join(lines) + "\n}\n")
    expected = json.loads(FIXTURE.read_text())[case]
    assert len(records) == len(expected)
    for got, want in zip(records, expected, strict=True):
        assert got == want
