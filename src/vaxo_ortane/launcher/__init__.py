"""The operator layer around the compiled job: ``prepay-enabled-flip`` and its tools.

One subpackage a concern; each may import only those above it in this list (its
``__init__`` says which), and every one may use ``util``, ``mediator`` and ``orchestrate``::

    run/        the base: exit statuses, the launcher's records, the job's texts it matches,
                each meter's outcome, stop signals, shards
    settings/   every variable, named once and read once into a frozen Settings
    ledger/     the run ledger: tables, store, writer thread, resume, prepay-enabled-flip-ledger
    confirming/ each write's idempotency key, accepted writes confirmed beside the workers
    rollout/    the write-rate budget, the canary wave, the failure threshold, their plan
    results/    the report and its rerun list, the metrics, the names that selected nothing
    watching/   progress records, the live line, the closing summary, tables
    planning/   prepay-enabled-flip-plan and prepay-enabled-flip-shard

At the top, ``run_state`` puts the watching and the controls in place when the
settings ask for them, and ``launch`` is the run from its first signal to its
exit status (its docstring draws the whole path).
"""
