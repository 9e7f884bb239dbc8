"""What a run leaves behind: the JSON report and its rerun list, the metrics pushed to
a Pushgateway, and the listed names that selected no meter.

May import: run, settings, ledger, rollout.
"""
