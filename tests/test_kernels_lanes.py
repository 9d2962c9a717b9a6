"""Every vector width gives the same bits.

The kernels are built for several vector widths and QUORVEX_SIMD forces one
at import. For every width this processor runs, a fresh interpreter applies
a battery of gates (every gate on every target, with and without controls,
SWAP on every pair, dense unitaries, big-endian gates) to random states in
both precisions, serially and in parallel, and prints a digest of all the
results; the digests must agree bit for bit across the widths. Random finite
values catch a fused multiply-add or a reordered sum that states of special
values would not. The bit-exactness and serial-versus-parallel test files
then run unchanged under each forced width, with the check of the walk of
large states.
"""
import os
import subprocess
import sys
import textwrap

import pytest

ALL_WIDTHS = ("sse", "avx2", "avx512")

BATTERY = textwrap.dedent('''
    import hashlib, sys
    import numpy as np
    from quorvex.backend.pelmor import strovane as m

    FIXED = ["x", "h", "z", "y", "s", "sdag", "sqrtx", "sqrtxdag", "sqrty", "sqrtydag"]
    ANGLE = ["phase", "rx", "ry", "rz"]
    digest = hashlib.sha256()
    rng = np.random.default_rng(7)

    def fresh(n, dtype):
        return (rng.normal(size=2**n) + 1j * rng.normal(size=2**n)).astype(dtype)

    def record(state):
        digest.update(state.tobytes())

    for dtype in (np.complex64, np.complex128):
        for n, omp in ((7, False), (16, True)):
            targets = range(n) if n < 10 else (0, 1, 2, 3, 4, 5, 9, n - 1)
            for t in targets:
                for controls, values in (([], []), ([(t + 3) % n], [1]), ([(t + 1) % n], [0])):
                    st = fresh(n, dtype)
                    for name in FIXED:
                        getattr(m, name + "_little")(n, st, controls, values, t, omp)
                    for name in ANGLE:
                        getattr(m, name + "_little")(n, st, controls, values, t, 0.731, omp)
                    m.u_little(n, st, controls, values, t, [0.3, -1.1, 2.5], omp)
                    record(st)
            for a in targets:
                for b in targets:
                    st = fresh(n, dtype)
                    m.swap_little(n, st, [], [], [a, b], omp)
                    record(st)
            for tlist in ([0], [n - 1], [1, 0], [n - 1, 2], [0, 3, 1], [n - 2, 0, n - 1]):
                d = 2 ** len(tlist)
                u = np.linalg.qr(rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d)))[0]
                st = fresh(n, dtype)
                m.unitary_little(n, st, [], [], tlist, u, omp)
                record(st)
    for n, omp in ((7, False), (16, True)):
        for t in (0, 1, 2, 3, n - 1):
            st = fresh(n, np.complex64)
            for name in ("h", "x", "y", "s", "sdag", "z"):
                getattr(m, name)(n, st, [], [], t, omp)
            for name in ("phase", "rx", "ry", "rz"):
                getattr(m, name)(n, st, [], [], t, 0.731, omp)
            m.u(n, st, [], [], t, [0.3, -1.1, 2.5], omp)
            m.swap(n, st, [], [], [t, (t + 2) % n], omp)
            record(st)
    print(digest.hexdigest())
''')


def run_forced(width, *args):
    env = dict(os.environ, QUORVEX_SIMD=width, OMP_NUM_THREADS="3", OPENBLAS_NUM_THREADS="1")
    return subprocess.run([sys.executable, "-P", *args], env=env, capture_output=True,
                          text=True, timeout=300)


def supported_widths():
    # The module puts no name of its own on itself, so a width is probed by
    # importing under it: an unsupported width fails the import.
    return [w for w in ALL_WIDTHS if run_forced(w, "-c", "import quorvex.backend.pelmor").returncode == 0]


WIDTHS = supported_widths()


def test_every_width_gives_the_same_bits():
    assert "sse" in WIDTHS
    digests = {}
    for width in WIDTHS:
        done = run_forced(width, "-c", BATTERY)
        assert done.returncode == 0, done.stderr
        digests[width] = done.stdout.strip()
    assert len(set(digests.values())) == 1, digests


# The widest width is the default, which the rest of the suite runs. A file
# a test, so that no one test runs for long; the walks of large states take
# five: two walks of one precision each, then the checks that name neither.
STREAMS_PARTS = [f"{dtype} and {which}(plain or ahead)" for dtype in ("complex64", "complex128")
                 for which in ("", "not ")]
EXISTING_CHECKS = [
    pytest.param("test_kernels_bits.py", (), id="bits"),
    pytest.param("test_kernels_parallel.py", (), id="parallel"),
    pytest.param("test_kernels_reference.py", (), id="reference"),
] + [pytest.param("test_kernels_streams.py", ("-k", part), id="streams " + part) for part in STREAMS_PARTS] + [
    pytest.param("test_kernels_streams.py", ("-k", "not complex64 and not complex128"), id="streams rest"),
]


@pytest.mark.parametrize("checks, selection", EXISTING_CHECKS)
@pytest.mark.parametrize("width", WIDTHS[:-1])
def test_existing_checks_under_each_width(width, checks, selection):
    here = os.path.dirname(os.path.abspath(__file__))
    done = run_forced(width, "-m", "pytest", "-q", "-p", "no:randomly", "-p", "no:cacheprovider",
                      os.path.join(here, checks), *selection)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-2000:]


@pytest.mark.parametrize("value, message", [
    ("wide", "QUORVEX_SIMD must be one of sse, avx2, avx512, not 'wide'"),
] + [(w, f"QUORVEX_SIMD={w} is not supported by this processor")
     for w in ("avx2", "avx512") if w not in WIDTHS])
def test_unknown_or_missing_width_fails_the_import(value, message):
    done = run_forced(value, "-c", "import quorvex.backend.pelmor")
    assert done.returncode != 0
    assert message in done.stderr
