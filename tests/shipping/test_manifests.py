"""deploy/kubernetes against the API schemas of the pinned Kubernetes version,
offline: kubernetes-validate ships them."""

from __future__ import annotations

import re
from pathlib import Path

import kubernetes_validate
import pytest
import yaml

from vaxo_ortane.launcher.run import statuses

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
def test_every_file_the_pod_reads_is_a_read_only_mount_of_an_object_the_deploying_page_creates(name: str) -> None:
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
    # Every file the pod reads is a key that the deploying page's commands create, and config.yaml shows.
    created = _created_by_the_page()
    for variable, path in env.items():
        if variable.endswith("_FILE"):
            folder, _, key = path.rpartition("/")
            source = mounted[folder]
            assert key in created[(source["kind"], source["metadata"]["name"])], (name, variable)
            assert key in source.get("data", {}) | source.get("stringData", {}), (name, variable)
    claims = [v["persistentVolumeClaim"]["claimName"] for v in volumes.values() if "persistentVolumeClaim" in v]
    assert {("PersistentVolumeClaim", claim) for claim in claims} <= set(created)
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


def _created_by_the_page() -> dict[tuple[str, str], set[str]]:
    """(kind, name) -> keys of each object that deploying.md's commands create or apply."""
    commands = " ".join(re.findall(r"```sh\n(.*?)```", (ROOT / "docs" / "deploying.md").read_text(), re.S))
    created = {
        ("ConfigMap" if kind == "configmap" else "Secret", name): (
            {"tls.crt", "tls.key"} if kind == "secret tls" else set(re.findall(r"--from-file=([^=\s]+)=", rest))
        )
        for kind, name, rest in re.findall(
            r"kubectl create (configmap|secret generic|secret tls) (\S+)((?:\\\n|[^\n])*)", commands
        )
    }
    for path in re.findall(r"kubectl apply -f (deploy/kubernetes/\S+)", commands):
        created |= {(d["kind"], d["metadata"]["name"]): set() for d in yaml.safe_load_all((ROOT / path).read_text())}
    return created


def test_the_deploying_page_gives_every_status_and_the_action_each_manifest_takes() -> None:
    page = (ROOT / "docs" / "deploying.md").read_text()
    table = page.split("| Pod ends with | Indexed Job | CronJob's Job |\n|---|---|---|\n")[1].split("\n\n")[0]
    rows = [[cell.strip() for cell in row.strip("|").split("|")] for row in table.splitlines()]
    codes = {int(n): cells[1:] for cells in rows for n in re.findall(r"\d+", cells[0].partition(":")[0])}
    assert set(codes) == set(statuses.MEANINGS["prepay-enabled-flip"])
    for column, file in enumerate(["indexed-job.yaml", "cronjob.yaml"]):
        manifest = yaml.safe_load((FOLDER / file).read_text())
        job = manifest["spec"]["jobTemplate"]["spec"] if manifest["kind"] == "CronJob" else manifest["spec"]
        policy = job["podFailurePolicy"]["rules"]
        rules = {code: r["action"] for r in policy for code in r.get("onExitCodes", {}).get("values", [])}
        for code, cells in codes.items():
            # "-": no pod ends so; "counted": no rule names it, and the retries count it.
            action = re.match(r"`(\w+)`", cells[column])
            if cells[column] != "-" and not cells[column].startswith("- "):
                assert rules.get(code, "Count") == (action.group(1) if action else "Count"), (file, code)
