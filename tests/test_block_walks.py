"""Walks over blocks: each block object visited once where the answer is the block's, the sharing kept
where a copy can keep it, a count first where a walk must expand, and any nesting walked without
recursion.

``shared(L)`` is a gate whose block holds one gate twice, L levels deep: L + 1 records, 2**L gates.
"""
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.core import Circuit

from block_loops import Loop
from test_shared_blocks import shared

LEVELS = 40


def nested(leaf, depth):
    gate = leaf
    for _ in range(depth):
        gate = QuantumGate("block", [0], block_gate_sequence=(gate,))
    return gate


# Each walk on a gate of 2**40 gates: the statement, and what it prints (its result, or the start of the
# MemoryError that refuses it). Without a walk per block object each would run for hours.
WALKS = {
    "list setter from a list sequence": ("c = Circuit(1); c.gate_sequence = seq(Opchain); print(kept(c))", "True"),
    "list setter from a packed sequence": ("c = Circuit(1); c.gate_sequence = seq(OpchainPacked); print(kept(c))",
                                           "True"),
    "packed setter from a list sequence": ('c = Circuit(1, gate_storage="packed"); c.gate_sequence = seq(Opchain); '
                                           "print(len(c.gate_sequence))", "1"),
    "Circuit.append of a list sequence": ("c = Circuit(1); c.append(seq(Opchain), [0]); print(kept(c))", "True"),
    "Circuit.append of a packed sequence": ("c = Circuit(1); c.append(seq(OpchainPacked), [0]); print(kept(c))",
                                            "True"),
    "packed Circuit.append of a sequence": ('c = Circuit(1, gate_storage="packed"); c.append(seq(OpchainPacked), [0]); '
                                            "print(len(c.gate_sequence))", "1"),
    "Opchain.append of a packed sequence": ("s = Opchain(1); s.append(seq(OpchainPacked), [0]); "
                                            "print(shares(s.data()[0].block_gate_sequence[0]))", "True"),
    "editing a list circuit's gate_sequence, then adding": (
        "c = Circuit(1); c.gate_sequence.data().append(GATE); c.h(0); print(kept(c))", "True"),
    "Opchain.control set on a circuit": ("c = Circuit(2); c.gate_sequence = seq(Opchain).control(1); "
                                         "print(shares(c.gate_sequence.data()[0].block_gate_sequence[0]))", "True"),
    "Opchain.control of a packed sequence's gates set on a circuit": (
        "s = Opchain(1); s.append(seq(OpchainPacked), [0]); c = Circuit(2); c.gate_sequence = s.control(1); "
        "print(len(c.gate_sequence.data()))", "1"),
    "== of equal blocks built apart": ("print(GATE == shared(QuantumGate('x', [0]), LEVELS), "
                                       "GATE == shared(QuantumGate('y', [0]), LEVELS))", "True False"),
    "repr": ("print(len(repr(GATE)))", "10003"),
    "Opchain.has_measurement": ("print(seq(Opchain).has_measurement, measured.has_measurement)", "False True"),
    ".matrix": ("print(GATE.matrix.real.tolist())", "[[1.0, 0.0], [0.0, 1.0]]"),
    "a repeat view appended": ("one = OpchainPacked(1); one.add_gate(QuantumGate('h', [0])); "
                               "Opchain(1).append(one.repeat(2**LEVELS), [0])",
                               "MemoryError: Reading the gates of the sequence would make 1099511627776 gates"),
    "a repeat view's gates set on a circuit": (
        "one = OpchainPacked(1); one.add_gate(QuantumGate('h', [0])); view = one.repeat(2**LEVELS).data(); "
        "Circuit(1).gate_sequence = SimpleNamespace(_num_qubits=1, data=lambda: view)",
        "MemoryError: Reading the gates of the sequence would make 1099511627776 gates"),
}

WALK_SCRIPT = """
from types import SimpleNamespace
from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.core import Circuit

LEVELS = {levels}

def shared(gate, levels):
    for _ in range(levels):
        gate = QuantumGate("block", [0], block_gate_sequence=(gate, gate))
    return gate

GATE = shared(QuantumGate("x", [0]), LEVELS)

def seq(cls):
    s = cls(1)
    s.add_gate(GATE)
    return s

measured = seq(Opchain)
measured.add_gate(QuantumGate("block", [0], block_gate_sequence=(GATE, QuantumGate("measure", [0], classical_target=[0]))))

def shares(gate):
    # both gates of every level below hold one block object
    for _ in range(LEVELS - 1):
        first, second = gate.block_gate_sequence
        if first.block_gate_sequence is not second.block_gate_sequence:
            return False
        gate = first
    return True

def kept(circuit):
    return shares(circuit.gate_sequence.data()[0])
"""

WALK_CASE = """
print({name!r}, "|", end=" ")
try:
    {statement}
except Exception as exc:
    print(type(exc).__name__ + ":", exc)
"""


def test_each_walk_over_a_shared_block_visits_each_block_object_once():
    # All the walks in one process: each returns, or is refused, at once; together they stay far below
    # the guard, where any one of them walking 2**40 gates would not.
    names = sorted(WALKS)
    script = WALK_SCRIPT.format(levels=LEVELS) + "".join(
        WALK_CASE.format(name=name, statement=WALKS[name][0]) for name in names)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    found = dict(line.split(" | ", 1) for line in done.stdout.splitlines())
    for name in names:
        assert found[name].startswith(WALKS[name][1]), (name, found[name])


# --- equality and text form ---------------------------------------------------------------------------

def test_equality_of_blocks_is_the_records_own():
    gate = shared(QuantumGate("rx", [0], parameter=0.25), 6)
    assert gate == shared(QuantumGate("rx", [0], parameter=0.25), 6)
    assert gate != shared(QuantumGate("rx", [0], parameter=0.5), 6)
    # one leaf differs, deep inside and on one side of one level only
    other = QuantumGate("rx", [0], parameter=0.25)
    for level in range(6):
        other = QuantumGate("block", [0], block_gate_sequence=(other, other) if level else
                            (other, QuantumGate("rx", [0], parameter=0.3)))
    assert gate != other and not gate == other
    # metadata key by key, a packed view against the tuple it holds, other classes
    packed = OpchainPacked(1)
    packed.add_gate(gate)
    assert packed.data()[0] == gate and gate == packed.data()[0]
    assert gate != gate.replace(control=1, control_state=0) and gate != gate.replace(name="other")
    assert (gate == "block") is False and gate.__eq__("block") is NotImplemented
    with pytest.raises(ValueError, match="ambiguous"):
        QuantumGate("block", [0], block_gate_sequence=[QuantumGate("u1", [0], matrix=np.eye(2))]) == \
            QuantumGate("block", [0], block_gate_sequence=[QuantumGate("u1", [0], matrix=np.eye(2))])
    # a block that contains itself compares without end to nothing
    loop = Loop().gate
    assert loop == loop and loop != Loop().gate


def test_the_text_form_is_the_records_and_stops_at_its_bound():
    small = QuantumGate("block", [0], control=1, block_gate_sequence=(QuantumGate("h", [0]),))
    assert repr(small) == ("QuantumGate(id='block', target=(0,), parameter=None, _extra={'control': (1,), "
                           "'block_gate_sequence': (QuantumGate(id='h', target=(0,), parameter=None, _extra=None),)})")
    assert repr(QuantumGate("x", [0])) == "QuantumGate(id='x', target=(0,), parameter=None, _extra=None)"
    two = QuantumGate("block", [0], block_gate_sequence=(QuantumGate("x", 0), QuantumGate("y", 0)))
    assert repr(two).count("QuantumGate(") == 3 and repr(two).endswith("_extra=None))})")
    text = repr(shared(QuantumGate("x", [0]), 60))
    assert len(text) == 10003 and text.endswith("...") and text.startswith("QuantumGate(id='block', ")


@pytest.mark.parametrize("walk", [repr, lambda gate: gate == gate.replace(), lambda gate: gate.matrix,
                                  lambda gate: Opchain(1).has_measurement])
def test_deep_nesting_is_walked_without_recursion(walk):
    walk(nested(QuantumGate("s", [0]), 30_000))
