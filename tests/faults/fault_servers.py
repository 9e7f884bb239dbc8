"""Loopback servers that misbehave on purpose.

Each connection is handed to a ``reply(conn, request, stop)`` function on its
own thread. Every wait is cut short by ``stop`` and bounded by ``LIFE``, so a
server never outlives its test.
"""

from __future__ import annotations

import json
import socket
import ssl
import threading
from collections.abc import Callable
from typing import Any

LIFE = 10.0
Reply = Callable[[socket.socket, bytes, threading.Event], None]


class RawServer:
    def __init__(self, reply: Reply, tls: ssl.SSLContext | None = None) -> None:
        self._reply, self._tls = reply, tls
        self._stop = threading.Event()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(0.2)
        self.connections = 0
        self._threads: list[threading.Thread] = []

    @property
    def address(self) -> str:
        return f"{'https' if self._tls else 'http'}://127.0.0.1:{self._listener.getsockname()[1]}"

    def start(self) -> RawServer:
        thread = threading.Thread(target=self._accept, daemon=True)
        thread.start()
        self._threads.append(thread)
        return self

    def stop(self) -> None:
        self._stop.set()
        for thread in self._threads:
            thread.join(timeout=LIFE)
        self._listener.close()

    def _accept(self) -> None:
        while not self._stop.wait(0):
            try:
                conn, _ = self._listener.accept()
            except TimeoutError:
                continue
            self.connections += 1
            thread = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            thread.start()
            self._threads.append(thread)

    def _serve(self, conn: socket.socket) -> None:
        with conn:
            conn.settimeout(1.0)
            try:
                if self._tls is None:
                    self._reply(conn, read_request(conn), self._stop)
                    return
                with self._tls.wrap_socket(conn, server_side=True) as secured:
                    self._reply(secured, read_request(secured), self._stop)
            except OSError:
                pass  # the client gave up first; that is the point of some tests


def read_request(conn: socket.socket) -> bytes:
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        body += chunk
    return head + b"\r\n\r\n" + body


def header(request: bytes, name: str) -> str:
    for line in request.split(b"\r\n\r\n")[0].split(b"\r\n")[1:]:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name.lower().encode():
            return value.strip().decode("latin-1")
    return ""


def http(status: int, body: bytes | str | Any, content_type: str = "application/json") -> bytes:
    if not isinstance(body, (bytes, str)):
        body = json.dumps(body)
    data = body.encode() if isinstance(body, str) else body
    head = (
        f"HTTP/1.1 {status} Fault\r\nContent-Type: {content_type}\r\n"
        f"Content-Length: {len(data)}\r\nConnection: close\r\n\r\n"
    )
    return head.encode() + data


def answer(response: bytes) -> Reply:
    """Send ``response`` (whole or cut short) and close."""

    def reply(conn: socket.socket, request: bytes, stop: threading.Event) -> None:
        conn.sendall(response)

    return reply


def silent(conn: socket.socket, request: bytes, stop: threading.Event) -> None:
    """Take the request and never answer."""
    stop.wait(LIFE)


def echo_keys_401(conn: socket.socket, request: bytes, stop: threading.Event) -> None:
    """A careless gateway that quotes the credentials it refused."""
    quoted = f"refused apikey={header(request, 'apikey')} auth={header(request, 'authorization')}"
    conn.sendall(http(401, {"message": quoted, "code": "PGRST301", "hint": quoted, "details": quoted}))


def trickle(response: bytes, every: float, at_once: int = 0) -> Reply:
    """Send the first ``at_once`` bytes of ``response``, then one byte every ``every`` seconds."""

    def reply(conn: socket.socket, request: bytes, stop: threading.Event) -> None:
        conn.sendall(response[:at_once])
        for i in range(at_once, len(response)):
            if stop.wait(every):
                return
            conn.sendall(response[i : i + 1])

    return reply


def keep_alive_then_silent(conn: socket.socket, request: bytes, stop: threading.Event) -> None:
    """Confirm the first write on a kept-alive connection, then take the next and never answer."""
    data = json.dumps({"meter_id": "M-1", "value": False}).encode()
    conn.sendall(
        b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
        + f"Content-Length: {len(data)}\r\n\r\n".encode()
        + data
    )
    conn.settimeout(LIFE)
    if read_request(conn):
        stop.wait(LIFE)
