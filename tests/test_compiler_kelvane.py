"""Vendor square-root-of-Pauli rewrites."""
import math

import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.qcompiler.rule_based.rule_based_transpiler.definitions.tessik import kelvane as K

S = 0.5 * np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]])
# Independent values: sqrt(X), sqrt(Y) and their inverses, from their eigen-decompositions.
ROOTS = {
    "sqrtx": S,
    "sqrtx_dag": S.conj().T,
    "sqrty": 0.5 * np.array([[1 + 1j, -1 - 1j], [1 + 1j, 1 + 1j]]),
    "sqrty_dag": 0.5 * np.array([[1 - 1j, 1 - 1j], [-1 + 1j, 1 - 1j]]),
}
TABLE = [("sqrtx", "x2p", "_X2P", math.pi / 4, np.complex128),
         ("sqrtx_dag", "x2m", "_X2M", -math.pi / 4, np.complex128),
         ("sqrty", "y2p", "_Y2P", math.pi / 4, np.float64),
         ("sqrty_dag", "y2m", "_Y2M", -math.pi / 4, np.float64)]


@pytest.mark.parametrize("gate_id, native_id, constant, angle, dtype", TABLE)
def test_rewrite(gate_id, native_id, constant, angle, dtype):
    native, gp = K.tessik_kelvane_constructor(QuantumGate(id=gate_id, target=3))
    matrix = getattr(K, constant)
    assert (native.id, native.target, native.parameter) == (native_id, (3,), None)
    assert native.stored_matrix is matrix and matrix.dtype == dtype and matrix.shape == (2, 2)
    assert np.all(np.abs(matrix[matrix != 0]) == 1 / np.sqrt(2))
    assert (gp.id, gp.target, gp.parameter) == ("gp", (3,), (angle,))
    assert np.abs(gp.stored_matrix @ native.stored_matrix - ROOTS[gate_id]).max() < 1e-15
    entry = K._PARAMS[gate_id]
    assert entry[0] == native_id and entry[1] is matrix and entry[2] == angle
    # the shared matrices cannot be changed through a gate
    with pytest.raises(ValueError):
        native.stored_matrix[0, 0] = 0
    again = K.tessik_kelvane_constructor(QuantumGate(id=gate_id, target=0))
    assert again[0].stored_matrix is matrix and again[1].stored_matrix is not gp.stored_matrix


def test_params_table_order():
    assert list(K._PARAMS) == ["sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag"]
    assert [entry[2] for entry in K._PARAMS.values()] == [math.pi / 4, -math.pi / 4, math.pi / 4, -math.pi / 4]


def test_controls_are_kept():
    gate = QuantumGate(id="sqrtx", target=3, control=0, control_state=0)
    out = K.tessik_kelvane_constructor(gate, "circuit")
    assert [(o.target, o.control, o.control_state) for o in out] == [((3,), (0,), (0,))] * 2


def test_gp_matrix():
    identity = K._gp_matrix(0)
    assert identity.dtype == np.complex128 and np.array_equal(identity, np.eye(2))
    assert np.allclose(K._gp_matrix(1.5), np.exp(1.5j) * np.eye(2))
    with pytest.raises(TypeError):
        K._gp_matrix("x")


@pytest.mark.parametrize("gate, error, message", [
    (QuantumGate(id="sqrtx", target=(0, 1)), NotImplementedError,
     "Tessik kelvane decomposition requires a single target, got 2."),
    (QuantumGate(id="x", target=(0, 1)), NotImplementedError,
     "Tessik kelvane decomposition requires a single target, got 2."),
    (QuantumGate(id="x", target=0), ValueError,
     "tessik_kelvane_constructor: unsupported gate id 'x'. "
     "Expected one of ['sqrtx', 'sqrtx_dag', 'sqrty', 'sqrty_dag']."),
])
def test_refusals(gate, error, message):
    with pytest.raises(error) as info:
        K.tessik_kelvane_constructor(gate)
    assert str(info.value) == message
