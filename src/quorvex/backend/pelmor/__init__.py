"""Native simulation back end: the extension module ``strovane``."""

import os

from ... import _openmp


def _explain_missing_core():
    # Python reports a missing extension here as "cannot import name 'strovane'
    # from partially initialized module", which says nothing of the cause:
    # name the package that was found and the way out. A strovane that is
    # there but fails to load raises its own, telling error, kept as it is.
    from importlib.util import find_spec
    if find_spec(__name__ + ".strovane") is not None:
        return
    package = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    if os.path.isdir(os.path.join(package, "native")):
        # Only the source tree holds the C++ sources; no build installs them.
        reason = (f"the package found is the uncompiled source tree at {package}. Build it: in the checkout,"
                  " `bash dev.sh python SCRIPT` runs a script with the built package; or, with quorvex"
                  " installed (`pip install .`), run Python outside the checkout's src directory and"
                  " without it on PYTHONPATH")
    else:
        reason = (f"the installed package at {package} lacks it. Reinstall quorvex (`pip install .` in"
                  " its checkout)")
    raise ImportError("quorvex's compiled core `strovane` cannot be imported: " + reason + ".",
                      name=__name__ + ".strovane") from None


def _load_native():
    # The OpenMP runtime reads its wait settings once, when it is loaded.
    # Sleeping at once would cost a wake-up per gate, spinning for
    # milliseconds steals the cores that the next gate needs when other work
    # shares them: a bounded spin keeps both. strovane runs on its own copy
    # of the runtime, loaded with it here and by nothing else, so the copy
    # always starts with the bounded spin, unless the user set a policy or a
    # spin count, which is left alone.
    with _openmp.bounded_spin():
        try:
            from . import strovane
        except ImportError:
            _explain_missing_core()
            raise
    return strovane


strovane = _load_native()
del _load_native, _explain_missing_core

__all__ = ["strovane"]
