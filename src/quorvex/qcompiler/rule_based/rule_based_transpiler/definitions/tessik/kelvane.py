"""Square roots of Pauli X and Y in the vendor's native half rotations.

Each of sqrtx, sqrtx_dag, sqrty and sqrty_dag is a native half rotation
times a global phase of +-pi/4; the constructor emits both gates.
"""
import numpy as np

from quorvex.backend.gate.morlith import QuantumGate

_X2P = np.array([[1, -1j], [-1j, 1]], dtype=complex) / np.sqrt(2)
_X2M = np.array([[1, 1j], [1j, 1]], dtype=complex) / np.sqrt(2)
_Y2P = np.array([[1, -1], [1, 1]]) / np.sqrt(2)
_Y2M = np.array([[1, 1], [-1, 1]]) / np.sqrt(2)

# Every native gate shares one of these arrays as its stored matrix, so a
# write through any gate would change all of them: they are frozen here.
_X2P.setflags(write=False)
_X2M.setflags(write=False)
_Y2P.setflags(write=False)
_Y2M.setflags(write=False)

_PARAMS = {
    "sqrtx": ("x2p", _X2P, np.pi / 4),
    "sqrtx_dag": ("x2m", _X2M, -np.pi / 4),
    "sqrty": ("y2p", _Y2P, np.pi / 4),
    "sqrty_dag": ("y2m", _Y2M, -np.pi / 4),
}


def _gp_matrix(phi: float):
    """e^{i phi} times the 2x2 identity, a new complex array."""
    return np.exp(1j * phi) * np.eye(2, dtype=complex)


def tessik_kelvane_constructor(gate, circuit=None):
    """Rewrite a square-root-of-Pauli gate as its native half rotation and a global phase."""
    targets = gate.target
    if len(targets) != 1:
        raise NotImplementedError(
            "Tessik kelvane decomposition requires a single target, got " + str(len(targets)) + ".")
    entry = _PARAMS.get(gate.id)
    if entry is None:
        raise ValueError("tessik_kelvane_constructor: unsupported gate id '" + str(gate.id)
                         + "'. Expected one of " + str(sorted(_PARAMS)) + ".")
    native_id, native_matrix, gp_angle = entry
    control = gate.control
    control_state = gate.control_state
    return [
        QuantumGate(id=native_id, target=targets, control=control, control_state=control_state,
                    parameter=None, matrix=native_matrix),
        QuantumGate(id="gp", target=targets, control=control, control_state=control_state,
                    parameter=(gp_angle,), matrix=_gp_matrix(gp_angle)),
    ]
