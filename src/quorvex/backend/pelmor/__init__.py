"""Native simulation back end: the extension module ``strovane``."""

import os


def _load_native():
    # The OpenMP runtime reads its wait policy once, when it is loaded with
    # the module. Its default lets idle workers spin for milliseconds after
    # every parallel gate, which on a machine shared with other work steals
    # the cores the next gate needs; passive workers sleep at once. A policy
    # or spin count the user set is left alone, and the variable is removed
    # again afterwards so that nothing else started from this process
    # inherits it. A runtime that some other library loaded before this
    # import keeps the policy it started with.
    chosen = "OMP_WAIT_POLICY" in os.environ or "GOMP_SPINCOUNT" in os.environ
    if not chosen:
        os.environ["OMP_WAIT_POLICY"] = "PASSIVE"
    try:
        from . import strovane
    finally:
        if not chosen:
            os.environ.pop("OMP_WAIT_POLICY", None)
    return strovane


strovane = _load_native()
del _load_native

__all__ = ["strovane"]
