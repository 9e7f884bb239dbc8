"""The operator layer around the compiled job: ``prepay-enabled-flip`` and its tools.

The path of a run, one module a step::

    settings      the environment read once: <VAR>_FILE values, the shard's names,
                  threshold, report, metrics and progress settings (file_values, shards, threshold)
    resume        with FLIP_LEDGER: the run and its names recorded, the names already
                  switched off left out (ledger, ledger_writer)
    run_state     the outcomes watched, when a setting needs them (outcomes), and the
                  rollout controls put in place (rollout: rate_budget, canary)
    launch        the job module run as __main__, signals as stop requests (signals)
    outcomes      each meter's outcome, learnt from the job's records (messages)
    report        the JSON report and rerun list, then the metrics (metrics)
    progress      how far the run has got, as records and, on a terminal, a live line (display)
    summary       the closing summary: a record, or tables on a terminal (tables)

``statuses`` holds every exit status, ``records`` the launcher's own records.
``plan`` and ``shard_lookup`` are the ``prepay-enabled-flip-plan`` and
``prepay-enabled-flip-shard`` commands, on the same settings and shards;
``ledger_tool`` is ``prepay-enabled-flip-ledger``, which reads a rollout's ledger.
"""
