"""The packed store's native unit tests (gate-id table, paged lists, arenas, record slices).

They need no interpreter, so they are compiled from the checkout's C++
sources and run as a plain executable.
"""
import shutil
import subprocess
from pathlib import Path

import pytest

STORE = Path(__file__).resolve().parents[1] / "src" / "quorvex" / "native" / "store"


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
