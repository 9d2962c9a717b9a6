"""`solve` of quorvex.library.linear_solver, the solvers' common entry point."""
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quorvex.library import linear_solver
from quorvex.library.linear_solver import tiberq
from quorvex.library.linear_solver.pelqa import PelqaSolver
from quorvex.library.linear_solver.tiberq import TiberqSolver
from quorvex.library.linear_solver.zumra import ZumraSolver

# Scaled so that a solver returning its normalised solution would show.
A = 5.0 * np.array([[3.0, 1.0], [1.0, 2.0]])
B = 70.0 * np.array([1.0, -0.5])


@pytest.mark.parametrize("method, solver, options, rtol", [
    ("pelqa", PelqaSolver, {"d": 10}, 1e-2),
    ("zumra", ZumraSolver, {"T": 200}, 2e-2),
    ("tiberq", TiberqSolver, {"epsilon": 0.01}, 1e-3),
])
def test_solve_returns_the_solvers_solution(method, solver, options, rtol):
    x = linear_solver.solve(A, B, method=method, logging=False, **options)
    np.testing.assert_array_equal(x, solver(A, B, logging=False, **options)[1])
    np.testing.assert_allclose(x, np.linalg.solve(A, B), rtol=rtol)
    assert getattr(linear_solver, solver.__name__) is solver


@pytest.mark.parametrize("method", ["Tiberq", "hhl", None])
def test_unknown_method_lists_the_three(method):
    with pytest.raises(ValueError, match=rf"^unknown method {method!r}; the methods are 'pelqa', 'zumra', "
                                         r"'tiberq'$"):
        linear_solver.solve(A, B, method=method)


def test_quick_start_of_the_tiberq_docstring_runs(capsys):
    after = tiberq.__doc__.split("Quick start::\n", 1)[1].splitlines()
    block = []
    for line in after:
        if line.strip() and not line.startswith(" "):
            break
        block.append(line)
    code = textwrap.dedent("\n".join(block))
    scope = {"A": A, "b": B}
    exec(code, scope)
    np.testing.assert_allclose(scope["x"], np.linalg.solve(A, B), rtol=1e-3)
    assert "[TIBERQ] Done." in capsys.readouterr().out


def test_importing_the_package_loads_no_solver_and_no_torch():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    code = ("import sys, quorvex.library.linear_solver as s; "
            "print(sorted(m for m in sys.modules if m == 'torch' or m.startswith(s.__name__ + '.')))")
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, env=env,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "[]\n"


# b near the largest double: ||b|| and the factors the solvers form from it
# overflow, while the solution is representable. Scaling b by a power of two
# is exact, so the solution of b * 2**-1000, scaled back, is the reference.
SYSTEM = np.array([[2.0, 1.0], [1.0, 3.0]])


NEAR_MAX = [[3e307, 3e307], [1e306, 0.0], [1e308, 5e-324], [1.7e308, 1.7e308]]


@pytest.mark.parametrize("method, options, b", [
    # The default 28 walk steps leave some of these b more than 0.1 off,
    # which warns: 200 do not.
    *[(method, options, b) for method, options in [("pelqa", {}), ("pelqa", {"d": 10}), ("pelqa", {"r": 12}),
                                                   ("zumra", {"T": 200}), ("tiberq", {})] for b in NEAR_MAX],
    # TiberqSolver takes real systems only.
    ("pelqa", {}, [-1.7e308, 1.7e308j]), ("zumra", {"T": 200}, [-1.7e308, 1.7e308j]),
])
# A valid result comes without a warning: the diagnostics are taken in the scaled system.
@pytest.mark.filterwarnings("error")
def test_solution_near_the_largest_double(method, options, b):
    x = linear_solver.solve(SYSTEM, b, method=method, logging=False, **options)
    small = linear_solver.solve(SYSTEM, np.array(b) * 2.0 ** -1000, method=method, logging=False, **options)
    assert np.all(np.isfinite(x))
    np.testing.assert_allclose(x * 2.0 ** -1000, small, rtol=1e-12, atol=0)


@pytest.mark.parametrize("method, options", [("pelqa", {}), ("pelqa", {"d": 10}), ("zumra", {}), ("tiberq", {})])
@pytest.mark.parametrize("A, b", [
    (1e-10 * np.eye(2), [1e300, 1e300]),
    (SYSTEM / 1e10, [1.7e308, -1.7e308]),
])
def test_solution_beyond_the_largest_double_is_refused(method, options, A, b):
    with pytest.raises(ValueError, match="^The solution is not finite"):
        linear_solver.solve(A, b, method=method, logging=False, **options)


@pytest.mark.parametrize("v, want", [
    ([1.7e308, 1.7e308], [0.5 ** 0.5, 0.5 ** 0.5]),
    ([-1.7e308, 0.0, 1.7e308j], [-(0.5 ** 0.5), 0.0, 0.5 ** 0.5 * 1j]),
    ([np.finfo(float).max, 5e-324], [1.0, 0.0]),
    ([1e308, 1e308, 1e308, 1e308], [0.5] * 4),
])
def test_unit_vector_of_entries_near_the_largest_double(v, want):
    from quorvex.library.linear_solver._norms import unit

    np.testing.assert_allclose(unit(np.array(v)), want, rtol=1e-15, atol=0)


def test_unit_vector_of_an_ordinary_b_keeps_its_bits():
    from quorvex.library.linear_solver._norms import unit

    v = np.random.default_rng(3).normal(size=8) * 1e100
    np.testing.assert_array_equal(unit(v), v / np.linalg.norm(v))


@pytest.mark.parametrize("method, b, line", [
    ("pelqa", [1.7e308, -1.7e308], r"  - Fidelity: 1\.000000"),
    ("pelqa", [1e300, 1e300], r"  - Quantum vs classical L2 error: [\d.]+e\+\d+"),
    ("zumra", [1e300, 1e300], r"  - Residual norm \|\|Ax - b\|\|: [\d.]+e\+\d+"),
    ("zumra", [1.7e308, -1.7e308], r"  - Residual norm \|\|Ax - b\|\|: [\d.]+e\+\d+"),
])
@pytest.mark.filterwarnings("error")
def test_diagnostics_of_a_valid_result_are_finite(capsys, method, b, line):
    linear_solver.solve(SYSTEM, b, method=method)
    out = capsys.readouterr().out
    # (||b|| itself, and Pelqa's factor ||b|| t 2^d / k_start, may lie beyond
    # the largest double and print as inf.)
    assert "nan" not in out
    assert any(re.fullmatch(line, printed) for printed in out.splitlines()), out
