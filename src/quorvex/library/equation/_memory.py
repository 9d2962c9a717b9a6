"""Refusing work that cannot fit in memory, or cannot finish, before any of it starts.

Dense operators grow as 4**nx, circuits as 2**na per step and the solvers'
circuits with their step counts: past the memory this process may still use
such a request would not fail cleanly, it would be ended by the operating
system's out-of-memory killer midway, or fail deep inside with a bare
MemoryError after minutes of work. A request whose estimated run time is
beyond `TIME_LIMIT` is refused as well: it would look like a hang.

How much memory the process may still take is `quorvex._memory`'s to say.
"""
import contextlib

from ..._memory import _kib_field, available_memory, gib, memory_bounds, physical_memory  # noqa: F401

# Runs estimated to take longer are refused (seconds). The estimates come from
# per-gate and per-term costs measured on an idle 8-core machine.
TIME_LIMIT = 600.0


def duration(seconds):
    """``seconds`` in the largest unit that keeps it readable ("40 s", "12 min", "3.5 h")."""
    for unit, size in (("years", 365.25 * 86400), ("days", 86400), ("h", 3600), ("min", 60)):
        if seconds >= 2 * size:
            return f"{seconds / size:.3g} {unit}"
    return f"{seconds:.3g} s"


def _hinted(message, hint):
    return message + " " + hint if hint else message


def _naming(error):
    """Mark ``error`` as one whose message already says what ran out or could not fit."""
    error.names_what_ran_out = True
    return error


def require_memory(nbytes, what, hint=""):
    """Raise MemoryError when ``nbytes`` exceed the memory this process may still use.

    ``what`` names the data in the message, e.g. "the dense finite-difference
    matrices of nx = 15 (32768 x 32768)"; ``hint``, a sentence, ends it.
    """
    bounds = memory_bounds()
    if not bounds:
        return
    room, bound = min(bounds)
    if not nbytes <= room:
        raise _naming(MemoryError(_hinted(f"{what} would need about {gib(nbytes)} of memory; this process may "
                                          f"use about {gib(room)} ({bound}).", hint)))


def require_time(seconds, what, hint=""):
    """Raise ValueError when an estimated run time exceeds `TIME_LIMIT`."""
    if not seconds <= TIME_LIMIT:
        raise ValueError(_hinted(f"{what} would take about {duration(seconds)}; runs estimated to take more "
                                 f"than {duration(TIME_LIMIT)} are refused.", hint))


def require_resources(nbytes, seconds, what, hint=""):
    """`require_memory`, then `require_time`, for one estimate of a run."""
    require_memory(nbytes, what, hint)
    require_time(seconds, what, hint)


@contextlib.contextmanager
def naming_memory_errors(what):
    """Give every MemoryError raised inside a message naming ``what``, with the original one's text.

    The estimates refuse what cannot fit before it starts; memory that other
    processes take meanwhile can still run out, anywhere: in a native store
    ("std::bad_alloc"), in NumPy ("Unable to allocate 1.00 GiB ..."), in the
    OpenQASM writer (no text at all). A refusal that already names what could
    not fit, or an error named by an inner block, passes unchanged.
    """
    try:
        yield
    except MemoryError as error:
        if getattr(error, "names_what_ran_out", False):
            raise
        room = available_memory()
        left = "" if room is None else f" (about {gib(room)} is left)"
        detail = str(error)
        cause = "" if detail in ("", "std::bad_alloc") else f": {detail.rstrip('.')}"
        raise _naming(MemoryError(f"{what} ran out of memory{left}{cause}; no result is returned.")) from error
