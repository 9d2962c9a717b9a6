"""The unitary memo of the circuit layer: the minimal platform layer.

`Circuit.unitary` checks and freezes a caller's matrix once per array
object: `_unitary_matrix` looks the array up in `_checked_unitaries` before
it copies and checks it. The inverse of each stored matrix that
`Circuit.dagger` makes is kept in `_inverted_unitaries`. Both are bounded
`_MatrixMemo`s that refer to their sources only weakly.
"""
import threading
import weakref
from collections import OrderedDict

import numpy as np

from ._arguments import _checked_unitary_copy


class _MatrixMemo:
    """Recently derived read-only matrices, keyed by the identity of the array they came from.

    Solvers hand the same few arrays to `unitary` thousands of times; a hit
    (the same live object with the same content, compared in O(N^2)) skips
    the copy and the O(N^3) unitarity check, and every gate then shares one
    frozen copy. An entry refers to its source only weakly, so it never keeps
    a caller's array (or the array a view looks into) alive; what it holds,
    the result and the snapshot, is what its size counts, bookkeeping
    included. Least recently used entries go first.
    """

    # Bytes of one entry besides its arrays' data: the array headers, the
    # weak reference, the tuple, the key and the ordered dict's node.
    _OVERHEAD = 512

    def __init__(self, budget_bytes, max_entries):
        self._budget = budget_bytes
        self._max_entries = max_entries
        self._entries = OrderedDict()
        self._bytes = 0
        self._lock = threading.Lock()

    def get(self, source):
        with self._lock:
            entry = self._entries.get(id(source))
            if entry is None or entry[0]() is not source:
                return None
            self._entries.move_to_end(id(source))
        if entry[2] is not None and not np.array_equal(source, entry[2]):
            return None
        return entry[1]

    def put(self, source, result, snapshot):
        size = result.nbytes + self._OVERHEAD
        if snapshot is not None and snapshot is not result:
            size += snapshot.nbytes
        if size > self._budget // 4:
            return
        entry = (weakref.ref(source), result, snapshot, size)
        with self._lock:
            old = self._entries.pop(id(source), None)
            if old is not None:
                self._bytes -= old[3]
            self._entries[id(source)] = entry
            self._bytes += size
            while self._bytes > self._budget or len(self._entries) > self._max_entries:
                _, dropped = self._entries.popitem(last=False)
                self._bytes -= dropped[3]


# A few hundred entries cover the arrays a solver passes again and again.
_checked_unitaries = _MatrixMemo(32 << 20, 256)
_inverted_unitaries = _MatrixMemo(32 << 20, 256)


def _unitary_matrix(matrix, num_targets):
    """A read-only complex128 copy of ``matrix``, checked to be a 2**k unitary."""
    dim = 1 << num_targets
    memo = isinstance(matrix, np.ndarray) and matrix.shape == (dim, dim)
    if memo:
        known = _checked_unitaries.get(matrix)
        if known is not None:
            return known
    array = _checked_unitary_copy(matrix, num_targets)
    if memo:
        # The frozen copy doubles as the snapshot the next hit is compared with.
        _checked_unitaries.put(matrix, array, array)
    return array
