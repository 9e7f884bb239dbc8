"""A throwaway fleet PKI: a CA, mediator certificates (for 127.0.0.1, from a stranger's
CA, for another host), the job's client certificate and a token; and the check that
none of their secrets shows."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import trustme

from vaxo_ortane.mediator.credentials import TokenFile
from vaxo_ortane.mediator.sim import server_context

TOKEN = "tok-5e0c1b7d2a9f4e86"


@dataclass
class Pki:
    folder: Path

    def __post_init__(self) -> None:
        self.folder.mkdir(parents=True, exist_ok=True)
        ca, stranger = trustme.CA(), trustme.CA()
        ca.cert_pem.write_to_path(self.path("ca.pem"))
        for name, cert in [
            ("server", ca.issue_cert("127.0.0.1")),
            ("stranger", stranger.issue_cert("127.0.0.1")),
            ("elsewhere", ca.issue_cert("mediator.elsewhere.test")),
        ]:
            cert.private_key_and_cert_chain_pem.write_to_path(self.path(f"{name}.pem"))
        client = ca.issue_cert("prepay-enabled-flip@fleet.test")
        client.cert_chain_pems[0].write_to_path(self.path("client.pem"))
        client.private_key_pem.write_to_path(self.path("client.key"))
        self.path("client.key").chmod(0o600)  # a key others can read is warned of
        self.rotate(TOKEN)
        # A line from the middle of each PEM file: any leak of its content shows it.
        pems = [self.path(n).read_text().splitlines() for n in ("client.key", "client.pem", "server.pem")]
        self.secrets = [TOKEN, *(lines[len(lines) // 2] for lines in pems)]

    def path(self, name: str) -> Path:
        return self.folder / name

    def env(self, **changes: str | None) -> dict[str, str]:
        """The job's credential settings, ``changes`` (None: unset) applied."""
        names = {"CA": "ca.pem", "CLIENT_CERT": "client.pem", "CLIENT_KEY": "client.key", "TOKEN": "token"}
        env = {f"MEDIATOR_{k}_FILE": str(self.path(v)) for k, v in names.items()} | changes
        return {k: v for k, v in env.items() if v is not None}

    def sim_options(self, served: str = "server") -> dict[str, object]:
        """A mediator service's TLS (``served``: its certificate) and token, read at each request."""
        pem = self.path(f"{served}.pem")
        return {
            "tls": server_context(pem, pem, self.path("ca.pem")),
            "token": TokenFile(str(self.path("token")), recheck=0),
        }

    def rotate(self, token: str) -> None:
        """Swap the token file as the kubelet swaps a mounted Secret: a new file renamed over it."""
        self.path("token.new").write_text(token + "\n")
        os.replace(self.path("token.new"), self.path("token"))

    def assert_no_secret(self, *texts: str) -> None:
        for text in texts:
            assert not [s for s in self.secrets if s in text], f"a secret leaked into: {text[:300]!r}"
