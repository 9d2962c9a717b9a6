"""`python -m quorvex MODULE [ARG ...]` runs a module's demonstration as the main program."""
import os
import re
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import pytest

import quorvex.__main__ as launcher

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


def run_unchecked(name, *args):
    """The demonstration run with arguments that the launcher may refuse: what the module itself does with them."""
    return python("-c", "import quorvex.__main__ as launcher;"
                        f" launcher.run_demonstration(launcher.resolve({name!r})[0], {list(args)!r})")


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
    ("", "'' is not a module name"),
    ("a..b", "'a..b' is not a module name"),
    ("--compare", "'--compare' is not a module name"),
    ("launch_probe.py", "'launch_probe.py' is a file name: drop the .py"),
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


@pytest.mark.parametrize("name", ["pelqa.py", "linear_solver/pelqa.py", "quorvex/library/linear_solver/pelqa.py"])
def test_a_file_name_is_told_to_drop_the_py(name):
    done = launch(name)
    module = name[:-3].replace("/", ".")
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == f"{name!r} is a file name: drop the .py, as in python -m quorvex {module}\n"


def test_demonstration_errors_end_with_their_traceback():
    # The launcher refuses r = 64 for this system; unchecked, the solver
    # itself finds it too large.
    done = run_unchecked("pelqa", "64")
    assert done.returncode == 1
    assert "PELQA with r-parameter mode (r=64)" in done.stdout
    assert done.stderr.startswith("Traceback (most recent call last):\n")
    assert done.stderr.splitlines()[-1].startswith("ValueError: r = 64 ")


@pytest.fixture
def run_in_process(monkeypatch, capsys):
    """main() in this process, its output and status; sys.argv as it was afterwards."""
    monkeypatch.setattr(sys, "argv", list(sys.argv))

    def run(*argv):
        code = launcher.main(argv)
        out, err = capsys.readouterr()
        return code, out, err
    return run


PELQA_TAKES = "pelqa takes no argument, --compare or R (an integer from 3 to 43), not "


@pytest.mark.parametrize("argv, refusal", [
    (("pelqa", "--comapre"), PELQA_TAKES + "'--comapre'"),
    (("pelqa", "abc"), PELQA_TAKES + "'abc'"),
    (("pelqa", "1e9"), PELQA_TAKES + "'1e9'"),
    (("pelqa", "2.5"), PELQA_TAKES + "'2.5'"),
    (("pelqa", ""), PELQA_TAKES + "''"),
    (("pelqa", "0"), PELQA_TAKES + "'0'"),
    (("pelqa", "-3"), PELQA_TAKES + "'-3'"),
    (("pelqa", "2"), PELQA_TAKES + "'2'"),
    (("pelqa", "44"), PELQA_TAKES + "'44'"),
    (("pelqa", "1000000000000"), PELQA_TAKES + "'1000000000000'"),
    (("pelqa", "1", "2"), PELQA_TAKES + "the 2 arguments '1' '2'"),
    (("pelqa", "--compare", "x"), PELQA_TAKES + "the 2 arguments '--compare' 'x'"),
    (("zumra", "extra"), "zumra takes no argument, not 'extra'"),
    (("tiberq", "4"), "tiberq takes no argument, not '4'"),
    (("quorvex.library.equation.examples.equation_blackScholes.algorithm", "--classical"),
     "equation_blackScholes.algorithm takes no argument, not '--classical'"),
])
def test_wrong_or_extra_arguments_are_refused_before_the_demonstration_starts(run_in_process, argv, refusal):
    # A demonstration that started would print its banner first.
    assert run_in_process(*argv) == (2, "", refusal + "\n")


def test_a_refused_argument_is_a_usage_error_of_the_command():
    done = launch("pelqa", "0")
    assert (done.returncode, done.stdout, done.stderr) == (2, "", PELQA_TAKES + "'0'\n")


@pytest.mark.parametrize("argv", [("pelqa", "--help"), ("pelqa", "--compare", "-h"), ("zumra", "--help"),
                                  ("linear_solver.tiberq", "-h")])
def test_help_after_a_module_states_its_arguments_and_runs_nothing(argv):
    done = launch(*argv)
    assert (done.returncode, done.stderr) == (0, "")
    demo = launcher.DEMONSTRATIONS[launcher.resolve(argv[0])[0].name]
    usage, _, rest = done.stdout.partition("\n\n")
    assert usage == f"usage: python -m quorvex {demo.short} {launcher.arguments_of(demo)}".rstrip()
    if argv[0] == "pelqa":
        lines = rest.splitlines()
        assert any(line.split()[:1] == ["--compare"] for line in lines)
        assert any(line.split()[:1] == ["R"] and line.endswith("R is an integer from 3 to 43") for line in lines)
    else:
        assert " ".join(rest.split()).endswith("It takes no argument.")


@pytest.mark.parametrize("argv", [("pelqa", "--compare"), ("pelqa", "3"), ("pelqa", "+12"), ("pelqa", " 5 "),
                                  ("pelqa", "43"),
                                  ("pelqa",), ("zumra",)])
def test_accepted_arguments_pass_the_check(argv):
    demo = launcher.DEMONSTRATIONS[launcher.resolve(argv[0])[0].name]
    assert launcher.refusal(demo, list(argv[1:])) is None


PROBE = "launch_probe_warns"


@pytest.fixture
def warning_probe(tmp_path, monkeypatch):
    """A demonstration (source) that raises one warning at the stack level it is given."""
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setitem(launcher.DEMONSTRATIONS, PROBE, launcher.Demonstration(PROBE, "warns"))
    monkeypatch.setattr(sys, "argv", list(sys.argv))

    def run(stacklevel):
        path = tmp_path / f"{PROBE}.py"
        path.write_text(f"import warnings\n\nwarnings.warn('probe', UserWarning, stacklevel={stacklevel})\n")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert launcher.main([PROBE]) == 0
        return path, [(w.filename, w.lineno, str(w.message)) for w in caught]
    yield run
    sys.modules.pop(PROBE, None)


@pytest.mark.parametrize("stacklevel, line", [(1, 3), (2, 1), (3, 1), (200, 1)])
def test_a_warning_that_names_a_frame_beneath_the_demonstration_names_the_demonstration(warning_probe, stacklevel,
                                                                                        line):
    # Level 1 is the probe's own line; deeper levels reach the launcher's
    # frames, and the last past every frame ("sys").
    path, caught = warning_probe(stacklevel)
    assert caught == [(str(path), line, "probe")]


def test_a_compiled_demonstrations_warnings_name_its_module():
    # A function that the compiled demonstration calls warns on its caller's
    # line: with no frame of the demonstration's own, that is the frame beneath.
    done = python("-c", textwrap.dedent("""
        import sys, warnings
        import numpy as np
        import quorvex.__main__ as launcher
        seed = np.random.seed
        def seeded(value):
            warnings.warn("seeded", UserWarning, stacklevel=2)
            seed(value)
        np.random.seed = seeded
        sys.exit(launcher.main(["tiberq"]))
        """))
    assert done.returncode == 0, done.stderr
    assert done.stderr == "quorvex/library/linear_solver/tiberq.py:1: UserWarning: seeded\n"
