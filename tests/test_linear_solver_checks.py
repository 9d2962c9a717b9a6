"""What the three solvers share: the check of their own answers against numpy.linalg.solve, the warnings
that say so at the caller's line with what to change, and the refusals of inputs they cannot take."""
import sys
import warnings

import numpy as np
import pytest
import scipy.sparse

from quorvex.library import linear_solver
from quorvex.library.linear_solver.pelqa import PelqaSolver
from quorvex.library.linear_solver.tiberq import TiberqSolver
from quorvex.library.linear_solver.zumra import ZumraSolver

BOUND = 0.1  # the README's: an answer further off than this warns
OFF = "solution is off"
SOLVERS = [PelqaSolver, ZumraSolver, TiberqSolver]


def run(solver, A, b, **options):
    """(x, messages of the UserWarnings raised)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _, x, _ = solver(A, b, logging=False, **options)
    return x, [str(w.message) for w in caught if issubclass(w.category, UserWarning)]


def how_far_off(A, b, x):
    A, b = np.asarray(A, dtype=complex), np.asarray(b, dtype=complex)
    reference = np.linalg.solve(A, b)
    return (np.linalg.norm(A @ x - b) / np.linalg.norm(b),
            np.linalg.norm(x - reference) / np.linalg.norm(reference))


def spd(seed, N, kappa):
    """A real symmetric positive definite A with eigenvalues spread over [1, kappa], and a b."""
    rng = np.random.default_rng(seed)
    Q = np.linalg.qr(rng.normal(size=(N, N)))[0]
    s = np.concatenate([[1.0, kappa], rng.uniform(1.0, kappa, N - 2)])[:N]
    return (Q * s) @ Q.T, rng.normal(size=N)


def general(seed, N, kappa, complex_=False):
    """A non-Hermitian A with singular values spread over [1, kappa], and a b."""
    rng = np.random.default_rng(seed)

    def unitary():
        m = rng.normal(size=(N, N)) + (1j * rng.normal(size=(N, N)) if complex_ else 0)
        return np.linalg.qr(m)[0]

    s = np.concatenate([[1.0, kappa], rng.uniform(1.0, kappa, N - 2)])[:N]
    return (unitary() * s) @ unitary().conj().T, rng.normal(size=N) + (1j * rng.normal(size=N) if complex_ else 0)


# Ordinary systems, small enough for the suite, with whether the answer is
# off: too few steps, too coarse a grid, a rotation clipped or left out, too
# rough a polynomial, a non-symmetric A for the Chebyshev solver. The first
# rows are faults seen before: Zumra's scale from one equation (0.45 off
# here, 3.06 for an 8 x 8 system of kappa 50), Pelqa's rotations clipped
# (r = 3) or left out (r = 45), with no warning.
ORDINARY = [
    (ZumraSolver, (np.diag([1.0, 0.05]), [0.005, 1.0]), {}, False),
    (ZumraSolver, spd(5, 8, 50.0), {}, True),
    (ZumraSolver, spd(6, 8, 50.0), {"T": 1000}, True),
    (ZumraSolver, spd(7, 4, 10.0), {}, False),
    (ZumraSolver, general(8, 2, 5.0), {}, True),
    (ZumraSolver, general(9, 4, 3.0, complex_=True), {}, False),
    (ZumraSolver, spd(1002, 2, 30.0), {}, False),
    (ZumraSolver, spd(10, 4, 30.0), {"T": 20}, True),
    (PelqaSolver, (np.diag([1.0, 0.05]), [1.0, 1.0]), {"d": 8, "r": 3}, True),
    (PelqaSolver, (np.diag([1.0, 0.05]), [1.0, 0.01]), {"r": 45}, True),
    (PelqaSolver, (np.diag([1.0, 0.05]), [1.0, 1.0]), {"d": 8}, False),
    (PelqaSolver, spd(11, 4, 4.0), {"d": 6}, False),
    (PelqaSolver, spd(12, 4, 4.0), {"d": 6, "r": 5}, False),
    (PelqaSolver, general(13, 2, 3.0), {"d": 6}, False),
    (PelqaSolver, (np.diag([1e-13, 1.0]), [1.0, 1.0]), {}, True),
    (TiberqSolver, spd(14, 4, 10.0), {}, False),
    (TiberqSolver, (np.diag([1.0, 0.5]), [1.0, 1.0]), {"epsilon": 0.9}, True),
    (TiberqSolver, (np.diag([1.0, 0.2]), [1.0, 1.0]), {"epsilon": 0.3}, False),
    # Non-symmetric: warned as outside the method, but this answer is right.
    (TiberqSolver, (np.array([[2.0, 1.0], [0.0, 3.0]]), [1.0, 1.0]), {"epsilon": 0.1}, False),
    (TiberqSolver, (np.array([[1.0, 0.8], [-0.3, 0.5]]), [1.0, 1.0]), {"epsilon": 0.1}, True),
]


@pytest.mark.parametrize("solver, system, options, off", ORDINARY,
                         ids=[f"{row[0].__name__}-{i}" for i, row in enumerate(ORDINARY)])
def test_no_answer_further_off_than_the_bound_comes_without_a_warning(solver, system, options, off):
    A, b = system
    x, said = run(solver, A, b, **options)
    residual, error = how_far_off(A, b, x)
    assert bool(residual > BOUND or error > BOUND) is off, (residual, error)
    warned = [message for message in said if OFF in message]
    assert bool(warned) is off, (residual, error, said)


@pytest.mark.parametrize("solver, A, b, options, want", [
    # Zumra's scale fitted over all equations: the first row, whose A[i] x is
    # small, gave x = [0.005, 29.0].
    (ZumraSolver, np.diag([1.0, 0.05]), [0.005, 1.0], {}, [0.005, 20.0]),
    # A non-Hermitian A of small scale is dilated like any other: Zumra gave
    # A b ([4e8, -2e8]) through its kappa = 1 path, Pelqa [1e9, 1e9].
    (ZumraSolver, 1e-9 * np.array([[2.0, 1.0], [-1.0, 2.0]]), [1.0, 0.0], {}, [4e8, 2e8]),
    (PelqaSolver, 1e-9 * np.array([[1.0, 5.0], [0.0, 1.0]]), [1.0, 1.0], {}, [-4e9, 1e9]),
    (PelqaSolver, 1e9 * np.array([[1.0, 5.0], [0.0, 1.0]]), [1.0, 1.0], {}, [-4e-9, 1e-9]),
])
def test_answers_at_every_scale(solver, A, b, options, want):
    x, said = run(solver, A, b, **options)
    assert np.linalg.norm(x - want) <= BOUND * np.linalg.norm(want)
    assert not [message for message in said if OFF in message]


@pytest.mark.parametrize("scale", [1e-9, 1.0, 1e9])
def test_a_non_symmetric_matrix_warns_the_chebyshev_solver_at_every_scale(scale):
    _, said = run(TiberqSolver, scale * np.array([[1.0, 5.0], [0.0, 1.0]]), [1.0, 1.0])
    assert said[0] == "A is not Hermitian. TIBERQ requires Hermitian input; results may be inaccurate."


@pytest.mark.parametrize("seed, N", [(2, 4), (5, 16)])
def test_a_non_symmetric_matrix_whose_chebyshev_terms_overflow_is_refused_as_such(seed, N):
    # Orthogonal, so perfectly conditioned; its complex eigenvalues make
    # T_k(A / ||A||) grow past overflow (once a failed SVD, or an infinite norm).
    Q = np.linalg.qr(np.random.default_rng(seed).standard_normal((N, N)))[0]
    with pytest.warns(UserWarning, match="^A is not Hermitian"), \
            pytest.raises(ValueError, match=r"^A is not Hermitian, and the Chebyshev terms T_k\(A / \|\|A\|\|\) "
                                            r"that TIBERQ sums grow without bound for it \(T_\d+ overflows\): TIBERQ "
                                            r"cannot solve this system; it needs a Hermitian A\.$"):
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            TiberqSolver(Q, np.ones(N), logging=False)


@pytest.mark.parametrize("solver, A, b, options, advice, better", [
    (PelqaSolver, np.diag([1.0, 0.05]), [1.0, 1.0], {"d": 8, "r": 3},
     "its fidelity is 0.898. Raise r to at least 8: at r = 3 the rotation's C / lambda at the smallest eigenvalue "
     "is 7.85, where it is clipped to 1 or leaves the small-angle form.", {"d": 8, "r": 8}),
    (PelqaSolver, np.diag([1.0, 0.05]), [1.0, 0.01], {"r": 45},
     "its fidelity is 0.0385. Lower r to at most 42: at r = 45 the rotation angle of the largest eigenvalue, "
     "1.79e-13, lies below 1e-12, so its component is left out.", {"r": 42}),
    (TiberqSolver, np.diag([1.0, 0.5]), [1.0, 1.0], {"epsilon": 0.9},
     "Lower epsilon (now 0.9), the accuracy of the polynomial for 1/x, to 0.09 or less.", {"epsilon": 0.09}),
])
def test_the_warning_says_what_to_change_and_that_change_helps(solver, A, b, options, advice, better):
    _, said = run(solver, A, b, **options)
    assert len(said) == 1 and said[0].startswith(f"{solver.__name__}'s solution is off: its relative residual ")
    assert said[0].endswith(advice)
    x, said = run(solver, A, b, **better)
    assert said == [] and max(how_far_off(A, b, x)) <= BOUND


def test_eigenvalues_under_the_cut_are_said_to_be_dropped():
    x, said = run(PelqaSolver, np.diag([1e-13, 1.0]), [1.0, 1.0])
    assert said[0] == ("PelqaSolver drops 1 of the 2 eigenvalues of A: their moduli lie at or below 1e-12, an "
                       "absolute cut, so the solution lacks their components. Where A is small as a whole, dividing "
                       "A and b by the same number keeps x and lifts them above the cut.")
    assert said[1].endswith("It lacks its components along the 1 eigenvalue at or below the 1e-12 cut, which no r or "
                            "d restores.")
    # Its dilation has twice as many.
    _, said = run(PelqaSolver, np.array([[1.0, 0.0], [1.0, 1e-13]]), [1.0, 1.0])
    assert said[0].startswith("PelqaSolver drops 2 of the 4 eigenvalues of its Hermitian dilation: ")


# A call of each solver whose answer is off.
OFF_CALLS = {PelqaSolver: (np.diag([1.0, 0.05]), [1.0, 1.0], {"d": 8, "r": 3}),
             ZumraSolver: (np.diag([1.0, 1e-6]), [1.0, 1.0], {"T": 10}),
             TiberqSolver: (np.array([[2.0, 1.0], [0.0, 3.0]]), [1.0, 1.0], {})}


@pytest.mark.parametrize("solver", SOLVERS)
def test_warnings_name_the_callers_line(solver):
    A, b, options = OFF_CALLS[solver]
    method = solver.__name__[:-len("Solver")].lower()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = sys._getframe().f_lineno + 1
        solver(A, b, logging=False, **options)
    assert caught and [(w.filename, w.lineno) for w in caught] == [(__file__, line)] * len(caught)
    # Through the package's solve too: its own frame is passed over.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = sys._getframe().f_lineno + 1
        linear_solver.solve(A, b, method=method, logging=False, **options)
    assert caught and [(w.filename, w.lineno) for w in caught] == [(__file__, line)] * len(caught)


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("A, b, name", [
    (scipy.sparse.csr_matrix(np.eye(2)), [1.0, 1.0], "A"),
    (np.eye(2), scipy.sparse.csr_matrix([[1.0, 1.0]]), "b"),
    (scipy.sparse.coo_array(np.eye(2)), [1.0, 1.0], "A"),
])
def test_sparse_input_is_refused_with_one_message(capsys, solver, A, b, name):
    with pytest.raises(TypeError) as info:
        solver(A, b)
    kind = type(A if name == "A" else b).__name__
    assert str(info.value) == (f"{name} must be a dense array (a NumPy array or nested lists), got a sparse {kind}: "
                               f"pass {name}.toarray().")
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("b", [[], [1.0]])
def test_an_empty_system_is_called_empty(solver, b):
    with pytest.raises(ValueError) as info:
        solver(np.zeros((0, 0)), b, logging=False)
    assert str(info.value) == "A is empty (0 x 0): there is no system to solve."


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("N, hermitian", [(2048, True), (1024, False)])
def test_sizes_that_cannot_fit_are_refused_from_their_size_alone(monkeypatch, memory_limit, solver, N, hermitian):
    # 400 MiB: no run of these sizes fits (a 1024 x 1024 non-Hermitian system
    # is solved as its 2048 x 2048 dilation, or, by the Chebyshev solver, as
    # it is with at least 5 terms).
    memory_limit(400 << 20)
    for name in ("svd", "eigvalsh", "eigh", "cond", "solve"):
        monkeypatch.setattr(np.linalg, name, lambda *args, **kwargs: pytest.fail("a decomposition of A was taken"))
    A = np.diag(np.linspace(1.0, 2.0, N))
    if not hermitian:
        A[0, 1] = 0.5
    with pytest.raises(MemoryError, match=r"would need about [\d.]+ GiB of memory; this process may use about 0\.391 "
                                          r"GiB"):
        solver(A, np.ones(N), logging=False)
