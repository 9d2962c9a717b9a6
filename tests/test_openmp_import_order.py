"""The OpenMP runtime quorvex runs on starts with the bounded spin whatever is imported first.

PyTorch ships its own copy of the runtime under the same name, and the copy
loaded first serves the whole process. ``import quorvex`` loads the runtime
before any of its modules can import PyTorch; a runtime someone else loaded
before quorvex keeps its default wait, which the back end reports once with
the variable to set. Each case runs in a fresh interpreter, whose runtime
reports the settings it started with when OMP_DISPLAY_ENV is set.
"""
import ctypes
import os
import subprocess
import sys

import pytest

WAIT = ("OMP_WAIT_POLICY", "GOMP_SPINCOUNT")
WARNING = "Set GOMP_SPINCOUNT=300 in the shell that starts Python"
RUN = ("from quorvex.core import Circuit; import quorvex.backend.pelmor, quorvex.library.qml.tensor; "
       "c = Circuit(2); c.h(0); c.execute(); c.execute(); "
       "import os; print(os.environ.get('GOMP_SPINCOUNT'))")


def _run(first, user=None):
    env = {k: v for k, v in os.environ.items() if k not in WAIT}
    env.update(user or {}, OMP_DISPLAY_ENV="verbose")
    done = subprocess.run([sys.executable, "-P", "-c", first + "; " + RUN], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done


@pytest.mark.parametrize("first", [
    "import quorvex",
    "import quorvex.core",
    "import quorvex.qcompiler.transpile",
    "import quorvex.library.linear_solver.tiberq",
    "import quorvex.library.qml.models._tamsin",    # imports torch through quorvex
    "import quorvex.library.qml.objectives.generative",
    "import quorvex.backend.opchain.packed",
])
def test_the_first_quorvex_module_starts_the_runtime_with_the_bounded_spin(first):
    done = _run(first + "; import torch")
    assert done.stderr.count("OPENMP DISPLAY ENVIRONMENT BEGIN") == 1
    assert "GOMP_SPINCOUNT = '300'" in done.stderr
    assert WARNING not in done.stderr
    assert done.stdout.strip() == "None"        # nothing started from the process inherits it


@pytest.mark.parametrize("user, reported, warned", [
    ({}, "GOMP_SPINCOUNT = '300000'", True),
    ({"GOMP_SPINCOUNT": "300"}, "GOMP_SPINCOUNT = '300'", False),
    ({"OMP_WAIT_POLICY": "passive"}, "GOMP_SPINCOUNT = '0'", False),
])
def test_a_runtime_loaded_by_torch_first_is_reported_once_unless_the_user_chose(user, reported, warned):
    done = _run("import torch", user)
    assert reported in done.stderr
    assert done.stderr.count(WARNING) == (1 if warned else 0)


def test_the_suite_runs_on_the_bounded_spin(capfd):
    # The test modules import torch at collection; the suite's conftest
    # imports quorvex before them, so torch's own copy is never loaded.
    if any(name in os.environ for name in WAIT):
        pytest.skip("the wait settings of this run were chosen in the environment")
    import torch
    with open("/proc/self/maps") as maps:
        mapped = {line.split()[-1] for line in maps if "libgomp" in line}
    assert mapped and not [path for path in mapped if path.startswith(os.path.dirname(torch.__file__))]
    runtime = ctypes.CDLL("libgomp.so.1", mode=os.RTLD_NOLOAD)
    if hasattr(runtime, "omp_display_env"):
        capfd.readouterr()
        runtime.omp_display_env(1)
        assert "GOMP_SPINCOUNT = '300'" in capfd.readouterr().err
