"""`python -m quorvex MODULE [ARG ...]` runs a module's demonstration as the main program."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[1] / "src"


def python(*args, extra_path=None):
    env = dict(os.environ)
    paths = [p for p in sys.path if p]
    if extra_path:
        paths.insert(0, str(extra_path))
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return subprocess.run([sys.executable, "-P", *args], capture_output=True, text=True, env=env, timeout=120)


def launch(*args, extra_path=None):
    return python("-m", "quorvex", *args, extra_path=extra_path)


def modules_with_a_demonstration():
    found = set()
    for path in SRC.rglob("*.py"):
        if path.name != "__main__.py" and re.search(r"^if __name__ == ['\"]__main__['\"]:", path.read_text(),
                                                    re.MULTILINE):
            found.add(".".join(path.relative_to(SRC).with_suffix("").parts))
    return found


@pytest.mark.parametrize("args, code, stream", [((), 2, "stderr"), (("--help",), 0, "stdout"), (("-h",), 0, "stdout")])
def test_listing_names_every_demonstration(args, code, stream):
    done = launch(*args)
    assert done.returncode == code
    text = getattr(done, stream)
    assert getattr(done, "stdout" if stream == "stderr" else "stderr") == ""
    assert text.startswith("usage: python -m quorvex MODULE [ARG ...]\n")
    listed = set(re.findall(r"^  (quorvex\.\S+)", text, re.MULTILINE))
    assert listed == modules_with_a_demonstration()
    assert "  quorvex.library.linear_solver.pelqa [--compare | R]\n" in text


HINT = ("; the modules with a demonstration are pelqa, zumra, tiberq, equation_blackScholes.algorithm"
        " (python -m quorvex --help describes them)\n")


@pytest.mark.parametrize("name, line", [
    ("quorvex_no_such_module", "No module named 'quorvex_no_such_module'"),
    ("quorvex.no_such_module", "No module named 'quorvex.no_such_module'"),
    ("quorvex.no_such_package.module", "No module named 'quorvex.no_such_package'"),
    ("quorvex.core", "'quorvex.core' is a package, not a module"),
    ("quorvex.library.fermi_hubbard.quandrel", "'quorvex.library.fermi_hubbard.quandrel' has no demonstration"),
    ("launch_probe", "'launch_probe' has no demonstration"),
    ("", "No module named ''"),
])
def test_refusals_are_one_line_and_run_nothing(tmp_path, name, line):
    # Running a module without a demonstration would only run its body and
    # report success; the probe shows that nothing of it runs.
    (tmp_path / "launch_probe.py").write_text("print('ran')\n")
    done = launch(name, "ignored", extra_path=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (1, "", line + HINT)


@pytest.mark.parametrize("name", ["tiberq", "linear_solver.tiberq"])
def test_full_and_short_names_run_the_demonstration(name):
    done = launch(name)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("Classical reference solution:\n")


def test_demonstration_errors_end_with_their_traceback():
    done = launch("pelqa", "notanumber")
    assert done.returncode == 1
    assert done.stderr.startswith("Traceback (most recent call last):\n")
    assert done.stderr.endswith("ValueError: invalid literal for int() with base 10: 'notanumber'\n")
