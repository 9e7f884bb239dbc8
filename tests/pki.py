"""A throwaway fleet PKI for the tests: a CA, a mediator certificate for 127.0.0.1, a
client certificate for the job, a stranger's CA and a token; and what a leak of any
of them would look like."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import trustme

from vaxo_ortane.mediator import credentials
from vaxo_ortane.mediator.credentials import Credentials, TokenFile
from vaxo_ortane.mediator.sim import server_context

TOKEN = "tok-5e0c1b7d2a9f4e86"


@dataclass
class Pki:
    folder: Path

    def __post_init__(self) -> None:
        ca, stranger = trustme.CA(), trustme.CA()
        issued = {
            "server": ca.issue_cert("127.0.0.1", "localhost"),
            "stranger": stranger.issue_cert("127.0.0.1"),
            "elsewhere": ca.issue_cert("mediator.elsewhere.test"),
        }
        self.folder.mkdir(parents=True, exist_ok=True)
        ca.cert_pem.write_to_path(self.path("ca.pem"))
        for name, cert in issued.items():
            cert.private_key_and_cert_chain_pem.write_to_path(self.path(f"{name}.pem"))
        client = ca.issue_cert("prepay-enabled-flip@fleet.test")
        client.cert_chain_pems[0].write_to_path(self.path("client.pem"))
        client.private_key_pem.write_to_path(self.path("client.key"))
        self.path("token").write_text(TOKEN + "\n")
        # What must never be shown: the token, and the body of every key and certificate.
        self.secrets = [TOKEN, *(_body(self.path(n)) for n in ("client.key", "client.pem", "server.pem"))]

    def path(self, name: str) -> Path:
        return self.folder / name

    def env(self, **changes: str | None) -> dict[str, str]:
        files = {
            credentials.CA_FILE: "ca.pem",
            credentials.CERT_FILE: "client.pem",
            credentials.KEY_FILE: "client.key",
            credentials.TOKEN_FILE: "token",
        }
        env = {variable: str(self.path(name)) for variable, name in files.items()} | changes
        return {k: v for k, v in env.items() if v is not None}

    def credentials(self, **changes: str | None) -> Credentials:
        found = Credentials.from_env(self.env(**changes))
        assert found is not None
        return found

    def sim_options(self, served: str = "server") -> dict[str, object]:
        """A mediator service's TLS and token: ``served`` names its certificate."""
        pem = self.path(f"{served}.pem")
        return {
            "tls": server_context(pem, pem, self.path("ca.pem")),
            "token": TokenFile(str(self.path("token")), recheck=0.0),
        }

    def rotate(self, token: str) -> None:
        """Swap the token file as the kubelet swaps a mounted Secret: a new file renamed over it."""
        fresh = self.path("token.new")
        fresh.write_text(token + "\n")
        os.replace(fresh, self.path("token"))

    def assert_no_secret(self, *texts: str) -> None:
        for text in texts:
            for secret in self.secrets:
                assert secret not in text, f"a secret leaked into: {text[:300]!r}"


def _body(path: Path) -> str:
    """A line from the middle of a PEM file: any leak of its content shows it."""
    lines = [line for line in path.read_text().splitlines() if line and not line.startswith("-----")]
    return lines[len(lines) // 2]
