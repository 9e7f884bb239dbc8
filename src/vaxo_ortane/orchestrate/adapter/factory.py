"""The container adapter factory the jobs call: ``get_instance(esco=None)``.

``MEDIATOR_INVENTORY`` says where the mediators are: the path of an inventory
TOML file (see ``inventory``), or ``docker:`` for the container engine that
``DOCKER_HOST`` names, or ``docker:`` followed by the engine's address, such as
``docker:unix:///run/podman/podman.sock`` (see ``engine``).
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING

from .inventory import InventoryError, MediatorInventory, load_entries

if TYPE_CHECKING:
    from .engine import EngineInventory

__all__ = ["InventoryError", "MediatorInventory", "get_instance"]

ENGINE_PREFIX = "docker:"


def inventory_setting(environ: Mapping[str, str] | None = None) -> str:
    env = os.environ if environ is None else environ
    raw = env.get("MEDIATOR_INVENTORY", "").strip()
    if not raw:
        raise InventoryError(
            "MEDIATOR_INVENTORY is not set; point it at the mediator inventory TOML file "
            "or at a container engine (docker:)"
        )
    return raw


def get_instance(esco: str | None = None) -> MediatorInventory | EngineInventory:
    """The mediator inventory for ``esco``, or for every ESCO when it is None.

    From a file, the whole file is checked, not only the ESCO's entries: a
    malformed file is reported whichever ESCO a run asks for. From an engine,
    an engine that cannot be reached stops the run here.
    """
    setting = inventory_setting()
    if setting.startswith(ENGINE_PREFIX):
        # The Docker SDK (and requests) load only for runs that use an engine:
        # they would double a file-based run's start-up.
        from .engine import engine_inventory

        return engine_inventory(setting, esco)
    path = Path(setting)
    return MediatorInventory(path, load_entries(path), esco)
