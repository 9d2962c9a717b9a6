"""Refusing work that cannot fit in memory before any of it is allocated.

Dense operators grow as 4**nx and circuits as 2**na per step: past the
machine's memory such a request would not fail cleanly, it would be ended by
the operating system's out-of-memory killer midway.
"""
import os


def physical_memory():
    """The machine's physical memory in bytes, or None where it cannot be read."""
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, OSError, ValueError):
        return None


def require_memory(nbytes, what):
    """Raise MemoryError when ``nbytes`` exceed the machine's physical memory.

    ``what`` names the data in the message, e.g. "the dense finite-difference
    matrices of nx = 15 (32768 x 32768)".
    """
    total = physical_memory()
    if total is not None and nbytes > total:
        raise MemoryError(f"{what} would need about {nbytes / 2 ** 30:.3g} GiB of memory; "
                          f"this machine has {total / 2 ** 30:.3g} GiB.")
