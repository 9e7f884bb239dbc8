"""The mediator client: writes one meter's prepay-enabled setting over HTTP.

``prepay_enabled_write(value)`` sends ``PUT <address>/meters/<meter_id>/prepay_enabled``
with the body ``{"value": <bool>}``; the mediator answers 200 with
``{"meter_id": "<meter_id>", "value": <bool>}``. A success status whose body is
not JSON confirming the value written (and, when it names one, the meter) is a
failure: the write cannot be taken as done. All clients of a process share one pooled,
thread-safe httpx transport per scheme and proxy; a write goes to it directly, since
the client layer's cookies, authentication, redirects and hooks serve no mediator
write and cost about a third of its CPU.

The write is idempotent, so connection failures, 429 and 5xx answers are tried
again, a bounded number of times with a growing pause. A read time-out is not:
a mediator that took the request and went silent is unlikely to do better on a
second try, and waiting again would double what it costs the run. The longest a
write can take is about ``(retries + 1) * (connect + read) + pauses``.

Settings, from the environment, read once per process:

``MEDIATOR_CONNECT_TIMEOUT``  seconds to open a connection (3)
``MEDIATOR_READ_TIMEOUT``     seconds to wait for the answer, and to send the request (10)
``MEDIATOR_RETRIES``          further attempts after a retryable failure (2)
``MEDIATOR_BACKOFF``          first pause between attempts in seconds, doubled each time (0.25)
"""

from __future__ import annotations

import functools
import json
import os
import ssl
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import NoReturn
from urllib.parse import SplitResult, quote, urlsplit, urlunsplit
from urllib.request import getproxies, proxy_bypass

import httpx

from ..util import stopping
from .mediator_client_exception import MediatorClientException

# No pause is longer than this, whatever Retry-After asks for: the run stays bounded.
MAX_PAUSE = 4.0
RETRY_STATUSES = frozenset({429}) | frozenset(range(500, 600))
# Failures on the way to the mediator; the request did not get an answer.
RETRY_ERRORS = (httpx.NetworkError, httpx.ConnectTimeout, httpx.RemoteProtocolError)


def _number(env: Mapping[str, str], name: str, default: float, minimum: float) -> float:
    raw = env.get(name, "").strip()
    if not raw:
        return default
    try:
        value = float(raw)
    except ValueError:
        value = float("nan")
    if not value >= minimum:
        raise ValueError(f"{name}={raw!r} must be a number of at least {minimum:g}")
    return value


@dataclass(frozen=True)
class MediatorSettings:
    connect_timeout: float = 3.0
    read_timeout: float = 10.0
    retries: int = 2
    backoff: float = 0.25

    @classmethod
    def from_env(cls, environ: Mapping[str, str] | None = None) -> MediatorSettings:
        env = os.environ if environ is None else environ
        return cls(
            connect_timeout=_number(env, "MEDIATOR_CONNECT_TIMEOUT", cls.connect_timeout, 0.001),
            read_timeout=_number(env, "MEDIATOR_READ_TIMEOUT", cls.read_timeout, 0.001),
            retries=int(_number(env, "MEDIATOR_RETRIES", cls.retries, 0)),
            backoff=_number(env, "MEDIATOR_BACKOFF", cls.backoff, 0),
        )

    @functools.cached_property
    def timeout(self) -> dict[str, float]:
        """The time-outs, as a request's ``timeout`` extension."""
        return httpx.Timeout(
            connect=self.connect_timeout,
            read=self.read_timeout,
            write=self.read_timeout,
            pool=self.connect_timeout,
        ).as_dict()

    def pause(self, attempt: int, retry_after: float | None) -> float:
        pause = self.backoff * 2.0**attempt
        if retry_after is not None:
            pause = max(pause, retry_after)
        return min(pause, MAX_PAUSE)


@functools.cache
def default_settings() -> MediatorSettings:
    return MediatorSettings.from_env()


_JSON = {"Content-Type": "application/json"}
_BODIES = {value: json.dumps({"value": value}, separators=(",", ":")).encode() for value in (False, True)}

_shared_lock = threading.Lock()
_shared: dict[tuple[str, str | None], httpx.HTTPTransport] = {}


@functools.lru_cache(maxsize=1024)
def _proxy_for(scheme: str, host: str) -> str | None:
    """The proxy the environment names for ``host`` (``*_PROXY``, ``NO_PROXY``), if any."""
    proxy = getproxies().get(scheme)
    return None if proxy is None or proxy_bypass(host) else proxy


def _tls_context(scheme: str, proxy: str | None) -> ssl.SSLContext | bool:
    if scheme == "https" or (proxy or "").startswith("https:"):
        return True  # httpx's default: certifi's CAs, or SSL_CERT_FILE / SSL_CERT_DIR
    # Loading the CA bundle costs ~50 ms of CPU at start-up, and plain http never
    # uses it. This context trusts no CA at all, so were it ever used for TLS it
    # would refuse every certificate.
    return ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)


def shared_transport(scheme: str, host: str) -> httpx.HTTPTransport:
    """The process's pooled, thread-safe transport to mediators at ``scheme://host``."""
    key = (scheme, _proxy_for(scheme, host))
    transport = _shared.get(key)
    if transport is not None:
        return transport  # every write asks: no lock once the transport exists
    with _shared_lock:
        transport = _shared.get(key)
        if transport is None:
            transport = httpx.HTTPTransport(
                verify=_tls_context(*key),
                limits=httpx.Limits(max_connections=32, max_keepalive_connections=16),
                proxy=key[1],
            )
            _shared[key] = transport
        return transport


def _exchange(transport: httpx.BaseTransport, request: httpx.Request) -> httpx.Response:
    """Send ``request`` and read the whole answer, returning the connection to the pool."""
    response = transport.handle_request(request)
    try:
        response.read()
    finally:
        response.close()
    return response


def shown_address(address: str) -> str:
    """The address without any user name or password, for messages."""
    parts = urlsplit(address)
    return urlunsplit((parts.scheme, parts.netloc.rpartition("@")[2], parts.path, "", ""))


def split_address(address: object) -> SplitResult | None:
    """The parts of an address a request can go to; None for one it cannot."""
    if not isinstance(address, str) or any(ch.isspace() or not ch.isprintable() for ch in address):
        return None
    try:
        parts = urlsplit(address)
        parts.port  # noqa: B018 - a bad port raises here rather than at the first write
    except ValueError:
        return None
    return parts


def _unconfirmed(response: httpx.Response, value: bool, meter_id: object) -> str | None:
    """Why a success answer does not confirm the write; None when it does."""
    try:
        body = response.json()
    except ValueError:
        excerpt = response.text[:100].strip()
        return "the answer is not JSON" + (f" ({excerpt!r})" if excerpt else " (empty body)")
    if not isinstance(body, dict) or body.get("value") is not value:
        return f"the answer does not confirm value {json.dumps(value)}: {json.dumps(body)[:100]}"
    if "meter_id" in body and str(body["meter_id"]) != str(meter_id):
        return f"the answer is for meter {str(body['meter_id'])[:100]!r}"
    return None


def _path_segment(meter_id: object) -> str:
    # Percent-encode everything, dots of "." and ".." included: an id can never
    # reach another path on the mediator.
    text = quote(str(meter_id), safe="")
    return text.replace(".", "%2E") if set(text) == {"."} else text


def _retry_after(response: httpx.Response) -> float | None:
    try:
        return max(0.0, float(response.headers.get("retry-after", "")))
    except ValueError:
        return None


class OrtaneMediatorClient:
    """A client for one meter behind one mediator service."""

    def __init__(
        self,
        *,
        mediator_address: str,
        meter_id: object,
        settings: MediatorSettings | None = None,
        transport: httpx.BaseTransport | None = None,
    ) -> None:
        self.meter_id = meter_id
        self.mediator_address = mediator_address
        parts = split_address(mediator_address)
        if parts is not None:
            shown = shown_address(mediator_address)
        elif isinstance(mediator_address, str):
            shown = repr(mediator_address.rpartition("@")[2])  # never a password
        else:
            shown = repr(type(mediator_address).__name__)
        if parts is None or parts.scheme not in ("http", "https") or not parts.hostname:
            self._fail(f"mediator address {shown} is not an http(s) URL with a host and a valid port", shown, None)
        if parts.query or parts.fragment:
            self._fail(f"mediator address {shown} must not carry a query or fragment", shown, None)
        if meter_id is None or isinstance(meter_id, bool) or str(meter_id) == "":
            self._fail(f"meter id {meter_id!r} cannot name a meter", shown, None)
        self._shown = shown
        self._scheme, self._host = parts.scheme, parts.hostname
        self.url = mediator_address.rstrip("/") + f"/meters/{_path_segment(meter_id)}/prepay_enabled"
        self._settings = settings
        self._transport = transport

    def _fail(self, cause: str, shown: str, status: int | None) -> NoReturn:
        raise MediatorClientException(
            f"prepay_enabled write for meter {self.meter_id!r} via {shown} failed: {cause}",
            meter_id=self.meter_id,
            address=shown,
            status=status,
            cause=cause,
        )

    def prepay_enabled_write(self, value: bool) -> None:
        """Set the meter's prepay-enabled setting; raise MediatorClientException on failure."""
        if not isinstance(value, bool):
            raise TypeError(f"prepay_enabled_write takes a bool, not {type(value).__name__}")
        if (refusal := stopping.refusal()) is not None:
            self._fail(refusal, self._shown, None)  # the job is stopping: this write never starts
        settings = self._settings or default_settings()
        transport = self._transport or shared_transport(self._scheme, self._host)
        attempts = settings.retries + 1
        for attempt in range(attempts):
            last = attempt == attempts - 1
            request = httpx.Request(
                "PUT", self.url, content=_BODIES[value], headers=_JSON,
                extensions={"timeout": settings.timeout},
            )
            try:
                response = _exchange(transport, request)
            except httpx.TimeoutException as exc:
                if isinstance(exc, httpx.ConnectTimeout) and not last:
                    time.sleep(settings.pause(attempt, None))
                    continue
                kind = "connect" if isinstance(exc, httpx.ConnectTimeout) else "answer"
                limit = settings.connect_timeout if kind == "connect" else settings.read_timeout
                self._fail(f"no {kind} within {limit:g} s ({type(exc).__name__}) after {attempt + 1} attempt(s)", self._shown, None)
            except RETRY_ERRORS as exc:
                if not last:
                    time.sleep(settings.pause(attempt, None))
                    continue
                self._fail(f"{type(exc).__name__}: {exc} after {attempt + 1} attempt(s)", self._shown, None)
            except (httpx.HTTPError, httpx.InvalidURL) as exc:
                self._fail(f"{type(exc).__name__}: {exc}", self._shown, None)
            if response.is_success:
                problem = _unconfirmed(response, value, self.meter_id)
                if problem is None:
                    return
                # Not tried again: the mediator did answer, just not as agreed.
                self._fail(f"HTTP {response.status_code} but {problem}", self._shown, response.status_code)
            if response.status_code in RETRY_STATUSES and not last:
                time.sleep(settings.pause(attempt, _retry_after(response)))
                continue
            excerpt = response.text[:200].strip()
            self._fail(
                f"HTTP {response.status_code}" + (f" ({excerpt})" if excerpt else "")
                + f" after {attempt + 1} attempt(s)",
                self._shown,
                response.status_code,
            )

    def __repr__(self) -> str:
        return f"<OrtaneMediatorClient meter {self.meter_id!r} via {self._shown}>"
