"""The demo fleet with one mediator container per meter (``make demo-containers``).

The engine: the one ``DOCKER_HOST`` names, else Docker's default socket when it
exists, else a private podman engine started for the demo (as root, with
podman, runc and slirp4netns installed) and taken away afterwards. Each
mediator runs ``vaxo-mediator-sim`` in a container labelled with its meter, its
port published on 127.0.0.1. The job runs with ``MEDIATOR_INVENTORY=docker:...``
and finds the containers through their labels alone; the table reads each
meter's setting back through the published ports. The demo's containers and
image are removed at the end, on any engine.
"""

from __future__ import annotations

import os
import sys
import tempfile
from pathlib import Path
from typing import Any

import docker

from run_demo import ESCO, read_setting, run_job, selection, verdict
from vaxo_ortane.mediator.sample_fleet import SampleMeter, demo_fleet, write_registry
from vaxo_ortane.orchestrate.local_engine import (
    MEDIATOR_IMAGE,
    EngineUnavailable,
    PrivatePodman,
    import_mediator_image,
    published_address,
    run_mediator,
    wait_until_serving,
)

DOCKER_SOCKET = "/var/run/docker.sock"


def existing_engine() -> str | None:
    if os.environ.get("DOCKER_HOST", "").strip():
        return os.environ["DOCKER_HOST"].strip()
    return f"unix://{DOCKER_SOCKET}" if os.path.exists(DOCKER_SOCKET) else None


def main() -> int:
    address = existing_engine()
    private: PrivatePodman | None = None
    try:
        if address is None:
            try:
                private = PrivatePodman().start()
            except EngineUnavailable as exc:
                print(
                    f"demo-containers: no engine: DOCKER_HOST is not set, {DOCKER_SOCKET} does not exist, "
                    f"and a private podman engine cannot start ({exc})",
                    file=sys.stderr,
                )
                return 2
            client, setting, network_mode = private.client, f"docker:{private.address}", private.network_mode
            print(f"Started a private podman engine at {private.address}")
        else:
            # As the job will: DOCKER_HOST and its TLS settings, or the default socket.
            client, setting, network_mode = docker.DockerClient.from_env(version="1.41"), "docker:", None
            print(f"Using the container engine at {address}")
        with tempfile.TemporaryDirectory(prefix="prepay-demo-containers-") as tmp:
            return run(client, setting, network_mode, Path(tmp))
    finally:
        if private is not None:
            private.stop()


def run(client: Any, setting: str, network_mode: str | None, folder: Path) -> int:
    fleet = demo_fleet()
    import_mediator_image(client)
    containers: list[Any] = []
    try:
        addresses: dict[int, str] = {}
        for m in fleet:
            if m.has_mediator:
                containers.append(run_mediator(client, m, folder, network_mode))
                addresses[m.id] = published_address(containers[-1])
        for m in fleet:
            if m.id in addresses:
                wait_until_serving(addresses[m.id], m.meter_id)
        print(
            f"{len(containers)} mediator containers running, labelled ortane.esco / ortane.meter.id / "
            "ortane.meter.serial / ortane.mediator.port"
        )
        return flip(fleet, folder, setting, addresses)
    finally:
        for c in containers:
            c.remove(force=True)
        client.images.remove(MEDIATOR_IMAGE)


def flip(fleet: list[SampleMeter], folder: Path, setting: str, addresses: dict[int, str]) -> int:
    registry = folder / "registry.db"
    write_registry(registry, fleet)
    names, url, selected = selection(fleet, registry)
    before = {m.id: read_setting(addresses.get(m.id), m.meter_id) for m in selected}
    print(f"Running: prepay-enabled-flip --esco {ESCO} with MEDIATOR_INVENTORY={setting}\n")
    job = run_job(names, url, setting)

    after = {m.id: read_setting(addresses.get(m.id), m.meter_id) for m in selected}
    header = f"{'name':<8} {'id':>4} {'serial':<10} {'published address':<24} {'before':<6} {'after':<6} outcome"
    print(header)
    print("-" * len(header))
    flipped = 0
    for m in selected:
        if before[m.id] == "on" and after[m.id] == "off":
            outcome, flipped = "flipped", flipped + 1
        elif m.id not in addresses:
            outcome = "no mediator container"
        else:
            outcome = "not flipped (mediator failed)"
        where = addresses.get(m.id, "-")
        print(f"{m.name:<8} {m.id:>4} {m.serial:<10} {where:<24} {before[m.id]:<6} {after[m.id]:<6} {outcome}")
    return verdict(job, flipped, len(selected))


if __name__ == "__main__":
    sys.exit(main())
