"""What a new user meets before anything runs: a missing or unusable build, dev.sh and the sanitizer script."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorvex.backend.pelmor

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = Path(quorvex.backend.pelmor.__file__).resolve().parents[2]  # the built quorvex


def run(args, pythonpath=None, **kwargs):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if pythonpath is not None:
        env["PYTHONPATH"] = str(pythonpath)
    return subprocess.run(args, capture_output=True, text=True, env=env, timeout=120, **kwargs)


def installed_package_without_core(tmp_path):
    # The pure-Python levels down to pelmor, as an installation would hold them, without strovane.
    for rel in ("__init__.py", "_openmp.py", "backend/__init__.py", "backend/pelmor/__init__.py"):
        (tmp_path / "quorvex" / rel).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(PACKAGE / rel, tmp_path / "quorvex" / rel)
    return tmp_path


SOURCE_TREE = ("the package found is the uncompiled source tree at {package}. Build it: in the checkout,"
               " `bash dev.sh python SCRIPT` runs a script with the built package; or, with quorvex"
               " installed (`pip install .`), run Python outside the checkout's src directory and"
               " without it on PYTHONPATH.")


@pytest.mark.parametrize("layout, args, reason", [
    ("source", ["-c", "from quorvex.core import Circuit; Circuit(1).execute()"], SOURCE_TREE),
    ("source", ["-m", "quorvex", "pelqa"], SOURCE_TREE),
    ("installed", ["-c", "import quorvex.backend.pelmor"],
     "the installed package at {package} lacks it. Reinstall quorvex (`pip install .` in its checkout)."),
])
def test_missing_core_says_what_was_found_and_what_to_do(tmp_path, layout, args, reason):
    path = ROOT / "src" if layout == "source" else installed_package_without_core(tmp_path)
    done = run([sys.executable, "-P", *args], pythonpath=path)
    assert done.returncode == 1
    message = "quorvex's compiled core `strovane` cannot be imported: " + reason.format(package=path / "quorvex")
    assert done.stderr.endswith("ImportError: " + message + "\n")
    assert done.stderr.count("Traceback") == 1 and "partially initialized" not in done.stderr


def test_another_python_is_told_the_package_is_for_3_12():
    done = run([sys.executable, "-P", "-c", "import sys; sys.version_info = (3, 11, 7, 'final', 0);"
                " from quorvex.core import Circuit"], pythonpath=PACKAGE.parent)
    assert done.returncode == 1
    assert done.stderr.endswith(f"ImportError: quorvex is built for CPython 3.12, and this is Python 3.11.7"
                                f" ({sys.executable}): run it with a 3.12 interpreter.\n")


@pytest.fixture
def without_package():
    # What a Python without the package sees: skipped where quorvex is installed into it.
    probe = run([sys.executable, "-P", "-c", "import importlib.util, sys;"
                 " sys.exit(importlib.util.find_spec('quorvex') is not None)"], cwd=ROOT)
    if probe.returncode != 0:
        pytest.skip("quorvex is installed in this Python itself")


def test_demo_run_directly_says_how_to_run_it(without_package):
    done = run([sys.executable, "-P", "examples/demo.py"], cwd=ROOT)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == ("examples/demo.py: No module named 'quorvex'. Run it with `bash dev.sh demo` in the"
                           " checkout, which builds the package and its environment first, or install quorvex"
                           " into this Python (`pip install .`).\n")


def test_pytest_without_the_package_stops_with_one_sentence(without_package):
    done = run([sys.executable, "-P", "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/test_readme.py"],
               cwd=ROOT)
    assert done.returncode == pytest.ExitCode.USAGE_ERROR
    assert "Exit: quorvex is not installed in this Python: run the suite with `bash dev.sh test`" in done.stderr
    assert "Traceback" not in done.stdout + done.stderr


@pytest.fixture
def other_python_venv(tmp_path):
    """An environment whose Python is 3.11; it logs how it is called."""
    python = tmp_path / "venv" / "bin" / "python"
    python.parent.mkdir(parents=True)
    python.write_text(f'#!/bin/sh\necho "$@" >> {tmp_path}/calls\n'
                      '[ "$1" = "-V" ] && echo "Python 3.11.7" && exit 0\nexit 1\n')
    python.chmod(0o755)
    return tmp_path


def dev_sh(venv, *args):
    return subprocess.run(["bash", str(ROOT / "dev.sh"), *args], capture_output=True, text=True,
                          env=dict(os.environ, QUORVEX_VENV=str(venv)), timeout=60)


@pytest.mark.parametrize("command", [["python", "-c", "pass"], ["test"], ["demo"]])
def test_dev_sh_stops_at_an_environment_of_another_python(other_python_venv, command):
    venv = other_python_venv / "venv"
    done = dev_sh(venv, *command)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == (f"dev.sh: the environment {venv} has Python 3.11.7, not CPython 3.12: set"
                           " QUORVEX_VENV to a 3.12 environment, or to a new directory where dev.sh creates one\n")
    # Asked only what it is: nothing installed into it, nothing built.
    calls = (other_python_venv / "calls").read_text().splitlines()
    assert [call.split()[0] for call in calls] == ["-c", "-V"]


# Answers as CPython 3.12; like pip and venv, it reports on standard output.
STUB_PYTHON = """#!/bin/sh
case "$1 $2" in
    "-c "*) exit 0 ;;
    "-m venv") echo "venv: $3"; mkdir -p "$3/bin"; cp "$0" "$3/bin/python"; exit 0 ;;
    "-m pip") echo "pip: $*"; exit 0 ;;
esac
echo "ran: $*"
"""


@pytest.fixture
def checkout_with_stub_python(tmp_path):
    """A copy of dev.sh and its requirements, and a stub python3.12 on PATH: nothing real is installed or built."""
    for name in ("dev.sh", "requirements-demo.txt", "requirements-dev.txt"):
        (tmp_path / "checkout").mkdir(exist_ok=True)
        shutil.copy(ROOT / name, tmp_path / "checkout" / name)
    stub = tmp_path / "bin" / "python3.12"
    stub.parent.mkdir()
    stub.write_text(STUB_PYTHON)
    stub.chmod(0o755)
    return tmp_path


@pytest.mark.parametrize("venv_exists", [False, True])
@pytest.mark.parametrize("command, ran", [(["demo"], "-P {checkout}/examples/demo.py"),
                                          (["python", "-c", "pass"], "-P -c pass")])
def test_dev_sh_set_up_output_goes_to_standard_error(checkout_with_stub_python, venv_exists, command, ran):
    # Standard output holds only what the command runs prints, even on the first run.
    tmp_path = checkout_with_stub_python
    venv = tmp_path / "venv"
    if venv_exists:
        (venv / "bin").mkdir(parents=True)
        shutil.copy(tmp_path / "bin" / "python3.12", venv / "bin" / "python")
    done = subprocess.run(["bash", str(tmp_path / "checkout" / "dev.sh"), *command], capture_output=True, text=True,
                          env=dict(os.environ, QUORVEX_VENV=str(venv), PATH=f"{tmp_path / 'bin'}:{os.environ['PATH']}"),
                          timeout=60)
    assert (done.returncode, done.stdout) == (0, "ran: " + ran.format(checkout=tmp_path / "checkout") + "\n")
    assert f"pip: -m pip install --progress-bar on -r {tmp_path}/checkout/requirements-demo.txt\n" in done.stderr
    assert ("venv: " in done.stderr) != venv_exists


@pytest.mark.parametrize("args", [[], ["load"], ["load.py"], ["no_such_bench"]])
def test_dev_sh_offers_and_accepts_only_benchmarks(other_python_venv, args):
    # The environment would stop any run: a name that passed would show its message instead.
    done = dev_sh(other_python_venv / "venv", "bench", *args)
    assert done.returncode == 2
    listed = done.stderr.rstrip("\n").rsplit(": ", 1)[1].rstrip(")").split()
    assert "load" not in listed and "kernels" in listed
    assert all((ROOT / "bench" / f"{name}.py").is_file() for name in listed)
    if args:
        assert done.stderr.startswith(f"dev.sh: no benchmark named '{args[0].removesuffix('.py')}'")


@pytest.mark.parametrize("venv", ["missing", "other"])
def test_sanitizer_script_without_a_test_environment_says_how_to_make_one(other_python_venv, venv):
    path = other_python_venv / ("no_such_venv" if venv == "missing" else "venv")
    done = subprocess.run(["bash", str(ROOT / "src/quorvex/native/store/tests/sanitize.sh")], capture_output=True,
                          text=True, env=dict(os.environ, QUORVEX_VENV=str(path)), timeout=60)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == (f"sanitize.sh: no test environment at {path}: run `bash dev.sh test` first (with the"
                           " same QUORVEX_VENV), which creates it, or create it as dev.sh does: a CPython 3.12"
                           " venv with requirements-demo.txt and requirements-dev.txt installed\n")
