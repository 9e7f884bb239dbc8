"""Mutual TLS and a bearer token between the client and a real https mediator on loopback."""

from __future__ import annotations

import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from pki import Pki
from vaxo_ortane.mediator.client import MediatorSettings, OrtaneMediatorClient
from vaxo_ortane.mediator.credentials import RECHECK
from vaxo_ortane.mediator.mediator_client_exception import MediatorClientException
from vaxo_ortane.mediator.sim import MediatorSim, MeterBehaviour

FAST = MediatorSettings(connect_timeout=1.0, read_timeout=1.0, retries=2, backoff=0.01)


@pytest.fixture(scope="module")
def pki(tmp_path_factory: pytest.TempPathFactory) -> Pki:
    return Pki(tmp_path_factory.mktemp("pki"))


@pytest.fixture
def serve(pki: Pki) -> Iterator[Any]:
    started: list[MediatorSim] = []

    def start(served: str | None = "server") -> MediatorSim:
        options = pki.sim_options(served) if served else {"token": pki.sim_options()["token"]}
        started.append(MediatorSim({f"M-{i}": MeterBehaviour() for i in range(5)}, **options).start())
        return started[-1]

    yield start
    for sim in started:
        sim.stop()


def client(address: str, meter_id: str, pki: Pki, **changes: str | None) -> OrtaneMediatorClient:
    return OrtaneMediatorClient(
        mediator_address=address, meter_id=meter_id, settings=FAST, credentials=pki.credentials(**changes)
    )


def test_mutual_tls_and_a_rotated_token_are_taken_on_one_handshake(pki: Pki, serve: Any) -> None:
    sim = serve()
    assert sim.address.startswith("https://127.0.0.1:")
    credentials = pki.credentials()
    for i in range(3):
        if i == 2:
            pki.rotate("tok-rotated-0d94")  # the service reads the same file: the old token is refused now
            time.sleep(RECHECK + 0.05)  # the job looks at the file again after this long
        OrtaneMediatorClient(
            mediator_address=sim.address, meter_id=f"M-{i}", settings=FAST, credentials=credentials
        ).prepay_enabled_write(False)
    read = OrtaneMediatorClient(mediator_address=sim.address, meter_id="M-0", credentials=credentials)
    assert read.prepay_enabled_read() is False
    # The write handle kept its connection; the read handle made one of its own.
    assert (sim.requests("PUT"), sim.handshakes, sim.refused_handshakes) == (3, 2, 0)
    pki.rotate(pki.secrets[0])


TOKEN_FILE = {"MEDIATOR_TOKEN_FILE": "{tmp}/token"}


@pytest.mark.parametrize(
    "served, changes, cause, requests",
    [
        pytest.param(
            "server",
            {"MEDIATOR_CLIENT_CERT_FILE": None, "MEDIATOR_CLIENT_KEY_FILE": None},
            "TLSAlert",
            0,
            id="no-client-certificate",
        ),
        pytest.param("stranger", {}, "CERTIFICATE_VERIFY_FAILED", 0, id="another-ca"),
        pytest.param("elsewhere", {}, "no alternative certificate subject name matches", 0, id="another-host"),
        pytest.param("server", TOKEN_FILE, "HTTP 401", 1, id="wrong-token"),
        pytest.param(None, {}, "plain http", 0, id="token-over-http"),
        pytest.param("server", TOKEN_FILE, "token cannot be read: No such file", 0, id="token-file-gone"),
    ],
)
def test_refused_exchanges_send_no_request_and_say_why(
    pki: Pki, serve: Any, tmp_path: Path, served: str | None, changes: dict[str, str | None], cause: str, requests: int
) -> None:
    sim = serve(served)
    token = tmp_path / "token"
    token.write_text("not-the-token\n")
    refused = client(sim.address, "M-1", pki, **{k: v and v.format(tmp=tmp_path) for k, v in changes.items()})
    if "cannot be read" in cause:
        token.unlink()  # after the start's check: gone mid-run
        time.sleep(RECHECK + 0.05)
    with pytest.raises(MediatorClientException) as raised:
        refused.prepay_enabled_write(False)
    text = str(raised.value)
    assert cause in text and sim.requests("PUT") == requests, text
    if requests:
        assert "the mediator refused the job's credentials" in text and "after 1 attempt(s)" in text
    pki.assert_no_secret(text, repr(refused))
