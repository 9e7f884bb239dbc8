"""Settings from files and sharded runs of the real prepay-enabled-flip process."""

from __future__ import annotations

import json
import os
import subprocess
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from job_runner import ANON, ROLE, SCRIPT, SUMMARY, meter, skip_unless_built
from test_operating import plan
from test_stopping import JobProcess
from vaxo_ortane.launcher.run.shards import Shard, ShardRun, shard_of
from vaxo_ortane.launcher.settings.environment import job_inputs

SECRET = "file-secret-71c3e0d2"
NAMES = "PREPAY_DISABLED_METER_NAMES"


def _half(index: int) -> dict[str, str | bytes | None]:
    # A-002 is already off: its shard selects nothing, the other holds no name.
    return {NAMES: "A-002", "FLIP_SHARD_COUNT": "2", "FLIP_SHARD_INDEX": str(index)}


@skip_unless_built
@pytest.mark.parametrize(
    "env, status, needle",
    [
        # An unusable settings file (bytes: written to a file, its path set): named, its content never shown.
        ({"SUPABASE_ANON_KEY_FILE": SECRET.encode()}, 1, "SUPABASE_ANON_KEY and SUPABASE_ANON_KEY_FILE are both set"),
        ({"TRAMU_ROLE_KEY": None, "TRAMU_ROLE_KEY_FILE": "/nonexistent/role"}, 1, "/nonexistent/role cannot be read"),
        ({"TRAMU_ROLE_KEY": None, "TRAMU_ROLE_KEY_FILE": b"\xff" + SECRET.encode()}, 1, "is not UTF-8 text"),
        ({NAMES: None, f"{NAMES}_FILE": f"A-001\n\n{SECRET},x\n".encode()}, 1, "line 3: a meter name holds a comma"),
        ({NAMES: None, f"{NAMES}_FILE": b" \n\n"}, 1, "holds no meter name"),
        # A bad shard, threshold or report setting, named.
        ({"FLIP_SHARD_COUNT": "two", "FLIP_SHARD_INDEX": "0"}, 2, "FLIP_SHARD_COUNT"),
        ({"FLIP_SHARD_COUNT": "0", "FLIP_SHARD_INDEX": "0"}, 2, "FLIP_SHARD_COUNT"),
        ({"FLIP_SHARD_COUNT": "4", "JOB_COMPLETION_INDEX": "4"}, 2, "JOB_COMPLETION_INDEX"),
        ({"FLIP_SHARD_COUNT": "4", "FLIP_SHARD_INDEX": "-1", "JOB_COMPLETION_INDEX": "1"}, 2, "FLIP_SHARD_INDEX"),
        ({"FLIP_SHARD_COUNT": "4"}, 2, "JOB_COMPLETION_INDEX"),
        ({"FLIP_MAX_FAILURES": "0%"}, 2, "FLIP_MAX_FAILURES='0%' must be a count"),
        ({"FLIP_PROGRESS_SECONDS": "-5"}, 2, "FLIP_PROGRESS_SECONDS='-5' must be a number of at least 0"),
        ({"FLIP_PROGRESS_SECONDS": "0.0001"}, 2, "FLIP_PROGRESS_SECONDS must be 0 (no progress records) or at least 1"),
        ({"FLIP_REPORT": "/nonexistent/run.json"}, 2, "FLIP_REPORT='/nonexistent/run.json': the report must be a file"),
        ({"FLIP_REPORT": "{tmp}/"}, 2, "it names a folder, not a file"),
        ({"FLIP_REPORT": "{tmp}/run.rerun"}, 2, "that is the name of its own rerun list"),
        ({"FLIP_REPORT": "{tmp}/" + "r" * 245 + ".json"}, 2, "is too long for the temporary file written beside it"),
        # A Pushgateway address that cannot work: named, its password never shown.
        ({"PUSHGATEWAY_URL": "http://[bad"}, 2, "PUSHGATEWAY_URL='http://[bad' is not a Pushgateway address"),
        ({"PUSHGATEWAY_URL": f"http://flip:{SECRET}@[::1"}, 2, "'http://(credentials not shown)@[::1' is not a"),
        (
            {"PUSHGATEWAY_URL": f"http://flip:{SECRET}/x@host"},
            2,
            "PUSHGATEWAY_URL='http://(credentials not shown)@host'",
        ),
        ({"PUSHGATEWAY_URL": "ftp://pushgateway:9091"}, 2, "(the scheme must be http or https)"),
        # Names the registry cannot take, or none at all.
        ({NAMES: "A-001,\udcff"}, 2, "PREPAY_DISABLED_METER_NAMES is not UTF-8 text (at character 6)"),
        ({NAMES: " , "}, 1, "PREPAY_DISABLED_METER_NAMES holds no meter name"),
        # Numbers: ASCII digits only, bounded, no exponent.
        ({"FLIP_MAX_FAILURES": "\u0661"}, 2, "FLIP_MAX_FAILURES='\u0661' must be a count"),
        ({"FLIP_MAX_FAILURES": "9" * 5000}, 2, "FLIP_MAX_FAILURES='9999999999"),
        ({"FLIP_SHARD_COUNT": "1" * 5000, "FLIP_SHARD_INDEX": "0"}, 2, "FLIP_SHARD_COUNT must be a whole number"),
        ({"MEDIATOR_READ_TIMEOUT": "1e3"}, 2, "MEDIATOR_READ_TIMEOUT='1e3' must be a number"),
        # A bad mediator setting would fail every write: refused before any.
        ({"MEDIATOR_CONNECT_TIMEOUT": "abc"}, 2, "MEDIATOR_CONNECT_TIMEOUT='abc' must be a number of at least 0.001"),
        ({"MEDIATOR_RETRIES": "-1"}, 2, "MEDIATOR_RETRIES='-1' must be a whole number of at least 0"),
        # A shard with nothing to do is no failure.
        (_half(1 - shard_of("A-002", 2)), 0, "holds no meter name: nothing to do, exit status 0"),
        (_half(shard_of("A-002", 2)), 0, "no meter of its names to switch off, exit status 0 instead of 10"),
    ],
)
def test_run_that_cannot_or_need_not_flip_writes_nothing_and_says_why(
    fleet: Any, tmp_path: Path, env: dict[str, str | bytes | None], status: int, needle: str
) -> None:
    f = fleet([meter(1), meter(2, prepay_enabled=False)])
    files = {variable: value for variable, value in env.items() if isinstance(value, bytes)}
    for variable, content in files.items():
        (tmp_path / variable).write_bytes(content)
    texts = {
        variable: value.replace("{tmp}", str(tmp_path)) for variable, value in env.items() if isinstance(value, str)
    }
    run = f.run(**env | texts | {variable: str(tmp_path / variable) for variable in files})
    assert run.status == status, run.stderr
    said = run.records[-1] if status else next(r for r in run.records if needle in r["event"])
    assert needle in said["event"] and said["level"] == ("error" if status else "info")
    assert SECRET not in run.stdout + run.stderr
    assert sum(f.sim.writes(m.meter_id) for m in f.meters) == 0


# Only what an environment can hold: no NUL, no lone surrogate (which the UTF-8 check refuses).
ENVIRONMENT_TEXT = st.characters(exclude_characters=",\0", exclude_categories=("Cs",))


@given(st.lists(st.text(ENVIRONMENT_TEXT, max_size=6), min_size=1, max_size=30), st.integers(1, 9))
def test_every_name_falls_in_exactly_one_shard_keeping_order_and_repeats(names: list[str], count: int) -> None:
    expected = [name.strip() for name in names if name.strip()]  # empty pieces are left out
    if not expected:
        with pytest.raises(SystemExit):
            job_inputs({NAMES: ",".join(names), "FLIP_SHARD_COUNT": "1"}, lambda *_, **__: None)
        return
    parts = []
    for index in range(count):
        env = {NAMES: ",".join(names), "FLIP_SHARD_COUNT": str(count), "JOB_COMPLETION_INDEX": str(index)}
        shard_run = job_inputs(env, lambda *_, **__: None)
        part = env[NAMES].split(",") if shard_run and shard_run.kept else []
        assert shard_run == ShardRun(Shard(index, count), len(part), len(expected))
        assert part == [name for name in expected if shard_of(name, count) == index]
        parts += part
    assert sorted(parts) == sorted(expected)


def test_shard_of_is_the_same_in_every_process() -> None:
    names = [f"A-{n:03d}" for n in range(50)] + ["Zürich 7"]
    lookup = [str(SCRIPT.with_name("prepay-enabled-flip-shard")), "--count", "7", *names, ""]
    seeded = os.environ | {"PYTHONHASHSEED": "random"}
    shown = subprocess.run(lookup, env=seeded, capture_output=True, text=True, check=True)
    assert shown.stdout.splitlines() == [f"{name}\t{shard_of(name, 7)}" for name in names]  # "" as the job: left out
    assert [shard_of(name, 8) for name in ("A-001", "A-002", "A-003")] == [6, 4, 2]  # CRC-32, fixed for good


@skip_unless_built
def test_shards_side_by_side_flip_the_unsharded_selection_each_once_as_planned(fleet: Any, tmp_path: Path) -> None:
    others = [meter(41, prepay_enabled=False), meter(42, in_name_list=False), meter(43, prepay_enabled=None)]
    meters = [meter(n) for n in range(1, 41)] + others
    f = fleet(meters)
    listed = [m.name for m in meters if m.in_name_list] + ["A-007", "NOT-A-METER", "A-003"]
    # Every setting from a file; a byte-order mark, padding, a blank line and CRLF are read past.
    values = {
        NAMES: "\ufeff A-001\n\nA-002 \r\n" + "\n".join(listed[2:]),
        "SUPABASE_URL": f"sqlite://{f.registry}\n",
        "SUPABASE_ANON_KEY": ANON + "\n",
        "TRAMU_ROLE_KEY": ROLE,
    }
    env: dict[str, str | None] = {"FLIP_SHARD_COUNT": "4"}
    for variable, text in values.items():
        (tmp_path / variable).write_text(text, encoding="utf-8")
        env |= {variable: None, variable + "_FILE": str(tmp_path / variable)}
    # Even shards (A-001's and A-002's) take their index from JOB_COMPLETION_INDEX and their
    # names from the file, odd ones from FLIP_SHARD_INDEX and the variable.
    assert shard_of("A-001", 4) % 2 == shard_of("A-002", 4) % 2 == 0
    listing = {NAMES: ",".join(listed), f"{NAMES}_FILE": None}
    shards = [
        env | (listing | {"FLIP_SHARD_INDEX": str(i)} if i % 2 else {"JOB_COMPLETION_INDEX": str(i)}) for i in range(4)
    ]
    plans = [json.loads(plan(f, "--format", "json", **shard).stdout)["meters"] for shard in shards]
    jobs = [JobProcess(f, [], **shard) for shard in shards]
    try:
        statuses = [job.end()[0] for job in jobs]
    finally:
        for job in jobs:
            job.kill()
    assert statuses == [0] * 4, [job.records[-3:] for job in jobs]
    flipped = [r["meter_id"] for job in jobs for r in job.events("prepay disabled")]
    assert sorted(flipped) == [m.meter_id for m in meters if m.selected]
    assert all(f.sim.writes(m.meter_id) == (1 if m.selected else 0) for m in meters)
    held = [job.events("Shard ")[0] for job in jobs]
    assert [(r["shard"], r["total_names"]) for r in held] == [(i, 45) for i in range(4)]
    assert sum(r["names"] for r in held) == 45
    for i, (job, planned) in enumerate(zip(jobs, plans, strict=True)):
        names = {name for name in listed if shard_of(name, 4) == i}
        assert sorted(m["name"] for m in planned) == sorted(names) and 0 < len(names) < len(listed) - 2
        selected = sum(m.selected and shard_of(m.name, 4) == i for m in meters)
        assert sum(m["kind"] == "switch_off" for m in planned) == selected
        assert job.events(SUMMARY)[0]["event"] == f"{SUMMARY}{selected}/{selected}"
    assert plan(f, **env | {"FLIP_SHARD_INDEX": "4"}).returncode == 2


@skip_unless_built
@pytest.mark.parametrize("backend", ["sqlite", "postgresql"])
def test_200000_names_from_a_file(fleet: Any, tmp_path: Path, request: pytest.FixtureRequest, backend: str) -> None:
    # 20,000 registry rows, all listed, 60 of them still on; 180,000 more names match nothing.
    meters = [meter(n, prepay_enabled=n % 333 == 0) for n in range(1, 20_001)]
    f = fleet(meters)
    names = tmp_path / "names.txt"
    names.write_text("\n".join([m.name for m in meters] + [f"X-{n}" for n in range(180_000)]) + "\n")
    env: dict[str, str | None] = {NAMES: None, f"{NAMES}_FILE": str(names)}
    if backend == "postgresql":
        rows = [(m.id, m.name, m.meter_id, m.serial, m.esco, m.prepay_enabled) for m in meters]
        env["SUPABASE_URL"] = request.getfixturevalue("pg_cluster").create_registry("names200k", rows)
    run = f.run("--esco", "ESCO_A", **env)
    assert run.status == 0 and run.summary == "60/60", run.stderr[-2000:]
    flipped = sorted(r["meter_id"] for r in run.events("prepay disabled"))
    assert flipped == sorted(m.meter_id for m in meters if m.selected)
