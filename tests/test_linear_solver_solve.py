"""`solve` of quorvex.library.linear_solver, the solvers' common entry point."""
import os
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
