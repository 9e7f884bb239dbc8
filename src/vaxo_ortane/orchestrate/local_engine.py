"""A private podman engine and mediator containers, for the demo, tests and benchmarks.

``PrivatePodman`` runs ``podman system service`` on a socket in a temporary
folder, with its own storage there, and takes it all away when stopped: the
containers, the images, the folder, and the host folders podman creates on
first use. Its containers use ``slirp4netns``, which publishes ports through a
user-space forwarder and changes no firewall rule; with ``private_network`` the
service runs in a network namespace of its own, where the default bridge
network (and its firewall rules) lives and dies with it.

Nothing can be pulled, so the mediator image is a root file system of empty
folders imported from a tar stream; a container borrows the host's ``/usr``,
the interpreter and the virtual environment through read-only bind mounts and
runs ``vaxo-mediator-sim`` from them.
"""

from __future__ import annotations

import contextlib
import ctypes
import io
import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time
from collections.abc import Mapping
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import docker
import docker.errors
import requests

from vaxo_ortane.mediator.sample_fleet import SampleMeter, write_sim_config

from .adapter.engine import LABEL_ESCO, LABEL_METER_ID, LABEL_PORT, LABEL_SERIAL

MEDIATOR_IMAGE = "localhost/ortane-mediator:local"
MEDIATOR_PORT = 8080
SECURED_FOLDER = "/config/secured"  # where a secured mediator finds its certificate, CA and token
# Folders podman makes on the host whatever its --root says; removed afterwards
# when they were not there before.
HOST_FOLDERS = ("/run/containers", "/var/lib/containers", "/etc/containers/networks", "/run/runc", "/run/netns")
MNT_DETACH = 2
# Settings that must not reach the engine's own processes (sanitizer runs).
DROPPED_ENV = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC", "PYTHONDEVMODE")
START_LIMIT = 30.0


class EngineUnavailable(RuntimeError):
    """No private engine can be started here; the message says why."""


def unavailable_reason() -> str | None:
    """Why a private podman engine cannot run here, or None when it can be tried."""
    for tool in ("podman", "runc", "slirp4netns", "unshare", "ip"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed (Debian: apt-get install podman runc slirp4netns uidmap)"
    if os.geteuid() != 0:
        return "the private podman engine runs as root"
    return None


def _containers_conf(folder: Path) -> str:
    nofile = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    nproc = resource.getrlimit(resource.RLIMIT_NPROC)[1]
    # Defaults above the sandbox's hard limits make runc refuse every container.
    nofile = 1 << 20 if nofile == resource.RLIM_INFINITY else min(nofile, 1 << 20)
    nproc = 4096 if nproc == resource.RLIM_INFINITY else min(nproc, 4096)
    return (
        "[containers]\n"
        f'default_ulimits = ["nofile={nofile}:{nofile}", "nproc={nproc}:{nproc}"]\n'
        "[network]\n"
        f'network_config_dir = "{folder / "networks"}"\n'
        "[engine]\n"
        # crun refuses some sandboxes' cgroup layouts; runc does not.
        'runtime = "runc"\n'
        'cgroup_manager = "cgroupfs"\n'
        'events_logger = "file"\n'
        f'tmp_dir = "{folder / "tmp"}"\n'
    )


def engine_env(conf: Path) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in DROPPED_ENV}
    env["CONTAINERS_CONF"] = str(conf)
    return env


class PrivatePodman:
    """``podman system service`` on a private socket; ``client`` talks to it."""

    def __init__(self, private_network: bool = False) -> None:
        self.private_network = private_network
        self.folder = Path(tempfile.mkdtemp(prefix="ortane-engine-"))
        self.socket = self.folder / "engine.sock"
        self.address = f"unix://{self.socket}"
        # Bridge networking only inside the private namespace; slirp4netns otherwise.
        self.network_mode: str | None = None if private_network else "slirp4netns"
        self.process: subprocess.Popen[bytes] | None = None
        self._client: docker.DockerClient | None = None
        self._host_folders_before = {p for p in HOST_FOLDERS if os.path.lexists(p)}

    def podman_args(self) -> list[str]:
        f = self.folder
        return [
            "podman",
            "--root",
            str(f / "root"),
            "--runroot",
            str(f / "run"),
            "--storage-driver",
            "vfs",
            "--tmpdir",
            str(f / "tmp"),
        ]

    @property
    def client(self) -> docker.DockerClient:
        if self._client is None:
            raise EngineUnavailable("the private engine is not running")
        return self._client

    def start(self) -> PrivatePodman:
        reason = unavailable_reason()
        if reason is not None:
            self._remove_folders()
            raise EngineUnavailable(reason)
        conf = self.folder / "containers.conf"
        (self.folder / "tmp").mkdir()
        (self.folder / "networks").mkdir()
        conf.write_text(_containers_conf(self.folder))
        log = (self.folder / "service.log").open("wb")
        command = [*self.podman_args(), "system", "service", "--time=0", self.address]
        if self.private_network:
            # The new namespace's loopback starts down; ports published on it need it up.
            command = ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "sh", *command]
        self.process = subprocess.Popen(
            command, env=engine_env(conf), stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL
        )
        log.close()
        deadline = time.monotonic() + START_LIMIT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                text = (self.folder / "service.log").read_text(errors="replace")[-800:]
                self.stop()
                raise EngineUnavailable(f"podman system service exited at start: {text.strip()}")
            if self.socket.exists():
                client = docker.DockerClient(base_url=self.address, version="1.41", timeout=60)
                try:
                    client.ping()
                except (docker.errors.DockerException, requests.RequestException):
                    client.close()
                else:
                    self._client = client
                    return self
            time.sleep(0.1)
        self.stop()
        raise EngineUnavailable(f"podman system service did not answer within {START_LIMIT:g} s")

    def stop(self) -> None:
        """Remove every container, stop the service by its PID, delete its folders."""
        if self._client is not None:
            api = self._client.api
            try:
                # A few at a time: the engine serialises much of the work, but a
                # thousand one after another take minutes.
                with ThreadPoolExecutor(4) as pool:
                    list(pool.map(lambda row: api.remove_container(row["Id"], force=True), api.containers(all=True)))
            finally:
                self._client.close()
                self._client = None
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None
        self._remove_folders()

    def _remove_folders(self) -> None:
        # A mount left under the folder (a container's shm) would make rmtree
        # reach into it; unmount first, deepest first.
        prefix = str(self.folder) + "/"
        with open("/proc/self/mountinfo") as f:
            mounts = [line.split()[4] for line in f]
        for point in sorted((m for m in mounts if m.startswith(prefix)), key=len, reverse=True):
            _unmount(point)
        shutil.rmtree(self.folder, ignore_errors=True)
        for path in HOST_FOLDERS:
            if path not in self._host_folders_before and os.path.lexists(path):
                _remove_if_only_engine_state(Path(path), mounts)

    def __enter__(self) -> PrivatePodman:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


def _unmount(point: str) -> None:
    # The system call, not umount(8), which would leave /run/mount behind.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.umount2(point.encode(), MNT_DETACH)


def _remove_if_only_engine_state(path: Path, mounts: list[str]) -> None:
    # podman mounts /run/netns on itself to share it; it may hold namespaces of
    # other tools made since, so it goes only when empty.
    if path.name == "netns":
        if any(path.iterdir()):
            return
        if str(path) in mounts:
            _unmount(str(path))
        with contextlib.suppress(OSError):
            path.rmdir()
        return
    shutil.rmtree(path, ignore_errors=True)


def _root_filesystem() -> bytes:
    """A tar of empty folders, with /bin, /lib... as the host has them."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w") as tar:
        for name in ("etc", "proc", "sys", "dev", "tmp", "run", "root", "usr", "var", "var/tmp", "config"):
            info = tarfile.TarInfo(name)
            info.type, info.mode = tarfile.DIRTYPE, 0o1777 if name.endswith("tmp") else 0o755
            tar.addfile(info)
        for name in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):
            host = Path("/") / name
            info = tarfile.TarInfo(name)
            if host.is_symlink():
                info.type, info.linkname = tarfile.SYMTYPE, os.readlink(host)
            elif host.is_dir():
                info.type, info.mode = tarfile.DIRTYPE, 0o755
            else:
                continue
            tar.addfile(info)
    return buffer.getvalue()


def host_mounts() -> dict[str, dict[str, str]]:
    """Read-only bind mounts that let a container run this interpreter and venv."""
    paths = ["/usr"]
    paths += [
        f"/{n}"
        for n in ("bin", "sbin", "lib", "lib32", "lib64", "libx32")
        if os.path.isdir(f"/{n}") and not os.path.islink(f"/{n}")
    ]
    for prefix in (sys.base_prefix, sys.prefix):
        real = os.path.realpath(prefix)
        if not any(real == p or real.startswith(p + "/") for p in paths):
            paths.append(real)
    return {p: {"bind": p, "mode": "ro"} for p in paths}


def import_mediator_image(client: docker.DockerClient, tag: str = MEDIATOR_IMAGE) -> str:
    repository, _, version = tag.rpartition(":")
    answer = client.api.import_image_from_data(_root_filesystem(), repository=repository, tag=version)
    # podman names an import ":latest" whatever tag it is given; tag the id it reports.
    image_id = None
    for line in str(answer).splitlines():
        status = json.loads(line).get("status", "") if line.strip() else ""
        if isinstance(status, str) and status.startswith("sha256:"):
            image_id = status
    if image_id is None:
        raise EngineUnavailable(f"the engine did not report the imported image: {str(answer)[:200]}")
    client.api.tag(image_id, repository, version)
    return tag


def mediator_labels(m: SampleMeter, port: int = MEDIATOR_PORT) -> dict[str, str]:
    return {LABEL_ESCO: m.esco, LABEL_METER_ID: str(m.id), LABEL_SERIAL: m.serial, LABEL_PORT: str(port)}


def run_mediator(
    client: docker.DockerClient,
    m: SampleMeter,
    folder: Path,
    network_mode: str | None,
    labels: Mapping[str, str] | None = None,
    publish: bool = True,
    image: str = MEDIATOR_IMAGE,
    verbose: bool = False,
    secured: tuple[Path, list[str]] | None = None,
) -> Any:
    """Start one meter's mediator container; its port is published on 127.0.0.1.

    ``verbose``: the container's log has a line for each request it served.
    ``secured``: a folder mounted read-only at ``SECURED_FOLDER``, and the service's
    flags that name its files (TLS, client CA, token).
    """
    config = folder / f"mediator-{m.id}.toml"
    write_sim_config(config, [m])
    mounts = host_mounts() | {str(config): {"bind": "/config/meters.toml", "mode": "ro"}}
    if secured is not None:
        mounts[str(secured[0])] = {"bind": SECURED_FOLDER, "mode": "ro"}
    python = os.path.join(os.path.realpath(sys.prefix), "bin", "python")
    options: dict[str, Any] = {}
    if network_mode is not None:
        options["network_mode"] = network_mode
    if publish:
        options["ports"] = {f"{MEDIATOR_PORT}/tcp": ("127.0.0.1", None)}
    # create and start rather than run: run would try to pull a missing image.
    container = client.containers.create(
        image,
        [
            python,
            "-m",
            "vaxo_ortane.mediator.sim",
            "--config",
            "/config/meters.toml",
            "--host",
            "0.0.0.0",
            "--port",
            str(MEDIATOR_PORT),
            *(["--verbose"] if verbose else []),
            *(secured[1] if secured is not None else []),
        ],
        labels=dict(mediator_labels(m) if labels is None else labels),
        volumes=mounts,
        environment={"PYTHONDONTWRITEBYTECODE": "1"},
        **options,
    )
    container.start()
    return container


def published_address(container: Any, scheme: str = "http") -> str:
    container.reload()
    (binding, *_) = container.ports[f"{MEDIATOR_PORT}/tcp"]
    return f"{scheme}://127.0.0.1:{binding['HostPort']}"


def wait_until_serving(address: str, meter_id: str, limit: float = 30.0, client: Any = None) -> None:
    """Until the mediator answers a read: the forwarder accepts before it listens.
    ``client``: an ``httpx.Client`` with the credentials a secured mediator requires."""
    import httpx

    get = httpx.get if client is None else client.get
    deadline = time.monotonic() + limit
    while True:
        try:
            if get(f"{address}/meters/{meter_id}/prepay_enabled", timeout=2).status_code == 200:
                return
        except httpx.HTTPError:
            pass
        if time.monotonic() > deadline:
            raise EngineUnavailable(f"the mediator container at {address} did not answer within {limit:g} s")
        time.sleep(0.1)
