"""The job and its plan against https mediators that require mutual TLS and a token."""

from __future__ import annotations

import datetime
import json
import re
import subprocess
from collections.abc import Iterator
from pathlib import Path

import pytest
import trustme

from job_runner import SCRIPT, Fleet, meter, skip_unless_built
from pki import Pki
from test_operating import plan
from vaxo_ortane.mediator.credentials import TokenFile
from vaxo_ortane.mediator.sim import MediatorSim, MeterBehaviour, server_context

pytestmark = skip_unless_built

SECURITY_PAGE = Path(__file__).resolve().parents[2] / "docs" / "security.md"


@pytest.fixture
def secured(tmp_path: Path) -> Iterator[tuple[Fleet, Pki]]:
    pki = Pki(tmp_path / "pki")
    meters = [meter(n) for n in range(1, 21)] + [meter(21, behaviour=MeterBehaviour(fail_status=403))]
    sim = MediatorSim({m.meter_id: m.behaviour for m in meters}, **pki.sim_options()).start()
    try:
        yield Fleet(tmp_path, meters, sim), pki
    finally:
        sim.stop()


def test_a_secured_run_and_plan_use_one_handshake_a_worker_and_show_no_secret(
    secured: tuple[Fleet, Pki], tmp_path: Path
) -> None:
    f, pki = secured
    report = tmp_path / "run.json"
    pki.path("client.key").chmod(0o604)
    run = f.run("--esco", "ESCO_A", FLIP_REPORT=str(report), MEDIATOR_RETRIES="0", **pki.env())
    assert (run.status, run.summary) == (0, "20/21"), run.stderr
    (warned,) = [r["event"] for r in run.records if r["level"] == "warning"]
    assert f"{pki.path('client.key')} is readable by every user;" in warned
    (refused,) = [r for r in run.records if r["level"] == "error"]
    assert "HTTP 403" in refused["error"] and "refused the job's credentials" in refused["error"]
    # Five workers, one mediator: a handshake each at most, not one per write.
    assert f.sim.requests("PUT") == 21 and 1 <= f.sim.handshakes <= 5
    done = subprocess.run(
        [str(SCRIPT.with_name("prepay-enabled-flip-plan")), "--read-mediators", "--format", "json"],
        env=f.env(PREPAY_DISABLED_METER_NAMES="A-001,A-021", **pki.env()),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert [m["current"] for m in json.loads(done.stdout)["meters"]] == ["off", "on"], done.stderr
    pki.assert_no_secret(run.stdout, run.stderr, report.read_text(), done.stdout, done.stderr)


@pytest.mark.parametrize(
    "changes, named",
    [
        ({"MEDIATOR_CLIENT_KEY_FILE": None}, "MEDIATOR_CLIENT_CERT_FILE is set but MEDIATOR_CLIENT_KEY_FILE"),
        ({"MEDIATOR_CLIENT_KEY_FILE": "server.pem"}, "is not the key of the certificate"),
        ({"MEDIATOR_CA_FILE": "token"}, "MEDIATOR_CA_FILE="),
        ({"MEDIATOR_TOKEN_FILE": "missing"}, "MEDIATOR_TOKEN_FILE="),
        ({"MEDIATOR_CA_FILE": ""}, "MEDIATOR_CA_FILE is empty"),
        ({"MEDIATOR_CA_FILE": "big-ca.pem"}, "is larger than 1048576 bytes"),
        ({"MEDIATOR_TOKEN_FILE": "long-token"}, "MEDIATOR_TOKEN_FILE="),
        ({"MEDIATOR_CLIENT_CERT_FILE": "expired.pem", "MEDIATOR_CLIENT_KEY_FILE": "expired.pem"}, "expired at"),
        ({"MEDIATOR_CLIENT_CERT_FILE": "future.pem", "MEDIATOR_CLIENT_KEY_FILE": "future.pem"}, "not valid before"),
    ],
    ids=["no-key", "other-key", "ca-not-pem", "no-token", "empty", "big-ca", "long-token", "expired", "future"],
)
def test_unusable_credentials_end_the_run_with_status_2_before_any_write(
    secured: tuple[Fleet, Pki], changes: dict[str, str | None], named: str
) -> None:
    f, pki = secured
    _write_unusable_files(pki)
    paths = {k: v and str(pki.path(v)) for k, v in changes.items()}
    run = f.run(**pki.env(**paths))
    (record,) = run.records
    assert (run.status, record["level"], record["status"]) == (2, "error", 2) and named in record["event"]
    assert all(path in record["event"] for path in paths.values() if path), record
    assert f.sim.requests("PUT") == 0
    pki.assert_no_secret(run.stdout, run.stderr)


def _write_unusable_files(pki: Pki) -> None:
    pki.path("big-ca.pem").write_text(pki.path("ca.pem").read_text() * 2000)  # a bundle of 1.2 MiB
    pki.path("long-token").write_text("t" * 8193)
    ca, now, day = trustme.CA(), datetime.datetime.now(datetime.UTC), datetime.timedelta(days=1)
    for name, start, end in [("expired", now - 30 * day, now - day), ("future", now + day, now + 30 * day)]:
        pem = ca.issue_cert("job.fleet.test", not_before=start, not_after=end).private_key_and_cert_chain_pem
        pem.write_to_path(pki.path(f"{name}.pem"))


@pytest.mark.parametrize(
    "changes",
    [{"MEDIATOR_TOKEN_FILE": "wrong-token"}, {"MEDIATOR_CLIENT_CERT_FILE": None, "MEDIATOR_CLIENT_KEY_FILE": None}],
    ids=["wrong-token", "no-client-certificate"],
)
def test_credentials_the_mediators_refuse_stop_the_run_with_status_14_and_fail_the_plan(
    secured: tuple[Fleet, Pki], tmp_path: Path, changes: dict[str, str | None]
) -> None:
    f, pki = secured
    pki.path("wrong-token").write_text("tok-not-the-one\n")
    env = pki.env(**{k: v and str(pki.path(v)) for k, v in changes.items()})
    report = tmp_path / "run.json"
    run = f.run("--esco", "ESCO_A", FLIP_REPORT=str(report), MEDIATOR_RETRIES="0", **env)
    assert run.status == 14, run.stderr[-2000:]
    assert run.events("Stopping: the mediators refused the job's credentials 5 times in a row")
    # What the mediator saw: the fifth refusal, and at most the four other workers' writes in flight.
    seen = f.sim.requests("PUT") if "MEDIATOR_TOKEN_FILE" in changes else f.sim.refused_handshakes
    assert 5 <= seen <= 9, seen
    document = json.loads(report.read_text())
    assert (document["exit_status"], document["rerun_count"]) == (14, 21)
    done = plan(f, "--read-mediators", "--format", "json", PREPAY_DISABLED_METER_NAMES="A-001,A-002", **env)
    assert done.returncode == 14 and "refused the job's credentials" in done.stderr, done.stderr
    assert [m["credentials_refused"] for m in json.loads(done.stdout)["meters"]] == [True, True]
    pki.assert_no_secret(run.stderr, report.read_text(), done.stdout, done.stderr)


def test_the_security_pages_openssl_recipe_makes_files_a_secured_run_works_with(tmp_path: Path) -> None:
    (recipe,) = re.findall(r"## Making the files\n.*?```sh\n(.*?)```", SECURITY_PAGE.read_text(), re.S)
    (made := tmp_path / "made").mkdir()
    done = subprocess.run(["sh", "-c", recipe], cwd=made, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    meters, token = [meter(n) for n in range(1, 4)], TokenFile(str(made / "token.txt"))
    tls = server_context(made / "mediator.pem", made / "mediator.key", made / "fleet-ca.pem")
    with MediatorSim({m.meter_id: m.behaviour for m in meters}, tls=tls, token=token) as sim:
        files = {"CA": "fleet-ca.pem", "CLIENT_CERT": "job.crt", "CLIENT_KEY": "job.key", "TOKEN": "token.txt"}
        run = Fleet(tmp_path, meters, sim).run(**{f"MEDIATOR_{k}_FILE": str(made / v) for k, v in files.items()})
        assert (run.status, run.summary, sim.requests("PUT"), sim.refused_handshakes) == (0, "3/3", 3, 0), run.stderr
    assert not [r for r in run.records if r["level"] == "warning"]  # the key is the job's alone
