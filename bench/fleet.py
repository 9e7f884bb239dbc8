"""The whole job as a process, on the embedded registry, against ``vaxo-mediator-sim``.

With five workers and a mediator round trip of L, N meters cannot take less
than ceil(N/5) x L. This prints, for N = 2,000 at L = 20 ms, the wall time, that
floor and their ratio, the job's CPU time per meter and its peak RSS; then the
same at L = 0, where the job is CPU-bound, as meters per second (with the
simulator's own CPU per meter, since both share the machine); then N = 500,
2,000 and 10,000 at L = 5 ms for how CPU and memory per meter grow with N.

"Net" figures subtract a one-meter run, which holds the process's fixed cost
(interpreter, imports, inventory); what is left is the cost that grows with N.

    python bench/fleet.py [--quick]     # --quick: smaller N, for a smoke run
    python bench/fleet.py --cpu-only --env FLIP_MAX_FAILURES=50%   # CPU per meter with a setting
    python bench/fleet.py --compare off:FLIP_PROGRESS_SECONDS=0 --compare on:   # settings side by side
    python bench/fleet.py --bare [--job-bin main=../base/.venv/bin]   # against the bare loop, in turns
    python bench/fleet.py --compare main: --compare here: --job-bin main=../base/.venv/bin   # two builds
    python bench/fleet.py --compare ledger:FLIP_LEDGER=sqlite://{folder}/l.db,FLIP_ROLLOUT=r{run}

``--bare`` sets the job's CPU per meter at N = 2,000, L = 20 ms against a bare loop of
the same writes (``_bare_loop.py``: five pycurl threads, nothing else) on the same
simulator, each taking its turn in every round; ``--job-bin`` adds another
installation of the job (another venv's ``bin``) to the turns.
"""

from __future__ import annotations

import argparse
import itertools
import os
import statistics
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _fleet import BIN, Fleet, JobRun, floor_seconds, job_bins

RATIO_TARGET = 1.05
BARE_TARGET = 2.0
CPU_TARGET_US = 250.0
START_UP_TARGET_MS = 100.0


EXTRA_ENV: dict[str, str] = {}


def run_at(folder: Path, count: int, latency: float, repeat: int = 1) -> JobRun:
    """The run with the least wall time out of ``repeat``."""
    with Fleet(folder / f"n{count}-l{latency * 1000:g}", count, latency) as fleet:
        fleet.extra_env = {key: value.replace("{folder}", str(fleet.folder)) for key, value in EXTRA_ENV.items()}
        return min((fleet.run_job() for _ in range(repeat)), key=lambda run: run.seconds)


def net(run: JobRun, base: JobRun) -> tuple[float, float]:
    """CPU in us and RSS in KiB per meter beyond the one-meter run."""
    extra = run.meters - base.meters
    return ((run.cpu_seconds - base.cpu_seconds) / extra * 1e6, (run.max_rss_kib - base.max_rss_kib) / extra)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="N divided by 10, for a smoke run")
    parser.add_argument("--cpu-only", action="store_true", help="only the fixed cost and the CPU-bound run")
    parser.add_argument(
        "--env",
        action="append",
        default=[],
        metavar="KEY=VALUE",
        help="a setting for every job run ({folder}: the fleet's folder), e.g. FLIP_REPORT={folder}/r.json",
    )
    parser.add_argument(
        "--compare",
        action="append",
        default=[],
        metavar="LABEL:KEY=VALUE,...",
        help="CPU per meter of the CPU-bound run under each labelled set of settings, "
        "taken in turns so that the machine's load falls on each alike ({folder}: the fleet's folder; "
        "{run}: a number each run has to itself, e.g. FLIP_ROLLOUT=r{run})",
    )
    parser.add_argument("--rounds", type=int, default=7, help="runs of each --compare setting or --bare kind")
    parser.add_argument("--bare", action="store_true", help="the job against the bare loop, N = 2,000, L = 20 ms")
    parser.add_argument(
        "--job-bin",
        action="append",
        default=[],
        metavar="LABEL=DIR",
        help="with --bare: another installation of the job, the bin folder of its venv; with --compare: the one the setting LABEL runs",
    )
    args = parser.parse_args()
    EXTRA_ENV.update(item.split("=", 1) for item in args.env)
    scale = 10 if args.quick else 1
    n, latency = 2_000 // scale, 0.020
    scaling = [500 // scale, 2_000 // scale, 10_000 // scale]

    with tempfile.TemporaryDirectory(prefix="bench-fleet-") as tmp:
        folder = Path(tmp)
        if args.compare:
            compare(folder, n, args.compare, args.rounds, job_bins(args.job_bin))
            return
        if args.bare:
            bins = job_bins(args.job_bin)
            against_bare(folder, n, latency, args.rounds, bins)
            return
        base = run_at(folder, 1, 0.0, repeat=3)
        met = "met" if base.cpu_seconds * 1e3 <= START_UP_TARGET_MS else "NOT met"
        print(
            f"fixed cost (a one-meter run): {base.seconds * 1e3:.0f} ms wall, "
            f"{base.cpu_seconds * 1e3:.0f} ms CPU (target <= {START_UP_TARGET_MS:g}: {met}), "
            f"peak RSS {base.max_rss_kib / 1024:.1f} MiB"
        )

        if args.cpu_only:
            run = run_at(folder, n, 0.0, repeat=3)
            net_cpu, _ = net(run, base)
            print(
                f"N = {n}, L = 0: CPU per meter {run.cpu_us_per_meter:.1f} us (net {net_cpu:.1f} us), "
                f"best wall {run.seconds:.3f} s, peak RSS {run.max_rss_kib / 1024:.1f} MiB"
            )
            return
        run = run_at(folder, n, latency)
        floor = floor_seconds(n, latency)
        ratio = run.seconds / floor
        net_cpu, net_rss = net(run, base)
        print(f"\nN = {n}, L = {latency * 1e3:g} ms ({run.summary} flipped)")
        print(f"  wall time          {run.seconds:8.3f} s")
        print(f"  floor ceil(N/5)*L  {floor:8.3f} s")
        print(
            f"  ratio              {ratio:8.3f}   (target <= {RATIO_TARGET}: {'met' if ratio <= RATIO_TARGET else 'NOT met'})"
        )
        print(
            f"  CPU per meter      {run.cpu_us_per_meter:8.0f} us  (net of fixed cost {net_cpu:.0f} us; "
            f"target <= {CPU_TARGET_US:g}: {'met' if run.cpu_us_per_meter <= CPU_TARGET_US else 'NOT met'})"
        )
        print(f"  peak RSS           {run.max_rss_kib / 1024:8.1f} MiB")
        print(f"  simulator CPU      {run.sim_cpu_us_per_meter:8.0f} us per meter")

        run = run_at(folder, n, 0.0, repeat=3)
        net_cpu, net_rss = net(run, base)
        print(f"\nN = {n}, L = 0 (CPU-bound; best wall time of 3)")
        print(f"  wall time          {run.seconds:8.3f} s")
        print(
            f"  throughput         {run.meters / run.seconds:8.0f} meters/s "
            f"(net of fixed cost {(run.meters - 1) / (run.seconds - base.seconds):.0f} meters/s)"
        )
        print(f"  CPU per meter      {run.cpu_us_per_meter:8.0f} us  (net {net_cpu:.0f} us)")
        print(f"  peak RSS           {run.max_rss_kib / 1024:8.1f} MiB")
        print(f"  simulator CPU      {run.sim_cpu_us_per_meter:8.0f} us per meter")

        latency = 0.005
        print(f"\nscaling, L = {latency * 1e3:g} ms")
        print(
            f"  {'N':>6} {'wall s':>8} {'floor s':>8} {'ratio':>6} {'CPU us/m':>9} {'net':>6} "
            f"{'RSS MiB':>8} {'net KiB/m':>10}"
        )
        for count in scaling:
            run = run_at(folder, count, latency)
            floor = floor_seconds(count, latency)
            net_cpu, net_rss = net(run, base)
            print(
                f"  {count:>6} {run.seconds:8.3f} {floor:8.3f} {run.seconds / floor:6.3f} "
                f"{run.cpu_us_per_meter:9.0f} {net_cpu:6.0f} {run.max_rss_kib / 1024:8.1f} {net_rss:10.2f}"
            )


def against_bare(folder: Path, count: int, latency: float, rounds: int, bins: dict[str, Path]) -> None:
    runs: dict[str, list[JobRun]] = {"bare loop": [], **{label: [] for label in bins}}
    print(f"load average at start: {os.getloadavg()}")
    with Fleet(folder / "bare", count, latency) as fleet:
        for _ in range(rounds):
            runs["bare loop"].append(fleet.run_bare())
            for label, bin_dir in bins.items():
                runs[label].append(fleet.run_job(bin_dir=bin_dir))
    bare = statistics.median(run.cpu_us_per_meter for run in runs["bare loop"])
    print(f"N = {count}, L = {latency * 1e3:g} ms, in turns, {rounds} runs each (medians; CPU start-up included)")
    print(f"  {'':<12} {'CPU us/m':>9} {'min':>6} {'max':>6} {'wall s':>7} {'x bare':>7}  RSS MiB")
    for label, kind in runs.items():
        cpu = [run.cpu_us_per_meter for run in kind]
        ratio = statistics.median(cpu) / bare
        print(
            f"  {label:<12} {statistics.median(cpu):9.0f} {min(cpu):6.0f} {max(cpu):6.0f} "
            f"{statistics.median(run.seconds for run in kind):7.3f} {ratio:7.2f}  "
            f"{statistics.median(run.max_rss_kib for run in kind) / 1024:6.1f}"
            + (
                ""
                if label == "bare loop"
                else f"   (target <= {BARE_TARGET:g}x: {'met' if ratio <= BARE_TARGET else 'NOT met'})"
            )
        )
    print(f"load average at end: {os.getloadavg()}")


def compare(folder: Path, count: int, variants: list[str], rounds: int, builds: dict[str, Path]) -> None:
    settings = {}
    for variant in variants:
        label, _, items = variant.partition(":")
        settings[label] = dict(item.split("=", 1) for item in items.split(",") if item)
    fixed: dict[str, list[float]] = {label: [] for label in settings}
    per_meter: dict[str, list[float]] = {label: [] for label in settings}
    made = itertools.count()
    with Fleet(folder / "compare-1", 1, 0.0) as one, Fleet(folder / "compare-n", count, 0.0) as many:
        for _ in range(rounds):
            for label, env in settings.items():
                runs = []
                for fleet in (one, many):
                    # {run}: a number of this run's own, for a rollout that no earlier run has done.
                    run = str(next(made))
                    fleet.extra_env = {
                        key: value.replace("{folder}", str(fleet.folder)).replace("{run}", run)
                        for key, value in env.items()
                    }
                    fleet.restart_sim()  # each run finds every meter on, as the first did
                    runs.append(fleet.run_job(bin_dir=builds.get(label, BIN)))
                fixed[label].append(runs[0].cpu_seconds * 1e3)
                per_meter[label].append(net(runs[1], runs[0])[0])
    print(f"in turns, {rounds} runs each: a one-meter run's CPU, and N = {count}, L = 0 CPU per meter net of it")
    first = next(iter(settings))
    for label in settings:
        # Against the first setting, round by round: the machine's load falls on both runs of a round alike.
        steps = [ours - theirs for ours, theirs in zip(per_meter[label], per_meter[first], strict=True)]
        step = statistics.median(steps)
        against = f"   against {first}: {step:+6.1f} us ({step / statistics.median(per_meter[first]):+.1%})"
        print(
            f"  {label:<12} fixed {statistics.median(fixed[label]):6.1f} ms (best {min(fixed[label]):6.1f})   "
            f"per meter {statistics.median(per_meter[label]):6.1f} us (best {min(per_meter[label]):6.1f})"
            + (against if label != first else "")
        )


if __name__ == "__main__":
    main()
