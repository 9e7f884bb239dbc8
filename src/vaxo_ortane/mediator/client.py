"""The mediator client: writes one meter's prepay-enabled setting over HTTP.

``prepay_enabled_write(value)`` sends ``PUT <address>/meters/<meter_id>/prepay_enabled``
with the body ``{"value": <bool>}`` and an ``Idempotency-Key`` header; the mediator
answers 200 with ``{"meter_id": "<meter_id>", "value": <bool>}``, or 202 with a
``request_id`` when it has only accepted the write (``confirmation``).
``prepay_enabled_read()`` sends ``GET`` to the same path and takes the same
answer's value (the plan uses it). A success status whose body is not JSON
confirming the value written (and, when it names one, the meter) is a failure:
the write cannot be taken as done.

The key comes from the launcher's hooks (``writes``), and every attempt of the
write carries it: a mediator that took an attempt answers the next as it did,
without writing twice. With ``MEDIATOR_VERIFY=read-back`` the meter is read
before the write (a meter that already reads the value is not written) and
again after it, and only a read that shows the value confirms the write.

Writes go through libcurl (pycurl). Each thread keeps one easy handle and reuses
it, so its connections stay alive between writes; a handle is never shared
between threads, and nothing else is (libcurl's shared caches are not safe for
concurrent use). ``perform`` runs without the GIL.

The write is idempotent, so connection failures, 429 and 5xx answers are tried
again, a bounded number of times with a growing pause. A time-out after the
connection is made is not: a mediator that took the request and went silent, or
trickles its answer, is unlikely to do better on a second try. Each attempt has
a hard deadline of ``connect + read`` seconds, however the mediator answers, so
a write never takes longer than ``(retries + 1) * (connect + read) + pauses``.
Waiting for the launcher's rollout controls (``pacing``) comes before each
attempt's deadline starts, and outside that bound.

Settings, from the environment, read once per process:

``MEDIATOR_CONNECT_TIMEOUT``  seconds to open a connection (3)
``MEDIATOR_READ_TIMEOUT``     seconds to send the request and read the whole answer (10)
``MEDIATOR_RETRIES``          further attempts after a retryable failure (2)
``MEDIATOR_BACKOFF``          first pause between attempts in seconds, doubled each time (0.25)
``MEDIATOR_CONFIRM_TIMEOUT``  seconds from a write's acceptance to its confirmation, at most (300)
``MEDIATOR_VERIFY``           ``none``, or ``read-back`` to read each meter before and after its write

Proxies come from the environment (``*_PROXY``, ``NO_PROXY``), as Python's
urllib reads them. https is verified against ``MEDIATOR_CA_FILE`` when set (for
mediators only), else ``SSL_CERT_FILE``/``SSL_CERT_DIR`` when set, else the
system's CA bundle; the peer's certificate and host name always. The job's own
credentials, a client certificate and a bearer token, are described in
``credentials``: a token goes into each request's header from the file's current
value, and never over plain http. 401 and 403 are not tried again, but for one
case: a 401 has the token file read at once and, when it holds another token
(swapped on both sides together), the request is sent once more with it. A text
the mediator sent back is shown with every form of the token taken out, then cut.
"""

from __future__ import annotations

import dataclasses
import functools
import json
import os
import re
import threading
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, NoReturn
from urllib.parse import SplitResult, quote, unquote, urlsplit

import orjson
import pycurl

from ..util import stopping
from ..util.numbers import Bound, settings_from_env
from ..util.urls import without_credentials
from . import confirmation, idempotency, pacing, writes
from .confirmation import NOT_APPLIED, UNCONFIRMED, RequestState
from .credentials import CredentialError, Credentials, default_credentials
from .mediator_client_exception import REFUSED_STATUSES, TLS_REFUSED, MediatorClientException
from .scrub import scrubbed

# No pause is longer than this, whatever Retry-After asks for: the run stays bounded.
MAX_PAUSE = 4.0
RETRY_STATUSES = frozenset({429}) | frozenset(range(500, 600))
# A keyed write whose first attempt the mediator is still answering.
IN_PROGRESS = 409
# The mediator holds the write's key for another request.
KEY_REUSED = 422
MAX_REQUEST_ID = 200
VERIFY = "MEDIATOR_VERIFY"
VERIFY_MODES = ("none", "read-back")
# CURLOPT_CA_CACHE_TIMEOUT (libcurl 7.87), which pycurl 7.49 does not name.
CA_CACHE_TIMEOUT = getattr(pycurl, "CA_CACHE_TIMEOUT", 321)
# libcurl's failures on the way to the mediator, by the name the error carries;
# the request got no (whole) answer, so each is tried again.
CONNECT_ERRORS = frozenset(
    {
        pycurl.E_COULDNT_RESOLVE_PROXY,
        pycurl.E_COULDNT_RESOLVE_HOST,
        pycurl.E_COULDNT_CONNECT,
        pycurl.E_SSL_CONNECT_ERROR,
        pycurl.E_PEER_FAILED_VERIFICATION,
        pycurl.E_SSL_CERTPROBLEM,
        pycurl.E_SSL_CACERT_BADFILE,
        pycurl.E_SSL_ISSUER_ERROR,
        pycurl.E_SSL_PINNEDPUBKEYNOTMATCH,
        pycurl.E_SSL_INVALIDCERTSTATUS,
    }
)
RETRY_ERRORS: dict[int, str] = {
    **dict.fromkeys(CONNECT_ERRORS, "ConnectError"),
    pycurl.E_GOT_NOTHING: "RemoteProtocolError",
    pycurl.E_PARTIAL_FILE: "RemoteProtocolError",
    pycurl.E_FTP_WEIRD_SERVER_REPLY: "RemoteProtocolError",  # libcurl's WEIRD_SERVER_REPLY, for any protocol
    pycurl.E_SEND_ERROR: "WriteError",
    pycurl.E_RECV_ERROR: "ReadError",
}


@dataclass(frozen=True)
class MediatorSettings:
    connect_timeout: float = 3.0
    read_timeout: float = 10.0
    retries: int = 2
    backoff: float = 0.25
    confirm_timeout: float = 300.0
    read_back: bool = False

    @classmethod
    def from_env(cls, environ: Mapping[str, str] | None = None) -> MediatorSettings:
        environ = os.environ if environ is None else environ
        mode = environ.get(VERIFY, "").strip() or VERIFY_MODES[0]
        if mode not in VERIFY_MODES:
            raise ValueError(f"{VERIFY} must be none or read-back, not {mode[:40]!r}")
        return dataclasses.replace(settings_from_env(cls, environ, _BOUNDS), read_back=mode == "read-back")

    @property
    def deadline(self) -> float:
        """Seconds one attempt may take in all, however the mediator answers."""
        return self.connect_timeout + self.read_timeout

    @functools.cached_property
    def limits_ms(self) -> tuple[int, int]:
        """The connect time-out and the attempt's deadline, in libcurl's milliseconds."""
        return max(1, round(self.connect_timeout * 1000)), max(1, round(self.deadline * 1000))

    def pause(self, attempt: int, retry_after: float | None) -> float:
        pause = self.backoff * 2.0**attempt
        if retry_after is not None:
            pause = max(pause, retry_after)
        return min(pause, MAX_PAUSE)


_BOUNDS = {
    "connect_timeout": Bound("MEDIATOR_CONNECT_TIMEOUT", 0.001),
    "read_timeout": Bound("MEDIATOR_READ_TIMEOUT", 0.001),
    "retries": Bound("MEDIATOR_RETRIES", 0),
    "backoff": Bound("MEDIATOR_BACKOFF", 0),
    "confirm_timeout": Bound("MEDIATOR_CONFIRM_TIMEOUT", 0, above=True),
}


@functools.cache
def default_settings() -> MediatorSettings:
    return MediatorSettings.from_env()


_HEADERS = ["Content-Type: application/json", "Expect:"]
_BODIES = {value: json.dumps({"value": value}, separators=(",", ":")).encode() for value in (False, True)}


@functools.lru_cache(maxsize=1024)
def _proxy_for(scheme: str, host: str) -> str:
    """The proxy the environment names for ``host`` (``*_PROXY``, ``NO_PROXY``); "" for none."""
    if not any(name.lower().endswith("_proxy") for name in os.environ):
        return ""  # urllib.request costs ~10 ms to import; most runs set no proxy
    from urllib.request import getproxies, proxy_bypass

    proxy = getproxies().get(scheme)
    return "" if proxy is None or proxy_bypass(host) else proxy


@functools.cache
def _ca_locations() -> tuple[str | None, str | None]:
    """The CA file and folder https is verified against: ``SSL_CERT_FILE`` and
    ``SSL_CERT_DIR`` when set, else where the system keeps its bundle."""
    import ssl  # only https needs it

    paths = ssl.get_default_verify_paths()
    cafile, capath = paths.cafile, paths.capath
    if cafile is None and capath is None:
        for candidate in (
            "/etc/ssl/certs/ca-certificates.crt",
            "/etc/pki/tls/certs/ca-bundle.crt",
            "/etc/ssl/cert.pem",
            "/etc/ssl/ca-bundle.pem",
        ):
            if os.path.isfile(candidate):
                return candidate, None
    return cafile, capath


class _Handle:
    """A thread's easy handle, and the options last set on it: an option is set
    again only when a write needs another value."""

    def __init__(self, read: bool = False, credentials: Credentials | None = None) -> None:
        self.curl = curl = pycurl.Curl()
        # No signals: libcurl runs in worker threads, and SIGALRM would land anywhere.
        curl.setopt(pycurl.NOSIGNAL, 1)
        curl.setopt(pycurl.PROTOCOLS, pycurl.PROTO_HTTP | pycurl.PROTO_HTTPS)
        curl.setopt(pycurl.HTTP_VERSION, pycurl.CURL_HTTP_VERSION_1_1)
        if read:
            curl.setopt(pycurl.HTTPGET, 1)  # a reading handle never carries a body
        else:
            curl.setopt(pycurl.CUSTOMREQUEST, "PUT")
            curl.setopt(pycurl.HTTPHEADER, _HEADERS)
        curl.setopt(pycurl.FOLLOWLOCATION, 0)
        # The path is percent-encoded here, a meter id's dots included; libcurl would
        # otherwise resolve "%2E%2E" as "..".
        curl.setopt(pycurl.PATH_AS_IS, 1)
        self.head: list[bytes] = []
        self.body: list[bytes] = []
        curl.setopt(pycurl.HEADERFUNCTION, self.head.append)
        curl.setopt(pycurl.WRITEFUNCTION, self.body.append)
        self.options: dict[int, object] = {}
        self.tls = False
        self.credentials = credentials  # what the handle shows and trusts; another set takes another handle

    def set(self, option: int, value: object) -> None:
        if self.options.get(option) != value:
            self.curl.setopt(option, value)
            self.options[option] = value

    def verify(self) -> None:
        """Verify https peers (and proxies) against the CA locations, and show the
        client certificate; once per handle."""
        if self.tls:
            return
        curl = self.curl
        cafile, capath = _ca_locations()
        for option, value in (
            (pycurl.CAINFO, cafile),
            (pycurl.PROXY_CAINFO, cafile),
            (pycurl.CAPATH, capath),
            (pycurl.PROXY_CAPATH, capath),
        ):
            if value is not None:  # None would reset it to the path libcurl was built with
                curl.setopt(option, value)
        credentials = self.credentials
        if credentials is not None and credentials.ca_file is not None:
            # The fleet's CA alone, for mediators; a proxy keeps the system's.
            curl.setopt(pycurl.CAINFO, credentials.ca_file)
            if capath is not None:
                curl.unsetopt(pycurl.CAPATH)
            # Read for each new connection rather than kept for a day: a CA rotated
            # under a running job is taken. A fleet's bundle is small.
            curl.setopt(CA_CACHE_TIMEOUT, 0)
        if credentials is not None and credentials.cert_file is not None and credentials.key_file is not None:
            curl.setopt(pycurl.SSLCERTTYPE, "PEM")
            curl.setopt(pycurl.SSLCERT, credentials.cert_file)
            curl.setopt(pycurl.SSLKEYTYPE, "PEM")
            curl.setopt(pycurl.SSLKEY, credentials.key_file)
            # A resumed TLS session would carry the identity it was opened with: each new
            # connection shows the certificate the files hold now. Kept-alive connections
            # are reused all the same, so this costs a handshake per new connection only.
            curl.setopt(pycurl.SSL_SESSIONID_CACHE, 0)
        # libcurl's defaults, set all the same: no setting of ours turns them off.
        curl.setopt(pycurl.SSL_VERIFYPEER, 1)
        curl.setopt(pycurl.SSL_VERIFYHOST, 2)
        self.tls = True


_local = threading.local()


def _handle(credentials: Credentials | None = None) -> _Handle:
    """This thread's handle, made at its first write."""
    handle: _Handle | None = getattr(_local, "handle", None)
    if handle is None or handle.credentials is not credentials:
        handle = _local.handle = _Handle(credentials=credentials)
    return handle


def _reading_handle(credentials: Credentials | None = None) -> _Handle:
    """This thread's handle for reads, kept apart so that writes keep their options set."""
    handle: _Handle | None = getattr(_local, "reader", None)
    if handle is None or handle.credentials is not credentials:
        handle = _local.reader = _Handle(read=True, credentials=credentials)
    return handle


class _Answer:
    __slots__ = ("body", "head", "parsed", "secret", "status")

    def __init__(self, status: int, head: list[bytes], body: bytes) -> None:
        self.status, self.head, self.body = status, head, body
        self.secret: str | None = None  # the token the request carried: never in what is kept of the answer
        self.parsed: Any = None  # the body as JSON, once a success answer's check has read it

    @property
    def text(self) -> str:
        return self.body.decode("utf-8", "replace")

    @property
    def retry_after(self) -> float | None:
        for line in self.head:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"retry-after":
                try:
                    return max(0.0, float(value))
                except ValueError:
                    return None
        return None


def split_address(address: object) -> SplitResult | None:
    """The parts of an address a request can go to; None for one it cannot."""
    # Every white-space character but the space is also unprintable.
    if not isinstance(address, str) or not address.isprintable() or " " in address:
        return None
    try:
        parts = urlsplit(address)
        parts.port  # noqa: B018 - a bad port raises here rather than at the first write
    except ValueError:
        return None
    return parts


@functools.lru_cache(maxsize=4096)
def _address_parts(address: str) -> tuple[SplitResult | None, str, str | None]:
    """``split_address``, the address as messages show it and its host, once per
    address: a fleet's meters share a handful of mediators."""
    parts = split_address(address)
    if parts is None:
        return None, repr(address.rpartition("@")[2]), None
    return parts, without_credentials(address), parts.hostname


_PLAIN = frozenset({str, bool, int, type(None)})


def _parsed(body: bytes) -> object:
    # orjson reads the usual answer, a flat object of UTF-8 text, in a fraction of the
    # time. Anything else goes to the standard parser, so that every answer is judged
    # as before: orjson refuses other encodings and NaN, and reads ints past 64 bits
    # as floats, which would change how a meter id compares.
    try:
        parsed = orjson.loads(body)
    except orjson.JSONDecodeError:
        parsed = None
    if type(parsed) is dict and all(type(item) in _PLAIN for item in parsed.values()):
        return parsed
    return json.loads(body)


def _unconfirmed(answer: _Answer, value: bool | None, meter_id: object, scrub: Callable[[str], str]) -> str | None:
    """Why a success answer does not confirm the write of ``value`` (or, for None, does
    not report a setting); None when it does. Each excerpt is scrubbed, then cut."""
    try:
        answer.parsed = body = _parsed(answer.body)
    except ValueError:
        excerpt = scrub(answer.text)[:100].strip()
        return "the answer is not JSON" + (f" ({excerpt!r})" if excerpt else " (empty body)")
    if value is None:
        if not isinstance(body, dict) or not isinstance(body.get("value"), bool):
            return f"the answer holds no true or false value: {scrub(json.dumps(body))[:100]}"
    elif not isinstance(body, dict) or body.get("value") is not value:
        return f"the answer does not confirm value {json.dumps(value)}: {scrub(json.dumps(body))[:100]}"
    if "meter_id" in body and str(body["meter_id"]) != str(meter_id):
        return f"the answer is for meter {scrub(str(body['meter_id']))[:100]!r}"
    return None


def _not_accepted(answer: _Answer, meter_id: object, scrub: Callable[[str], str]) -> str | None:
    """Why a 202 answer does not give a request id to follow the write by; None when it does.
    Each excerpt is scrubbed, then cut."""
    try:
        answer.parsed = body = _parsed(answer.body)
    except ValueError:
        return "the answer is not JSON"
    request_id = body.get("request_id") if isinstance(body, dict) else None
    if not isinstance(body, dict) or not isinstance(request_id, str) or not 0 < len(request_id) <= MAX_REQUEST_ID:
        return f"the answer holds no request id of printable text: {scrub(json.dumps(body))[:100]}"
    if not request_id.isprintable():
        return "the answer's request id is not printable text"
    if scrub(request_id) != request_id:
        return "the answer's request id holds the job's bearer token"
    if "meter_id" in body and str(body["meter_id"]) != str(meter_id):
        return f"the answer is for meter {scrub(str(body['meter_id']))[:100]!r}"
    return None


def _request_problem(answer: _Answer, meter_id: object, request_id: str, scrub: Callable[[str], str]) -> str | None:
    """Why a request's answer does not say how it stands; None when it does."""
    try:
        answer.parsed = body = _parsed(answer.body)
    except ValueError:
        return "the answer is not JSON"
    if not isinstance(body, dict) or body.get("status") not in confirmation.STATUSES:
        return f"the answer holds no pending, applied or failed status: {scrub(json.dumps(body))[:100]}"
    if "request_id" in body and str(body["request_id"]) != request_id:
        return f"the answer is for request {scrub(str(body['request_id']))[:100]!r}"
    if "meter_id" in body and str(body["meter_id"]) != str(meter_id):
        return f"the answer is for meter {scrub(str(body['meter_id']))[:100]!r}"
    return None


_UNRESERVED = re.compile(r"[A-Za-z0-9_.~-]+")


def _path_segment(meter_id: object) -> str:
    # Percent-encode everything, dots of "." and ".." included: an id can never
    # reach another path on the mediator.
    text = str(meter_id)
    if _UNRESERVED.fullmatch(text) is None:  # most ids are what quote() leaves as it is
        text = quote(text, safe="")
    return text.replace(".", "%2E") if set(text) == {"."} else text


class _Failed(Exception):
    """One attempt got no usable answer: ``retry`` says whether another may help."""

    def __init__(self, cause: str, retry: bool) -> None:
        super().__init__(cause)
        self.cause, self.retry = cause, retry


DISCONNECTED = "Server disconnected without sending a response."


def _transport_cause(curl: pycurl.Curl, code: int, message: str, settings: MediatorSettings) -> _Failed:
    if code == pycurl.E_OPERATION_TIMEDOUT:
        # Nothing was sent before the connection (and TLS) was up: a connect time-out,
        # tried again. Afterwards the mediator has the request: not tried again. A stalled
        # TLS handshake ends with a pretransfer time, but no request sent.
        if curl.getinfo(pycurl.PRETRANSFER_TIME_T) == 0 or curl.getinfo(pycurl.REQUEST_SIZE) == 0:
            return _Failed(f"no connect within {settings.connect_timeout:g} s (ConnectTimeout)", True)
        if curl.getinfo(pycurl.SIZE_DOWNLOAD_T) or curl.getinfo(pycurl.HEADER_SIZE):
            return _Failed(f"no whole answer within {settings.deadline:g} s (ReadTimeout)", False)
        return _Failed(f"no answer within {settings.read_timeout:g} s (ReadTimeout)", False)
    name = RETRY_ERRORS.get(code, "TransportError")
    if " alert " in message and code in (pycurl.E_SSL_CONNECT_ERROR, pycurl.E_RECV_ERROR, pycurl.E_SEND_ERROR):
        # The mediator ended the handshake, with TLS 1.3 after it seemed done: it
        # took no request, and would refuse the same certificate again.
        return _Failed(
            f"{TLS_REFUSED}{message}: the mediator ended the TLS handshake; it refused the job's client "
            "certificate, or wants one (MEDIATOR_CLIENT_CERT_FILE)",
            False,
        )
    if code == pycurl.E_PEER_FAILED_VERIFICATION:
        message = f"CERTIFICATE_VERIFY_FAILED: {message}"  # the tag log searches look for
    elif code == pycurl.E_GOT_NOTHING or (
        code == pycurl.E_FTP_WEIRD_SERVER_REPLY and not curl.getinfo(pycurl.HEADER_SIZE)
    ):
        message = DISCONNECTED
    elif code == pycurl.E_PARTIAL_FILE:
        received, expected = curl.getinfo(pycurl.SIZE_DOWNLOAD_T), curl.getinfo(pycurl.CONTENT_LENGTH_DOWNLOAD_T)
        message = "peer closed connection without sending complete message body " + (
            f"(received {received} bytes, expected {expected})" if expected >= 0 else "(incomplete chunked read)"
        )
    return _Failed(f"{name}: {message}", code in RETRY_ERRORS)


def _attempt(
    url: str,
    body: bytes | None,
    proxy: str,
    tls: bool,
    settings: MediatorSettings,
    credentials: Credentials | None = None,
    token: str | None = None,
    key: str | None = None,
) -> _Answer:
    """One exchange on this thread's handle (a read without a body), with ``token``
    and ``key`` in its header; raises _Failed when no whole answer came."""
    handle = _handle(credentials) if body is not None else _reading_handle(credentials)
    if tls or proxy.startswith("https:"):
        handle.verify()
    if token is not None or key is not None or pycurl.HTTPHEADER in handle.options:
        # Set from the token's current value and the write's key, and again only when they changed.
        headers = _HEADERS if body is not None else []
        if key is not None:
            headers = [*headers, f"Idempotency-Key: {key}"]
        if token is not None:
            headers = [*headers, f"Authorization: Bearer {token}"]
        handle.set(pycurl.HTTPHEADER, headers)
    connect_ms, deadline_ms = settings.limits_ms
    handle.head.clear()
    handle.body.clear()
    curl = handle.curl
    curl.setopt(pycurl.URL, url)
    handle.set(pycurl.PROXY, proxy)  # "" also keeps libcurl from reading proxies itself
    if body is not None:
        handle.set(pycurl.POSTFIELDS, body)
    handle.set(pycurl.CONNECTTIMEOUT_MS, connect_ms)
    handle.set(pycurl.TIMEOUT_MS, deadline_ms)
    try:
        curl.perform()
    except pycurl.error as exc:
        code, message = exc.args if len(exc.args) == 2 else (-1, str(exc))
        raise _transport_cause(curl, code, message, settings) from None
    head = handle.head
    if not head or head[-1] != b"\r\n":
        # libcurl takes a connection closed inside the head as an answer with no body.
        raise _Failed(f"RemoteProtocolError: {DISCONNECTED}", True)
    # The head list is the handle's own: read it before this thread's next write.
    return _Answer(curl.getinfo(pycurl.RESPONSE_CODE), head, b"".join(handle.body))


class OrtaneMediatorClient:
    """A client for one meter behind one mediator service."""

    def __init__(
        self,
        *,
        mediator_address: str,
        meter_id: object,
        settings: MediatorSettings | None = None,
        credentials: Credentials | None = None,
    ) -> None:
        self.meter_id = meter_id
        self.mediator_address = mediator_address
        if isinstance(mediator_address, str):
            parts, shown, host = _address_parts(mediator_address)  # shown: never a password
        else:
            parts, shown, host = None, repr(type(mediator_address).__name__), None
        if parts is None or parts.scheme not in ("http", "https") or not host:
            self._fail(f"mediator address {shown} is not an http(s) URL with a host and a valid port", shown, None)
        if parts.query or parts.fragment:
            self._fail(f"mediator address {shown} must not carry a query or fragment", shown, None)
        if meter_id is None or isinstance(meter_id, bool) or str(meter_id) == "":
            self._fail(f"meter id {meter_id!r} cannot name a meter", shown, None)
        self._shown = shown
        self._scheme, self._host = parts.scheme, host
        # Sent without any user name or password: the job's credentials are its
        # certificate and token, never an address's.
        self._base = shown.rstrip("/")
        self.url = self._base + f"/meters/{_path_segment(meter_id)}/prepay_enabled"
        self._settings = settings
        self._given_credentials = credentials  # None: the environment's

    def _fail(self, cause: str, shown: str, status: int | None, action: str = "write") -> NoReturn:
        exc = MediatorClientException(
            f"prepay_enabled {action} for meter {self.meter_id!r} via {shown} failed: {cause}",
            meter_id=self.meter_id,
            address=shown,
            status=status,
            cause=cause,
        )
        if status is not None or exc.credentials_refused:
            pacing.after_answer(exc.credentials_refused)  # the mediator judged the credentials
        raise exc

    def prepay_enabled_write(self, value: bool) -> None:
        """Set the meter's prepay-enabled setting; raise MediatorClientException on failure.

        A write the mediator only accepted returns once it is confirmed, or at once
        when the launcher's hooks confirm it beside the caller.
        """
        if not isinstance(value, bool):
            raise TypeError(f"prepay_enabled_write takes a bool, not {type(value).__name__}")
        pacing.before_write()  # may wait: the stop check comes after it
        if (refusal := stopping.refusal()) is not None:
            self._fail(refusal, self._shown, None)  # the job is stopping: this write never starts
        settings = self._settings or default_settings()
        key = writes.key_for(self.meter_id, value)
        if not idempotency.usable(key):
            raise ValueError("the idempotency key for this write cannot go into a header")
        request_id = writes.held(key)
        looked_at = 0.0
        if request_id is not None:
            looked_at = time.monotonic()  # a held request is asked at once
        else:
            if settings.read_back:
                before = self.prepay_enabled_read()
                writes.on_read(self.meter_id, before)
                if before is value:
                    return  # already so at the meter: nothing is written
            answer = self._exchange(_BODIES[value], value, "write", key)
            if answer.status != 202:
                if settings.read_back:
                    self._read_back(value, answer.status)
                return
            request_id = str(answer.parsed["request_id"])  # as _not_accepted found it
        accepted = confirmation.Accepted(
            self, request_id, value, settings.read_back, settings.confirm_timeout, next_at=looked_at
        )
        if writes.on_accepted(accepted):
            return
        verdict = confirmation.confirm_here(accepted)
        if not verdict.confirmed:
            self._fail(str(verdict.detail), self._shown, None)

    def _read_back(self, value: bool, status: int) -> None:
        """Read the meter after a write answered with ``status``; fail unless it shows ``value``."""
        try:
            now = self.prepay_enabled_read()
        except MediatorClientException as exc:
            self._fail(
                f"{UNCONFIRMED}: the write was answered {status}, and the read back failed: {exc.cause}",
                self._shown,
                None,
            )
        if now is not value:
            self._fail(
                f"{NOT_APPLIED}: the write was answered {status}, and the meter reads {json.dumps(now)}",
                self._shown,
                None,
            )

    def prepay_enabled_read(self) -> bool:
        """The meter's current setting, read with ``GET`` (never a write), within the
        same time bounds and retries as a write; raise MediatorClientException on failure."""
        answer = self._exchange(None, None, "read")
        value: bool = answer.parsed["value"]  # as _unconfirmed found it
        return value

    def request_status(self, request_id: str) -> RequestState:
        """How the accepted request ``request_id`` stands, asked with ``GET`` within the same
        bounds as a read; raise MediatorClientException on failure."""
        url = f"{self._base}/requests/{_path_segment(request_id)}"
        answer = self._exchange(None, None, f"poll of request {request_id!r}", url=url, request_id=request_id)
        body = answer.parsed  # as _request_problem found it
        error = body.get("error")
        value = body.get("value")
        return RequestState(
            body["status"],
            value if isinstance(value, bool) else None,
            None if error is None else _scrubbed(str(error), secrets=(answer.secret,))[:300],
        )

    def _exchange(
        self,
        body: bytes | None,
        value: bool | None,
        action: str,
        key: str | None = None,
        url: str | None = None,
        request_id: str | None = None,
    ) -> _Answer:
        """Send the request (a write with ``body``, a read without; ``url`` for another
        resource than the meter's setting) until an answer confirms it; ``value`` is what
        a write's answer must confirm, ``request_id`` the request a poll asks about."""
        settings = self._settings or default_settings()
        proxy = _proxy_for(self._scheme, self._host)
        tls = self._scheme == "https"
        credentials = self._credentials(action)
        if credentials is not None and not tls:
            self._fail(
                "the mediator address is plain http and the job holds mediator credentials: nothing is sent "
                "in the clear, nor to a mediator that proves no identity; give it an https address",
                self._shown,
                None,
                action,
            )
        token = None
        rotated = False  # the one extra attempt with a token that changed under a 401
        attempts = settings.retries + 1
        for attempt in range(attempts):
            last = attempt == attempts - 1
            if (refusal := pacing.before_request(attempt)) is not None:
                self._fail(refusal, self._shown, None, action)
            try:
                if credentials is not None and credentials.token is not None:
                    token = credentials.token.current()
                answer = _attempt(url or self.url, body, proxy, tls, settings, credentials, token, key)
                if answer.status == 401 and not rotated and (newer := _rotated(credentials, token)) is not None:
                    # Swapped on both sides at once: the file may hold the token the mediator wants now.
                    rotated, token = True, newer
                    if (refusal := pacing.before_request(attempt + 1)) is not None:
                        self._fail(refusal, self._shown, None, action)
                    answer = _attempt(url or self.url, body, proxy, tls, settings, credentials, token, key)
            except CredentialError as exc:
                unsent = "no request sent" if attempt == 0 else f"attempt {attempt + 1} not sent"
                self._fail(f"{exc}; {unsent}", self._shown, None, action)
            except _Failed as failed:
                if failed.retry and not last:
                    time.sleep(settings.pause(attempt, None))
                    continue
                self._fail(
                    f"{_scrubbed(failed.cause, self.mediator_address, proxy)} after {attempt + 1} attempt(s)",
                    self._shown,
                    None,
                    action,
                )
            if 200 <= answer.status < 300:
                answer.secret = token
                scrub = functools.partial(_scrubbed, secrets=(token,))
                # A poll's answer, a write's 202, or a setting (a read answered 202 is a
                # mistake, which the value check finds).
                if request_id is not None:
                    problem = _request_problem(answer, self.meter_id, request_id, scrub)
                elif answer.status == 202 and value is not None:
                    problem = _not_accepted(answer, self.meter_id, scrub)
                else:
                    problem = _unconfirmed(answer, value, self.meter_id, scrub)
                if problem is None:
                    pacing.after_answer(False)
                    return answer
                # Not tried again: the mediator did answer, just not as agreed.
                self._fail(f"HTTP {answer.status} but {problem}", self._shown, answer.status, action)
            if (answer.status in RETRY_STATUSES or (answer.status == IN_PROGRESS and key is not None)) and not last:
                time.sleep(settings.pause(attempt, answer.retry_after))
                continue
            # A mediator may echo the request: its answer is shown without the token.
            excerpt = _scrubbed(answer.text, secrets=(token,))[:200].strip()
            refused = ""
            if answer.status in REFUSED_STATUSES:
                shown = "no credential" if credentials is None else credentials.shown
                refused = f": the mediator refused the job's credentials ({shown})"
            elif answer.status == KEY_REUSED and key is not None:
                refused = ": the mediator holds this write's idempotency key for another meter or value"
            self._fail(
                f"HTTP {answer.status}"
                + (f" ({excerpt})" if excerpt else "")
                + refused
                + f" after {attempt + 1} attempt(s)",
                self._shown,
                answer.status,
                action,
            )
        raise AssertionError("unreachable: the last attempt returns or fails")

    def _credentials(self, action: str) -> Credentials | None:
        if self._given_credentials is not None:
            return self._given_credentials
        try:
            return default_credentials()
        except CredentialError as exc:
            self._fail(f"{exc}; no request sent", self._shown, None, action)

    def __repr__(self) -> str:
        return f"<OrtaneMediatorClient meter {self.meter_id!r} via {self._shown}>"


def _rotated(credentials: Credentials | None, token: str | None) -> str | None:
    """The token file's text when it no longer holds ``token``, read at once; else None."""
    if credentials is None or credentials.token is None or token is None:
        return None
    try:
        newer = credentials.token.current(recheck=True)
    except CredentialError:
        return None  # gone since the request: the 401 stands, the next write says why
    return newer if newer != token else None


def _scrubbed(text: str, *urls: str, secrets: tuple[str | None, ...] = ()) -> str:
    """``text`` without the user names and passwords ``urls`` carry, nor ``secrets``, in any form."""
    found = {secret for secret in secrets if secret}
    for url in urls:
        userinfo = urlsplit(url).netloc.rpartition("@")[0] if "@" in url else ""
        found |= {userinfo, *userinfo.split(":")} - {""}
    found |= {unquote(secret) for secret in found}
    return scrubbed(text, found)
