"""`python -m quorvex MODULE [ARG ...]` runs a module as the main program."""
import os
import subprocess
import sys

import pytest


def launch(*args, extra_path=None):
    env = dict(os.environ)
    paths = [p for p in sys.path if p]
    if extra_path:
        paths.insert(0, str(extra_path))
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return subprocess.run([sys.executable, "-P", "-m", "quorvex", *args],
                          capture_output=True, text=True, env=env, timeout=120)


@pytest.mark.parametrize("args, code, stderr", [
    ((), 2, "usage: python -m quorvex MODULE [ARG ...]"),
    (("quorvex_no_such_module",), 1, "No module named 'quorvex_no_such_module'"),
    (("quorvex.no_such_module",), 1, "No module named 'quorvex.no_such_module'"),
])
def test_refusals(args, code, stderr):
    done = launch(*args)
    assert done.returncode == code
    assert stderr in done.stderr
    assert done.stdout == ""


def test_plain_module_runs_as_main_with_its_arguments(tmp_path):
    (tmp_path / "launch_probe.py").write_text(
        "import sys\nprint(__name__, sys.argv[0].endswith('launch_probe.py'), sys.argv[1:])\n")
    done = launch("launch_probe", "--x", "3", extra_path=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "__main__ True ['--x', '3']\n"


def test_compiled_module_runs_under_its_main_name():
    # A compiled module without a demonstration block only runs its body.
    done = launch("quorvex.library.fermi_hubbard.quandrel", "ignored")
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""
