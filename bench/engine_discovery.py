"""Discovering mediator containers on a real engine, as the fleet grows.

A private podman engine (see ``vaxo_ortane.orchestrate.local_engine``) is
filled step by step with running labelled containers, half in ESCO_A and half
in ESCO_B. At each size ``get_instance`` is timed for one ESCO and for all, and
split into the engine's answer to the one list request and the adapter's own
work on that answer; then a look-up. The containers only sleep and have no
network (``network_mode=none``): a slirp4netns forwarder per container would
cost more than the machine can spare at a thousand, and the adapter's work per
container is the same with or without a published port.

    python bench/engine_discovery.py [--max 1000] [--steps 100,250,500,1000]
"""

from __future__ import annotations

import argparse
import functools
import os
import statistics
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from vaxo_ortane.orchestrate.adapter.engine import EngineInventory, list_mediators, parse_engine
from vaxo_ortane.orchestrate.adapter.factory import get_instance
from vaxo_ortane.orchestrate.local_engine import (
    MEDIATOR_IMAGE,
    MEDIATOR_PORT,
    PrivatePodman,
    host_mounts,
    import_mediator_image,
)

REPEATS = 5
# Two workers: the machine has two cores, and the engine does the work.
STARTERS = 2


def start_sleeper(client: Any, n: int) -> None:
    esco = "ESCO_A" if n % 2 == 0 else "ESCO_B"
    container = client.containers.create(
        MEDIATOR_IMAGE,
        ["/usr/bin/sleep", "infinity"],
        network_mode="none",
        volumes=host_mounts(),
        labels={
            "ortane.esco": esco,
            "ortane.meter.id": str(n),
            "ortane.meter.serial": f"SN-{n}",
            "ortane.mediator.port": str(MEDIATOR_PORT),
        },
    )
    container.start()


def timed(call: Any) -> tuple[float, Any]:
    started = time.perf_counter()
    result = call()
    return time.perf_counter() - started, result


def measure(engine: PrivatePodman, esco: str | None) -> tuple[float, float, float, int]:
    """Median seconds: get_instance, the list request alone, the adapter's work; meters known."""
    setting = f"docker:{engine.address}"
    parsed = parse_engine(setting, os.environ)
    totals, lists, builds = [], [], []
    known = 0
    for _ in range(REPEATS):
        total, inventory = timed(lambda: get_instance(esco=esco))
        listed, rows = timed(lambda: list_mediators(parsed, esco, os.environ))
        built, _ = timed(functools.partial(EngineInventory, parsed, rows, esco))
        totals.append(total)
        lists.append(listed)
        builds.append(built)
        known = len(inventory)
    return statistics.median(totals), statistics.median(lists), statistics.median(builds), known


def lookup_cost(engine: PrivatePodman) -> float:
    os.environ["MEDIATOR_INVENTORY"] = f"docker:{engine.address}"
    inventory = get_instance(esco=None)
    started = time.perf_counter()
    for n in range(20000):
        inventory.mediator_address(10**9 + n, "SN-x")  # misses: the same dict look-up as a hit
    return (time.perf_counter() - started) / 20000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max", type=int, default=1000, help="largest fleet to start (default 1000)")
    parser.add_argument("--steps", default="0,100,250,500,1000", help="fleet sizes to measure at")
    args = parser.parse_args()
    steps = sorted({min(int(s), args.max) for s in args.steps.split(",")})

    with PrivatePodman() as engine:
        import_mediator_image(engine.client)
        os.environ["MEDIATOR_INVENTORY"] = f"docker:{engine.address}"
        print(f"private podman engine, {STARTERS} starters; median of {REPEATS} per row")
        print(
            f"{'running':>8} {'start s':>8} {'all ms':>8} {'list ms':>8} {'adapter ms':>10} "
            f"{'us/ctr':>7} {'ESCO_A ms':>9} {'known':>6}"
        )
        running = 0
        for size in steps:
            started = time.perf_counter()
            with ThreadPoolExecutor(STARTERS) as pool:
                list(pool.map(lambda n: start_sleeper(engine.client, n), range(running, size)))
            start_s = time.perf_counter() - started
            counted = len(engine.client.api.containers(filters={"label": ["ortane.esco"], "status": "running"}))
            running = size
            total, listed, built, known = measure(engine, None)
            one_esco, *_ = measure(engine, "ESCO_A")
            per = listed / counted * 1e6 if counted else 0.0
            print(
                f"{counted:>8} {start_s:>8.1f} {total * 1e3:>8.1f} {listed * 1e3:>8.1f} {built * 1e3:>10.2f} "
                f"{per:>7.0f} {one_esco * 1e3:>9.1f} {known:>6}",
                flush=True,
            )
        print(f"look-up: {lookup_cost(engine) * 1e9:.0f} ns per mediator_address call at {running} containers")
        started = time.perf_counter()
    print(f"removing the fleet and the engine: {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
