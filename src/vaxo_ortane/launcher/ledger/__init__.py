"""The run ledger: its tables (``schema``), the store and its SQLite and PostgreSQL
backends, the one thread that writes to it, the wait for a ledger out of reach, the
resume of a rollout, and the ``prepay-enabled-flip-ledger`` command that reads it.

May import: run, settings.
"""
