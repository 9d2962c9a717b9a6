"""Stores that share pages: copies, repeat views and block snapshots taken
before and after edits of either side, range replacements that are refused
part way, runs whose measurement callback edits the store being run, and
the per-block answers of the queries against a gate-by-gate reference walk."""
import random

import numpy as np
import pytest
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.pelmor.strovane import OpchainPackedNative, execute_gate_sequence_packed

from packed_fields import View, f, store_of
from test_packed_store_model import Pair

# --- a store against a list model, with everything that shares pages ------------

# Gates as store fields, with what components() gives back for them; the
# wide one needs an overflow entry and both arenas.
FIELDS = [
    (f("x", (3,)), ("x", (3,), (), (), None, None, None, None, None)),
    (f("rz", (1,), control=(2,), parameter=(0.5,)), ("rz", (1,), (2,), (1,), (0.5,), None, None, None, None)),
    (f("mine", (1, 2, 3), control=(4, 5), state=(1, 0), parameter=(0.1, 0.2), name="nm", classical=(0,)),
     ("mine", (1, 2, 3), (4, 5), (1, 0), (0.1, 0.2), "nm", None, None, (0,))),
]
X_AT = [(QuantumGate("x", (t,)), ("x", (t,), (), (), None, None, None, None, None)) for t in range(3)]
BLOCK_GATE = (QuantumGate("block", (0, 1), block_gate_sequence=(QuantumGate("h", (1,)),)),
              ("block", (0, 1), (), (), None, None, None, [("h", (1,), (), (), None, None, None, None, None)], None))
# Gates the store refuses while reading them, after those before them were read.
REFUSED = [
    (QuantumGate("block", (0,), block_gate_sequence=(QuantumGate("x", (5,)),)), ValueError),
    (object(), AttributeError),
]


def visible(store):
    """The components of every gate, with each block store read the same way."""
    out = []
    for i in range(len(store)):
        comp = list(store.components(i))
        if comp[7] is not None:
            comp[7] = visible(comp[7])
        out.append(tuple(comp))
    return out


def weight(model):
    return sum(1 + (weight(g[7]) if g[7] is not None else 0) for g in model)


class SharingMachine(RuleBasedStateMachine):
    """Stores and their copies, views and snapshots, each checked against its model after every step."""

    def __init__(self):
        super().__init__()
        self.pairs = [Pair(OpchainPackedNative(), [], 0)]

    def pick(self, data):
        return self.pairs[data.draw(st.integers(0, len(self.pairs) - 1))]

    def small(self):
        return sum(weight(p.model) for p in self.pairs) < 300

    @rule(data=st.data(), n=st.integers(1, 40))
    def append(self, data, n):
        # Many at once, so that pages fill past the room they were made with.
        p = self.pick(data)
        for _ in range(n):
            fields, expected = FIELDS[data.draw(st.integers(0, len(FIELDS) - 1))]
            p.store.append_fields(*fields)
            p.model.append(expected)
            p.version += 1

    @rule(data=st.data())
    def insert(self, data):
        p = self.pick(data)
        i = data.draw(st.integers(0, len(p.model)))
        fields, expected = FIELDS[0]
        p.store.insert_fields(i, *fields)
        p.model.insert(i, expected)
        p.version += 1

    @rule(data=st.data())
    def erase(self, data):
        p = self.pick(data)
        if p.model:
            i = data.draw(st.integers(0, len(p.model) - 1))
            p.store.erase(i)
            del p.model[i]
            p.version += 1

    @rule(data=st.data())
    def set_gate(self, data):
        p = self.pick(data)
        if p.model:
            i = data.draw(st.integers(0, len(p.model) - 1))
            gate, expected = X_AT[1]
            p.store.set_gate(i, gate)
            p.model[i] = expected
            p.version += 2

    @rule(data=st.data())
    def clear(self, data):
        p = self.pick(data)
        p.store.clear()
        p.model = []
        p.version += 1

    @precondition(lambda self: len(self.pairs) < 6)
    @rule(data=st.data())
    def copy(self, data):
        p = self.pick(data)
        self.pairs.append(Pair(p.store.copy(), list(p.model), p.version))

    @precondition(lambda self: len(self.pairs) < 6 and self.small())
    @rule(data=st.data(), times=st.integers(1, 3))
    def repeat(self, data, times):
        p = self.pick(data)
        self.pairs.append(Pair(p.store.repeat(times), p.model * times, 0))

    @precondition(lambda self: self.small())
    @rule(data=st.data(), width=st.integers(0, 3))
    def embed(self, data, width):
        # A snapshot of another store, or of this one, as it is now.
        p, source = self.pick(data), self.pick(data)
        children = list(source.model)
        p.store.append_fields(*f("block", tuple(range(width)), block=View(source.store)))
        p.model.append(("block", tuple(range(width)), (), (), None, None, None, children, None))
        p.version += 1

    @rule(data=st.data(), refused=st.integers(-1, len(REFUSED) - 1))
    def replace_range(self, data, refused):
        p = self.pick(data)
        n = len(p.model)
        first = data.draw(st.integers(0, n))
        last = data.draw(st.integers(first, n))
        new = [X_AT[data.draw(st.integers(0, 2))] if data.draw(st.booleans()) else BLOCK_GATE
               for _ in range(data.draw(st.integers(0, 3)))]
        gates = [g for g, _ in new]
        if refused >= 0:
            bad, error = REFUSED[refused]
            gates.insert(data.draw(st.integers(0, len(gates))), bad)
            with pytest.raises(error):
                p.store.replace_range(first, last, gates)
            return
        p.store.replace_range(first, last, gates)
        p.model[first:last] = [expected for _, expected in new]
        p.version += (last - first) + len(new)

    @rule(data=st.data())
    def replace_range_out_of_bounds(self, data):
        p = self.pick(data)
        n = len(p.model)
        first, last = data.draw(st.sampled_from([(n, n + 1), (1, 0), (0, n + 2)]))
        with pytest.raises(IndexError, match="^gate index out of range$"):
            p.store.replace_range(first, last, [X_AT[0][0]])

    @precondition(lambda self: len(self.pairs) > 1)
    @rule(data=st.data())
    def drop(self, data):
        self.pairs.remove(self.pick(data))

    @invariant()
    def stores_match_models(self):
        for p in self.pairs:
            assert len(p.store) == len(p.model)
            assert p.store.version == p.version
            assert visible(p.store) == p.model


SharingMachine.TestCase.settings = settings(
    max_examples=100, stateful_step_count=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])
TestStoresSharingPages = SharingMachine.TestCase


@pytest.mark.parametrize("seed", range(3))
def test_appends_on_copies_of_every_age_against_lists(seed):
    # Many copies, taken between appends of any length, all appended to in
    # turn: every page that holds spare room is shared at some point.
    r = random.Random(seed)
    stores = [(OpchainPackedNative(), [])]
    for step in range(600):
        store, model = r.choice(stores)
        if r.random() < 0.25 and len(stores) < 8:
            stores.append((store.copy(), list(model)))
        elif r.random() < 0.05 and len(stores) > 1:
            stores.remove((store, model))
        else:
            for _ in range(r.choice([1, 1, 2, 7, 30])):
                target = r.randrange(1000)
                store.append_fields(*f("x", (target,)))
                model.append(target)
        for store, model in stores:
            assert len(store) == len(model)
            if step % 10 == 0 or len(model) < 50:
                assert [store.components(i)[1][0] for i in range(len(store))] == model


# --- a run whose callback edits the store being run ------------------------------

@pytest.mark.parametrize("added", [1, 3000])
@pytest.mark.parametrize("copied", [False, True])
def test_callback_appending_to_the_running_store_does_not_disturb_the_run(added, copied):
    # The store appends into the room of the page the run is reading; with
    # a copy kept, into a page that copy reads too.
    s = store_of(f("x", (0,)), f("measure", (0,), classical=(0,)), *[f("h", (1,)) for _ in range(5)])
    kept = s.copy() if copied else None

    def callback(state, targets, classical):
        for _ in range(added):
            s.append_fields(*f("x", (1,)))
        return state, {}

    out, _ = execute_gate_sequence_packed(2, np.array([1, 0, 0, 0], complex), s, callback)
    np.testing.assert_allclose(out, [0, 2 ** -0.5, 0, 2 ** -0.5], atol=1e-12)  # H on qubit 1 five times: H
    assert [s.components(i)[0] for i in range(len(s))] == ["x", "measure"] + ["h"] * 5 + ["x"] * added
    if copied:
        assert len(kept) == 7 and kept.components(6)[0] == "h"
        kept.append_fields(*f("z", (0,)))
        assert s.components(7)[0] == "x" and kept.components(7)[0] == "z"


# --- the queries against a reference walk --------------------------------------------

BULK_IDS = {"i", "x", "y", "z", "h", "s", "s_dag", "t", "t_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag",
            "p", "gp", "gphase", "global_phase", "rx", "ry", "rz", "rzz", "u", "swap", "cx", "cnot", "cy",
            "cz", "ch", "cs", "ct", "cp", "crx", "cry", "crz", "mcx", "mcy", "mcz", "mch", "mcs", "mct", "mcp",
            "mcrx", "mcry", "mcrz", "measure", "barrier", "b"}


def walk(store, visit, qmap=(), controls=(), states=()):
    """Every gate of a store, blocks expanded one occurrence at a time."""
    def place(q):
        if not qmap:
            return q
        if not 0 <= q < len(qmap):
            raise RuntimeError("block-local qubit index out of range")
        return qmap[q]

    for i in range(len(store)):
        gate_id, target, control, state, _, _, matrix, block, classical = store.components(i)
        mapped = tuple(place(q) for q in target)
        all_controls = tuple(controls) + tuple(place(q) for q in control)
        all_states = tuple(states) + tuple(state)
        if block is not None:
            walk(block, visit, mapped, all_controls, all_states)
        else:
            visit(gate_id, mapped, all_controls, matrix is not None, classical)


def reference_has_measurement(store):
    for i in range(len(store)):
        comp = store.components(i)
        if comp[0] == "measure" or (comp[7] is not None and reference_has_measurement(comp[7])):
            return True
    return False


def reference_plan(store, times=1):
    if times > 1:  # a repeated sequence that measures measures again
        return ("dynamic", (), ()) if reference_has_measurement(store) else ("none", (), ())
    seen, dynamic, measured, qubits, bits = False, False, set(), [], []

    def visit(gate_id, targets, controls, _, classical):
        nonlocal seen, dynamic
        if gate_id == "measure":
            seen = True
            if not controls and classical is not None and len(classical) == len(targets):
                for q in targets:
                    if q in measured:
                        dynamic = True
                        return
                    measured.add(q)
                qubits.extend(targets)
                bits.extend(classical)
            else:
                dynamic = True
        elif gate_id != "i" and seen:
            dynamic = True

    walk(store, visit)
    if not seen:
        return ("none", (), ())
    return ("dynamic", (), ()) if dynamic else ("terminal", tuple(qubits), tuple(bits))


def reference_bulk(store):
    supported = True

    def visit(gate_id, targets, controls, has_matrix, classical):
        nonlocal supported
        ok = has_matrix if gate_id == "unitary" else (has_matrix or gate_id in BULK_IDS)
        supported = supported and ok

    walk(store, visit)
    return supported


LEAVES = [
    lambda r: f("i", (r.randrange(3),)),
    lambda r: f("x", (r.randrange(3),)),
    lambda r: f("h", (r.randrange(2),), control=(2,)),
    lambda r: f("measure", (r.randrange(3),), classical=(r.randrange(3),)),
    lambda r: f("measure", (0, 1), classical=(0,)),
    lambda r: f("measure", (), classical=()),
    lambda r: f("measure", (r.randrange(3),)),
    lambda r: f("barrier", (0, 1)),
    lambda r: f("b", (r.randrange(3),)),
    lambda r: f("unitary", (0,), matrix=np.eye(2) if r.random() < 0.5 else None),
    lambda r: f("mine", (1,), matrix=np.eye(2) if r.random() < 0.5 else None),
    lambda r: f("x2p", (r.randrange(3),)),
]
OUTSIDE = lambda r: f("x", (r.choice([3, 7]),))  # outside any block but one without targets  # noqa: E731
# Measurements and "i" gates, which may still follow them, more often: plans
# that stay terminal through blocks.
LEAVES += [LEAVES[0], LEAVES[3], LEAVES[3]]


def random_store(r, depth, made):
    """A store of leaves and blocks; blocks reuse stores made before (shared by reference)."""
    s = OpchainPackedNative()
    for _ in range(r.randrange(0, 6)):
        if depth > 0 and r.random() < 0.4:
            if made and r.random() < 0.6:
                inner = r.choice(made)
            else:
                inner = random_store(r, depth - 1, made)
                made.append(inner)
            if r.random() < 0.25:
                inner = inner.repeat(r.randrange(1, 3))
            # Positions 0 to 2 of whatever is around (qubits at the top),
            # in any order, fewer than 3 now and then.
            targets = tuple(r.sample(range(3), r.choice([0, 2, 3, 3, 3])))
            control = (3,) if r.random() < 0.2 and depth == 3 else ()
            s.append_fields(*f("block", targets, control=control, block=View(inner)))
        else:
            leaf = OUTSIDE if r.random() < 0.03 else LEAVES[r.randrange(len(LEAVES))]
            s.append_fields(*leaf(r))
    return s


def outcome(call, store):
    try:
        return call(store)
    except RuntimeError as exc:
        return ("RuntimeError", str(exc))


@pytest.mark.parametrize("seed", range(4))
def test_queries_answer_as_a_gate_by_gate_walk(seed):
    r = random.Random(seed)
    for _ in range(250):
        store, times = random_store(r, 3, []), 1
        if r.random() < 0.3:
            times = r.randrange(1, 4)
            store = store.repeat(times)
        assert store.has_measurement() == reference_has_measurement(store)
        assert outcome(lambda s: s.bulk_supported(), store) == outcome(reference_bulk, store)
        assert outcome(lambda s: s.measurement_plan(), store) == outcome(lambda s: reference_plan(s, times), store)
