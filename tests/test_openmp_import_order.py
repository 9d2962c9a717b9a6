"""quorvex's native modules run on their own OpenMP runtime, started with the bounded spin whatever is imported first.

PyTorch loads its copy of the runtime (``libgomp.so.1``) into the process's
global scope. The native modules run on a copy of their own, under another
soname and with renamed symbols, so that PyTorch imported first can neither
serve them nor set their wait. Each case runs in a fresh interpreter, which
prints the settings quorvex's copy started with through that copy's own
``omp_display_env``.
"""
import ctypes
import glob
import os
import re
import subprocess
import sys
import textwrap

import pytest

from quorvex import _openmp

# How the runtime reports the spin quorvex starts it with.
BOUNDED = f"GOMP_SPINCOUNT = '{_openmp.SPIN_ROUNDS}'"

WAIT = ("OMP_WAIT_POLICY", "GOMP_SPINCOUNT")
MARK = "-- quorvex's runtime --"

# Runs parallel gates through strovane and dravik after FIRST, then prints the
# thread count strovane sees and what the import left in the environment, and
# the settings of quorvex's copy of the runtime after MARK on standard error.
PROBE = textwrap.dedent('''
    import ctypes, os, sys
    {first}
    from quorvex.core import Circuit
    import quorvex.backend.pelmor as pelmor
    c = Circuit(16)
    for q in range(16):
        c.h(q)
    c.execute()
    import quorvex_cu12.dravik
    copy = ctypes.CDLL(os.path.join(os.path.dirname(pelmor.__file__), {copy!r}), mode=os.RTLD_NOLOAD)
    print(pelmor.strovane.max_threads(), os.environ.get("GOMP_SPINCOUNT"), flush=True)
    print({mark!r}, file=sys.stderr, flush=True)
    copy.{prefix}omp_display_env(1)
''')


def probe(first, user=None, **env_extra):
    """(threads strovane sees, GOMP_SPINCOUNT left after import, quorvex's runtime settings, stderr before them)."""
    env = {k: v for k, v in os.environ.items() if k not in WAIT and not k.startswith("OMP_")}
    env.update(user or {}, **env_extra)
    script = PROBE.format(first=first, copy=_openmp.RUNTIME_COPY, mark=MARK, prefix=_openmp.SYMBOL_PREFIX)
    done = subprocess.run([sys.executable, "-P", "-c", script], env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    before, _, ours = done.stderr.partition(MARK)
    threads, left = done.stdout.split()
    return int(threads), left, ours, before


# Every way a program may come to quorvex: nothing first, PyTorch first (with
# its runtime's team already forked), PyTorch through quorvex, the device
# add-on first.
ORDERS = [
    "",
    "import torch",
    "import torch; torch.ones(1 << 20, dtype=torch.float64).mul_(3).sum()",
    "import quorvex.library.qml.models._tamsin",
    "import quorvex_cu12.dravik",
    "import torch, quorvex_cu12.dravik",
]


@pytest.mark.parametrize("first", ORDERS)
def test_the_native_modules_run_on_the_bounded_spin_whatever_is_imported_first(first):
    _, left, ours, before = probe(first)
    assert BOUNDED in ours
    assert left == "None"                      # nothing started from the process inherits it
    assert "Warning" not in before


@pytest.mark.parametrize("first", ["", "import torch; torch.set_num_threads(5)"])
@pytest.mark.parametrize("user, reported", [
    ({"OMP_WAIT_POLICY": "passive"}, ["OMP_WAIT_POLICY = 'PASSIVE'", "GOMP_SPINCOUNT = '0'"]),
    ({"OMP_WAIT_POLICY": "active"}, ["OMP_WAIT_POLICY = 'ACTIVE'"]),
    ({"GOMP_SPINCOUNT": "5000"}, ["GOMP_SPINCOUNT = '5000'"]),
    ({"OMP_NUM_THREADS": "3", "OMP_PROC_BIND": "close"},
     ["OMP_NUM_THREADS = '3'", "OMP_PROC_BIND = 'CLOSE'", BOUNDED]),
])
def test_the_users_settings_reach_quorvex_runtime(first, user, reported):
    threads, left, ours, _ = probe(first, user)
    for line in reported:
        assert line in ours
    if "OMP_NUM_THREADS" in user:
        # PyTorch's thread count is its runtime's own, not quorvex's.
        assert threads == int(user["OMP_NUM_THREADS"])
    assert left == user.get("GOMP_SPINCOUNT", "None")


@pytest.mark.parametrize("first", ["", "import torch"])
def test_omp_num_threads_set_in_os_environ_before_the_import_counts(first):
    threads, _, ours, _ = probe("os.environ['OMP_NUM_THREADS'] = '2'; " + first)
    assert threads == 2 and "OMP_NUM_THREADS = '2'" in ours


def test_every_runtime_call_of_the_native_modules_binds_to_their_own_copy(tmp_path):
    # The dynamic linker's own record, with every symbol bound at load: after
    # PyTorch has put its copy into the global scope, each runtime symbol of
    # strovane and dravik is bound to quorvex's copy, under its new name.
    log = tmp_path / "bindings"
    probe("import torch", LD_BIND_NOW="1", LD_DEBUG="bindings", LD_DEBUG_OUTPUT=str(log))
    binding = re.compile(r"binding file (\S+) \[\d+\] to (\S+) \[\d+\]: normal symbol `([^']+)'")
    bound = {}
    for path in glob.glob(str(log) + ".*"):
        with open(path, errors="replace") as f:
            for found in binding.finditer(f.read()):
                user, provider, name = found.groups()
                module = os.path.basename(user).split(".")[0]
                if module in ("strovane", "dravik") and re.search(r"(^|_)(omp|GOMP)_", name):
                    bound.setdefault(module, set()).add((name, os.path.basename(provider)))
    for module in ("strovane", "dravik"):
        names = {name for name, _ in bound.get(module, ())}
        assert {"quorvex_GOMP_parallel", "quorvex_omp_get_max_threads"} <= names, module
        assert {provider for _, provider in bound[module]} == {_openmp.RUNTIME_COPY}, module
        assert all(name.startswith(_openmp.SYMBOL_PREFIX) for name in names), module


TWO_RUNTIMES = textwrap.dedent('''
    import threading
    import torch
    import numpy as np
    from quorvex.backend.pelmor import strovane

    N = 1 << 21
    EXPECTED = float(N) * N          # sum of 2 i + 1 over i < N, exact in doubles in any order
    sums = []

    def torch_work():
        x = torch.arange(N, dtype=torch.float64)
        for _ in range(40):
            sums.append(float((x * 2 + 1).sum()))

    worker = threading.Thread(target=torch_work)
    worker.start()
    n = 17
    rng = np.random.default_rng(3)
    start = (rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)).astype(np.complex128)
    for round in range(6):
        states = {}
        for omp in (True, False):
            st = start.copy()
            for q in range(n):
                strovane.h_little(n, st, [], [], q, omp)
                strovane.rx_little(n, st, [(q + 1) % n], [1], q, 0.3 + round, omp)
            states[omp] = st
        assert states[True].tobytes() == states[False].tobytes()
        # A torch operation on the main thread between the gates, on quorvex's result.
        assert float(torch.from_numpy(states[True]).abs().square().sum()) > 0
    worker.join()
    assert sums == [EXPECTED] * 40, sums[:3]
    print(torch.get_num_threads(), strovane.max_threads())
''')


def test_torch_and_quorvex_run_their_teams_side_by_side():
    env = dict(os.environ, OMP_NUM_THREADS="4", OPENBLAS_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-P", "-c", TWO_RUNTIMES], env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["4", "4"]


def test_the_suite_runs_on_the_bounded_spin(capfd):
    # The test modules import torch at collection; the suite's conftest
    # imports quorvex before them, so torch runs on the shared runtime that
    # quorvex started, and the native modules on their own copy.
    if any(name in os.environ for name in WAIT):
        pytest.skip("the wait settings of this run were chosen in the environment")
    import torch
    import quorvex.backend.pelmor as pelmor
    with open("/proc/self/maps") as maps:
        mapped = {line.split()[-1] for line in maps if "gomp" in line}
    assert not [path for path in mapped if path.startswith(os.path.dirname(torch.__file__))]
    copy = os.path.join(os.path.dirname(pelmor.__file__), _openmp.RUNTIME_COPY)
    assert os.path.realpath(copy) in {os.path.realpath(path) for path in mapped}
    for runtime, display in ((ctypes.CDLL(copy, mode=os.RTLD_NOLOAD), _openmp.SYMBOL_PREFIX + "omp_display_env"),
                             (ctypes.CDLL("libgomp.so.1", mode=os.RTLD_NOLOAD), "omp_display_env")):
        capfd.readouterr()
        getattr(runtime, display)(1)
        assert BOUNDED in capfd.readouterr().err
