"""A local mediator service for trying the jobs out: ``vaxo-mediator-sim``.

It speaks the mediator protocol over real HTTP on the loopback interface for a
set of meters and keeps each meter's setting in memory:

- ``GET  /meters/<meter_id>/prepay_enabled`` answers ``{"meter_id": ..., "value": <bool>}``;
- ``PUT  /meters/<meter_id>/prepay_enabled`` with ``{"value": <bool>}`` sets it.

Faults can be injected per meter, on writes only, so that reads can always show
the state: ``latency`` (seconds before answering), ``fail_status`` (answer with
that status instead; ``fail_times`` limits it to the first N writes) and
``hang`` (never answer; the connection is dropped when the service stops).

The meters come from a TOML file::

    [meters."MID-0001"]
    prepay_enabled = true
    fail_status = 503

Run: ``vaxo-mediator-sim --config meters.toml [--port N]``. The first line on
standard output is ``listening on http://127.0.0.1:PORT``. Inside a container,
``--host 0.0.0.0`` lets the engine's published port reach it.
"""

from __future__ import annotations

import argparse
import json
import signal
import sys
import threading
import time
import tomllib
from collections.abc import Mapping
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from types import FrameType
from typing import Any
from urllib.parse import unquote

LOOPBACK = "127.0.0.1"
MAX_BODY = 64 * 1024
BEHAVIOUR_KEYS = frozenset({"prepay_enabled", "latency", "fail_status", "fail_times", "hang"})


@dataclass(frozen=True)
class MeterBehaviour:
    prepay_enabled: bool = True
    latency: float = 0.0
    fail_status: int | None = None
    fail_times: int | None = None
    hang: bool = False


@dataclass
class MeterState:
    behaviour: MeterBehaviour
    value: bool
    writes: int = 0
    lock: threading.Lock = field(default_factory=threading.Lock)


def behaviour_from(meter_id: str, raw: Mapping[str, Any], source: str) -> MeterBehaviour:
    unknown = set(raw) - BEHAVIOUR_KEYS
    if unknown:
        raise ValueError(f"{source}: meter {meter_id!r} has unknown keys {', '.join(sorted(unknown))}")
    behaviour = MeterBehaviour(**raw)
    if not isinstance(behaviour.prepay_enabled, bool) or not isinstance(behaviour.hang, bool):
        raise ValueError(f"{source}: meter {meter_id!r}: prepay_enabled and hang must be true or false")
    if not isinstance(behaviour.latency, (int, float)) or behaviour.latency < 0:
        raise ValueError(f"{source}: meter {meter_id!r}: latency must be a number of seconds >= 0")
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


class MediatorSim:
    """The service: start it, point clients at ``address``, stop it."""

    def __init__(
        self, meters: Mapping[str, MeterBehaviour], port: int = 0, verbose: bool = False, host: str = LOOPBACK
    ) -> None:
        self._meters = {mid: MeterState(b, b.prepay_enabled) for mid, b in meters.items()}
        self._stopping = threading.Event()
        self._verbose = verbose
        self._server = ThreadingHTTPServer((host, port), self._handler_class())
        self._server.daemon_threads = True
        self._thread: threading.Thread | None = None

    @property
    def address(self) -> str:
        host, port = self._server.server_address[:2]
        return f"http://{host!s}:{port}"

    def value(self, meter_id: str) -> bool:
        return self._meters[meter_id].value

    def writes(self, meter_id: str) -> int:
        return self._meters[meter_id].writes

    def start(self) -> MediatorSim:
        self._thread = threading.Thread(target=self._server.serve_forever, name="mediator-sim", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping.set()  # releases hanging requests
        self._server.shutdown()
        self._server.server_close()
        if self._thread is not None:
            self._thread.join(timeout=5)

    def __enter__(self) -> MediatorSim:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def _handler_class(self) -> type[BaseHTTPRequestHandler]:
        sim = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"  # keep-alive, as the pooled client expects
            # The status line and headers leave in one send and the body in another;
            # with Nagle's algorithm the body waits for the client's delayed ACK,
            # about 40 ms on every answer.
            disable_nagle_algorithm = True
            _arrived = 0.0

            def parse_request(self) -> bool:
                # Latency counts from the request's arrival, so that the service's
                # own parsing falls inside it instead of adding to every round trip.
                self._arrived = time.monotonic()
                return super().parse_request()

            def log_message(self, format: str, *args: Any) -> None:
                if sim._verbose:
                    super().log_message(format, *args)

            def do_GET(self) -> None:
                state = self._meter()
                if state is not None:
                    self._answer(200, {"meter_id": self._meter_id, "value": state.value})

            def do_PUT(self) -> None:
                state = self._meter()
                if state is None:
                    return
                value = self._body_value()
                if value is None:
                    return
                behaviour = state.behaviour
                if behaviour.latency:
                    left = behaviour.latency - (time.monotonic() - self._arrived)
                    if left > 0 and sim._stopping.wait(left):
                        return
                if behaviour.hang:
                    sim._stopping.wait()
                    self.close_connection = True
                    return
                with state.lock:
                    state.writes += 1
                    failing = behaviour.fail_status is not None and (
                        behaviour.fail_times is None or state.writes <= behaviour.fail_times
                    )
                    if not failing:
                        state.value = value
                if failing:
                    assert behaviour.fail_status is not None
                    self._answer(behaviour.fail_status, {"error": "injected failure"})
                else:
                    self._answer(200, {"meter_id": self._meter_id, "value": value})

            def do_POST(self) -> None:
                self._answer(405, {"error": "use GET or PUT"})

            do_DELETE = do_PATCH = do_POST

            def _meter(self) -> MeterState | None:
                parts = self.path.split("?", 1)[0].split("/")
                if len(parts) != 4 or parts[0] or parts[1] != "meters" or parts[3] != "prepay_enabled":
                    self._answer(404, {"error": "no such resource"})
                    return None
                self._meter_id = unquote(parts[2])
                state = sim._meters.get(self._meter_id)
                if state is None:
                    self._answer(404, {"error": f"unknown meter {self._meter_id}"})
                return state

            def _body_value(self) -> bool | None:
                try:
                    length = int(self.headers.get("Content-Length", "0"))
                except ValueError:
                    length = -1
                if not 0 < length <= MAX_BODY:
                    self._answer(400, {"error": "a JSON body with Content-Length is required"})
                    return None
                try:
                    body = json.loads(self.rfile.read(length))
                except (ValueError, UnicodeDecodeError):
                    body = None
                if not isinstance(body, dict) or not isinstance(body.get("value"), bool):
                    self._answer(400, {"error": 'the body must be {"value": true|false}'})
                    return None
                return bool(body["value"])

            def _answer(self, status: int, payload: Mapping[str, Any]) -> None:
                data = json.dumps(payload).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

        return Handler


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="vaxo-mediator-sim", description="Local mediator service on loopback.")
    parser.add_argument("--config", required=True, type=Path, help="TOML file with a [meters.<meter_id>] table per meter")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free port)")
    parser.add_argument("--host", default=LOOPBACK, help="address to listen on (default: 127.0.0.1)")
    parser.add_argument("--verbose", action="store_true", help="log each request on standard error")
    args = parser.parse_args(argv)
    try:
        meters = load_config(args.config)
    except (OSError, ValueError, TypeError) as exc:
        print(f"vaxo-mediator-sim: cannot load {args.config}: {exc}", file=sys.stderr)
        return 2
    stop = threading.Event()

    def on_signal(signum: int, frame: FrameType | None) -> None:
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    with MediatorSim(meters, port=args.port, verbose=args.verbose, host=args.host) as sim:
        print(f"listening on {sim.address}", flush=True)
        while not stop.wait(0.5):
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
