"""Bit-exact arithmetic of the gates.

Each gate's update is re-evaluated elementwise in NumPy, in the amplitude
precision and in the kernel's order of operations, with sine and cosine taken
from the C runtime (ctypes), and must give the kernel's bits exactly, on
states full of signed zeros and infinities. A NaN produced by an invalid
operation (inf·0, inf − inf) is the processor's default NaN; for those only
NaN-ness is compared.
"""
import ctypes
import ctypes.util

import numpy as np
import pytest

from quorvex.backend.pelmor import strovane

libm = ctypes.CDLL(ctypes.util.find_library("m"))
for name, ctype in [("sinf", ctypes.c_float), ("cosf", ctypes.c_float),
                    ("sin", ctypes.c_double), ("cos", ctypes.c_double)]:
    getattr(libm, name).restype = ctype
    getattr(libm, name).argtypes = [ctype]

REAL = {np.complex64: np.float32, np.complex128: np.float64}
INV_SQRT2 = {np.float32: np.float32(0.70710677), np.float64: np.float64(0.7071067811865476)}


def sin(F, x):
    return F(libm.sinf(x) if F is np.float32 else libm.sin(x))


def cos(F, x):
    return F(libm.cosf(x) if F is np.float32 else libm.cos(x))


def cmul(x, y):
    return (x[0] * y[0] - x[1] * y[1], x[0] * y[1] + x[1] * y[0])


def cadd(x, y):
    return (x[0] + y[0], x[1] + y[1])


def csub(x, y):
    return (x[0] - y[0], x[1] - y[1])


def general(m00, m01, m10, m11):
    def update(a0, a1):
        return cadd(cmul(a0, m00), cmul(a1, m01)), cadd(cmul(a0, m10), cmul(a1, m11))
    return update


def updates(F, theta, phi, lam):
    """Gate name -> (extra call arguments, update of (a0, a1))."""
    z, o, h = F(0), F(1), F(0.5)
    t32 = F(theta)
    half = t32 * h
    c, s = cos(F, half), sin(F, half)
    p = F(phi)
    l = F(lam)
    cp, sp, cl, sl = cos(F, p), sin(F, p), cos(F, l), sin(F, l)
    g = (INV_SQRT2[F], z)
    return {
        "h": ((), lambda a0, a1: (cmul(cadd(a0, a1), g), cmul(csub(a0, a1), g))),
        "x": ((), lambda a0, a1: (a1, a0)),
        "y": ((), lambda a0, a1: (cmul((z, -o), a1), cmul((z, o), a0))),
        "z": ((), lambda a0, a1: (a0, (-a1[0], -a1[1]))),
        "s": ((), lambda a0, a1: (a0, cmul(a1, (z, o)))),
        "sdag": ((), lambda a0, a1: (a0, cmul(a1, (z, -o)))),
        "sqrtx": ((), general((h, h), (h, -h), (h, -h), (h, h))),
        "sqrtxdag": ((), general((h, -h), (h, h), (h, h), (h, -h))),
        "sqrty": ((), general((h, h), (-h, -h), (h, h), (h, h))),
        "sqrtydag": ((), general((h, -h), (h, -h), (-h, h), (h, -h))),
        "phase": ((phi,), lambda a0, a1: (a0, cmul(a1, (cp, sp)))),
        "rz": ((theta,), lambda a0, a1: (cmul(a0, (cos(F, -half), sin(F, -half))),
                                         cmul(a1, (cos(F, half), sin(F, half))))),
        "rx": ((theta,), lambda a0, a1: (cadd(cmul(a0, (c, z)), cmul(a1, (z, -s))),
                                         cadd(cmul(a0, (z, -s)), cmul(a1, (c, z))))),
        "ry": ((theta,), lambda a0, a1: (csub(cmul(a0, (c, z)), cmul(a1, (s, z))),
                                         cadd(cmul(a0, (s, z)), cmul(a1, (c, z))))),
        "u": (([theta, phi, lam],), general(
            (c, z), ((-s) * cl, (-s) * sl), (cp * s, sp * s),
            ((cl * cp - sl * sp) * c, (cl * sp + sl * cp) * c))),
    }


def big_u(F, theta, phi, lam):
    h = F(0.5)
    t, p, l = F(theta), F(phi), F(lam)
    c, s = cos(F, t * h), sin(F, t * h)
    m00 = (c, F(0))
    m01 = (-(s * cos(F, l)), -(s * sin(F, l)))
    m10 = (s * cos(F, p), s * sin(F, p))
    m11 = (c * cos(F, p + l), c * sin(F, p + l))
    return lambda a0, a1: (cadd(cmul(m00, a0), cmul(m01, a1)), cadd(cmul(m10, a0), cmul(m11, a1)))


SPECIAL = [0.0, -0.0, np.inf, -np.inf, 1.5, -2.25, 1e-3, -7.0, 0.3]


def special_state(n, dtype, seed):
    rng = np.random.default_rng(seed)
    F = REAL[dtype]
    parts = rng.choice(np.array(SPECIAL, F), size=(2**n, 2))
    state = np.empty(2**n, dtype)
    state.real, state.imag = parts[:, 0], parts[:, 1]
    return state


def apply_reference(state, target_bit, update):
    F = state.real.dtype.type
    out = state.copy()
    j0 = np.array([j for j in range(state.size) if not j & target_bit])
    j1 = j0 | target_bit
    a0 = (state.real[j0].astype(F), state.imag[j0].astype(F))
    a1 = (state.real[j1].astype(F), state.imag[j1].astype(F))
    with np.errstate(all="ignore"):
        n0, n1 = update(a0, a1)
    out.real[j0], out.imag[j0] = n0
    out.real[j1], out.imag[j1] = n1
    return out


def assert_same_bits(got, want):
    F = got.real.dtype
    g = got.view(F)
    w = want.view(F)
    nan = np.isnan(w)
    assert np.array_equal(np.isnan(g), nan)
    assert np.array_equal(g[~nan].view(f"u{F.itemsize}"), w[~nan].view(f"u{F.itemsize}"))


ANGLES = (0.7, -1.3, 2.1)
GATES = list(updates(np.float64, *ANGLES))


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("n, target", [(1, 0), (2, 1), (3, 0), (3, 1), (4, 2), (5, 4)])
@pytest.mark.parametrize("gate", GATES)
def test_little_gate_bits(gate, n, target, dtype):
    extra, update = updates(REAL[dtype], *ANGLES)[gate]
    for seed in range(3):
        state = special_state(n, dtype, seed)
        want = apply_reference(state, 1 << target, update)
        getattr(strovane, gate + "_little")(n, state, [], [], target, *extra)
        assert_same_bits(state, want)


BIG = ["h", "x", "y", "s", "sdag", "z", "phase", "rx", "ry", "rz", "u"]


@pytest.mark.parametrize("n, target", [(1, 0), (3, 2), (3, 0), (4, 1)])
@pytest.mark.parametrize("gate", BIG)
def test_big_gate_bits(gate, n, target):
    extra, update = updates(np.float32, *ANGLES)[gate]
    if gate == "u":
        update = big_u(np.float32, *ANGLES)
    for seed in range(3):
        state = special_state(n, np.complex64, seed)
        want = apply_reference(state, 1 << (n - 1 - target), update)
        getattr(strovane, gate)(n, state, [], [], target, *extra)
        assert_same_bits(state, want)


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("n, targets", [
    (3, [1]), (3, [0, 2]), (3, [2, 1]), (5, [0]), (5, [3]),
    (5, [1, 0]), (5, [4, 2]), (5, [0, 4, 2]), (5, [3, 1, 2, 4]),
])
def test_unitary_bits(n, targets, dtype):
    F = REAL[dtype]
    dim = 1 << len(targets)
    rng = np.random.default_rng(9)
    matrix = (rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))).astype(dtype)
    state = special_state(n, dtype, 4)
    want = state.copy()
    for j in range(state.size):
        if any(j >> q & 1 for q in targets):
            continue
        idx = [j | sum(1 << targets[l] for l in range(len(targets)) if r >> l & 1)
               for r in range(dim)]
        g = state[idx]
        for r in range(dim):
            re, im = F(0), F(0)
            with np.errstate(all="ignore"):
                for c in range(dim):
                    m = matrix[r, c]
                    re = re + (m.real * g[c].real - m.imag * g[c].imag)
                    im = im + (m.real * g[c].imag + m.imag * g[c].real)
            want.real[idx[r]], want.imag[idx[r]] = re, im
    strovane.unitary_little(n, state, [], [], targets, matrix)
    assert_same_bits(state, want)


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
def test_moves_and_sign_flips_round_trip_every_bit(dtype):
    # X, Z and SWAP only move bits or flip signs: twice is the identity, NaN
    # payloads and signed zeros included.
    F = REAL[dtype]
    u = np.dtype(f"u{np.dtype(F).itemsize}")
    rng = np.random.default_rng(3)
    raw = rng.integers(0, np.iinfo(u).max, size=2 * 32, dtype=u, endpoint=True)
    state = raw.view(F).view(dtype).copy()
    before = state.view(u).copy()
    for call in (lambda: strovane.x_little(5, state, [], [], 2),
                 lambda: strovane.z_little(5, state, [1], [1], 0),
                 lambda: strovane.swap_little(5, state, [], [], [0, 4])):
        call()
        call()
        assert np.array_equal(state.view(u), before)


def test_named_edge_values():
    s = np.array([np.inf, 0], np.complex64)
    strovane.s_little(1, s, [], [], 0)
    assert np.isinf(s[0].real) and s[0].imag == 0  # a0 untouched
    s = np.array([0, complex(np.inf, 0)], np.complex64)
    with np.errstate(all="ignore"):
        strovane.s_little(1, s, [], [], 0)
    assert np.isnan(s[1].real) and s[1].imag == np.inf
    h = np.array([1, 0], np.complex128)
    strovane.h_little(1, h, [], [], 0)
    assert h[0].real == h[1].real == 0.7071067811865476 and h[0].imag == h[1].imag == 0
    v = np.array([0.25 + 0.5j, -1.5 + 2j], np.complex128)
    for gate in ("rx_little", "ry_little", "phase_little"):
        w = v.copy()
        getattr(strovane, gate)(1, w, [], [], 0, 0.0)
        assert np.array_equal(w, v)
    w = v.copy()
    strovane.s_little(1, w, [], [], 0)
    strovane.sdag_little(1, w, [], [], 0)
    assert np.array_equal(w, v)
