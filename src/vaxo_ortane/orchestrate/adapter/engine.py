"""Mediator containers found on a container engine through the Docker Engine API.

A mediator container carries four labels::

    ortane.esco           the ESCO the meter belongs to
    ortane.meter.id       the meter's registry row id (column ``id``)
    ortane.meter.serial   the meter's serial
    ortane.mediator.port  the port the mediator listens on inside the container

``get_instance`` asks the engine once for the running containers so labelled and
answers every look-up of the run from that answer: containers started, stopped
or moved later are not seen until the next run.

A meter's address is ``http://HOST:PORT`` for the host port the engine publishes
for ``ortane.mediator.port`` (HOST is the binding's address, or the engine's
host when the port is bound to every address), else the container's own address
on its network at ``ortane.mediator.port``. With mediator credentials set
(``MEDIATOR_CA_FILE``, ``MEDIATOR_CLIENT_CERT_FILE``, ``MEDIATOR_TOKEN_FILE``) it is
``https://``: labels alone prove nothing, so a container gets a write, and the
token, only once its certificate chains to the fleet's CA and names that host.
"""

from __future__ import annotations

import ipaddress
import os
from collections.abc import Mapping
from dataclasses import dataclass, replace
from types import MappingProxyType
from typing import Any
from urllib.parse import urlsplit

import docker
import docker.errors
import requests

from vaxo_ortane.mediator.credentials import secured

from .inventory import InventoryError, match_key

SCHEME = "docker:"
LABEL_ESCO = "ortane.esco"
LABEL_METER_ID = "ortane.meter.id"
LABEL_SERIAL = "ortane.meter.serial"
LABEL_PORT = "ortane.mediator.port"
# What the Docker SDK falls back to when DOCKER_HOST is not set.
DEFAULT_ENGINE = "unix:///var/run/docker.sock"
# Pinned so that connecting costs no version round trip; Docker and podman both serve it.
API_VERSION = "1.41"
ENGINE_TIMEOUT = 30
WILDCARDS = frozenset({"", "0.0.0.0", "::"})


@dataclass(frozen=True)
class Engine:
    """Where the engine listens: ``base_url`` for the SDK, ``shown`` for messages."""

    base_url: str | None  # None: the SDK reads DOCKER_HOST and its TLS settings
    shown: str
    mediator_scheme: str = "http"  # how the mediators it runs are reached

    @property
    def host(self) -> str:
        """Where a port published on every address is reached."""
        parts = urlsplit(self.shown)
        if parts.scheme in ("tcp", "http", "https", "ssh") and parts.hostname:
            return parts.hostname
        return "127.0.0.1"


def _without_credentials(address: str) -> str:
    parts = urlsplit(address)
    if parts.password is None:
        return address
    host = parts.hostname or ""
    if ":" in host:
        host = f"[{host}]"
    netloc = f"{parts.username}@{host}" if parts.username else host
    if parts.port is not None:
        netloc += f":{parts.port}"
    return parts._replace(netloc=netloc).geturl()


def parse_engine(value: str, environ: Mapping[str, str]) -> Engine:
    """``docker:`` for the engine DOCKER_HOST names, ``docker:<url>`` for another."""
    rest = value.removeprefix(SCHEME).strip()
    if not rest:
        shown = environ.get("DOCKER_HOST", "").strip() or DEFAULT_ENGINE
        return Engine(None, _without_credentials(shown))
    if urlsplit(rest).scheme not in ("unix", "tcp", "http", "https", "ssh", "npipe"):
        raise InventoryError(
            f"MEDIATOR_INVENTORY names the engine {_without_credentials(rest)!r}; expected docker: "
            "or docker: followed by unix:///PATH, tcp://HOST:PORT or ssh://HOST"
        )
    return Engine(rest, _without_credentials(rest))


def _reason(exc: BaseException, engine: Engine) -> str:
    # The innermost OS error says most (no such socket, refused); the SDK's own
    # text repeats request URLs.
    seen: BaseException | None = exc
    while seen is not None:
        if isinstance(seen, OSError) and seen.strerror:
            return seen.strerror
        for arg in getattr(seen, "args", ()):
            if isinstance(arg, OSError) and arg.strerror:
                return arg.strerror
        seen = seen.__cause__ or seen.__context__
    # Without one, the SDK's text (a missing ssh client, a TLS file); it may
    # quote the address, so never with its password.
    text = str(exc)
    password = urlsplit(engine.base_url or "").password
    if password:
        text = text.replace(password, "***")
    return text[:300] or type(exc).__name__


def list_mediators(engine: Engine, esco: object, environ: Mapping[str, str]) -> list[dict[str, Any]]:
    """The running labelled containers, in one request to the engine."""
    label = LABEL_ESCO if esco is None else f"{LABEL_ESCO}={esco}"
    try:
        if engine.base_url is None:
            client = docker.DockerClient.from_env(
                version=API_VERSION, timeout=ENGINE_TIMEOUT, environment=dict(environ)
            )
        else:
            client = docker.DockerClient(base_url=engine.base_url, version=API_VERSION, timeout=ENGINE_TIMEOUT)
        try:
            rows = client.api.containers(filters={"label": [label], "status": "running"})
        finally:
            client.close()
    except docker.errors.APIError as exc:
        raise InventoryError(
            f"container engine {engine.shown} refused the list of mediator containers: "
            f"{exc.status_code} {exc.explanation or ''}".rstrip()
        ) from None
    except (docker.errors.DockerException, requests.RequestException, OSError) as exc:
        raise InventoryError(
            f"container engine {engine.shown} cannot be reached ({_reason(exc, engine)}); "
            "check MEDIATOR_INVENTORY and DOCKER_HOST"
        ) from None
    return list(rows)


def _describe(row: Mapping[str, Any]) -> str:
    names = row.get("Names") or []
    name = str(names[0]).lstrip("/") if names else ""
    short = str(row.get("Id", ""))[:12]
    return f"{name} ({short})" if name else short


def _host(ip: str) -> str:
    try:
        return f"[{ip}]" if ipaddress.ip_address(ip).version == 6 else ip
    except ValueError:
        return ip


def _address(row: Mapping[str, Any], port: int, engine: Engine) -> str | None:
    bindings = [
        p
        for p in row.get("Ports") or []
        if p.get("PrivatePort") == port and p.get("Type", "tcp") == "tcp" and p.get("PublicPort")
    ]
    # IPv4 bindings first: a port bound on 0.0.0.0 and :: is reached on either.
    bindings.sort(key=lambda p: ":" in str(p.get("IP", "")))
    if bindings:
        ip = str(bindings[0].get("IP") or "")
        host = engine.host if ip in WILDCARDS else ip
        return f"{engine.mediator_scheme}://{_host(host)}:{bindings[0]['PublicPort']}"
    networks = (row.get("NetworkSettings") or {}).get("Networks") or {}
    for name in sorted(networks):
        net = networks[name] or {}
        address = net.get("IPAddress") or net.get("GlobalIPv6Address")
        if address:
            return f"{engine.mediator_scheme}://{_host(str(address))}:{port}"
    return None


@dataclass(frozen=True)
class Claim:
    """What the engine says about one meter: an address, or why there is none."""

    serial: str | None
    address: str | None
    problem: str | None


def _claim(row: Mapping[str, Any], meter_id: str, engine: Engine) -> Claim:
    labels = row.get("Labels") or {}
    serial = match_key(labels.get(LABEL_SERIAL))
    raw_port = str(labels.get(LABEL_PORT, "")).strip()
    port = int(raw_port) if raw_port.isascii() and raw_port.isdigit() else 0
    if not 0 < port < 65536:
        return Claim(
            serial,
            None,
            f"mediator container {_describe(row)} for meter id {meter_id} "
            f"has no usable {LABEL_PORT} label ({raw_port!r})",
        )
    address = _address(row, port, engine)
    if address is None:
        return Claim(
            serial,
            None,
            f"mediator container {_describe(row)} for meter id {meter_id} "
            f"publishes no host port for {port} and has no network address",
        )
    return Claim(serial, address, None)


class EngineInventory:
    """Mediator addresses by meter, as the engine listed them at start.

    Built once and never changed, so ``mediator_address`` needs no lock.
    """

    def __init__(self, engine: Engine, rows: list[dict[str, Any]], esco: object) -> None:
        claimed: dict[str, list[dict[str, Any]]] = {}
        for row in rows:
            labels = row.get("Labels") or {}
            # The engine filtered already; matching again keeps the label rules exact
            # whatever the engine's filter syntax allows.
            if row.get("State", "running") != "running" or LABEL_ESCO not in labels:
                continue
            if esco is not None and labels[LABEL_ESCO] != esco:
                continue
            meter_id = match_key(labels.get(LABEL_METER_ID))
            if meter_id is not None:
                claimed.setdefault(meter_id, []).append(row)
        by_meter: dict[str, Claim] = {}
        for meter_id, claimants in claimed.items():
            if len(claimants) > 1:
                names = " and ".join(sorted(_describe(r) for r in claimants))
                by_meter[meter_id] = Claim(
                    None,
                    None,
                    f"meter id {meter_id} is claimed by {len(claimants)} running mediator containers: {names}",
                )
            else:
                by_meter[meter_id] = _claim(claimants[0], meter_id, engine)
        self.engine = engine
        self.esco = esco
        self._by_meter: Mapping[str, Claim] = MappingProxyType(by_meter)

    def __len__(self) -> int:
        return len(self._by_meter)

    def mediator_address(self, meter_id: object, serial: object) -> str | None:
        """The address of the mediator serving this meter, or None if there is none.

        A container whose serial label differs from the meter's serial does not
        serve it. A meter claimed by two containers, or by one that cannot be
        reached, raises InventoryError: that meter fails, the run goes on.
        """
        key = match_key(meter_id)
        claim = None if key is None else self._by_meter.get(key)
        if claim is None:
            return None
        if claim.problem is not None:
            raise InventoryError(claim.problem)
        if claim.serial is None or claim.serial != match_key(serial):
            return None
        return claim.address

    def __repr__(self) -> str:
        scope = "all ESCOs" if self.esco is None else f"ESCO {self.esco!r}"
        return f"<EngineInventory {self.engine.shown} for {scope}: {len(self)} meters>"


def engine_inventory(value: str, esco: object, environ: Mapping[str, str] | None = None) -> EngineInventory:
    env = os.environ if environ is None else environ
    engine = replace(parse_engine(value, env), mediator_scheme="https" if secured(env) else "http")
    return EngineInventory(engine, list_mediators(engine, esco, env), esco)
