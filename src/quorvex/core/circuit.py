"""The circuit class: one list of gates, executed natively or with PyTorch.

A circuit keeps its gates as plain tuples

    (id, targets, controls, control_states, parameters, matrix, record)

in one list, the truth. Everything else is derived from it on demand and
dropped when the list changes: the `QuantumGate` records of `gate_sequence`,
the packed store the native executor walks, and the tensor operations of the
PyTorch path. ``parameters`` is None or a tuple whose items are floats or 0-d
torch tensors (kept as the very objects the caller passed, so autograd and
`torch.vmap` see them); ``matrix`` is a read-only complex128 array or None;
``record`` is the `QuantumGate` a caller handed to `add_gate` (kept so that
names, blocks and classical targets survive), else None.

With ``gate_storage="packed"`` the truth is a `_PackedGates` instead of the
list: a packed store of the records as they were added, read back as the
same tuples, so that a long circuit costs about a store record per gate.
"""
import copy
import math
import operator
import sys
import threading
import weakref
from collections import OrderedDict

import numpy as np

from ..backend.expansion import PYTHON_GATE_BYTES, STORED_LEAF_BYTES, check_expansion
from ..backend.gate.matrix import (NAMED_IDS, NO_OP_IDS, UNITARY_TOLERANCE, UNITARY_TOLERANCE_TEXT,
                                   check_gate_shape, resolve_numpy_base_matrix, runs_stored_matrix,
                                   unitary_deviation)
from ..backend.gate.morlith import _DONE, QuantumGate, _block_identity, _leaf_count, _walk_blocks
from .register import Register

_NORM_TOLERANCE = 1e-8

# The widest state the packed executor takes.
_MAX_QUBITS = 62

_COMPLEX_DTYPES = {np.complex64: np.dtype(np.complex64), np.complex128: np.dtype(np.complex128)}

_NO_MEASUREMENTS = "Circuit.execute returns the final state vector; it does not simulate measurements."

_BACKENDS = ("torch",)
_DEVICES = ("cpu",)
_STORAGES = ("list", "packed")

# Ids whose gate is its own inverse; "s"/"s_dag" swap; every other id a
# circuit method records carries angles that invert by negation.
_SELF_INVERSE = frozenset({"x", "h", "z", "cx", "cz", "ch", "mcz"})
_SWAPPED_INVERSE = {"s": "s_dag", "s_dag": "s"}

_ID = 0
_TARGETS = 1
_CONTROLS = 2
_STATES = 3
_PARAMS = 4
_MATRIX = 5
_RECORD = 6


def _counted(count, singular, plural=None):
    """"1 qubit", "2 qubits"."""
    return str(count) + " " + (singular if count == 1 else plural or singular + "s")


def _torch_tensor_type():
    torch = sys.modules.get("torch")
    return None if torch is None else torch.Tensor


def _is_tensor(value):
    tensor = _torch_tensor_type()
    return tensor is not None and isinstance(value, tensor)


# --------------------------------------------------------------------------
# Argument normalisation
# --------------------------------------------------------------------------

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


class _MatrixMemo:
    """Recently derived read-only matrices, keyed by the identity of the array they came from.

    Solvers hand the same few arrays to `unitary` thousands of times; a hit
    (the same live object with the same content, compared in O(N^2)) skips
    the copy and the O(N^3) unitarity check, and every gate then shares one
    frozen copy. An entry refers to its source only weakly, so it never keeps
    a caller's array (or the array a view looks into) alive; what it holds,
    the result and the snapshot, is what its size counts, bookkeeping
    included. Least recently used entries go first.
    """

    # Bytes of one entry besides its arrays' data: the array headers, the
    # weak reference, the tuple, the key and the ordered dict's node.
    _OVERHEAD = 512

    def __init__(self, budget_bytes, max_entries):
        self._budget = budget_bytes
        self._max_entries = max_entries
        self._entries = OrderedDict()
        self._bytes = 0
        self._lock = threading.Lock()

    def get(self, source):
        with self._lock:
            entry = self._entries.get(id(source))
            if entry is None or entry[0]() is not source:
                return None
            self._entries.move_to_end(id(source))
        if entry[2] is not None and not np.array_equal(source, entry[2]):
            return None
        return entry[1]

    def put(self, source, result, snapshot):
        size = result.nbytes + self._OVERHEAD
        if snapshot is not None and snapshot is not result:
            size += snapshot.nbytes
        if size > self._budget // 4:
            return
        entry = (weakref.ref(source), result, snapshot, size)
        with self._lock:
            old = self._entries.pop(id(source), None)
            if old is not None:
                self._bytes -= old[3]
            self._entries[id(source)] = entry
            self._bytes += size
            while self._bytes > self._budget or len(self._entries) > self._max_entries:
                _, dropped = self._entries.popitem(last=False)
                self._bytes -= dropped[3]


# A few hundred entries cover the arrays a solver passes again and again.
_checked_unitaries = _MatrixMemo(32 << 20, 256)
_inverted_unitaries = _MatrixMemo(32 << 20, 256)


def _unitary_matrix(matrix, num_targets):
    """A read-only complex128 copy of ``matrix``, checked to be a 2**k unitary."""
    dim = 1 << num_targets
    memo = isinstance(matrix, np.ndarray) and matrix.shape == (dim, dim)
    if memo:
        known = _checked_unitaries.get(matrix)
        if known is not None:
            return known
    array = _checked_unitary_copy(matrix, num_targets)
    if memo:
        # The frozen copy doubles as the snapshot the next hit is compared with.
        _checked_unitaries.put(matrix, array, array)
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


# --------------------------------------------------------------------------
# Gate tuples
# --------------------------------------------------------------------------

def _from_record(record):
    return (record.id, record.target, record.control, record.control_state, record.parameter,
            record.stored_matrix, record)


def _gates_of_records(records, num_qubits):
    """Gate tuples of a sequence's records, each checked against the sequence's width."""
    gates = []
    for record in records:
        gates.append(_from_record(_check_record(record, num_qubits)))
    return gates


def _to_record(gate):
    record = gate[_RECORD]
    if record is not None:
        return record
    return QuantumGate(gate[_ID], gate[_TARGETS], gate[_CONTROLS], gate[_STATES], None,
                       _float_parameters(gate[_PARAMS]), None, gate[_MATRIX])


def _inverse(gate):
    record = gate[_RECORD]
    if record is not None:
        return _from_record(record.dagger())
    gate_id, targets, controls, states, params, matrix, _ = gate
    if gate_id in _SELF_INVERSE:
        return gate
    if gate_id in _SWAPPED_INVERSE:
        return (_SWAPPED_INVERSE[gate_id], targets, controls, states, params, matrix, None)
    if matrix is not None:
        # Stored matrices are frozen, so the inverse of one needs no snapshot.
        inverse = _inverted_unitaries.get(matrix)
        if inverse is None:
            inverse = np.ascontiguousarray(matrix.conj().T)
            inverse.setflags(write=False)
            _inverted_unitaries.put(matrix, inverse, None)
        matrix = inverse
    if params is not None:
        params = tuple([-value for value in params])
    return (gate_id, targets, controls, states, params, matrix, None)


def _placed(gate, mapping, controls, states):
    """``gate`` of a sub-circuit with its qubit r on mapping[r], under extra controls."""
    targets = tuple([mapping[q] for q in gate[_TARGETS]])
    new_controls = controls + tuple([mapping[q] for q in gate[_CONTROLS]])
    new_states = states + gate[_STATES]
    record = gate[_RECORD]
    if record is not None:
        return _from_record(record.replace(target=targets, control=new_controls, control_state=new_states))
    return (gate[_ID], targets, new_controls, new_states, gate[_PARAMS], gate[_MATRIX], None)


def _has_tensor(gate):
    params = gate[_PARAMS]
    if params is None or gate[_RECORD] is not None:
        return False
    for value in params:
        if type(value) is not float:
            return True
    return False


def _preparation_gates(amplitudes, qubits):
    """Gates taking |0...0> on ``qubits`` to ``amplitudes`` exactly, global phase included.

    Magnitudes and phases are merged pairwise from the lowest qubit up; the
    circuit then undoes the merging from the highest qubit down, one
    uniformly controlled RY and RZ per level: for each pattern j of the
    qubits above, an RY splits the pattern's weight between the two values of
    the qubit and an RZ sets their phase difference. 2**k - 1 rotations of
    each kind at most, no matrix.
    """
    k = len(qubits)
    magnitudes = np.abs(amplitudes)
    phases = np.angle(amplitudes)
    levels = []
    for _ in range(k):
        low_m, high_m = magnitudes[0::2], magnitudes[1::2]
        low_p, high_p = phases[0::2], phases[1::2]
        levels.append((2.0 * np.arctan2(high_m, low_m), high_p - low_p))
        magnitudes = np.hypot(low_m, high_m)
        phases = 0.5 * (low_p + high_p)
    gates = []
    phase = float(phases[0])
    if phase != 0.0:
        gates.append(("gp", (), (), (), (phase,), None, None))
    for level in range(k - 1, -1, -1):
        thetas, deltas = levels[level]
        target = (qubits[level],)
        controls = tuple(qubits[level + 1:])
        width = len(controls)
        ry, rz = ("mcry", "mcrz") if width else ("ry", "rz")
        for pattern, (theta, delta) in enumerate(zip(thetas.tolist(), deltas.tolist())):
            states = tuple([(pattern >> r) & 1 for r in range(width)])
            if theta != 0.0:
                gates.append((ry, target, controls, states, (theta,), None, None))
            if delta != 0.0:
                gates.append((rz, target, controls, states, (delta,), None, None))
    return gates


def _native_store_type():
    from ..backend.pelmor import strovane
    return strovane.OpchainPackedNative


def _packed_executor():
    from ..backend.pelmor import strovane
    return strovane.execute_gate_sequence_packed


# Ids the packed executor runs without a stored matrix (ordering gates as nothing).
_NATIVE_IDS = NAMED_IDS | NO_OP_IDS | {"measure"}


def _leaves(record):
    """The gates ``record`` applies, each placed on the qubits it acts on.

    Whoever takes them keeps a store record with its matrix for each: a
    block shared by reference that would make more gates than fit in memory
    is refused before the first one.
    """
    if record.block_gate_sequence is not None:
        check_expansion("Expanding gate " + record.name, _leaf_count((record,)), STORED_LEAF_BYTES)
    return _placed_leaves(record)


def _placed_leaves(record):
    """`_leaves` for a caller that has counted the expansion already."""
    return _walk_blocks((record,), operator.methodcaller("decompose"))


def _runs_natively(record):
    # Which gates a block holds does not depend on where it is placed: the
    # children are read as stored, without remapping them, and each block
    # object once.
    return all(leaf.id in _NATIVE_IDS or runs_stored_matrix(leaf.id, leaf.stored_matrix)
               for leaf in _walk_blocks((record,), operator.attrgetter("block_gate_sequence"), once=True))


def _encode_record(store, record):
    """Encode a caller's gate record, giving the executor what it cannot look up itself."""
    if _runs_natively(record):
        store.append_gate(record)
        return
    for leaf in _leaves(record):
        if leaf.id in NO_OP_IDS:
            continue
        if leaf.has_stored_matrix or leaf.id in _NATIVE_IDS:
            store.append_gate(leaf)
        else:
            # Vendor gates (x2p, y2m, ...) run as their standard matrix.
            matrix = np.asarray(resolve_numpy_base_matrix(leaf), dtype=np.complex128)
            store.append_fields(leaf.id, leaf.target, leaf.control, leaf.control_state,
                                leaf.parameter, None, matrix, None, None)


def _encode(store, gates):
    """Append ``gates`` to a native store as the executor needs them, one record each."""
    append_fields = store.append_fields
    for gate_id, targets, controls, states, params, matrix, record in gates:
        if record is not None:
            _encode_record(store, record)
            continue
        if params is not None:
            for value in params:
                if type(value) is not float:
                    params = _float_parameters(params)
                    break
        append_fields(gate_id, targets, controls, states, params, None, matrix, None, None)


# Qubit indices a packed store holds: 32-bit signed integers.
_MAX_STORED_QUBIT = 2**31 - 1


def _check_storable(targets, controls):
    """Refuse, by name of the limit, a qubit index the packed store cannot hold."""
    for q in tuple(targets) + tuple(controls):
        if q > _MAX_STORED_QUBIT:
            raise ValueError("Qubit " + str(q) + " is beyond what packed gate storage holds: qubit indices "
                             "up to 2**31 - 1 = " + str(_MAX_STORED_QUBIT) + ".") from None


def _check_text(text, what):
    """Refuse a name the gate store cannot hold, as the store itself does: anything but text (str, or
    bytes of UTF-8), and text without a UTF-8 form (a lone surrogate).

    Children of a block may be any objects with a gate's fields, so their
    id and name are not always str.
    """
    if isinstance(text, (bytes, bytearray)):
        try:
            text.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(what + " " + repr(text) + " is not valid UTF-8: gate storage holds names as UTF-8 "
                             "text.") from None
        return
    if not isinstance(text, str):
        raise TypeError(what + " must be text (str), got " + type(text).__name__ + ".")
    if not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(what + " " + repr(text) + " is not valid Unicode text: gate storage holds "
                             "names as UTF-8, which a lone surrogate does not have.") from None


def _check_stored_values(values, what, gate_id):
    """Refuse indices outside the 32-bit signed integers the gate store holds."""
    for value in values:
        if value > _MAX_STORED_QUBIT or value < -_MAX_STORED_QUBIT - 1:
            raise ValueError(what + " " + str(value) + " of gate '" + gate_id + "' is beyond what gate storage "
                             "holds: indices from -2**31 to 2**31 - 1 = " + str(_MAX_STORED_QUBIT) + ".")


def _width_text(width):
    return str(width) + (" target" if width == 1 else " targets")


def _check_block_positions(positions, gate_id, width):
    """Refuse positions that do not name distinct targets of the enclosing block of ``width`` targets.

    A position -k .. -1 counts from the block's last target (as k - j for
    -j); the store resolves it so when it takes the block, and every other
    path reads it so. Anything outside -k .. k - 1, or two positions that
    resolve to one target, no path could run the same way.
    """
    seen = {}
    for q in positions:
        if q < -width or q >= width:
            raise ValueError("Block position " + str(q) + " of gate '" + gate_id + "' is outside its block of "
                             + _width_text(width) + ": positions run from " + str(-width) + " to "
                             + str(width - 1) + ".")
        r = q + width if q < 0 else q
        if r in seen:
            raise ValueError("Block positions " + str(seen[r]) + " and " + str(q) + " of gate '" + gate_id
                             + "' are one target, position " + str(r) + " of its block of " + _width_text(width)
                             + " (-j counts from the end, as " + str(width) + " - j).")
        seen[r] = q
    return any(q < 0 for q in positions)


def _check_stored_fields(gate, width):
    """``width``: the target count of the enclosing block, or None for a gate of the circuit itself.

    Returns whether the gate names a block position counting from the end.
    """
    gate_id = gate.id
    _check_text(gate_id, "Gate id")
    if type(gate) is QuantumGate and gate._extra is None:
        # The common record: an id, targets and angles, and nothing else to look at.
        check_gate_shape(gate_id, len(gate.target), None)
        if width is not None:
            _check_stored_values(gate.target, "Block position", gate_id)
            return _check_block_positions(gate.target, gate_id, width)
        return False
    name = gate.name
    if name is not None:  # the store names such a gate by its id
        _check_text(name, "Gate name")
    negative = False
    if width is not None:
        # Positions in the enclosing block's targets: the circuit's width
        # says nothing about them, the store's integers and the block's do.
        _check_stored_values(gate.target, "Block position", gate_id)
        _check_stored_values(gate.control, "Block position", gate_id)
        negative = _check_block_positions(tuple(gate.target) + tuple(gate.control), gate_id, width)
    classical = gate.classical_target
    if classical is not None:
        _check_stored_values(classical, "Classical bit", gate_id)
    if gate.block_gate_sequence is None:
        check_gate_shape(gate_id, len(gate.target), gate.stored_matrix)
    return negative


def _from_end(positions, width):
    return tuple([q + width if q < 0 else q for q in positions])


def _resolved_positions(record):
    """``record`` with every block position -j written as k - j in its block of k targets.

    This is how the packed store keeps a block, so that both storages read
    back one record. Gates and blocks without such positions stay the
    objects they were, and a block shared by reference is rebuilt once per
    owner width; the walk keeps its levels on a list, so any nesting fits.
    """
    rebuilt = {}  # (id(children), width) -> the children as rebuilt
    placed_blocks = {}  # (id(gate), enclosing width) -> the block gate as placed, shared as the original is
    stack = [(record, len(record.target), iter(record.block_gate_sequence), [], False)]
    while True:
        gate, width, items, children, changed = stack[-1]
        child = next(items, _DONE)
        if child is not _DONE:
            grandchildren = child.block_gate_sequence
            if grandchildren is None:
                placed = _in_block(child, width, None)
            else:
                placed = placed_blocks.get((id(child), width))
                if placed is None:
                    key = (id(grandchildren), len(child.target))
                    if key not in rebuilt:
                        stack.append((child, len(child.target), iter(grandchildren), [], False))
                        continue
                    placed = placed_blocks[(id(child), width)] = _in_block(child, width, rebuilt[key])
            children.append(placed)
            if placed is not child:
                stack[-1] = (gate, width, items, children, True)
            continue
        stack.pop()
        original = gate.block_gate_sequence
        new_children = tuple(children) if changed else original
        if not stack:
            return record if new_children is original else record.replace(block_gate_sequence=new_children)
        rebuilt[(id(original), width)] = new_children
        parent, parent_width, parent_items, siblings, parent_changed = stack[-1]
        placed = placed_blocks[(id(gate), parent_width)] = _in_block(gate, parent_width, new_children)
        siblings.append(placed)
        if placed is not gate:
            stack[-1] = (parent, parent_width, parent_items, siblings, True)


def _in_block(gate, width, children):
    """``gate`` inside a block of ``width`` targets, its positions from the end resolved, with ``children``."""
    targets = _from_end(gate.target, width)
    controls = _from_end(gate.control, width)
    if (targets == tuple(gate.target) and controls == tuple(gate.control)
            and (children is None or children is gate.block_gate_sequence)):
        return gate
    changes = dict(target=targets, control=controls)
    if children is not None:
        changes["block_gate_sequence"] = children
    return gate.replace(**changes)


def _check_record(record, num_qubits):
    """The record as the circuit keeps it, or a ValueError, before anything changes, if the executors cannot take it.

    Its qubits must lie in the circuit; every gate in it without children
    must have the shape its name or its stored matrix asks for (the check
    the GPU executor makes too); names, and the positions and classical bits
    inside blocks, must be what the gate store holds. A block's children are
    looked at once however many gates share them, on an explicit stack, so
    that any nesting fits. A record whose blocks name positions from the end
    comes back with them resolved, as the packed store keeps it.
    """
    _check_qubits(tuple(record.target), tuple(record.control), num_qubits)
    _check_stored_fields(record, None)
    children = record.block_gate_sequence
    if children is None:
        return record
    negative = False
    # A lazy view over a packed store stands for that store, whichever view
    # object holds it; the owner's width is part of the key, since negative
    # positions in one block object mean different targets under owners of
    # different widths.
    key = _block_identity(children)
    width = len(record.target)
    seen = {(id(key), width)}
    held = [key]  # keeps every seen object, and so its id, alive
    pending = [(iter(children), width)]
    while pending:
        items, width = pending[-1]
        child = next(items, _DONE)
        if child is _DONE:
            pending.pop()
            continue
        if _check_stored_fields(child, width):
            negative = True
        grandchildren = child.block_gate_sequence
        if grandchildren is not None:
            key = _block_identity(grandchildren)
            inner = len(child.target)
            if (id(key), inner) not in seen:
                seen.add((id(key), inner))
                held.append(key)
                pending.append((iter(grandchildren), inner))
    return _resolved_positions(record) if negative else record


def _record_at(store, index):
    from ..backend.opchain.packed import OpchainPacked
    return OpchainPacked._snapshot_native(store, index)


class _PackedGates:
    """The gates of a packed-storage circuit, kept in a packed store of the records as added.

    It stands where the list storage keeps its list of gate tuples and offers
    what the circuit uses of that list (append, extend, length, iteration and
    slices as gate tuples, copy), so both storages share the circuit's logic.
    Besides the store's record, a gate keeps one byte, ``recorded``: whether
    it was handed over as a record (add_gate, an edited or assigned
    sequence), which decides how it inverts, as in the list storage. Tensor
    angles alone stay Python objects, in ``angles`` by position; the store
    holds 0.0 in their place. ``runs_as_is`` is true while the executor can
    walk the store itself: no record needs rewriting (barriers, vendor gates
    without a matrix, ...).
    """

    __slots__ = ("store", "recorded", "angles", "runs_as_is")

    def __init__(self, store, recorded, angles, runs_as_is):
        self.store = store
        self.recorded = recorded
        self.angles = angles
        self.runs_as_is = runs_as_is

    @classmethod
    def of(cls, gates):
        packed = cls(_native_store_type()(), bytearray(), {}, True)
        packed.extend(gates)
        return packed

    @classmethod
    def adopt(cls, store, num_qubits):
        """The gates of a sequence's store, all records, each checked against the width.

        A block whose gates name positions from the end is kept as the check
        resolves it, as the circuit keeps it in list storage: the store itself
        takes a packed sequence's gates as they are.
        """
        # A flag per gate, whatever a repeat view stores: refused at once
        # when they cannot fit.
        check_expansion("Taking over the gates of the sequence", len(store), 1)
        components = store.components
        resolved = {}
        for index in range(len(store)):
            gate = components(index)
            if gate[7] is None:
                _check_qubits(gate[1], gate[2], num_qubits)
                check_gate_shape(gate[0], len(gate[1]), gate[6])
            else:
                record = _record_at(store, index)
                checked = _check_record(record, num_qubits)
                if checked is not record:
                    resolved[index] = checked
        if resolved:
            rebuilt = _native_store_type()()
            for index in range(len(store)):
                rebuilt.append_gate(resolved[index] if index in resolved else _record_at(store, index))
            store = rebuilt
        return cls(store, bytearray(b"\x01") * len(store), {}, bool(store.bulk_supported()))

    def copy(self):
        # Pages are shared until written, so the copy costs the flags alone.
        return _PackedGates(self.store.copy(), bytearray(self.recorded), dict(self.angles), self.runs_as_is)

    def __deepcopy__(self, memo):
        # Records are immutable and the store cannot be pickled: a copy of it
        # is as independent as a deep one.
        return _PackedGates(self.store.copy(), bytearray(self.recorded), copy.deepcopy(self.angles, memo),
                            self.runs_as_is)

    def __len__(self):
        return len(self.store)

    def has_composite(self):
        """Whether a gate has a block; only records handed over can."""
        recorded, components = self.recorded, self.store.components
        index = recorded.find(1)
        while index >= 0:
            if components(index)[7] is not None:
                return True
            index = recorded.find(1, index + 1)
        return False

    def append(self, gate):
        self.add(*gate)

    def add(self, gate_id, targets, controls, states, params, matrix, record):
        """Append one gate given by the fields of its tuple."""
        store = self.store
        if record is not None:
            runs_natively = _runs_natively(record)
            try:
                store.append_gate(record)
            except ValueError:  # the store's limit, said here in qubits
                _check_storable(targets, controls)
                raise
            if not runs_natively:
                self.runs_as_is = False
            self.recorded.append(1)
            return
        angles = None
        if params is not None:
            for value in params:
                if type(value) is not float:
                    angles = params
                    params = tuple([value if type(value) is float else 0.0 for value in params])
                    break
        try:
            store.append_fields(gate_id, targets, controls, states, params, None, matrix, None, None)
        except ValueError:  # the store's limit, said here in qubits
            _check_storable(targets, controls)
            raise
        self.recorded.append(0)
        if angles is not None:
            self.angles[len(store) - 1] = angles

    def extend(self, gates):
        """Append every gate or, if one of them fails, none."""
        # A copy shares the store's pages, so keeping one costs little more
        # than the page the next append writes.
        kept = (self.store.copy(), len(self.recorded), self.runs_as_is)
        try:
            for gate in gates:
                self.add(*gate)
        except BaseException:
            self.store, length, self.runs_as_is = kept
            del self.recorded[length:]
            for index in [index for index in self.angles if index >= length]:
                del self.angles[index]
            raise

    def _gate(self, index):
        if self.recorded[index]:
            return _from_record(_record_at(self.store, index))
        gate_id, targets, controls, states, params, _, matrix, _, _ = self.store.components(index)
        if self.angles:
            params = self.angles.get(index, params)
        return (gate_id, targets, controls, states, params, matrix, None)

    def __getitem__(self, index):
        return [self._gate(position) for position in range(*index.indices(len(self)))]

    def __iter__(self):
        for index in range(len(self)):
            yield self._gate(index)

    def __reversed__(self):
        for index in range(len(self) - 1, -1, -1):
            yield self._gate(index)

    def sequence_store(self):
        """A copy of the store for `gate_sequence`, tensor angles read as their current floats."""
        store = self.store.copy()
        for index, params in self.angles.items():
            store.set_gate(index, _record_at(store, index).replace(parameter=_float_parameters(params)))
        return store


def _holds_tensors(gates):
    if isinstance(gates, _PackedGates):
        return bool(gates.angles)
    return any(_has_tensor(gate) for gate in gates)


class _CountingList(list):
    """The list of a circuit's derived `Opchain`: it counts the changes made
    through it, so that the circuit sees at once whether a caller edited the
    sequence, without comparing every record at every add."""

    __slots__ = ("edits",)

    def __init__(self, items=()):
        super().__init__(items)
        self.edits = 0


def _counted_change(name):
    change = getattr(list, name)

    def counted(self, *args, **kwargs):
        self.edits += 1
        return change(self, *args, **kwargs)

    counted.__name__ = counted.__qualname__ = name
    return counted


for _name in ("append", "extend", "insert", "pop", "remove", "clear", "sort", "reverse", "__setitem__",
              "__delitem__", "__iadd__", "__imul__"):
    setattr(_CountingList, _name, _counted_change(_name))
del _name


class CircuitResult:
    """The outcome of `Circuit.execute`: ``state`` holds the 2**n final amplitudes."""

    __slots__ = ("state",)

    def __init__(self, state):
        self.state = state

    def __repr__(self):
        return "CircuitResult(state=" + repr(self.state) + ")"


class Circuit:
    """A quantum circuit on ``n`` qubits, qubit q being bit q of an amplitude index.

    ``Circuit(n)``, ``Circuit(reg1, reg2, ...)`` (registers take consecutive
    qubits, the first the lowest) or ``Circuit(vector)`` (a circuit on
    log2(len(vector)) qubits mapping |0...0> exactly to the unit vector).
    Gate methods change the circuit in place; ``gate_storage`` ("list" or
    "packed") selects the class of `gate_sequence` and how the gates are
    kept: "packed" keeps them in a packed store, about 35 bytes a gate with
    float angles where "list" keeps a Python tuple of about 185 bytes.
    """

    def __init__(self, *args, name="Circuit", gate_storage="list"):
        if not isinstance(name, str):
            raise TypeError("Circuit name must be a str, got " + type(name).__name__ + ".")
        if gate_storage not in _STORAGES:
            raise ValueError("Unknown gate_storage " + repr(gate_storage) + "; accepted: "
                             + ", ".join([repr(s) for s in _STORAGES]) + ".")
        if not args:
            raise TypeError("Circuit() needs a qubit count, registers or a state vector.")
        registers = ()
        vector = None
        if all(isinstance(arg, Register) for arg in args):
            registers = args
            if len(set(map(id, registers))) != len(registers):
                raise ValueError("A register may be given to a circuit only once.")
            for register in registers:
                if register._offset is not None:
                    raise ValueError("Register '" + register.name + "' already belongs to a circuit.")
            offset = 0
            for register in registers:
                register._claim(offset)
                offset += register.size
            num_qubits = offset
        elif len(args) != 1:
            raise TypeError("Circuit() takes one qubit count, one state vector or registers only.")
        else:
            arg = args[0]
            if isinstance(arg, (bool, np.bool_)):
                raise TypeError("Circuit qubit count must be an int, not bool.")
            try:
                num_qubits = operator.index(arg)
            except TypeError:
                if np.ndim(arg) == 0 and not _is_tensor(arg):
                    raise TypeError("Circuit() takes a qubit count (int), registers or a state vector, got "
                                    + type(arg).__name__ + ".") from None
                vector = _complex_vector(arg, "Circuit state vector")
                num_qubits = vector.shape[0].bit_length() - 1
            else:
                if num_qubits < 0:
                    raise ValueError("Circuit qubit count must be non-negative, got " + str(num_qubits) + ".")
        self._num_qubits = num_qubits
        self.name = name
        self._registers = tuple(registers)
        self._storage = gate_storage
        self._gates = _PackedGates.of(()) if gate_storage == "packed" else []
        self._tensor_gates = False
        self._sequence = None
        self._store = None
        self._records = None
        self._spare = None
        if vector is not None:
            self._extend(_preparation_gates(vector, tuple(range(num_qubits))))

    # ------------------------------------------------------------------
    # The gate list and what is derived from it

    def _changed(self):
        """Called before the gate list changes: fold in edits of the derived sequence, then drop it."""
        if self._sequence is not None:
            self._sync()
            derived = self._sequence
            self._sequence = None
            if derived is not None and self._storage == "list":
                sequence, read_from, listed = derived
                del derived
                # Unchanged, and no one but this frame holds it or its list
                # (counts: the local name and getrefcount's argument, and the
                # sequence's attribute for the list): no one can see it any
                # more, so the next read may go on with it instead of a copy
                # of every record.
                if (sys.getrefcount(sequence) == 2 and weakref.getweakrefcount(sequence) == 0
                        and sys.getrefcount(listed) == 3):
                    self._spare = (sequence, listed, read_from)
                del sequence, listed, read_from

    def _add(self, gate_id, targets, controls, states, params=None, matrix=None, record=None):
        """Append one gate, given by the fields of its tuple."""
        if self._sequence is not None:
            self._changed()
        gates = self._gates
        if type(gates) is list:
            gates.append((gate_id, targets, controls, states, params, matrix, record))
        else:
            gates.add(gate_id, targets, controls, states, params, matrix, record)
        if params is not None and not self._tensor_gates and record is None:
            for value in params:
                if type(value) is not float:
                    self._tensor_gates = True
                    break

    def _extend(self, gates):
        if self._sequence is not None:
            self._changed()
        self._gates.extend(gates)
        if not self._tensor_gates:
            for gate in gates:
                if gate[_PARAMS] is not None and _has_tensor(gate):
                    self._tensor_gates = True
                    break

    def _edited_gates(self):
        """The gates of the derived sequence if a caller edited it, else None; changes nothing."""
        cached = self._sequence
        if cached is None:
            return None
        sequence, records, version = cached
        if self._storage == "packed":
            edited = sequence.version != version
        else:
            # version: the counting list the sequence was handed.
            edited = sequence._data is not version or version.edits != 0
        if not edited:
            return None
        width = int(sequence._num_qubits)
        if records is None:
            if self._tensor_gates:
                raise TypeError("The packed gate sequence of a circuit with tensor angles was edited; its "
                                "records hold the angles as floats, so the edit cannot be taken back without "
                                "losing them. Add gates through the circuit, or assign gate_sequence.")
            return self._gates_of_sequence(sequence, width)
        # Records the caller left in place stand for the gates they came
        # from, tensor angles included.
        known = {id(record): gate for record, gate in zip(records, self._gates)}
        gates = []
        for record in self._records_of(sequence):
            gate = known.get(id(record))
            if gate is None:
                gate = _from_record(_check_record(record, width))
            else:
                _check_qubits(tuple(record.target), tuple(record.control), width)
            gates.append(gate)
        return gates

    def _sync(self):
        """Take the gates back from the derived sequence if a caller edited it."""
        gates = self._edited_gates()
        if gates is None:
            return
        self._gates = gates
        self._tensor_gates = _holds_tensors(gates)
        self._store = None
        self._sequence = None

    @staticmethod
    def _records_of(sequence):
        from ..backend.opchain.opchain import materialize_gate_sequence
        data = sequence.data()
        if getattr(data, "_packed_store_native", None) is not None:
            # A gate tuple and a record for each gate, however few records a
            # repeat view stores: refused at once when they cannot fit.
            check_expansion("Reading the gates of the sequence", len(data), PYTHON_GATE_BYTES)
        return materialize_gate_sequence(data)

    def _gates_of_sequence(self, sequence, num_qubits):
        """The gates of a caller's sequence, as this circuit's storage keeps them."""
        if self._storage == "list":
            return _gates_of_records(self._records_of(sequence), num_qubits)
        store = getattr(sequence, "_packed_store_native", None)
        if store is not None:
            return _PackedGates.adopt(store.copy(), num_qubits)
        return _PackedGates.of(_gates_of_records(self._records_of(sequence), num_qubits))

    def _current_gates(self):
        if self._sequence is not None:
            self._sync()
        return self._gates

    def _native_store(self):
        """The packed store of the current gates, extended from the last one built."""
        gates = self._current_gates()
        if type(gates) is _PackedGates and gates.runs_as_is:
            return gates.store
        cached = self._store
        if cached is not None and cached[1] == len(gates) and cached[2] is gates:
            return cached[0]
        if cached is not None and cached[2] is gates and cached[1] < len(gates):
            # A private copy (pages are shared until written), so a store
            # another thread is running stays as it was.
            store = cached[0].copy()
            _encode(store, gates[cached[1]:])
        else:
            store = _native_store_type()()
            _encode(store, gates)
        self._store = (store, len(gates), gates)
        return store

    @property
    def gate_sequence(self):
        """The gates as an `Opchain` or `OpchainPacked` of `QuantumGate` records."""
        if self._sequence is not None:
            try:
                self._sync()
            except (TypeError, ValueError):
                # A bad edit: hand the sequence back so that it can be repaired;
                # the circuit refuses to use it until then.
                return self._sequence[0]
            if self._sequence is not None:
                return self._sequence[0]
        if self._storage == "packed":
            from ..backend.opchain.packed import OpchainPacked
            sequence = OpchainPacked(self._num_qubits, self.name, _native=self._gates.sequence_store())
            self._sequence = (sequence, None, sequence.version)
        else:
            from ..backend.opchain.opchain import Opchain
            records = self._list_records()
            spare = getattr(self, "_spare", None)
            self._spare = None
            sequence = listed = None
            if spare is not None:
                sequence, listed, read_from = spare
                del spare
                # Made from the records of the same gates: it takes those
                # added since then.
                if read_from is records and len(listed) <= len(records) and sequence._num_qubits == self._num_qubits:
                    list.extend(listed, records[len(listed):])  # the circuit's own change: not counted
                    sequence._name = self.name
                else:
                    sequence = listed = None
            if sequence is None:
                sequence = Opchain(self._num_qubits, self.name)
                listed = _CountingList(records)
                sequence._data = listed
            self._sequence = (sequence, records, listed)
        return sequence

    def _list_records(self):
        """The records of the list storage's gates, built once each: a read after adds builds the new ones only.

        Tensor angles are read as their current floats at every read instead.
        """
        gates = self._gates
        if self._tensor_gates:
            return [_to_record(gate) for gate in gates]
        cached = getattr(self, "_records", None)
        if cached is None or cached[0] is not gates or len(cached[1]) > len(gates):
            cached = self._records = (gates, [])
        records = cached[1]
        if len(records) < len(gates):
            records.extend([_to_record(gate) for gate in gates[len(records):]])
        return records

    @gate_sequence.setter
    def gate_sequence(self, sequence):
        if not hasattr(sequence, "data") or not hasattr(sequence, "_num_qubits"):
            raise TypeError("gate_sequence must be an Opchain or OpchainPacked.")
        num_qubits = int(sequence._num_qubits)
        gates = self._gates_of_sequence(sequence, num_qubits)
        self._sequence = None
        self._spare = None
        self._store = None
        self._num_qubits = num_qubits
        self._gates = gates
        self._tensor_gates = False

    def get_num_qubits(self):
        return self._num_qubits

    # ------------------------------------------------------------------
    # Gate methods

    def _one(self, gate_id, qubit, params=None):
        q = _qubit(qubit)
        if q < 0 or q >= self._num_qubits:
            _check_qubits((q,), (), self._num_qubits)
        self._add(gate_id, (q,), (), (), params)

    def _controlled(self, gate_id, control, target, control_state, params=None):
        if type(control) is int and type(target) is int and control_state is None:
            # The common call cx(a, b), checked without building lists first;
            # anything wrong takes the general path for its message.
            if 0 <= control < self._num_qubits and 0 <= target < self._num_qubits and control != target:
                self._add(gate_id, (target,), (control,), (1,), params)
                return
        targets = _qubit_list(target)
        if len(targets) != 1:
            raise ValueError(gate_id + " acts on exactly one target qubit, got " + str(len(targets)) + ".")
        controls = _qubit_list(control)
        states = _control_states(control_state, len(controls))
        _check_qubits(targets, controls, self._num_qubits)
        self._add(gate_id, targets, controls, states, params)

    def x(self, qubit):
        """Pauli X."""
        self._one("x", qubit)

    def h(self, qubit):
        """Hadamard."""
        self._one("h", qubit)

    def s(self, qubit):
        """Phase gate diag(1, i)."""
        self._one("s", qubit)

    def sdag(self, qubit):
        """Inverse phase gate diag(1, -i), recorded as ``s_dag``."""
        self._one("s_dag", qubit)

    def rz(self, theta, qubit):
        """Z rotation diag(e^{-i theta/2}, e^{i theta/2})."""
        angle = _angle(theta)
        self._one("rz", qubit, (angle,))

    def cx(self, control, target, control_state=None):
        """CNOT: X on ``target`` when ``control`` is in ``control_state`` (default 1)."""
        self._controlled("cx", control, target, control_state)

    def cz(self, control, target, control_state=None):
        """Controlled Z."""
        self._controlled("cz", control, target, control_state)

    def ch(self, control, target, control_state=None):
        """Controlled Hadamard."""
        self._controlled("ch", control, target, control_state)

    def cry(self, theta, control, target, control_state=None):
        """Controlled RY(theta) = [[cos, -sin], [sin, cos]] of theta/2."""
        angle = _angle(theta)
        self._controlled("cry", control, target, control_state, (angle,))

    def mcry(self, theta, controls, target, control_state=None):
        """RY(theta) on ``target`` under every control in its state (default 1)."""
        angle = _angle(theta)
        self._controlled("mcry", controls, target, control_state, (angle,))

    def mcrx(self, theta, controls, target, control_state=None):
        """RX(theta) on ``target`` under every control in its state (default 1)."""
        angle = _angle(theta)
        self._controlled("mcrx", controls, target, control_state, (angle,))

    def mcz(self, controls, target, control_state=None):
        """Z on ``target`` under every control in its state (default 1)."""
        self._controlled("mcz", controls, target, control_state)

    def gp(self, angle):
        """Multiply the state by e^{i angle}; under controls (via `append`) a controlled phase."""
        value = _angle(angle)
        self._add("gp", (), (), (), (value,))

    def unitary(self, matrix, target, control=None, control_state=None):
        """The dense 2**k matrix ``matrix`` on ``target`` (target[i] = bit i of its index)."""
        targets = _qubit_list(target)
        controls = _qubit_list(control)
        states = _control_states(control_state, len(controls))
        _check_qubits(targets, controls, self._num_qubits)
        array = _unitary_matrix(matrix, len(targets))
        if not targets:
            # A 1 x 1 unitary is a phase.
            phase = float(np.angle(array[0, 0]))
            if phase != 0.0:
                self._add("gp", (), controls, states, (phase,))
            return
        self._add("unitary", targets, controls, states, None, array)

    def initialize(self, vector, qubits):
        """Set ``qubits``, still in |0...0>, to the unit vector ``vector`` (qubits[i] = bit i).

        Built from uniformly controlled rotations, so the circuit stays
        unitary, invertible and controllable.
        """
        targets = _qubit_list(qubits)
        _check_qubits(targets, (), self._num_qubits)
        array = _complex_vector(vector, "initialize vector")
        if array.shape[0] != 1 << len(targets):
            raise ValueError("initialize vector has " + str(array.shape[0]) + " entries for "
                             + _counted(len(targets), "qubit") + "; expected " + str(1 << len(targets)) + ".")
        self._extend(_preparation_gates(array, targets))

    def add_gate(self, gate):
        """Append a ready `QuantumGate` record."""
        if not isinstance(gate, QuantumGate):
            raise TypeError("add_gate expects a QuantumGate, got " + type(gate).__name__ + ".")
        self._add(*_from_record(_check_record(gate, self._num_qubits)))

    def append(self, circuit, target, control=None, control_state=None):
        """Add ``circuit`` with its qubit r on target[r], controlled as a whole by ``control``."""
        if isinstance(circuit, Circuit):
            gates = list(circuit._current_gates())
            width = circuit._num_qubits
        elif hasattr(circuit, "data") and hasattr(circuit, "_num_qubits"):
            width = int(circuit._num_qubits)
            gates = _gates_of_records(self._records_of(circuit), width)
        else:
            raise TypeError("append expects a Circuit or a gate sequence, got " + type(circuit).__name__ + ".")
        targets = _qubit_list(target)
        if len(targets) != width:
            raise ValueError("append target lists " + _counted(len(targets), "qubit") + " for a circuit of "
                             + _counted(width, "qubit") + ".")
        controls = _qubit_list(control)
        states = _control_states(control_state, len(controls))
        _check_qubits(targets, controls, self._num_qubits)
        if not controls and targets == tuple(range(width)):
            self._extend(gates)
            return
        self._extend([_placed(gate, targets, controls, states) for gate in gates])

    # ------------------------------------------------------------------
    # New circuits

    def _like(self, gates, name=None):
        new = Circuit.__new__(Circuit)
        new._num_qubits = self._num_qubits
        new.name = self.name if name is None else name
        new._registers = self._registers
        new._storage = self._storage
        if self._storage == "packed" and type(gates) is not _PackedGates:
            gates = _PackedGates.of(gates)
        new._gates = gates
        new._tensor_gates = _holds_tensors(gates) if self._tensor_gates else False
        new._sequence = None
        new._store = None
        new._records = None
        new._spare = None
        return new

    def copy(self):
        """An independent circuit with the same gates (tensor angles shared, not copied)."""
        # Only reads: threads copy one shared template at once.
        edited = self._edited_gates()
        gates = self._gates if edited is None else edited
        new = self._like(gates.copy())
        cached = self._store
        if cached is not None and cached[2] is gates and cached[1] <= len(gates):
            # Built stores are never written again (extending one copies it
            # first), so the copy may start from the same one.
            new._store = (cached[0], cached[1], new._gates)
        return new

    def dagger(self):
        """The inverse circuit."""
        return self._like([_inverse(gate) for gate in reversed(self._current_gates())])

    def decompose(self):
        """A new circuit with every composite gate expanded by one level."""
        current = self._current_gates()
        if type(current) is _PackedGates and not current.has_composite():
            # Nothing to expand: the same records, read back from no gate.
            return self._like(current.copy())
        gates = []
        for gate in self._current_gates():
            record = gate[_RECORD]
            if record is not None and record.block_gate_sequence is not None:
                gates.extend([_from_record(child) for child in record.decompose()])
            else:
                gates.append(gate)
        return self._like(gates)

    # ------------------------------------------------------------------
    # Execution

    def execute(self, backend="torch", device="cpu", dtype=np.complex128):
        """Run from |0...0>; ``.state`` of the result holds the 2**n amplitudes in ``dtype``.

        With numeric angles the gates run on the native packed executor and the
        state is a NumPy array; with any torch-tensor angle they run on PyTorch
        and the state is a tensor through which gradients flow.
        """
        if not (type(backend) is str and backend == "torch" and type(device) is str and device == "cpu"):
            _check_backend(backend, device)
        complex_dtype = _COMPLEX_DTYPES.get(dtype) if type(dtype) is type else None
        if complex_dtype is None:
            complex_dtype = _complex_dtype(dtype)
        gates = self._current_gates()
        size = _state_size(self._num_qubits)
        if self._tensor_gates:
            from . import _torch_path
            return CircuitResult(_torch_path.execute(gates, self._num_qubits, complex_dtype))
        n = self._num_qubits
        if n == 0:
            phase = 0.0
            for gate in gates:
                if gate[_ID] in ("gp", "gphase", "global_phase"):
                    phase += _float_parameter(gate[_PARAMS][0])
            return CircuitResult(np.array([complex(math.cos(phase), math.sin(phase))], dtype=complex_dtype))
        store = self._native_store()
        if store.has_measurement():
            raise NotImplementedError(_NO_MEASUREMENTS)
        state = np.zeros(size, dtype=complex_dtype)
        state[0] = 1.0
        state, _ = _packed_executor()(n, state, store)
        return CircuitResult(state)

    def compile(self):
        """A snapshot of the circuit for PyTorch: `apply_to_batch(states)` runs it on a batch."""
        return CompiledCircuit(self._current_gates(), self._num_qubits)

    def __repr__(self):
        return ("Circuit(" + repr(self.name) + ", qubits=" + str(self._num_qubits) + ", gates="
                + str(len(self._gates)) + ")")


class CompiledCircuit:
    """A circuit prepared for batched, differentiable PyTorch execution."""

    def __init__(self, gates, num_qubits):
        from . import _torch_path
        self._num_qubits = num_qubits
        self._program = _torch_path.Program(gates, num_qubits)

    def apply_to_batch(self, states):
        """Final states (B, 2**n) of the circuit applied to each row of ``states`` (B, 2**n)."""
        return self._program.apply(states)
