"""Before a run: ``prepay-enabled-flip-plan`` (what a run would do to each name, and why)
and ``prepay-enabled-flip-shard`` (which shard each name falls in).

May import: run, settings, ledger, rollout, results, watching.
"""
