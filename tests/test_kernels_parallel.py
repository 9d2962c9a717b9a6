"""Serial and OpenMP-parallel loops: the decision and bit identity.

Each case runs in a fresh interpreter with a fixed OpenMP thread count. The
OpenMP runtime keeps its worker threads once a team has been forked, so the
process's thread count tells whether a call took the parallel loop: calls
just below a threshold must leave it unchanged, the first call just above it
must add the workers. Every result of runopenmp=True must equal, bit for bit,
the result of runopenmp=False on the same input.
"""
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/task"),
                                reason="needs /proc to count threads")

SCRIPT = textwrap.dedent('''
    import os, sys
    import numpy as np
    from quorvex.backend.pelmor import strovane as m

    threads = int(os.environ["OMP_NUM_THREADS"])
    family = sys.argv[1]
    U4 = np.linalg.qr(np.arange(16).reshape(4, 4) + 1j * np.eye(4))[0]
    FIXED = ["x", "h", "z", "y", "s", "sdag", "sqrtx", "sqrtxdag", "sqrty", "sqrtydag"]

    def little(dtype):
        calls = [(name + "_little", ()) for name in FIXED]
        calls += [(name + "_little", (0.37,)) for name in ("phase", "rx", "ry", "rz")]
        calls += [("u_little", ([0.3, -1.1, 2.5],))]
        def make(n, k):
            controls, values = list(range(n - k, n)), [1, 0][:k]
            return [(dtype, n, lambda st, omp, f=getattr(m, name), e=e:
                     f(n, st, controls, values, 0, *e, omp)) for name, e in calls]
        return make

    def big(n, k):
        controls, values = list(range(1, 1 + k)), [1] * k
        calls = [(name, ()) for name in ("h", "x", "y", "s", "sdag", "z")]
        calls += [(name, (0.37,)) for name in ("phase", "rx", "ry", "rz")]
        calls += [("u", ([0.3, -1.1, 2.5],))]
        return [(np.complex64, n, lambda st, omp, f=getattr(m, name), e=e:
                 f(n, st, controls, values, n - 1, *e, omp)) for name, e in calls]

    def swap(dtype):
        return lambda n, k: [(dtype, n, lambda st, omp:
                              m.swap_little(n, st, list(range(2, 2 + k)), [1] * k, [0, 1], omp))]

    U16 = np.linalg.qr(np.arange(256).reshape(16, 16) + 1j * np.eye(16))[0]

    def unitary(dtype):
        def make(n, k):
            controls, values = list(range(n - k, n)), [1] * k
            return [(dtype, n, lambda st, omp:
                     m.unitary_little(n, st, controls, values, [1, 0], U4, omp)),
                    (dtype, n + 2, lambda st, omp:
                     m.unitary_little(n + 2, st, controls, values, [3, 0, 2, 1], U16, omp))]
        return make

    # family -> (cases that must stay serial, cases that must fork a team)
    FAMILIES = {
        "little_c64": (little(np.complex64)(14, 0) + little(np.complex64)(15, 1),
                     little(np.complex64)(15, 0)),
        "little_c128": (little(np.complex128)(14, 0) + little(np.complex128)(16, 2),
                      little(np.complex128)(16, 1)),
        "big": (big(13, 0) + big(14, 1) + [(np.complex64, 14, lambda st, omp:
                                             m.swap(14, st, [], [], [0, 1], omp))],
                big(14, 0)),
        "swap_c64": (swap(np.complex64)(13, 0) + swap(np.complex64)(14, 1),
                     swap(np.complex64)(14, 0)),
        "swap_c128": (swap(np.complex128)(13, 0), swap(np.complex128)(15, 1)),
        "unitary_c64": (unitary(np.complex64)(13, 0), unitary(np.complex64)(14, 3)),
        "unitary_c128": (unitary(np.complex128)(13, 1), unitary(np.complex128)(14, 0)),
        # test forks whenever runopenmp is true, whatever the size.
        "test": ([(np.complex64, 2, lambda st, omp: m.test(2, st, [], [], [0, 1], False))],
                 [(np.complex64, 2, lambda st, omp: m.test(2, st, [], [], [0, 1], omp))]),
        # Repeated controls: n - k - 1 = -1 gives a negative measure (serial),
        # -2 gives 2**62 (parallel).
        "wrap": ([(np.complex128, 2, lambda st, omp: m.x_little(2, st, [1, 1], [1, 1], 0, omp))],
                 [(np.complex128, 2, lambda st, omp: m.x_little(2, st, [1] * 3, [1] * 3, 0, omp))]),
    }

    def tasks():
        return len(os.listdir("/proc/self/task"))

    def run(cases):
        for dtype, n, call in cases:
            rng = np.random.default_rng(n)
            st = (rng.normal(size=2**n) + 1j * rng.normal(size=2**n)).astype(dtype)
            ref = st.copy()
            call(ref, False)
            call(st, True)
            assert st.tobytes() == ref.tobytes(), "parallel result differs"

    serial, parallel = FAMILIES[family]
    base = tasks()
    run(serial)
    assert tasks() == base, "a call below its threshold forked a team"
    run(parallel[:1])
    assert tasks() == base + threads - 1, (tasks(), base)
    run(parallel[1:])
    print("ok")
''')

FAMILIES = ["little_c64", "little_c128", "big", "swap_c64", "swap_c128", "unitary_c64",
            "unitary_c128", "test", "wrap"]


@pytest.mark.parametrize("threads", [2, 3])
@pytest.mark.parametrize("family", FAMILIES)
def test_serial_parallel_decision_and_bits(family, threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1",
               OMP_DYNAMIC="false")
    done = subprocess.run([sys.executable, "-P", "-c", SCRIPT, family], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
