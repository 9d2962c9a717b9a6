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


# Version 1 writes "no limit" as the largest page-aligned 64-bit count.
_NO_LIMIT = 1 << 62


def _stat_fields(path):
    """The "name value" lines of a control group's memory.stat, as a dict of ints."""
    fields = {}
    try:
        with open(path, encoding="ascii") as handle:
            for line in handle:
                name, _, value = line.partition(" ")
                fields[name] = int(value)
    except (OSError, ValueError):
        pass
    return fields


def _group_room(limit, used, stat, reclaimable_field):
    """limit - used + reclaimable, or None where there is no limit or a figure is missing."""
    if limit is None or used is None or limit >= _NO_LIMIT:
        return None
    # Inactive file pages are reclaimed before the group runs out.
    return max(limit - used + stat.get(reclaimable_field, 0), 0)


def _version_1_group(root, controllers, path):
    """The directory of a version-1 memory group: under its controller's mount, else the mount
    itself (a container that shows the host's path but mounts only its own group)."""
    for mount in (root + "/memory", root + "/" + controllers):
        for group in (mount + path.rstrip("/"), mount):
            if os.path.isfile(group + "/memory.limit_in_bytes"):
                return group
    return None


def _control_group_room(cgroup_file="/proc/self/cgroup", root="/sys/fs/cgroup"):
    """What the process's control group leaves (version 2, or version 1's memory controller), or None."""
    try:
        with open(cgroup_file, encoding="ascii") as handle:
            entries = [line.rstrip("\n").split(":", 2) for line in handle]
    except OSError:
        return None
    rooms = []
    for entry in entries:
        if len(entry) != 3:
            continue
        hierarchy, controllers, path = entry
        if hierarchy == "0" and not controllers:
            group = root + path.rstrip("/")
            stat = _stat_fields(group + "/memory.stat")
            # "max" (no limit) reads as None
            room = _group_room(_read_int(group + "/memory.max"), _read_int(group + "/memory.current"), stat,
                               "inactive_file")
        elif "memory" in controllers.split(","):
            group = _version_1_group(root, controllers, path)
            if group is None:
                continue
            stat = _stat_fields(group + "/memory.stat")
            # The tightest limit of the group and its ancestors, where the kernel says it.
            limits = [value for value in (_read_int(group + "/memory.limit_in_bytes"),
                                          stat.get("hierarchical_memory_limit")) if value is not None]
            limit = min(limits) if limits else None
            room = _group_room(limit, _read_int(group + "/memory.usage_in_bytes"), stat, "total_inactive_file")
        else:
            continue
        if room is not None:
            rooms.append(room)
    return min(rooms) if rooms else None


# Address space a run takes besides what its estimate counts: the stacks of
# threads started on the first parallel gate or BLAS call, libraries loaded
# late, the BLAS buffers. Where an address-space or data limit binds, running
# into it there aborts the process (OpenBLAS and the OpenMP runtime cannot
# raise MemoryError), so so much is kept back from the room the limit leaves.
# Measured: a solver's address space grows by 50-90 MiB more than its
# resident memory; a larger reserve refused runs that fit.
_LIMIT_RESERVE = 160 << 20


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
