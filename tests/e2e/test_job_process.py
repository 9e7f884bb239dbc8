"""End-to-end runs of the prepay-enabled-flip process on the embedded registry
against the local mediator service."""

from __future__ import annotations

from typing import Any

import pytest

from job_runner import meter, skip_unless_built
from pg_cluster import READER_PASSWORD, Cluster
from vaxo_ortane.mediator.sim import MeterBehaviour

pytestmark = skip_unless_built


def test_normal_run_flips_every_selected_meter_and_only_those(fleet: Any) -> None:
    meters = [meter(n) for n in range(1, 10)] + [
        meter(10, prepay_enabled=False),
        meter(11, in_name_list=False),
        meter(12, prepay_enabled=None),
    ]
    f = fleet(meters)
    run = f.run("--esco", "ESCO_A")
    assert run.status == 0, run.stderr
    assert run.summary == "9/9"
    assert all(f.sim.value(m.meter_id) is False for m in meters[:9])
    assert f.sim.value("MTR-0011") is True and f.sim.value("MTR-0012") is True
    assert f.sim.writes("MTR-0010") == 0
    flipped = run.events("prepay disabled")
    assert sorted(r["meter_id"] for r in flipped) == [m.meter_id for m in meters[:9]]
    assert all(r["mediator_address"] == f.sim.address and r["serial"].startswith("SN-") for r in flipped)
    assert run.events("Starting prepay_enabled_flip job...")[0]["esco"] == "ESCO_A"
    # The one warning: listed names that selected nothing, each with its reason.
    (warning,) = [r for r in run.records if r["level"] != "info"]
    assert warning["event"].startswith("2 of 11 listed names selected no meter")
    assert warning["names"] == {"not_found": [], "already_off": ["A-010"], "unknown": ["A-012"]}
    assert run.events("Processing ")[0]["event"] == "Processing 9 meters"


def test_postgresql_registry_flips_exactly_the_selected_meters(fleet: Any, pg_cluster: Cluster) -> None:
    meters = [meter(n) for n in range(1, 6)] + [
        meter(6, prepay_enabled=False),
        meter(7, in_name_list=False),
        meter(8, prepay_enabled=None),
    ]
    f = fleet(meters)
    f.registry.unlink()  # the database is the only registry this run can read
    url = pg_cluster.create_registry(
        "e2e", [(m.id, m.name, m.meter_id, m.serial, m.esco, m.prepay_enabled) for m in reversed(meters)]
    )
    run = f.run("--esco", "ESCO_A", SUPABASE_URL=url)
    assert run.status == 0, run.stderr
    assert run.summary == "5/5"
    assert sorted(r["meter_id"] for r in run.events("prepay disabled")) == [m.meter_id for m in meters[:5]]
    assert all(f.sim.value(m.meter_id) is False for m in meters[:5])
    assert all(f.sim.writes(m.meter_id) == 0 for m in meters[5:])
    assert f.sim.value("MTR-0008") is True  # NULL is not selected
    assert READER_PASSWORD not in run.stdout + run.stderr


def test_failing_and_missing_mediators_cost_their_meter_only(fleet: Any) -> None:
    meters = [meter(n) for n in range(1, 6)] + [
        meter(6, behaviour=MeterBehaviour(fail_status=503)),
        meter(7, has_mediator=False),
    ]
    f = fleet(meters)
    run = f.run("--esco", "ESCO_A")
    assert run.status == 0, run.stderr
    assert run.summary == "5/7"
    (failure,) = run.events("Mediator client failure")
    assert failure["meter_id"] == "MTR-0006" and failure["level"] == "error"
    assert failure["error"].startswith("MediatorClientException: ") and "HTTP 503" in failure["error"]
    assert "Traceback" in failure["exception"]
    assert run.events("No mediator container exists for meter SN-1007")
    assert f.sim.value("MTR-0006") is True


def test_hanging_mediator_times_out_and_the_run_still_ends(fleet: Any) -> None:
    meters = [meter(n) for n in range(1, 8)] + [meter(8, behaviour=MeterBehaviour(hang=True))]
    f = fleet(meters)
    run = f.run("--esco", "ESCO_A", MEDIATOR_READ_TIMEOUT="1")
    assert run.status == 0, run.stderr
    assert run.summary == "7/8"
    (failure,) = run.events("Mediator client failure")
    assert failure["meter_id"] == "MTR-0008" and "no answer within 1 s" in failure["error"]
    assert run.seconds < 15


def test_no_meter_selected_is_status_10(fleet: Any) -> None:
    f = fleet([meter(1, prepay_enabled=False), meter(2)])
    run = f.run("--esco", "ESCO_A", PREPAY_DISABLED_METER_NAMES="A-001, NOT-A-METER")
    assert run.status == 10
    assert [r["event"] for r in run.records if r["level"] == "error"] == ["No meter found to disable"]
    assert f.sim.writes("MTR-0001") == 0


@pytest.mark.parametrize(
    "args, env, status, record",
    [
        ((), {"PREPAY_DISABLED_METER_NAMES": None}, 1, None),
        ((), {"SUPABASE_URL": None}, 2, "Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set."),
        ((), {"SUPABASE_ANON_KEY": ""}, 2, "Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set."),
        ((), {"TRAMU_ROLE_KEY": None}, 3, "Environment variable TRAMU_ROLE_KEY not set."),
        (("stray",), {}, 2, None),
        (("-h",), {}, 0, None),
    ],
)
def test_missing_settings_and_command_line(
    fleet: Any, args: tuple[str, ...], env: dict[str, Any], status: int, record: str | None
) -> None:
    f = fleet([meter(1)])
    run = f.run(*args, **env)
    assert run.status == status, run.stderr
    if status == 1:
        assert run.stdout == "ERROR: PREPAY_DISABLED_METER_NAMES not defined\n"
    if record is not None:
        assert [r["event"] for r in run.records] == [record]
    assert f.sim.writes("MTR-0001") == 0


def test_unusable_registry_url_stops_with_a_named_error(fleet: Any) -> None:
    f = fleet([meter(1)])
    run = f.run(SUPABASE_URL="mysql://db.internal/registry")
    assert run.status == 1
    assert "RegistryError: SUPABASE_URL has the scheme 'mysql:'" in run.stderr.splitlines()[-1]
