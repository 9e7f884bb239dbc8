"""Collaborator faults seen from the real prepay-enabled-flip process.

Registry and inventory faults stop the run at once: a traceback whose last line
names the fault, status 1 and no summary. A mediator fault costs its meter only:
one "Mediator client failure" record and the summary still written. Every run
is checked for the keys by the runner."""

from __future__ import annotations

import json
from typing import Any

import pytest

from fault_servers import answer, echo_keys_401, http, silent
from job_runner import Fleet, meter, skip_unless_built

pytestmark = skip_unless_built

QUICK = {
    "MEDIATOR_CONNECT_TIMEOUT": "1",
    "MEDIATOR_READ_TIMEOUT": "1",
    "MEDIATOR_BACKOFF": "0.05",
    "REGISTRY_TIMEOUT": "1",
}


def log_events(run: Any) -> list[str]:
    """The events of the JSON records of a run that ended with a traceback."""
    return [json.loads(line)["event"] for line in run.stderr.splitlines() if line.startswith("{")]


def damage_table_page(f: Fleet) -> str:
    data = f.registry.read_bytes()
    f.registry.write_bytes(data[:4096] + b"\xff" * (len(data) - 4096))
    return f"sqlite://{f.registry}"


@pytest.mark.parametrize(
    "registry, last_line, started",
    [
        (
            lambda f, s: f"sqlite://{f.folder}/absent.db",
            r"RegistryError: registry database '{folder}/absent.db' does not exist or is not a file",
            False,
        ),
        (
            lambda f, s: damage_table_page(f),
            r"RegistryError: reading registry table 'meter_registry' from '{folder}/registry.db' failed: database disk image is malformed",
            True,
        ),
        (
            lambda f, s: s(echo_keys_401).address,
            r"RegistryError: registry at {server}/rest/v1 refused the query on 'meter_registry': code PGRST301; message refused apikey=[key]",
            True,
        ),
        (
            lambda f, s: s(silent).address,
            r"RegistryError: registry at {server}/rest/v1 could not be reached for 'meter_registry': ReadTimeout",
            True,
        ),
        (
            lambda f, s: "http://127.0.0.1:9",
            r"RegistryError: registry at http://127.0.0.1:9/rest/v1 could not be reached for 'meter_registry': ConnectError",
            True,
        ),
    ],
    ids=["missing-file", "damaged-file", "401-quoting-keys", "never-answers", "connection-refused"],
)
def test_registry_fault_stops_the_run_naming_it(
    fleet: Any, raw_server: Any, registry: Any, last_line: str, started: bool
) -> None:
    f = fleet([meter(1), meter(2)])
    servers: list[Any] = []
    url = registry(f, lambda reply: servers.append(raw_server(reply)) or servers[-1])
    run = f.run("--esco", "ESCO_A", SUPABASE_URL=url, **QUICK)
    assert run.status == 1
    expected = last_line.format(folder=f.folder, server=servers[0].address if servers else "")
    assert run.stderr.splitlines()[-1].startswith("vaxo_ortane.util.supabase.errors." + expected), run.stderr[-600:]
    assert log_events(run) == (["Starting prepay_enabled_flip job..."] if started else [])
    assert f.sim.writes("MTR-0001") == 0
    assert run.seconds < 10


def test_malformed_inventory_entry_stops_the_run_naming_file_and_entry(fleet: Any) -> None:
    f = fleet([meter(1), meter(2)])
    f.inventory.write_text(
        f.inventory.read_text().replace(f'address = "{f.sim.address}"', 'address = "http://[::1"', 1)
    )
    run = f.run("--esco", "ESCO_A")
    assert run.status == 1
    assert run.stderr.splitlines()[-1] == (
        f"vaxo_ortane.orchestrate.adapter.inventory.InventoryError: {f.inventory}: mediator entry 1 (id 1): "
        "address must be an http(s) URL with a host, a valid port if any, and no credentials, query or fragment"
    )
    assert log_events(run) == [] and f.sim.writes("MTR-0002") == 0


def test_faulty_mediators_cost_their_meters_only_and_the_run_ends_in_time(fleet: Any, raw_server: Any) -> None:
    faults = {
        5: (
            answer(http(200, "<html>ok</html>", "text/html")),
            "HTTP 200 but the answer is not JSON ('<html>ok</html>')",
        ),
        6: (
            answer(b'HTTP/1.1 200 OK\r\nContent-Length: 60\r\n\r\n{"val'),
            "RemoteProtocolError: peer closed connection without sending complete message body",
        ),
        7: (silent, "no answer within 1 s (ReadTimeout) after 1 attempt(s)"),
    }
    f = fleet([meter(n) for n in range(1, 8)])
    addresses = {n: raw_server(reply).address for n, (reply, _) in faults.items()}
    f.inventory.write_text(
        "".join(
            f'[[mediator]]\nesco = "ESCO_A"\nid = {m.id}\nserial = "{m.serial}"\naddress = "{addresses.get(m.id, f.sim.address)}"\n'
            for m in f.meters
        )
    )
    run = f.run("--esco", "ESCO_A", **QUICK)
    assert run.status == 0, run.stderr
    assert run.summary == "4/7"
    failures = {r["meter_id"]: r for r in run.events("Mediator client failure")}
    assert sorted(failures) == ["MTR-0005", "MTR-0006", "MTR-0007"]
    for n, (_, cause) in faults.items():
        record = failures[f"MTR-{n:04d}"]
        assert record["error"].startswith(
            f"MediatorClientException: prepay_enabled write for meter 'MTR-{n:04d}' via {addresses[n]} failed: "
        )
        assert cause in record["error"] and record["mediator_address"] == addresses[n]
    assert [f.sim.value(f"MTR-{n:04d}") for n in range(1, 5)] == [False] * 4
    assert run.seconds < 10  # one read time-out of 1 s, plus start-up
