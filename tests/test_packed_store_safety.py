"""OpchainPackedNative: references, re-entrant Python code, read-only snapshots, deep nesting."""
import gc
import sys
import threading
import weakref

import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.pelmor.strovane import OpchainPackedNative, execute_gate_sequence_packed


class Gate:
    def __init__(self, id, target=(), control=(), name=None, stored_matrix=None, block_gate_sequence=None):
        self.id = id
        self.target = tuple(target)
        self.control = tuple(control)
        self.control_state = (1,) * len(control)
        self.parameter = None
        self.name = name if name is not None else id.upper()
        self.stored_matrix = stored_matrix
        self.block_gate_sequence = block_gate_sequence
        self.classical_target = None


class View:
    def __init__(self, store):
        self._packed_store_native = store


class Matrix:
    """A stored matrix that can be watched by weak reference."""


def f(id, target=(0,), control=(), state=(), parameter=None, name=None, matrix=None, block=None, classical=None):
    return (id, target, control, state, parameter, name, matrix, block, classical)


def contents(s):
    return [s.components(i) for i in range(len(s))]


# --- references ------------------------------------------------------------------

def _erase_both(s):
    s.erase(2)
    s.erase(0)


def _set_both(s):
    s.set_gate(0, Gate("x", (0,)))
    s.set_gate(2, Gate("y", (0,)))


@pytest.mark.parametrize("release", [_erase_both, _set_both, lambda s: s.clear(), None])
def test_matrices_are_released(release):
    m = Matrix()
    ref = weakref.ref(m)
    s = OpchainPackedNative()
    s.append_fields(*f("unitary", (0,), name="U", matrix=m))
    s.append_fields(*f("h", (1,)))
    s.append_fields(*f("Custom", (1,), matrix=m))
    del m
    assert ref() is not None
    if release is None:
        del s
    else:
        release(s)
        assert s.resource_count == 0
    gc.collect()
    assert ref() is None


def test_matrices_in_copies_views_and_blocks_released_with_last_holder():
    m = Matrix()
    ref = weakref.ref(m)
    child = OpchainPackedNative()
    child.append_fields(*f("Custom", (0,), matrix=m))
    parent = OpchainPackedNative()
    parent.append_fields(*f("block", (0,), block=View(child)))
    c = parent.copy()
    v = parent.repeat(3)
    del m, child
    parent = c = None
    assert ref() is not None  # the view still holds a copy
    v = None
    gc.collect()
    assert ref() is None


def test_no_reference_growth_over_many_cycles():
    m = np.eye(2)
    child = OpchainPackedNative()
    child.append_fields(*f("Custom", (0,), matrix=m))
    s = OpchainPackedNative()
    base = sys.getrefcount(m)
    for i in range(10_000):
        s.append_fields(*f("unitary", (0,), name="U", matrix=m))
        s.append_fields(*f("block", (0,), block=View(child)))
        s.insert_fields(0, *f("Custom", (1,), matrix=m))
        c = s.copy()
        s.erase(1)
        if i % 3 == 0:
            s.clear()
        del c
    s.clear()
    assert sys.getrefcount(m) == base


# --- re-entrant Python code during an edit ---------------------------------------

class Index:
    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


def test_conversion_that_clears_the_store_before_the_index_check():
    s = OpchainPackedNative()
    s.append_fields(*f("h"))
    s.append_fields(*f("x"))
    with pytest.raises(IndexError, match="^gate insertion index out of range$"):
        s.insert_fields(1, *f("y", (Index(3, s.clear),)))
    assert len(s) == 0 and s.version == 3


def test_conversion_that_appends_during_insert():
    s = OpchainPackedNative()
    s.append_fields(*f("h"))
    s.insert_fields(0, *f("y", (Index(3, lambda: s.append_fields(*f("x", (9,)))),)))
    assert [c[:2] for c in contents(s)] == [("y", (3,)), ("h", (0,)), ("x", (9,))]
    assert s.version == 3


def test_iterator_that_edits_the_store():
    s = OpchainPackedNative()
    for i in range(5):
        s.append_fields(*f("h", (i,)))

    def targets():
        s.erase(0)
        s.append_fields(*f("z", (7,)))
        yield 1
        s.clear()
        yield 2

    s.append_fields(*f("cx", targets()))
    assert [c[:2] for c in contents(s)] == [("cx", (1, 2))]


class Reentrant:
    """A matrix whose finaliser edits the store that held it."""

    def __init__(self, store, action):
        self.store, self.action = store, action

    def __del__(self):
        self.action(self.store)


@pytest.mark.parametrize("release", [
    lambda s: s.erase(0),
    lambda s: s.clear(),
    lambda s: s.set_gate(0, Gate("x", (5,))),
])
def test_finaliser_sees_a_consistent_store(release):
    s = OpchainPackedNative()
    seen = []

    def action(store):
        seen.append((len(store), store.version, contents(store)))
        store.append_fields(*f("z", (8,)))

    s.append_fields(*f("Custom", (0,), matrix=Reentrant(s, action)))
    s.append_fields(*f("h", (1,)))
    release(s)
    n, version, comps = seen[0]
    assert n == len(comps) and all(c[0] != "custom" for c in comps)
    assert all(s.components(i)[0] != "Custom" for i in range(len(s)))


def test_gate_attribute_that_clears_during_set_gate():
    s = OpchainPackedNative()
    s.append_fields(*f("h"))
    s.append_fields(*f("x"))

    class Sneaky(Gate):
        @property
        def target(self):
            s.clear()
            return (3,)

        @target.setter
        def target(self, value):
            pass

    with pytest.raises(IndexError, match="^gate index out of range$"):
        s.set_gate(1, Sneaky("y"))
    assert len(s) == 0 and s.version == 3


def test_components_survive_collection_that_edits_the_store():
    s = OpchainPackedNative()

    class Cycle:
        def __del__(self):
            s.clear()

    for i in range(50):
        s.append_fields(*f("Custom", (i, i + 1, i + 2), (3, 4), (0, 1), (0.5, 0.25), "nm", None, None, (1,)))
    for _ in range(200):
        a = Cycle()
        a.me = a
        del a
    for i in range(50):
        if i >= len(s):
            break
        comp = s.components(i)
        assert comp[0] == "custom" and comp[5] == "nm"


# --- read-only block snapshots --------------------------------------------------

SNAPSHOT_MUTATORS = [
    lambda b: b.append_fields(*f("x")),
    lambda b: b.insert_fields(0, *f("x")),
    lambda b: b.append_gate(Gate("x", (0,))),
    lambda b: b.set_gate(0, Gate("x", (0,))),
    lambda b: b.erase(0),
    lambda b: b.clear(),
]


@pytest.mark.parametrize("mutate", SNAPSHOT_MUTATORS)
def test_block_snapshots_are_read_only(mutate):
    child = OpchainPackedNative()
    child.append_fields(*f("h"))
    parent = OpchainPackedNative()
    parent.append_fields(*f("block", (0,), block=View(child)))
    copy = parent.copy()
    snap = parent.components(0)[7]
    version = snap.version
    with pytest.raises(TypeError, match="^block snapshot store is read-only$"):
        mutate(snap)
    assert len(snap) == 1 and snap.version == version
    assert copy.components(0)[7] is snap
    mine = snap.copy()
    mutate(mine)  # a copy of a snapshot is an ordinary store
    assert mine.version > version


def test_parent_cannot_be_appended_to_its_own_snapshot():
    parent = OpchainPackedNative()
    parent.append_fields(*f("block", (0,), block=[Gate("h", (0,))]))
    snap = parent.components(0)[7]
    with pytest.raises(TypeError, match="read-only"):
        snap.append_fields(*f("block", (0,), block=View(parent)))


# --- depth limits ------------------------------------------------------------------

def test_deeply_nested_blocks_are_refused():
    s = OpchainPackedNative()
    s.append_fields(*f("h"))
    with pytest.raises(RecursionError):
        for _ in range(5000):
            outer = OpchainPackedNative()
            outer.append_fields(*f("block", (0,), block=View(s)))
            s = outer
    assert len(s) == 1
    del s, outer  # releasing the deepest chain allowed must not exhaust the stack


def test_deep_repeat_chains_are_refused():
    v = OpchainPackedNative()
    v.append_fields(*f("h"))
    with pytest.raises(RecursionError):
        for _ in range(5000):
            v = v.repeat(1)
    assert len(v) == 1
    v.append_fields(*f("x"))
    assert len(v) == 2


def test_block_that_contains_itself_is_refused():
    children = []
    g = Gate("block", (0,), block_gate_sequence=children)
    children.append(g)
    s = OpchainPackedNative()
    with pytest.raises(RecursionError):
        s.append_gate(g)
    assert len(s) == 0 and s.version == 0


def test_deepest_allowed_nesting_is_usable():
    s = OpchainPackedNative()
    s.append_fields(*f("x"))
    depth = 0
    with pytest.raises(RecursionError):
        while True:
            outer = OpchainPackedNative()
            outer.append_fields(*f("block", (0,), block=View(s)))
            s = outer
            depth += 1
    assert depth == 1000
    assert not s.has_measurement() and s.bulk_supported()
    assert s.measurement_plan() == ("none", (), ())
    state = np.array([1, 0], dtype=complex)
    execute_gate_sequence_packed(1, state, s)
    assert state[1] == 1
    assert len(s.inverse()) == 1 and s.decompose(2000).components(0)[0] == "x"
    s.erase(0)


def _on_small_stack(work, size=256 * 1024):
    """work() on a thread whose C stack is only size bytes; its result, or its error raised here."""
    box = {}

    def run():
        try:
            box["result"] = work()
        except BaseException as exc:
            box["error"] = exc

    previous = threading.stack_size(size)
    try:
        thread = threading.Thread(target=run)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if "error" in box:
        raise box["error"]
    return box["result"]


def _nested(depth, make):
    gate = make("x", (0,))
    for _ in range(depth):
        gate = make("block", (0,), block_gate_sequence=(gate,))
    return gate


@pytest.mark.parametrize("make", [QuantumGate, Gate])
def test_deepest_nesting_needs_no_deep_stack(make):
    # Gates nested in Python blocks as deep as a store allows are gathered,
    # run, transformed, queried and released on a thread with a small C
    # stack; one level more is refused.
    def work():
        s = OpchainPackedNative()
        s.append_gate(_nested(1000, make))
        with pytest.raises(RecursionError, match="^packed gate store nesting is too deep$"):
            s.append_gate(_nested(1001, make))
        state = np.array([1, 0], dtype=complex)
        execute_gate_sequence_packed(1, state, s)
        found = (len(s), s.version, state.tolist(), s.has_measurement(), s.measurement_plan(), s.bulk_supported(),
                 s.inverse().decompose(2000).components(0)[0], len(s.reverse_qubits(1).copy()))
        del s
        gc.collect()
        return found

    assert _on_small_stack(work) == (1, 1, [0, 1], False, ("none", (), ()), True, "x", 1)
