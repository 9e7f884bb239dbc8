"""Run the compiled prepay-enabled flip as the program's main module.

``python -m`` cannot do this: runpy only runs modules with Python source or byte code.
"""

import importlib.util
import sys

JOB_MODULE = "vaxo_ortane.jobs.prepay_enabled_flip"


def run_main() -> None:
    """Execute a fresh copy of the job module as ``__main__``.

    The module reads its command line from ``sys.argv`` and ends the process through
    ``SystemExit`` when a precondition fails; both reach the caller unchanged.
    """
    spec = importlib.util.find_spec(JOB_MODULE)
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot find the module {JOB_MODULE}", name=JOB_MODULE)
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    sys.modules["__main__"] = module
    spec.loader.exec_module(module)


def main() -> int:
    run_main()
    return 0
