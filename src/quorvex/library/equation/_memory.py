"""Refusing work that cannot fit in memory, or cannot finish, before any of it starts.

Dense operators grow as 4**nx, circuits as 2**na per step and the solvers'
circuits with their step counts: past the memory this process may still use
such a request would not fail cleanly, it would be ended by the operating
system's out-of-memory killer midway, or fail deep inside with a bare
MemoryError after minutes of work. A request whose estimated run time is
beyond `TIME_LIMIT` is refused as well: it would look like a hang.

`available_memory` is the one place that says how much memory the process may
still take: the machine's available memory (not its total), what the
process's control group leaves, and what its address-space (RLIMIT_AS) and
data (RLIMIT_DATA) limits leave. It imports nothing of the package, so the
circuit layer may use it as well as the library.
"""
import contextlib
import os

try:
    import resource
except ImportError:  # not on every platform
    resource = None

# Runs estimated to take longer are refused (seconds). The estimates come from
# per-gate and per-term costs measured on an idle 8-core machine.
TIME_LIMIT = 600.0


def physical_memory():
    """The machine's physical memory in bytes, or None where it cannot be read."""
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, OSError, ValueError):
        return None


def _kib_field(path, field):
    """Field ``field`` (in kB) of a /proc file such as /proc/meminfo, in bytes."""
    try:
        with open(path, encoding="ascii") as handle:
            for line in handle:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _read_int(path):
    try:
        with open(path, encoding="ascii") as handle:
            return int(handle.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def _control_group_room():
    """What the process's (version 2) control group leaves, or None."""
    try:
        with open("/proc/self/cgroup", encoding="ascii") as handle:
            paths = [line.strip().split(":", 2)[2] for line in handle if line.startswith("0::")]
    except (OSError, IndexError):
        return None
    if not paths:
        return None
    group = "/sys/fs/cgroup" + paths[0].rstrip("/")
    limit = _read_int(group + "/memory.max")  # "max" (no limit) reads as None
    used = _read_int(group + "/memory.current")
    if limit is None or used is None:
        return None
    # Inactive file pages are reclaimed before the group runs out.
    reclaimable = 0
    try:
        with open(group + "/memory.stat", encoding="ascii") as handle:
            for line in handle:
                if line.startswith("inactive_file "):
                    reclaimable = int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return max(limit - used + reclaimable, 0)


def _limit_room(which, status_field):
    """What the soft resource limit ``which`` leaves beyond the process's current use, or None."""
    if resource is None:
        return None
    try:
        soft, _ = resource.getrlimit(which)
    except (OSError, ValueError):
        return None
    if soft == resource.RLIM_INFINITY or soft < 0:
        return None
    used = _kib_field("/proc/self/status", status_field) or 0
    return max(soft - used, 0)


def memory_bounds():
    """[(bytes, what bounds it)] for every bound on further allocation that can be read."""
    bounds = []
    available = _kib_field("/proc/meminfo", "MemAvailable")
    if available is not None:
        bounds.append((available, "the memory available on this machine"))
    else:
        total = physical_memory()
        if total is not None:
            bounds.append((total, "this machine's physical memory"))
    room = _control_group_room()
    if room is not None:
        bounds.append((room, "what its control group's memory limit leaves"))
    if resource is not None:
        room = _limit_room(resource.RLIMIT_AS, "VmSize")
        if room is not None:
            bounds.append((room, "what its address-space limit (RLIMIT_AS) leaves"))
        room = _limit_room(resource.RLIMIT_DATA, "VmData") if hasattr(resource, "RLIMIT_DATA") else None
        if room is not None:
            bounds.append((room, "what its data limit (RLIMIT_DATA) leaves"))
    return bounds


def available_memory():
    """Bytes this process may still allocate (the tightest of `memory_bounds`), or None."""
    bounds = memory_bounds()
    return min(bounds)[0] if bounds else None


def gib(nbytes):
    return f"{nbytes / 2 ** 30:.3g} GiB"


def duration(seconds):
    """``seconds`` in the largest unit that keeps it readable ("40 s", "12 min", "3.5 h")."""
    for unit, size in (("years", 365.25 * 86400), ("days", 86400), ("h", 3600), ("min", 60)):
        if seconds >= 2 * size:
            return f"{seconds / size:.3g} {unit}"
    return f"{seconds:.3g} s"


def _hinted(message, hint):
    return message + " " + hint if hint else message


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
        raise MemoryError(_hinted(f"{what} would need about {gib(nbytes)} of memory; this process may use "
                                  f"about {gib(room)} ({bound}).", hint))


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
    """Give a MemoryError that says nothing (or only "std::bad_alloc") a message naming ``what``.

    The estimates refuse what cannot fit before it starts; memory that other
    processes take meanwhile can still run out.
    """
    try:
        yield
    except MemoryError as error:
        if str(error) not in ("", "std::bad_alloc"):
            raise
        room = available_memory()
        left = "" if room is None else f" (about {gib(room)} is left)"
        raise MemoryError(f"{what} ran out of memory{left}; no result is returned.") from error
