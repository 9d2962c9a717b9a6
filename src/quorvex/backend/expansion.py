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

# What each path keeps for a gate it expands, measured at 2**20 gates of a
# shared block, with about half again as a margin: an expansion counted at
# the store's 32 bytes would pass where the path itself cannot fit.
# A QuantumGate record kept in a Python list, with what is made of it: a line
# of OpenQASM text (~240 B), the next level of a decomposition (~340 B), the
# compiler's gate lists (~270 B; ~440 B a gate at the peak of an unrolling),
# a record read from a packed view and kept in a tuple.
PYTHON_GATE_BYTES = 512
# A gate tuple, its record and its prepared PyTorch operation (~1.15 KB).
TORCH_GATE_BYTES = 2048

# An expansion this small is not worth a look at the memory left.
_ALWAYS_FITS = 1 << 20


def check_expansion(what, gates, bytes_per_gate=GATE_RECORD_BYTES):
    """Refuse with MemoryError, before anything is allocated, an expansion of
    ``gates`` gates at ``bytes_per_gate`` each that would not fit in memory.

    ``what`` names the expansion in the message ("Expanding gate G").
    """
    gates = int(gates)
    needed = gates * int(bytes_per_gate)
    if needed <= _ALWAYS_FITS:
        return
    usable = available_memory()
    if usable is not None and needed > usable:
        raise MemoryError(what + " would make " + _decimal(gates, " or more") + (" gate" if gates == 1 else " gates")
                          + ", at least "
                          + _decimal(needed) + " bytes, more than the " + str(usable)
                          + " bytes this process can still allocate.")


def _decimal(number, inexact=""):
    """``number`` in decimal or, past the digits str() writes, the power of two at or below it and ``inexact``.

    An expansion that doubles at each level (a block shared twice a level,
    OpenQASM gates that call the one below twice) passes that many digits
    beyond about 14,000 levels.
    """
    try:
        return str(number)
    except ValueError:
        return "2**" + str(number.bit_length() - 1) + inexact
