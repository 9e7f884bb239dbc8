"""The demo fleet run as a Kubernetes Indexed Job runs it (``make demo-shards``).

On a private podman engine (as root, with podman, runc, slirp4netns and
mmdebstrap installed): the image built from the Containerfile as ``make image``
builds it, on a base made from Debian's packages since nothing can be pulled;
one mediator container per meter, labelled as the job finds them; then the
image run as the K pods of deploy/kubernetes/indexed-job.yaml. Each pod gets
its JOB_COMPLETION_INDEX, the names file, the key files and the mediator
credentials mounted read-only, a read-only root file system and no capabilities,
and runs as the image's user. The mediators serve https and require the job's
client certificate and a token, from a throwaway CA (``secured``): the pods find
them by their labels and reach them over https.

A table shows each meter's shard, the writes its mediator logged and its setting
afterwards. The demo fails unless every shard ended 0, every selected meter with
a working mediator was switched off by exactly one write, and no other meter was
written.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from run_demo import ESCO, read_setting
from secured import DemoPki
from vaxo_ortane.launcher.run.shards import shard_of
from vaxo_ortane.mediator.sample_fleet import SampleMeter, demo_fleet, write_registry
from vaxo_ortane.orchestrate.local_engine import (
    SECURED_FOLDER,
    EngineUnavailable,
    PrivatePodman,
    engine_env,
    import_mediator_image,
    published_address,
    run_mediator,
    wait_until_serving,
)

ROOT = Path(__file__).resolve().parent.parent
IMAGE = "localhost/vaxo-ortane:demo"
SHARDS = 4
# Where deploy/kubernetes mounts the ConfigMap and the Secret.
CONFIG = "/etc/prepay-enabled-flip"
ENGINE_SOCKET = "/run/engine.sock"
KEYS = {
    "supabase-url": "sqlite:///registry/registry.db",
    "supabase-anon-key": "demo-anon",
    "tramu-role-key": "demo-role",
}
RUN_LIMIT = 300  # seconds for one shard
POD_GROUP = 10001  # the image's group, and the manifests' fsGroup


def build_image(engine: PrivatePodman, image: str = IMAGE) -> None:
    """``make base-image image`` against the private engine's storage."""
    done = subprocess.run(
        [
            "make",
            "-C",
            str(ROOT),
            "base-image",
            "image",
            f"CONTAINER_ENGINE={' '.join(engine.podman_args())}",
            "IMAGE_BUILD_FLAGS=--pull=never",
            f"IMAGE={image}",
        ],
        env=engine_env(engine.folder / "containers.conf"),
        capture_output=True,
        text=True,
        check=False,
    )
    if done.returncode != 0:
        raise EngineUnavailable(f"the image did not build:\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}")


def records(container: Any) -> list[dict[str, Any]]:
    """The job's log records: one JSON object a line on standard error; other
    lines (a traceback) kept as text."""
    found = []
    for line in container.logs(stdout=False, stderr=True).decode().splitlines():
        try:
            found.append(json.loads(line))
        except ValueError:
            found.append({"event": "", "text": line})
    return found


@dataclass
class IndexedJob:
    """The files an Indexed Job mounts, the meters' mediator containers, and its pods."""

    engine: PrivatePodman
    meters: list[SampleMeter]
    folder: Path
    image: str = IMAGE
    shards: int = SHARDS
    mediators: dict[str, Any] = field(default_factory=dict)
    addresses: dict[str, str] = field(default_factory=dict)
    pki: DemoPki = field(init=False)  # the mediators' and the pods' credentials
    reader: Any = field(init=False)  # an httpx client with the job's credentials, for the table

    def prepare(self, with_mediators: Iterable[SampleMeter], strangers: Iterable[str] = ()) -> IndexedJob:
        """The files and the mediator containers; those of the meter ids in ``strangers``
        are impostors, whose certificates come from a CA of their own."""
        impostors = set(strangers)
        for sub in ("names", "keys", "registry"):
            (self.folder / sub).mkdir()
        self.pki = DemoPki(self.folder / "pki")
        # As a Secret mounted with fsGroup gives it: the pods' group reads the key, no other user.
        os.chown(self.pki.job / "job.key", -1, POD_GROUP)
        os.chmod(self.pki.job / "job.key", 0o640)
        self.reader = self.pki.reader()
        write_registry(self.folder / "registry" / "registry.db", self.meters)
        (self.folder / "names" / "names").write_text("".join(f"{m.name}\n" for m in self.meters if m.in_name_list))
        for key, value in KEYS.items():
            (self.folder / "keys" / key).write_text(value + "\n")  # as `echo value > file` writes it
        # The job runs as the image's user; the socket's own folder is root's alone.
        os.chmod(self.engine.socket, 0o666)
        import_mediator_image(self.engine.client)
        for m in with_mediators:
            # verbose: the container's log has a line for each write it served
            self.mediators[m.meter_id] = run_mediator(
                self.engine.client,
                m,
                self.folder,
                self.engine.network_mode,
                verbose=True,
                secured=(
                    self.pki.stranger if m.meter_id in impostors else self.pki.mediator,
                    self.pki.sim_args(SECURED_FOLDER),
                ),
            )
            self.addresses[m.meter_id] = published_address(self.mediators[m.meter_id], "https")
        with self.pki.reader(stranger=True) as stranger_reader:
            for meter_id, address in self.addresses.items():
                wait_until_serving(address, meter_id, client=stranger_reader if meter_id in impostors else self.reader)
        return self

    def start_shard(self, index: int) -> Any:
        """One pod of the Indexed Job, as far as the engine can run one."""
        keys = f"{CONFIG}/keys"
        env = {
            "FLIP_SHARD_COUNT": str(self.shards),
            "JOB_COMPLETION_INDEX": str(index),
            "PREPAY_DISABLED_METER_NAMES_FILE": f"{CONFIG}/names/names",
            "SUPABASE_URL_FILE": f"{keys}/supabase-url",
            "SUPABASE_ANON_KEY_FILE": f"{keys}/supabase-anon-key",
            "TRAMU_ROLE_KEY_FILE": f"{keys}/tramu-role-key",
            "MEDIATOR_INVENTORY": f"docker:unix://{ENGINE_SOCKET}",
            "MEDIATOR_READ_TIMEOUT": "5",
            **self.pki.job_env(f"{CONFIG}/mediator"),
        }
        mounts = {
            str(self.folder / "names"): {"bind": f"{CONFIG}/names", "mode": "ro"},
            str(self.folder / "keys"): {"bind": keys, "mode": "ro"},
            str(self.pki.job): {"bind": f"{CONFIG}/mediator", "mode": "ro"},
            str(self.folder / "registry"): {"bind": "/registry", "mode": "ro"},
            str(self.engine.socket): {"bind": ENGINE_SOCKET, "mode": "rw"},
        }
        container = self.engine.client.containers.create(
            self.image,
            ["--esco", ESCO],
            environment=env,
            volumes=mounts,
            # The host's network: the mediators' ports are published on its 127.0.0.1.
            network_mode="host",
            read_only=True,
            cap_drop=["ALL"],
            security_opt=["no-new-privileges"],
        )
        container.start()
        return container

    def run(self) -> list[tuple[int, list[dict[str, Any]]]]:
        """Every shard side by side, as the Job's pods run; each one's status and records."""
        pods = [self.start_shard(i) for i in range(self.shards)]
        ended = [(int(pod.wait(timeout=RUN_LIMIT)["StatusCode"]), records(pod)) for pod in pods]
        for pod in pods:
            pod.remove(force=True)
        return ended

    def writes(self, meter_id: str) -> int:
        """Writes the meter's mediator served, by its own log."""
        if meter_id not in self.mediators:
            return 0
        log: str = self.mediators[meter_id].logs(stdout=False, stderr=True).decode()
        return log.count(f" PUT /meters/{meter_id}/prepay_enabled ")

    def remove(self) -> None:
        if (reader := getattr(self, "reader", None)) is not None:  # none yet if prepare failed early
            reader.close()
        for container in self.mediators.values():
            container.remove(force=True)


def main() -> int:
    try:
        engine = PrivatePodman().start()
    except EngineUnavailable as exc:
        print(f"demo-shards: a private podman engine cannot start ({exc})", file=sys.stderr)
        return 2
    try:
        print(f"Started a private podman engine at {engine.address}; building {IMAGE} (about 2 minutes)")
        build_image(engine)
        fleet = [m for m in demo_fleet() if m.esco == ESCO]
        with tempfile.TemporaryDirectory(prefix="prepay-demo-shards-") as tmp:
            job = IndexedJob(engine, fleet, Path(tmp)).prepare(m for m in fleet if m.has_mediator)
            try:
                return show(job)
            finally:
                job.remove()
    finally:
        engine.stop()


def show(job: IndexedJob) -> int:
    print(f"{len(job.mediators)} mediator containers; running {job.shards} shards of {job.image}\n")
    ended = job.run()
    for index, (status, log) in enumerate(ended):
        summary = [r["event"] for r in log if str(r["event"]).startswith(("Shard ", "Finished "))]
        print(f"shard {index}: exit status {status}; " + "; ".join(summary))
    header = f"\n{'name':<8} {'meter_id':<11} {'shard':>5} {'writes':>6} {'after':<6} expected"
    print(header)
    print("-" * len(header))
    right = all(status == 0 for status, _ in ended)
    for m in job.meters:
        expected = 1 if m.selected and m.meter_id in job.mediators else 0
        writes = job.writes(m.meter_id)
        after = read_setting(job.addresses.get(m.meter_id), m.meter_id, job.reader)
        # a write to the mediator that answers 503 counts, and changes nothing
        right &= writes >= expected if m.behaviour.fail_status else writes == expected
        label = "no write" if not expected else "retried (503)" if m.behaviour.fail_status else "one write"
        print(f"{m.name:<8} {m.meter_id:<11} {shard_of(m.name, job.shards):>5} {writes:>6} {after:<6} {label}")
    print(f"\n{'Every shard ended 0 and each selected meter was written once' if right else 'WRONG'}.")
    return 0 if right else 1


if __name__ == "__main__":
    sys.exit(main())
