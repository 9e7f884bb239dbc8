"""The compiled module's own cost against the same job in plain Python.

With collaborators that do nothing, three things run over the same rows in one
process: the compiled module, the plain-Python module from the tests
(tests/hardening/reference_job.py, given the compiled module's collaborators),
and a baseline loop that makes the same collaborator calls directly (it reads
the row's fields and formats the "run_job for meter_row ..." text as the job
does). A module's own cost is its time per meter minus the baseline's.

Prints microseconds per meter (best of several interleaved runs) for
constructing PrepayEnabledFlipJob and calling `update`, and for `run_job`; both
own costs and their ratio; then, when valgrind is installed, the same from
callgrind's instruction counts, which stay the same from run to run on a noisy
machine. Last, `run` over the whole fleet, which adds the thread pool.

    python bench/module.py
"""

import importlib.util
import os
import re
import subprocess
import sys
import time
import types
from collections.abc import Callable

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import _fakes  # noqa: E402

REFERENCE = os.path.join(HERE, os.pardir, "tests", "hardening", "reference_job.py")
ADDRESS = "http://127.0.0.1:1"
ROWS = 20_000
REPEATS = 7
PATHS = ("construct+update", "run_job")
IMPLS = ("compiled", "python", "baseline")

Work = Callable[[], None]


def plain_python(compiled: types.ModuleType) -> types.ModuleType:
    """The plain-Python job, its globals bound to the compiled module's."""
    spec = importlib.util.spec_from_file_location("reference_job", REFERENCE)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    for name in (
        "logger",
        "OrtaneMediatorClient",
        "MediatorClientException",
        "get_instance",
        "supa_client",
        "supabase_url",
        "supabase_key",
        "tramu_role_key",
        "meter_names",
        "sys",
        "concurrent",
        "traceback",
    ):
        setattr(module, name, getattr(compiled, name))
    return module


def job_workloads(job: types.ModuleType, rows: list[dict]) -> dict[str, Work]:
    fleet = job.PrepayEnabledFlipAllJob(esco="BENCH")
    flip_job, run_job = job.PrepayEnabledFlipJob, fleet.run_job

    def construct_update() -> None:
        for row in rows:
            flip_job(meter=row, mediator_address=ADDRESS, supabase=None).update()

    def run_jobs() -> None:
        for row in rows:
            run_job(row)

    return {"construct+update": construct_update, "run_job": run_jobs, "run": fleet.run}


def baseline_workloads(job: types.ModuleType, rows: list[dict]) -> dict[str, Work]:
    """The collaborator calls of each path, made directly."""
    logger, client_class = job.logger, job.OrtaneMediatorClient
    fleet_log = logger.bind(esco="BENCH")
    containers = job.get_instance(esco="BENCH")

    def construct_update() -> None:
        for row in rows:
            client = client_class(mediator_address=ADDRESS, meter_id=row["meter_id"])
            log = logger.bind(serial=row["serial"], meter_id=row["meter_id"], mediator_address=ADDRESS)
            client.prepay_enabled_write(False)
            log.info("prepay disabled")

    def run_jobs() -> None:
        for row in rows:
            fleet_log.info(f"run_job for meter_row {row}")
            meter_id, serial = row["id"], row["serial"]
            address = containers.mediator_address(meter_id, serial)
            fleet_log.info("run_job", meter_id=meter_id, serial=serial, mediator_address=address)
            client = client_class(mediator_address=address, meter_id=row["meter_id"])
            log = logger.bind(serial=row["serial"], meter_id=row["meter_id"], mediator_address=address)
            client.prepay_enabled_write(False)
            log.info("prepay disabled")

    return {"construct+update": construct_update, "run_job": run_jobs}


def all_workloads(count: int) -> dict[str, dict[str, Work]]:
    rows = _fakes.rows(count)
    compiled = _fakes.load_job(rows)
    return {
        "compiled": job_workloads(compiled, rows),
        "python": job_workloads(plain_python(compiled), rows),
        "baseline": baseline_workloads(compiled, rows),
    }


def _timed(work: Work) -> float:
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def report(title: str, unit: str, per_meter: dict[str, dict[str, float]], digits: int) -> None:
    print(title)
    print(
        f"{'':>18}  {'compiled':>10} {'python':>10} {'baseline':>10}"
        f"  {'own: compiled':>14} {'python':>10}  {'ratio':>6}"
    )
    for path in PATHS:
        c, p, b = (per_meter[impl][path] for impl in IMPLS)
        ratio = (c - b) / (p - b) if p != b else float("nan")
        print(
            f"{path:>18}: {c:10.{digits}f} {p:10.{digits}f} {b:10.{digits}f}"
            f"  {c - b:14.{digits}f} {p - b:10.{digits}f}  {ratio:6.2f}  ({unit} per meter)"
        )


def wall_clock() -> None:
    works = all_workloads(ROWS)
    best = {impl: {path: float("inf") for path in PATHS} for impl in IMPLS}
    for path in PATHS:
        for impl in IMPLS:
            works[impl][path]()  # warm-up
    # Interleaved, so that a busy spell on a shared machine hits all three.
    for _ in range(REPEATS):
        for path in PATHS:
            for impl in IMPLS:
                best[impl][path] = min(best[impl][path], _timed(works[impl][path]))
    per_meter = {impl: {path: best[impl][path] / ROWS * 1e9 for path in PATHS} for impl in IMPLS}
    report(f"wall clock, best of {REPEATS} runs over {ROWS} meters:", "ns", per_meter, 0)

    for impl in ("compiled", "python"):
        works[impl]["run"]()
        seconds = min(_timed(works[impl]["run"]) for _ in range(3))
        print(
            f"run over {ROWS} meters, {impl:>8}: {seconds / ROWS * 1e6:6.2f} us per meter "
            "(thread pool included, best of 3)"
        )


def instructions(impl: str, path: str, count: int) -> int:
    # A fixed hash seed: string hashes decide dictionary probing, and so the count.
    out = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            "--callgrind-out-file=/dev/null",
            sys.executable,
            __file__,
            "--one",
            impl,
            path,
            str(count),
        ],
        capture_output=True,
        text=True,
        check=True,
        env={**os.environ, "PYTHONHASHSEED": "0"},
    )
    match = re.search(r"Collected : (\d+)", out.stderr)
    if match is None:
        raise RuntimeError(f"callgrind printed no total:\n{out.stderr}")
    return int(match.group(1))


def callgrind() -> None:
    small, large = 200, 2_200
    per_meter = {
        impl: {
            path: (instructions(impl, path, large) - instructions(impl, path, small)) / (large - small)
            for path in PATHS
        }
        for impl in IMPLS
    }
    report(f"callgrind, instructions (difference of {large} and {small} meters):", "instructions", per_meter, 0)


def main() -> None:
    if sys.argv[1:2] == ["--one"]:
        impl, path, count = sys.argv[2], sys.argv[3], int(sys.argv[4])
        all_workloads(count)[impl][path]()
        return
    wall_clock()
    if subprocess.run(["which", "valgrind"], capture_output=True).returncode == 0:
        callgrind()
    else:
        print("valgrind not installed: no instruction counts")


if __name__ == "__main__":
    main()
