"""Collaborators that do nothing, so that a benchmark measures the module alone."""

import importlib.util
import os
import sys
import types
from typing import Any

JOB = "vaxo_ortane.jobs.prepay_enabled_flip"


class NullLogger:
    def bind(self, **fields: Any) -> "NullLogger":
        return self

    def info(self, message: str, **fields: Any) -> None:
        pass

    def error(self, message: str, **fields: Any) -> None:
        pass


class NullMediatorClient:
    def __init__(self, *, mediator_address: str, meter_id: Any) -> None:
        pass

    def prepay_enabled_write(self, value: bool) -> None:
        pass


class Inventory:
    def mediator_address(self, meter_id: Any, serial: Any) -> str:
        return "http://127.0.0.1:1"


class Query:
    def __init__(self, rows: list[dict[str, Any]]) -> None:
        self.data = rows

    def table(self, name: str) -> "Query":
        return self

    def select(self, columns: str) -> "Query":
        return self

    def in_(self, column: str, values: list[str]) -> "Query":
        return self

    def neq(self, column: str, value: Any) -> "Query":
        return self

    def execute(self) -> "Query":
        return self


def rows(count: int) -> list[dict[str, Any]]:
    return [
        {"id": i, "name": f"M{i:06d}", "meter_id": f"MTR-{i:06d}", "serial": f"SN{i:08d}", "prepay_enabled": True}
        for i in range(count)
    ]


def load_job(registry_rows: list[dict[str, Any]]) -> types.ModuleType:
    """A fresh job module wired to the null collaborators."""

    def fake(name: str, **attrs: Any) -> None:
        module = types.ModuleType(name)
        module.__dict__.update(attrs)
        sys.modules[name] = module

    class MediatorClientException(Exception):
        pass

    fake("vaxo_ortane.orchestrate.adapter.factory", get_instance=lambda esco=None: Inventory())
    fake("vaxo_ortane.util.logging", get_logger=lambda name, file: NullLogger())
    fake("vaxo_ortane.util.supabase", supa_client=lambda *a: Query(registry_rows), Client=object)
    fake("vaxo_ortane.mediator.client", OrtaneMediatorClient=NullMediatorClient)
    fake("vaxo_ortane.mediator.mediator_client_exception", MediatorClientException=MediatorClientException)
    os.environ.update(
        PREPAY_DISABLED_METER_NAMES="M000001",
        SUPABASE_URL="sqlite:///unused",
        SUPABASE_ANON_KEY="anon",
        TRAMU_ROLE_KEY="role",
    )
    spec = importlib.util.find_spec(JOB)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
