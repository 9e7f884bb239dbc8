"""Every variable the launcher reads, named in ``variables`` and read once, before any
write, into a frozen ``Settings`` (``environment``): ``<VAR>_FILE`` values, the shard's
names, counts and shares, the report's path, the Pushgateway address.

May import: run.
"""
