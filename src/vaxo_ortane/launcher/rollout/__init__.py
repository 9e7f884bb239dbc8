"""The controls that pace and stop a rollout: the write-rate budget (one a process, or one
in the ledger for the whole rollout), the canary wave,
the failure threshold, their hooks in the mediator client, and what they make of a plan.

May import: run, settings, ledger.
"""
