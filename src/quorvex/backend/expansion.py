"""How large an expansion of gates may grow: the memory this process can still allocate.

A few records can describe very many gates (a block shared by reference at
every level, OpenQASM gates that call each other twice, a decomposition of
such blocks). Whatever expands them counts the gates first and asks here,
so that an expansion that cannot fit is refused at once with MemoryError,
instead of running until the machine's memory is used up.
"""
import os

try:
    import resource
except ImportError:  # not a POSIX system: no address-space limit to read
    resource = None

# What a gate costs at the least wherever gates are expanded: one record of
# the native store.
GATE_RECORD_BYTES = 32

# An expansion this small is not worth a look at the memory left.
_ALWAYS_FITS = 1 << 20


def _available_memory():
    """Memory the system can give without swapping, or None when unknown."""
    try:
        with open("/proc/meminfo", "rb") as info:
            for line in info:
                if line.startswith(b"MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return None


def _address_space_left():
    """What RLIMIT_AS leaves of this process's address space, or None without a limit."""
    if resource is None:
        return None
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    if soft == resource.RLIM_INFINITY:
        return None
    try:
        with open("/proc/self/statm", "rb") as statm:
            used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        used = 0
    return max(soft - used, 0)


def usable_memory():
    """Bytes this process can still allocate: the smaller of the system's
    available memory and what RLIMIT_AS leaves; None when neither is known."""
    known = [value for value in (_available_memory(), _address_space_left()) if value is not None]
    return min(known) if known else None


def check_expansion(what, gates, bytes_per_gate=GATE_RECORD_BYTES):
    """Refuse with MemoryError, before anything is allocated, an expansion of
    ``gates`` gates at ``bytes_per_gate`` each that would not fit in memory.

    ``what`` names the expansion in the message ("Expanding gate G").
    """
    needed = int(gates) * int(bytes_per_gate)
    if needed <= _ALWAYS_FITS:
        return
    usable = usable_memory()
    if usable is not None and needed > usable:
        raise MemoryError(what + " would make " + str(int(gates)) + " gates, at least " + str(needed)
                          + " bytes, more than the " + str(usable) + " bytes this process can still allocate.")
