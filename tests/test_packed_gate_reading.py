"""The store reads a QuantumGate's fields as its properties report them.

For a QuantumGate itself the store reads the record's stored fields
directly; every other gate object is read through its attributes. Each
gate below is stored once as itself and once behind a plain object that
forwards the nine attributes, and both must give the same record, through
append_gate and through set_gate.
"""
import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.pelmor.strovane import OpchainPackedNative

FIELDS = ["classical_target", "block_gate_sequence", "stored_matrix", "name", "parameter",
          "control_state", "control", "target", "id"]


class Forwarding:
    """Not a QuantumGate: the store must use its attributes."""

    def __init__(self, gate):
        for field in FIELDS:
            setattr(self, field, getattr(gate, field))


class Sub(QuantumGate):
    """A subclass may redefine what its properties report."""

    __slots__ = ()

    @property
    def name(self):
        return "SUB"


GATES = [
    QuantumGate("h", 0),
    QuantumGate("RX", 1, parameter=0.5),
    QuantumGate("cx", 1, control=0),
    QuantumGate("ccx", 2, control=(0, 1), control_state=(0, 1)),
    QuantumGate("u", 2, control=(0,), control_state=(0,), parameter=(0.1, 0.2, 0.3), name="my u"),
    QuantumGate("unitary", (0, 1), matrix=np.eye(4), name="U"),
    QuantumGate("measure", 3, classical_target=(0,)),
    QuantumGate("swap", (0, 2)),
    QuantumGate("rzz", (0, 1), parameter=0.7),
    QuantumGate("h", 0, name="H"),
    QuantumGate("h", 0, name="h"),
    QuantumGate("blk", (0, 1), block_gate_sequence=[QuantumGate("h", 0), QuantumGate("cx", 1, control=0)]),
    QuantumGate("ʃ", 0),  # non-ASCII id: its default name is Python's upper-casing
]


def components(gate, via):
    s = OpchainPackedNative()
    s.append_fields("x", (0,), (), (), None, None, None, None, None)
    if via == "append":
        s.append_gate(gate)
        out = s.components(1)
    else:
        s.set_gate(0, gate)
        out = s.components(0)
    block = out[7]
    if block is not None:
        out = out[:7] + ([block.components(i) for i in range(len(block))],) + out[8:]
    return out


def same(a, b):
    assert len(a) == len(b)
    for x, y in zip(a, b):
        if isinstance(x, np.ndarray) or isinstance(y, np.ndarray):
            assert x is y
        else:
            assert x == y


@pytest.mark.parametrize("via", ["append", "set"])
@pytest.mark.parametrize("gate", GATES, ids=lambda g: g.id)
def test_a_quantum_gate_is_stored_as_its_attributes_say(gate, via):
    same(components(gate, via), components(Forwarding(gate), via))


def test_a_subclass_is_read_through_its_properties():
    gate = Sub("h", 0)
    assert components(gate, "append")[5] == "SUB"


def test_a_record_with_unset_fields_fails_as_a_missing_attribute():
    s = OpchainPackedNative()
    with pytest.raises(AttributeError):
        s.append_gate(QuantumGate.__new__(QuantumGate))
    assert len(s) == 0
