"""What the job trusts in a mediator, and what it shows one: the mediator credentials.

``MEDIATOR_CA_FILE``           PEM bundle that mediator certificates must chain to (mediators only)
``MEDIATOR_CLIENT_CERT_FILE``  PEM client certificate, for mutual TLS
``MEDIATOR_CLIENT_KEY_FILE``   its unencrypted PEM private key
``MEDIATOR_TOKEN_FILE``        a bearer token, sent as ``Authorization: Bearer <token>``

With any of them set the run is a secured one: every mediator must be reached
over https (a plain ``http://`` address fails its meter before anything is
sent), and mediators found on a container engine are reached over https too.
The mediator's certificate and host name are always verified; nothing turns
that off.

The files are checked once per process, before any write (``default_credentials``):
a CA bundle over 1 MiB, a token over 8 KiB, and a client certificate that has
expired or is not valid yet are refused; a key file that other users can read is
warned of.
The token file is watched: its identity (device, inode, size, mtime) is looked
at, one ``stat``, by the first request after a second has passed, and the file
read again when it changed, so a token swapped under a running job, as
Kubernetes swaps a mounted Secret, is sent within a second. (A ``stat`` on every
request would let the five workers take the GIL from one another at each write,
a tenth of a write's CPU at full speed.) The certificate, key and CA files are read by
libcurl for each new connection.

Errors name the variable and the path, never a file's content.
"""

from __future__ import annotations

import functools
import os
import stat
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass

from ..util.text_files import TextFileError, read_utf8

CA_FILE = "MEDIATOR_CA_FILE"
CERT_FILE = "MEDIATOR_CLIENT_CERT_FILE"
KEY_FILE = "MEDIATOR_CLIENT_KEY_FILE"
TOKEN_FILE = "MEDIATOR_TOKEN_FILE"
VARIABLES = (CA_FILE, CERT_FILE, KEY_FILE, TOKEN_FILE)


class CredentialError(ValueError):
    """A credential file that cannot be used; names the variable and the path, never the content."""


def _path(environ: Mapping[str, str], variable: str) -> str | None:
    path = environ.get(variable)
    if path is not None and not path.strip():
        raise CredentialError(f"{variable} is empty; set it to the path of a file, or unset it")
    return path


# A fleet's CA bundle is a few KiB; a file far larger takes OpenSSL minutes to load, and every
# new connection loads it again. A token is at most a few KiB too, and goes into every request.
CA_FILE_LIMIT = 1024 * 1024
TOKEN_LIMIT = 8 * 1024


def _text(variable: str, path: str, limit: int | None = None) -> str:
    try:
        return read_utf8(path, limit)
    except TextFileError as exc:
        if str(exc).startswith("is not UTF-8"):
            raise CredentialError(f"{variable}={path} is not PEM text") from None
        raise CredentialError(f"{variable}={path} {exc}") from None


def _pem(variable: str, path: str, *kinds: str, limit: int | None = None) -> str:
    """The file's text; refuse a file that holds no PEM block of one of ``kinds``."""
    text = _text(variable, path, limit)
    if not any(f"-----BEGIN {kind}-----" in text for kind in kinds):
        raise CredentialError(f"{variable}={path} is not PEM: it holds no {kinds[0]} block")
    return text


class _Encrypted(Exception):
    pass


def _no_password() -> str:
    raise _Encrypted  # OpenSSL would otherwise ask for one on the terminal


def _check_ca(path: str) -> None:
    import ssl

    _pem(CA_FILE, path, "CERTIFICATE", limit=CA_FILE_LIMIT)
    try:
        ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT).load_verify_locations(cafile=path)
    except ssl.SSLError:
        raise CredentialError(f"{CA_FILE}={path} holds no certificate that can be read") from None


def _check_pair(cert: str, key: str) -> list[str]:
    """Refuse a pair that cannot be shown to a mediator; the warnings about it."""
    import ssl

    pem = _pem(CERT_FILE, cert, "CERTIFICATE")
    _pem(KEY_FILE, key, "PRIVATE KEY", "RSA PRIVATE KEY", "EC PRIVATE KEY", "ENCRYPTED PRIVATE KEY")
    try:
        ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT).load_cert_chain(cert, key, password=_no_password)
    except _Encrypted:
        raise CredentialError(f"{KEY_FILE}={key} is encrypted; the key must be unencrypted PEM") from None
    except ssl.SSLError as exc:
        if exc.reason == "KEY_VALUES_MISMATCH":
            raise CredentialError(f"{KEY_FILE}={key} is not the key of the certificate in {CERT_FILE}={cert}") from None
        raise CredentialError(f"{CERT_FILE}={cert} and {KEY_FILE}={key} cannot be loaded as a PEM pair") from None
    _check_dates(cert, pem)
    return _key_warnings(key)


def _check_dates(path: str, pem: str) -> None:
    """Refuse a certificate that every mediator would refuse today: expired, or not yet valid."""
    import datetime

    from .validity import Unreadable, validity

    now = datetime.datetime.now(datetime.UTC)
    try:
        dates = validity(pem)
    except Unreadable:
        raise CredentialError(f"{CERT_FILE}={path} holds a certificate whose dates cannot be read") from None
    for number, (not_before, not_after) in enumerate(dates, start=1):
        which = "its certificate" if len(dates) == 1 else f"certificate {number} of {len(dates)}"
        if now > not_after:
            raise CredentialError(f"{CERT_FILE}={path}: {which} expired at {not_after:%Y-%m-%d %H:%M:%S} UTC")
        if now < not_before:
            raise CredentialError(f"{CERT_FILE}={path}: {which} is not valid before {not_before:%Y-%m-%d %H:%M:%S} UTC")


def _key_warnings(path: str) -> list[str]:
    """A key that other users can read. Readable by its group is what a mounted Secret gives
    a process that does not own the file (Kubernetes' fsGroup): that alone is not warned of."""
    st = os.stat(path)
    through_group = st.st_uid != os.geteuid() and st.st_gid in {os.getegid(), *os.getgroups()}
    who = [] if not st.st_mode & stat.S_IRGRP or through_group else ["its group"]
    who += ["every user"] if st.st_mode & stat.S_IROTH else []
    if not who:
        return []
    return [f"{KEY_FILE}={path} is readable by {' and '.join(who)}; make it readable by the job alone (chmod 600)"]


# Seconds a token is taken as it was last seen before its file is looked at again.
RECHECK = 1.0


class TokenFile:
    """A bearer token in a file that may be replaced while the process runs; the file
    is looked at again ``recheck`` seconds after it last was (0: at every use)."""

    def __init__(self, path: str, variable: str = TOKEN_FILE, recheck: float = RECHECK) -> None:
        self.path, self.variable, self.recheck = path, variable, recheck
        self._lock = threading.Lock()
        self._identity: tuple[int, int, int, int] | None = None
        self._token = ""
        self._fresh_until = 0.0

    def current(self, recheck: bool = False) -> str:
        """The token the file holds now; raises CredentialError when it holds none.
        ``recheck``: look at the file now, however recently it was looked at."""
        now = time.monotonic()
        if now < self._fresh_until and not recheck:
            return self._token
        try:
            st = os.stat(self.path)  # follows the symlink a mounted Secret is swapped through
        except OSError as exc:
            raise CredentialError(
                f"{self.variable}={self.path} cannot be read: {exc.strerror or type(exc).__name__}"
            ) from None
        identity = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
        with self._lock:
            if identity != self._identity:
                # Read after the stat: the text is at least as new as the identity kept,
                # so a change in between costs one more read, never a stale token.
                self._identity, self._fresh_until = None, 0.0
                self._token = self._read()
                self._identity = identity
            self._fresh_until = now + self.recheck
            return self._token

    def _read(self) -> str:
        token = _text(self.variable, self.path, TOKEN_LIMIT).removesuffix("\n").removesuffix("\r")
        if not token:
            raise CredentialError(f"{self.variable}={self.path} holds no token")
        if not (token.isascii() and token.isprintable()) or " " in token:
            # It goes into a header line: a line break would start another header.
            raise CredentialError(f"{self.variable}={self.path} holds a character a bearer token cannot carry")
        return token

    def __repr__(self) -> str:
        return f"<TokenFile {self.variable}={self.path}>"


@dataclass(frozen=True)
class Credentials:
    """The checked files: each None when its variable is not set."""

    ca_file: str | None
    cert_file: str | None
    key_file: str | None
    token: TokenFile | None
    # What the check found worth saying without refusing the files: a key others can read.
    warnings: tuple[str, ...] = ()

    @classmethod
    def from_env(cls, environ: Mapping[str, str] | None = None) -> Credentials | None:
        """The checked credentials that ``environ`` names; None when it names none."""
        env = os.environ if environ is None else environ
        ca, cert, key, token = (_path(env, variable) for variable in VARIABLES)
        if ca is None and cert is None and key is None and token is None:
            return None
        if (cert is None) != (key is None):
            given, missing = (CERT_FILE, KEY_FILE) if key is None else (KEY_FILE, CERT_FILE)
            raise CredentialError(f"{given} is set but {missing} is not; mutual TLS needs both")
        if ca is not None:
            _check_ca(ca)
        warnings = _check_pair(cert, key) if cert is not None and key is not None else []
        token_file = None
        if token is not None:
            token_file = TokenFile(token)
            token_file.current()
        return cls(ca, cert, key, token_file, tuple(warnings))

    @property
    def shown(self) -> str:
        """What the job shows a mediator, as an error names it."""
        shown = [CERT_FILE] if self.cert_file else []
        return " and ".join([*shown, *([TOKEN_FILE] if self.token else [])]) or "no credential"


def secured(environ: Mapping[str, str] | None = None) -> bool:
    """Whether the environment asks for credentials, checked or not: mediators must then be https."""
    env = os.environ if environ is None else environ
    return any(variable in env for variable in VARIABLES)


@functools.cache
def default_credentials() -> Credentials | None:
    return Credentials.from_env()
