"""PyTorch execution of circuits: differentiable and safe under `torch.vmap`.

The state of a batch is viewed as (B, 2, ..., 2), qubit q on axis n - q (the
last axis is qubit 0, the least significant bit). A gate contracts its matrix
with the target axes by `torch.einsum`; controls select their slice with
`narrow` and the result is reassembled with `torch.cat`, so no tensor is
written in place and no Python branch depends on tensor values. Matrices of
tensor angles are stacked from cos/sin of the angle at every run.
"""
import string

import numpy as np
import torch

from ..backend.gate.matrix import resolve_numpy_base_matrix

_LETTERS = string.ascii_letters

_R = 1.0 / np.sqrt(2.0)
_FIXED = {
    "x": np.array([[0, 1], [1, 0]], dtype=np.complex128),
    "z": np.array([[1, 0], [0, -1]], dtype=np.complex128),
    "h": np.array([[_R, _R], [_R, -_R]], dtype=np.complex128),
    "s": np.array([[1, 0], [0, 1j]], dtype=np.complex128),
    "s_dag": np.array([[1, 0], [0, -1j]], dtype=np.complex128),
}
_FIXED_ALIASES = {"cx": "x", "cz": "z", "mcz": "z", "ch": "h"}
_ROTATIONS = {"rz": "rz", "mcrz": "rz", "ry": "ry", "cry": "ry", "mcry": "ry", "mcrx": "rx", "gp": "gp"}

_REAL = {torch.complex64: torch.float32, torch.complex128: torch.float64}
_TORCH_COMPLEX = {np.dtype(np.complex64): torch.complex64, np.dtype(np.complex128): torch.complex128}


def _numpy_rotation(kind, theta):
    if kind == "gp":
        return np.array(np.exp(1j * theta), dtype=np.complex128).reshape(())
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    if kind == "rz":
        return np.array([[c - 1j * s, 0], [0, c + 1j * s]], dtype=np.complex128)
    if kind == "ry":
        return np.array([[c, -s], [s, c]], dtype=np.complex128)
    return np.array([[c, -1j * s], [-1j * s, c]], dtype=np.complex128)


def _tensor_rotation(kind, theta, complex_dtype):
    theta = theta.to(_REAL[complex_dtype])
    if kind == "gp":
        return torch.complex(torch.cos(theta), torch.sin(theta))
    half = theta * 0.5
    c = torch.cos(half)
    s = torch.sin(half)
    zero = torch.zeros_like(c)
    if kind == "rz":
        entries = [torch.complex(c, -s), torch.complex(zero, zero), torch.complex(zero, zero), torch.complex(c, s)]
    elif kind == "ry":
        entries = [torch.complex(c, zero), torch.complex(-s, zero), torch.complex(s, zero), torch.complex(c, zero)]
    else:
        entries = [torch.complex(c, zero), torch.complex(zero, -s), torch.complex(zero, -s), torch.complex(c, zero)]
    return torch.stack(entries).reshape(2, 2)


def _leaf_gates(gates):
    """The gates with every composite record expanded down to its leaves."""
    leaves = []
    for gate in gates:
        record = gate[6]
        if record is not None and record.block_gate_sequence is not None:
            from .circuit import _from_record
            leaves.extend(_leaf_gates([_from_record(child) for child in record.decompose()]))
        else:
            leaves.append(gate)
    return leaves


def _einsum_equation(num_axes, axes):
    """einsum of a (2,)*2k matrix (rows bits k-1..0, columns bits k-1..0) with the target axes."""
    k = len(axes)
    state = list(_LETTERS[:num_axes])
    fresh = _LETTERS[num_axes:num_axes + k]
    rows = "".join([fresh[i] for i in range(k - 1, -1, -1)])
    columns = "".join([state[axes[i]] for i in range(k - 1, -1, -1)])
    result = list(state)
    for i, axis in enumerate(axes):
        result[axis] = fresh[i]
    return rows + columns + "," + "".join(state) + "->" + "".join(result)


def _apply(psi, matrix, equation, control_axes, control_states):
    if control_axes:
        axis = control_axes[0]
        state = control_states[0]
        chosen = _apply(psi.narrow(axis, state, 1), matrix, equation, control_axes[1:], control_states[1:])
        other = psi.narrow(axis, 1 - state, 1)
        return torch.cat((chosen, other) if state == 0 else (other, chosen), dim=axis)
    if equation is None:
        return psi * matrix
    return torch.einsum(equation, matrix, psi)


class Program:
    """The gates of a circuit as tensor operations, built once and run on any batch."""

    def __init__(self, gates, num_qubits):
        n = num_qubits
        self._num_qubits = n
        ops = []
        for gate in _leaf_gates(gates):
            gate_id, targets, controls, states, params, matrix, record = gate
            if gate_id == "barrier":
                continue
            if gate_id == "measure":
                raise NotImplementedError("The PyTorch path does not simulate measurements.")
            axes = tuple([n - q for q in targets])
            control_axes = tuple([n - q for q in controls])
            equation = _einsum_equation(n + 1, axes) if axes else None
            kind = _ROTATIONS.get(gate_id) if record is None else None
            if kind is not None and not isinstance(params[0], float):
                ops.append((equation, control_axes, tuple(states), None, (kind, params[0]), len(axes)))
                continue
            if kind is not None:
                base = _numpy_rotation(kind, params[0])
            elif matrix is not None:
                base = np.asarray(matrix, dtype=np.complex128)
            elif record is None and gate_id in _FIXED_ALIASES:
                base = _FIXED[_FIXED_ALIASES[gate_id]]
            elif record is None and gate_id in _FIXED:
                base = _FIXED[gate_id]
            else:
                from .circuit import _to_record
                base = np.asarray(resolve_numpy_base_matrix(_to_record(gate)), dtype=np.complex128)
                if gate_id in ("gp", "gphase", "global_phase") and not axes:
                    base = base.reshape(-1)[0].reshape(())
            ops.append((equation, control_axes, tuple(states), base, None, len(axes)))
        self._ops = ops
        self._constants = {}

    def _constant(self, index, base, complex_dtype):
        key = (index, complex_dtype)
        tensor = self._constants.get(key)
        if tensor is None:
            k = base.ndim and int(np.log2(base.shape[0]))
            tensor = torch.tensor(np.array(base), dtype=complex_dtype)
            if k:
                tensor = tensor.reshape((2,) * (2 * k))
            self._constants[key] = tensor
        return tensor

    def run(self, psi):
        """Apply the gates to ``psi`` of shape (B, 2**n) and return the (B, 2**n) result."""
        n = self._num_qubits
        batch = psi.shape[0]
        complex_dtype = psi.dtype
        psi = psi.reshape((batch,) + (2,) * n)
        for index, (equation, control_axes, states, base, rotation, k) in enumerate(self._ops):
            if rotation is None:
                matrix = self._constant(index, base, complex_dtype)
            else:
                matrix = _tensor_rotation(rotation[0], rotation[1], complex_dtype)
                if k:
                    matrix = matrix.reshape((2,) * (2 * k))
            psi = _apply(psi, matrix, equation, control_axes, states)
        return psi.reshape(batch, 1 << n)

    def apply(self, states):
        if not isinstance(states, torch.Tensor):
            raise TypeError("apply_to_batch expects a torch tensor of shape (B, 2**n).")
        dim = 1 << self._num_qubits
        if states.dim() != 2 or states.shape[1] != dim:
            raise ValueError("apply_to_batch expects states of shape (B, " + str(dim) + "), got "
                             + str(tuple(states.shape)) + ".")
        if not states.is_complex():
            states = states.to(torch.complex128 if states.dtype == torch.float64 else torch.complex64)
        if states.dtype not in _REAL:
            raise ValueError("apply_to_batch expects complex64 or complex128 states, got " + str(states.dtype) + ".")
        return self.run(states)


def execute(gates, num_qubits, complex_dtype):
    """The final state (2**n,) of ``gates`` run from |0...0> as a torch tensor."""
    dtype = _TORCH_COMPLEX[np.dtype(complex_dtype)]
    psi = torch.zeros((1, 1 << num_qubits), dtype=dtype)
    psi[0, 0] = 1.0
    return Program(gates, num_qubits).run(psi).reshape(-1)
