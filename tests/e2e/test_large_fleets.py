"""Settings from files and sharded runs of the real prepay-enabled-flip process."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st
from job_runner import ANON, ROLE, RUN_LIMIT, SCRIPT, Run, meter, skip_unless_built
from pg_cluster import Cluster

from vaxo_ortane.jobs.shards import Shard, ShardRun, apply_shard, shard_of

SECRET = "file-secret-71c3e0d2"


@skip_unless_built
@pytest.mark.parametrize(
    "files, env, needle",
    [
        ({"SUPABASE_ANON_KEY_FILE": SECRET}, {}, "SUPABASE_ANON_KEY and SUPABASE_ANON_KEY_FILE are both set"),
        ({}, {"TRAMU_ROLE_KEY": None, "TRAMU_ROLE_KEY_FILE": "/nonexistent/role"}, "/nonexistent/role cannot be read"),
        ({"TRAMU_ROLE_KEY_FILE": b"\xff" + SECRET.encode()}, {"TRAMU_ROLE_KEY": None}, "is not UTF-8 text"),
        ({"PREPAY_DISABLED_METER_NAMES_FILE": f"A-001\n\n{SECRET},x\n"}, {"PREPAY_DISABLED_METER_NAMES": None},
         "line 3: a meter name holds a comma"),
        ({"PREPAY_DISABLED_METER_NAMES_FILE": " \n\n"}, {"PREPAY_DISABLED_METER_NAMES": None}, "holds no meter name"),
    ],
)
def test_unusable_file_is_status_1_naming_variable_and_path_never_content(
    fleet: Any, tmp_path: Path, files: dict[str, str | bytes], env: dict[str, str | None], needle: str
) -> None:
    f = fleet([meter(1)])
    for variable, content in files.items():
        path = tmp_path / variable.lower()
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        env[variable] = str(path)
    run = f.run(**env)
    assert run.status == 1, run.stderr
    last = run.records[-1]
    assert needle in last["event"] and last["level"] == "error"
    assert SECRET not in run.stdout + run.stderr
    assert f.sim.writes("MTR-0001") == 0


@skip_unless_built
def test_all_four_settings_from_files(fleet: Any, tmp_path: Path) -> None:
    f = fleet([meter(n) for n in range(1, 6)] + [meter(6, in_name_list=False)])
    values = {
        "PREPAY_DISABLED_METER_NAMES": "\ufeff A-001\n\nA-002 \r\nA-003\nA-004\nA-005\nA-001",
        "SUPABASE_URL": f"sqlite://{f.registry}\n", "SUPABASE_ANON_KEY": ANON + "\n", "TRAMU_ROLE_KEY": ROLE,
    }
    env: dict[str, str | None] = {}
    for variable, text in values.items():
        (tmp_path / variable).write_text(text, encoding="utf-8")
        env |= {variable: None, variable + "_FILE": str(tmp_path / variable)}
    run = f.run("--esco", "ESCO_A", **env)
    assert run.status == 0, run.stderr
    assert run.summary == "5/5" and f.sim.writes("MTR-0006") == 0


@skip_unless_built
@pytest.mark.parametrize(
    "env, variable",
    [
        ({"FLIP_SHARD_COUNT": "two", "FLIP_SHARD_INDEX": "0"}, "FLIP_SHARD_COUNT"),
        ({"FLIP_SHARD_COUNT": "0", "FLIP_SHARD_INDEX": "0"}, "FLIP_SHARD_COUNT"),
        ({"FLIP_SHARD_COUNT": "4", "JOB_COMPLETION_INDEX": "4"}, "JOB_COMPLETION_INDEX"),
        ({"FLIP_SHARD_COUNT": "4", "FLIP_SHARD_INDEX": "-1", "JOB_COMPLETION_INDEX": "1"}, "FLIP_SHARD_INDEX"),
        ({"FLIP_SHARD_COUNT": "4"}, "JOB_COMPLETION_INDEX"),
    ],
)
def test_bad_shard_setting_is_status_2_naming_it(fleet: Any, env: dict[str, str], variable: str) -> None:
    f = fleet([meter(1)])
    run = f.run(**env)
    assert run.status == 2, run.stderr
    assert variable in run.records[-1]["event"] and f.sim.writes("MTR-0001") == 0


@given(st.lists(st.text(st.characters(exclude_characters=","), max_size=6), max_size=30), st.integers(1, 9))
def test_every_name_falls_in_exactly_one_shard_keeping_order_and_repeats(names: list[str], count: int) -> None:
    text = ",".join(names)
    expected = [name.strip() for name in names] if names else [""]
    parts = []
    for index in range(count):
        env = {"PREPAY_DISABLED_METER_NAMES": text, "FLIP_SHARD_COUNT": str(count), "JOB_COMPLETION_INDEX": str(index)}
        shard_run = apply_shard(env)
        part = env["PREPAY_DISABLED_METER_NAMES"].split(",") if shard_run and shard_run.kept else []
        assert shard_run == ShardRun(Shard(index, count), len(part), len(expected))
        assert part == [name for name in expected if shard_of(name, count) == index]
        parts += part
    assert sorted(parts) == sorted(expected)


def test_shard_of_is_the_same_in_every_process() -> None:
    names = [f"A-{n:03d}" for n in range(50)] + ["Zürich 7", ""]
    lookup = subprocess.run(
        [str(SCRIPT.with_name("prepay-enabled-flip-shard")), "--count", "7", *names],
        env={**os.environ, "PYTHONHASHSEED": "random"}, capture_output=True, text=True, check=True,
    )
    assert lookup.stdout.splitlines()[:52] == [f"{name}\t{shard_of(name, 7)}" for name in names]
    assert [shard_of(name, 8) for name in ("A-001", "A-002", "A-003")] == [6, 4, 2]  # CRC-32, fixed for good


@skip_unless_built
def test_shards_side_by_side_flip_exactly_the_unsharded_selection_each_once(fleet: Any) -> None:
    meters = [meter(n) for n in range(1, 41)] + [
        meter(41, prepay_enabled=False), meter(42, in_name_list=False), meter(43, prepay_enabled=None)
    ]
    f = fleet(meters)
    names = ",".join([m.name for m in meters if m.in_name_list] + ["A-007", "NOT-A-METER"])
    count = 4
    runs = []
    processes = [
        subprocess.Popen(
            [str(SCRIPT), "--esco", "ESCO_A"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True,
            env=f.env(PREPAY_DISABLED_METER_NAMES=names, FLIP_SHARD_COUNT=str(count),
                      **{("FLIP_SHARD_INDEX" if index % 2 else "JOB_COMPLETION_INDEX"): str(index)}),
        )
        for index in range(count)
    ]
    for process in processes:
        out, err = process.communicate(timeout=RUN_LIMIT)
        runs.append(Run(process.returncode, out, err, 0.0))
    assert [run.status for run in runs] == [0] * count, [run.stderr for run in runs]
    flipped = [r["meter_id"] for run in runs for r in run.events("prepay disabled")]
    selected = [m.meter_id for m in meters if m.selected]
    assert sorted(flipped) == selected
    assert all(f.sim.writes(m.meter_id) == (1 if m.selected else 0) for m in meters)
    held = [run.events("Shard ")[0] for run in runs]
    assert [(r["shard"], r["total_names"]) for r in held] == [(i, 44) for i in range(count)]
    assert sum(r["names"] for r in held) == 44


@skip_unless_built
@pytest.mark.parametrize("names, index, record", [
    ("A-001", 1 - shard_of("A-001", 2), "holds no meter name: nothing to do, exit status 0"),
    ("A-001", shard_of("A-001", 2), "no meter of its names to switch off, exit status 0 instead of 10"),
])
def test_shard_with_nothing_to_do_ends_0(fleet: Any, names: str, index: int, record: str) -> None:
    f = fleet([meter(1, prepay_enabled=False)])
    run = f.run(PREPAY_DISABLED_METER_NAMES=names, FLIP_SHARD_COUNT="2", FLIP_SHARD_INDEX=str(index))
    assert run.status == 0, run.stderr
    assert record in run.records[-1]["event"] and f.sim.writes("MTR-0001") == 0


@skip_unless_built
@pytest.mark.parametrize("backend", ["sqlite", "postgresql"])
def test_200000_names_from_a_file(fleet: Any, tmp_path: Path, request: pytest.FixtureRequest, backend: str) -> None:
    # 20,000 registry rows, all listed, 60 of them still on; 180,000 more names match nothing.
    meters = [meter(n, prepay_enabled=n % 333 == 0) for n in range(1, 20_001)]
    f = fleet(meters)
    names = tmp_path / "names.txt"
    names.write_text("\n".join([m.name for m in meters] + [f"X-{n}" for n in range(180_000)]) + "\n")
    env: dict[str, str | None] = {"PREPAY_DISABLED_METER_NAMES": None, "PREPAY_DISABLED_METER_NAMES_FILE": str(names)}
    if backend == "postgresql":
        cluster: Cluster = request.getfixturevalue("pg_cluster")
        rows = [(m.id, m.name, m.meter_id, m.serial, m.esco, m.prepay_enabled) for m in meters]
        env["SUPABASE_URL"] = cluster.create_registry("names200k", rows)
    run = f.run("--esco", "ESCO_A", **env)
    assert run.status == 0, run.stderr[-2000:]
    assert run.summary == "60/60"
    flipped = sorted(r["meter_id"] for r in run.events("prepay disabled"))
    assert flipped == sorted(m.meter_id for m in meters if m.selected)
