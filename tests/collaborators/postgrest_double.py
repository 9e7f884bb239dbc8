"""A loopback HTTP server that answers table reads as PostgREST does.

It knows ``select``, the ``in``/``neq``/``eq`` filters, ``order=<col>.asc``,
``offset`` and ``limit``, caps every response at ``max_rows`` like PostgREST's
``db-max-rows``, answers 401 without the right keys, and records each request
line and its headers.
"""

from __future__ import annotations

import json
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qsl, urlsplit


def parse_in_list(text: str) -> list[str]:
    """``(a,"b,c",d)`` to its values, with PostgREST's quoting."""
    if not (text.startswith("(") and text.endswith(")")):
        raise ValueError(f"bad in list {text!r}")
    body, values, current, quoted, i = text[1:-1], [], "", False, 0
    if not body:
        return []
    while i < len(body):
        ch = body[i]
        if quoted and ch == "\\" and i + 1 < len(body):
            current += body[i + 1]
            i += 2
            continue
        if ch == '"':
            quoted = not quoted
        elif ch == "," and not quoted:
            values.append(current)
            current = ""
        else:
            current += ch
        i += 1
    values.append(current)
    return values


def _matches(value: Any, text: str) -> bool:
    if value is None:
        return False  # SQL: NULL equals nothing and differs from nothing
    if isinstance(value, bool):
        return text == ("true" if value else "false")
    return str(value) == text


@dataclass
class Recorded:
    request_line: str
    headers: dict[str, list[str]]
    params: list[tuple[str, str]]


@dataclass
class PostgrestDouble:
    rows: list[dict[str, Any]]
    anon_key: str
    role_key: str
    max_rows: int = 1000
    ignore_offset: bool = False
    requests: list[Recorded] = field(default_factory=list)

    def start(self) -> PostgrestDouble:
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._server.daemon_threads = True
        threading.Thread(target=self._server.serve_forever, daemon=True).start()
        return self

    def stop(self) -> None:
        self._server.shutdown()
        self._server.server_close()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self._server.server_address[1]}"

    def answer(self, path: str, params: list[tuple[str, str]]) -> tuple[int, Any, dict[str, str]]:
        if not path.startswith("/rest/v1/"):
            return 404, {"message": "not found"}, {}
        rows = [r for r in self.rows]
        offset, limit, order, columns = 0, None, None, "*"
        for key, value in params:
            if key == "select":
                columns = value
            elif key == "offset":
                offset = int(value)
            elif key == "limit":
                limit = int(value)
            elif key == "order":
                order = value.split(".")[0]
            else:
                op, _, arg = value.partition(".")
                if op == "in":
                    wanted = parse_in_list(arg)
                    rows = [r for r in rows if any(_matches(r.get(key), w) for w in wanted)]
                elif op == "neq":
                    rows = [r for r in rows if r.get(key) is not None and not _matches(r.get(key), arg)]
                elif op == "eq":
                    rows = [r for r in rows if _matches(r.get(key), arg)]
                else:
                    return 400, {"message": f"unknown operator {op}", "code": "PGRST100"}, {}
        if order:
            rows.sort(key=lambda r: r[order])
        if self.ignore_offset:
            offset = 0
        count = min(limit if limit is not None else self.max_rows, self.max_rows)
        page = rows[offset : offset + count]
        if columns != "*":
            page = [{c: r[c] for c in columns.split(",")} for r in page]
        end = offset + len(page) - 1
        return 200, page, {"Content-Range": f"{offset}-{end}/*" if page else "*/*"}

    def _handler(self) -> type[BaseHTTPRequestHandler]:
        double = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, format: str, *args: Any) -> None:
                pass

            def do_GET(self) -> None:
                parts = urlsplit(self.path)
                params = parse_qsl(parts.query, keep_blank_values=True)
                headers: dict[str, list[str]] = {}
                for k, v in self.headers.items():
                    headers.setdefault(k.lower(), []).append(v)
                double.requests.append(Recorded(self.requestline, headers, params))
                extra: dict[str, str]
                if headers.get("apikey") != [double.anon_key] or headers.get("authorization") != [
                    f"Bearer {double.role_key}"
                ]:
                    status, body, extra = 401, {"message": "JWT invalid", "code": "PGRST301"}, {}
                else:
                    status, body, extra = double.answer(parts.path, params)
                data = json.dumps(body).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                for k, v in extra.items():
                    self.send_header(k, v)
                self.end_headers()
                self.wfile.write(data)

        return Handler
