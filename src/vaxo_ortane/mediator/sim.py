"""A local mediator service for trying the jobs out: ``vaxo-mediator-sim``.

It speaks the mediator protocol over real HTTP on the loopback interface for a
set of meters and keeps each meter's setting in memory:

- ``GET  /meters/<meter_id>/prepay_enabled`` answers ``{"meter_id": ..., "value": <bool>}``;
- ``PUT  /meters/<meter_id>/prepay_enabled`` with ``{"value": <bool>}`` sets it;
- ``GET  /requests/<request_id>`` answers how an accepted write stands.

A write's ``Idempotency-Key`` is kept with the answer it got: the same key
again is answered the same way and writes nothing (409 while the first is still
being answered), the same key with another meter or value gets 422. A write
that was not taken (an injected failure) keeps no key.

Faults can be injected per meter, on writes only, so that reads can always show
the state: ``latency`` (seconds before answering), ``fail_status`` (answer with
that status instead; ``fail_times`` limits it to the first N writes) and
``hang`` (never answer; the connection is dropped when the service stops).
A head-end's ways: ``accept`` (answer 202 with a request id, and apply the
write ``apply_after`` seconds later), ``apply = "never"`` or ``"fail"`` (the
accepted request stays pending, or ends failed) and ``lie`` (say the write
was applied and leave the setting as it was).

The meters come from a TOML file::

    [meters."MID-0001"]
    prepay_enabled = true
    fail_status = 503

Run: ``vaxo-mediator-sim --config meters.toml [--port N]``. The first line on
standard output is ``listening on http://127.0.0.1:PORT``. Inside a container,
``--host 0.0.0.0`` lets the engine's published port reach it.

Secured, as a real head-end is: ``--tls-cert`` and ``--tls-key`` serve https;
``--client-ca`` also requires a client certificate that chains to that CA (a
handshake without one ends before any request); ``--token-file`` requires
``Authorization: Bearer <token>`` on every request, answers 401 otherwise, and
reads the file again when it changes; ``--token-grace SECONDS`` still takes the
token before a change for that long after the service first saw the change. When it
stops, the service says on standard error how many requests (and TLS handshakes) it
served, and then, as one JSON line, the writes it applied per meter and the repeated
keys it answered.
"""

from __future__ import annotations

import argparse
import collections
import heapq
import hmac
import itertools
import json
import selectors
import signal
import socket
import ssl
import sys
import threading
import time
import tomllib
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from types import FrameType
from typing import Any
from urllib.parse import unquote

from .credentials import CredentialError, TokenFile

LOOPBACK = "127.0.0.1"
MAX_BODY = 64 * 1024
MAX_HEAD = 16 * 1024
BEHAVIOUR_KEYS = frozenset(
    {"prepay_enabled", "latency", "fail_status", "fail_times", "hang", "accept", "apply_after", "apply", "lie"}
)
APPLY_WAYS = ("never", "fail")
MAX_ARRIVALS = 100_000
REASONS = {
    200: "OK",
    202: "Accepted",
    400: "Bad Request",
    401: "Unauthorized",
    404: "Not Found",
    405: "Method Not Allowed",
    409: "Conflict",
    422: "Unprocessable Content",
}
REQUEST_ERROR = "the meter refused the command (injected)"


@dataclass(frozen=True)
class MeterBehaviour:
    prepay_enabled: bool = True
    latency: float = 0.0
    fail_status: int | None = None
    fail_times: int | None = None
    hang: bool = False
    accept: bool = False
    apply_after: float = 0.0
    apply: str | None = None
    lie: bool = False


@dataclass
class MeterState:
    behaviour: MeterBehaviour
    value: bool
    writes: int = 0  # writes that reached the meter's behaviour, failed ones included
    applied: int = 0  # writes that set the setting
    applied_on: int = 0  # those of them that set it to true
    repeated: int = 0  # writes answered from their key, without writing


@dataclass
class _Kept:
    """What a key was first used for, and the answer it got (None while it is being answered)."""

    target: str
    value: bool
    answer: tuple[int, dict[str, Any]] | None = None


@dataclass
class _Request:
    request_id: str
    meter_id: str
    value: bool
    status: str = "pending"


def behaviour_from(meter_id: str, raw: Mapping[str, Any], source: str) -> MeterBehaviour:
    unknown = set(raw) - BEHAVIOUR_KEYS
    if unknown:
        raise ValueError(f"{source}: meter {meter_id!r} has unknown keys {', '.join(sorted(unknown))}")
    behaviour = MeterBehaviour(**raw)
    if not all(
        isinstance(flag, bool) for flag in (behaviour.prepay_enabled, behaviour.hang, behaviour.accept, behaviour.lie)
    ):
        raise ValueError(f"{source}: meter {meter_id!r}: prepay_enabled, hang, accept and lie must be true or false")
    for name, seconds in (("latency", behaviour.latency), ("apply_after", behaviour.apply_after)):
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not 0 <= seconds < 1e9:
            raise ValueError(f"{source}: meter {meter_id!r}: {name} must be a number of seconds >= 0")
    if behaviour.apply is not None and behaviour.apply not in APPLY_WAYS:
        raise ValueError(f'{source}: meter {meter_id!r}: apply must be "never" or "fail"')
    status = behaviour.fail_status
    if status is not None and not (isinstance(status, int) and 400 <= status <= 599):
        raise ValueError(f"{source}: meter {meter_id!r}: fail_status must be an HTTP error status")
    return behaviour


def load_config(path: Path) -> dict[str, MeterBehaviour]:
    with path.open("rb") as f:
        document = tomllib.load(f)
    meters = document.get("meters", {})
    if not isinstance(meters, dict):
        raise ValueError(f"{path}: [meters] must be a table of meter tables")
    return {str(mid): behaviour_from(str(mid), raw, str(path)) for mid, raw in meters.items()}


class _Connection:
    """One client connection: what it sent so far, and whether an answer is due."""

    def __init__(self, sock: socket.socket, peer: str) -> None:
        self.sock, self.peer = sock, peer
        self.buffer = bytearray()
        self.waiting = False  # requests on one connection are answered in order, one at a time
        self.closed = False
        self.handshaking = False  # a TLS connection, until its handshake is done
        self.refused = False  # its handshake failed: what it sends is dropped until it closes
        self.writable = False  # the handshake waits to write; the selector watches for it


def most_within(times: list[float], window: float) -> int:
    """The most of ``times`` (seconds) that fall in any ``window`` seconds: the peak a rate limit sees."""
    times, start, most = sorted(times), 0, 0
    for end, moment in enumerate(times):
        while moment - times[start] >= window:
            start += 1
        most = max(most, end - start + 1)
    return most


class MediatorSim:
    """The service: start it, point clients at ``address``, stop it.

    One thread serves every connection from a selector, and a delayed answer
    waits in a timer heap rather than in a thread of its own: a request costs
    the service a few tens of microseconds, so a benchmark measures the client.
    """

    def __init__(
        self,
        meters: Mapping[str, MeterBehaviour],
        port: int = 0,
        verbose: bool = False,
        host: str = LOOPBACK,
        tls: ssl.SSLContext | None = None,
        token: TokenFile | None = None,
        token_grace: float = 0.0,
    ) -> None:
        self._meters = {mid: MeterState(b, b.prepay_enabled) for mid, b in meters.items()}
        self._verbose = verbose
        self._listener = socket.create_server((host, port))
        self._listener.setblocking(False)
        self._wake_read, self._wake_write = socket.socketpair()
        self._stopping = False
        self._selector: selectors.BaseSelector | None = None  # while serving
        # Delayed answers, and (with no connection) accepted writes to apply.
        self._timers: list[tuple[float, int, _Connection | None, Callable[[], None]]] = []
        self._order = itertools.count()
        self._connections: set[_Connection] = set()
        self._thread: threading.Thread | None = None
        self._requests: collections.Counter[str] = collections.Counter()
        self._tls, self._token = tls, token
        self._token_grace = token_grace
        self._last_token: str | None = None
        self._previous_token: tuple[str, float] | None = None  # and until when it is still taken
        self.handshakes = 0  # TLS handshakes completed
        self.refused_handshakes = 0  # TLS handshakes that failed: no request was read on them
        # When each request arrived (monotonic seconds), with its method and target: the last ones only.
        self._arrivals: collections.deque[tuple[float, str, str]] = collections.deque(maxlen=MAX_ARRIVALS)
        self._keys: dict[str, _Kept] = {}
        self._accepted: dict[str, _Request] = {}
        self._request_ids = itertools.count(1)

    @property
    def address(self) -> str:
        host, port = self._listener.getsockname()[:2]
        return f"{'https' if self._tls else 'http'}://{host!s}:{port}"

    def value(self, meter_id: str) -> bool:
        return self._meters[meter_id].value

    def writes(self, meter_id: str) -> int:
        return self._meters[meter_id].writes

    def applied(self, meter_id: str, value: bool | None = None) -> int:
        """How many writes set the meter's setting (to ``value``, when given): the truth a drill
        counts against."""
        state = self._meters[meter_id]
        if value is None:
            return state.applied
        return state.applied_on if value else state.applied - state.applied_on

    def repeated(self, meter_id: str) -> int:
        """How many writes were answered from their key, without writing."""
        return self._meters[meter_id].repeated

    def keys(self) -> dict[str, int]:
        """How many idempotency keys the service keeps, by meter."""
        return dict(collections.Counter(kept.target for kept in self._keys.values()))

    def tally(self) -> dict[str, dict[str, int]]:
        """The writes applied and the repeated keys answered, by meter (meters with none left out);
        ``applied_on``, the writes that set a meter to true, once there is one."""
        tally = {
            "applied": {mid: s.applied for mid, s in self._meters.items() if s.applied},
            "repeated_keys": {mid: s.repeated for mid, s in self._meters.items() if s.repeated},
        }
        if on := {mid: s.applied_on for mid, s in self._meters.items() if s.applied_on}:
            tally["applied_on"] = on
        return tally

    def requests(self, method: str) -> int:
        """How many requests with ``method`` reached the service, whatever it answered."""
        return self._requests[method]

    def methods(self) -> list[str]:
        return list(self._requests)

    def arrivals(self) -> list[tuple[float, str, str]]:
        """``(time.monotonic(), method, target)`` of each request, oldest first."""
        return list(self._arrivals)

    def start(self) -> MediatorSim:
        self._thread = threading.Thread(target=self._serve, name="mediator-sim", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping = True
        self._wake_write.send(b"x")  # out of select at once
        if self._thread is not None:
            self._thread.join(timeout=5)
        for conn in list(self._connections):
            self._close(conn)  # hanging requests end with their connection
        self._listener.close()
        self._wake_read.close()
        self._wake_write.close()

    def __enter__(self) -> MediatorSim:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def _serve(self) -> None:
        # select(2) waits to the microsecond; epoll and poll round a wait up to the
        # next millisecond, which would add up to 1 ms to every delayed answer.
        with selectors.SelectSelector() as selector:
            self._selector = selector
            selector.register(self._listener, selectors.EVENT_READ)
            selector.register(self._wake_read, selectors.EVENT_READ)
            while not self._stopping:
                timeout = max(0.0, self._timers[0][0] - time.monotonic()) if self._timers else None
                for key, _ in selector.select(timeout):
                    if key.fileobj is self._listener:
                        self._accept(selector)
                    elif key.data is not None:
                        self._receive(selector, key.data)
                now = time.monotonic()
                while self._timers and self._timers[0][0] <= now:
                    _, _, conn, answer = heapq.heappop(self._timers)
                    # A request is carried out even when its client has gone: a head-end
                    # does not know that nobody reads the answer.
                    answer()
                    if conn is not None and not conn.closed:
                        self._next_request(conn)
            self._selector = None

    def _accept(self, selector: selectors.BaseSelector) -> None:
        while True:
            try:
                sock, peer = self._listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            sock.setblocking(False)
            # Answers are small and leave in one send; never hold one back for an ACK.
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self._tls is not None:
                sock = self._tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
            conn = _Connection(sock, f"{peer[0]}:{peer[1]}")
            conn.handshaking = self._tls is not None
            self._connections.add(conn)
            selector.register(sock, selectors.EVENT_READ, conn)

    def _handshake(self, selector: selectors.BaseSelector, conn: _Connection) -> bool:
        """One step of a TLS handshake, as far as the bytes at hand go; whether it is done."""
        assert isinstance(conn.sock, ssl.SSLSocket)
        try:
            conn.sock.do_handshake()
        except (ssl.SSLWantReadError, ssl.SSLWantWriteError) as exc:
            writable = isinstance(exc, ssl.SSLWantWriteError)
            if writable != conn.writable:
                conn.writable = writable
                selector.modify(conn.sock, selectors.EVENT_READ | (selectors.EVENT_WRITE * writable), conn)
            return False
        except OSError as exc:
            self.refused_handshakes += 1
            if self._verbose:
                print(f"{conn.peer} TLS handshake refused: {exc}", file=sys.stderr, flush=True)
            # The alert is on its way: end the sending side after it, and drop what the
            # client still sends. Closed with unread bytes, the socket would answer with
            # a reset that can overtake the alert, and the client would never learn why.
            conn.refused, conn.handshaking = True, False
            try:
                conn.sock.shutdown(socket.SHUT_WR)
            except OSError:
                self._close(conn)
            else:
                if conn.writable:
                    conn.writable = False
                    selector.modify(conn.sock, selectors.EVENT_READ, conn)
            return False
        conn.handshaking = False
        self.handshakes += 1
        if conn.writable:
            conn.writable = False
            selector.modify(conn.sock, selectors.EVENT_READ, conn)
        return True

    def _receive(self, selector: selectors.BaseSelector, conn: _Connection) -> None:
        if conn.handshaking and not self._handshake(selector, conn):
            return
        if conn.refused:
            try:
                if conn.sock.recv(65536):
                    return
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                pass
            self._close(conn)
            return
        try:
            data = conn.sock.recv(65536)
            # TLS hands over one record at a time; the rest is read now, as the
            # selector would not wake for bytes already taken off the socket.
            while isinstance(conn.sock, ssl.SSLSocket) and data and conn.sock.pending():
                data += conn.sock.recv(conn.sock.pending())
        except (BlockingIOError, InterruptedError, ssl.SSLWantReadError, ssl.SSLWantWriteError):
            return
        except OSError:
            data = b""
        if not data:
            self._close(conn)
            return
        conn.buffer += data
        self._next_request(conn)

    def _close(self, conn: _Connection) -> None:
        if not conn.closed:
            conn.closed = True
            self._connections.discard(conn)
            # Off the selector first: a closed socket left on it fails every select() after.
            if self._selector is not None:
                self._selector.unregister(conn.sock)
            conn.sock.close()

    def _send(self, conn: _Connection, status: int, payload: Mapping[str, Any], keep_alive: bool) -> None:
        if conn.closed:
            return
        data = json.dumps(payload).encode()
        head = (
            f"HTTP/1.1 {status} {REASONS.get(status, 'Error')}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(data)}\r\n" + ("" if keep_alive else "Connection: close\r\n") + "\r\n"
        )
        try:
            conn.sock.sendall(head.encode() + data)
            if not keep_alive:
                conn.sock.shutdown(socket.SHUT_WR)
        except OSError:
            keep_alive = False
        conn.waiting = False
        if not keep_alive:
            self._close(conn)

    def _next_request(self, conn: _Connection) -> None:
        """Answer, or schedule the answer to, each whole request on the connection's
        buffer in turn; stop while an answer is due, and for more bytes."""
        while not conn.waiting and not conn.closed:
            end = conn.buffer.find(b"\r\n\r\n")
            if end < 0:
                if len(conn.buffer) > MAX_HEAD:
                    self._send(conn, 400, {"error": "request head too long"}, keep_alive=False)
                return
            lines = bytes(conn.buffer[:end]).decode("latin-1").split("\r\n")
            request_line = lines[0].split()
            headers = {}
            for line in lines[1:]:
                name, sep, value = line.partition(":")
                if sep:
                    headers[name.strip().lower()] = value.strip()
            raw_length = headers.get("content-length", "0")
            length = int(raw_length) if raw_length.isdigit() else -1
            if len(request_line) != 3 or not request_line[2].startswith("HTTP/") or not 0 <= length <= MAX_BODY:
                self._send(
                    conn,
                    400,
                    {"error": "a request line, and a JSON body with Content-Length, are required"},
                    keep_alive=False,
                )
                return
            if len(conn.buffer) < end + 4 + length:
                return
            body = bytes(conn.buffer[end + 4 : end + 4 + length])
            del conn.buffer[: end + 4 + length]
            method, target, version = request_line
            keep_alive = version == "HTTP/1.1" and headers.get("connection", "").lower() != "close"
            if self._verbose:
                print(f"{conn.peer} {method} {target} {version}", file=sys.stderr, flush=True)
            conn.waiting = True
            self._answer(
                conn,
                method,
                target,
                body,
                keep_alive,
                headers.get("authorization", ""),
                headers.get("idempotency-key", ""),
            )

    def _authorized(self, authorization: str) -> bool:
        if self._token is None:
            return True
        try:
            token = self._token.current()
        except CredentialError:
            return False  # no token file to check against: nobody is let in
        now = time.monotonic()
        if token != self._last_token:
            if self._last_token is not None:
                self._previous_token = (self._last_token, now + self._token_grace)
            self._last_token = token
        taken = [token]
        if self._previous_token is not None and now < self._previous_token[1]:
            taken.append(self._previous_token[0])
        given = authorization.encode()
        # Every candidate compared, so that the time taken does not tell which one matched.
        return sum(hmac.compare_digest(given, f"Bearer {t}".encode()) for t in taken) > 0

    def _answer(
        self,
        conn: _Connection,
        method: str,
        target: str,
        body: bytes,
        keep_alive: bool,
        authorization: str = "",
        key: str = "",
    ) -> None:
        def send(status: int, payload: Mapping[str, Any]) -> None:
            self._send(conn, status, payload, keep_alive)

        self._requests[method] += 1
        self._arrivals.append((time.monotonic(), method, target))
        if not self._authorized(authorization):
            return send(401, {"error": "a valid bearer token is required"})
        if method not in ("GET", "PUT"):
            return send(405, {"error": "use GET or PUT"})
        parts = target.split("?", 1)[0].split("/")
        if method == "GET" and len(parts) == 3 and not parts[0] and parts[1] == "requests":
            return self._request_status(unquote(parts[2]), send)
        if len(parts) != 4 or parts[0] or parts[1] != "meters" or parts[3] != "prepay_enabled":
            return send(404, {"error": "no such resource"})
        meter_id = unquote(parts[2])
        state = self._meters.get(meter_id)
        if state is None:
            return send(404, {"error": f"unknown meter {meter_id}"})
        if method == "GET":
            return send(200, {"meter_id": meter_id, "value": state.value})
        try:
            value = json.loads(body) if body else None
        except (ValueError, UnicodeDecodeError):
            value = None
        if not isinstance(value, dict) or not isinstance(value.get("value"), bool):
            return send(400, {"error": 'the body must be {"value": true|false}'})
        written = bool(value["value"])
        kept = None
        if key:
            kept = self._keys.get(key)
            if kept is not None:
                if kept.target != meter_id or kept.value is not written:
                    return send(422, {"error": "this Idempotency-Key was used for another request"})
                if kept.answer is None:
                    return send(409, {"error": "a request with this Idempotency-Key is still being answered"})
                state.repeated += 1
                return send(*kept.answer)
            kept = self._keys[key] = _Kept(meter_id, written)
        behaviour = state.behaviour

        def write() -> None:
            if behaviour.hang:
                return  # never answered; the connection ends when the service stops
            state.writes += 1
            if behaviour.fail_status is not None and (
                behaviour.fail_times is None or state.writes <= behaviour.fail_times
            ):
                if kept is not None:
                    del self._keys[key]  # not taken: the same key may try again
                return send(behaviour.fail_status, {"error": "injected failure"})
            answer: tuple[int, dict[str, Any]]
            if behaviour.accept:
                request = _Request(f"req-{next(self._request_ids)}", meter_id, written)
                self._accepted[request.request_id] = request
                answer = (202, {"meter_id": meter_id, "request_id": request.request_id, "status": "pending"})
                if behaviour.apply != "never":
                    settle_at = time.monotonic() + behaviour.apply_after
                    heapq.heappush(self._timers, (settle_at, next(self._order), None, lambda: self._settle(request)))
            else:
                self._apply(state, written)
                answer = (200, {"meter_id": meter_id, "value": written})
            if kept is not None:
                kept.answer = answer
            send(*answer)

        if behaviour.latency:
            # Latency counts from the request's arrival: the service's own parsing falls inside it.
            heapq.heappush(self._timers, (time.monotonic() + behaviour.latency, next(self._order), conn, write))
        else:
            write()

    @staticmethod
    def _apply(state: MeterState, value: bool) -> None:
        if not state.behaviour.lie:  # a lying meter says it did, and does not
            state.value = value
            state.applied += 1
            state.applied_on += value

    def _settle(self, request: _Request) -> None:
        state = self._meters[request.meter_id]
        if state.behaviour.apply == "fail":
            request.status = "failed"
        else:
            self._apply(state, request.value)
            request.status = "applied"

    def _request_status(self, request_id: str, send: Callable[[int, Mapping[str, Any]], None]) -> None:
        request = self._accepted.get(request_id)
        if request is None:
            return send(404, {"error": f"unknown request {request_id}"})
        payload: dict[str, Any] = {
            "request_id": request_id,
            "meter_id": request.meter_id,
            "status": request.status,
            "value": request.value,
        }
        if request.status == "failed":
            payload["error"] = REQUEST_ERROR
        send(200, payload)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="vaxo-mediator-sim", description="Local mediator service on loopback.")
    parser.add_argument(
        "--config", required=True, type=Path, help="TOML file with a [meters.<meter_id>] table per meter"
    )
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free port)")
    parser.add_argument("--host", default=LOOPBACK, help="address to listen on (default: 127.0.0.1)")
    parser.add_argument("--verbose", action="store_true", help="log each request on standard error")
    parser.add_argument("--tls-cert", type=Path, help="PEM certificate (chain) to serve https with")
    parser.add_argument("--tls-key", type=Path, help="PEM private key of --tls-cert")
    parser.add_argument(
        "--client-ca", type=Path, help="require a client certificate that chains to this PEM CA (needs --tls-cert)"
    )
    parser.add_argument(
        "--token-file", type=Path, help="require this file's bearer token, read again when the file changes"
    )
    parser.add_argument(
        "--token-grace",
        type=float,
        default=0.0,
        metavar="SECONDS",
        help="after the token file changes, still take the token before for this long (default: 0)",
    )
    args = parser.parse_args(argv)
    if (args.tls_cert is None) != (args.tls_key is None):
        parser.error("--tls-cert and --tls-key go together")
    if args.client_ca is not None and args.tls_cert is None:
        parser.error("--client-ca needs --tls-cert and --tls-key")
    if not args.token_grace >= 0 or (args.token_grace and args.token_file is None):
        parser.error("--token-grace is a number of seconds >= 0, and needs --token-file")
    try:
        meters = load_config(args.config)
    except (OSError, ValueError, TypeError) as exc:
        print(f"vaxo-mediator-sim: cannot load {args.config}: {exc}", file=sys.stderr)
        return 2
    try:
        tls = server_context(args.tls_cert, args.tls_key, args.client_ca) if args.tls_cert else None
        token = None
        if args.token_file is not None:
            token = TokenFile(str(args.token_file), "--token-file", recheck=0.0)
            token.current()
    except (OSError, CredentialError) as exc:
        # Paths only: ssl's own text names no file content.
        print(f"vaxo-mediator-sim: {exc}", file=sys.stderr)
        return 2
    stop = threading.Event()

    def on_signal(signum: int, frame: FrameType | None) -> None:
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    with MediatorSim(
        meters, port=args.port, verbose=args.verbose, host=args.host, tls=tls, token=token, token_grace=args.token_grace
    ) as sim:
        print(f"listening on {sim.address}", flush=True)
        while not stop.wait(0.5):
            pass
    served = sum(sim.requests(method) for method in sim.methods())
    handshakes = f"; {sim.handshakes} TLS handshakes, {sim.refused_handshakes} refused" if tls is not None else ""
    tally = sim.tally()
    print(
        f"vaxo-mediator-sim: served {served} requests{handshakes}; {sum(tally['applied'].values())} writes applied "
        f"to {len(tally['applied'])} meters, {sum(tally['repeated_keys'].values())} repeated keys answered",
        file=sys.stderr,
    )
    print(json.dumps(tally, separators=(",", ":")), file=sys.stderr, flush=True)
    return 0


def server_context(cert: Path, key: Path, client_ca: Path | None) -> ssl.SSLContext:
    """The TLS context of an https service, that requires client certificates from ``client_ca``."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    try:
        context.load_cert_chain(cert, key)
    except ssl.SSLError:
        raise CredentialError(f"--tls-cert {cert} and --tls-key {key} cannot be loaded as a PEM pair") from None
    if client_ca is not None:
        try:
            context.load_verify_locations(cafile=client_ca)
        except ssl.SSLError:
            raise CredentialError(f"--client-ca {client_ca} holds no certificate that can be read") from None
        context.verify_mode = ssl.CERT_REQUIRED
    return context


if __name__ == "__main__":
    sys.exit(main())
