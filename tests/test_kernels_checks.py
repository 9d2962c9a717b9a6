"""Argument checks of the gate functions, their order, and the module surface.

An input that fails several checks reports the first one; nothing of the
state is touched when a check fails.
"""
import numpy as np
import pytest

from quorvex.backend.pelmor import strovane

NAMES = [
    "x_little", "h_little", "z_little", "y_little", "s_little", "sdag_little",
    "sqrtx_little", "sqrtxdag_little", "sqrty_little", "sqrtydag_little",
    "phase_little", "rx_little", "ry_little", "rz_little", "u_little",
    "unitary_little", "swap_little", "test", "openmp_enabled", "max_threads",
    "h", "x", "y", "s", "sdag", "z", "phase", "rx", "ry", "rz", "u", "swap",
]
FIXED_LITTLE = NAMES[:10]
ANGLE_LITTLE = NAMES[10:14]
FIXED_BIG = ["h", "x", "y", "s", "sdag", "z"]
ANGLE_BIG = ["phase", "rx", "ry", "rz"]


def state(n=3, dtype=np.complex64):
    return np.arange(2**n).astype(dtype)


def read_only(a):
    a.flags.writeable = False
    return a


def call_single(name, n, st, controls, values, target):
    extra = {"u_little": ([0.1, 0.2, 0.3],), "u": ([0.1, 0.2, 0.3],)}.get(
        name, (0.5,) if name in ANGLE_LITTLE + ANGLE_BIG else ())
    return getattr(strovane, name)(n, st, controls, values, target, *extra)


def expect(message, func, *args):
    with pytest.raises(RuntimeError) as info:
        func(*args)
    assert str(info.value) == message


# (n, state, controls, values, target) -> first failing message
SINGLE_TARGET_CASES = [
    (3, read_only(np.zeros((2, 4), np.complex64)), [], [], 0, "state must be 1D"),
    (3, np.zeros(16, np.complex64)[::2], [], [], 0, "state must be C-contiguous"),
    (3, np.zeros(8, np.complex64)[::-1], [], [], 0, "state must be C-contiguous"),
    (3, read_only(np.zeros(8, np.complex64)), [], [], 9, "state must be writable"),
    (0, np.zeros(1, np.complex64), [], [], 0, "n must be in range [1, 62]"),
    (63, np.zeros(8, np.complex64), [], [], 0, "n must be in range [1, 62]"),
    (62, np.zeros(8, np.complex64), [], [], 0, "state size must be equal to 2**n"),
    (3, np.zeros(4, np.complex64), [], [], 0, "state size must be equal to 2**n"),
    (3, state(), [1], [], 5, "control_indices and control_sequence must have the same length"),
    (3, state(), [1], [1, 0], 5, "control_indices and control_sequence must have the same length"),
    (3, state(), [3], [2], 3, "target_index out of range"),
    (3, state(), [], [], -1, "target_index out of range"),
    (3, state(), [3], [2], 0, "control index out of range"),
    (3, state(), [-1], [1], 0, "control index out of range"),
    (3, state(), [0], [2], 0, "target_index cannot also be a control index"),
    (3, state(), [1], [2], 0, "control_sequence must contain only 0 or 1"),
    (3, state(), [1, 5], [2, 1], 0, "control_sequence must contain only 0 or 1"),
    (3, state(), [1, 5], [1, 2], 0, "control index out of range"),
    (3, state(3, np.float64), [], [], 0,
     "unsupported state dtype: expected np.complex64 or np.complex128"),
    (3, state().astype(">c8"), [], [], 0,
     "unsupported state dtype: expected np.complex64 or np.complex128"),
]


@pytest.mark.parametrize("name", NAMES[:15])
@pytest.mark.parametrize("n, st, controls, values, target, message", SINGLE_TARGET_CASES)
def test_single_target_check_order(name, n, st, controls, values, target, message):
    before = st.copy()
    expect(message, call_single, name, n, st, controls, values, target)
    assert np.array_equal(st, before)


def test_u_little_parameter_count():
    expect("u_little parameter must have size 3",
           strovane.u_little, 3, state(), [], [], 0, [0.1, 0.2])
    expect("u_little parameter must have size 3",
           strovane.u_little, 3, state(3, np.complex128), [], [], 0, [0.1, 0.2, 0.3, 0.4])
    expect("unsupported state dtype: expected np.complex64 or np.complex128",
           strovane.u_little, 3, state(3, np.float64), [], [], 0, [0.1, 0.2])


I4 = np.eye(4)
UNITARY_CASES = [
    (read_only(np.zeros((2, 4), np.complex64)), [], [], [0], I4, "state must be 1D"),
    (np.zeros(16, np.complex64)[::2], [], [], [0], I4, "state must be C-contiguous"),
    (read_only(state()), [], [], [], I4, "state must be writable"),
    (state(2), [], [], [0, 1], I4, "state size must be equal to 2**n"),
    (state(), [0], [], [], I4, "control_indices and control_sequence must have the same length"),
    (state(), [], [], [], I4, "target_indices size must be in range [1, 62]"),
    (state(), [], [], [0] * 63, I4, "target_indices size must be in range [1, 62]"),
    (state(), [], [], [0, 1], np.eye(2), "matrix shape must be (2**num_targets, 2**num_targets)"),
    (state(), [], [], [0, 1], np.ones(16), "matrix shape must be (2**num_targets, 2**num_targets)"),
    (state(), [], [], [9, 9], I4, "target index out of range"),
    (state(), [], [], [1, 1], I4, "duplicate qubit index"),
    (state(), [], [], [1, -1], I4, "target index out of range"),
    (state(), [7], [1], [0, 1], I4, "control index out of range"),
    (state(), [2], [2], [0, 1], I4, "control_sequence must contain only 0 or 1"),
    (state(), [1], [1], [0, 1], I4, "control index cannot also be a target or duplicate control"),
    (state(), [2, 2], [1, 0], [0, 1], I4,
     "control index cannot also be a target or duplicate control"),
    (state(3, np.float64), [], [], [0, 1], I4,
     "unsupported state dtype: expected np.complex64 or np.complex128"),
]


@pytest.mark.parametrize("st, controls, values, targets, matrix, message", UNITARY_CASES)
def test_unitary_check_order(st, controls, values, targets, matrix, message):
    before = st.copy()
    expect(message, strovane.unitary_little, 3, st, controls, values, targets, matrix)
    assert np.array_equal(st, before)


def test_unitary_matrix_conversion_leaves_caller_matrix_alone():
    matrix = np.array([[0, 1], [1, 0]], np.complex128)
    keep = matrix.copy()
    st = state(2, np.complex64)
    strovane.unitary_little(2, st, [], [], [0], matrix)  # narrowed to complex64
    assert st.tolist() == [1, 0, 3, 2]
    assert np.array_equal(matrix, keep)
    st = state(2, np.complex128)
    strovane.unitary_little(2, st, [], [], [1], np.array([[0.0, 1.0], [1.0, 0.0]]).T)
    assert st.tolist() == [2, 3, 0, 1]
    with pytest.raises((TypeError, ValueError)):
        strovane.unitary_little(2, st, [], [], [0], np.array([["a", "b"], ["c", "d"]]))


SWAP_MESSAGE = "target_indices must hold two qubit indices in range [0, n)"
SWAP_CASES = [
    (3, read_only(np.zeros((2, 4), np.complex64)), [], [], [0, 1], "state must be 1D"),
    (3, read_only(state()), [], [], [0], "state must be writable"),
    (0, state(), [], [], [0, 1], "n must be in range [1, 62]"),
    (4, state(), [], [], [0, 1], "state size must be equal to 2**n"),
    (3, state(), [0], [], [0], "control_indices and control_sequence must have the same length"),
    (3, state(), [], [], [], SWAP_MESSAGE),
    (3, state(), [], [], [1], SWAP_MESSAGE),
    (3, state(), [9], [1], [0, 3], SWAP_MESSAGE),
    (3, state(), [9], [1], [-1, 0], SWAP_MESSAGE),
    (3, state(), [9], [1], [0, 1], "control index out of range"),
]


@pytest.mark.parametrize("func", ["swap_little", "swap", "test"])
@pytest.mark.parametrize("n, st, controls, values, targets, message", SWAP_CASES)
def test_swap_checks(func, n, st, controls, values, targets, message):
    st = st.copy() if st.flags.writeable else st
    before = st.copy()
    expect(message, getattr(strovane, func), n, st, controls, values, targets, True)
    assert np.array_equal(st, before)


@pytest.mark.parametrize("controls, values, message", [
    ([0], [1], "target_index cannot also be a control index"),
    ([1], [0], "target_index cannot also be a control index"),
    ([2, 1], [1, 1], "target_index cannot also be a control index"),
    ([2, 2], [0, 1], None),
    ([9, 0], [1, 1], "control index out of range"),
    ([0, 9], [1, 1], "target_index cannot also be a control index"),
])
def test_big_endian_swap_refuses_control_on_target(controls, values, message):
    # Little-endian SWAP defines a control on a target (already satisfied or
    # selecting nothing); the big-endian function refuses it, as its
    # single-target functions do.
    st = state()
    before = st.copy()
    if message is None:
        strovane.swap(3, st, controls, values, [0, 1])
        assert st.tolist() == [0, 1, 2, 5, 4, 3, 6, 7]  # qubit 2 is the low bit
    else:
        expect(message, strovane.swap, 3, st, controls, values, [0, 1])
        assert np.array_equal(st, before)


def test_swap_little_checks_layout_then_dtype():
    expect("state must be C-contiguous", strovane.swap_little, 3,
           np.zeros(16, np.complex64)[::2], [], [], [0, 1])
    expect("unsupported state dtype: expected np.complex64 or np.complex128",
           strovane.swap_little, 3, state(3, np.float64), [], [], [0, 1])


BIG_CASES = [
    (3, read_only(np.zeros((2, 4), np.complex64)), [], [], 0, "state must be 1D"),
    (3, read_only(state()), [], [], 0, "state must be writable"),
    (63, state(), [], [], 0, "n must be in range [1, 62]"),
    (2, state(), [], [], 0, "state size must be equal to 2**n"),
    (3, state(), [1, 2], [1], 9, "control_indices and control_sequence must have the same length"),
    (3, state(), [9], [1], 3, "target_index out of range"),
    (3, state(), [9], [1], 0, "control index out of range"),
    (3, state(), [0], [5], 0, "target_index cannot also be a control index"),
]


@pytest.mark.parametrize("name", FIXED_BIG + ANGLE_BIG + ["u"])
@pytest.mark.parametrize("n, st, controls, values, target, message", BIG_CASES)
def test_big_endian_checks(name, n, st, controls, values, target, message):
    before = st.copy()
    expect(message, call_single, name, n, st, controls, values, target)
    assert np.array_equal(st, before)


def test_returned_object_is_the_argument_and_changed_in_place():
    for name in NAMES[:15]:
        st = state()
        before = st.copy()
        assert call_single(name, 3, st, [], [], 1) is st
        if name not in ("z_little", "s_little", "sdag_little", "phase_little", "rz_little"):
            assert not np.array_equal(st, before), name
    st = state()
    assert strovane.swap_little(3, st, [], [], [0, 2]) is st
    assert strovane.unitary_little(3, st, [], [], [0], np.eye(2)) is st
    assert strovane.test(3, st, [], [], [0, 2], False) is st
    assert strovane.h(3, st, [], [], 0) is st
    assert strovane.swap(3, st, [], [], [0, 2]) is st


def test_big_endian_state_conversion():
    # A non-contiguous, reversed or byte-swapped complex64 array, or a float32
    # array, is converted: the gate changes and returns a new array and the
    # caller's array stays as it was.
    for source in ((np.arange(16) / 2).astype(np.complex64)[::2], state()[::-1],
                   state().astype(">c8"), np.arange(8, dtype=np.float32)):
        before = source.copy()
        want = np.ascontiguousarray(source, np.complex64)[[4, 5, 6, 7, 0, 1, 2, 3]]
        out = strovane.x(3, source, [], [], 0)
        assert out is not source and out.dtype == np.complex64
        assert np.array_equal(source, before)
        assert np.array_equal(out, want)

    class Sub(np.ndarray):
        pass

    sub = state().view(Sub)
    out = strovane.x(3, sub, [], [], 0)
    assert type(out) is np.ndarray and np.shares_memory(out, sub)
    assert sub.tolist() == [4, 5, 6, 7, 0, 1, 2, 3]
    with pytest.raises(TypeError):
        strovane.x(3, state(3, np.complex128), [], [], 0)
    with pytest.raises(TypeError):
        strovane.x(3, state(3, np.float64), [], [], 0)


def test_module_surface():
    # Nothing but the store and the 32 functions, not even a private name.
    names = [k for k in vars(strovane) if not k.startswith("__")]
    assert names == ["OpchainPackedNative", "execute_gate_sequence_packed"] + NAMES
    assert strovane.openmp_enabled() is True
    assert isinstance(strovane.max_threads(), int) and strovane.max_threads() >= 1


HEAD = dict(n=2, control_indices=[], control_sequence=[])


@pytest.mark.parametrize("name, keywords", (
    [(name, dict(target_index=0)) for name in FIXED_LITTLE + FIXED_BIG]
    + [(name, dict(target_index=0, parameter=0.5)) for name in ANGLE_LITTLE + ANGLE_BIG]
    + [("u_little", dict(target_index=0, parameters=[0.1, 0.2, 0.3])),
       ("u", dict(target_index=0, parameter=[0.1, 0.2, 0.3])),
       ("unitary_little", dict(target_indices=[0], matrix=np.eye(2))),
       ("swap_little", dict(target_indices=[0, 1])),
       ("swap", dict(target_indices=[0, 1]))]
))
def test_keywords_and_runopenmp_default(name, keywords):
    func = getattr(strovane, name)
    a = state(2)
    func(state=a, **HEAD, **keywords)
    b = state(2)
    func(state=b, runopenmp=False, **HEAD, **keywords)
    assert np.array_equal(a, b)


def test_binding_refusals():
    with pytest.raises(TypeError):
        strovane.test(2, state(2), [], [], [0, 1])  # runopenmp has no default
    for angles in ([0.1, 0.2], [0.1, 0.2, 0.3, 0.4]):
        with pytest.raises(TypeError):
            strovane.u(2, state(2), [], [], 0, angles)
    with pytest.raises(TypeError):
        strovane.x_little(2.0, state(2), [], [], 0)
    with pytest.raises(TypeError):
        strovane.x_little(2, list(state(2)), [], [], 0)
    with pytest.raises(TypeError):
        strovane.x_little(2, state(2), "01", [1, 1], 0)
