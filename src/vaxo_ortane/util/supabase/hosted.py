"""A hosted registry behind PostgREST, through the ``postgrest`` client package.

Two limits of a hosted server shape ``fetch``. The server caps the rows of one
response (often at 1000), so rows are read in pages ordered by ``id`` until a
page comes back short. And proxies refuse long request lines, so a long ``in_``
list is split into several requests, each kept under ``max_url`` characters.

Settings, from the environment:

``REGISTRY_TIMEOUT``     seconds for each of connect, read, write and pool wait (15)
``REGISTRY_PAGE_SIZE``   rows asked for per request (1000)
``REGISTRY_MAX_URL``     longest request URL sent, in characters (4000)
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any
from urllib.parse import quote, urlsplit

import httpx
from postgrest import APIError, SyncPostgrestClient
from postgrest.utils import sanitize_param

from ..numbers import Bound, NumberSettingError, settings_from_env
from ..urls import without_credentials
from .errors import RegistryError
from .query import ORDER_COLUMN, Filter, Query, Row, ordered, unique
from .settings import DEFAULT_TIMEOUT, TIMEOUT_VARIABLE

REST_PATH = "/rest/v1"
# Room for the parts of a request URL that the in_ list does not fill:
# select, the other filters, order, offset and limit.
URL_RESERVE = 256
# Longest text of a server's error quoted in a message.
MAX_QUOTED = 300


@dataclass(frozen=True)
class HostedSettings:
    timeout: float = DEFAULT_TIMEOUT
    page_size: int = 1000
    max_url: int = 4000

    @classmethod
    def from_env(cls, environ: Mapping[str, str] | None = None) -> HostedSettings:
        try:
            return settings_from_env(cls, os.environ if environ is None else environ, _BOUNDS)
        except NumberSettingError as exc:
            raise RegistryError(str(exc)) from None


_BOUNDS = {
    "timeout": Bound(TIMEOUT_VARIABLE, 0, above=True),
    "page_size": Bound("REGISTRY_PAGE_SIZE", 1),
    "max_url": Bound("REGISTRY_MAX_URL", 1),
}


def _check_header_value(variable: str, value: str) -> None:
    # httpx echoes a refused header value in its error; refuse it here, unnamed.
    if not value or any(not 0x21 <= ord(ch) <= 0x7E for ch in value):
        raise RegistryError(
            f"{variable} must be visible ASCII without blanks to be sent as an HTTP header; check the variable's value"
        )


def _encoded_length(value: Any) -> int:
    # Worst case: every character percent-encoded, as any client may do.
    return len(quote(sanitize_param(value), safe=""))


def split_values(values: list[Any], budget: int) -> Iterator[list[Any]]:
    """Consecutive chunks whose encoded ``in.(...)`` text fits ``budget``."""
    chunk: list[Any] = []
    used = 0
    for value in values:
        cost = _encoded_length(value) + 3  # the encoded comma between values
        if chunk and used + cost > budget:
            yield chunk
            chunk, used = [], 0
        if cost > budget:
            raise RegistryError(
                f"an in_ value of {cost} encoded characters cannot fit a request URL; raise REGISTRY_MAX_URL"
            )
        chunk.append(value)
        used += cost
    if chunk:
        yield chunk


class PostgrestRegistry:
    def __init__(self, url: str, anon_key: str, role_key: str, settings: HostedSettings) -> None:
        parts = urlsplit(url)
        if not parts.hostname:
            raise RegistryError(f"SUPABASE_URL {without_credentials(url)!r} names no host")
        _check_header_value("SUPABASE_ANON_KEY", anon_key)
        _check_header_value("TRAMU_ROLE_KEY", role_key)
        self.settings = settings
        self.base_url = url.rstrip("/") + REST_PATH
        self._shown = without_credentials(self.base_url)
        headers = {"apikey": anon_key, "Authorization": f"Bearer {role_key}"}
        # A gateway may quote the credentials it refused; messages must not.
        self._secrets = tuple(sorted({anon_key, role_key}, key=len, reverse=True))
        # No redirects: following one would send the keys to wherever it points.
        # Certificates are verified; SSL_CERT_FILE or SSL_CERT_DIR names other CAs.
        self._http = httpx.Client(
            base_url=self.base_url,
            headers=headers,
            timeout=httpx.Timeout(settings.timeout),
            follow_redirects=False,
            event_hooks={"response": [self._require_json]},
        )
        self._pg = SyncPostgrestClient(self.base_url, headers=headers, http_client=self._http, retry_enabled=False)

    def describe(self) -> str:
        return self._shown

    def _scrub(self, text: str) -> str:
        for secret in self._secrets:
            text = text.replace(secret, "[key]")
        return text if len(text) <= MAX_QUOTED else text[:MAX_QUOTED] + "..."

    def _require_json(self, response: httpx.Response) -> None:
        # The postgrest client reads an empty or non-JSON success body as "no
        # rows" or as text; an empty answer must not pass for an empty registry.
        if not response.is_success:
            return
        response.read()
        try:
            json.loads(response.content)
        except ValueError:
            shown = "an empty body" if not response.content.strip() else "a body that is not JSON"
            raise RegistryError(
                f"registry at {self._shown} answered HTTP {response.status_code} with {shown}"
            ) from None

    def close(self) -> None:
        self._http.close()

    def fetch(self, query: Query) -> list[Row]:
        in_filters = [f for f in query.filters if f.op == "in"]
        split_on = in_filters[0] if in_filters else None
        rest = [f for f in query.filters if f is not split_on]
        columns = list(query.columns)
        if query.needs_order_column():
            columns.append(ORDER_COLUMN)
        if split_on is None:
            rows = self._all_pages(query.table_name, columns, rest)
        else:
            budget = self.settings.max_url - len(self.base_url) - URL_RESERVE
            budget -= len(query.table_name) + sum(len(c) + 3 for c in columns)
            budget -= sum(len(quote(str(f.value), safe="")) + len(f.column) + 16 for f in rest)
            rows = []
            for chunk in split_values(unique(split_on.value), budget):
                chunk_filter = Filter(split_on.column, "in", tuple(chunk))
                rows.extend(self._all_pages(query.table_name, columns, [chunk_filter, *rest]))
        return ordered(rows, query.needs_order_column())

    def _all_pages(self, table: str, columns: list[str], filters: list[Filter]) -> list[Row]:
        rows: list[Row] = []
        size = self.settings.page_size
        cap_known = False
        offset = 0
        while True:
            page = self._page(table, columns, filters, offset, size)
            if rows and page and not _after(rows[-1], page[0]):
                raise RegistryError(
                    f"registry at {self._shown} returned pages out of {ORDER_COLUMN} order; "
                    "it does not honour offset and order, so its rows cannot be read in full"
                )
            rows.extend(page)
            offset += len(page)
            if not page or (len(page) < size and cap_known):
                return rows
            if len(page) < size:
                # Short: the end, or the server caps rows below our page size.
                # Ask once more at the cap; from then on a short page is the end.
                size, cap_known = len(page), True

    def _page(self, table: str, columns: list[str], filters: list[Filter], offset: int, size: int) -> list[Row]:
        builder: Any = self._pg.table(table).select(",".join(columns))
        for f in filters:
            builder = builder.in_(f.column, f.value) if f.op == "in" else builder.neq(f.column, f.value)
        builder = builder.order(ORDER_COLUMN).range(offset, offset + size - 1)
        try:
            response = builder.execute()
        except APIError as exc:
            said = "; ".join(
                f"{name} {value}"
                for name, value in (
                    ("code", exc.code),
                    ("message", exc.message),
                    ("hint", exc.hint),
                    ("details", exc.details),
                )
                if value
            )
            raise RegistryError(
                f"registry at {self._shown} refused the query on {table!r}: {self._scrub(said)}"
            ) from None
        except httpx.HTTPError as exc:
            raise RegistryError(
                f"registry at {self._shown} could not be reached for {table!r}: "
                f"{type(exc).__name__}: {self._scrub(str(exc))}"
            ) from None
        data = response.data
        if not isinstance(data, list) or not all(type(row) is dict for row in data):
            raise RegistryError(f"registry at {self._shown} answered {table!r} with non-row data")
        return data


def _after(previous: Row, current: Row) -> bool:
    try:
        return bool(current.get(ORDER_COLUMN) > previous.get(ORDER_COLUMN))  # type: ignore[operator]
    except TypeError:
        return False
