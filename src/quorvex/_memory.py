"""How much memory this process may still take, from every bound that can be read.

The one place that says it: the machine's available memory (not its total),
what the process's control group leaves, and what its address-space
(RLIMIT_AS) and data (RLIMIT_DATA) limits leave. Whatever refuses work that
cannot fit asks here: the circuit layer's expansions of gates, the solvers and
the equation examples. It imports nothing of the package.
"""
import os

try:
    import resource
except ImportError:  # not on every platform
    resource = None


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


# Address space a run takes besides what its estimate counts: the stacks of
# threads started on the first parallel gate or BLAS call, libraries loaded
# late, the BLAS buffers. Where an address-space or data limit binds, running
# into it there aborts the process (OpenBLAS and the OpenMP runtime cannot
# raise MemoryError), so so much is kept back from the room the limit leaves.
_LIMIT_RESERVE = 256 << 20


def _limit_room(which, status_field):
    """What the soft resource limit ``which`` leaves beyond the process's current use and a
    reserve for what no estimate counts, or None."""
    if resource is None:
        return None
    try:
        soft, _ = resource.getrlimit(which)
    except (OSError, ValueError):
        return None
    if soft == resource.RLIM_INFINITY or soft < 0:
        return None
    used = _kib_field("/proc/self/status", status_field) or 0
    return max(soft - used - _LIMIT_RESERVE, 0)


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
