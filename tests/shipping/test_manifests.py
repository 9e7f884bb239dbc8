"""deploy/kubernetes against the API schemas of the pinned Kubernetes version,
offline: kubernetes-validate ships them."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

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


# A volume's field, the kind of object it names, and the key that holds the name.
VOLUME_SOURCES = {
    "configMap": ("ConfigMap", "name"),
    "secret": ("Secret", "secretName"),
    "persistentVolumeClaim": ("PersistentVolumeClaim", "claimName"),
}


def _pod(manifest: dict[str, Any]) -> dict[str, Any]:
    job = manifest["spec"]["jobTemplate"]["spec"] if manifest["kind"] == "CronJob" else manifest["spec"]
    pod: dict[str, Any] = job["template"]["spec"]
    return pod


def _created_by_the_page() -> dict[tuple[str, str], set[str]]:
    """(kind, name) -> keys of each object that deploying.md's commands create or apply."""
    page = (ROOT / "docs" / "deploying.md").read_text()
    commands = " ".join(re.findall(r"```sh\n(.*?)```", page, re.S)).replace("\\\n", " ")
    created: dict[tuple[str, str], set[str]] = {}
    for kind, name, rest in re.findall(r"kubectl create (configmap|secret generic|secret tls) (\S+)([^\n]*)", commands):
        keys = {"tls.crt", "tls.key"} if kind == "secret tls" else set(re.findall(r"--from-file=([^=\s]+)=", rest))
        created[("ConfigMap" if kind == "configmap" else "Secret", name)] = keys
    for path in re.findall(r"kubectl apply -f (deploy/kubernetes/\S+)", commands):
        for document in yaml.safe_load_all((ROOT / path).read_text()):
            created[(document["kind"], document["metadata"]["name"])] = set()
    return created


@pytest.mark.parametrize("name", ["cronjob.yaml", "indexed-job.yaml"])
def test_the_deploying_page_creates_every_object_and_key_the_manifests_read(name: str) -> None:
    pod = _pod(yaml.safe_load((FOLDER / name).read_text()))
    (container,) = pod["containers"]
    read: dict[tuple[str, str], set[str]] = {}  # what the pod needs: objects, and the keys it reads of them
    folders: dict[str, tuple[str, str]] = {}
    volumes = {v["name"]: v for v in pod["volumes"]}
    for mount in container["volumeMounts"]:
        volume = volumes[mount["name"]]
        sources = [(kind, volume[field][key]) for field, (kind, key) in VOLUME_SOURCES.items() if field in volume]
        for source in volume.get("projected", {}).get("sources", []):
            sources.append(("Secret", source["secret"]["name"]))
            read.setdefault(sources[-1], set()).update(item["key"] for item in source["secret"].get("items", []))
        for source in sources:
            read.setdefault(source, set())
            folders[mount["mountPath"]] = source
    for variable in container["env"]:
        if variable["name"].endswith("_FILE"):
            folder, _, key = variable["value"].rpartition("/")
            read[folders[folder]].add(key)
    created = _created_by_the_page()
    placeholders = {
        (d["kind"], d["metadata"]["name"]): d for d in yaml.safe_load_all((FOLDER / "config.yaml").read_text())
    }
    for source, keys in read.items():
        assert source in created, f"{name} reads {source}, which no command of docs/deploying.md creates"
        assert keys <= created[source], (source, keys - created[source])
        if source in placeholders:  # config.yaml shows the same keys
            shown = placeholders[source]
            assert keys <= set(shown.get("data", {}) | shown.get("stringData", {})), source


def test_the_deploying_page_gives_every_status_and_the_action_each_manifest_takes() -> None:
    page = (ROOT / "docs" / "deploying.md").read_text()
    table = page.split("| Pod ends with | Indexed Job | CronJob's Job |\n|---|---|---|\n")[1].split("\n\n")[0]
    actions: dict[str, dict[int, str]] = {"indexed-job.yaml": {}, "cronjob.yaml": {}}
    for row in table.splitlines():
        cells = [cell.strip() for cell in row.strip("|").split("|")]
        codes = [int(n) for n in re.findall(r"\d+", cells[0].partition(":")[0])] if cells[0][0].isdigit() else []
        for code in codes:
            for file, cell in zip(actions, cells[1:], strict=True):
                action = re.match(r"`(\w+)`", cell)
                actions[file][code] = action.group(1) if action else "Count" if "counted" in cell else "-"
    assert set(actions["cronjob.yaml"]) == set(statuses.MEANINGS["prepay-enabled-flip"])
    for file, table_actions in actions.items():
        rules = _pod_failure_rules(yaml.safe_load((FOLDER / file).read_text()))
        for code, action in table_actions.items():
            # "-": no such pod ends so; a status no rule names is counted against the retries.
            assert action == "-" or rules.get(code, "Count") == action, (file, code, action)


def _pod_failure_rules(manifest: dict[str, Any]) -> dict[int, str]:
    job = manifest["spec"]["jobTemplate"]["spec"] if manifest["kind"] == "CronJob" else manifest["spec"]
    rules = job["podFailurePolicy"]["rules"]
    return {code: rule["action"] for rule in rules for code in rule.get("onExitCodes", {}).get("values", [])}
