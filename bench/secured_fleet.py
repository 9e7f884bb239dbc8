"""The fleet benchmark over https with mutual TLS and a bearer token, against plain http, in one run.

N meters behind one ``vaxo-mediator-sim``, at L = 0 (the job CPU-bound) and at
L = 20 ms: for each, the job's CPU time per meter and its wall time, best of
five, plain and secured taking turns, and the CPU ratio. "Net" subtracts a
one-meter run of the same kind, which holds the fixed cost (the secured one's
includes loading ``ssl`` and checking the credential files once). The secured mediator
requires a client certificate from a throwaway CA (trustme) and a token
(``--tls-cert``, ``--tls-key``, ``--client-ca``, ``--token-file``); the job gets
``MEDIATOR_CA_FILE``, ``MEDIATOR_CLIENT_CERT_FILE``, ``MEDIATOR_CLIENT_KEY_FILE``
and ``MEDIATOR_TOKEN_FILE``.

TLS handshakes are counted by the mediator: it counts each handshake it
completes and says the total when it stops. With connections reused, a run
costs one per worker (five) and mediator, not one per write.

    python bench/secured_fleet.py [--quick] [--latencies 0,20]
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo"))
from _fleet import Fleet, JobRun
from secured import DemoPki

CPU_RATIO_TARGET = 1.3
REPEAT = 5
KINDS = ("http", "https, mTLS and token")
CLOSING = re.compile(r"served (\d+) requests; (\d+) TLS handshakes, (\d+) refused")


def measure(folder: Path, count: int, latency: float, pki: DemoPki) -> dict[str, tuple[JobRun, JobRun, str]]:
    """For each kind, the least-CPU and least-wall of ``REPEAT`` runs, and what the mediator
    counted. The kinds take turns, so that a busy spell of the machine falls on both."""
    fleets = {
        kind: Fleet(
            folder / f"{kind[:5]}-{count}-{latency * 1000:g}", count, latency, pki.sim_args() if secured else ()
        )
        for kind, secured in zip(KINDS, (False, True), strict=True)
    }
    runs: dict[str, list[JobRun]] = {kind: [] for kind in KINDS}
    try:
        fleets[KINDS[1]].extra_env = pki.job_env()
        for _ in range(REPEAT):
            for kind, fleet in fleets.items():
                runs[kind].append(fleet.run_job())
    finally:
        for fleet in fleets.values():
            fleet.__exit__()
    found = CLOSING.search(fleets[KINDS[1]].sim.log.read_text())
    if found is None:
        raise RuntimeError(f"the mediator did not count its handshakes; see {fleets[KINDS[1]].sim.log}")
    requests, handshakes, refused = map(int, found.groups())
    counted = {
        KINDS[0]: "-",
        KINDS[1]: f"{handshakes / REPEAT:g} handshakes/run for {requests // REPEAT} writes ({refused} refused)",
    }
    return {
        kind: (min(r, key=lambda run: run.cpu_seconds), min(r, key=lambda run: run.seconds), counted[kind])
        for kind, r in runs.items()
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="N = 200, for a smoke run")
    parser.add_argument("--latencies", default="0,20", help="mediator latencies in ms (default: 0,20)")
    args = parser.parse_args()
    count = 200 if args.quick else 2_000
    with tempfile.TemporaryDirectory(prefix="bench-secured-") as tmp:
        folder = Path(tmp)
        pki = DemoPki(folder / "pki")
        base = {kind: cpu for kind, (cpu, _, _) in measure(folder, 1, 0.0, pki).items()}
        print(f"N = {count}, one mediator, five workers; best of {REPEAT} runs each, the kinds taking turns")
        print(f"  {'L ms':>5} {'mediator':<24} {'CPU us/m':>9} {'net':>6} {'wall s':>8}  TLS")
        for latency in (float(ms) / 1000 for ms in args.latencies.split(",")):
            net = {}
            for kind, (cpu, wall, counted) in measure(folder, count, latency, pki).items():
                net[kind] = (cpu.cpu_seconds - base[kind].cpu_seconds) / (count - 1) * 1e6
                print(
                    f"  {latency * 1000:>5g} {kind:<24} {cpu.cpu_us_per_meter:9.0f} {net[kind]:6.0f} "
                    f"{wall.seconds:8.3f}  {counted}"
                )
            ratio = net[KINDS[1]] / net[KINDS[0]]
            met = "met" if ratio <= CPU_RATIO_TARGET else "NOT met"
            print(f"  {'':>5} net CPU per meter, https/http: {ratio:.2f} (target <= {CPU_RATIO_TARGET}: {met})")


if __name__ == "__main__":
    main()
