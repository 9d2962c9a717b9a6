"""Native unit tests that need no interpreter, run as plain executables.

The packed store's (gate-id table, paged lists, arenas, record slices) are
compiled from the checkout's C++ sources; the kernels' are linked against the
gate library that the package build leaves in build/dev.
"""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
NATIVE = ROOT / "src" / "quorvex" / "native"
STORE = NATIVE / "store"
GATES = ROOT / "build" / "dev" / "libquorvex_gates.a"


def test_store_units(tmp_path):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path / "store_units"
    subprocess.run(
        [compiler, "-std=c++17", "-O1", "-ffp-contract=off", f"-I{STORE.parent}",
         str(STORE / "tests" / "store_units.cpp"), str(STORE / "record_list.cpp"), str(STORE / "gate_ids.cpp"),
         "-o", str(exe)],
        check=True, capture_output=True, text=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


def test_kernel_units(tmp_path):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    if not GATES.exists():
        pytest.skip(f"no gate library at {GATES}: `bash dev.sh test` builds it")
    exe = tmp_path / "kernel_units"
    subprocess.run(
        [compiler, "-std=c++17", "-O1", "-fopenmp", f"-I{NATIVE}",
         str(NATIVE / "kernels" / "tests" / "kernel_units.cpp"), str(GATES), "-o", str(exe)],
        check=True, capture_output=True, text=True)
    # Four threads whatever the machine, so that the wrapper goes parallel.
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, OMP_NUM_THREADS="4"))
    assert run.returncode == 0, run.stderr
