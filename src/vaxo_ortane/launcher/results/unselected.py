"""Listed names that selected no meter: misspelt, already off, or with a NULL setting.

The job's query keeps only the rows it selects, so such a name leaves no trace in
its records. After the run the launcher asks the registry once more, through the
same read-only client and for those names only, and writes one warning record
that counts them by kind with the first few of each; the report lists them all.
A run whose every name selected a meter asks nothing more.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence

from vaxo_ortane.launcher.run.messages import REGISTRY_TABLE
from vaxo_ortane.launcher.run.shards import split_names
from vaxo_ortane.launcher.settings import variables
from vaxo_ortane.util.supabase.query import Row

# The plan's names for the same kinds.
KINDS = {"not_found": "not in the registry", "already_off": "already off", "unknown": "with a NULL setting"}
SHOWN = 5


def kinds_of(names: Sequence[str], rows: Sequence[Row]) -> dict[str, list[str]]:
    """Each of ``names`` (which selected nothing) by kind, given the registry's rows for them."""
    settings_by_name: dict[object, set[object]] = {}
    for row in rows:
        settings_by_name.setdefault(row.get("name"), set()).add(row.get("prepay_enabled"))
    kinds: dict[str, list[str]] = {kind: [] for kind in KINDS}
    for name in names:
        found = settings_by_name.get(name)
        kind = "not_found" if found is None else "unknown" if None in found else "already_off"
        kinds[kind].append(name)
    return kinds


def look_up(
    environ: Mapping[str, str], selected: Sequence[Row], record: Callable[..., None]
) -> dict[str, list[str]] | None:
    """The listed names of this run that selected no meter, by kind; None when they cannot be told.

    Never raises: what it cannot learn is logged and the run's status stays as it was.
    """
    listed = list(dict.fromkeys(split_names(environ.get(variables.NAMES, ""))))
    chosen = {name for row in selected if isinstance(name := row.get("name"), str)}
    names = [name for name in listed if name not in chosen]
    if not names:
        return {kind: [] for kind in KINDS}
    from vaxo_ortane.util.supabase import RegistryError, supa_client

    try:
        client = supa_client(*(environ.get(v, "") for v in variables.KEY_VARIABLES))
        try:
            rows = client.table(REGISTRY_TABLE).select("name", "prepay_enabled").in_("name", names).execute().data
        finally:
            client.close()
    except Exception as exc:
        # A registry error never carries a key; another exception's text might.
        why = str(exc) if isinstance(exc, RegistryError) else type(exc).__name__
        record("warning", f"{len(names)} of {len(listed)} listed names selected no meter; the registry: {why}")
        return None
    kinds = kinds_of(names, rows)
    said = ", ".join(
        f"{len(found)} {KINDS[kind]} ({', '.join(found[:SHOWN])}{', ...' if len(found) > SHOWN else ''})"
        for kind, found in kinds.items()
        if found
    )
    record(
        "warning",
        f"{len(names)} of {len(listed)} listed names selected no meter: {said}",
        unselected=len(names),
        counts={kind: len(found) for kind, found in kinds.items()},
        names={kind: found[:SHOWN] for kind, found in kinds.items()},
    )
    return kinds
