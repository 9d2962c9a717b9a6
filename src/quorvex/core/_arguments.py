"""Checks of the arguments that a circuit's methods take: the minimal platform layer.

Qubit indices and lists of them (registers included), control states, gate
angles (floats, or real torch tensors of one element kept as the caller's
objects), state vectors, unitary matrices, dtypes, the width a state vector
can have, and the backend and device of `Circuit.execute`: each is turned
into what a gate tuple holds, or refused with a TypeError or ValueError
before the circuit changes.
"""
import math
import operator
import sys

import numpy as np

from ..backend.gate.matrix import UNITARY_TOLERANCE, UNITARY_TOLERANCE_TEXT, unitary_deviation
from .register import Register

_NORM_TOLERANCE = 1e-8

# The widest state the packed executor takes.
_MAX_QUBITS = 62

_COMPLEX_DTYPES = {np.complex64: np.dtype(np.complex64), np.complex128: np.dtype(np.complex128)}

_BACKENDS = ("torch",)
_DEVICES = ("cpu",)


def _counted(count, singular, plural=None):
    """"1 qubit", "2 qubits"."""
    return str(count) + " " + (singular if count == 1 else plural or singular + "s")


def _torch_tensor_type():
    torch = sys.modules.get("torch")
    return None if torch is None else torch.Tensor


def _is_tensor(value):
    tensor = _torch_tensor_type()
    return tensor is not None and isinstance(value, tensor)


def _qubit(value):
    if isinstance(value, (bool, np.bool_)):
        raise TypeError("Qubit indices must be integers, not bool.")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError("Qubit indices must be integers, got " + type(value).__name__ + ".") from None


def _qubit_list(value):
    """A qubit, a list/tuple/range/array of qubits or a register, as a tuple of ints."""
    if value is None:
        return ()
    if isinstance(value, Register):
        return tuple(value[:])
    if isinstance(value, (list, tuple, range, np.ndarray)):
        return tuple([_qubit(item) for item in value])
    return (_qubit(value),)


def _control_value(value):
    if isinstance(value, (bool, np.bool_)):
        return int(value)
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError("control_state must be None, 0/1, a list of them or a '0'/'1' string, got "
                        + type(value).__name__ + ".") from None


def _control_states(control_state, count):
    """Normalise a control state (None, 0/1, list of them, or a "0"/"1" string) to a tuple."""
    if count == 0:
        # An empty control list means uncontrolled, whatever the state says.
        return ()
    if control_state is None:
        return (1,) * count
    if isinstance(control_state, str):
        states = []
        for char in control_state:
            if char not in "01":
                raise ValueError("control_state string must contain only '0' and '1', got "
                                 + repr(control_state) + ".")
            states.append(1 if char == "1" else 0)
        states = tuple(states)
    elif isinstance(control_state, (list, tuple, range, np.ndarray)):
        states = tuple([_control_value(item) for item in control_state])
    else:
        states = (_control_value(control_state),)
    for state in states:
        if state != 0 and state != 1:
            raise ValueError("control_state must contain only 0 or 1, got " + repr(control_state) + ".")
    if len(states) != count:
        raise ValueError("control_state has " + _counted(len(states), "entry", "entries")
                         + " for " + _counted(count, "control qubit") + ".")
    return states


def _angle(value):
    """A finite float, or a real torch tensor with one element (kept as the same object)."""
    if type(value) is float:
        if not math.isfinite(value):
            raise ValueError("Gate angles must be finite, got " + repr(value) + ".")
        return value
    tensor = _torch_tensor_type()
    if tensor is not None and isinstance(value, tensor):
        if value.is_complex():
            raise TypeError("Gate angles must be real; got a complex tensor.")
        if value.dim() != 0:
            if value.numel() != 1:
                raise ValueError("A tensor angle must hold one element, got shape "
                                 + str(tuple(value.shape)) + ".")
            value = value.reshape(())
        return value
    if isinstance(value, (bool, np.bool_, str, bytes)):
        raise TypeError("Gate angles must be real numbers, got " + type(value).__name__ + ".")
    if isinstance(value, (complex, np.complexfloating)):
        raise TypeError("Gate angles must be real numbers, not complex.")
    try:
        result = float(value)
    except (TypeError, ValueError):
        raise TypeError("Gate angles must be real numbers, got " + type(value).__name__ + ".") from None
    if not math.isfinite(result):
        raise ValueError("Gate angles must be finite, got " + repr(result) + ".")
    return result


def _tensor_values(tensor, what):
    """A tensor's values as a NumPy array; only angles may carry gradients or a vmap batch."""
    if tensor.requires_grad:
        raise TypeError(what + " must not require gradients: only gate angles may be differentiable "
                        "tensors.")
    try:
        return tensor.detach().cpu().numpy()
    except RuntimeError:
        raise TypeError(what + " cannot be a tensor batched under torch.vmap: only gate angles may be.") from None


def _float_parameter(value):
    """A parameter as the float a gate record stores."""
    if type(value) is float:
        return value
    if _is_tensor(value):
        try:
            return float(value.detach())
        except Exception as exc:
            raise TypeError("A tensor angle that is batched or has several elements cannot become a "
                            "gate record's float; read gate_sequence or run natively outside torch.vmap.") from exc
    return float(value)


def _float_parameters(params):
    if params is None:
        return None
    return tuple([_float_parameter(value) for value in params])


def _complex_vector(vector, what):
    if _is_tensor(vector):
        vector = _tensor_values(vector, what)
    try:
        array = np.array(vector, dtype=np.complex128)
    except (TypeError, ValueError):
        raise TypeError(what + " must be a numeric vector.") from None
    if array.ndim != 1:
        raise ValueError(what + " must be one-dimensional, got shape " + str(array.shape) + ".")
    size = array.shape[0]
    if size == 0 or size & (size - 1):
        raise ValueError(what + " length must be a power of two, got " + str(size) + ".")
    if not np.all(np.isfinite(array)):
        raise ValueError(what + " must be finite.")
    norm = float(np.linalg.norm(array))
    if norm == 0.0:
        raise ValueError(what + " must not be the zero vector.")
    if abs(norm - 1.0) > _NORM_TOLERANCE:
        raise ValueError(what + " must have norm 1 (within 1e-8), got norm " + repr(norm) + ".")
    return array


def _checked_unitary_copy(matrix, num_targets):
    if _is_tensor(matrix):
        matrix = _tensor_values(matrix, "unitary matrix")
    try:
        array = np.array(matrix, dtype=np.complex128)
    except (TypeError, ValueError):
        raise TypeError("unitary matrix must be numeric.") from None
    dim = 1 << num_targets
    if array.shape != (dim, dim):
        raise ValueError("unitary matrix must have shape " + str((dim, dim)) + " for "
                         + _counted(num_targets, "target qubit") + ", got " + str(array.shape) + ".")
    if not np.all(np.isfinite(array)):
        raise ValueError("unitary matrix must be finite.")
    deviation = unitary_deviation(array)
    if deviation > UNITARY_TOLERANCE:
        raise ValueError("matrix is not unitary: max |M M^dagger - I| = " + format(deviation, ".3g")
                         + " exceeds " + UNITARY_TOLERANCE_TEXT + ".")
    array.setflags(write=False)
    return array


def _check_qubits(targets, controls, num_qubits):
    """Range and overlap of a gate's qubits, checked before anything changes."""
    qubits = targets + controls
    for q in qubits:
        if q < 0 or q >= num_qubits:
            raise ValueError("Qubit " + str(q) + " is out of range for a circuit of "
                             + _counted(num_qubits, "qubit") + ".")
    if len(set(qubits)) != len(qubits):
        if len(set(targets)) != len(targets):
            raise ValueError("Duplicate target qubits: " + str(list(targets)) + ".")
        if len(set(controls)) != len(controls):
            raise ValueError("Duplicate control qubits: " + str(list(controls)) + ".")
        raise ValueError("A qubit is both a target and a control: targets " + str(list(targets))
                         + ", controls " + str(list(controls)) + ".")


def _complex_dtype(dtype):
    """complex64 or complex128 as a NumPy dtype, from NumPy, string or torch spellings."""
    torch = sys.modules.get("torch")
    if torch is not None and isinstance(dtype, torch.dtype):
        if dtype == torch.complex64:
            return np.dtype(np.complex64)
        if dtype == torch.complex128:
            return np.dtype(np.complex128)
        raise ValueError("dtype must be complex64 or complex128, got " + str(dtype) + ".")
    try:
        result = np.dtype(dtype)
    except TypeError:
        raise ValueError("dtype must be complex64 or complex128, got " + repr(dtype) + ".") from None
    # The executor takes only NumPy's own two descriptors; another descriptor
    # of the same precision (other byte order, metadata) gets the native one.
    if result.kind == "c":
        for native in _COMPLEX_DTYPES.values():
            if result.itemsize == native.itemsize:
                return native
    raise ValueError("dtype must be complex64 or complex128, got " + str(result) + ".")


def _state_size(num_qubits):
    """2**n, for a width the executors can hold; checked before the number is formed."""
    if num_qubits > _MAX_QUBITS:
        raise ValueError("A circuit of " + _counted(num_qubits, "qubit") + " is too wide to simulate: its state "
                         "would hold 2**" + str(num_qubits) + " amplitudes; at most "
                         + str(_MAX_QUBITS) + " qubits can be simulated.")
    return 1 << num_qubits


def _check_backend(backend, device):
    if not isinstance(backend, str) or backend not in _BACKENDS:
        raise ValueError("Unknown backend " + repr(backend) + "; accepted backends: "
                         + ", ".join([repr(b) for b in _BACKENDS]) + ".")
    name = device
    torch = sys.modules.get("torch")
    if torch is not None and isinstance(device, torch.device):
        name = device.type
    if not isinstance(name, str) or name not in _DEVICES:
        raise ValueError("Unknown device " + repr(device) + "; accepted devices: "
                         + ", ".join([repr(d) for d in _DEVICES]) + ".")
