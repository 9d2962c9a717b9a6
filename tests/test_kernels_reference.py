"""Every gate function against a plain NumPy reference.

The reference applies the textbook matrix of each gate, in complex128, to the
amplitude groups selected by the targets and controls; qubit q is bit q of the
index in little-endian order and bit n-1-q in big-endian order. Gates that
only move or sign-flip bits (X, Z, SWAP) must match exactly.
"""
import cmath
import math

import numpy as np
import pytest

from quorvex.backend.pelmor import strovane

N = 5
R2 = 1 / math.sqrt(2)
THETA, PHI, LAM = 0.7, -1.3, 2.1


def rx(t):
    c, s = math.cos(t / 2), math.sin(t / 2)
    return np.array([[c, -1j * s], [-1j * s, c]])


def ry(t):
    c, s = math.cos(t / 2), math.sin(t / 2)
    return np.array([[c, -s], [s, c]])


def rz(t):
    return np.diag([cmath.exp(-0.5j * t), cmath.exp(0.5j * t)])


def u3(t, p, l):
    c, s = math.cos(t / 2), math.sin(t / 2)
    return np.array([[c, -cmath.exp(1j * l) * s],
                     [cmath.exp(1j * p) * s, cmath.exp(1j * (p + l)) * c]])


SQRTX = 0.5 * np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]])
SQRTY = 0.5 * np.array([[1 + 1j, -1 - 1j], [1 + 1j, 1 + 1j]])

# name -> (matrix, extra arguments after the target, exact?)
SINGLE = {
    "x": (np.array([[0, 1], [1, 0]]), (), True),
    "h": (R2 * np.array([[1, 1], [1, -1]]), (), False),
    "z": (np.diag([1, -1]), (), True),
    "y": (np.array([[0, -1j], [1j, 0]]), (), False),
    "s": (np.diag([1, 1j]), (), False),
    "sdag": (np.diag([1, -1j]), (), False),
    "sqrtx": (SQRTX, (), False),
    "sqrtxdag": (SQRTX.conj().T, (), False),
    "sqrty": (SQRTY, (), False),
    "sqrtydag": (SQRTY.conj().T, (), False),
    "phase": (np.diag([1, cmath.exp(1j * PHI)]), (PHI,), False),
    "rx": (rx(THETA), (THETA,), False),
    "ry": (ry(THETA), (THETA,), False),
    "rz": (rz(THETA), (THETA,), False),
    "u": (u3(THETA, PHI, LAM), ([THETA, PHI, LAM],), False),
}
BIG = ["h", "x", "y", "s", "sdag", "z", "phase", "rx", "ry", "rz", "u"]

# (targets, controls, control values): no control, one, two with mixed values
LAYOUTS = [
    (0, [], []),
    (4, [], []),
    (2, [0], [1]),
    (1, [3], [0]),
    (0, [4, 2], [1, 0]),
    (3, [1, 4], [0, 1]),
]


def reference(state, matrix, targets, controls, values, order):
    """Applies matrix (targets[0] = least significant matrix bit) in complex128."""
    n = int(state.size).bit_length() - 1
    bit = (lambda q: 1 << q) if order == "little" else (lambda q: 1 << (n - 1 - q))
    tmask = sum(bit(q) for q in targets)
    # A qubit listed with values 0 and 1 must be 1.
    cmask = 0
    cval = 0
    for q, v in zip(controls, values):
        cmask |= bit(q)
        if v == 1:
            cval |= bit(q)
    src = state.astype(np.complex128)
    out = src.copy()
    dim = 1 << len(targets)
    for j in range(state.size):
        if j & tmask or (j & cmask) != cval:
            continue
        idx = [j | sum(bit(targets[l]) for l in range(len(targets)) if r >> l & 1)
               for r in range(dim)]
        out[idx] = matrix @ src[idx]
    return out


def random_state(n, dtype, seed):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return (v / np.linalg.norm(v)).astype(dtype)


def assert_matches(got, want, dtype, exact):
    if exact:
        assert np.array_equal(got, want.astype(dtype))
    else:
        tol = 2e-6 if dtype == np.complex64 else 1e-13
        np.testing.assert_allclose(got, want, rtol=0, atol=tol)


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("gate", list(SINGLE))
def test_single_target_little(gate, layout, dtype):
    matrix, extra, exact = SINGLE[gate]
    target, controls, values = layout
    state = random_state(N, dtype, 1)
    want = reference(state, matrix, [target], controls, values, "little")
    got = getattr(strovane, gate + "_little")(N, state, controls, values, target, *extra)
    assert got is state
    assert_matches(state, want, dtype, exact)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("gate", BIG)
def test_single_target_big(gate, layout):
    matrix, extra, exact = SINGLE[gate]
    target, controls, values = layout
    state = random_state(N, np.complex64, 2)
    want = reference(state, matrix, [target], controls, values, "big")
    got = getattr(strovane, gate)(N, state, controls, values, target, *extra)
    assert got is state
    assert_matches(state, want, np.complex64, exact)


SWAP = np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]])
SWAP_LAYOUTS = [
    ([0, 1], [], []),
    ([4, 1], [], []),
    ([3, 0], [2], [1]),
    ([1, 4], [0, 3], [0, 1]),
]


@pytest.mark.parametrize("layout", SWAP_LAYOUTS)
@pytest.mark.parametrize("func, dtype, order", [
    ("swap_little", np.complex64, "little"),
    ("swap_little", np.complex128, "little"),
    ("test", np.complex64, "little"),
    ("swap", np.complex64, "big"),
])
@pytest.mark.parametrize("runopenmp", [True, False])
def test_swap(func, dtype, order, layout, runopenmp):
    targets, controls, values = layout
    state = random_state(N, dtype, 3)
    want = reference(state, SWAP, targets, controls, values, order)
    out = getattr(strovane, func)(N, state, controls, values, targets, runopenmp)
    assert out is state
    assert np.array_equal(state, want.astype(dtype))


def random_unitary(dim, seed):
    rng = np.random.default_rng(seed)
    q, r = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q * (np.diag(r) / abs(np.diag(r)))


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("targets, controls, values", [
    ([1], [], []),
    ([2, 0], [], []),
    ([0, 3], [4], [1]),
    ([4, 1, 2], [0, 3], [0, 1]),
    ([3, 0, 4, 1], [2], [1]),
    ([2, 4, 0, 3, 1], [], []),
])
def test_unitary(targets, controls, values, dtype):
    matrix = random_unitary(1 << len(targets), 4)
    state = random_state(N, dtype, 5)
    want = reference(state, matrix.astype(dtype), targets, controls, values, "little")
    out = strovane.unitary_little(N, state, controls, values, targets, matrix)
    assert out is state
    assert_matches(state, want, dtype, exact=False)


def test_unitary_target_order_sets_matrix_bits():
    # Targets (2, 0): matrix index 1 is qubit 2 set, index 2 is qubit 0 set.
    state = np.zeros(8, np.complex128)
    state[4] = 1  # qubit 2 set, qubit 0 clear
    perm = np.zeros((4, 4))
    perm[2, 1] = perm[1, 2] = perm[0, 0] = perm[3, 3] = 1
    strovane.unitary_little(3, state, [], [], [2, 0], perm)
    assert state[1] == 1 and np.count_nonzero(state) == 1


def test_repeated_control_with_both_values_requires_one():
    state = random_state(3, np.complex128, 6)
    before = state.copy()
    strovane.x_little(3, state, [2, 2], [0, 1], 0)
    want = reference(before, SINGLE["x"][0], [0], [2], [1], "little")
    assert np.array_equal(state, want)


def test_big_endian_control_value_other_than_one_means_zero():
    state = random_state(3, np.complex64, 7)
    before = state.copy()
    strovane.x(3, state, [1], [2], 0)
    want = reference(before, SINGLE["x"][0], [0], [1], [0], "big")
    assert np.array_equal(state, want.astype(np.complex64))


def test_big_endian_hadamard_fills_most_significant_bit():
    state = np.array([1, 0, 0, 0], np.complex64)
    strovane.h(2, state, [], [], 0)
    assert state.tolist() == [np.float32(0.70710677), 0, np.float32(0.70710677), 0]
    little = np.array([1, 0, 0, 0], np.complex64)
    strovane.h_little(2, little, [], [], 0)
    assert little.tolist() == [np.float32(0.70710677), np.float32(0.70710677), 0, 0]


def test_swap_edge_cases():
    base = np.arange(4, dtype=np.complex128)
    for targets in ([0, 1], [1, 0]):
        state = base.copy()
        strovane.swap_little(2, state, [], [], targets)
        assert state.tolist() == [0, 2, 1, 3]
    state = base.copy()
    strovane.swap_little(2, state, [], [], [1, 1])
    assert state.tolist() == base.tolist()
    # A control on a target that the exchanged index already satisfies has no
    # effect; the opposite value selects nothing.
    state = base.copy()
    strovane.swap_little(2, state, [0, 1], [0, 1], [0, 1])
    assert state.tolist() == [0, 2, 1, 3]
    state = base.copy()
    strovane.swap_little(2, state, [0], [1], [0, 1])
    assert state.tolist() == base.tolist()
    # Entries after the first two targets are not used.
    state = base.copy()
    strovane.swap_little(2, state, [], [], [0, 1, 7])
    assert state.tolist() == [0, 2, 1, 3]
    state = np.arange(4, dtype=np.complex64)
    strovane.test(2, state, [], [], [0, 1], False)
    assert state.tolist() == [0, 2, 1, 3]
