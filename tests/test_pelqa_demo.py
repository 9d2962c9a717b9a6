"""The solver's demonstration, run through `python -m quorvex MODULE [ARG ...]`."""
import re

import numpy as np
import pytest

import pelqa_reference as ref
from test_launcher import launch, python, run_unchecked

MODULE = "quorvex.library.linear_solver.pelqa"
A, B, D = np.diag([0.8, 0.4]), np.array([1, 2]), 10
X_CL = np.linalg.solve(A, B)
RULE = "=" * 70


def demo_fidelity(r):
    x_q = ref.solve(A, B, D, r=r)["x_q"]
    return abs(np.dot(x_q / np.linalg.norm(x_q), X_CL / np.linalg.norm(X_CL))) ** 2


def run(*args):
    done = launch(MODULE, *args)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def test_sweep_without_arguments():
    out = run()
    hdr = f"  {'Method':>25s}  {'Fidelity':>10s}  {'L2 error':>10s}  {'Time(s)':>8s}"
    assert out[:10] == ["", RULE, "  PELQA: compare original vs r-parameter mode across r values", RULE,
                        "", "  System: 2x2, kappa=2, d=10", "  Classical solution: [1.25 5.  ]", "",
                        hdr, "  " + "-" * 61]
    assert len(hdr) == 61
    for line, r in zip(out[10:15], [None, 3, 5, 8, 12]):
        label = "Original (C=k_start)" if r is None else f"r={r} (C=2^(-r)*pi)"
        m = re.fullmatch(rf"  {re.escape(f'{label:>25s}')}  ( *\d\.\d{{6}})  ( *\S+)  ( *\d+\.\d{{4}})", line)
        assert m, line
        assert len(m[1]) == 10 and len(m[2]) >= 10 and len(m[3]) == 8
        assert float(m[1]) == pytest.approx(demo_fidelity(r), abs=1e-6)
        x_q = ref.solve(A, B, D, r=r)["x_q"]
        assert float(m[2]) == pytest.approx(np.linalg.norm(x_q - X_CL), rel=1e-5)
    assert out[15:] == ["", "  Usage:",
                        f"    python -m quorvex {MODULE} <r>    # single r",
                        f"    python -m quorvex {MODULE} --compare  # side-by-side"]


def without_timings(lines):
    return [line for line in lines if not line.startswith("  - Core simulation time:")]


def test_compare_mode_and_extra_arguments_ignored():
    out = run("--compare")
    assert out[:5] == ["", RULE, "  COMPARISON: Original (C=k_start) vs r-parameter mode (r=5)", RULE, ""]
    assert out[5] == "--- Original (C = k_start) ---"
    second = out.index("--- r-parameter mode (r=5, small-angle) ---")
    assert out[second - 1] == "" and out[6] == RULE
    assert out[second + 2] == "[PELQA] Starting PELQA linear system solver (r=5) (phase precision d=10)"
    assert out[-7:-2] == ["", RULE, "  Summary", RULE, "  Classical:        [1.25 5.  ]"]
    for line, prefix, r in [(out[-2], "  Original:         x_q = [", None),
                            (out[-1], "  r-parameter (r=5): x_q = [", 5)]:
        assert line.startswith(prefix)
        fid = float(line.rsplit("],  fidelity = ", 1)[1])
        assert fid == pytest.approx(demo_fidelity(r), abs=1e-6)
    # The launcher refuses the extra argument before the module runs; the module itself ignores it.
    extra = run_unchecked(MODULE, "--compare", "x")
    assert extra.returncode == 0, extra.stderr
    assert without_timings(extra.stdout.splitlines()) == without_timings(out)


def test_single_r_mode():
    out = run("4")
    assert out[:4] == ["", RULE, "  PELQA with r-parameter mode (r=4)", RULE]
    assert out[5] == "[PELQA] Starting PELQA linear system solver (r=4) (phase precision d=10)"
    # The solver's own output ends the program: its solution vector comes last.
    assert out.index("[PELQA] Solution vector:") >= len(out) - 2


@pytest.mark.parametrize("arg, message", [
    ("2", "ValueError: r must be >= 3 when using r-parameter mode."),
    ("abc", "ValueError: invalid literal for int() with base 10: 'abc'"),
])
def test_bad_arguments_end_with_the_error(arg, message):
    # What the module does with them; the launcher refuses them before it runs.
    done = run_unchecked(MODULE, arg)
    assert done.returncode == 1
    assert done.stderr.rstrip().endswith(message)


def test_import_prints_nothing():
    done = python("-c", f"import {MODULE}")
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")


def test_solution_vectors_carry_no_imaginary_rounding():
    # The system is real: its solution is printed with zero imaginary parts.
    out = run("--compare")
    vectors = [out[i + 1] for i, line in enumerate(out) if line == "[PELQA] Solution vector:"]
    assert len(vectors) == 2
    for vector in vectors:
        assert re.fullmatch(r"\[[\d.]+ *\+0\.j +[\d.]+ *\+0\.j\]", vector), vector
