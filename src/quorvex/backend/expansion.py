"""How large an expansion of gates may grow: the memory this process can still allocate.

A few records can describe very many gates (a block shared by reference at
every level, OpenQASM gates that call each other twice, a decomposition of
such blocks). Whatever expands them counts the gates first and asks here,
so that an expansion that cannot fit is refused at once with MemoryError,
instead of running until the machine's memory is used up.
"""
from .._memory import available_memory

# What a gate costs at the least wherever gates are expanded: one record of
# the native store.
GATE_RECORD_BYTES = 32

# An expansion this small is not worth a look at the memory left.
_ALWAYS_FITS = 1 << 20


def check_expansion(what, gates, bytes_per_gate=GATE_RECORD_BYTES):
    """Refuse with MemoryError, before anything is allocated, an expansion of
    ``gates`` gates at ``bytes_per_gate`` each that would not fit in memory.

    ``what`` names the expansion in the message ("Expanding gate G").
    """
    needed = int(gates) * int(bytes_per_gate)
    if needed <= _ALWAYS_FITS:
        return
    usable = available_memory()
    if usable is not None and needed > usable:
        raise MemoryError(what + " would make " + str(int(gates)) + " gates, at least " + str(needed)
                          + " bytes, more than the " + str(usable) + " bytes this process can still allocate.")
