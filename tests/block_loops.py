"""Shared by the tests of the walks over nested blocks: a block that contains itself."""
import collections.abc

from quorvex.backend.gate.morlith import QuantumGate


class Loop(collections.abc.Sequence):
    """A read-only block kept by reference whose one gate has this block again."""

    def __init__(self):
        self.gate = QuantumGate("block", 0, block_gate_sequence=self)

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index in (0, -1):
            return self.gate
        raise IndexError(index)
