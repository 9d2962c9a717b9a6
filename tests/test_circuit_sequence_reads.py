"""Reads of a list-storage circuit's gate sequence between adds: each read
lists every gate once, hands on nothing a dropped sequence carried, and
survives pickling and copying."""
import copy
import pickle

import numpy as np
import pytest

import quorvex.core.circuit as circuit_module
from quorvex.backend.gate.morlith import QuantumGate
from quorvex.core import Circuit


def ids(sequence):
    return [(g.id, g.target) for g in sequence.data()]


def test_a_read_that_meets_another_read_lists_each_gate_once(monkeypatch):
    # Another thread reading the same circuit while this read makes the
    # records of the gates added since the last one: the other read is
    # done here, at the moment the first new record is made.
    c = Circuit(3)
    c.h(0)
    c.gate_sequence
    for i in range(5):
        c.x(i % 3)
    making = circuit_module._to_record
    met = []

    def record_meeting_a_read(gate):
        if not met:
            met.append(None)
            met[0] = len(c.gate_sequence.data())
        return making(gate)

    monkeypatch.setattr(circuit_module, "_to_record", record_meeting_a_read)
    first = c.gate_sequence
    monkeypatch.undo()
    assert met == [6]
    assert len(first.data()) == 6
    c.h(2)
    assert ids(c.gate_sequence) == [("h", (0,))] + [("x", (i % 3,)) for i in range(5)] + [("h", (2,))]


SET_ON_DROPPED = [
    ("dtype", lambda s: setattr(s, "dtype", np.complex64), lambda s: s.dtype is np.complex128),
    ("attribute", lambda s: setattr(s, "note", "mine"), lambda s: not hasattr(s, "note")),
]


@pytest.mark.parametrize("change, fresh", [c[1:] for c in SET_ON_DROPPED], ids=[c[0] for c in SET_ON_DROPPED])
def test_a_dropped_sequence_hands_nothing_on_to_the_next_read(change, fresh):
    c = Circuit(2)
    c.h(0)
    sequence = c.gate_sequence
    change(sequence)
    del sequence
    c.x(1)
    again = c.gate_sequence
    assert fresh(again)
    assert ids(again) == [("h", (0,)), ("x", (1,))]


ROUND_TRIPS = [
    ("pickle", lambda obj: pickle.loads(pickle.dumps(obj))),
    ("deepcopy", copy.deepcopy),
]


@pytest.mark.parametrize("round_trip", [r[1] for r in ROUND_TRIPS], ids=[r[0] for r in ROUND_TRIPS])
@pytest.mark.parametrize("dropped", [False, True])
def test_read_circuits_and_their_sequences_round_trip(round_trip, dropped):
    c = Circuit(2)
    c.h(0)
    sequence = c.gate_sequence
    assert ids(round_trip(sequence)) == [("h", (0,))]
    if dropped:  # the read sequence's list waits for the next read
        del sequence
        c.x(1)
    other = round_trip(c)
    # the copy takes edits of its own sequence, as the circuit does
    other.gate_sequence.data().append(QuantumGate("z", (1,)))
    other.h(1)
    added = [("x", (1,))] if dropped else []
    assert ids(other.gate_sequence) == [("h", (0,))] + added + [("z", (1,)), ("h", (1,))]
    assert ids(c.gate_sequence) == [("h", (0,))] + added
