"""The parameter validator and the standard-matrix resolver that QuantumGate calls."""
import numpy as np
import pytest
from scipy.linalg import expm

from quorvex.backend.gate.matrix import resolve_numpy_base_matrix
from quorvex.backend.gate.morlith import QuantumGate as Q
from quorvex.backend.gate.validation import validate_gate_parameters

X = np.array([[0, 1], [1, 0]], dtype=complex)
Y = np.array([[0, -1j], [1j, 0]])
Z = np.diag([1.0 + 0j, -1.0])
I2 = np.eye(2)


# ---------------------------------------------------------------------------
# validate_gate_parameters
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("gate_id, parameters, expected", [
    ("x", None, None),
    ("X", (), None),
    ("RX", 0.5, (0.5,)),
    ("rx", [np.float32(0.5)], (0.5,)),
    ("rx", np.array([2]), (2.0,)),
    ("rx", np.int64(2), (2.0,)),
    ("u", [1, 2, 3], (1.0, 2.0, 3.0)),
    ("custom", (1, 2), (1.0, 2.0)),
    ("custom", None, None),
])
def test_validator_normalises(gate_id, parameters, expected):
    result = validate_gate_parameters(gate_id, parameters)
    assert result == expected
    assert result is None or all(type(v) is float for v in result)
    # idempotent: gate records validate their own parameters again
    assert validate_gate_parameters(gate_id, result) == expected


@pytest.mark.parametrize("gate_id, parameters, exc", [
    ("rx", True, TypeError),
    ("rx", [np.bool_(False)], TypeError),
    ("rx", 1j, TypeError),
    ("rx", [np.complex128(1)], TypeError),
    ("rx", "0.5", TypeError),
    ("rx", [[0.5]], TypeError),
    ("rx", float("nan"), ValueError),
    ("rx", None, ValueError),
    ("rx", (1, 2), ValueError),
    ("gp", (), ValueError),
    ("u", (1, 2), ValueError),
    ("x", 0.5, ValueError),
    ("measure", [1], ValueError),
])
def test_validator_refuses(gate_id, parameters, exc):
    with pytest.raises(exc):
        validate_gate_parameters(gate_id, parameters)


# ---------------------------------------------------------------------------
# resolve_numpy_base_matrix, against physics written independently
# ---------------------------------------------------------------------------

def _rot(pauli, theta):
    return expm(-0.5j * theta * pauli)


THETA, PHI, LAM = 0.7, -1.3, 2.1


@pytest.mark.parametrize("gate_id, targets, parameter, expected", [
    ("x", 0, None, X), ("cx", 0, None, X), ("y", 0, None, Y), ("z", 0, None, Z),
    ("h", 0, None, (X + Z) / np.sqrt(2)), ("i", 0, None, I2),
    ("s", 0, None, np.diag([1, 1j])), ("s_dag", 0, None, np.diag([1, -1j])),
    ("t", 0, None, np.diag([1, np.exp(1j * np.pi / 4)])),
    ("mct", 0, None, np.diag([1, np.exp(1j * np.pi / 4)])),
    ("t_dag", 0, None, np.diag([1, np.exp(-1j * np.pi / 4)])),
    ("rx", 0, THETA, _rot(X, THETA)), ("ry", 0, THETA, _rot(Y, THETA)),
    ("rz", 0, THETA, _rot(Z, THETA)), ("mcrz", 0, THETA, _rot(Z, THETA)),
    ("p", 0, THETA, np.diag([1, np.exp(1j * THETA)])),
    ("x2p", 0, None, _rot(X, np.pi / 2)), ("x2m", 0, None, _rot(X, -np.pi / 2)),
    ("y2p", 0, None, _rot(Y, np.pi / 2)), ("y2m", 0, None, _rot(Y, -np.pi / 2)),
    ("sqrtx", 0, None, np.exp(1j * np.pi / 4) * _rot(X, np.pi / 2)),
    ("sqrty", 0, None, np.exp(1j * np.pi / 4) * _rot(Y, np.pi / 2)),
    ("gp", 0, THETA, np.exp(1j * THETA) * I2),
    ("gphase", (), THETA, np.exp(1j * THETA) * np.eye(1)),
    ("u", 0, (THETA, PHI, LAM),
     np.exp(0.5j * (PHI + LAM)) * _rot(Z, PHI) @ _rot(Y, THETA) @ _rot(Z, LAM)),
    ("rzz", [0, 1], THETA, expm(-0.5j * THETA * np.kron(Z, Z))),
    ("swap", [0, 1], None, np.eye(4)[[0, 2, 1, 3]]),
])
def test_standard_matrices(gate_id, targets, parameter, expected):
    gate = Q(gate_id, targets, parameter=parameter)
    result = resolve_numpy_base_matrix(gate)
    assert result.dtype == np.complex128
    np.testing.assert_allclose(result, expected, atol=1e-12)


def test_square_roots_square_to_paulis():
    for root, pauli in (("sqrtx", X), ("sqrty", Y)):
        m = Q(root, 0).matrix
        np.testing.assert_allclose(m @ m, pauli, atol=1e-15)
        np.testing.assert_allclose(Q(root + "_dag", 0).matrix, m.conj().T, atol=1e-15)


def test_dtype_controls_and_stored_matrix():
    assert resolve_numpy_base_matrix(Q("gp", 0, parameter=1.0), dtype=np.complex64).dtype == np.complex64
    assert resolve_numpy_base_matrix(Q("rx", 0, parameter=1.0), dtype=np.complex64).dtype == np.complex64
    np.testing.assert_array_equal(Q("x", 0, control=[1, 2]).matrix, X)
    stored = [[0, 1], [1, 0]]
    assert Q("unitary", 0, matrix=stored).matrix is stored


def test_block_matrix_composes_children_with_their_controls():
    # children: h on position 0, then x on position 1 controlled by position 0 = Bell preparation
    block = Q("block", [5, 7], control=9, block_gate_sequence=[Q("h", 0), Q("cx", 1, control=0)])
    cnot_low_control = np.eye(4)[[0, 3, 2, 1]]  # position 0 is the low bit
    expected = cnot_low_control @ np.kron(I2, (X + Z) / np.sqrt(2))
    np.testing.assert_allclose(block.matrix, expected, atol=1e-15)
    negative = Q("block", [5, 7], block_gate_sequence=[Q("h", -2), Q("cx", -1, control=0)])
    np.testing.assert_allclose(negative.matrix, expected, atol=1e-15)
    with pytest.raises(ValueError):
        Q("block", [5, 7], block_gate_sequence=[Q("h", 2)]).matrix


@pytest.mark.parametrize("gate", [
    Q("measure", 0, classical_target=[0]), Q("unitary", 0), Q("custom", 0),
    Q("x", [0, 1]), Q("swap", 0), Q("measure", 0, matrix=X),
])
def test_gates_without_standard_matrix_raise(gate):
    with pytest.raises(ValueError):
        gate.matrix


H = (X + Z) / np.sqrt(2)
RZ = np.diag([np.exp(-0.2j), np.exp(0.2j)])


def block(targets, *children, **kw):
    return Q("block", targets, block_gate_sequence=children, **kw)


# The matrix is what every executor runs: the name decides before a stored
# matrix, an ordering gate is the identity, positions are resolved, and a
# composite gate runs its children whatever it carries itself.
@pytest.mark.parametrize("gate, expected", [
    (Q("rz", 0, parameter=0.4, matrix=H), RZ),
    (block([0], Q("rz", 0, parameter=0.4, matrix=H)), RZ),
    (Q("barrier", 0, matrix=X), I2),
    (Q("barrier", [0, 1]), np.eye(4)),
    (block([0], Q("barrier", 0, matrix=X)), I2),
    (block([0], Q("barrier", 0)), I2),
    (block([3, 5], Q("barrier", [0, 1]), Q("b", -1), Q("h", 1)), np.kron(H, I2)),
    (block([0], Q("h", 0), matrix=X), H),
    (block([0], block([0], Q("x", 0), matrix=np.eye(2))), X),
    (block([2, 4], Q("x", -2, control=-1)), np.eye(4)[[0, 1, 3, 2]]),
    (block([0], Q("x2p", 0), Q("x2p", 0)), -1j * X),
    (Q("unitary", 0, matrix=X), X),
])
def test_the_matrix_is_what_the_gate_runs(gate, expected):
    np.testing.assert_allclose(gate.matrix, expected, atol=1e-12)


@pytest.mark.parametrize("gate, message", [
    # two positions naming one target would make the product not unitary
    (block([0, 1], Q("cx", -1, control=1)), "^Block positions -1 and 1 of gate 'cx' are one target"),
    (block([0, 1], Q("x", 2)), "^Block position 2 of gate 'x' is outside its block of 2 targets"),
    (block([0], Q("measure", 0, classical_target=[0])), "^Gate 'measure' has no matrix"),
    (block([0], Q("unitary", 0, matrix=np.diag([1, 0]))), r"^The matrix of gate 'BLOCK' is not unitary: max \|M M\^dagger - I\| = 1 exceeds 1e-6"),
    (block([0], Q("mine", 0)), "^Gate 'mine' has no standard matrix"),
    (block([0], Q("xyarb", 0, parameter=0.3)), r"^Gate 'xyarb' needs 2 parameter\(s\)."),
    (block([0], Q("mine", 0, matrix=np.eye(4))), r"^Gate 'mine' runs its stored matrix on 1 target\(s\)"),
])
def test_a_block_whose_matrix_no_executor_would_run_is_refused(gate, message):
    with pytest.raises(ValueError, match=message):
        gate.matrix


def test_the_matrix_of_deep_or_looping_blocks():
    from block_loops import Loop

    deep = Q("s", 0)
    for _ in range(20_000):  # far past the interpreter's recursion limit
        deep = Q("block", 0, block_gate_sequence=(deep,))
    np.testing.assert_allclose(deep.matrix, np.diag([1, 1j]), atol=1e-12)
    with pytest.raises(RecursionError, match="^a gate block contains itself$"):
        Loop().gate.matrix
