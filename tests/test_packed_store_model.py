"""OpchainPackedNative against a plain Python list model under random edits."""
import numpy as np
import pytest
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from quorvex.backend.pelmor.strovane import OpchainPackedNative

MATRICES = [np.eye(2), np.eye(4) * 1j]


class Gate:
    def __init__(self, id, target):
        self.id, self.target, self.control, self.control_state = id, tuple(target), (), ()
        self.parameter, self.name, self.stored_matrix = None, id.upper(), None
        self.block_gate_sequence, self.classical_target = None, None


def ascii_lower(text):
    return "".join(c.lower() if "A" <= c <= "Z" else c for c in text)


def ascii_upper(text):
    return "".join(c.upper() if "a" <= c <= "z" else c for c in text)


def display_name(gate_id):
    return "U" if gate_id == "unitary" else ascii_upper(gate_id)


def expected_components(fields):
    """What components() must give back for a gate appended with these fields."""
    id, target, control, state, parameter, name, matrix, block, classical = fields
    gate_id = ascii_lower(id)
    state = list(state or [])
    all_one = len(state) == len(control) and all(v == 1 for v in state)
    states = tuple(state) if (not all_one and state) else (1,) * len(control)
    given = name if name is not None else ascii_upper(gate_id)
    if given != display_name(gate_id):
        shown = given
    else:
        shown = "U" if gate_id == "unitary" else None
    block_model = None if block is None else [("h", (t,), (), (), None, None, None, None, None) for t in block]
    return (gate_id, tuple(target), tuple(control), states,
            None if parameter is None else tuple(float(p) for p in parameter),
            shown, matrix, block_model, None if classical is None else tuple(classical))


qubit = st.integers(-3, 40)
gate_fields = st.tuples(
    st.sampled_from(["h", "CX", "rz", "u", "unitary", "mcx", "measure", "Custom", "swap", "block", ""]),
    st.lists(qubit, max_size=3),
    st.lists(st.integers(0, 40), max_size=3),
    st.one_of(st.none(), st.lists(st.integers(0, 1), max_size=3)),
    st.one_of(st.none(), st.lists(st.floats(allow_nan=False), max_size=3)),
    st.one_of(st.none(), st.sampled_from(["nm", "H", "U", "UNITARY", "rz"])),
    st.one_of(st.none(), st.sampled_from(MATRICES)),
    st.one_of(st.none(), st.lists(st.integers(0, 3), max_size=2)),
    st.one_of(st.none(), st.lists(st.integers(0, 5), max_size=2)),
)


def outside_block(fields):
    """Whether a block child's position lies outside the block's targets: the store refuses the gate."""
    target, block = fields[1], fields[7]
    return block is not None and any(t >= len(target) for t in block)


def call_fields(fields):
    *head, block, classical = fields
    block_arg = None if block is None else [Gate("h", (t,)) for t in block]
    return (*head, block_arg, classical)


def visible(comp):
    """Components with a block store replaced by its gates, for comparison."""
    comp = list(comp)
    if comp[7] is not None:
        comp[7] = [comp[7].components(i) for i in range(len(comp[7]))]
    return tuple(comp)


class Pair:
    def __init__(self, store, model, version):
        self.store, self.model, self.version = store, model, version


class StoreMachine(RuleBasedStateMachine):
    """Several (store, list model) pairs; copies and views join the pool."""

    def __init__(self):
        super().__init__()
        self.pairs = [Pair(OpchainPackedNative(), [], 0)]

    def pick(self, data):
        return self.pairs[data.draw(st.integers(0, len(self.pairs) - 1))]

    def pick_index(self, data, p, extra=0):
        return data.draw(st.integers(0, len(p.model) - 1 + extra))

    @rule(data=st.data(), g=gate_fields)
    def append(self, data, g):
        p = self.pick(data)
        if outside_block(g):
            with pytest.raises(ValueError, match="^Block position .* is outside its block of "):
                p.store.append_fields(*call_fields(g))
            return
        p.store.append_fields(*call_fields(g))
        p.model.append(expected_components(g))
        p.version += 1

    @rule(data=st.data(), g=gate_fields)
    def insert(self, data, g):
        p = self.pick(data)
        i = self.pick_index(data, p, extra=1)
        if outside_block(g):
            with pytest.raises(ValueError, match="^Block position .* is outside its block of "):
                p.store.insert_fields(i, *call_fields(g))
            return
        p.store.insert_fields(i, *call_fields(g))
        p.model.insert(i, expected_components(g))
        p.version += 1

    @rule(data=st.data())
    def erase(self, data):
        p = self.pick(data)
        if p.model:
            i = self.pick_index(data, p)
            p.store.erase(i)
            del p.model[i]
            p.version += 1

    @rule(data=st.data(), t=st.lists(qubit, max_size=2))
    def set(self, data, t):
        p = self.pick(data)
        if p.model:
            i = self.pick_index(data, p)
            p.store.set_gate(i, Gate("x", t))
            p.model[i] = expected_components(("x", t, [], None, None, "X", None, None, None))
            p.version += 2

    @rule(data=st.data())
    def clear(self, data):
        p = self.pick(data)
        p.store.clear()
        p.model.clear()
        p.version += 1

    @precondition(lambda self: len(self.pairs) < 6)
    @rule(data=st.data())
    def copy(self, data):
        p = self.pick(data)
        self.pairs.append(Pair(p.store.copy(), list(p.model), p.version))

    @precondition(lambda self: len(self.pairs) < 6)
    @rule(data=st.data(), times=st.integers(1, 3))
    def repeat(self, data, times):
        p = self.pick(data)
        self.pairs.append(Pair(p.store.repeat(times), p.model * times, 0))

    @precondition(lambda self: len(self.pairs) > 1)
    @rule(data=st.data())
    def drop(self, data):
        self.pairs.remove(self.pick(data))

    @invariant()
    def stores_match_models(self):
        for p in self.pairs:
            assert len(p.store) == len(p.model)
            assert p.store.version == p.version
            assert p.store.storage_bytes == p.store.memory_usage()["total"]
            for i, expected in enumerate(p.model):
                got = visible(p.store.components(i))
                assert got == expected
                if expected[6] is not None:
                    assert got[6] is expected[6]


StoreMachine.TestCase.settings = settings(
    max_examples=80, stateful_step_count=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
TestPackedStoreModel = StoreMachine.TestCase
