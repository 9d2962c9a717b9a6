"""The wait settings of the OpenMP runtime that quorvex's native back end runs on.

The runtime (GNU OpenMP, ``libgomp.so.1``) reads its wait settings once, when
it is loaded, and one copy serves the whole process: PyTorch ships its own
under the same name, and whichever copy is loaded first is the one every
library binds to, the back end included. So ``import quorvex``, which runs
before any of its modules can import PyTorch, loads the runtime at once with
the bounded spin. A runtime that someone else loaded before that keeps the
settings it started with; the back end says so when it first runs on it.
"""
import contextlib
import os
import sys
import warnings

# Rounds an idle OpenMP worker spins (one pause instruction each, about
# 40 ns on current x86 cores) before it sleeps: enough for the next gate of a
# circuit to find its team awake, since the master starts it within
# microseconds, and short enough that on cores shared with other work a
# waiting worker gives its core back after some ten microseconds rather than
# the runtime's default of milliseconds.
SPIN_ROUNDS = "300"

_RUNTIME = "libgomp.so.1"
_CHOICES = ("OMP_WAIT_POLICY", "GOMP_SPINCOUNT")

# True when a runtime was already loaded at ``import quorvex`` and the user
# had chosen no wait settings: it spins for milliseconds.
_foreign = False
# The runtime loaded here, held for the life of the process.
_runtime = None


def user_chose():
    """Whether the user set a wait policy or spin count, which is then left alone."""
    return any(name in os.environ for name in _CHOICES)


@contextlib.contextmanager
def bounded_spin():
    """The bounded spin in the environment while a runtime may be loaded, unless the user chose.

    The variable is removed again afterwards, so that nothing else started
    from this process inherits it.
    """
    if user_chose():
        yield
        return
    os.environ["GOMP_SPINCOUNT"] = SPIN_ROUNDS
    try:
        yield
    finally:
        os.environ.pop("GOMP_SPINCOUNT", None)


def start():
    """Load the runtime with the bounded spin, or note that another library loaded it first."""
    global _foreign, _runtime
    if user_chose() or not sys.platform.startswith("linux"):
        return
    import ctypes
    try:
        # Finds a copy of any path under that name, PyTorch's included.
        ctypes.CDLL(_RUNTIME, mode=os.RTLD_NOLOAD)
    except OSError:
        pass
    else:
        _foreign = True
        return
    with bounded_spin():
        try:
            _runtime = ctypes.CDLL(_RUNTIME)
        except OSError:
            # Not found by that name: the back end's own load sets the spin.
            pass


def warn_if_foreign():
    """Say once that the back end runs on a runtime started with the default wait."""
    global _foreign
    if not _foreign:
        return
    _foreign = False
    warnings.warn(
        "quorvex: the OpenMP runtime was loaded before quorvex (PyTorch loads its own when it is imported"
        " first) and keeps its default wait, under which parallel gates stall for milliseconds on cores that"
        " other processes use. Set GOMP_SPINCOUNT=" + SPIN_ROUNDS + " in the shell that starts Python, or"
        " import quorvex before torch.", RuntimeWarning, stacklevel=2)
