"""Chebyshev/LCU linear-system solver against an independent expansion."""
import inspect
import math
import os
import subprocess
import sys
from fractions import Fraction
from math import comb

import numpy as np
import pytest
from scipy.special import bdtrc

from quorvex.core import Circuit
from quorvex.library.linear_solver import tiberq
from quorvex.library.linear_solver.tiberq import (
    TiberqSolver, _build_lcu, _compute_chebyshev_coeffs_tiberq,
    _compute_chebyshev_matrix_terms, _compute_kappa)

from executed_unitary import executed_unitary

RULE = "=" * 70


def reference_coefficients(kappa, epsilon):
    """The binomial-tail coefficients summed exactly, term by term."""
    b = int(np.ceil(kappa ** 2 * np.log(kappa / epsilon)))
    j0 = int(np.ceil(np.sqrt(b * np.log(4 * b / epsilon))))
    coeffs = {}
    for j in range(j0 + 1):
        tail = sum(comb(2 * b, i) for i in range(b + j + 1, 2 * b + 1))
        c = float(4 * (-1) ** j * Fraction(tail, 2 ** (2 * b)))
        if abs(c) > 1e-8:
            coeffs[2 * j + 1] = c
    return coeffs, b, j0


def reference_solution(A, b, epsilon):
    """Least-squares rescaling of p(A/||A||) b, with T_k(cos t) = cos(k t)."""
    A = np.asarray(A, float)
    b = np.asarray(b, float).ravel()
    w, V = np.linalg.eigh(A / np.linalg.norm(A, 2))
    kappa = _compute_kappa(A)
    coeffs, _, _ = reference_coefficients(kappa, epsilon)
    t = np.arccos(np.clip(w, -1, 1))
    p = sum(c * np.cos(k * t) for k, c in coeffs.items())
    lam = sum(abs(c) for c in coeffs.values())
    raw = V @ (p * (V.T @ b)) / (lam * np.linalg.norm(b))
    Ax = A @ raw
    alpha = np.dot(b, Ax) / np.dot(Ax, Ax)
    return alpha * raw, alpha


def random_system(rng, n, kappa, definite):
    Q, _ = np.linalg.qr(rng.normal(size=(n, n)))
    moduli = np.concatenate(([1.0, kappa], rng.uniform(1, kappa, size=max(n - 2, 0))))[:n]
    signs = np.ones(n) if definite else rng.choice([-1.0, 1.0], size=n)
    A = (Q * (moduli * signs)) @ Q.T
    return (A + A.T) / 2, rng.normal(size=n)


def fidelity(x, y):
    return abs(np.dot(x, y)) / (np.linalg.norm(x) * np.linalg.norm(y))


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 8, 16])
@pytest.mark.parametrize("epsilon", [0.1, 0.01])
def test_solution_matches_the_expansion_and_numpy(n, epsilon):
    rng = np.random.default_rng(100 * n + int(1 / epsilon))
    kappa = 1.0 if n == 1 else float(rng.uniform(2, 10))
    A, b = random_system(rng, n, kappa, definite=n % 2 == 0)
    A0, b0 = A.copy(), b.copy()
    circuit, x, alpha = TiberqSolver(A, b, epsilon=epsilon, logging=False)
    x_ref, alpha_ref = reference_solution(A, b, epsilon)
    np.testing.assert_allclose(x, x_ref, rtol=1e-9, atol=1e-9 * np.linalg.norm(x_ref))
    assert alpha == pytest.approx(alpha_ref, rel=1e-9)
    assert isinstance(alpha, float) and x.dtype == np.float64 and x.shape == (n,)
    if epsilon == 0.01:
        assert fidelity(x, np.linalg.solve(A, b)) >= 0.9999
    np.testing.assert_array_equal(A, A0)
    np.testing.assert_array_equal(b, b0)
    # The returned (decomposed) circuit still runs to the same read-back.
    state = np.asarray(circuit.execute().state)
    n_be = (n - 1).bit_length() + 1
    np.testing.assert_allclose(alpha * state.real[: 1 << (n_be - 1)][:n], x, atol=1e-9)


def test_identity_case_prints_every_line(capsys):
    b = np.array([0.5, -0.5, 0.5, 0.5])
    circuit, x, alpha = TiberqSolver(np.eye(4), b, epsilon=0.01)
    out = capsys.readouterr().out.splitlines()
    sim_line = [i for i, line in enumerate(out) if line.startswith("  - Simulation time: ")]
    assert len(sim_line) == 1 and out[sim_line[0]].endswith(" s")
    del out[sim_line[0]]
    assert out == [
        RULE,
        "[TIBERQ] Starting TIBERQ linear solver (epsilon=0.01)",
        RULE,
        "[TIBERQ] Step 1/6: Normalising matrix (spectral scaling)...",
        "  - N = 4, kappa = 1.0000, ||A|| = 1.0000",
        "  - Spectral norm after scaling: ||A_norm|| = 1.0",
        "[TIBERQ] Step 2/6: Computing Chebyshev coefficients for 1/x ...",
        "  - b = 5, j0 = 7, max_k = 9",
        "  - Retained 5 odd-degree Chebyshev terms",
        "[TIBERQ] Step 3/6: Computing Chebyshev matrix terms T_k(A_norm) ...",
        "  - Computed T_0 through T_9 (each 4x4)",
        "[TIBERQ] Step 4/6: Block-encoding each Chebyshev term (Dorrin method) ...",
        "  - Block-encoded 5 matrices, each on 3 qubits (target=2)",
        "[TIBERQ] Step 5/6: Building LCU circuit ...",
        "  - LCU ancilla qubits: 3",
        "  - LCU normalisation factor (lambda): 2.4609",
        "[TIBERQ] Step 6/6: Building full circuit and executing ...",
        "  - Solution norm: 1.000000",
        "  - Scaling factor: " + out[-3].rsplit(" ", 1)[-1],
        RULE,
        "[TIBERQ] Done.",
    ]
    # bdtrc is not exact; the exact scale is 2.4609375 for a unit b.
    assert alpha == pytest.approx(2.4609375, abs=1e-12)
    np.testing.assert_allclose(x, b, atol=1e-12)
    assert isinstance(circuit, Circuit) and circuit.get_num_qubits() == 6


def test_single_term_needs_no_index_qubit(capsys):
    b = np.array([1.0, 2.0])
    _, x, alpha = TiberqSolver(np.eye(2) * 3, b, epsilon=0.5)
    out = capsys.readouterr().out
    assert "  - Retained 1 odd-degree Chebyshev terms\n" in out
    assert "  - LCU ancilla qubits: 0\n" in out
    np.testing.assert_allclose(x, b / 3, atol=1e-12)
    assert alpha == pytest.approx(np.linalg.norm(b) / 3, rel=1e-12)


@pytest.mark.parametrize("extra, message", [
    # A misspelt keyword would leave its parameter at the default unnoticed.
    ({"eps": 1e-4}, "TiberqSolver() got an unexpected keyword argument 'eps'"),
    ({"backend": "torch", "d": 4}, "TiberqSolver() got unexpected keyword arguments 'backend', 'd'"),
])
def test_unknown_keywords_are_refused_by_name(capsys, extra, message):
    with pytest.raises(TypeError) as info:
        TiberqSolver(np.eye(2), [1.0, 1.0], **extra)
    assert str(info.value) == message
    assert capsys.readouterr().out == ""


def test_silent_without_logging(capsys):
    A = np.array([[2.0, 1.0], [0.0, 3.0]])  # not symmetric: warns, and prints only when logging
    with pytest.warns(UserWarning, match=r"^A is not Hermitian\. TIBERQ requires Hermitian input; results "
                                         r"may be inaccurate\.$"):
        TiberqSolver(A, [1.0, 1.0], "cpu", 0.1, False)
    assert capsys.readouterr().out == ""
    with pytest.warns(UserWarning, match="^A is not Hermitian"):
        TiberqSolver(A, [1.0, 1.0], epsilon=0.1)
    assert ("[TIBERQ] Warning: A is not Hermitian. TIBERQ requires Hermitian input;"
            " results may be inaccurate.\n") in capsys.readouterr().out


BANNER = [RULE, "[TIBERQ] Starting TIBERQ linear solver (epsilon=0.01)", RULE]
STAGE1 = ["[TIBERQ] Step 1/6: Normalising matrix (spectral scaling)..."]
UP_TO_STAGE2 = BANNER + STAGE1 + ["  - N = 2, kappa = 1.0000, ||A|| = 1.0000",
                                  "  - Spectral norm after scaling: ||A_norm|| = 1.0",
                                  "[TIBERQ] Step 2/6: Computing Chebyshev coefficients for 1/x ..."]
WARN = ["[TIBERQ] Warning: A is not Hermitian. TIBERQ requires Hermitian input; results may be inaccurate."]


@pytest.mark.parametrize("A, b, kwargs, error, message, printed", [
    (np.ones(3), [1.0], {}, ValueError, "A must be a square matrix.", BANNER),
    (np.ones((2, 3)), [1.0, 1.0], {}, ValueError, "A must be a square matrix.", BANNER),
    (np.eye(2), [1.0, 1.0, 1.0], {}, ValueError, "Dimension of b does not match A.", BANNER),
    ([[1.0, 2.0], [0.0, 1.0]], [0.0, 0.0], {}, ValueError, "Source vector b cannot be all zeros.",
     BANNER + WARN),
    ([[1.0, 0.0], [0.0, 0.0]], [1.0, 0.0], {}, ValueError,
     "Matrix is singular (infinite condition number).", BANNER + STAGE1),
    ([[1.0, 2.0], [0.0, 1.0]], [1.0, 0.0], {}, ValueError,
     "Matrix is singular (infinite condition number).", BANNER + WARN + STAGE1),
    # A singular non-symmetric A whose symmetric part is not singular.
    ([[1.0, 2.0], [0.5, 1.0]], [1.0, 1.0], {}, ValueError,
     "Matrix is singular (infinite condition number).", BANNER + WARN + STAGE1),
    *[(np.eye(2), [1.0, 0.0], {"epsilon": epsilon}, ValueError,
       f"epsilon must lie between 0 and kappa (0 < epsilon < kappa = 1), got {epsilon!r}", UP_TO_STAGE2)
      for epsilon in [0.0, -0.1, 1.0, 2.0, np.inf, -np.inf, np.nan]],
    # Singular, although its symmetric part is well conditioned: its
    # singular values show it.
    ([[0.0, 1.0], [0.0, 0.0]], [1.0, 1.0], {}, ValueError,
     "Matrix is singular (infinite condition number).", BANNER + WARN + STAGE1),
])
@pytest.mark.filterwarnings("ignore:A is not Hermitian")
def test_refusals_in_order(capsys, A, b, kwargs, error, message, printed):
    with pytest.raises(error) as info:
        TiberqSolver(A, b, **kwargs)
    if message:
        assert str(info.value) == message
    out = capsys.readouterr().out.splitlines()
    if printed is not None:
        eps_line = ("[TIBERQ] Starting TIBERQ linear solver (epsilon=" + repr(float(kwargs.get("epsilon", 0.01)))
                    + ")")
        assert out == [line if line != BANNER[1] else eps_line for line in printed]
    with pytest.raises(error):
        TiberqSolver(A, b, logging=False, **kwargs)
    assert capsys.readouterr().out == ""


def test_zero_read_back_is_refused_after_the_simulation_line(monkeypatch, capsys):
    # Every term's block empty (the flag qubit always flipped): no scale exists.
    class Flipped:
        def __init__(self):
            self.circuit = Circuit(2)
            self.circuit.x(1)

    monkeypatch.setattr(tiberq, "block_encode", lambda matrix, method: Flipped())
    with pytest.raises(RuntimeError, match=r"^Read-back solution is zero; the scaling factor cannot be "
                                           r"determined\.$"):
        TiberqSolver(np.diag([1.0, 0.5]), [1.0, 1.0])
    out = capsys.readouterr().out.splitlines()
    assert out[-1].startswith("  - Simulation time: ")


@pytest.mark.parametrize("call, message", [
    (lambda: TiberqSolver(np.eye(2), [1, 1], None), "Argument 'device' has incorrect type (expected str, got NoneType)"),
    (lambda: TiberqSolver(np.eye(2), [1, 1], "cpu", 0.1, True, 1), "TiberqSolver() takes"),
    (lambda: TiberqSolver(np.eye(2)), "TiberqSolver() takes"),
    (lambda: TiberqSolver(np.eye(2), [1, 1], epsilon="x"), "must be real number"),
    (lambda: _build_lcu((), []), "Argument 'unitaries' has incorrect type (expected list, got tuple)"),
    (lambda: _build_lcu([], ()), "Argument 'coefficients' has incorrect type (expected list, got tuple)"),
    (lambda: _compute_chebyshev_matrix_terms(np.eye(2), "3"),
     "Argument 'max_order' has incorrect type (expected int, got str)"),
])
def test_typed_parameters(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)


def test_the_failing_block_encoding_width_is_named(monkeypatch, capsys):
    widths = iter([2, 3, 3])

    class Encoded:
        def __init__(self, n):
            self.circuit = Circuit(n)

    monkeypatch.setattr(tiberq, "block_encode", lambda m, method: Encoded(next(widths)))
    with pytest.raises(RuntimeError) as info:
        TiberqSolver(np.eye(2), [1.0, 0.0], epsilon=0.1)
    assert str(info.value) == "Block-encoded circuit 1 has 3 qubits but expected 2."
    assert capsys.readouterr().out.splitlines()[-1].startswith("[TIBERQ] Step 4/6")


@pytest.mark.parametrize("kappa, epsilon, expected", [
    (1.0, 0.01, ({1: 1.5078125, 3: -0.6875, 5: 0.21875, 7: -0.04296875, 9: 0.00390625}, 5, 7)),
    (1.0, 0.1, ({1: 1.375, 3: -0.4375, 5: 0.0625}, 3, 4)),
    (1.0, 0.5, ({1: 1.0}, 1, 2)),
    (4, 0.05, None),
    (10.0, 0.01, None),
])
def test_chebyshev_coefficients(kappa, epsilon, expected):
    coeffs, b, j0 = _compute_chebyshev_coeffs_tiberq(kappa, epsilon)
    ref = reference_coefficients(kappa, epsilon) if expected is None else expected
    assert (b, j0) == ref[1:]
    assert list(coeffs) == list(ref[0])
    for k in coeffs:
        assert type(k) is int and type(coeffs[k]) is float
        assert coeffs[k] == pytest.approx(ref[0][k], rel=1e-10, abs=1e-15)


def bdtrc_table(kappa, epsilon):
    """The coefficients as bdtrc alone gives them."""
    b = int(np.ceil(kappa ** 2 * np.log(kappa / epsilon)))
    j0 = int(np.ceil(np.sqrt(b * np.log(4 * b / epsilon))))
    j = np.arange(j0 + 1)
    c = 4.0 * (-1) ** j * bdtrc(b + j, 2 * b, 0.5)
    return {int(2 * jj + 1): float(cc) for jj, cc in zip(j, c) if abs(cc) > 1e-8}, b, j0


@pytest.mark.parametrize("kappa, epsilon", [
    (1.0, 0.01), (1.0, 0.5), (4, 0.05), (10.0, 0.01), (40.0, 0.01),
    (16.188553549848674, 0.1),  # the demonstration's system
])
def test_bdtrc_table_is_kept_where_it_is_accurate(kappa, epsilon):
    assert _compute_chebyshev_coeffs_tiberq(kappa, epsilon) == bdtrc_table(kappa, epsilon)


def chebyshev_error(coeffs, kappa):
    """max |sum_k c_k T_k(x) - 1/x| on [1/kappa, 1], on a grid dense near 1/kappa."""
    x = np.concatenate([np.geomspace(1 / kappa, 1, 300), np.linspace(1 / kappa, 1, 300)])
    series = np.zeros(max(coeffs) + 1)
    series[list(coeffs)] = list(coeffs.values())
    return np.max(np.abs(np.polynomial.chebyshev.chebval(x, series) - 1 / x))


@pytest.mark.parametrize("kappa", [500.0, 3000.0])
def test_polynomial_keeps_its_accuracy_where_bdtrc_fails(kappa):
    # bdtrc's tails gave 0.0123 at kappa = 500 and 99 at 3000. With exact
    # tails the error is epsilon to within what the coefficients of modulus
    # <= 1e-8, which are dropped, add up to (below 1e-6 here).
    coeffs, _, _ = _compute_chebyshev_coeffs_tiberq(kappa, 0.01)
    assert chebyshev_error(coeffs, kappa) <= 0.01 + 1e-6


# kappa = 10,000 takes tens of seconds on the same path: bench/tiberq.py measures it.
@pytest.mark.parametrize("kappa", [300.0, 1000.0])
def test_ill_conditioned_systems_against_numpy(kappa):
    Q = np.array([[0.8, -0.6], [0.6, 0.8]])
    A = Q @ np.diag([1.0, 1.0 / kappa]) @ Q.T
    b = A @ (Q @ [1.0, -2.0])
    _, x, _ = TiberqSolver(A, b, epsilon=0.01, logging=False)
    np.testing.assert_allclose(x, np.linalg.solve(A, b), rtol=1e-4)


def test_coefficients_that_cannot_be_formed_are_refused():
    with pytest.raises(ValueError, match=r"^Chebyshev coefficients cannot be formed for kappa = 1e\+09 and "
                                         r"epsilon = 0\.01: their binomial tails would need 5\.066e\+19 trials, "
                                         r"more than double precision counts exactly \(2\*\*53\)\.$"):
        TiberqSolver(np.diag([1.0, 1e-9]), [1.0, 1.0], logging=False)


def test_kappa_and_matrix_terms():
    assert _compute_kappa(np.eye(3)) == 1.0
    assert _compute_kappa(np.diag([2.0, -4.0])) == 2.0
    assert _compute_kappa(np.diag([1.0, 0.0])) == np.inf
    assert _compute_kappa(np.diag([1.0, 1e-12])) == pytest.approx(1e12)
    assert _compute_kappa([[1.0, 2.0], [0.0, 1.0]]) == np.inf
    x = np.array([0.3, -0.7])
    A = np.diag(x)
    assert len(_compute_chebyshev_matrix_terms(A, 0)) == 1
    terms = _compute_chebyshev_matrix_terms(A, 3)
    np.testing.assert_allclose([np.diag(t) for t in terms],
                               [np.ones(2), x, 2 * x**2 - 1, 4 * x**3 - 3 * x], atol=1e-15)
    assert terms[1] is not A
    assert len(_compute_chebyshev_matrix_terms(A, 3.7)) == 4


def random_unitary(rng, dim):
    Q, R = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return Q * (np.diag(R) / abs(np.diag(R)))


@pytest.mark.parametrize("m", [1, 2, 3, 5])
def test_lcu_block_is_the_weighted_sum(m):
    rng = np.random.default_rng(m)
    mats = [random_unitary(rng, 4) for _ in range(m)]
    circuits = []
    for U in mats:
        qc = Circuit(2)
        qc.unitary(U, [0, 1])
        circuits.append(qc)
    coeffs = list(rng.uniform(0.1, 2.0, size=m))
    qc, n_sys, n_anc, lam = _build_lcu(circuits, coeffs)
    assert (n_sys, n_anc) == (2, (m - 1).bit_length())
    assert lam == pytest.approx(sum(coeffs)) and type(lam) is float
    assert qc.get_num_qubits() == 2 + n_anc
    block = executed_unitary(qc)[:4, :4]
    np.testing.assert_allclose(block, sum(c * U for c, U in zip(coeffs, mats)) / lam, atol=1e-12)


def test_lcu_refusals():
    one, two = Circuit(1), Circuit(2)
    with pytest.raises(ValueError, match="^Unitaries and coefficients must have same length.$"):
        _build_lcu([one], [1.0, 2.0])
    with pytest.raises(ValueError, match="^All unitaries must act on same number of qubits.$"):
        _build_lcu([one, two], [1.0, 2.0])
    with pytest.raises(IndexError):
        _build_lcu([], [])


def test_module_surface():
    names = [n for n in vars(tiberq) if not n.startswith("__")]
    assert names == ["time", "np", "Any", "Dict", "List", "Tuple", "bdtrc", "Circuit", "Register",
                     "block_encode", "_build_lcu", "TiberqSolver", "_compute_kappa",
                     "_compute_chebyshev_coeffs_tiberq", "_compute_chebyshev_matrix_terms"]
    sig = inspect.signature(TiberqSolver)
    assert str(sig) == ("(A: 'np.ndarray', b: 'np.ndarray', device: 'str' = 'cpu', epsilon: 'float' = 0.01,"
                        " logging: 'bool' = True, **kwargs: 'Any') -> 'Tuple[Circuit, np.ndarray, float]'")
    assert TiberqSolver.__doc__ and _compute_chebyshev_matrix_terms.__doc__ == (
        "Compute T_k(A) for k = 0..max_order via three-term recurrence.")


def test_import_prints_nothing_and_demonstration_runs():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    quiet = subprocess.run([sys.executable, "-P", "-c", "import quorvex.library.linear_solver.tiberq"],
                           capture_output=True, text=True, env=env, timeout=120)
    assert quiet.returncode == 0 and quiet.stdout == ""
    done = subprocess.run([sys.executable, "-P", "-m", "quorvex", "quorvex.library.linear_solver.tiberq"],
                          capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "Classical reference solution:" and lines[2] == ""
    assert lines[3] == RULE and lines[4] == "[TIBERQ] Starting TIBERQ linear solver (epsilon=0.1)"
    assert lines[-3].startswith("Scaling factor: ")
    assert lines[-2].startswith("Relative residual (|Ax-b|/|b|): ")
    assert lines[-1].startswith("Fidelity with classical: ")
    assert float(lines[-1].rsplit(" ", 1)[1]) >= 0.99999


@pytest.mark.parametrize("scale_A, scale_b", [(1e200, 1.0), (1.0, 1e-300), (1.0, 1e300), (1e-10, 1e-300)])
def test_scale_survives_extreme_magnitudes(scale_A, scale_b):
    # x(sA, tb) = (t/s) x(A, b); squares of such entries under- or overflow.
    A = np.array([[3.0, 1.0], [1.0, 2.0]])
    b = np.array([1.0, -0.5])
    _, x, alpha = TiberqSolver(A, b, epsilon=0.01, logging=False)
    _, x_scaled, alpha_scaled = TiberqSolver(A * scale_A, b * scale_b, epsilon=0.01, logging=False)
    np.testing.assert_allclose(x_scaled, x * (scale_b / scale_A), rtol=1e-9)
    assert alpha_scaled == pytest.approx(alpha * scale_b / scale_A, rel=1e-9)


def test_complex_input_is_refused_unless_its_imaginary_part_is_zero():
    import warnings

    for A, b, name in [(np.eye(2), np.array([1 + 2j, -0.5j]), "b"), (np.eye(2) * (1 + 1e-30j), [1.0, 1.0], "A")]:
        with pytest.raises(ValueError, match=rf"^{name} has entries with a nonzero imaginary part; this solver "
                                             r"is real \(TiberqSolver solves real systems only\)"):
            TiberqSolver(A, b, logging=False)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        _, x, _ = TiberqSolver(np.diag([2.0, 1.0]) + 0j, np.array([1.0, 1.0]) + 0j, logging=False)
    np.testing.assert_allclose(x, [0.5, 1.0], rtol=1e-2)


@pytest.mark.parametrize("A, b, message", [
    (np.diag([1.0, np.nan]), [1.0, 1.0], "A must be finite: 1 of its 4 entries is NaN or infinite."),
    ([[np.inf, 1.0], [1.0, -np.inf]], [1.0, 1.0], "A must be finite: 2 of its 4 entries are NaN or infinite."),
    (np.eye(2), [np.nan, 1.0], "b must be finite: 1 of its 2 entries is NaN or infinite."),
    (np.eye(2), [np.inf, 1.0], "b must be finite: 1 of its 2 entries is NaN or infinite."),
])
def test_entries_that_are_not_finite_are_named(capsys, A, b, message):
    with pytest.raises(ValueError) as info:
        TiberqSolver(A, b)
    assert str(info.value) == message
    assert capsys.readouterr().out.splitlines() == BANNER


def test_matrices_near_the_ends_of_the_range():
    # Scaled by a power of two first: the symmetric part and the norms of
    # 1.7e308 * A overflow.
    A = np.array([[3.0, 1.0], [1.0, 2.0]])
    b = np.array([1.0, -0.5])
    _, x, _ = TiberqSolver(A, b, logging=False)
    size = 1.7e308 / 3
    _, x_scaled, _ = TiberqSolver(A * size, b, logging=False)
    np.testing.assert_allclose(x_scaled * size, x, rtol=1e-9)
    # The singularity cut stays 1e-12 in the caller's scale, not moved with
    # the scaling: diag(1.7e308, 1) has kappa 1.7e308 and is refused by it,
    # and every eigenvalue of A * 1e-310 lies below the cut.
    with pytest.raises(ValueError, match=r"^Chebyshev coefficients cannot be formed for kappa = 1\.7e\+308 "):
        TiberqSolver(np.diag([1.7e308, 1.0]), [1.0, 1.0], logging=False)
    with pytest.raises(ValueError, match=r"^Matrix is singular \(infinite condition number\)\.$"):
        TiberqSolver(A * 1e-310, b, logging=False)


@pytest.mark.parametrize("kappa, epsilon", [(1.0, 0.5), (1.0, 0.01), (10.0, 0.01), (100.0, 0.001), (3000.0, 0.01)])
def test_the_estimate_counts_the_terms_kept(kappa, epsilon):
    from quorvex.library.linear_solver._costs import chebyshev_degree, chebyshev_terms

    coeffs, b, j0 = _compute_chebyshev_coeffs_tiberq(kappa, epsilon)
    assert chebyshev_degree(kappa, epsilon) == (b, j0)
    assert chebyshev_terms(b, j0) == len(coeffs)


@pytest.mark.parametrize("kappa, memory, error, message", [
    # 1.66 million terms on 23 qubits: about 13 minutes and 7.1 GiB.
    (1e5, 2 ** 40, ValueError, r"^kappa = 100000 with epsilon = 0\.01 \(1,659,922 Chebyshev terms, a circuit on "
                               r"23 qubits\) would take about 1\d min; runs estimated to take more than 10 min "
                               r"are refused\. A larger epsilon, or a better-conditioned A, needs fewer terms\.$"),
    (1e5, 2 ** 32, MemoryError, r"^kappa = 100000 with epsilon = 0\.01 \(1,659,922 Chebyshev terms, a circuit on "
                                r"23 qubits\) would need about 7\.\d+ GiB of memory; this process may use about "
                                r"4 GiB \(the memory available on this machine\)\. A larger epsilon"),
    # 1e6 and 1e7: 78 GiB and 809 GiB.
    (1e6, 2 ** 34, MemoryError, r"^kappa = 1e\+06 with epsilon = 0\.01 \(17,745,315 Chebyshev terms, a circuit "
                                r"on 27 qubits\) would need about 7\d\.\d GiB of memory"),
    (1e7, 2 ** 34, MemoryError, r"^kappa = 1e\+07 with epsilon = 0\.01 \(188,217,492 Chebyshev terms"),
])
def test_runs_that_cannot_finish_or_fit_are_refused_before_any_term(monkeypatch, capsys, memory_limit, kappa, memory,
                                                                     error, message):
    memory_limit(memory)
    monkeypatch.setattr(tiberq, "_compute_chebyshev_coeffs_tiberq", lambda *args: pytest.fail("terms computed"))
    with pytest.raises(error, match=message):
        TiberqSolver(np.diag([1.0, 1.0 / kappa]), [1.0, 1.0])
    assert capsys.readouterr().out.splitlines()[-1] == (
        "[TIBERQ] Step 2/6: Computing Chebyshev coefficients for 1/x ...")


# Peak resident memory of runs on random systems of padded size P and kappa,
# and how much their address space grew (GiB).
MEASURED_PEAKS = [(2, 1e4, 0.572, 0.632), (8, 3e3, 0.374, 0.429), (32, 1e3, 1.136, 1.220), (64, 300.0, 1.241, 1.294)]


@pytest.mark.parametrize("P, kappa, peak, address_space", MEASURED_PEAKS)
def test_the_memory_estimate_is_close_above_the_runs_measured(P, kappa, peak, address_space):
    from quorvex._memory import _LIMIT_RESERVE
    from quorvex.library.linear_solver._costs import tiberq_cost

    estimate = tiberq_cost(kappa, 0.01, P)[2] / 2 ** 30
    assert peak <= estimate <= 1.25 * peak
    # What fits under a 2 GB address-space limit beside an interpreter that
    # has mapped 0.46 GiB (numpy, the package, BLAS threads) is not refused.
    if address_space <= 2 - 0.46:
        assert estimate <= 2 - 0.46 - _LIMIT_RESERVE / 2 ** 30


def test_block_encoding_shows_progress_every_ten_seconds(monkeypatch, capsys):
    class Clock:
        now = 0.0

        def time(self):
            # Each reading of the clock is 6 seconds after the one before.
            self.now += 6.0
            return self.now

    monkeypatch.setattr(tiberq, "time", Clock())
    TiberqSolver(np.eye(4), [1.0, 0.0, 0.0, 0.0], epsilon=0.01)
    out = capsys.readouterr().out.splitlines()
    start = out.index("[TIBERQ] Step 4/6: Block-encoding each Chebyshev term (Dorrin method) ...")
    assert out[start + 1:start + 4] == ["  - Block-encoded 2 of 5 terms", "  - Block-encoded 4 of 5 terms",
                                        "  - Block-encoded 5 matrices, each on 3 qubits (target=2)"]
    monkeypatch.setattr(tiberq, "time", Clock())
    TiberqSolver(np.eye(4), [1.0, 0.0, 0.0, 0.0], epsilon=0.01, logging=False)
    assert capsys.readouterr().out == ""


def test_memory_running_out_midway_is_named(monkeypatch):
    def exhausted(matrix, method):
        raise MemoryError()

    monkeypatch.setattr(tiberq, "block_encode", exhausted)
    with pytest.raises(MemoryError, match=r"^TiberqSolver's circuit of 5 Chebyshev terms ran out of memory "
                                          r"\(about .* GiB is left\); no result is returned\.$"):
        TiberqSolver(np.eye(2), [1.0, 0.0], logging=False)


@pytest.mark.parametrize("kappa, epsilon, b, j0", [
    (2.0, 1e-300, 2766, 1392),
    # kappa / epsilon overflows (the tails were refused as needing inf trials).
    (2.0, 5e-324, 2981, 1500),
    # 4 b / epsilon overflows (an OverflowError once).
    (1000.0, 1e-300, 697683284, 705066),
])
def test_epsilon_far_below_its_use_gives_the_expansion_of_its_logarithms(kappa, epsilon, b, j0):
    from quorvex.library.linear_solver._costs import chebyshev_degree

    assert chebyshev_degree(kappa, epsilon) == (b, j0)
    assert j0 == math.ceil(math.sqrt(b * (math.log(4 * b) - math.log(epsilon))))


def test_epsilon_far_below_its_use_solves():
    _, x, _ = TiberqSolver(np.diag([1.0, 0.5]), [1.0, 1.0], epsilon=5e-324, logging=False)
    np.testing.assert_allclose(x, [1.0, 2.0], rtol=1e-6)
