# The compiled module as type checkers see it. Its annotations are text at run
# time ("Dict[str, Any]", "SupabaseClient"); here they are the types they name.
# `make check` holds this file against the built module with mypy's stubtest.

import argparse as argparse
import concurrent as concurrent
import os as os
import sys as sys
import traceback as traceback
from typing import Any as Any
from typing import Dict as Dict  # noqa: UP035 - the module binds typing's own

from vaxo_ortane.mediator.client import OrtaneMediatorClient as OrtaneMediatorClient
from vaxo_ortane.mediator.mediator_client_exception import MediatorClientException as MediatorClientException
from vaxo_ortane.orchestrate.adapter.engine import EngineInventory
from vaxo_ortane.orchestrate.adapter.factory import get_instance as get_instance
from vaxo_ortane.orchestrate.adapter.inventory import MediatorInventory
from vaxo_ortane.util.logging import get_logger as get_logger
from vaxo_ortane.util.supabase import Client as SupabaseClient
from vaxo_ortane.util.supabase import supa_client as supa_client

# A structlog bound logger, made by get_logger.
logger: Any
# The environment at import; None where a variable is not set.
supabase_url: str | None
supabase_key: str | None
tramu_role_key: str | None
meter_names_str: str
meter_names: list[str]
meter_names_len: int

class PrepayEnabledFlipJob:
    # Set by __init__.
    meter: dict[str, Any]
    mediator_address: str
    supabase: SupabaseClient
    ortane_client: OrtaneMediatorClient
    log: Any

    # `meter` must be exactly a dict and `mediator_address` exactly a str.
    def __init__(self, *, meter: dict[str, Any], mediator_address: str, supabase: SupabaseClient) -> None: ...
    def update(self) -> bool: ...

class PrepayEnabledFlipAllJob:
    # Set by __init__.
    log: Any
    esco: str | None
    containers: MediatorInventory | EngineInventory
    tramu_supabase: SupabaseClient

    def __init__(self, esco: str | None = None) -> None: ...
    def run_job(self, meter_row: dict[str, Any]) -> bool: ...
    def run(self) -> None: ...
    def _check_environment(self) -> None: ...
