"""Every write once, and every accepted write confirmed: the idempotency key of each
write and the requests an earlier run of the rollout left pending (``keys``), and the
threads that confirm accepted writes beside the job's workers (``confirmer``), both
put in the mediator client's hooks for the run (``hooks``).

May import: run.
"""
