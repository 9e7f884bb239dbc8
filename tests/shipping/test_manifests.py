"""The Kubernetes manifests in deploy/kubernetes, against the API's schemas of
the pinned Kubernetes version, offline (kubernetes-validate ships them)."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import kubernetes_validate
import pytest
import yaml

ROOT = Path(__file__).resolve().parents[2]
KUBERNETES = "1.33.0"
FOLDER = ROOT / "deploy" / "kubernetes"
BACKOFF_CAP = 4  # seconds, the longest pause between a write's attempts


def documents(path: Path) -> list[dict[str, Any]]:
    return [d for d in yaml.safe_load_all(path.read_text()) if d]


@pytest.mark.parametrize("path", sorted(FOLDER.glob("*.yaml")), ids=lambda p: p.name)
def test_every_object_is_valid_for_the_pinned_kubernetes(path: Path) -> None:
    objects = documents(path)
    assert objects
    for manifest in objects:
        kubernetes_validate.validate(manifest, KUBERNETES, strict=True)


@pytest.mark.parametrize("name", ["cronjob.yaml", "indexed-job.yaml"])
def test_shards_match_completions_and_the_grace_period_covers_a_stop(name: str) -> None:
    (manifest,) = documents(FOLDER / name)
    job = manifest["spec"]["jobTemplate"]["spec"] if manifest["kind"] == "CronJob" else manifest["spec"]
    pod = job["template"]["spec"]
    (container,) = pod["containers"]
    env = {e["name"]: e["value"] for e in container["env"]}
    if job.get("completionMode") == "Indexed":
        assert int(env["FLIP_SHARD_COUNT"]) == job["completions"]
    else:
        assert "FLIP_SHARD_COUNT" not in env
    retries = int(env["MEDIATOR_RETRIES"])
    write_bound = (retries + 1) * (float(env["MEDIATOR_CONNECT_TIMEOUT"]) + float(env["MEDIATOR_READ_TIMEOUT"]))
    assert pod["terminationGracePeriodSeconds"] >= write_bound + retries * BACKOFF_CAP + 20
