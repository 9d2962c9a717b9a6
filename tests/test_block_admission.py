"""A gate is refused where it enters, in the same words on every path: a circuit's add on either storage,
the GPU executor (on the host stand-in), `Opchain.append` and `.matrix` of a block holding it.
"""
import math
import re

import numpy as np
import pytest

from quorvex.backend.execution.vorthane import CuCircuitExecutor
from quorvex.backend.gate.checks import BlockPositionError
from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain, materialize_gate_sequence
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.core import Circuit

from block_loops import Loop


class Gate:
    """A gate of a caller's own class: the record's fields, none of its checks."""

    def __init__(self, id, target, control=(), control_state=None, parameter=None, matrix=None):
        self.id, self.target, self.control, self.parameter = id, target, control, parameter
        self.control_state = (1,) * len(control) if control_state is None else control_state
        self.name, self.stored_matrix, self.classical_target, self.block_gate_sequence = None, matrix, None, None


def block(*children, targets=(0, 1)):
    return QuantumGate("block", targets, block_gate_sequence=children)


# (gate, exception, message): what no executor could run, refused where it is added.
REFUSED = {
    "custom id without a matrix": (QuantumGate("myg", 0), ValueError, "Gate 'myg' has no standard matrix; give it a "
                                   "matrix."),
    "unitary without a matrix": (QuantumGate("unitary", 0), ValueError, "Gate 'unitary' has no standard matrix"),
    "block id without children": (QuantumGate("block", 0), ValueError, "Gate 'block' has no standard matrix"),
    "vendor rotation with one angle": (block(QuantumGate("xyarb", 1, parameter=0.3)), ValueError,
                                       "Gate 'xyarb' needs 2 parameter(s)."),
    "parameter text": (block(Gate("rx", (0,), parameter="abc")), TypeError,
                       "Parameters of gate 'rx' must be None or a tuple of real numbers, got str."),
    "parameter text in a tuple": (block(Gate("rx", (0,), parameter=("abc",))), TypeError,
                                  "Gate parameters must be real numbers, not str."),
    "parameter beyond a double": (block(Gate("rx", (0,), parameter=(10**400,))), ValueError,
                                  "Gate parameters must be finite, got a value beyond the range of a double (int)."),
    "NaN angle": (block(Gate("rx", (1,), parameter=(math.nan,))), ValueError, "Gate parameters must be finite, got "
                  "nan."),
    "two angles for rx": (block(Gate("rx", (0,), parameter=(1.0, 2.0))), ValueError,
                          "Gate 'rx' takes exactly 1 parameter, got 2."),
    "position 0.0": (block(Gate("x", (0.0,))), TypeError, "Block position 0.0 of gate 'x' is not an integer (float)."),
    "position '0'": (block(Gate("x", ("0",))), TypeError, "Block position '0' of gate 'x' is not an integer (str)."),
    "control state 2": (block(Gate("x", (0,), control=(1,), control_state=(2,))), ValueError,
                        "Control state 2 of gate 'x' is neither 0 nor 1."),
    "control states of another count": (block(Gate("x", (0,), control=(1,), control_state=(1, 1))), ValueError,
                                        "Gate 'x' has 2 control states for 1 control."),
    "position outside the block": (block(QuantumGate("x", 2)), BlockPositionError,
                                   "Block position 2 of gate 'x' is outside its block of 2 targets: positions run "
                                   "from -2 to 1."),
    "positions naming one target": (block(QuantumGate("cx", -1, control=1)), BlockPositionError,
                                    "Block positions -1 and 1 of gate 'cx' are one target, position 1 of its block of "
                                    "2 targets (-j counts from the end, as 2 - j)."),
}


def gpu_run(gate):
    class Holder:
        gate_sequence = Opchain(2)

        @staticmethod
        def get_num_qubits():
            return 2

    Holder.gate_sequence.add_gate(gate)
    return CuCircuitExecutor().run(Holder)


@pytest.mark.parametrize("case", sorted(REFUSED))
def test_a_gate_no_executor_can_run_is_refused_alike_where_it_enters(case):
    gate, error, message = REFUSED[case]
    for storage in ("list", "packed"):
        c = Circuit(2, gate_storage=storage)
        c.h(0)
        with pytest.raises(error, match="^" + re.escape(message)):
            c.add_gate(gate)
        assert [g.id for g in c.gate_sequence.data()] == ["h"]
        np.testing.assert_allclose(c.execute().state, [2**-0.5, 2**-0.5, 0, 0])
    with pytest.raises(error, match="^" + re.escape(message)):
        gpu_run(gate)
    if gate.block_gate_sequence is not None:
        with pytest.raises(error, match="^" + re.escape(message)):
            gate.matrix


def test_the_refusals_are_value_and_type_errors():
    # a position outside its block is an IndexError too, as expanding such a block has always raised
    assert issubclass(BlockPositionError, ValueError) and issubclass(BlockPositionError, IndexError)
    sequence = Opchain(2)
    sequence.add_gate(QuantumGate("x", 2))
    with pytest.raises(IndexError):
        sequence.reverse()


@pytest.mark.parametrize("cls", [Opchain, OpchainPacked])
def test_a_sequence_appended_onto_fewer_targets_is_refused_at_append(cls):
    inner = Opchain(3)
    inner.add_gate(QuantumGate("h", 0))
    inner.add_gate(QuantumGate("x", 2))
    outer = cls(3)
    with pytest.raises(ValueError, match=r"^Block position 2 of gate 'x' is outside its block of 2 targets: "
                                         r"positions run from -2 to 1\.$"):
        outer.append(inner, [0, 1])
    assert len(outer.data()) == 0
    outer.append(inner, [2, 0, 1])
    # the sequence's own gates address the new block; a block among them addresses its own targets
    holder = Opchain(1)
    holder.add_gate(QuantumGate("block", [0], block_gate_sequence=[QuantumGate("x", 0)]))
    outer.append(holder, [1])
    # control embeds the sequence over its own qubits
    wide = Opchain(1)
    wide.add_gate(QuantumGate("x", 1))
    with pytest.raises(ValueError, match=r"^Block position 1 of gate 'x' is outside its block of 1 target"):
        wide.control(1)


@pytest.mark.parametrize("walk", [
    lambda gate: Circuit(1).add_gate(gate),
    lambda gate: Circuit(1, gate_storage="packed").add_gate(gate),
    lambda gate: OpchainPacked(1).add_gate(gate),
    lambda gate: gate.matrix,
    lambda gate: gpu_run(gate),
    lambda gate: materialize_gate_sequence([gate]),
], ids=["list circuit", "packed circuit", "packed sequence", "matrix", "GPU executor", "materialize"])
def test_a_block_that_contains_itself_is_refused_in_the_same_words_everywhere(walk):
    with pytest.raises(RecursionError, match="^a gate block contains itself$"):
        walk(Loop().gate)


@pytest.mark.parametrize("storage", ["list", "packed"])
def test_a_packed_sequence_taken_over_is_checked_alike(storage):
    sequence = OpchainPacked(1)
    sequence.add_gate(QuantumGate("xyarb", 0, parameter=0.3))
    c = Circuit(1, gate_storage=storage)
    with pytest.raises(ValueError, match=r"^Gate 'xyarb' needs 2 parameter\(s\)\.$"):
        c.gate_sequence = sequence
    assert len(c.gate_sequence.data()) == 0
