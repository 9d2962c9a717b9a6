"""The native module under hostile or extreme input: Python code that runs in
the middle of a call, unaligned buffers, integer extremes, interrupts,
reference cycles and degenerate repeat views.

Some of these faults (misaligned reads, signed overflow) give the right
answer on this processor in an ordinary build; the sanitizer run
(quorvex/native/store/tests/sanitize.sh) is what catches them there.
"""
import warnings

import numpy as np
import pytest

from quorvex.backend.pelmor import strovane

from packed_fields import f, store_of


def unaligned(values, dtype):
    """A writable C-contiguous copy of values one byte off its natural alignment."""
    itemsize = np.dtype(dtype).itemsize
    raw = np.zeros(len(values) * itemsize + 1, np.uint8)[1:]
    out = raw.view(dtype)
    out[:] = values
    assert not out.flags.aligned and out.flags.c_contiguous and out.flags.writeable
    return out


# ------------------------------------------- state edited by matrix conversion

def _shrink(st):
    st.resize(2, refcheck=False)


def _freeze(st):
    st.flags.writeable = False


def _retype(st):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        st.dtype = np.dtype((np.void, st.itemsize))  # the length stays


class Meddler:
    """A matrix entry whose conversion to complex edits the state."""

    def __init__(self, st, edit):
        self.st, self.edit = st, edit

    def __complex__(self):
        self.edit(self.st)
        return 1 + 0j


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("edit, message", [
    (_shrink, "state size must be equal to 2**n"),
    (_freeze, "state must be writable"),
    (_retype, "unsupported state dtype: expected np.complex64 or np.complex128"),
])
def test_unitary_rechecks_state_after_matrix_conversion(dtype, edit, message):
    st = np.arange(1 << 10).astype(dtype)
    matrix = np.array([[Meddler(st, edit), 0], [0, 1]], dtype=object)
    with pytest.raises(RuntimeError) as info:
        strovane.unitary_little(10, st, [], [], [3], matrix)
    assert str(info.value) == message


# ------------------------------------------------------- integer extremes

BIG = 2**63 - 1


@pytest.mark.parametrize("qubit, count", [(-2, BIG), (-(2**31), BIG), (-1, BIG - 1), (5, 3)])
def test_reverse_qubits_out_of_range_qubit_without_overflow(qubit, count):
    s = store_of(f("x", (qubit,)))
    with pytest.raises(IndexError, match=f"^qubit {qubit} is out of range for {count} qubits$"):
        s.reverse_qubits(count)
    assert len(s) == 1 and s.version == 1
