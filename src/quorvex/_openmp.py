"""The wait settings of the OpenMP runtimes in a quorvex process.

The runtime (GNU OpenMP) reads its wait settings once, when it is loaded.
quorvex's native modules run on their own copy of it, ``libquorvex-gomp.so.1``
beside ``strovane``, with its symbols renamed so that no other copy in the
process can serve them: it is loaded with ``strovane`` and starts with the
bounded spin whatever was imported before quorvex (PyTorch included), unless
the user chose a policy or a spin count.

The process's shared copy, ``libgomp.so.1``, serves the libraries that use
OpenMP themselves. PyTorch brings one under that name and uses the copy
loaded first: ``import quorvex`` loads the shared copy with the bounded spin
too when nothing has loaded one yet, so that PyTorch imported after quorvex
(or through it) does not spin for milliseconds on the cores quorvex's gates
need. A copy loaded before quorvex keeps its own settings; quorvex's gates
do not run on it.
"""
import contextlib
import os
import sys

# Rounds an idle OpenMP worker spins (one pause instruction each, 25-45 ns on
# current x86 cores) before it sleeps: enough for the next gate of a circuit
# to find its team awake, and short enough that on cores shared with other
# work a waiting worker gives its core back after some fifty microseconds
# rather than the runtime's default of milliseconds. 300 rounds (8 us with a
# 26 ns pause) let the workers fall asleep between the gates of states of
# 2**15 to 2**18 amplitudes, each gate then waking them at 10 to 20 times a
# serial gate's cost; from 1,000 to 2,000 rounds they stay awake.
SPIN_ROUNDS = "2000"

# The copy the native modules run on (the build names it so), and the
# prefix its symbols carry there.
RUNTIME_COPY = "libquorvex-gomp.so.1"
SYMBOL_PREFIX = "quorvex_"

_SHARED_RUNTIME = "libgomp.so.1"
_CHOICES = ("OMP_WAIT_POLICY", "GOMP_SPINCOUNT")

# The shared runtime loaded here, held for the life of the process.
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
    """Load the process's shared runtime with the bounded spin, unless it is loaded already."""
    global _runtime
    if user_chose() or not sys.platform.startswith("linux"):
        return
    import ctypes
    try:
        # Finds a copy of any path under that name, PyTorch's included.
        ctypes.CDLL(_SHARED_RUNTIME, mode=os.RTLD_NOLOAD)
    except OSError:
        pass
    else:
        return
    with bounded_spin():
        try:
            _runtime = ctypes.CDLL(_SHARED_RUNTIME)
        except OSError:
            # None installed: the libraries that would use it bring their own.
            pass
