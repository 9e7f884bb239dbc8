"""Flip a sample fleet with a real run of ``prepay-enabled-flip`` (``make demo``).

In a temporary folder: an SQLite registry of 32 meters in two ESCOs, a mediator
inventory and one ``vaxo-mediator-sim`` per ESCO, served over https and requiring
mutual TLS and a bearer token from a throwaway CA (``secured``). The job runs as
its own process with its four environment variables and the mediator credential
files set; its log is shown, then each selected meter's setting as read back
from its mediator before and after. The demo fails when the table and the job's
summary record disagree.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

import httpx

from secured import DemoPki
from vaxo_ortane.mediator.sample_fleet import (
    SampleMeter,
    demo_fleet,
    write_inventory,
    write_registry,
    write_sim_config,
)
from vaxo_ortane.util.supabase import supa_client

ESCO = "ESCO_A"
BIN = Path(sys.executable).parent
SUMMARY = "Finished prepay_enabled_flip job. Success: "
RUN_LIMIT = 120  # seconds; the job's own time-outs end it long before


@dataclass
class Sim:
    process: subprocess.Popen[str]
    address: str


def start_sim(config: Path, log: Path, pki: DemoPki) -> Sim:
    process = subprocess.Popen(
        [str(BIN / "vaxo-mediator-sim"), "--config", str(config), "--verbose", *pki.sim_args()],
        stdout=subprocess.PIPE,
        stderr=log.open("w"),
        text=True,
    )
    assert process.stdout is not None
    line = process.stdout.readline().strip()
    if not line.startswith("listening on "):
        process.kill()
        raise SystemExit(f"demo: the mediator simulator did not start; see {log}")
    return Sim(process, line.removeprefix("listening on "))


def read_setting(address: str | None, meter_id: str, reader: httpx.Client | None = None) -> str:
    if address is None:
        return "-"
    url = f"{address}/meters/{meter_id}/prepay_enabled"
    response = httpx.get(url, timeout=5) if reader is None else reader.get(url)
    response.raise_for_status()
    return "on" if response.json()["value"] else "off"


def summary_counts(log_lines: list[str]) -> tuple[int, int] | None:
    for line in log_lines:
        try:
            event = json.loads(line).get("event", "")
        except ValueError:
            continue
        if isinstance(event, str) and event.startswith(SUMMARY):
            done, _, total = event.removeprefix(SUMMARY).partition("/")
            return int(done), int(total)
    return None


def main() -> int:
    fleet = demo_fleet()
    with tempfile.TemporaryDirectory(prefix="prepay-demo-") as tmp:
        folder = Path(tmp)
        registry = folder / "registry.db"
        write_registry(registry, fleet)
        pki = DemoPki(folder / "pki")
        sims: dict[str, Sim] = {}
        try:
            for esco in sorted({m.esco for m in fleet}):
                config = folder / f"mediators-{esco}.toml"
                write_sim_config(config, [m for m in fleet if m.esco == esco])
                sims[esco] = start_sim(config, folder / f"mediator-{esco}.log", pki)
            inventory = folder / "inventory.toml"
            write_inventory(inventory, fleet, {esco: sim.address for esco, sim in sims.items()})
            return run(fleet, folder, registry, inventory, sims, pki)
        finally:
            for sim in sims.values():
                sim.process.terminate()
                sim.process.wait(timeout=10)


def selection(fleet: list[SampleMeter], registry: Path) -> tuple[list[str], str, list[SampleMeter]]:
    """The names the demo lists, the registry URL, and the meters the job will select.

    The job's own query, through the same client, tells which meters it will pick.
    """
    names = [m.name for m in fleet if m.esco == ESCO and m.in_name_list]
    url = f"sqlite://{registry}"
    rows = (
        supa_client(url, "demo-anon", "demo-role")
        .table("meter_registry")
        .select("*")
        .in_("name", names)
        .neq("prepay_enabled", False)
        .execute()
        .data
    )
    by_id = {m.id: m for m in fleet}
    return names, url, [by_id[row["id"]] for row in rows]


def run_job(
    names: list[str], url: str, inventory: str, credentials: dict[str, str] | None = None
) -> subprocess.CompletedProcess[str]:
    """Run the job as its own process, with the mediator ``credentials`` settings, and show what it wrote."""
    env = {
        **os.environ,
        "PREPAY_DISABLED_METER_NAMES": ",".join(names),
        "SUPABASE_URL": url,
        "SUPABASE_ANON_KEY": "demo-anon",
        "TRAMU_ROLE_KEY": "demo-role",
        "MEDIATOR_INVENTORY": inventory,
        "MEDIATOR_READ_TIMEOUT": os.environ.get("MEDIATOR_READ_TIMEOUT", "5"),
        **(credentials or {}),
    }
    job = subprocess.run(
        [str(BIN / "prepay-enabled-flip"), "--esco", ESCO],
        env=env,
        capture_output=True,
        text=True,
        timeout=RUN_LIMIT,
    )
    sys.stdout.write(job.stdout)
    sys.stdout.write(job.stderr)
    print(f"\nExit status: {job.returncode}\n")
    return job


def run(
    fleet: list[SampleMeter], folder: Path, registry: Path, inventory: Path, sims: dict[str, Sim], pki: DemoPki
) -> int:
    names, url, selected = selection(fleet, registry)

    def address(m: SampleMeter) -> str | None:
        return sims[m.esco].address if m.has_mediator else None

    with pki.reader() as reader:
        before = {m.id: read_setting(address(m), m.meter_id, reader) for m in selected}
        print(f"Sample fleet in {folder}: {len(fleet)} meters, {len(names)} names listed, {len(selected)} selected")
        print(f"Mediators at {', '.join(sim.address for sim in sims.values())}: mutual TLS and a bearer token required")
        print(f"Running: prepay-enabled-flip --esco {ESCO}\n")
        job = run_job(names, url, str(inventory), pki.job_env())
        after = {m.id: read_setting(address(m), m.meter_id, reader) for m in selected}
    header = f"{'name':<8} {'id':>4} {'meter_id':<11} {'serial':<10} {'before':<6} {'after':<6} outcome"
    print(header)
    print("-" * len(header))
    flipped = 0
    for m in selected:
        if before[m.id] == "on" and after[m.id] == "off":
            outcome, flipped = "flipped", flipped + 1
        elif not m.has_mediator:
            outcome = "no mediator in the inventory"
        else:
            outcome = "not flipped (mediator failed)"
        print(f"{m.name:<8} {m.id:>4} {m.meter_id:<11} {m.serial:<10} {before[m.id]:<6} {after[m.id]:<6} {outcome}")

    listed = [m for m in fleet if m.esco == ESCO and m not in selected]
    reasons = {False: "already off", None: "setting NULL"}
    skipped = ", ".join(
        f"{m.name} ({'not named' if not m.in_name_list else reasons[m.prepay_enabled]})" for m in listed
    )
    print(f"\nNot selected in {ESCO}: {skipped}; the meters of ESCO_B are not named at all.")
    return verdict(job, flipped, len(selected))


def verdict(job: subprocess.CompletedProcess[str], flipped: int, selected: int) -> int:
    """Compare the job's summary record with what the mediators show; the demo's status."""
    counts = summary_counts(job.stderr.splitlines())
    print()
    if counts is None:
        print("The job wrote no summary record.")
        return 1
    agrees = counts == (flipped, selected)
    print(
        f"Job summary: {counts[0]}/{counts[1]}; mediators show {flipped} of {selected} "
        f"selected meters flipped: {'they agree' if agrees else 'THEY DISAGREE'}."
    )
    return 0 if agrees and job.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
