"""deploy/kubernetes against the API schemas of the pinned Kubernetes version,
offline: kubernetes-validate ships them."""

from __future__ import annotations

import re
from pathlib import Path

import kubernetes_validate
import pytest
import yaml

KUBERNETES = "1.33.0"
ROOT = Path(__file__).resolve().parents[2]
FOLDER = ROOT / "deploy" / "kubernetes"
INCLUDED = re.compile(r'^--8<-- "(deploy/kubernetes/[^"]+)"$', re.MULTILINE)


@pytest.mark.parametrize("path", sorted(FOLDER.glob("*.yaml")), ids=lambda p: p.name)
def test_every_object_is_valid_for_the_pinned_kubernetes(path: Path) -> None:
    objects = [d for d in yaml.safe_load_all(path.read_text()) if d]
    assert objects
    for manifest in objects:
        kubernetes_validate.validate(manifest, KUBERNETES, strict=True)


@pytest.mark.parametrize("name", ["cronjob.yaml", "indexed-job.yaml"])
def test_shards_match_completions_the_grace_period_covers_a_stop_and_the_report_outlives_the_pod(name: str) -> None:
    manifest = yaml.safe_load((FOLDER / name).read_text())
    job = manifest["spec"]["jobTemplate"]["spec"] if manifest["kind"] == "CronJob" else manifest["spec"]
    pod = job["template"]["spec"]
    env = {e["name"]: e.get("value") for e in pod["containers"][0]["env"]}
    assert env.get("FLIP_SHARD_COUNT") == (str(job["completions"]) if "completionMode" in job else None)
    retries, connect, read = (float(env[f"MEDIATOR_{v}"]) for v in ("RETRIES", "CONNECT_TIMEOUT", "READ_TIMEOUT"))
    # one write's bound, pauses of at most 4 s between attempts, and 20 s for the queued meters
    assert pod["terminationGracePeriodSeconds"] >= (retries + 1) * (connect + read) + retries * 4 + 20

    # The write window ends in a clean stop whose report and rerun list outlive the pod.
    assert job["activeDeadlineSeconds"] > pod["terminationGracePeriodSeconds"]
    mount = {m["mountPath"]: m for m in pod["containers"][0]["volumeMounts"]}[str(Path(env["FLIP_REPORT"]).parent)]
    volume = {v["name"]: v for v in pod["volumes"]}[mount["name"]]
    assert not mount.get("readOnly") and "persistentVolumeClaim" in volume


@pytest.mark.parametrize("name", ["cronjob.yaml", "indexed-job.yaml"])
def test_mediator_credentials_are_files_from_read_only_secret_and_configmap_mounts(name: str) -> None:
    manifest = yaml.safe_load((FOLDER / name).read_text())
    job = manifest["spec"]["jobTemplate"]["spec"] if manifest["kind"] == "CronJob" else manifest["spec"]
    pod = job["template"]["spec"]
    (container,) = pod["containers"]
    env = {e["name"]: e.get("value") for e in container["env"]}
    objects = {d["metadata"]["name"]: d for d in yaml.safe_load_all((FOLDER / "config.yaml").read_text())}
    volumes = {v["name"]: v for v in pod["volumes"]}
    # What each read-only folder holds: the object behind its volume, as the kubelet mounts it.
    mounted = {}
    for mount in container["volumeMounts"]:
        volume = volumes[mount["name"]]
        named = [volume.get("secret", {}).get("secretName"), volume.get("configMap", {}).get("name")]
        named += [s["secret"]["name"] for s in volume.get("projected", {}).get("sources", []) if "secret" in s]
        for object_name in filter(None, named):
            assert mount.get("readOnly") is True, mount
            mounted[mount["mountPath"]] = objects[object_name]
    for variable, kind in [
        ("MEDIATOR_CA_FILE", "ConfigMap"),
        ("MEDIATOR_CLIENT_CERT_FILE", "kubernetes.io/tls"),
        ("MEDIATOR_CLIENT_KEY_FILE", "kubernetes.io/tls"),
        ("MEDIATOR_TOKEN_FILE", "Opaque"),
    ]:
        folder, _, key = env[variable].rpartition("/")
        source = mounted[folder]
        assert source.get("type", source["kind"]) == kind
        assert key in source.get("data", {}) | source.get("stringData", {})


def test_the_docs_show_only_the_shipped_manifests() -> None:
    # Included by the docs build, so they are the files validated above and never a stale copy.
    blocks = [
        b for page in (ROOT / "docs").glob("*.md") for b in re.findall(r"```yaml\n(.*?)```", page.read_text(), re.S)
    ]
    shown = [path for block in blocks for path in INCLUDED.findall(block)]
    assert {"deploy/kubernetes/cronjob.yaml", "deploy/kubernetes/indexed-job.yaml"} <= set(shown)
    assert all((ROOT / path).is_file() for path in shown)
    assert [b for b in blocks if "apiVersion:" in b and not INCLUDED.search(b)] == []
    # An included file shows as nothing where a page is read as plain Markdown: a link stands beside it.
    for page in (ROOT / "docs").glob("*.md"):
        text = page.read_text()
        assert [p for p in INCLUDED.findall(text) if f'href="../{p}"' not in text] == [], page.name
