"""Near pairs of states too large for the caches give the bits of a high target, in every walk.

From 32 MiB on, a gate whose pairs lie fewer than 512 bytes apart may walk
several far apart stretches of the state side by side instead of one
ascending stream, and one whose pairs lie 512 bytes to 8 KiB apart may
prefetch its blocks ahead; the first gates of each class (kind of gate,
precision, pair distance, controls or none, state size, serial or parallel)
take both walks in turn and the class keeps the faster, or tries again when
its gates later fall behind (the trials' rules are checked with stand-in
timings), and QUORVEX_WALK forces one. Relabelling two qubits turns a gate on a low target
into the same gate on a high one, whose walk is always the plain one: applied
to the relabelled state, it must give the relabelled result bit for bit,
serially and in parallel, with and without controls, under each walk (forced
here through the module's hooks, whatever this machine would choose) and
while the classes measure.
"""
import ctypes
import os
import subprocess
import sys

import numpy as np
import pytest

from quorvex.backend.pelmor import strovane as m

# The smallest states walked in streams or ahead. Under each walk, the targets
# it may take (for the streams every low-target block length, the plain
# loop's shortest runs and the last near one; for the prefetch the first, a
# middle and the last middle one) and the first beyond them, which walks
# plainly; the plain and the measuring walk go over near, middle and far ones.
SIZES = {np.complex64: 22, np.complex128: 21}
TARGETS = {
    "plain": {np.complex64: (0, 3, 6, 11), np.complex128: (0, 3, 5, 10)},
    "streams": {np.complex64: (0, 1, 2, 3, 4, 5, 6), np.complex128: (0, 1, 2, 3, 4, 5)},
    "ahead": {np.complex64: (6, 8, 10, 11), np.complex128: (5, 7, 9, 10)},
    "auto": {np.complex64: (0, 4, 6, 8, 10), np.complex128: (0, 3, 5, 7, 9)},
}
NEAR_BYTES = 512
AHEAD_BYTES = 16 * 1024
WALKS = ("plain", "streams", "ahead")
# The hook's answer for a class that is still measuring.
MEASURING = "auto"


def hooks():
    lib = ctypes.CDLL(m.__file__)
    lib.quorvex_walk.restype = ctypes.c_char_p
    lib.quorvex_set_walk.argtypes = [ctypes.c_char_p]
    lib.quorvex_gate_walk.restype = ctypes.c_char_p
    lib.quorvex_gate_walk.argtypes = [ctypes.c_char_p] + [ctypes.c_int64] * 5
    lib.quorvex_gate_walk_timed.restype = ctypes.c_char_p
    lib.quorvex_gate_walk_timed.argtypes = [ctypes.c_char_p] + [ctypes.c_int64] * 5 + [ctypes.c_double] * 2
    return lib


def walk_of(lib, gate, amp, n, t, controls, omp):
    return lib.quorvex_gate_walk(gate.encode(), amp, n, t, controls, omp).decode()


@pytest.fixture
def walk():
    """Sets the walk a test asks for, and the one in use before it afterwards."""
    lib = hooks()
    before = lib.quorvex_walk()
    yield lambda name: lib.quorvex_set_walk(name.encode()) == 0 or pytest.fail(name)
    assert lib.quorvex_set_walk(before) == 0


# The gates `gates` applies, as the walk hooks name them.
GATES = ("h", "y", "s", "sqrtx", "rx", "rz", "u", "x")


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


@pytest.mark.parametrize("name", WALKS + ("auto",))
@pytest.mark.parametrize("controls, values, omp", CONTROLS)
@pytest.mark.parametrize("dtype", list(SIZES))
def test_low_target_matches_high_target(states, walk, name, dtype, controls, values, omp):
    walk(name)
    n = SIZES[dtype]
    far = n - 1
    itemsize = np.dtype(dtype).itemsize
    for t in TARGETS[name][dtype]:
        distance = 2**t * itemsize
        takes = "streams" if distance < NEAR_BYTES else "ahead" if distance < AHEAD_BYTES else None
        ctl = controls(n, t)
        if name != "auto":
            expected = name if name == takes else "plain"
            for gate in GATES:
                assert walk_of(hooks(), gate, itemsize, n, t, len(ctl), omp) == expected
        low = states[dtype].copy()
        gates(n, low, ctl, values, t, omp)
        high = relabel(states[dtype], n, t, far)
        gates(n, high, [far if c == t else c for c in ctl], values, far, omp)
        same = relabel(high, n, t, far).view(np.uint8) == low.view(np.uint8)
        assert same.all(), f"target {t}: first difference at byte {np.argmin(same)}"


@pytest.mark.parametrize("forced, cases", [
    ("streams", [  # (amplitude bytes, n, target, walk)
        (8, 22, 0, "streams"), (8, 22, 5, "streams"), (8, 22, 6, "plain"),
        (16, 21, 4, "streams"), (16, 21, 5, "plain"), (16, 21, 20, "plain"),
        (8, 21, 0, "plain"), (16, 20, 0, "plain"),  # below 32 MiB
    ]),
    ("ahead", [
        (8, 22, 5, "plain"), (8, 22, 6, "ahead"), (8, 22, 10, "ahead"), (8, 22, 11, "plain"),
        (16, 21, 4, "plain"), (16, 21, 5, "ahead"), (16, 21, 9, "ahead"), (16, 21, 10, "plain"),
        (8, 21, 6, "plain"), (16, 20, 5, "plain"),  # below 32 MiB
    ]),
])
def test_which_gates_take_a_forced_walk(walk, forced, cases):
    walk(forced)
    lib = hooks()
    for amp, n, t, expected in cases:
        for controls in (0, 2):
            for omp in (0, 1):
                assert walk_of(lib, "h", amp, n, t, controls, omp) == expected, (amp, n, t, controls)


def test_each_class_measures_its_walk(walk):
    lib = hooks()
    n = SIZES[np.complex64]
    st = np.zeros(2**n, np.complex64)
    st[0] = 1
    expected = st.copy()
    walk("plain")
    for _ in range(12):
        m.h_little(n, expected, [], [], 2, False)
    assert lib.quorvex_set_walk(b"auto") == 0
    assert lib.quorvex_walk().decode() == "auto"
    classes = [(gate, amp, t, controls, omp) for gate in GATES for amp, measured in ((8, 11), (16, 10))
               for t in range(measured) for controls in (0, 1) for omp in (0, 1)]
    assert {walk_of(lib, *c[:2], n, *c[2:]) for c in classes} == {MEASURING}
    # H's gates measure H's class alone: not RX's, though both touch the
    # same pairs, nor that of any other target, size or precision.
    for _ in range(12):
        m.h_little(n, st, [], [], 2, False)
    assert st.tobytes() == expected.tobytes()
    others = [c for c in classes if c != ("h", 8, 2, 0, 0)]
    assert {walk_of(lib, *c[:2], n, *c[2:]) for c in others} == {MEASURING}
    assert walk_of(lib, "h", 8, n + 1, 2, 0, 0) == MEASURING  # another size
    # A name of no walk changes nothing.
    chosen = walk_of(lib, "h", 8, n, 2, 0, 0)
    for bad in (b"bogus", b"Streams", b"plain,streams"):
        assert lib.quorvex_set_walk(bad) == -1
        assert lib.quorvex_walk().decode() == "auto"
        assert walk_of(lib, "h", 8, n, 2, 0, 0) == chosen
    # A forced walk holds for every class that may take it; "auto" then measures anew.
    assert lib.quorvex_set_walk(b"streams") == 0
    assert {walk_of(lib, *c[:2], n, *c[2:]) for c in classes} == {"streams", "plain"}
    assert lib.quorvex_set_walk(b"ahead") == 0
    assert {walk_of(lib, *c[:2], n, *c[2:]) for c in classes} == {"ahead", "plain"}
    assert lib.quorvex_set_walk(b"auto") == 0
    assert walk_of(lib, "h", 8, n, 2, 0, 0) == MEASURING
    assert lib.quorvex_gate_walk(b"cx", 8, n, 2, 0, 0) is None  # no single-target gate of that name


def timed_gates(lib, gate, target, times, limit=200):
    """Stands in for gates of one class of complex64 at n = 22, the i-th
    taking times[i] = (plain, other) seconds per pair (the last pair once
    the list runs out), until the class has decided or `limit` gates; returns
    the walks they took and the class's walk after each."""
    n = SIZES[np.complex64]
    took, after = [], []
    for i in range(limit):
        plain, other = times[min(i, len(times) - 1)]
        took.append(lib.quorvex_gate_walk_timed(gate.encode(), 8, n, target, 0, 0, plain, other).decode())
        after.append(walk_of(lib, gate, 8, n, target, 0, 0))
    return took, after


@pytest.mark.parametrize("target, other, times, expected, gates", [
    (2, "streams", [(1.0, 0.8)], "streams", 12),  # six passes each, both beat by 20%
    (2, "streams", [(1.0, 1.1)], "plain", 4),     # two passes each, 10% slower: at once
    (2, "streams", [(1.0, 0.95)], "plain", 12),   # 5% faster: not enough
    (2, "streams", [(1.0, 1.03)], "plain", 12),   # 3% slower: not at once
    (8, "ahead", [(1.0, 0.7)], "ahead", 12),
    (8, "ahead", [(1.0, 1.2)], "plain", 4),
    # A first plain pass slowed by the state's page faults: the best passes
    # alone would end the trial after four gates, the medians wait for a
    # third plain pass.
    (2, "streams", [(2.0, 1.08), (1.0, 1.08)], "plain", 5),
])
def test_trial_decides_by_best_and_median(walk, target, other, times, expected, gates):
    walk("auto")
    took, after = timed_gates(hooks(), "h", target, times, limit=gates)
    assert took == [("plain", other)[i % 2] for i in range(gates)]
    assert after[:-1] == [MEASURING] * (gates - 1)
    assert after[-1] == expected


def test_a_misled_trial_runs_again(walk):
    walk("auto")
    lib = hooks()
    # One plain pass twice as fast as the rest leads the trial to the plain
    # walk although the streams take 20% less; the plain walk's next gates
    # then fall behind the streams' time, and the class tries again.
    times = [(0.5, 0.8)] + [(1.0, 0.8)] * 100
    took, after = timed_gates(lib, "h", 2, times, limit=60)
    first = after.index("plain")
    again = after.index(MEASURING, first)
    assert took[first + 1:again + 1] == ["plain"] * (again - first)
    assert again - first == 4  # four gates watched
    assert after[-1] == "streams"
    assert walk_of(lib, "rx", 8, SIZES[np.complex64], 2, 0, 0) == MEASURING  # another kind


def test_a_class_tries_again_a_few_times_at_most(walk):
    walk("auto")
    lib = hooks()
    # The streams lose at once every trial, and the plain walk's gates then
    # always run slower than the streams did.
    times = [(1.0, 1.2)] * 4 + [(2.0, 1.2)] * 4 + [(1.0, 1.2)] * 4 + [(2.0, 1.2)] * 4 + [(1.0, 1.2)] * 4 + [(2.0, 1.2)]
    took, after = timed_gates(lib, "h", 2, times, limit=100)
    trials = sum(1 for a, b in zip([MEASURING] + after, after) if a != MEASURING and b == MEASURING) + 1
    assert trials == 3
    assert after[-80:] == ["plain"] * 80


def run_with_walk(value):
    env = dict(os.environ, QUORVEX_WALK=value)
    code = ("import ctypes; from quorvex.backend.pelmor import strovane as m; "
            "lib = ctypes.CDLL(m.__file__); lib.quorvex_walk.restype = ctypes.c_char_p; "
            "print(lib.quorvex_walk().decode())")
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)


@pytest.mark.parametrize("value, expected", [("plain", "plain"), ("streams", "streams"), ("ahead", "ahead"),
                                             ("", "auto"), ("auto", "auto")])
def test_environment_forces_the_walk(value, expected):
    done = run_with_walk(value)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == expected


def test_environment_naming_no_walk_fails_the_import():
    done = run_with_walk("prefetch")
    assert done.returncode != 0
    assert "QUORVEX_WALK must be one of auto, plain, streams, ahead, not 'prefetch'" in done.stderr
