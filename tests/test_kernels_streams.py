"""Low targets on states too large for the caches give the bits of a high target.

From 32 MiB on, a gate whose pairs lie close together walks several far
apart stretches of the state side by side instead of one ascending stream.
Relabelling two qubits turns a gate on a low target into the same gate on a
high one, whose walk is the plain one: applied to the relabelled state, it
must give the relabelled result bit for bit, serially and in parallel, with
and without controls.
"""
import numpy as np
import pytest

from quorvex.backend.pelmor import strovane as m

# The smallest states walked abreast, and the targets whose partners lie
# within 4 KiB there (every low-target block length, and the plain loop).
SIZES = {np.complex64: 22, np.complex128: 21}
TARGETS = {np.complex64: (0, 1, 2, 3, 4, 8), np.complex128: (0, 1, 2, 4, 7)}


def gates(n, st, controls, values, t, omp):
    m.h_little(n, st, controls, values, t, omp)
    m.y_little(n, st, controls, values, t, omp)
    m.s_little(n, st, controls, values, t, omp)
    m.sqrtx_little(n, st, controls, values, t, omp)
    m.rx_little(n, st, controls, values, t, 0.731, omp)
    m.rz_little(n, st, controls, values, t, -1.9, omp)
    m.u_little(n, st, controls, values, t, [0.3, -1.1, 2.5], omp)
    m.x_little(n, st, controls, values, t, omp)


def relabel(st, n, a, b):
    """The state with qubits a and b exchanged (qubit q is bit q of the index)."""
    axes = st.reshape((2,) * n)
    return np.ascontiguousarray(np.swapaxes(axes, n - 1 - a, n - 1 - b)).reshape(-1)


@pytest.fixture(scope="module")
def states():
    rng = np.random.default_rng(11)
    out = {}
    for dtype, n in SIZES.items():
        real = rng.standard_normal((2, 2**n), dtype=np.float32 if dtype == np.complex64 else np.float64)
        st = np.empty(2**n, dtype)
        st.real, st.imag = real
        out[dtype] = st
    return out


# (controls as a function of n and t, values, runopenmp)
CONTROLS = [
    (lambda n, t: [], [], False),
    (lambda n, t: [], [], True),
    (lambda n, t: [n - 2], [1], False),
    (lambda n, t: [n - 2, 5 if t < 5 else 0], [1, 0], True),
]


@pytest.mark.parametrize("controls, values, omp", CONTROLS)
@pytest.mark.parametrize("dtype", list(SIZES))
def test_low_target_matches_high_target(states, dtype, controls, values, omp):
    n = SIZES[dtype]
    far = n - 1
    for t in TARGETS[dtype]:
        ctl = controls(n, t)
        low = states[dtype].copy()
        gates(n, low, ctl, values, t, omp)
        high = relabel(states[dtype], n, t, far)
        gates(n, high, [far if c == t else c for c in ctl], values, far, omp)
        same = relabel(high, n, t, far).view(np.uint8) == low.view(np.uint8)
        assert same.all(), f"target {t}: first difference at byte {np.argmin(same)}"
