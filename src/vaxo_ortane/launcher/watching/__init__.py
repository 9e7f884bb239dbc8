"""Watching a run: progress records, the live line on a terminal, the closing summary,
and the tables a terminal shows.

May import: run, settings, ledger, rollout, results.
"""
