"""Phase-estimation linear solver: results against a closed-form model, output, refusals."""
import re

import numpy as np
import pytest
import scipy.linalg

import pelqa_reference as ref
from quorvex.core import Circuit
from quorvex.library.linear_solver.pelqa import (
    PelqaSolver, _controlled_reciprocal_rotation, _expi_hermitian, _hermitian_dilate_system,
    _postselect_solution_state, _unitary_circuit_from_matrix)


def random_unitary(rng, N):
    q, _ = np.linalg.qr(rng.normal(size=(N, N)) + 1j * rng.normal(size=(N, N)))
    return q


def random_system(kind, N, seed):
    """A system with singular values in [1, 4] (condition number at most 4)."""
    rng = np.random.default_rng(seed)
    s = rng.uniform(1, 4, N)
    if kind == "general":
        A = random_unitary(rng, N) @ np.diag(s) @ random_unitary(rng, N).conj().T
    else:
        if kind == "indefinite":
            s = s * np.where(np.arange(N) % 2, -1, 1)
        V = random_unitary(rng, N)
        A = V @ np.diag(s) @ V.conj().T
        A = (A + A.conj().T) / 2
    b = rng.normal(size=N) + 1j * rng.normal(size=N)
    return A, b


def quiet(A, b, **kw):
    return PelqaSolver(A, b, logging=False, **kw)


# ---------------------------------------------------------------------------
# Results against the closed-form model
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("kind, N, d, r, small", [
    ("definite", 2, 4, None, None),
    ("definite", 2, 5, None, True),       # ignored in original mode
    ("definite", 4, 6, 5, None),          # r >= 5: linear form by default
    ("definite", 8, 8, None, None),
    ("indefinite", 4, 5, None, None),
    ("indefinite", 8, 6, 3, None),        # r < 5: arcsin form by default
    ("indefinite", 2, 7, 6, False),
    ("general", 2, 6, None, None),        # dilated to 4
    ("general", 4, 5, 4, True),           # dilated to 8
    ("general", 8, 4, 8, None),           # dilated to 16
])
# The coarsest grids leave answers near the 0.1 bound, which warns: the model
# is what is checked here.
@pytest.mark.filterwarnings("ignore:PelqaSolver's solution is off")
def test_matches_closed_form_model(kind, N, d, r, small):
    A, b = random_system(kind, N, seed=N * 100 + d)
    circuit, x_q, scale = quiet(A, b, d=d, r=r, use_small_angle_approx=small)
    want = ref.solve(A, b, d, r=r, small=small)
    np.testing.assert_allclose(x_q, want["x_q"], rtol=0, atol=1e-8 * max(1, abs(want["x_q"]).max()))
    assert x_q.shape == (N,)
    assert scale == pytest.approx(want["scale"], rel=1e-12) and type(scale) is float
    assert circuit._p_succ == pytest.approx(want["p_succ"], rel=1e-8, abs=1e-12)
    assert circuit._n_rot == want["n_rot"]
    assert circuit._max_theta == pytest.approx(want["max_theta"], abs=1e-12)
    assert circuit._hermitian_dilation is (kind == "general")
    assert circuit._original_dimension == N
    x_cl = np.linalg.solve(A, b)
    fid = abs(np.vdot(x_q / np.linalg.norm(x_q), x_cl / np.linalg.norm(x_cl))) ** 2
    assert circuit._fidelity == pytest.approx(fid, abs=1e-9)


def test_single_precision_run_matches_the_model():
    A, b = random_system("indefinite", 4, seed=7)
    circuit, x_q, _ = quiet(A, b, d=6, dtype=np.complex64)
    want = ref.solve(A, b, 6)
    assert x_q.dtype == np.complex64
    np.testing.assert_allclose(x_q, want["x_q"], atol=2e-4 * abs(want["x_q"]).max())
    assert circuit._p_succ == pytest.approx(want["p_succ"], rel=1e-3)


def on_grid_dilated():
    # Singular values 31 and 20 with t = (1/2 - 1/64) / 31 put every eigenphase
    # of the dilated matrix on the 64-point grid.
    rng = np.random.default_rng(3)
    Q = np.linalg.qr(rng.normal(size=(2, 2)))[0]
    W = np.linalg.qr(rng.normal(size=(2, 2)))[0]
    return Q @ np.diag([31.0, 20.0]) @ W.T, [1.0, -2.0], {}


def on_grid_hermitian():
    V = random_unitary(np.random.default_rng(4), 2)
    return V @ np.diag([1.0, 3.0]) @ V.conj().T, [0.5, 1j], {"r": 3}


@pytest.mark.parametrize("system", [
    on_grid_dilated,
    on_grid_hermitian,                                   # r-parameter mode, arcsin form
    lambda: ([[2.0]], [3.0], {}),                        # 1 x 1, positive
    lambda: ([[-0.5]], [1j], {}),                        # 1 x 1, negative: signed grid
    lambda: ([[0.25]], [2.0], {"r": 4}),
], ids=["dilated", "r-arcsin", "1x1", "1x1-negative", "1x1-r"])
def test_exact_when_every_eigenphase_is_on_the_grid(system):
    A, b, kw = system()
    circuit, x_q, _ = quiet(A, b, d=6, **kw)
    np.testing.assert_allclose(x_q, np.linalg.solve(A, b), atol=1e-10)
    assert circuit._fidelity == pytest.approx(1.0, abs=1e-12)


def test_worked_case_original_mode():
    circuit, x_q, scale = quiet(np.diag([1.0, 3.0]), [1, 0])
    assert isinstance(circuit, Circuit) and circuit.get_num_qubits() == 8
    assert scale == 1.9090909090909092
    np.testing.assert_allclose(x_q, [1, 0], atol=1e-12)
    assert circuit._p_succ == pytest.approx((11 / 21) ** 2, rel=1e-12)
    assert (circuit._n_rot, circuit._max_theta) == (53, np.pi)
    assert (circuit._hermitian_dilation, circuit._original_dimension) == (False, 2)


def test_caller_time_used_unless_it_overflows(capsys):
    A, b = np.diag([1.0, 3.0]), [1.0, 1.0]
    _, x_q, _ = quiet(A, b, t=0.25)
    np.testing.assert_allclose(x_q, ref.solve(A, b, 6, t=0.25)["x_q"], atol=1e-10)
    assert capsys.readouterr().out == ""
    # Overflowing t is replaced, and said so even without logging.
    _, x_q, _ = quiet(A, b, t=1)
    assert capsys.readouterr().out == (
        "  * Warning: user-provided t causes phase overflow; auto-corrected to 0.3281\n")
    np.testing.assert_allclose(x_q, quiet(A, b)[1], atol=1e-12)


def test_right_hand_side_shapes_are_flattened():
    A = np.diag([1.0, 3.0])
    want = quiet(A, [1, 2])[1]
    for b in ([[1], [2]], [[1, 2]], np.array([1, 2], dtype=np.int8)):
        np.testing.assert_array_equal(quiet(A, b)[1], want)


def test_nearly_hermitian_matrix_is_used_as_it_is():
    A, b = random_system("definite", 4, seed=12)
    K = np.triu(np.ones((4, 4)), 1)
    A = A + 1e-10 * (K - K.T)
    circuit, x_q, _ = quiet(A, b, d=6)
    assert not circuit._hermitian_dilation
    np.testing.assert_allclose(x_q, ref.solve(A, b, 6)["x_q"], atol=1e-8)


@pytest.mark.parametrize("factor", [1e-200, 1e200])
def test_right_hand_side_of_extreme_magnitude(factor):
    # Its squares under- or overflow; it is still no zero vector.
    A, b = np.diag([1.0, 3.0]), np.array([0.6, -0.8])
    _, x_q, scale = quiet(A, b * factor)
    want = quiet(A, b)
    np.testing.assert_allclose(x_q / factor, want[1], rtol=1e-12)
    assert scale / factor == pytest.approx(want[2], rel=1e-12)


@pytest.mark.parametrize("A", [np.diag([1.0, 3.0]), np.array([[1.0, 2.0], [0.0, 1.0]])])
@pytest.mark.parametrize("b", [[1e-310, 0.0], [0.6 * 2.0 ** -1030, -0.8 * 2.0 ** -1030], [5e-324, 0.0]])
# The comparison with the reference is made in the scaled system: no warning
# even where x_q itself underflows to 0.
@pytest.mark.filterwarnings("error")
def test_subnormal_right_hand_side_solves(A, b):
    # 1 / ||b|| is infinite; the same system scaled by 2**600 (exactly) is ordinary.
    S = 2.0 ** 600
    _, x_q, scale = quiet(A, b)
    _, want, want_scale = quiet(A, np.array(b) * S)
    spacing = 2.0 ** -1074 * S  # of subnormal numbers, scaled up
    np.testing.assert_allclose(x_q * S, want, rtol=1e-12, atol=4 * spacing)
    # The scale is norm_b * t (a subnormal, rounded to the spacing) * grid / k_start.
    assert scale * S == pytest.approx(want_scale, rel=1e-12, abs=spacing * 2 ** 6)


def test_eigenvalue_cut_is_absolute_as_documented():
    assert "1e-12" in PelqaSolver.__doc__
    with pytest.raises(ValueError, match="^Eigenvalues of A are approximately zero"):
        quiet(1e-13 * np.eye(2), [1.0, 1.0])
    with pytest.warns(UserWarning) as caught:
        x_q = quiet(np.diag([1e-13, 1.0]), [1.0, 1.0])[1]
    assert [str(w.message)[:45] for w in caught] == ["PelqaSolver drops 1 of the 2 eigenvalues of A",
                                                     "PelqaSolver's solution is off: its relative r"]
    assert abs(x_q[0]) < 1e-20 and x_q[1] == pytest.approx(1.0, abs=1e-3)


def test_inputs_are_not_modified():
    A, b = random_system("general", 2, seed=11)
    A0, b0 = A.copy(), b.copy()
    quiet(A, b, d=5)
    assert np.array_equal(A, A0) and np.array_equal(b, b0)


# ---------------------------------------------------------------------------
# Output
# ---------------------------------------------------------------------------

def expected_lines(r_lines, summary, rotations):
    eq70, eq50 = "=" * 70, "=" * 50
    head, mode = r_lines
    return [eq70, head, *mode, eq70, eq50,
            "[PELQA] Stage 1/4: Matrix preprocessing and adaptive parameter parsing...",
            "  - Linear system dimension (N): 2 (1 System Qubits)",
            "  - Condition number (kappa): 3.00",
            "  - Auto evolution time (t): 0.328125",
            "  - Phase grid start index (k_start): 11",
            *summary,
            "[PELQA] Stage 1/4 complete [OK]", eq50,
            "[PELQA] Stage 2/4: Building PELQA quantum circuit...",
            "  - State preparation module loaded: initialized |b>",
            "  - QPE module loaded: extracting eigenphases",
            "  - Controlled reciprocal rotation loaded: nonlinear mapping 1/lambda",
            f"    -> n_rotations: {rotations}",
            "  - Inverse QPE (iQPE) loaded: system uncomputation",
            "[PELQA] Stage 2/4 complete [OK]", eq50,
            "[PELQA] Stage 3/4: Running quantum simulation...",
            re.compile(r"  - Core simulation time: \d+\.\d{4} s"),
            "[PELQA] Stage 3/4 complete [OK]", eq50,
            "[PELQA] Stage 4/4: Running classical post-processing (post-selection for solution vector)...",
            re.compile(r"  - Post-selection probability P\(anc=1, phase=\|0>\): \d\.\d{6}"),
            re.compile(r"  - Fidelity: \d\.\d{6}"),
            re.compile(r"  - Quantum vs classical L2 error: \d\.\d{6}e[-+]\d\d"),
            "[PELQA] Stage 4/4 complete [OK]",
            "[PELQA] Solution vector:"]


ORIGINAL = (("[PELQA] Starting PELQA linear system solver (phase precision d=6)", []),
            ["  - C = k_start: 11", "  - scale_factor: 1.909091"])
R_MODE = (("[PELQA] Starting PELQA linear system solver (r=5) (phase precision d=6)",
           ["[PELQA]   C = 2^(-5)*pi = 9.817477e-02  |  small-angle approx: True"]),
          ["  - C_base = 2^(-r)*pi: 9.817477e-02",
           "  - C_rotation (C_base * t * grid): 2.061670",
           "  - scale_factor (norm_b / C_base): 10.185916",
           "  - Rotation mode: small-angle linear"])


@pytest.mark.parametrize("kw, lines, scale", [
    ({}, ORIGINAL, 1.9090909090909092),
    ({"r": 5}, R_MODE, 10.185916357881302),
], ids=["original", "r-mode"])
def test_printed_stages(capsys, kw, lines, scale):
    _, x_q, got_scale = PelqaSolver(np.diag([1.0, 3.0]), [1, 0], **kw)
    assert got_scale == scale
    out = capsys.readouterr().out.splitlines()
    want = expected_lines(*lines, rotations=53)
    assert len(out) > len(want)
    for line, expect in zip(out, want):
        assert expect.fullmatch(line) if isinstance(expect, re.Pattern) else line == expect
    assert "\n".join(out[len(want):]) == str(x_q)


def test_dilation_line_and_silence_without_logging(capsys):
    A = [[1, 2], [0, 1]]
    circuit, x_q, _ = quiet(A, [1, 1])
    assert capsys.readouterr().out == ""
    assert x_q.shape == (2,) and circuit._hermitian_dilation and circuit._original_dimension == 2
    PelqaSolver(A, [1, 1])
    out = capsys.readouterr().out.splitlines()
    assert out[5] == "  - Non-Hermitian input detected; applied Hermitian dilation (2 -> 4)."
    assert out[6] == "  - Linear system dimension (N): 4 (2 System Qubits)"


# ---------------------------------------------------------------------------
# Refusals
# ---------------------------------------------------------------------------

SQUARE = "A must be a square matrix."
POWER = "Dimension N must be a power of 2."
LENGTH = "Dimension of b does not match A."
PHASE_BITS = "Phase bits d={} are insufficient to resolve the minimum phase. Please increase d."
EMPTY = "A is empty (0 x 0): there is no system to solve."


@pytest.mark.parametrize("A, b, kw, message", [
    (np.eye(4)[:, :2], [1, 2, 3], {}, SQUARE),           # square check comes first
    (np.float64(2.0), [1.0], {}, SQUARE),                # 0-d
    ([1.0, 2.0], [1.0, 2.0], {}, SQUARE),                # 1-d
    (np.ones((2, 2, 2)), [1.0, 2.0], {}, SQUARE),
    (np.eye(3), [1.0, 2.0], {}, POWER),                  # before the length check
    (np.zeros((0, 0)), [], {}, EMPTY),
    (np.zeros((0, 0)), [1.0], {}, EMPTY),                # before the length check
    (np.eye(4), [1.0, 2.0, 3.0], {}, LENGTH),
    (np.eye(2), [0, 0], {}, "Vector b cannot be all zeros."),
    (np.zeros((2, 2)), [1, 0], {}, "Eigenvalues of A are approximately zero; inverse cannot be computed."),
    (np.diag([1e-13, -1e-13]), [1, 0], {}, "Eigenvalues of A are approximately zero; inverse cannot be computed."),
    (np.diag([0.01, 1.0]), [1, 1], {"d": 3}, PHASE_BITS.format(3)),
    # A t of the caller's that leaves the grid unresolved is named, with what reaches it.
    (np.diag([1.0, 2.0]), [1, 1], {"t": 1e-300},
     "t = 1e-300 puts the smallest eigenphase at 6.4e-299 of the 64 points of the d = 6 phase grid, below its "
     "first: raise t (at most 0.4922 keeps every eigenphase on the grid) or d."),
    (np.diag([1.0, 2.0]), [1, 1], {"t": 0.01, "d": 4},
     "t = 0.01 puts the smallest eigenphase at 0.16 of the 16 points of the d = 4 phase grid, below its first: "
     "raise t (at most 0.4688 keeps every eigenphase on the grid) or d."),
    ([[1, 2], [0, 1]], [1, 1], {"d": 1}, PHASE_BITS.format(1)),  # dilated: phi_max = 0
    (np.eye(2), [1, 1], {"d": 0}, PHASE_BITS.format(0)),
])
def test_refused_inputs(capsys, A, b, kw, message):
    with pytest.raises(ValueError) as err:
        PelqaSolver(A, b, **kw)
    assert str(err.value) == message
    out = capsys.readouterr().out
    # The opening lines and the stage-1 header come before any input error.
    assert out.startswith("=" * 70 + "\n[PELQA] Starting PELQA")
    assert "Stage 1/4: Matrix preprocessing" in out and "Stage 1/4 complete" not in out


def test_r_below_three_refused_before_any_output(capsys):
    with pytest.raises(ValueError, match=r"^r must be >= 3 when using r-parameter mode\.$"):
        PelqaSolver(np.eye(2), [1, 1], r=2.9)   # converted to 2
    assert capsys.readouterr().out == ""


@pytest.mark.filterwarnings("ignore:PelqaSolver drops 1 of the 2 eigenvalues")
def test_singular_matrix_fails_in_the_classical_solve_after_simulation(capsys):
    with pytest.raises(np.linalg.LinAlgError, match=r"^Matrix is singular: A has no inverse, so A x = b has no "
                                                    r"unique solution \(phase estimation passed over its "
                                                    r"eigenvalues of modulus 1e-12 or less\)\.$"):
        PelqaSolver(np.diag([1.0, 0.0]), [1, 1])
    assert "Stage 4/4: Running classical post-processing" in capsys.readouterr().out


SOLVE_ARGS = (np.eye(2), [1, 1])


@pytest.mark.parametrize("func, args, kw, message", [
    (PelqaSolver, SOLVE_ARGS, {"d": None}, "Argument 'd' has incorrect type (expected int, got NoneType)"),
    (PelqaSolver, SOLVE_ARGS, {"d": "6"}, "Argument 'd' has incorrect type (expected int, got str)"),
    (PelqaSolver, SOLVE_ARGS, {"t": "0.1"}, "Argument 't' has incorrect type (expected float, got str)"),
    (PelqaSolver, SOLVE_ARGS, {"r": "5"}, "Argument 'r' has incorrect type (expected int, got str)"),
    (PelqaSolver, SOLVE_ARGS, {"use_small_angle_approx": 1},
     "Argument 'use_small_angle_approx' has incorrect type (expected bool, got int)"),
    (PelqaSolver, (), {}, "PelqaSolver() takes at least 2 positional arguments (0 given)"),
    (PelqaSolver, SOLVE_ARGS, {"q": 1}, "PelqaSolver() got an unexpected keyword argument 'q'"),
    (_controlled_reciprocal_rotation, (None, 1), {}, "Argument 'd' has incorrect type (expected int, got NoneType)"),
    (_controlled_reciprocal_rotation, (2, None), {}, "Argument 'k_start' has incorrect type (expected int, got NoneType)"),
    (_controlled_reciprocal_rotation, (2, 1, "1"), {}, "Argument 'C' has incorrect type (expected float, got str)"),
    (_postselect_solution_state, (np.zeros(8), 1.0, 1, None), {},
     "Argument 'n' has incorrect type (expected int, got NoneType)"),
    (_expi_hermitian, (np.eye(2), "1"), {}, "must be real number, not str"),
])
def test_typed_parameters_refuse_wrong_types(func, args, kw, message):
    with pytest.raises(TypeError) as err:
        func(*args, **kw)
    assert str(err.value) == message


def test_typed_parameters_convert_numbers():
    # d, r and the rotation's k_start go through int(), logging by truth value.
    want = quiet(np.diag([1.0, 3.0]), [1, 0], d=6, r=5)[1]
    _, x_q, _ = PelqaSolver(np.diag([1.0, 3.0]), [1, 0], d=6.7, r=np.float64(5.2), logging=0)
    np.testing.assert_array_equal(x_q, want)
    assert _controlled_reciprocal_rotation(2.9, 1.0, use_linear=[], signed="")._n_rot == 3


def test_annotations_are_kept_as_text():
    assert PelqaSolver.__annotations__ == {
        "A": "np.ndarray", "b": "np.ndarray", "d": "int", "t": "Optional[float]",
        "r": "Optional[int]", "use_small_angle_approx": "Optional[bool]", "logging": "bool",
        "return": "Tuple[Circuit, np.ndarray, float]"}
    assert _controlled_reciprocal_rotation.__annotations__["return"] == "Circuit"
    assert _postselect_solution_state.__annotations__["scale"] == "float"


# ---------------------------------------------------------------------------
# Controlled reciprocal rotation
# ---------------------------------------------------------------------------

def ancilla_amplitudes(rot, d):
    """The rotation applied to a uniform phase register: |0> and |1> amplitudes per k."""
    c = Circuit(d + 1)
    for q in range(1, d + 1):
        c.h(q)
    c.append(rot, list(range(d + 1)))
    state = np.asarray(c.execute().state) * np.sqrt(2 ** d)
    return state[0::2], state[1::2]


@pytest.mark.parametrize("d, k_start, C, linear, signed", [
    (2, 1, None, False, False),
    (2, 1, None, False, True),
    (1, 1, None, False, True),        # the only index reads as -1
    (3, 2, 1.5, True, False),
    (3, 2, 1.5, False, True),
    (4, 3, 7.0, False, True),         # C / den beyond 1: clipped to +-1
    (4, 3, 7.0, True, False),
    (3, 1, 1e-13, False, False),      # angles below 1e-12: nothing applied
    (3, 1, 0.0, True, True),
    (3, 8, None, False, False),       # k_start above every index
])
def test_rotation_gives_each_index_its_amplitude(d, k_start, C, linear, signed):
    rot = _controlled_reciprocal_rotation(d, k_start, C, use_linear=linear, signed=signed)
    gains, n_rot, max_theta = ref.rotation_gains(d, k_start, k_start if C is None else C,
                                                 linear, signed)
    zero, one = ancilla_amplitudes(rot, d)
    np.testing.assert_allclose(one, gains, atol=1e-12)
    np.testing.assert_allclose(zero, np.sqrt(1 - gains ** 2), atol=1e-12)
    assert (rot._n_rot, rot._max_theta) == (n_rot, pytest.approx(max_theta, abs=1e-15))
    assert rot.get_num_qubits() == d + 1 and rot.name == "cond_Recip_Rot"
    if n_rot == 0:
        assert rot._max_theta == 0.0 and len(rot.gate_sequence.data()) == 0


@pytest.mark.parametrize("signed, sign", [(False, 1), (True, -1)])
def test_rotation_gate_list_for_two_phase_qubits(signed, sign):
    rot = _controlled_reciprocal_rotation(2, 1, signed=signed)
    got = [(g.id, g.target, g.control, g.parameter) for g in rot.gate_sequence.data()]
    # k = 2 and 3 read as -2 and -1 on the signed grid.
    thetas = [np.pi, sign * np.pi / 3, sign * (np.pi if signed else 2 * np.arcsin(1 / 3))]
    mcry = [("mcry", (0,), (1, 2), (pytest.approx(theta, abs=1e-15),)) for theta in thetas]
    x1, x2 = ("x", (1,), (), None), ("x", (2,), (), None)
    assert got == [x2, mcry[0], x2, x1, mcry[1], x1, mcry[2]]
    assert (rot._n_rot, rot._max_theta) == (3, np.pi)


@pytest.mark.parametrize("C, linear, theta", [(3.0, True, 2.0), (3.0, False, np.pi)])
def test_clipped_reciprocal(C, linear, theta):
    assert _controlled_reciprocal_rotation(1, 1, C, linear)._max_theta == theta


# ---------------------------------------------------------------------------
# Dense helpers
# ---------------------------------------------------------------------------

def test_hermitian_dilation():
    rng = np.random.default_rng(5)
    A = rng.normal(size=(3, 3)) + 1j * rng.normal(size=(3, 3))
    b = rng.normal(size=3) + 1j * rng.normal(size=3)
    A0, b0 = A.copy(), b.copy()
    Ad, bd = _hermitian_dilate_system(A, b)
    assert np.array_equal(Ad, Ad.conj().T)
    assert np.array_equal(Ad[:3, 3:], A) and np.array_equal(Ad[3:, :3], A.conj().T)
    assert not Ad[:3, :3].any() and not Ad[3:, 3:].any()
    assert np.array_equal(bd, np.concatenate([b, np.zeros(3)]))
    assert np.array_equal(A, A0) and np.array_equal(b, b0)
    Ad, bd = _hermitian_dilate_system(A=np.array([[1, 2], [0, 1]]), b=np.array([1, 1]))
    assert Ad.tolist() == [[0, 0, 1, 2], [0, 0, 0, 1], [1, 0, 0, 0], [2, 1, 0, 0]]
    assert bd.tolist() == [1, 1, 0, 0]


def test_hermitian_exponential():
    A, _ = random_system("indefinite", 4, seed=9)
    U, w = _expi_hermitian(A, 0.37)
    np.testing.assert_allclose(U, scipy.linalg.expm(2j * np.pi * 0.37 * A), atol=1e-12)
    np.testing.assert_allclose(w, np.linalg.eigvalsh(A), atol=1e-12)
    U, w = _expi_hermitian(np.diag([0.25, 0.5]), 1)
    np.testing.assert_allclose(U, np.diag([1j, -1]), atol=1e-15)
    np.testing.assert_allclose(_expi_hermitian(A, 0)[0], np.eye(4), atol=1e-14)


@pytest.mark.parametrize("n", [0, 1, 2])
def test_unitary_circuit_applies_the_matrix(n):
    U = random_unitary(np.random.default_rng(n), 2 ** n)
    circuit = _unitary_circuit_from_matrix(U)
    assert circuit.get_num_qubits() == n and circuit.name == "U_exp_iAt"
    assert len(circuit.gate_sequence.data()) == 1
    for j in range(2 ** n):
        probe = Circuit(max(n, 1))
        for q in range(n):
            if (j >> q) & 1:
                probe.x(q)
        probe.append(circuit, list(range(n)))
        np.testing.assert_allclose(np.asarray(probe.execute().state)[:2 ** n], U[:, j], atol=1e-12)


def test_postselection_keeps_ancilla_one_and_phase_zero():
    state = np.arange(8) * (1 + 1j)
    before = state.copy()
    psi, p, x_q = _postselect_solution_state(state, -2.0, 1, 1)
    np.testing.assert_array_equal(x_q, -2.0 * state[[1, 5]])
    assert p == pytest.approx(abs(state[1]) ** 2 + abs(state[5]) ** 2) and type(p) is float
    np.testing.assert_allclose(psi, state[[1, 5]] / np.sqrt(p))
    assert np.array_equal(state, before)


@pytest.mark.parametrize("fill", [0.0, np.nan])
def test_postselection_refuses_an_empty_or_undefined_block(fill):
    state = np.ones(16, dtype=complex)
    state[1::4] = fill            # d = 1, n = 2: ancilla 1, phase 0
    with pytest.raises(ValueError, match=r"^Post-selection probability is zero \(ancilla=1 and "
                                         r"phase=0 state did not appear\)\.$"):
        _postselect_solution_state(state, 1.0, 1, 2)



@pytest.mark.parametrize("kw, error, message", [
    ({"r": np.nan}, ValueError, "r must be a whole number, got nan"),
    ({"r": np.inf}, ValueError, "r must be a whole number, got inf"),
    ({"d": np.nan}, ValueError, "d must be a whole number, got nan"),
    ({"d": -np.inf}, ValueError, "d must be a whole number, got -inf"),
    *[({"t": t}, ValueError, "t must be a positive finite number (or None for the largest that keeps every "
                             f"eigenphase on the grid), got {float(t)!r}") for t in [np.nan, 0, -0.5, -np.inf, np.inf]],
    # Beyond the floating-point range: no formula can take it.
    *[({name: 10 ** 400}, ValueError, f"{name} is too large: a number of 401 digits, beyond the floating-point "
                                      f"range (largest double 1.79769e+308).") for name in ("d", "r")],
    ({"r": 1 + 2j}, TypeError, "int() argument must be a string, a bytes-like object or a real number, "
                               "not 'complex'"),
    ({"r": np.int64(2)}, ValueError, "r must be >= 3 when using r-parameter mode."),
])
def test_parameters_that_are_no_numbers_are_named_before_any_output(capsys, kw, error, message):
    with pytest.raises(error) as err:
        PelqaSolver(np.eye(2), [1, 1], **kw)
    assert str(err.value) == message
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("A, b, message", [
    (np.diag([1.0, np.nan]), [1.0, 1.0], "A must be finite: 1 of its 4 entries is NaN or infinite."),
    (np.diag([np.inf, 1.0]), [1.0, 1.0], "A must be finite: 1 of its 4 entries is NaN or infinite."),
    (np.eye(2), [np.nan, -np.inf], "b must be finite: 2 of its 2 entries are NaN or infinite."),
])
def test_entries_that_are_not_finite_are_named(A, b, message):
    with pytest.raises(ValueError) as err:
        quiet(A, b)
    assert str(err.value) == message


def test_matrices_near_the_ends_of_the_range():
    # Solved as A / 2^e: the Hermitian test, the eigenvalues and the
    # reference of 1.7e308 * A overflow. The eigenvalue cut stays 1e-12 in the
    # caller's scale: diag(1.7e308, 1) has kappa 1.7e308 (too many phase bits
    # for d = 6), 1e-300 * A only eigenvalues below the cut.
    A, b = np.array([[3.0, 1.0], [1.0, 2.0]]), np.array([1.0, -0.5])
    size = 1.7e308 / 3
    np.testing.assert_allclose(quiet(A * size, b)[1] * size, quiet(A, b)[1], rtol=1e-12)
    with pytest.raises(ValueError, match="^Phase bits d=6 are insufficient"):
        quiet(np.diag([1.7e308, 1.0]), [1.0, 1.0])
    with pytest.raises(ValueError, match="^Eigenvalues of A are approximately zero"):
        quiet(A * 1e-300, b)


def test_real_systems_have_real_solutions():
    A, b = np.array([[2.0, 0.5], [0.5, 1.0]]), [1.0, 2.0]
    _, x_q, scale = quiet(A, b, d=5)
    assert x_q.dtype == np.complex128 and not x_q.imag.any() and type(scale) is float
    np.testing.assert_allclose(x_q.real, ref.solve(A, b, 5)["x_q"].real, atol=1e-10)
    # A complex system keeps its imaginary part.
    _, x_q, _ = quiet(A, [1.0, 2j], d=5)
    np.testing.assert_allclose(x_q, ref.solve(A, [1.0, 2j], 5)["x_q"], atol=1e-10)


@pytest.mark.parametrize("d, memory, error, message", [
    # 2**19 rotations, 10 million gates on 21 qubits: about 21 minutes.
    (19, 2 ** 40, ValueError, r"^d = 19 phase qubits \(a reciprocal rotation of 1\.05e\+07 gates on 21 qubits\) "
                              r"would take about 21\.\d min; runs estimated to take more than 10 min are refused\. "
                              r"Each phase qubit doubles the rotation"),
    (30, 2 ** 40, MemoryError, r"^d = 30 phase qubits \(a reciprocal rotation of 3\.33e\+10 gates on 32 qubits\) "
                               r"would need about 6\.\d+e\+03 GiB of memory; this process may use about 1\.02e\+03 "
                               r"GiB"),
    (10 ** 6, 2 ** 40, MemoryError, r"^d = 1000000 phase qubits"),
])
def test_phase_qubits_that_cannot_finish_or_fit_are_refused_before_the_circuit(monkeypatch, capsys, memory_limit, d,
                                                                               memory, error, message):
    from quorvex.library.equation import _memory
    from quorvex.library.linear_solver import pelqa

    memory_limit(memory)
    monkeypatch.setattr(pelqa, "_controlled_reciprocal_rotation", lambda *a, **k: pytest.fail("circuit built"))
    with pytest.raises(error, match=message):
        PelqaSolver(np.diag([1.0, 2.0]), [1.0, 1.0], d=d)
    assert "Stage 1/4 complete" not in capsys.readouterr().out


# Runs measured on an idle 8-core machine: (N, d, seconds). d = 18 on a 2 x 2
# system (once refused as 19 minutes) takes 5, and is accepted; the dense
# controlled powers dominate from N = 1024.
MEASURED_RUNS = [(2, 17, 80.0), (2, 18, 325.0), (1024, 10, 13.0), (2048, 12, 886.0)]


@pytest.mark.parametrize("N, d, seconds", MEASURED_RUNS)
def test_the_time_estimate_is_within_twice_the_runs_measured(N, d, seconds):
    from quorvex.library.equation._memory import TIME_LIMIT
    from quorvex.library.linear_solver._costs import pelqa_cost

    estimate = pelqa_cost(d, N.bit_length() - 1)[2]
    assert seconds / 2 <= estimate <= 2 * seconds
    assert (estimate <= TIME_LIMIT) is (seconds <= TIME_LIMIT)


@pytest.mark.parametrize("d, N", [(4, 2), (6, 2), (7, 4), (5, 8)])
def test_the_estimate_bounds_the_gates_built(d, N):
    from quorvex.library.linear_solver._costs import pelqa_cost

    circuit, _, _ = quiet(np.diag(np.linspace(1.0, 2.0, N)), np.ones(N), d=d)
    built = len(circuit.gate_sequence.data())
    assert built <= pelqa_cost(d, int(np.log2(N)))[0] <= 2 * built


@pytest.mark.parametrize("N, d, memory, message", [
    # About 2 d + 8 dense N x N matrices: 320 MiB at N = 1024, d = 6.
    (1024, 6, 2 ** 28, r"^A 1024 x 1024 system \(phase estimation's dense exponential of A, its powers for d = 6 "
                       r"phase qubits and their inverses\) would need about 0\.31\d GiB of memory"),
    (1024, 14, 2 ** 28, r"^A 1024 x 1024 system .* for d = 14 phase qubits .* would need about 0\.5\d* GiB"),
])
def test_large_systems_are_refused_by_their_dense_matrices(monkeypatch, memory_limit, N, d, memory, message):
    from quorvex.library.linear_solver import pelqa
    from quorvex.library.linear_solver._costs import pelqa_cost

    memory_limit(memory)
    monkeypatch.setattr(pelqa, "_expi_hermitian", lambda *a: pytest.fail("exponential formed"))
    with pytest.raises(MemoryError, match=message):
        PelqaSolver(np.diag(np.linspace(1.0, 2.0, N)), np.ones(N), d=d, logging=False)
    # Measured peaks: 0.23 GiB at N = 1024, d = 4 and 0.85 GiB at N = 2048, d = 4.
    assert 0.23 * 2 ** 30 <= pelqa_cost(4, 10)[1] <= 0.5 * 2 ** 30
    assert 0.85 * 2 ** 30 <= pelqa_cost(4, 11)[1] <= 2 * 2 ** 30


@pytest.mark.parametrize("r, small_angle, largest", [
    (60, None, "1.63e-17"),      # the small-angle form from r = 5
    (60, False, "1.63e-17"),
    (2000, None, "0"),           # C = 0: the scale factor would be infinite
])
def test_r_that_leaves_no_rotation_is_named(recwarn, r, small_angle, largest):
    with pytest.raises(ValueError) as err:
        PelqaSolver(np.diag([1.0, 0.5]), [1.0, 1.0], r=r, use_small_angle_approx=small_angle, logging=False)
    assert str(err.value).startswith(f"r = {r} makes the rotation constant C = 2^(-r)*pi = ")
    assert f"every rotation angle (at most {largest}) is below 1e-12" in str(err.value)
    assert not [w for w in recwarn if issubclass(w.category, RuntimeWarning)]
    # The largest r that still rotates is solved.
    _, x, _ = PelqaSolver(np.diag([1.0, 0.5]), [1.0, 1.0], r=38, logging=False)
    np.testing.assert_allclose(x.real, [1.0, 2.0], rtol=0.05)
