"""Shared by the interrupt tests: real signals delivered in the middle of a native call."""
import contextlib
import signal

import numpy as np


@contextlib.contextmanager
def alarm(seconds, handler, every=0.0):
    """Deliver SIGALRM to handler after seconds (and then every `every` seconds).
    A real signal, because a Python timer thread cannot run while a native
    call holds the interpreter."""
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds, every)
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def rx_turns(state):
    """How far rx rotations on qubit 0 have turned a state that began as |0...0>."""
    return 2 * float(np.arctan2(-state[1].imag, state[0].real))
