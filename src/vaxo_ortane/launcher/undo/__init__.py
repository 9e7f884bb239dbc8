"""Undoing a rollout: ``prepay-enabled-flip-undo --rollout R`` puts back on every meter that
rollout R switched off and that was on before it (``runner``), as a rollout of its own in
the same ledger; ``--plan`` shows what it would do (``plan``); its command line and
settings (``command``).

May import: run, settings, ledger, confirming, rollout, results, watching, planning.
"""
