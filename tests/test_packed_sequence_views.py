"""The list views of a packed sequence: the data proxy against a plain list,
block views, snapshots and the index conversions."""
import gc
import weakref
from collections.abc import Sequence

import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain import packed as packed_module
from quorvex.backend.opchain.packed import OpchainPacked

_PackedBlockView = packed_module._PackedBlockView
_PackedDataProxy = packed_module._PackedDataProxy

A = QuantumGate(id="h", target=(0,))
B = QuantumGate(id="rx", target=(1,), parameter=(0.25,))
C = QuantumGate(id="cx", target=(2,), control=(0,))
D = QuantumGate(id="swap", target=(0, 3))
X = QuantumGate(id="x", target=(3,))
Y = QuantumGate(id="ry", target=(0,), parameter=(-1.5,))
Z = QuantumGate(id="z", target=(1,), control=(2,), control_state=(0,))
BASE = [A, B, C, D]


def packed_with(gates, num_qubits=4):
    seq = OpchainPacked(num_qubits)
    for gate in gates:
        seq.add_gate(gate)
    return seq


@pytest.fixture
def proxy():
    return packed_with(BASE).data()


# Each edit runs once on a plain list and once on the proxy; the contents
# must agree afterwards, and so must the return value.
LIST_EDITS = {
    "contiguous grows": lambda s: s.__setitem__(slice(1, 2), [X, Y]),
    "empty slice at 0 prepends": lambda s: s.__setitem__(slice(0, 0), [X]),
    "empty slice at len appends": lambda s: s.__setitem__(slice(4, None), [X]),
    "slice beyond the end appends": lambda s: s.__setitem__(slice(7, 9), [X]),
    "reversed bounds insert at start": lambda s: s.__setitem__(slice(3, 1), [X, Y]),
    "contiguous shrinks": lambda s: s.__setitem__(slice(1, 3), []),
    "negative bounds": lambda s: s.__setitem__(slice(-3, -1), [Z]),
    "step 1 is contiguous": lambda s: s.__setitem__(slice(None, None, 1), [X]),
    "whole slice from itself": lambda s: s.__setitem__(slice(None), s),
    "extended step 2": lambda s: s.__setitem__(slice(None, None, 2), [X, Y]),
    "extended step -1": lambda s: s.__setitem__(slice(None, None, -1), [X, Y, Z, A]),
    "extended step -2": lambda s: s.__setitem__(slice(None, None, -2), [X, Y]),
    "extended empty": lambda s: s.__setitem__(slice(5, 9, 2), []),
    "item set negative": lambda s: s.__setitem__(-1, X),
    "del step 2": lambda s: s.__delitem__(slice(None, None, 2)),
    "del step -2": lambda s: s.__delitem__(slice(None, None, -2)),
    "del beyond the end": lambda s: s.__delitem__(slice(5, 9)),
    "del everything": lambda s: s.__delitem__(slice(None)),
    "del item": lambda s: s.__delitem__(1),
    "del negative item": lambda s: s.__delitem__(-4),
    "insert far left": lambda s: s.insert(-10, X),
    "insert far right": lambda s: s.insert(10, X),
    "insert negative": lambda s: s.insert(-1, X),
    "insert middle": lambda s: s.insert(2, X),
    "append": lambda s: s.append(X),
    "pop": lambda s: s.pop(),
    "pop first": lambda s: s.pop(0),
    "pop negative": lambda s: s.pop(-2),
    "remove": lambda s: s.remove(C),
    "remove equal copy": lambda s: s.remove(QuantumGate(id="rx", target=[1], parameter=(0.25,))),
    "clear": lambda s: s.clear(),
    "reverse": lambda s: s.reverse(),
    "extend": lambda s: s.extend([X, Y]),
    "extend with itself": lambda s: s.extend(s),
    "in-place add": lambda s: s.__iadd__([Z]),
    "index": lambda s: s.index(C),
    "count": lambda s: s.count(B),
    "membership": lambda s: QuantumGate(id="swap", target=(0, 3)) in s,
    "reversed": lambda s: list(reversed(s)),
    "slice read": lambda s: s[3:0:-2],
}


@pytest.mark.parametrize("edit", LIST_EDITS.values(), ids=LIST_EDITS.keys())
def test_proxy_behaves_like_a_list(proxy, edit):
    model = list(BASE)
    expected = edit(model)
    result = edit(proxy)
    assert list(proxy) == model
    if expected is model:
        assert result is proxy
    else:
        assert result == expected


# Failures: the same exception as a list, with what the proxy keeps afterwards
# (slice edits are not atomic once the single-gate edits have begun).
LIST_FAILURES = [
    ("extended size mismatch",
     lambda s: s.__setitem__(slice(None, None, 2), [X]), ValueError,
     "attempt to assign sequence of size 1 to extended slice of size 2", BASE),
    ("zero step", lambda s: s.__setitem__(slice(None, None, 0), [X]), ValueError,
     "slice step cannot be zero", BASE),
    ("zero step delete", lambda s: s.__delitem__(slice(None, None, 0)), ValueError,
     "slice step cannot be zero", BASE),
    # A refused value leaves the sequence as it was, whatever came before it.
    ("non-gate in contiguous slice", lambda s: s.__setitem__(slice(1, 2), [X, "v"]),
     TypeError, "gate must be a QuantumGate instance", BASE),
    ("non-gate in extended slice", lambda s: s.__setitem__(slice(None, None, 2), [X, "v"]),
     TypeError, "gate must be a QuantumGate instance", BASE),
    ("non-gate item", lambda s: s.__setitem__(0, "v"), TypeError,
     "gate must be a QuantumGate instance", BASE),
    ("non-gate insert", lambda s: s.insert(0, None), TypeError,
     "gate must be a QuantumGate instance", BASE),
    ("read out of range", lambda s: s[4], IndexError, "gate index out of range", BASE),
    ("set out of range", lambda s: s.__setitem__(-5, X), IndexError,
     "gate index out of range", BASE),
    # The position is tested before the value.
    ("set out of range with non-gate", lambda s: s.__setitem__(9, "v"), IndexError,
     "gate index out of range", BASE),
    ("delete out of range", lambda s: s.__delitem__(4), IndexError,
     "gate index out of range", BASE),
    ("pop out of range", lambda s: s.pop(7), IndexError, "gate index out of range", BASE),
    ("remove missing", lambda s: s.remove(X), ValueError, None, BASE),
    ("index missing", lambda s: s.index(X), ValueError, None, BASE),
]


@pytest.mark.parametrize("edit, error, message, after",
                         [case[1:] for case in LIST_FAILURES],
                         ids=[case[0] for case in LIST_FAILURES])
def test_proxy_failures(proxy, edit, error, message, after):
    with pytest.raises(error) as caught:
        edit(proxy)
    if message is not None:
        assert str(caught.value) == message
    assert list(proxy) == list(after)


def test_pop_of_an_empty_proxy():
    with pytest.raises(IndexError, match="gate index out of range"):
        packed_with([]).data().pop()


def test_proxy_is_live_and_unique():
    seq = packed_with([A])
    proxy = seq.data()
    assert proxy is seq.data() is seq._data
    seq.add_gate(B)
    assert list(proxy) == [A, B]
    assert len(proxy) == len(seq) == 2
    assert proxy._packed_store_native is seq._native
    assert proxy._owner is seq
    assert isinstance(proxy, _PackedDataProxy)


def test_proxy_keeps_its_owner_and_no_cycle_keeps_either():
    gc.disable()
    try:
        seq = packed_with([A])
        owner = weakref.ref(seq)
        proxy = seq.data()
        del seq
        assert owner() is not None and list(proxy) == [A]
        del proxy
        # freed at once, not when the cycle collector runs
        assert owner() is None
    finally:
        gc.enable()


def test_proxy_copy_is_a_detached_list(proxy):
    copied = proxy.copy()
    assert type(copied) is list and copied == BASE
    copied.append(X)
    copied[0] = Y
    assert list(proxy) == BASE


def test_reads_are_fresh_snapshots(proxy):
    first, second = proxy[1], proxy[1]
    assert first == second == B
    assert first is not second
    assert proxy[::2][0] is not proxy[::2][0]
    proxy[1] = X
    assert first == B  # a snapshot does not follow later edits


@pytest.mark.parametrize("view_kind", ["proxy", "block view"])
def test_views_are_unhashable_and_compare_by_value(view_kind):
    seq = packed_with([A, B, C])
    view = seq.data() if view_kind == "proxy" else _PackedBlockView(seq._native)
    with pytest.raises(TypeError):
        hash(view)
    assert view == [A, B, C] and [A, B, C] == view
    assert view == (A, B, C) and (A, B, C) == view
    assert view == packed_with([A, B, C]).data()
    assert not view != [A, B, C]
    changed = [A, QuantumGate(id="rx", target=(1,), parameter=(0.5,)), C]
    assert view != changed and changed != view
    for other in (5, None, "abc", [A, B], seq, {0: A}):
        assert (view == other) is False
        assert (other == view) is False
    assert view == list(view) and list(view) == view


# ---------------------------------------------------------------------------
# Block views


@pytest.fixture
def three_block():
    """A packed sequence holding one block gate whose children are A, B, C."""
    seq = packed_with([QuantumGate(id="block", target=(0, 1, 2),
                                   block_gate_sequence=[A, B, C], name="sub")])
    return seq[0].block_gate_sequence


def test_block_view_reads(three_block):
    view = three_block
    assert isinstance(view, _PackedBlockView)
    assert len(view) == 3 and bool(view)
    assert view[-1] == C and view[0] == A
    assert view[1.7] == B  # int() truncates
    assert view[True] == B
    assert view[::-1] == [C, B, A] and type(view[::-1]) is list
    assert view[2:0] == []
    assert list(view) == [A, B, C]
    assert list(reversed(view)) == [C, B, A]
    assert B in view and X not in view
    assert view.index(C) == 2 and view.count(A) == 1
    assert view._packed_store_native is view._native
    assert view[0] is not view[0]


@pytest.mark.parametrize("index", [3, -4, 100])
def test_block_view_out_of_range(three_block, index):
    with pytest.raises(IndexError, match="^gate index out of range$"):
        three_block[index]


def test_block_view_has_no_mutators(three_block):
    with pytest.raises(TypeError):
        three_block[0] = X
    with pytest.raises(TypeError):
        del three_block[0]
    assert not hasattr(three_block, "insert")


def test_empty_block_view_is_false():
    view = _PackedBlockView(OpchainPacked(1)._native)
    assert len(view) == 0 and not view
    assert list(view) == [] and view == [] and view == ()


def test_block_gate_round_trip_in_both_directions():
    # X and Z name positions 3, 1 and 2: the inner block has four targets.
    inner = QuantumGate(id="block", target=(1, 0, 3, 2), block_gate_sequence=(X, Z), name="inner")
    original = QuantumGate(id="block", target=(0, 1, 2, 3), control=(4,),
                           block_gate_sequence=(A, inner, C), name="outer")
    seq = packed_with([original], num_qubits=5)
    read = seq[0]
    assert read == original and original == read
    assert isinstance(read.block_gate_sequence, _PackedBlockView)
    nested = read.block_gate_sequence[1]
    assert isinstance(nested.block_gate_sequence, _PackedBlockView)
    assert list(nested.block_gate_sequence) == [X, Z]
    # A block read back and handed in again reuses the store's snapshot.
    before = seq.storage_breakdown["block_resource_count"]
    seq.add_gate(read)
    assert seq.storage_breakdown["block_resource_count"] == before
    assert seq[1] == original


# ---------------------------------------------------------------------------
# Index conversions: item reads and edits of the sequence and its proxy take
# a declared int (numbers converted, anything else refused by type); insert
# positions go through int() and are clamped; block views use int() too.

INT_MESSAGE = "Argument 'index' has incorrect type (expected int, got {})"

INDEX_CASES = [
    # (operation, index, expected position or (error, message))
    ("read", 1.9, 1),
    ("read", -1, 3),
    ("read", -4, 0),
    ("read", True, 1),
    ("read", 4, (IndexError, "gate index out of range")),
    ("read", -5, (IndexError, "gate index out of range")),
    ("read", "1", (TypeError, INT_MESSAGE.format("str"))),
    ("read", None, (TypeError, INT_MESSAGE.format("NoneType"))),
    ("proxy read", 2.5, 2),
    ("proxy read", "1", (TypeError, INT_MESSAGE.format("str"))),
    ("proxy set", 1.2, 1),
    ("proxy set", "1", (TypeError, INT_MESSAGE.format("str"))),
    ("proxy set", 4, (IndexError, "gate index out of range")),
    ("proxy del", -1.5, 3),  # int(-1.5) is -1
    ("proxy del", [1], (TypeError, INT_MESSAGE.format("list"))),
    ("insert", "1", 1),
    ("insert", 2.9, 2),
    ("insert", -1, 3),
    ("insert", -100, 0),
    ("insert", 100, 4),
    ("insert", "x", (ValueError, None)),
    ("insert", None, (TypeError, None)),
    ("block read", "2", 2),
    ("block read", -2.5, 2),  # int(-2.5) is -2, counted from the end
    ("block read", "x", (ValueError, None)),
    ("block read", None, (TypeError, None)),
]


def _apply_index_case(seq, operation, index):
    if operation == "read":
        return seq[index]
    if operation == "proxy read":
        return seq.data()[index]
    if operation == "proxy set":
        seq.data()[index] = X
        return None
    if operation == "proxy del":
        del seq.data()[index]
        return None
    if operation == "insert":
        seq.data().insert(index, X)
        return None
    if operation == "block read":
        return _PackedBlockView(seq._native)[index]
    raise AssertionError(operation)


@pytest.mark.parametrize("operation, index, expected", INDEX_CASES)
def test_index_conversions(operation, index, expected):
    seq = packed_with(BASE)
    if isinstance(expected, tuple):
        error, message = expected
        with pytest.raises(error) as caught:
            _apply_index_case(seq, operation, index)
        if message is not None:
            assert str(caught.value) == message
        assert list(seq) == BASE
        return
    result = _apply_index_case(seq, operation, index)
    model = list(BASE)
    if operation in ("read", "proxy read", "block read"):
        assert result == model[expected]
    elif operation == "proxy set":
        model[expected] = X
    elif operation == "proxy del":
        del model[expected]
    else:
        model.insert(expected, X)
    assert list(seq) == model


def test_snapshot_native_takes_a_declared_int():
    seq = packed_with(BASE)
    assert OpchainPacked._snapshot_native(seq._native, 2.7) == C
    with pytest.raises(TypeError, match=r"expected int, got str"):
        OpchainPacked._snapshot_native(seq._native, "2")
    with pytest.raises(IndexError, match="gate index out of range"):
        OpchainPacked._snapshot_native(seq._native, 4)
    # No normalisation here: the store refuses a negative position.
    with pytest.raises(TypeError):
        OpchainPacked._snapshot_native(seq._native, -1)


class _NotAStoreView(Sequence):
    """A sequence carrying the packed-view marker without a store behind it."""
    _packed_store_native = 5

    def __len__(self):
        return 0

    def __getitem__(self, index):
        raise IndexError(index)


BAD_BLOCK = QuantumGate(id="block", target=(0,), block_gate_sequence=_NotAStoreView())


@pytest.mark.parametrize("edit", [
    lambda s: s.__setitem__(1, BAD_BLOCK),
    lambda s: s.insert(1, BAD_BLOCK),
    lambda s: s.append(BAD_BLOCK),
], ids=["set", "insert", "append"])
def test_store_errors_pass_through_and_keep_the_gates(proxy, edit):
    version = proxy._owner.version
    with pytest.raises(TypeError, match=r"^A block marked as a packed view \(_packed_store_native\) must hold a "
                                        r"packed gate store, got int\.$"):
        edit(proxy)
    assert list(proxy) == BASE and proxy._owner.version == version

