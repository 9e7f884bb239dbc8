"""Every exit status that a command of this package ends with.

The job module ends with its own statuses (0, 1, 2, 3 and 10) from its compiled
code; they are named here too, for the launcher that reads them. Several causes
share a number: a bad ``<VAR>_FILE`` is 1 like a missing name list, a bad launcher
setting 2 like a bad command line.
"""

from __future__ import annotations

import signal

SUCCESS = 0
# The job's own, at import or set-up.
NAMES_NOT_SET = 1
REGISTRY_SETTINGS_NOT_SET = 2
ROLE_KEY_NOT_SET = 3
NO_METER_SELECTED = 10
# argparse's, for every command.
BAD_COMMAND_LINE = 2
# The launcher's.
UNUSABLE_FILE = 1
COLLABORATOR_FAILED = 1  # an exception left the run: the traceback names it
BAD_SETTING = 2
THRESHOLD_CROSSED = 11  # also a failed canary wave: the same stop, judged on the wave alone
# The run ended 0 but its ledger lacks some of its outcomes, or its ledger could not be
# reached for FLIP_LEDGER_WAIT (at the start, or while writes waited for it): a retry fills it in.
LEDGER_INCOMPLETE = 12
UNCONFIRMED = 13  # the run ended 0, but some meter's write was not confirmed
CREDENTIALS_REFUSED = 14  # the mediators refused the job's credentials again and again (the plan: any read)
SIGNAL_BASE = 128
# The plan's.
NEEDS_A_LOOK = 4
# The ledger tool's.
LEDGER_UNREADABLE = 1


# Why a run stopped itself when its ledger could not be written: its stop gives this reason.
LEDGER_STOP_REASON = "its ledger could not be written"


def stopped_as(reason: str | None) -> int:
    """The status of a run that stopped itself for ``reason``: the threshold's and the canary's 11,
    the ledger's 12."""
    return LEDGER_INCOMPLETE if reason == LEDGER_STOP_REASON else THRESHOLD_CROSSED


def stopped_by(signum: int) -> int:
    """The status of a run stopped by ``signum``: 143 for SIGTERM, 130 for SIGINT, 129 for SIGHUP."""
    return SIGNAL_BASE + signum


# What each status of each command means, as a closing summary says it.
MEANINGS: dict[str, dict[int, str]] = {
    "prepay-enabled-flip": {
        SUCCESS: "the run finished (failed meters have their records), or a shard had nothing to do",
        NAMES_NOT_SET: "PREPAY_DISABLED_METER_NAMES is not set or holds no name, a <VAR>_FILE cannot be used, "
        "or a collaborator could not start",
        BAD_SETTING: "a setting or the command line is wrong",
        ROLE_KEY_NOT_SET: "TRAMU_ROLE_KEY is not set",
        NO_METER_SELECTED: "the registry query selected no meter",
        THRESHOLD_CROSSED: "the failure threshold, or a failed canary wave, stopped the run",
        LEDGER_INCOMPLETE: "the run finished, but its ledger could not be written in full; or its ledger "
        "could not be reached within FLIP_LEDGER_WAIT, at the start or while writes waited for it",
        UNCONFIRMED: "the run finished, but some meters' writes were not confirmed (they are in the rerun list)",
        CREDENTIALS_REFUSED: "the mediators refused the job's credentials 5 times in a row: the run stopped",
        stopped_by(signal.SIGHUP): "stopped by SIGHUP: its terminal or SSH session closed",
        stopped_by(signal.SIGINT): "stopped by SIGINT",
        stopped_by(signal.SIGTERM): "stopped by SIGTERM",
    },
    "prepay-enabled-flip-plan": {
        SUCCESS: "every listed name would be switched off or is already off",
        UNUSABLE_FILE: "the settings, a file, the registry or the inventory cannot be used",
        BAD_SETTING: "a setting or the command line is wrong",
        ROLE_KEY_NOT_SET: "TRAMU_ROLE_KEY is not set",
        NEEDS_A_LOOK: "some name needs a look",
        CREDENTIALS_REFUSED: "a mediator refused the job's credentials to a read",
        stopped_by(signal.SIGINT): "interrupted by Ctrl-C (SIGINT)",
    },
    "prepay-enabled-flip-ledger": {
        SUCCESS: "the rollout was shown",
        LEDGER_UNREADABLE: "the ledger cannot be read, or holds no such rollout",
        BAD_SETTING: "FLIP_LEDGER is unset or wrong, or the command line is wrong",
    },
    "prepay-enabled-flip-shard": {
        SUCCESS: "every name's shard was printed",
        UNUSABLE_FILE: "the names file cannot be used",
        BAD_COMMAND_LINE: "the command line is wrong",
    },
    "prepay-enabled-flip-undo": {
        SUCCESS: "the undo finished (failed meters have their records), or had nothing left to put back; "
        "with --plan, no meter needs a look",
        COLLABORATOR_FAILED: "the ledger, the inventory or FLIP_LEDGER_FILE cannot be used",
        BAD_SETTING: "a setting or the command line is wrong, the ledger holds no such rollout, "
        "or a run of the rollout is live",
        NEEDS_A_LOOK: "with --plan: some meter needs a look",
        THRESHOLD_CROSSED: "the failure threshold, or a failed canary wave, stopped the undo",
        LEDGER_INCOMPLETE: "the undo finished, but its ledger could not be written in full; or its ledger "
        "could not be reached within FLIP_LEDGER_WAIT",
        UNCONFIRMED: "the undo finished, but some meters' writes were not confirmed",
        CREDENTIALS_REFUSED: "the mediators refused the job's credentials (5 times in a row, or to a read "
        "of --plan --read-mediators)",
        stopped_by(signal.SIGHUP): "stopped by SIGHUP: its terminal or SSH session closed",
        stopped_by(signal.SIGINT): "stopped by SIGINT",
        stopped_by(signal.SIGTERM): "stopped by SIGTERM",
    },
}
