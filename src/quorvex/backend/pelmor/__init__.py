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
    # shares them: a bounded spin keeps both. ``import quorvex`` has loaded
    # the runtime with it already; where it could not, the module's own load
    # of the runtime takes it. A policy or spin count the user set is left
    # alone.
    with _openmp.bounded_spin():
        try:
            from . import strovane
        except ImportError:
            _explain_missing_core()
            raise
    _openmp.warn_if_foreign()
    return strovane


strovane = _load_native()
del _load_native, _explain_missing_core

__all__ = ["strovane"]
