"""The container adapter factory the jobs call: ``get_instance(esco=None)``.

``MEDIATOR_INVENTORY`` names the inventory TOML file (see ``inventory``).
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from pathlib import Path

from .inventory import InventoryError, MediatorInventory, load_entries

__all__ = ["InventoryError", "MediatorInventory", "get_instance"]


def inventory_path(environ: Mapping[str, str] | None = None) -> Path:
    env = os.environ if environ is None else environ
    raw = env.get("MEDIATOR_INVENTORY", "").strip()
    if not raw:
        raise InventoryError(
            "MEDIATOR_INVENTORY is not set; point it at the mediator inventory TOML file"
        )
    return Path(raw)


def get_instance(esco: str | None = None) -> MediatorInventory:
    """The mediator inventory for ``esco``, or for every ESCO when it is None.

    The whole file is checked, not only the ESCO's entries: a malformed file is
    reported whichever ESCO a run asks for.
    """
    path = inventory_path()
    return MediatorInventory(path, load_entries(path), esco)
