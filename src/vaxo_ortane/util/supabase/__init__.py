"""The meter registry client.

``supa_client(url, anon_key, role_key)`` chooses the backend from the URL:

- ``sqlite:///ABSOLUTE/PATH`` (or ``sqlite:////ABSOLUTE/PATH``) or ``sqlite:RELATIVE/PATH``: the embedded registry,
  an SQLite file opened read-only. The keys must be given but are not used.
- ``http://HOST`` or ``https://HOST``: a hosted PostgREST registry at
  ``URL/rest/v1``, sent ``apikey: <anon key>`` and ``Authorization: Bearer <role
  key>``.
- ``postgresql://...`` or ``postgres://...``: the registry's PostgreSQL database
  itself, through libpq; credentials come from the URL, libpq's environment or a
  password file. The keys must be given but are not sent.

All answer ``table(t).select(...).in_(...).neq(...).execute()`` with a response
whose ``data`` is a list of plain ``dict`` rows holding every match, ordered by
``id``. Filters follow SQL on all three: ``neq("prepay_enabled", False)`` does not
select a row whose ``prepay_enabled`` is NULL.
"""

from __future__ import annotations

import os

from .errors import RegistryError
from .query import Client, Query, Response

__all__ = ["Client", "Query", "RegistryError", "Response", "supa_client"]


# Schemes an operator may plausibly have meant; only these are named back.
# Anything else before a colon may be a misplaced key, and is not repeated.
KNOWN_SCHEMES = frozenset(
    {
        "file",
        "ftp",
        "ftps",
        "git",
        "http",
        "https",
        "jdbc",
        "ldap",
        "ldaps",
        "mariadb",
        "mongodb",
        "mongodb+srv",
        "mssql",
        "mysql",
        "oracle",
        "postgis",
        "redis",
        "rediss",
        "s3",
        "sftp",
        "sqlserver",
        "ssh",
        "ws",
        "wss",
    }
)


def _scheme(url: str) -> str:
    head, sep, _ = url.partition(":")
    return head.lower() if sep else ""


def supa_client(url: str, anon_key: str, role_key: str) -> Client:
    """A registry client for ``url``; see the module's description."""
    if not isinstance(url, str) or not url.strip():
        raise RegistryError("SUPABASE_URL is empty; set it to sqlite:///PATH, https://HOST or postgresql://HOST/DBNAME")
    url = url.strip()
    scheme = _scheme(url)
    if scheme == "sqlite":
        # Imported here: each backend loads only what it needs.
        from .embedded import SqliteRegistry, path_from_url
        from .settings import registry_timeout

        return Client(SqliteRegistry(path_from_url(url), registry_timeout(os.environ)))
    if scheme in ("http", "https"):
        from .hosted import HostedSettings, PostgrestRegistry

        return Client(PostgrestRegistry(url, anon_key, role_key, HostedSettings.from_env()))
    if scheme in ("postgresql", "postgres"):
        from .postgres import PostgresRegistry
        from .settings import registry_timeout

        return Client(PostgresRegistry(url, registry_timeout(os.environ)))
    said = f"has the scheme {scheme + ':'!r}" if scheme in KNOWN_SCHEMES else "does not start with a supported scheme"
    raise RegistryError(
        f"SUPABASE_URL {said}; use sqlite:///PATH for the embedded registry, "
        "http(s)://HOST for a hosted one or postgresql://HOST/DBNAME for its database"
    )
