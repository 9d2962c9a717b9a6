"""The native module under hostile or extreme input: Python code that runs in
the middle of a call, unaligned buffers, integer extremes, interrupts,
reference cycles and degenerate repeat views.

Some of these faults (misaligned reads, signed overflow) give the right
answer on this processor in an ordinary build; the sanitizer run
(src/quorvex/native/store/tests/sanitize.sh) is what catches them there.
"""
import collections
import gc
import signal
import warnings
import weakref

import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.backend.pelmor import strovane
from quorvex.backend.pelmor.strovane import OpchainPackedNative, execute_gate_sequence_packed

from interrupts import alarm, rx_turns
from packed_fields import View, f, store_of


def unaligned(values, dtype):
    """A writable C-contiguous copy of values one byte off its natural alignment."""
    itemsize = np.dtype(dtype).itemsize
    raw = np.zeros(len(values) * itemsize + 1, np.uint8)[1:]
    out = raw.view(dtype)
    out[:] = values
    assert not out.flags.aligned and out.flags.c_contiguous and out.flags.writeable
    return out


# ------------------------------------------- state edited by matrix conversion

def _shrink(st):
    st.resize(2, refcheck=False)


def _freeze(st):
    st.flags.writeable = False


def _retype(st):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        st.dtype = np.dtype((np.void, st.itemsize))  # the length stays


class Meddler:
    """A matrix entry whose conversion to complex edits the state."""

    def __init__(self, st, edit):
        self.st, self.edit = st, edit

    def __complex__(self):
        self.edit(self.st)
        return 1 + 0j


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("edit, message", [
    (_shrink, "state size must be equal to 2**n"),
    (_freeze, "state must be writable"),
    (_retype, "unsupported state dtype: expected np.complex64 or np.complex128"),
])
def test_unitary_rechecks_state_after_matrix_conversion(dtype, edit, message):
    st = np.arange(1 << 10).astype(dtype)
    matrix = np.array([[Meddler(st, edit), 0], [0, 1]], dtype=object)
    with pytest.raises(RuntimeError) as info:
        strovane.unitary_little(10, st, [], [], [3], matrix)
    assert str(info.value) == message


# ------------------------------------------------------- integer extremes

BIG = 2**63 - 1


@pytest.mark.parametrize("qubit, count", [(-2, BIG), (-(2**31), BIG), (-1, BIG - 1), (5, 3)])
def test_reverse_qubits_out_of_range_qubit_without_overflow(qubit, count):
    s = store_of(f("x", (qubit,)))
    with pytest.raises(IndexError, match=f"^qubit {qubit} is out of range for {count} qubits$"):
        s.reverse_qubits(count)
    assert len(s) == 1 and s.version == 1


# -------------------------------------------------------- unaligned buffers

M2 = np.array([[0.6, 0.8j], [0.8j, 0.6]])
M4 = np.kron(M2, np.array([[0, 1], [1, 0]]))
M16 = np.kron(M4, M4)

# name -> call on (n, state); every one runs on a 3-qubit state
UNALIGNED_CALLS = {
    "unitary_little 2x2": lambda st: strovane.unitary_little(3, st, [2], [1], [0], M2),
    "unitary_little 4x4": lambda st: strovane.unitary_little(3, st, [], [], [2, 0], M4),
    "unitary_little 16x16": lambda st: strovane.unitary_little(4, st, [], [], [0, 1, 2, 3], M16),
    "unitary_little unaligned matrix": lambda st: strovane.unitary_little(
        3, st, [], [], [1], unaligned(M2.ravel(), st.dtype).reshape(2, 2)),
    "swap_little": lambda st: strovane.swap_little(3, st, [1], [0], [0, 2]),
    "test serial": lambda st: strovane.test(3, st, [], [], [0, 1], False),
    "test parallel": lambda st: strovane.test(3, st, [], [], [2, 1], True),
    "x_little": lambda st: strovane.x_little(1, st, [], [], 0),
    "h": lambda st: strovane.h(3, st, [], [], 1),
    "executor": lambda st: execute_gate_sequence_packed(3, st, store_of(
        f("swap", (0, 2)), f("gp", (), parameter=(0.3,)), f("gp", (), (0, 1, 2), parameter=(0.2,)),
        f("unitary", (1, 0), matrix=M4), f("t", (2,)), f("p", (1,), parameter=(0.7,)))),
}
COMPLEX64_ONLY = {"test serial", "test parallel", "h"}
SIZES = {"unitary_little 16x16": 16, "x_little": 2}


@pytest.mark.parametrize("name, dtype", [
    (name, dtype) for name in UNALIGNED_CALLS for dtype in (np.complex64, np.complex128)
    if dtype is np.complex64 or name not in COMPLEX64_ONLY])
def test_unaligned_state_gives_the_aligned_result(name, dtype):
    values = (np.arange(SIZES.get(name, 8)) * (1 + 0.5j) + 0.25).astype(dtype)
    want = values.copy()
    UNALIGNED_CALLS[name](want)
    got = unaligned(values, dtype)
    UNALIGNED_CALLS[name](got)
    assert got.tobytes() == want.tobytes()


# ------------------------------------------------------------- interrupts

def time_limit(seconds):
    """Fail, not hang, when a walk that should be short runs on (it answers signals)."""
    def too_long(signum, frame):
        raise TimeoutError("the walk ran on past " + str(seconds) + " s")
    return alarm(seconds, too_long)


def test_long_run_is_interrupted_with_state_as_far_as_it_got():
    # 2**27 tiny rotations would take seconds; the interrupt comes after 0.1 s.
    theta, runs = 1e-9, 2**27
    body = store_of(f("rx", (0,), parameter=(theta,)))
    seq = body.repeat(runs)
    st = np.array([1, 0], np.complex128)
    # SIGALRM stands in for Ctrl-C's SIGINT, with the same handler.
    with alarm(0.1, signal.default_int_handler), pytest.raises(KeyboardInterrupt):
        execute_gate_sequence_packed(1, st, seq)
    # rx(k*theta)|0> for the k gates that ran, 0 < k < runs
    turned = rx_turns(st)
    assert 0 < turned < 0.9 * runs * theta
    assert st[0].imag == 0 and st[1].real == 0 and abs(np.vdot(st, st) - 1) < 1e-12
    assert len(seq) == runs and seq.version == 0 and len(body) == 1 and body.version == 1


def _flat(*gates, times):
    """An ordinary store of the gates repeated (appending materialises the view)."""
    s = store_of(*gates).repeat(times)
    s.append_fields("i", (0,), (), None, None, None, None, None, None)
    return s


def _many_blocks(count, size):
    """A store of count composite gates, each over a block of its own of size gates."""
    child = _flat(f("rx", (0,), parameter=(0.1,)), times=size - 1)
    return store_of(*[f("block", (0,), block=View(child.copy())) for _ in range(count)])


# case -> (method, receiver, arguments after it)
LONG_TRANSFORMS = {
    "inverse": ("inverse", lambda: _flat(f("rx", (0,), parameter=(0.1,)), f("h", (1,)), times=2**18), ()),
    "decompose": ("decompose", lambda: store_of(*[f("block", (0, 1), block=View(_flat(f("h", (0,)), f("x", (1,)),
                                                                                      times=2**16)))] * 4), (1,)),
    # Every store here, the receiver and each block, is shorter than the
    # interval between two checks; the work adds up across them.
    "inverse of many blocks": ("inverse", lambda: _many_blocks(1500, 2000), ()),
}


@pytest.mark.parametrize("case", LONG_TRANSFORMS)
def test_long_transformation_is_interrupted_inside_the_call(case):
    # map and the deque call the native method with no bytecode between its
    # end and the append, so an interrupt that the call held until it was
    # done leaves a result behind; one that ended the call leaves none.
    name, build, args = LONG_TRANSFORMS[case]
    receiver = build()
    before = (len(receiver), receiver.version)
    done = collections.deque()
    with alarm(0.03, signal.default_int_handler), pytest.raises(KeyboardInterrupt):
        done.extend(map(getattr(OpchainPackedNative, name), [receiver], *[[a] for a in args]))
    assert not done and (len(receiver), receiver.version) == before


def test_run_on_a_large_state_is_interrupted_after_the_gate_in_progress():
    # Each gate touches 2**20 amplitudes, so the 2,000 gates take far longer
    # than the 0.03 s before the interrupt, though they are fewer than a
    # count of gates between two checks would be.
    n, theta, count = 20, 2e-4, 2000
    body = store_of(f("rx", (0,), parameter=(theta,)))
    seq = body.repeat(count)
    st = np.zeros(1 << n, np.complex128)
    st[0] = 1
    done = collections.deque()
    with alarm(0.03, signal.default_int_handler), pytest.raises(KeyboardInterrupt):
        done.extend(map(execute_gate_sequence_packed, [n], [st], [seq]))
    assert not done
    # The state is that of the k gates that ran, bit for bit.
    k = round(rx_turns(st) / theta)
    assert k < count
    want = np.zeros_like(st)
    want[0] = 1
    if k:
        execute_gate_sequence_packed(n, want, body.repeat(k))
    assert st.tobytes() == want.tobytes()
    assert (len(seq), seq.version) == (count, 0)


def test_signal_handler_that_shrinks_the_state_is_caught():
    # A handler that returns normally lets the run go on; the state it
    # shrank must be refused, not written 2**n amplitudes deep.
    st = np.zeros(1 << 10, np.complex128)
    st[0] = 1

    def shrink(signum, frame):
        st.resize(2, refcheck=False)

    seq = store_of(f("x", (9,))).repeat(2**40)
    with alarm(0.05, shrink), pytest.raises(RuntimeError, match=r"^state size must equal 2\*\*n$"):
        execute_gate_sequence_packed(10, st, seq)
    assert st.size == 2



def test_signal_handler_that_clears_the_receiver_leaves_a_transformation_whole():
    # A million mirrored gates take about 0.1 s; the handler empties the
    # receiver in the middle, and the loop goes on over what it held.
    seq = store_of(f("x", (0,)), f("h", (1,))).repeat(2**19)
    during = []

    def clear(signum, frame):
        during.append(len(seq))
        seq.clear()

    with alarm(0.01, clear):
        mirrored = seq.reverse_qubits(2)
    if during != [2**20]:
        pytest.skip("the transformation ended before the signal came")
    assert len(seq) == 0 and len(mirrored) == 2**20
    assert [mirrored.components(i)[1] for i in (0, 1, 2**20 - 1)] == [(1,), (0,), (0,)]

# ------------------------------------------------------ reference cycles

class Mat:
    """A stored matrix that can refer back to whatever holds it."""

    def __init__(self):
        self.owner = None

    def __array__(self, dtype=None, copy=None):
        return np.eye(2, dtype=dtype)


def _direct(m):
    s = store_of(f("unitary", matrix=m))
    return s, s


def _in_block(m):
    outer = store_of(f("block", (0,), block=View(store_of(f("unitary", matrix=m)))))
    return outer, outer


def _in_repeat_base(m):
    view = store_of(f("unitary", matrix=m)).repeat(3)
    return view, view


def _through_sequence_object(m):
    seq = OpchainPacked(1)
    seq.add_gate(QuantumGate("unitary", 0, matrix=m))
    return seq, seq._packed_store_native


@pytest.mark.parametrize("build", [_direct, _in_block, _in_repeat_base, _through_sequence_object])
def test_cycle_through_stored_matrix_is_collected(build):
    m = Mat()
    m.owner, store = build(m)
    assert gc.is_tracked(store)
    gone = weakref.ref(m)
    del m, store
    gc.collect()
    assert gone() is None


def test_collector_leaves_shared_stores_alone():
    # The block snapshot is shared by the outer store and its Python object,
    # and the base by a view and its copy: a cycle through them is kept, and
    # nothing the outer store or the copy still uses is cleared.
    m = Mat()
    outer = store_of(f("block", (0,), block=View(store_of(f("unitary", matrix=m)))))
    m.owner = outer.components(0)[7]
    view = store_of(f("unitary", matrix=Mat())).repeat(2)
    view.components(0)[6].owner = view
    twin = view.copy()
    del m, view
    gc.collect()
    snapshot = outer.components(0)[7]
    assert len(snapshot) == 1 and snapshot.components(0)[6].owner is snapshot
    assert len(twin) == 2 and isinstance(twin.components(1)[6], Mat)
    execute_gate_sequence_packed(1, np.array([1, 0], np.complex128), outer)


# ------------------------------------------------- degenerate repeat views

def test_repeat_of_an_empty_store_is_skipped_at_once():
    empty = OpchainPackedNative()
    huge = empty.repeat(2**64 - 1).repeat(2**64 - 1)
    st = np.array([1, 0], np.complex64)
    outer = store_of(f("block", (0,), block=View(huge)), f("x", (0,)))
    with time_limit(5):
        assert execute_gate_sequence_packed(1, st, huge) == (st, {})
        execute_gate_sequence_packed(1, st, outer)
        assert huge.measurement_plan() == ("none", (), ()) and huge.bulk_supported()
        assert outer.measurement_plan() == ("none", (), ())
    assert st.tolist() == [0, 1]


def test_repeat_of_a_base_without_gates_is_skipped_at_once():
    # Records, but only blocks with nothing in them: no run does anything.
    hollow = store_of(f("block", (0,), block=View(OpchainPackedNative())),
                      f("block", (0,), block=View(OpchainPackedNative().repeat(5))))
    st = np.array([1, 0], np.complex128)
    with time_limit(5):
        for seq in [hollow.repeat(2**61), store_of(f("block", (0,), block=View(hollow.repeat(2**61))), f("x", (0,)))]:
            execute_gate_sequence_packed(1, st, seq)
            assert seq.measurement_plan() == ("none", (), ()) and seq.bulk_supported()
    assert st.tolist() == [0, 1]


MEASURE = f("measure", (0,), classical=(0,))
PLAN_BASES = {
    "measure": [MEASURE],
    "x then measure": [f("x", (1,)), MEASURE],
    "x only": [f("x", (1,))],
    "empty measure and i": [f("measure", (), classical=()), f("i", (1,))],
    "i then empty measure": [f("i", (1,)), f("measure", (), classical=())],
}


def repeated(base, counts):
    s = store_of(*base)
    for times in counts:
        s = s.repeat(times)
    return s


@pytest.mark.parametrize("base", PLAN_BASES)
@pytest.mark.parametrize("counts", [(1,), (2, 1), (3, 1, 1), (1, 2, 1), (2, 2, 1)])
@pytest.mark.parametrize("as_block", [False, True])
def test_plan_of_a_view_matches_its_expansion(base, counts, as_block):
    gates = PLAN_BASES[base]
    view = repeated(gates, counts)
    flat = store_of(*gates * int(np.prod(counts)))
    if as_block:
        view = store_of(f("block", (0, 1), block=View(view)))
        flat = store_of(f("block", (0, 1), block=View(flat)))
    assert view.measurement_plan() == flat.measurement_plan()
    assert view.bulk_supported() == flat.bulk_supported()


@pytest.mark.parametrize("base", PLAN_BASES)
def test_plan_of_a_hugely_repeated_base_costs_the_base(base):
    gates = PLAN_BASES[base]
    small = repeated(gates, (2, 1)).measurement_plan()
    for counts in [(2**40, 1), (2**20, 2**20, 1, 1), (2, 2**40, 1)]:
        with time_limit(5):
            assert repeated(gates, counts).measurement_plan() == small
            nested = store_of(f("block", (0, 1), block=View(repeated(gates, counts))))
            assert nested.measurement_plan() == small

