"""Mutual TLS and a bearer token between the client and a real https mediator on loopback."""

from __future__ import annotations

import json
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any
from urllib.parse import quote

import pytest

from fault_servers import RawServer, header, http
from pki import Pki
from vaxo_ortane.mediator.client import MediatorSettings, OrtaneMediatorClient
from vaxo_ortane.mediator.credentials import RECHECK, Credentials
from vaxo_ortane.mediator.mediator_client_exception import MediatorClientException
from vaxo_ortane.mediator.sim import MediatorSim, MeterBehaviour

FAST = MediatorSettings(connect_timeout=1.0, read_timeout=1.0, retries=2, backoff=0.01)


@pytest.fixture
def pki(tmp_path: Path) -> Pki:
    return Pki(tmp_path / "pki")


@pytest.fixture
def serve(pki: Pki) -> Iterator[Any]:
    started: list[MediatorSim] = []

    def start(served: str | None) -> MediatorSim:
        options = pki.sim_options(served or "server") | ({} if served else {"tls": None})
        started.append(MediatorSim({f"M-{i}": MeterBehaviour() for i in range(3)}, **options).start())
        return started[-1]

    yield start
    for sim in started:
        sim.stop()


def client(sim: MediatorSim | RawServer, meter_id: str, credentials: Credentials | None) -> OrtaneMediatorClient:
    return OrtaneMediatorClient(mediator_address=sim.address, meter_id=meter_id, settings=FAST, credentials=credentials)


def test_mutual_tls_and_a_rotated_token_are_taken_on_one_handshake(pki: Pki, serve: Any) -> None:
    sim, credentials = serve("server"), Credentials.from_env(pki.env())
    for i in range(3):
        if i == 2:
            pki.rotate("tok-rotated-0d94")  # the service reads the same file: the old token is refused now
            time.sleep(RECHECK + 0.05)  # the job looks at the file again after this long
        client(sim, f"M-{i}", credentials).prepay_enabled_write(False)
    assert client(sim, "M-0", credentials).prepay_enabled_read() is False
    # The write handle kept its connection; the read handle made one of its own.
    assert (sim.address[:8], sim.requests("PUT"), sim.handshakes, sim.refused_handshakes) == ("https://", 3, 2, 0)


@pytest.mark.parametrize(
    "served, changes, cause, requests",
    [
        ("server", {"MEDIATOR_CLIENT_CERT_FILE": None, "MEDIATOR_CLIENT_KEY_FILE": None}, "TLSAlert", 0),
        ("stranger", {}, "CERTIFICATE_VERIFY_FAILED", 0),
        ("elsewhere", {}, "no alternative certificate subject name matches", 0),
        ("server", {"MEDIATOR_TOKEN_FILE": "{tmp}/token"}, "HTTP 401", 1),
        (None, {}, "plain http", 0),
        ("server", {"MEDIATOR_TOKEN_FILE": "{tmp}/token"}, "token cannot be read: No such file", 0),
    ],
    ids=["no-client-certificate", "another-ca", "another-host", "wrong-token", "token-over-http", "token-file-gone"],
)
def test_refused_exchanges_send_no_request_and_say_why(
    pki: Pki, serve: Any, tmp_path: Path, served: str | None, changes: dict[str, str | None], cause: str, requests: int
) -> None:
    sim = serve(served)
    (tmp_path / "token").write_text("not-the-token\n")
    refused = client(
        sim, "M-1", Credentials.from_env(pki.env(**{k: v and v.format(tmp=tmp_path) for k, v in changes.items()}))
    )
    if "cannot be read" in cause:
        (tmp_path / "token").unlink()  # after the start's check: gone mid-run
        time.sleep(RECHECK + 0.05)
    with pytest.raises(MediatorClientException) as raised:
        refused.prepay_enabled_write(False)
    text = str(raised.value)
    assert cause in text and sim.requests("PUT") == requests, text
    if requests:
        assert "the mediator refused the job's credentials" in text and "after 1 attempt(s)" in text
    pki.assert_no_secret(text, repr(refused))


# A token every form of which differs: JSON escapes its quote and backslash, a URL its '%' and '/'.
HOSTILE_TOKEN = "tok\"\\x/y'z%5e0c1b7d2a9f"


PAD = {400: "p" * 158, 200: "p" * 58}  # the token starts just before the excerpt is cut
ECHOES: dict[str, Any] = {
    "json": lambda pad, auth: {"pad": pad, "you_sent": auth, "value": True},
    "percent": lambda pad, auth: f"{pad} sent={quote(auth, safe='')}",
    "meter": lambda pad, auth: {"meter_id": auth, "value": False},
}


@pytest.mark.parametrize(
    "status, shape", [(400, "json"), (400, "percent"), (200, "json"), (200, "percent"), (200, "meter")]
)
def test_an_echoed_token_shows_in_no_form_whole_or_cut(pki: Pki, raw_server: Any, status: int, shape: str) -> None:
    pki.rotate(HOSTILE_TOKEN)
    echo = ECHOES[shape]
    server = raw_server(
        lambda conn, request, _: conn.sendall(http(status, echo(PAD[status], header(request, "authorization")))),
        tls=pki.sim_options()["tls"],
    )
    with pytest.raises(MediatorClientException) as raised:
        client(server, "M-1", Credentials.from_env(pki.env())).prepay_enabled_write(False)
    text = str(raised.value)
    assert f"HTTP {status}" in text and "***" in text, text
    for form in (HOSTILE_TOKEN, json.dumps(HOSTILE_TOKEN)[1:-1], quote(HOSTILE_TOKEN, safe="")):
        assert form[:6] not in text, (form, text)


@pytest.mark.parametrize("grace, requests", [(0.0, 2), (30.0, 1)], ids=["no-grace", "grace"])
def test_a_token_swapped_on_both_sides_at_once_fails_no_write(pki: Pki, grace: float, requests: int) -> None:
    meters = {f"M-{i}": MeterBehaviour() for i in range(3)}
    with MediatorSim(meters, **pki.sim_options(), token_grace=grace) as sim:
        credentials = Credentials.from_env(pki.env())
        client(sim, "M-0", credentials).prepay_enabled_write(False)
        pki.rotate("tok-rotated-7c21")  # the job's copy is taken as fresh for another second
        client(sim, "M-1", credentials).prepay_enabled_write(False)
        # Refused once and sent again with the file's new token, or taken within the grace.
        assert (sim.requests("PUT"), sim.value("M-1")) == (1 + requests, False)
