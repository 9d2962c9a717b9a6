"""PyTorch execution of circuits: differentiable and safe under `torch.vmap`.

The state of a batch is viewed as (B, 2, ..., 2), qubit q on axis n - q (the
last axis is qubit 0, the least significant bit). A diagonal one-qubit gate
multiplies by its broadcast diagonal, another one-qubit gate is a `matmul`
over the reshaped state, a wider one an `einsum` on its target axes; controls
select their slice with `narrow` and the result is reassembled with
`torch.cat`, so no tensor is written in place and no Python branch depends on
tensor values. Matrices of tensor angles are stacked from cos/sin of the angle
at every run.
"""
import cmath
import math
import string

import numpy as np
import torch

from ..backend.gate.matrix import NAMED_IDS, NO_OP_IDS, resolve_numpy_base_matrix
from ..backend.expansion import TORCH_GATE_BYTES, check_expansion
from ..backend.gate.morlith import QuantumGate, _leaf_count
from ._arguments import _counted, _state_size
from ._records import _from_record, _placed_leaves, _to_record
from .circuit import _NO_MEASUREMENTS

_LETTERS = string.ascii_letters

_ROTATIONS = {"rz": "rz", "mcrz": "rz", "ry": "ry", "cry": "ry", "mcry": "ry", "mcrx": "rx", "gp": "gp"}

_REAL = {torch.complex64: torch.float32, torch.complex128: torch.float64}
_TORCH_COMPLEX = {np.dtype(np.complex64): torch.complex64, np.dtype(np.complex128): torch.complex128}


def _constant_rotation(kind, theta):
    """`_tensor_rotation` of a float angle, as a NumPy constant in the same layout."""
    if kind == "gp":
        return np.array(cmath.exp(1j * theta))
    c, s = math.cos(theta * 0.5), math.sin(theta * 0.5)
    if kind == "rz":
        return np.array([complex(c, -s), complex(c, s)])
    if kind == "ry":
        return np.array([[c, -s], [s, c]], dtype=np.complex128)
    return np.array([[c, -1j * s], [-1j * s, c]])


def _tensor_rotation(kind, theta, complex_dtype):
    """The matrix of a rotation by a tensor angle, in the layout its leaf function takes."""
    theta = theta.to(_REAL[complex_dtype])
    if kind == "gp":
        return torch.complex(torch.cos(theta), torch.sin(theta))
    half = theta * 0.5
    c = torch.cos(half)
    s = torch.sin(half)
    if kind == "rz":
        return torch.stack([torch.complex(c, -s), torch.complex(c, s)])
    if kind == "ry":
        return torch.stack([c, -s, s, c]).reshape(2, 2).to(complex_dtype)
    zero = torch.zeros_like(c)
    return torch.complex(torch.stack([c, zero, zero, c]), torch.stack([zero, -s, -s, zero])).reshape(2, 2)


_FIXED = {}


def _fixed_matrix(gate_id):
    """The matrix of a gate without parameters (x, h, s, cz, ...), looked up once per id."""
    matrix = _FIXED.get(gate_id)
    if matrix is None:
        matrix = np.asarray(resolve_numpy_base_matrix(QuantumGate(gate_id, [0])), dtype=np.complex128)
        _FIXED[gate_id] = matrix
    return matrix


def _leaf_gates(gates):
    """The gates with every composite record expanded down to its leaves."""
    composite = [gate[6] for gate in gates if gate[6] is not None and gate[6].block_gate_sequence is not None]
    if composite:
        # Every gate is kept here and prepared as an operation: the whole
        # expansion is counted at that cost before the first one.
        check_expansion("Expanding the blocks of " + _counted(len(composite), "composite gate"),
                        _leaf_count(composite) + len(gates) - len(composite), TORCH_GATE_BYTES)
    leaves = []
    for gate in gates:
        record = gate[6]
        if record is not None and record.block_gate_sequence is not None:
            leaves.extend([_from_record(leaf) for leaf in _placed_leaves(record)])
        else:
            leaves.append(gate)
    return leaves


def _named_matrix(gate_id, targets, params):
    """The matrix of a gate run by its name though it carries a stored matrix; None for "i"."""
    if gate_id == "i":
        return None
    return resolve_numpy_base_matrix(QuantumGate(gate_id, targets, parameter=params))


def _einsum_equation(num_axes, axes):
    """einsum of a (2,)*2k matrix (rows bits k-1..0, columns bits k-1..0) with the target axes."""
    k = len(axes)
    if num_axes + k > len(_LETTERS):
        # einsum names each axis of its operands with a letter.
        raise ValueError("A gate on " + str(k) + " qubits is beyond the PyTorch path in a circuit of "
                         + str(num_axes - 1) + " qubits: torch.einsum names at most " + str(len(_LETTERS))
                         + " axes, which fits such a gate in circuits of at most "
                         + str(len(_LETTERS) - 1 - k) + " qubits.")
    state = list(_LETTERS[:num_axes])
    fresh = _LETTERS[num_axes:num_axes + k]
    rows = "".join([fresh[i] for i in range(k - 1, -1, -1)])
    columns = "".join([state[axes[i]] for i in range(k - 1, -1, -1)])
    result = list(state)
    for i, axis in enumerate(axes):
        result[axis] = fresh[i]
    return rows + columns + "," + "".join(state) + "->" + "".join(result)


# Leaf functions: apply an uncontrolled matrix to the axes of ``where``.
def _leaf_phase(psi, matrix, where):
    return psi * matrix


def _leaf_diagonal(psi, diagonal, axis):
    shape = [1] * psi.dim()
    shape[axis] = 2
    return psi * diagonal.reshape(shape)


def _leaf_single(psi, matrix, axis):
    shape = psi.shape
    outer = 1
    for size in shape[:axis]:
        outer *= size
    inner = 1
    for size in shape[axis + 1:]:
        inner *= size
    return torch.matmul(matrix, psi.reshape(outer, 2, inner)).reshape(shape)


def _leaf_dense(psi, matrix, equation):
    return torch.einsum(equation, matrix, psi)


def _apply(psi, leaf, matrix, where, control_axes, control_states):
    """``leaf`` on the slice of ``psi`` where every control holds its state; the rest unchanged."""
    if control_axes:
        axis = control_axes[0]
        state = control_states[0]
        chosen = _apply(psi.narrow(axis, state, 1), leaf, matrix, where, control_axes[1:], control_states[1:])
        other = psi.narrow(axis, 1 - state, 1)
        return torch.cat((chosen, other) if state == 0 else (other, chosen), dim=axis)
    return leaf(psi, matrix, where)


def _layout(base, num_axes, axes):
    """The leaf function, its axis argument and the matrix reshaped for it."""
    k = len(axes)
    if k == 0:
        return _leaf_phase, None, base.reshape(-1)[0].reshape(())
    if k == 1:
        if base[0, 1] == 0 and base[1, 0] == 0:
            return _leaf_diagonal, axes[0], np.diag(base).copy()
        return _leaf_single, axes[0], base
    return _leaf_dense, _einsum_equation(num_axes, axes), base.reshape((2,) * (2 * k))


_TENSOR_LEAF = {"gp": _leaf_phase, "rz": _leaf_diagonal, "ry": _leaf_single, "rx": _leaf_single}


class Program:
    """The gates of a circuit as tensor operations, built once and run on any batch."""

    def __init__(self, gates, num_qubits):
        # The width first, as execute checks it: nothing below is built for a
        # state no executor can hold.
        _state_size(num_qubits)
        n = num_qubits
        self._num_qubits = n
        ops = []
        for gate in _leaf_gates(gates):
            gate_id, targets, controls, states, params, matrix, record = gate
            if gate_id in NO_OP_IDS:
                continue
            if gate_id == "measure":
                raise NotImplementedError(_NO_MEASUREMENTS)
            axes = tuple([n - q for q in targets])
            control_axes = tuple([n - q for q in controls])
            kind = _ROTATIONS.get(gate_id) if record is None else None
            if kind is not None:
                where = axes[0] if axes else None
                angle = params[0]
                if not isinstance(angle, float):
                    ops.append((_TENSOR_LEAF[kind], where, None, (kind, angle), control_axes, tuple(states)))
                    continue
                base = _constant_rotation(kind, angle)
                ops.append((_TENSOR_LEAF[kind], where, base, None, control_axes, tuple(states)))
                continue
            if matrix is not None and gate_id in NAMED_IDS:
                # The executor's rule: a named row decides before a stored matrix.
                base = _named_matrix(gate_id, targets, params)
                if base is None:
                    continue
            elif matrix is not None:
                base = matrix
            elif record is None:
                base = _fixed_matrix(gate_id)
            else:
                base = resolve_numpy_base_matrix(_to_record(gate))
            leaf, where, base = _layout(np.asarray(base, dtype=np.complex128), n + 1, axes)
            ops.append((leaf, where, base, None, control_axes, tuple(states)))
        self._ops = ops
        self._constants = {}

    def _constant(self, index, base, complex_dtype):
        key = (index, complex_dtype)
        tensor = self._constants.get(key)
        if tensor is None:
            tensor = torch.tensor(np.array(base), dtype=complex_dtype)
            self._constants[key] = tensor
        return tensor

    def run(self, psi):
        """Apply the gates to ``psi`` of shape (B, 2**n) and return the (B, 2**n) result."""
        n = self._num_qubits
        batch = psi.shape[0]
        complex_dtype = psi.dtype
        psi = psi.reshape((batch,) + (2,) * n)
        for index, (leaf, where, base, rotation, control_axes, states) in enumerate(self._ops):
            if rotation is None:
                matrix = self._constant(index, base, complex_dtype)
            else:
                matrix = _tensor_rotation(rotation[0], rotation[1], complex_dtype)
            psi = _apply(psi, leaf, matrix, where, control_axes, states)
        return psi.reshape(batch, 1 << n)

    def apply(self, states):
        if not isinstance(states, torch.Tensor):
            raise TypeError("apply_to_batch expects a torch tensor of shape (B, 2**n).")
        dim = _state_size(self._num_qubits)
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
    program = Program(gates, num_qubits)
    psi = torch.zeros((1, _state_size(num_qubits)), dtype=dtype)
    psi[0, 0] = 1.0
    return program.run(psi).reshape(-1)
