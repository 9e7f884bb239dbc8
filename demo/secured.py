"""The demos' throwaway PKI: a CA, a certificate for the local mediators, one for the
job, and a bearer token, all in the demo's temporary folder and gone with it. What
the mediators read is in ``mediator/``, what the job reads in ``job/``: a container
mounts only its own side.

The mediators are started with ``--tls-cert``, ``--tls-key``, ``--client-ca`` and
``--token-file``, so a write needs both the job's certificate and the token; the
job gets the files through ``MEDIATOR_CA_FILE``, ``MEDIATOR_CLIENT_CERT_FILE``,
``MEDIATOR_CLIENT_KEY_FILE`` and ``MEDIATOR_TOKEN_FILE``, as a deployment would.
"""

from __future__ import annotations

import os
import secrets
import ssl
from dataclasses import dataclass
from pathlib import Path

import httpx
import trustme

# The mediators listen on 127.0.0.1 (the host's port published by a container engine included).
MEDIATOR_NAMES = ("127.0.0.1", "localhost")


@dataclass
class DemoPki:
    folder: Path

    def __post_init__(self) -> None:
        self.mediator, self.job = self.folder / "mediator", self.folder / "job"
        ca = trustme.CA(organization_name="Demo fleet")
        token = secrets.token_urlsafe(32) + "\n"
        for side in (self.mediator, self.job):
            side.mkdir(parents=True, exist_ok=True)
            ca.cert_pem.write_to_path(side / "ca.pem")
            (side / "token").write_text(token)
        ca.issue_cert(*MEDIATOR_NAMES).private_key_and_cert_chain_pem.write_to_path(self.mediator / "mediator.pem")
        job = ca.issue_cert("prepay-enabled-flip.demo")
        job.cert_chain_pems[0].write_to_path(self.job / "job.crt")
        job.private_key_pem.write_to_path(self.job / "job.key")
        os.chmod(self.job / "job.key", 0o600)  # a key others can read is warned of
        # An impostor: the mediator's files, its certificate from a CA of its own. It
        # takes the job's certificate and knows the token; it must still get nothing.
        self.stranger = self.folder / "stranger"
        self.stranger.mkdir(exist_ok=True)
        for name in ("ca.pem", "token"):
            (self.stranger / name).write_bytes((self.mediator / name).read_bytes())
        self.stranger_ca = trustme.CA(organization_name="Stranger")
        self.stranger_ca.issue_cert(*MEDIATOR_NAMES).private_key_and_cert_chain_pem.write_to_path(
            self.stranger / "mediator.pem"
        )

    def sim_args(self, root: str | None = None) -> list[str]:
        """The mediator service's flags; ``root``: where ``mediator/`` is mounted, if elsewhere."""
        at = root or str(self.mediator)
        return [
            *("--tls-cert", f"{at}/mediator.pem", "--tls-key", f"{at}/mediator.pem"),
            *("--client-ca", f"{at}/ca.pem", "--token-file", f"{at}/token"),
        ]

    def job_env(self, root: str | None = None) -> dict[str, str]:
        """The job's settings, file paths only; ``root``: where ``job/`` is mounted, if elsewhere."""
        at = root or str(self.job)
        return {
            "MEDIATOR_CA_FILE": f"{at}/ca.pem",
            "MEDIATOR_CLIENT_CERT_FILE": f"{at}/job.crt",
            "MEDIATOR_CLIENT_KEY_FILE": f"{at}/job.key",
            "MEDIATOR_TOKEN_FILE": f"{at}/token",
        }

    def reader(self, stranger: bool = False) -> httpx.Client:
        """An https client with the job's credentials, for the demo's own reads (of the
        impostor, with ``stranger``: it trusts the impostor's CA)."""
        context = ssl.create_default_context(cafile=None if stranger else str(self.job / "ca.pem"))
        if stranger:
            self.stranger_ca.configure_trust(context)
        context.load_cert_chain(self.job / "job.crt", self.job / "job.key")
        token = (self.job / "token").read_text().strip()
        return httpx.Client(verify=context, headers={"Authorization": f"Bearer {token}"}, timeout=5)
