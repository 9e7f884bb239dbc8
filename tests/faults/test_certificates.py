"""https is verified by default, for the hosted registry and the mediators alike,
and SSL_CERT_FILE names the CA to trust. Run in fresh processes: both clients
read the variable when they are created, as the job does at start."""

from __future__ import annotations

import json
import os
import shutil
import ssl
import subprocess
import sys
import threading
from collections.abc import Iterator
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

import pytest

from fault_keys import ANON, ROLE, assert_no_key

PROBE = """
import sys
from vaxo_ortane.mediator.client import MediatorSettings, OrtaneMediatorClient
from vaxo_ortane.mediator.mediator_client_exception import MediatorClientException
from vaxo_ortane.util.supabase import RegistryError, supa_client
url, anon, role = sys.argv[1:]
try:
    supa_client(url, anon, role).table("meter_registry").select("*").execute()
    print("registry ok")
except RegistryError as exc:
    print("registry failed:", exc)
try:
    settings = MediatorSettings(connect_timeout=1.0, read_timeout=1.0, retries=0, backoff=0.0)
    OrtaneMediatorClient(mediator_address=url, meter_id="M-1", settings=settings).prepay_enabled_write(False)
    print("mediator ok")
except MediatorClientException as exc:
    print("mediator failed:", exc)
"""


@pytest.fixture(scope="module")
def certificate(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    if shutil.which("openssl") is None:
        pytest.skip("openssl is needed to make a test certificate")
    folder = tmp_path_factory.mktemp("tls")
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(
        [
            "openssl",
            "req",
            "-x509",
            "-newkey",
            "ec",
            "-pkeyopt",
            "ec_paramgen_curve:prime256v1",
            "-nodes",
            "-keyout",
            str(key),
            "-out",
            str(cert),
            "-days",
            "1",
            "-subj",
            "/CN=127.0.0.1",
            "-addext",
            "subjectAltName=IP:127.0.0.1",
        ],
        check=True,
        capture_output=True,
        timeout=30,
    )
    return cert, key


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def do_GET(self) -> None:
        self._send(b"[]")

    def do_PUT(self) -> None:
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        self._send(json.dumps({"meter_id": "M-1", "value": False}).encode())

    def _send(self, data: bytes) -> None:
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


@pytest.fixture
def tls_server(certificate: tuple[Path, Path]) -> Iterator[str]:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*map(str, certificate))
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.socket = context.wrap_socket(server.socket, server_side=True)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"https://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()
    thread.join(timeout=5)


def probe(url: str, **env: str) -> str:
    clean = {
        k: v for k, v in os.environ.items() if k not in ("SSL_CERT_FILE", "SSL_CERT_DIR") and "proxy" not in k.lower()
    }
    done = subprocess.run(
        [sys.executable, "-c", PROBE, url, ANON, ROLE], env=clean | env, capture_output=True, text=True, timeout=30
    )
    assert done.returncode == 0, done.stderr
    assert_no_key(done.stdout, done.stderr)
    return done.stdout


def test_self_signed_server_is_refused_by_default(tls_server: str) -> None:
    registry, mediator = probe(tls_server).splitlines()
    assert registry.startswith(f"registry failed: registry at {tls_server}/rest/v1 could not be reached")
    assert mediator.startswith(
        f"mediator failed: prepay_enabled write for meter 'M-1' via {tls_server} failed: ConnectError"
    )
    assert "CERTIFICATE_VERIFY_FAILED" in registry and "CERTIFICATE_VERIFY_FAILED" in mediator


def test_ssl_cert_file_names_the_ca_to_trust(tls_server: str, certificate: tuple[Path, Path]) -> None:
    assert probe(tls_server, SSL_CERT_FILE=str(certificate[0])).splitlines() == ["registry ok", "mediator ok"]


def test_ssl_cert_dir_names_a_folder_of_cas_to_trust(
    tls_server: str, certificate: tuple[Path, Path], tmp_path: Path
) -> None:
    # OpenSSL finds a CA in a folder by its subject hash.
    hashed = subprocess.run(
        ["openssl", "x509", "-hash", "-noout", "-in", str(certificate[0])],
        check=True,
        capture_output=True,
        text=True,
        timeout=30,
    ).stdout.strip()
    shutil.copy(certificate[0], tmp_path / f"{hashed}.0")
    assert probe(tls_server, SSL_CERT_DIR=str(tmp_path)).splitlines()[1] == "mediator ok"
