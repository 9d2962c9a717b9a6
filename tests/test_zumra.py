"""Discrete adiabatic linear-system solver: circuit, solution, output, refusals."""
import inspect
import os
import re
import subprocess
import sys
import typing
import warnings

import numpy as np
import pytest

import walk_reference as wr
from quorvex import core
from quorvex.library.linear_solver import zumra

FAIL_MESSAGE = ("Post-selection returned a near-zero state. The adiabatic evolution may need more steps "
                "(increase T) or the system may be too ill-conditioned.")
HEADER = [
    "=" * 70,
    "[ZUMRA] Starting discrete adiabatic linear system solver (T={T}, p={p})",
    "=" * 70,
    "=" * 50,
    "[ZUMRA] Stage 1/4: Input validation and preprocessing...",
]


def header(T="auto", p=1.4):
    return [line.format(T=T, p=p) for line in HEADER]


@pytest.fixture
def recording(monkeypatch):
    """The solver builds on stand-ins that record its circuit calls."""
    monkeypatch.setattr(zumra, "Circuit", wr.RecordingCircuit)
    monkeypatch.setattr(zumra, "Register", wr.FakeRegister)


def random_unitary(rng, n, complex_):
    m = rng.standard_normal((n, n)) + (1j * rng.standard_normal((n, n)) if complex_ else 0)
    q, r = np.linalg.qr(m)
    return q * (np.diag(r) / abs(np.diag(r)))


def random_system(seed, N, kappa, hermitian, complex_, b_first=None):
    """A with singular values spread over [1, kappa] (both ends included)."""
    rng = np.random.default_rng(seed)
    s = np.concatenate([[1.0, kappa], rng.uniform(1.0, kappa, N - 2)])[:N]
    U = random_unitary(rng, N, complex_)
    if hermitian:
        A = (U * (s * rng.choice([-1.0, 1.0], N))) @ U.conj().T
        A = (A + A.conj().T) / 2
    else:
        A = (U * s) @ random_unitary(rng, N, complex_).conj().T
    b = rng.standard_normal(N) + (1j * rng.standard_normal(N) if complex_ else 0j)
    if b_first is not None:
        b[0] = b_first
    return A, b


def canonical(calls):
    """Calls with arrays by identity and sub-circuits by their content."""
    def item(v):
        if isinstance(v, np.ndarray):
            return ("array", id(v))
        if isinstance(v, wr.RecordingCircuit):
            return wr.RecordingCircuit.template_of(v)
        if isinstance(v, list):
            return [item(x) for x in v]
        return v
    return [(name, tuple(item(a) for a in args), {k: item(v) for k, v in kw.items()})
            for name, args, kw in calls]


# --------------------------------------------------------------------------
# The circuit, call by call, and its state
# --------------------------------------------------------------------------

@pytest.mark.parametrize("A, b, T, p", [
    ([[2.0, 1.0], [1.0, 3.0]], [0.6, 0.8], 4, 2.0),
    # Non-Hermitian: dilated to 4 x 4, two system qubits.
    ([[1.0, 2.0], [0.5, 1.0j]], [1.0, 1j], 4, 1.4),
    # Hermitian up to 1e-10: used as given, neither dilated nor symmetrised.
    ([[2.0, 1.0 + 1e-10], [1.0 - 1e-10, 3.0]], [0.6, 0.8], 4, 1.4),
])
@pytest.mark.filterwarnings("ignore:ZumraSolver's solution is off")  # walks far shorter than kappa asks for
def test_circuit_calls_follow_the_step_table(recording, A, b, T, p):
    qc = zumra.ZumraSolver(A, b, T=T, p=p, logging=False, backend="any", device="dev", dtype=np.complex64)[0]
    assert qc.executed_with == ("any", "dev", np.complex64)
    An, bn, *_ = wr.prepared_system(A, b)
    n_sys = int(np.log2(len(bn)))
    calls = qc.calls
    assert len(calls) == 1 + T * (4 * n_sys + 27)

    Ub, Ub_dag = calls[0][1][0], calls[2][1][0]
    Bl, Bl_dag = [c[1][0] for c in calls if c[0] == "unitary" and "control" in c[2]][:2]
    np.testing.assert_allclose(Ub, zumra._uprep_b(bn), atol=1e-14)
    np.testing.assert_allclose(Bl, zumra._bloc_enc(An), atol=1e-14)
    # The adjoints are computed once, C-contiguous, and shared by every step.
    for M, M_dag in ((Ub, Ub_dag), (Bl, Bl_dag)):
        assert np.array_equal(M_dag, M.conj().T) and M_dag.flags.c_contiguous
    expected = wr.walk_calls(n_sys, Ub, Bl, np.linalg.cond(An), p, T, wr.McZTemplate(n_sys),
                             Ub_dag=Ub_dag, Bl_dag=Bl_dag)
    assert canonical(calls) == canonical(expected)
    thetas = [c[1][0] for c in calls if c[0] == "cry"]
    assert all(type(t) is np.float64 for t in thetas)
    assert thetas[-1] == pytest.approx(np.pi)


@pytest.mark.parametrize("A, b, T, p", [
    ([[2.0, 1.0], [1.0, 3.0]], [1.0, -2.0], 4, 2.0),
    ([[1.0, 2.0], [0.5, 1.0j]], [1.0, 1j], 6, 1.4),
    (random_system(3, 4, 3.0, True, True)[0], [1j, 2, -1, 0.5 - 1j], 8, 1.4),
    (random_system(4, 4, 2.0, False, False)[0], [1, 2, 3, 4], 4, 2.0),
    (random_system(5, 8, 4.0, True, False)[0], np.arange(1.0, 9.0), 4, 2.0),
])
@pytest.mark.filterwarnings("ignore:ZumraSolver's solution is off")  # walks far shorter than kappa asks for
def test_state_and_solution_match_an_independent_simulation(A, b, T, p):
    qc, x, scale = zumra.ZumraSolver(A, b, T=T, p=p, logging=False)
    An, bn, a_scale, b_scale, dilated, N = wr.prepared_system(A, b)
    n_sys = int(np.log2(len(bn)))
    calls = wr.walk_calls(n_sys, zumra._uprep_b(bn), zumra._bloc_enc(An), np.linalg.cond(An), p, T,
                          wr.McZTemplate(n_sys))
    reference = wr.simulate(n_sys + 5, calls, {"sys": 0, "anl": n_sys})
    state = np.asarray(qc.execute().state)
    np.testing.assert_allclose(state, reference, atol=1e-10)
    np.testing.assert_allclose(x, wr.postselected_solution(reference, An, bn, a_scale, b_scale, dilated, N),
                               atol=1e-10)
    assert qc._hermitian_dilation is dilated and qc._original_dimension == N
    # A real system's factor and solution are real (its x keeps the complex type).
    real = not np.iscomplexobj(np.asarray(A)) and not np.iscomplexobj(np.asarray(b))
    assert len(x) == N and x.dtype == np.complex128
    assert type(scale) is float if real else isinstance(scale, np.complex128)
    if real:
        assert not x.imag.any()


@pytest.mark.parametrize("size", [1e-200, 1e200])
@pytest.mark.filterwarnings("error")  # the residual is taken in the scaled system
def test_right_hand_sides_of_extreme_size(size):
    A, b = [[2.0, 1.0], [1.0, 3.0]], np.array([0.6, -0.8])
    x = zumra.ZumraSolver(A, b, logging=False)[1]
    np.testing.assert_allclose(zumra.ZumraSolver(A, b * size, logging=False)[1] / size, x, rtol=1e-12)


@pytest.mark.parametrize("A", [[[2.0, 1.0], [1.0, 3.0]], [[1.0, 2.0], [0.0, 1.0]]])
@pytest.mark.parametrize("b", [[1e-310, 0.0], [0.6 * 2.0 ** -1030, -0.8j * 2.0 ** -1030], [5e-324, 0.0]])
@pytest.mark.filterwarnings("error")
def test_subnormal_right_hand_sides_solve(A, b):
    # 1 / ||b|| is infinite; the same system scaled by 2**600 (exactly) is ordinary.
    S = 2.0 ** 600
    # Walks long enough for the answer to be within the bound, which warns otherwise.
    x = zumra.ZumraSolver(A, b, T=200, logging=False)[1]
    want = zumra.ZumraSolver(A, np.array(b) * S, T=200, logging=False)[1]
    spacing = 2.0 ** -1074 * S  # of subnormal numbers, scaled up
    np.testing.assert_allclose(x * S, want, rtol=1e-12, atol=4 * spacing)


def test_single_precision_execution_gives_the_same_solution():
    A, b = random_system(6, 4, 3.0, True, True)
    x128 = zumra.ZumraSolver(A, b, logging=False)[1]
    x64 = zumra.ZumraSolver(A, b, logging=False, dtype=np.complex64)[1]
    np.testing.assert_allclose(x64, x128, atol=1e-4 * np.linalg.norm(x128))


CASES = [
    # (seed, N, kappa, hermitian, complex, first entry of b)
    (10, 2, 2.0, True, False, None),
    (11, 2, 8.0, False, True, None),
    (12, 4, 5.0, True, True, -1.0),
    (13, 4, 8.0, False, False, 0.0),
    (14, 4, 3.0, True, False, 1j),
    (15, 8, 4.0, True, True, None),
    (16, 8, 6.0, True, False, -1.0),
    (17, 8, 2.5, False, True, -0.3 + 0.4j),
]


@pytest.mark.parametrize("seed, N, kappa, hermitian, complex_, b_first", CASES)
def test_solution_agrees_with_numpy(seed, N, kappa, hermitian, complex_, b_first):
    A, b = random_system(seed, N, kappa, hermitian, complex_, b_first)
    A_in, b_in = A.astype(complex), b.astype(complex).reshape(N, 1)
    A_copy, b_copy = A_in.copy(), b_in.copy()
    qc, x, scale = zumra.ZumraSolver(A_in, b_in, logging=False)
    assert np.array_equal(A_in, A_copy) and np.array_equal(b_in, b_copy)

    reference = np.linalg.solve(A, b)
    overlap = abs(np.vdot(x, reference)) ** 2 / (np.vdot(x, x).real * np.vdot(reference, reference).real)
    assert overlap >= 0.99
    # The scale fits all equations at once (least squares): the residual
    # is orthogonal to A x.
    assert abs(np.vdot(A @ x, A @ x - b)) <= 1e-9 * np.linalg.norm(b) ** 2
    assert qc._hermitian_dilation is (not hermitian) and qc._original_dimension == N


# --------------------------------------------------------------------------
# Trivial systems (condition number 1)
# --------------------------------------------------------------------------

@pytest.mark.parametrize("A, b, expected", [
    (np.eye(4), [1, 2, 3, 4], [1, 2, 3, 4]),
    (2 * np.eye(2), [1j, 3], [0.5j, 1.5]),
    # Non-Hermitian and orthogonal: dilated, then its second half returned.
    ([[0, 1], [-1, 0]], [1, 2], [-2, 1]),
])
def test_trivial_path_solves_classically(recording, A, b, expected):
    qc, x, scale = zumra.ZumraSolver(A, b, T=3, logging=False)
    np.testing.assert_allclose(x, expected, atol=1e-12)
    assert scale == 1.0 and type(scale) is float
    n_sys = qc.n - 5
    # Only the preparation of |b>: no walk, no template.
    assert [(name, kw) for name, args, kw in qc.calls] == [
        ("unitary", {"target": [wr.Qubit("sys", i) for i in range(n_sys)]})]
    assert qc._original_dimension == len(b)
    assert qc._hermitian_dilation is (len(b) != 2 ** n_sys)


@pytest.mark.parametrize("A, b, expected", [
    (np.eye(4), [1, 2, 3, 4], [1, 2, 3, 4]),
    # One dimension: no system qubit, |b> = -1 is a global phase.
    ([[2.0]], [-3.0], [-1.5]),
    ([[2j]], [1.0], [-0.5j]),
])
def test_trivial_circuit_prepares_b(A, b, expected):
    qc, x, scale = zumra.ZumraSolver(A, b, logging=False)
    np.testing.assert_allclose(x, expected, atol=1e-12)
    bn = wr.prepared_system(A, b)[1]
    assert isinstance(qc, core.Circuit) and qc.get_num_qubits() == 5 + int(np.log2(len(bn)))
    state = np.asarray(qc.execute().state)
    np.testing.assert_allclose(state[:len(bn)], bn, atol=1e-12)
    np.testing.assert_allclose(state[len(bn):], 0, atol=1e-12)


# --------------------------------------------------------------------------
# Printed output
# --------------------------------------------------------------------------

def printed(capsys, *args, **kwargs):
    result = zumra.ZumraSolver(*args, **kwargs)
    out = capsys.readouterr().out
    return result, re.sub(r"simulation time: \d+\.\d{4} s", "simulation time: <t> s", out)


def test_walk_output(capsys):
    # 28 steps leave x 0.105 off in relative residual: said by a warning.
    with pytest.warns(UserWarning, match=r"^ZumraSolver's solution is off: its relative residual"):
        (qc, x, scale), out = printed(capsys, [[2.0, 1.0], [1.0, 3.0]], [1, 0])
    assert out.splitlines() == header() + [
        "  - Note: Input was auto-normalised (||A||_2 = 3.618034, ||b|| = 1.000000)",
        "  - Linear system dimension (N): 2 (1 System Qubits)",
        "  - Condition number (kappa): 2.6180",
        "  - Adiabatic steps (T): 28, Schedule parameter (p): 1.40",
        "[ZUMRA] Stage 1/4 complete",
        "=" * 50,
        "[ZUMRA] Stage 2/4: Building discrete adiabatic quantum circuit...",
        "  - Total qubits: 6 (1 sys + 5 ancillary)",
        "  - Loading normalised state |b> on system register",
        "[ZUMRA] Stage 2/4 complete",
        "=" * 50,
        "[ZUMRA] Stage 3/4: Running quantum simulation...",
        "  - Core simulation time: <t> s",
        "[ZUMRA] Stage 3/4 complete",
        "=" * 50,
        "[ZUMRA] Stage 4/4: Classical post-processing (post-selection and rescaling)...",
        "  - Post-selection success amplitude: 0.978224",
        "  - Direction error vs classical normalised solution: 5.002200e-02",
        "  - Residual norm ||Ax - b||: 1.048352e-01",
        "  - Internal scaling factor: 2.385365",
        "[ZUMRA] Stage 4/4 complete",
        "[ZUMRA] Solution vector:",
    ] + str(x).splitlines()
    np.testing.assert_allclose(x, [0.61425725, -0.23950491], atol=1e-8)

    with pytest.warns(UserWarning, match=r"^ZumraSolver's solution is off"):
        (_, x_quiet, scale_quiet), quiet = printed(capsys, [[2.0, 1.0], [1.0, 3.0]], [1, 0], logging=False)
    assert quiet == "" and np.array_equal(x_quiet, x) and scale_quiet == scale


def test_trivial_output_with_dilation(capsys):
    (qc, x, scale), out = printed(capsys, [[0, 1], [-1, 0]], [3, 4], T=7, p=2)
    assert out.splitlines() == header(T=7, p=2.0) + [
        "  - Non-Hermitian input detected; applied Hermitian dilation (2 -> 4).",
        "  - Note: Input was auto-normalised (||A||_2 = 1.000000, ||b|| = 5.000000)",
        "  - Linear system dimension (N): 4 (2 System Qubits)",
        "  - Condition number (kappa): 1.0000",
        "  - Adiabatic steps (T): 7, Schedule parameter (p): 2.00",
        "[ZUMRA] Stage 1/4 complete",
        "=" * 50,
        "[ZUMRA] Stage 2/4: Building discrete adiabatic quantum circuit...",
        "  - Total qubits: 7 (2 sys + 5 ancillary)",
        "  - Loading normalised state |b> on system register",
        "  - Trivial system detected (kappa \u2248 1). Applying the normalised Hermitian inverse directly.",
        "[ZUMRA] Stage 2/4 complete (trivial)",
        "[ZUMRA] Stage 3/4 complete (trivial)",
        "[ZUMRA] Stage 4/4 complete (trivial)",
        "[ZUMRA] Solution vector:",
    ] + str(x).splitlines()
    np.testing.assert_allclose(x, [-4, 3], atol=1e-12)
    (_, x_quiet, scale_quiet), quiet = printed(capsys, [[0, 1], [-1, 0]], [3, 4], T=7, p=2, logging=False)
    assert quiet == "" and np.array_equal(x_quiet, x) and scale_quiet == 1.0


# --------------------------------------------------------------------------
# Refusals
# --------------------------------------------------------------------------

GOOD_A, GOOD_B = [[2.0, 1.0], [1.0, 3.0]], [1.0, 0.0]


@pytest.mark.parametrize("A, b, kwargs, message", [
    ([1.0, 2.0], GOOD_B, {}, "A must be a square matrix."),
    (5.0, [1.0], {}, "A must be a square matrix."),
    (np.ones((4, 2)), GOOD_B, {}, "A must be a square matrix."),
    (np.ones((2, 2, 2)), GOOD_B, {}, "A must be a square matrix."),
    (np.eye(3), [1, 2, 3], {}, "Dimension N must be a power of 2."),
    # The length check comes before the p check.
    (np.eye(4), [1, 2, 3], {"p": 0.5}, "Dimension of b does not match A."),
    # The zero check runs on the caller's b, before the p check.
    (GOOD_A, [0, 0], {"p": 1.0}, "Vector b cannot be all zeros."),
    (np.zeros((0, 0)), [], {}, "A is empty (0 x 0): there is no system to solve."),
    (GOOD_A, GOOD_B, {"p": 1}, "Schedule parameter p must be > 1."),
    # p must give the schedule a number: NaN, infinite and (for this kappa)
    # ones whose kappa ** (p - 1) overflows are named with the range.
    (GOOD_A, GOOD_B, {"p": np.nan}, "Schedule parameter p must be a finite number > 1, got nan."),
    (GOOD_A, GOOD_B, {"p": np.inf}, "Schedule parameter p must be a finite number > 1, got inf."),
    (GOOD_A, GOOD_B, {"p": 1e300}, "Schedule parameter p = 1e+300 is too large for kappa = 2.618: the schedule's "
                                   "kappa ** (p - 1) overflows; p must lie in (1, 738.5]."),
    (GOOD_A, GOOD_B, {"T": 10 ** 400}, "T is too large: a number of 401 digits, beyond the floating-point range "
                                       "(largest double 1.79769e+308)."),
    (GOOD_A, GOOD_B, {"T": 0}, "Number of steps T must be positive."),
    (GOOD_A, GOOD_B, {"T": -2}, "Number of steps T must be positive."),
])
def test_value_errors_follow_the_banner(recording, capsys, A, b, kwargs, message):
    with pytest.raises(ValueError) as err:
        zumra.ZumraSolver(A, b, **kwargs)
    assert str(err.value) == message
    out = capsys.readouterr().out.splitlines()
    assert out[:5] == header(p=float(kwargs.get("p", 1.4)), T=kwargs.get("T", "auto"))
    assert not any("Condition number" in line for line in out)


@pytest.mark.parametrize("kwargs, message", [
    ({"T": True}, "Argument 'T' has incorrect type (expected int, got bool)"),
    ({"T": np.int64(4)}, "Argument 'T' has incorrect type (expected int, got numpy.int64)"),
    ({"T": 4.0}, "Argument 'T' has incorrect type (expected int, got float)"),
    ({"device": None}, "Argument 'device' has incorrect type (expected str, got NoneType)"),
    ({"device": np.str_("cpu")}, "Argument 'device' has incorrect type (expected str, got numpy.str_)"),
    ({"p": "2"}, "must be real number, not str"),
])
def test_type_errors_before_any_output(recording, capsys, kwargs, message):
    with pytest.raises(TypeError) as err:
        zumra.ZumraSolver(GOOD_A, GOOD_B, **kwargs)
    assert str(err.value) == message
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("args, message", [
    (([[1.0]],), "ZumraSolver() takes at least 2 positional arguments (1 given)"),
    ((GOOD_A, GOOD_B, None, 1.4, True, "torch", "cpu", np.complex128, 0),
     "ZumraSolver() takes at most 8 positional arguments (9 given)"),
])
def test_argument_count(args, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        zumra.ZumraSolver(*args)


@pytest.mark.parametrize("A, shown", [
    ([[1.0, 1.0], [1.0, 1.0]], "inf"),
    ([[1.0, 2.0], [2.0, 4.0]], "2.0141e+16"),
    (np.zeros((2, 2)), "nan"),
    (np.diag([1.0, 1e-4 - 1e-12]), "1.0000e+04"),
])
@pytest.mark.filterwarnings("ignore:invalid value encountered")
def test_no_default_step_count_for_ill_conditioned_systems(recording, capsys, A, shown):
    with pytest.raises(ValueError) as err:
        zumra.ZumraSolver(A, [1.0, 0.5])
    assert str(err.value) == ("A is singular or too ill-conditioned for the default number of steps "
                              f"(kappa = {shown}); pass T explicitly.")
    assert "Condition number" not in capsys.readouterr().out


@pytest.mark.parametrize("A, shown", [([[1.0, 1.0], [1.0, 1.0]], "inf"), (np.zeros((2, 2)), "nan")])
@pytest.mark.filterwarnings("ignore:invalid value encountered")
def test_explicit_steps_for_a_singular_system_name_it(capsys, A, shown):
    # The schedule's angle would be NaN; the circuit must not be where it shows.
    with pytest.raises(ValueError) as err:
        zumra.ZumraSolver(A, [1.0, 1.0], T=10)
    assert str(err.value) == (f"A is singular (kappa = {shown}); the adiabatic schedule needs a finite "
                              "condition number.")
    assert "Condition number" not in capsys.readouterr().out


@pytest.mark.filterwarnings("ignore:ZumraSolver's solution is off")  # 4 steps where kappa asks for 10**6
def test_explicit_steps_are_kept_for_ill_conditioned_systems(recording):
    qc, x, _ = zumra.ZumraSolver(np.diag([1.0, 1e-5]), [1.0, 0.5], T=4, logging=False)
    assert len(qc.calls) == 1 + 4 * 31


def test_odd_step_count_fails_after_stage_four_starts(capsys):
    with pytest.raises(RuntimeError) as err:
        zumra.ZumraSolver(GOOD_A, GOOD_B, T=5)
    assert str(err.value) == FAIL_MESSAGE
    assert capsys.readouterr().out.splitlines()[-1] == (
        "[ZUMRA] Stage 4/4: Classical post-processing (post-selection and rescaling)...")


@pytest.mark.parametrize("A, b, name", [
    (GOOD_A, [np.nan, 1.0], "b"),
    (GOOD_A, [1.0, -np.inf], "b"),
    ([[np.inf, 1.0], [1.0, 3.0]], GOOD_B, "A"),
])
def test_nan_never_returns_as_a_solution(monkeypatch, A, b, name):
    with pytest.raises(ValueError, match=rf"^{name} must be finite: 1 of its \d entries is NaN or infinite\.$"):
        zumra.ZumraSolver(A, b, logging=False)

    # Where the simulation lets NaN through, the post-selection check stops it.
    class Undefined(wr.RecordingCircuit):
        def execute(self, **kwargs):
            result = super().execute(**kwargs)
            result.state[:] = np.nan
            return result

    monkeypatch.setattr(zumra, "Circuit", Undefined)
    monkeypatch.setattr(zumra, "Register", wr.FakeRegister)
    with pytest.raises(RuntimeError) as err:
        zumra.ZumraSolver(GOOD_A, GOOD_B, logging=False)
    assert str(err.value) == FAIL_MESSAGE


# --------------------------------------------------------------------------
# State preparation, block encoding, dilation
# --------------------------------------------------------------------------

def unit_with_first(first, N, seed=0):
    rng = np.random.default_rng(seed)
    rest = rng.standard_normal(N - 1) + 1j * rng.standard_normal(N - 1)
    rest *= np.sqrt(max(1 - abs(first) ** 2, 0.0)) / np.linalg.norm(rest) if N > 1 else 0
    return np.concatenate([[first], rest])


FIRST_ENTRIES = [1.0, 0.6, 0.0, -0.5, -1 + 1e-15, -1.0, 1j, -1j, 0.3 - 0.4j, 1e-320 - 1e-320j, -5e-324]


@pytest.mark.parametrize("N, first", [(N, first) for N in (2, 8) for first in FIRST_ENTRIES]
                         + [(1, first) for first in (1.0, -1.0, 1j, -1j)])
@pytest.mark.parametrize("column", [False, True])
def test_uprep_b_prepares_b(N, first, column):
    b = unit_with_first(first, N)
    given = b.reshape(N, 1) if column else b
    kept = given.copy()
    U = zumra._uprep_b(given)
    assert np.array_equal(given, kept)
    assert U.shape == (N, N) and U.dtype == np.complex128
    np.testing.assert_allclose(U @ U.conj().T, np.eye(N), atol=1e-12)
    np.testing.assert_allclose(U[:, 0], b, atol=1e-12)
    if first.imag == 0:
        np.testing.assert_allclose(U, U.conj().T, atol=1e-12)
    if first.imag == 0 and first.real >= 0:
        v = np.concatenate([[np.sqrt((b[0] + 1) / 2)], b[1:] / (2 * np.sqrt((b[0] + 1) / 2))])
        np.testing.assert_allclose(U, 2 * np.outer(v, v.conj()) - np.eye(N), atol=1e-15)


def test_uprep_b_of_basis_state_and_real_input():
    U = zumra._uprep_b(np.array([1.0, 0.0, 0.0, 0.0]))
    np.testing.assert_array_equal(U, np.diag([1, -1, -1, -1]).astype(complex))
    assert zumra._uprep_b(np.array([-1.0])).tolist() == [[-1]]


@pytest.mark.parametrize("A", [
    np.diag([1.0, 0.5, 0.25, 0.0]),
    random_system(7, 4, 3.0, False, True)[0] / 3.0,
    random_system(8, 2, 1.0, True, False)[0],
])
def test_bloc_enc_holds_a_in_a_unitary(A):
    E = zumra._bloc_enc(A)
    N = len(A)
    assert E.shape == (2 * N, 2 * N)
    np.testing.assert_allclose(E @ E.conj().T, np.eye(2 * N), atol=1e-12)
    np.testing.assert_allclose(E[:N, :N], A, atol=1e-12)
    if np.count_nonzero(A - np.diag(np.diag(A))) == 0:
        d = np.diag(A)
        np.testing.assert_allclose(E[N:, N:], -A, atol=1e-15)
        for block in (E[:N, N:], E[N:, :N]):
            assert np.count_nonzero(block - np.diag(np.diag(block))) == 0
            np.testing.assert_allclose(abs(np.diag(block)), np.sqrt(1 - d ** 2), atol=1e-15)


def test_bloc_enc_clips_singular_values_above_one():
    E = zumra._bloc_enc(np.diag([2.0, 0.5]))
    assert E[0, 2] == 0 and E[2, 0] == 0
    assert not np.allclose(E @ E.conj().T, np.eye(4))


def test_hermitian_dilation():
    A, b = np.array([[1, 2], [0, 1]]), np.array([1, 1])
    Ad, bd = zumra._hermitian_dilate_system(A=A, b=b)
    np.testing.assert_array_equal(Ad, [[0, 0, 1, 2], [0, 0, 0, 1], [1, 0, 0, 0], [2, 1, 0, 0]])
    np.testing.assert_array_equal(bd, [1, 1, 0, 0])
    assert Ad.dtype.kind == "i" and bd.dtype.kind == "i"

    A = random_system(9, 4, 3.0, False, True)[0]
    b = np.arange(4) + 1j
    A_copy, b_copy = A.copy(), b.copy()
    Ad, bd = zumra._hermitian_dilate_system(A, b)
    np.testing.assert_array_equal(Ad, Ad.conj().T)
    np.testing.assert_array_equal(Ad[:4, 4:], A)
    np.testing.assert_array_equal(Ad[:4, :4], 0)
    np.testing.assert_array_equal(bd, np.concatenate([b, np.zeros(4)]))
    assert np.array_equal(A, A_copy) and np.array_equal(b, b_copy)


# --------------------------------------------------------------------------
# The module
# --------------------------------------------------------------------------

def test_module_surface():
    assert zumra.__doc__.startswith("Discrete adiabatic quantum linear system solver (QLSP).")
    assert "5 ancillary qubits" in zumra.__doc__
    assert zumra.time is sys.modules["time"] and zumra.np is np and zumra.Tuple is typing.Tuple
    assert zumra.Circuit is core.Circuit and zumra.Register is core.Register
    assert not hasattr(zumra, "__all__")

    signature = inspect.signature(zumra.ZumraSolver)
    assert [(p.name, p.default, p.kind) for p in signature.parameters.values()] == [
        (name, default, inspect.Parameter.POSITIONAL_OR_KEYWORD) for name, default in [
            ("A", inspect.Parameter.empty), ("b", inspect.Parameter.empty), ("T", None), ("p", 1.4),
            ("logging", True), ("backend", "torch"), ("device", "cpu"), ("dtype", np.complex128)]]
    assert zumra.ZumraSolver.__annotations__ == {
        "A": "np.ndarray", "b": "np.ndarray", "T": "int", "p": "float", "logging": "bool",
        "device": "str", "return": "Tuple[Circuit, np.ndarray, float]"}
    assert zumra._uprep_b.__annotations__ == {"b": "np.ndarray", "return": "np.ndarray"}
    assert zumra._bloc_enc.__annotations__ == {"A": "np.ndarray", "return": "np.ndarray"}
    assert zumra._hermitian_dilate_system.__annotations__ == {
        "A": "np.ndarray", "b": "np.ndarray", "return": "Tuple[np.ndarray, np.ndarray]"}


def run_python(*args):
    # One thread: the demonstration's thousands of small matrix products only
    # lose time to thread start-up on a shared machine.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
               OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    return subprocess.run([sys.executable, "-P", *args], capture_output=True, text=True, env=env, timeout=300)


def test_import_prints_nothing():
    done = run_python("-c", "import quorvex.library.linear_solver.zumra")
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""


def test_launcher_runs_the_demonstration():
    done = run_python("-m", "quorvex", "quorvex.library.linear_solver.zumra")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[:3] == ["", ">>> Starting ZUMRA discrete adiabatic linear solver test...", "=" * 70]
    for line in [
        "  - Note: Input was auto-normalised (||A||_2 = 20.739455, ||b|| = 7.303467)",
        "  - Linear system dimension (N): 64 (6 System Qubits)",
        "  - Condition number (kappa): 106.3336",
        "  - Adiabatic steps (T): 1064, Schedule parameter (p): 1.40",
        "  - Total qubits: 11 (6 sys + 5 ancillary)",
        "  - Post-selection success amplitude: 0.938288",
        "  - Residual norm ||Ax - b||: 2.585701e-01",
    ]:
        assert line in lines
    assert "Non-Hermitian" not in done.stdout
    assert re.fullmatch(r"residual_norm: 0\.25857\d+", lines[-1])
    # The solution of the real system carries no imaginary rounding, and the
    # walk's own check finds it 0.16 off numpy's: that is said, with what to change.
    solution = "\n".join(lines[lines.index("[ZUMRA] Solution vector:") + 1:-1])
    assert re.findall(r"[+-][\d.e-]+j", solution) == ["+0.j"] * 64
    assert ("UserWarning: ZumraSolver's solution is off: its relative residual ||Ax - b||/||b|| is 0.0354 and its "
            "relative error against numpy.linalg.solve's solution 0.16 (a solution counts as off above 0.1), with "
            "T = 1064 steps. Raise T to about 2552: the error falls about as 1/T.") in done.stderr


def test_a_walk_too_short_for_kappa_warns_whatever_logging_says(capsys):
    # T = 100 where kappa = 10**6 asks for 10**7: x = [1, 3.6e-6] for [1, 1e6].
    with pytest.warns(UserWarning, match=r"^ZumraSolver's solution is off: its relative residual \|\|Ax - b\|\|/"
                                         r"\|\|b\|\| is 0\.707 and its relative error against numpy\.linalg\.solve's "
                                         r"solution 1 \(a solution counts as off above 0\.1\), with T = 100 steps\. "
                                         r"Raise T to about 10000000: kappa = 1e\+06 asks for at least 10 kappa = "
                                         r"10000000 steps, and the error falls about as 1/T\.$"):
        zumra.ZumraSolver(np.diag([1.0, 1e-6]), [1.0, 1.0], T=100, logging=False)
    assert capsys.readouterr().out == ""
    # The same check at the T that kappa asks for, with a schedule too steep
    # for it: the T it advises brings the answer within the bound.
    with pytest.warns(UserWarning, match=r"its relative error against numpy\.linalg\.solve's solution 0\.334 .* "
                                         r"with T = 20 steps\. Raise T to about 142: the error falls about as 1/T\.$"):
        zumra.ZumraSolver(np.diag([1.0, 0.5]), [1.0, 1.0], p=10.0, logging=False)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        x = zumra.ZumraSolver(np.diag([1.0, 0.5]), [1.0, 1.0], p=10.0, T=142, logging=False)[1]
    np.testing.assert_allclose(x, [1.0, 2.0], rtol=0.1)


def test_a_walk_long_enough_does_not_warn():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        # A sign the walk leaves on the state is no error: the scale takes it out.
        _, x, scale = zumra.ZumraSolver(np.diag([1.0, 3.0]), [1.0, 1.0], logging=False)
    assert scale < 0 and type(scale) is float
    np.testing.assert_allclose(x, [1.0, 1.0 / 3.0], rtol=0.3)


def test_matrices_of_extreme_magnitude_are_scaled_first():
    # diag(1e-310, 2e-310) has kappa 2; its norms underflow unless A is
    # scaled by a power of two first.
    _, x, _ = zumra.ZumraSolver(np.diag([1e-310, 2e-310]), [1e-310, 1e-310], logging=False)
    np.testing.assert_allclose(x, [1.0, 0.5], rtol=0.3)
    _, x_big, _ = zumra.ZumraSolver(np.diag([1.0, 2.0]) * 0.75e308, [1e308, 1e308], logging=False)
    _, x_unit, _ = zumra.ZumraSolver(np.diag([1.0, 2.0]), [1.0, 1.0], logging=False)
    np.testing.assert_allclose(x_big * 0.75, x_unit, rtol=1e-12)
    with pytest.raises(ValueError, match="^The solution is not finite"):
        zumra.ZumraSolver(np.diag([1e-310, 2e-310]), [1.0, 1.0], logging=False)


@pytest.mark.parametrize("T, memory, error, message", [
    # 10**7 steps of 31 calls: about 17 minutes and 87 GiB.
    (10 ** 7, 2 ** 40, ValueError, r"^T = 10000000 walk steps \(3\.1e\+08 circuit calls on 6 qubits\) would take "
                                   r"about 16\.7 min; runs estimated to take more than 10 min are refused\. The "
                                   r"default T"),
    (10 ** 7, 2 ** 34, MemoryError, r"^T = 10000000 walk steps \(3\.1e\+08 circuit calls on 6 qubits\) would need "
                                    r"about 86\.\d GiB of memory; this process may use about 16 GiB"),
    (10 ** 30, 2 ** 34, MemoryError, r"^T = 1000000000000000000000000000000 walk steps"),
])
def test_walks_that_cannot_finish_or_fit_are_refused_before_the_circuit(monkeypatch, capsys, memory_limit, T, memory,
                                                                        error, message):
    memory_limit(memory)
    monkeypatch.setattr(zumra, "_walk_step", lambda *args: pytest.fail("walk built"))
    with pytest.raises(error, match=message):
        zumra.ZumraSolver(np.diag([1.0, 0.5]), [1.0, 1.0], T=T)
    assert "Stage 2/4" not in capsys.readouterr().out


@pytest.mark.parametrize("n_sys, T", [(1, 50), (3, 20)])
@pytest.mark.filterwarnings("ignore:ZumraSolver's solution is off")  # 20 steps where kappa asks for 30
def test_the_estimate_counts_the_circuit_calls(recording, n_sys, T):
    from quorvex.library.linear_solver._costs import zumra_cost

    A, b = random_system(7, 2 ** n_sys, 3.0, True, False)
    qc, _, _ = zumra.ZumraSolver(A, b, T=T, logging=False)
    assert zumra_cost(T, n_sys)[0] == len(qc.calls) - 1  # all but the preparation of |b>


def test_the_estimate_counts_the_dense_copies_every_step_holds():
    # The circuit shares one copy of a matrix among the gates given the same
    # array only up to the estimate's size; beyond it each gate keeps its own.
    from quorvex.core import Circuit
    from quorvex.library.linear_solver._costs import _SHARED_MATRIX_BYTES, zumra_cost

    for dimension, shared in ((512, True), (1024, False)):
        assert (16 * dimension ** 2 <= _SHARED_MATRIX_BYTES) is shared
        qc = Circuit(10)
        matrix = np.eye(dimension, dtype=complex)
        for _ in range(2):
            qc.unitary(matrix, list(range(dimension.bit_length() - 1)))
        first, second = (gate.stored_matrix for gate in qc.gate_sequence.data())
        assert np.shares_memory(first, second) is shared
    # N = 512: the 2N x 2N block encoding, twice a step (16 MiB each); N =
    # 1024: that and the N x N preparation of |b>, four times a step. A walk
    # of 20 steps at N = 1024 holds about 4 GiB (4.1 GiB measured).
    for n_sys, per_step in ((8, 0), (9, 2 * 16 * 1024 ** 2), (10, 2 * 16 * 2048 ** 2 + 4 * 16 * 1024 ** 2)):
        grown = zumra_cost(20, n_sys)[1] - zumra_cost(10, n_sys)[1]
        assert 10 * per_step <= grown <= 10 * per_step + 2 ** 20


@pytest.mark.parametrize("T, memory, message", [
    # The default walk takes 12 steps at the least.
    (None, 2 ** 31, r"^A walk on a 1024 x 1024 system, even the shortest of the default \(12 steps, 804 circuit calls "
                    r"on 15 qubits, each step with its own copies of the dense matrices\) would need about 2\.5 GiB"),
    (20, 2 ** 31, r"^T = 20 walk steps \(1\.34e\+03 circuit calls on 15 qubits, each step with its own copies of "
                  r"the dense matrices\) would need about 4 GiB"),
])
def test_large_systems_are_refused_by_their_copies_before_the_walk(monkeypatch, memory_limit, T, memory, message):
    memory_limit(memory)
    monkeypatch.setattr(zumra, "_walk_step", lambda *args: pytest.fail("walk built"))
    # Refused before A's singular values are taken.
    monkeypatch.setattr(np.linalg, "cond", lambda *args: pytest.fail("kappa taken"))
    with pytest.raises(MemoryError, match=message):
        zumra.ZumraSolver(np.diag(np.linspace(1.0, 2.0, 1024)), np.ones(1024), T=T, logging=False)
