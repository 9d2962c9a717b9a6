"""Standard gate matrices: the minimal platform layer.

``resolve_numpy_base_matrix`` gives the matrix a gate applies to its own
targets; controls never enter it. Qubit order is little-endian: the first
target is the least significant bit of the row and column index. The
definitions agree with the state-vector kernels (half angles for the
rotations, U3 as [[c, -e^{il} s], [e^{ip} s, e^{i(p+l)} c]]).
A stored matrix is returned exactly as it was given.

The unitarity bound that the circuit layer and the compiler passes apply to
stored matrices is defined here too, so that both reach the same verdict.
"""
import cmath
import functools
import math

import numpy as np

# Largest max|M M^dagger - I| of a matrix taken as unitary, applied to its
# complex128 copy. Entries rounded to complex64 are off by about 6e-8, and
# double-precision matrices from solvers or products carry errors of that
# order, so this bound accepts both with room and still refuses a matrix that
# is not unitary. The text is the one messages quote.
UNITARY_TOLERANCE_TEXT = "1e-6"
UNITARY_TOLERANCE = float(UNITARY_TOLERANCE_TEXT)

# How every executor reads a gate (the packed executor, the device add-on,
# which shares its dispatch, and the PyTorch path), and so how the compiler
# must read it too: the name decides before a stored matrix.
#
# Ids that only order the gates around them: they do nothing, a stored
# matrix included.
NO_OP_IDS = frozenset({"barrier", "b"})
# Ids with a row in the packed executor's dispatch: such a gate runs by its
# name, and a stored matrix it carries is ignored. A gate of any other id
# (but a measurement or an ordering-only gate) runs its stored matrix.
NAMED_IDS = frozenset({
    "i", "x", "y", "z", "h", "s", "s_dag", "t", "t_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag",
    "p", "gp", "gphase", "global_phase", "rx", "ry", "rz", "u", "swap", "rzz",
    "cx", "cnot", "cy", "cz", "ch", "cs", "ct", "cp", "crx", "cry", "crz",
    "mcx", "mcy", "mcz", "mch", "mcs", "mct", "mcp", "mcrx", "mcry", "mcrz",
})
_NAME_DECIDES = NAMED_IDS | NO_OP_IDS | {"measure"}

_R = 1.0 / math.sqrt(2.0)
_HALF_P = 0.5 + 0.5j
_HALF_M = 0.5 - 0.5j

_FIXED = {
    "i": [[1, 0], [0, 1]],
    "x": [[0, 1], [1, 0]],
    "y": [[0, -1j], [1j, 0]],
    "z": [[1, 0], [0, -1]],
    "h": [[_R, _R], [_R, -_R]],
    "s": [[1, 0], [0, 1j]],
    "s_dag": [[1, 0], [0, -1j]],
    "t": [[1, 0], [0, cmath.exp(0.25j * math.pi)]],
    "t_dag": [[1, 0], [0, cmath.exp(-0.25j * math.pi)]],
    "sqrtx": [[_HALF_P, _HALF_M], [_HALF_M, _HALF_P]],
    "sqrtx_dag": [[_HALF_M, _HALF_P], [_HALF_P, _HALF_M]],
    "sqrty": [[_HALF_P, -_HALF_P], [_HALF_P, _HALF_P]],
    "sqrty_dag": [[_HALF_M, _HALF_M], [-_HALF_M, _HALF_M]],
    # Vendor half rotations: RX(+-pi/2) and RY(+-pi/2), no global phase.
    "x2p": [[_R, -1j * _R], [-1j * _R, _R]],
    "x2m": [[_R, 1j * _R], [1j * _R, _R]],
    "y2p": [[_R, -_R], [_R, _R]],
    "y2m": [[_R, _R], [-_R, _R]],
    "swap": [[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]],
}

# Controlled spellings share the matrix of the gate they control.
_ALIASES = {
    "cx": "x", "cnot": "x", "mcx": "x",
    "cy": "y", "mcy": "y",
    "cz": "z", "mcz": "z",
    "ch": "h", "mch": "h",
    "cs": "s", "mcs": "s",
    "ct": "t", "mct": "t",
    "cp": "p", "mcp": "p",
    "crx": "rx", "mcrx": "rx",
    "cry": "ry", "mcry": "ry",
    "crz": "rz", "mcrz": "rz",
    "gphase": "gp", "global_phase": "gp",
}


def _rx(theta):
    c, s = math.cos(theta * 0.5), math.sin(theta * 0.5)
    return [[c, -1j * s], [-1j * s, c]]


def _ry(theta):
    c, s = math.cos(theta * 0.5), math.sin(theta * 0.5)
    return [[c, -s], [s, c]]


def _rz(theta):
    return [[cmath.exp(-0.5j * theta), 0], [0, cmath.exp(0.5j * theta)]]


def _p(phi):
    return [[1, 0], [0, cmath.exp(1j * phi)]]


def _u(theta, phi, lam):
    c, s = math.cos(theta * 0.5), math.sin(theta * 0.5)
    return [[c, -cmath.exp(1j * lam) * s],
            [cmath.exp(1j * phi) * s, cmath.exp(1j * (phi + lam)) * c]]


def _rxy(phi, theta):
    """exp(-i theta/2 (cos phi X + sin phi Y)): the vendor's rotation about an axis in the XY plane."""
    c, s = math.cos(theta * 0.5), math.sin(theta * 0.5)
    return [[c, -1j * s * cmath.exp(-1j * phi)], [-1j * s * cmath.exp(1j * phi), c]]


def _rzz(theta):
    a, b = cmath.exp(-0.5j * theta), cmath.exp(0.5j * theta)
    return np.diag([a, b, b, a])


_PARAMETRIC = {"rx": (_rx, 1), "ry": (_ry, 1), "rz": (_rz, 1), "p": (_p, 1), "u": (_u, 3), "rzz": (_rzz, 1),
               "rxy": (_rxy, 2), "xyarb": (_rxy, 2)}
_TWO_QUBIT = frozenset({"swap", "rzz"})


def _embed(op, targets, controls, states, num_qubits, dtype):
    """Matrix on ``num_qubits`` little-endian qubits of ``op`` on ``targets`` under controls."""
    dim = 1 << num_qubits
    full = np.zeros((dim, dim), dtype=dtype)
    sub_dim = 1 << len(targets)
    target_mask = 0
    for t in targets:
        target_mask |= 1 << t
    for col in range(dim):
        if any(((col >> c) & 1) != (1 if s == 1 else 0) for c, s in zip(controls, states)):
            full[col, col] = 1
            continue
        sub_col = 0
        for j, t in enumerate(targets):
            sub_col |= ((col >> t) & 1) << j
        base = col & ~target_mask
        for sub_row in range(sub_dim):
            row = base
            for j, t in enumerate(targets):
                row |= ((sub_row >> j) & 1) << t
            full[row, col] = op[sub_row, sub_col]
    return full


def _identity(num_targets, dtype):
    return np.eye(1 << num_targets, dtype=dtype)


def _leaf_matrix(gate, dtype):
    """The matrix a gate without children applies to its targets, as every executor reads it.

    The name decides before a stored matrix: an ordering-only gate is the
    identity, a gate with a row of its own runs that row, a measurement has
    no matrix; any other gate runs its stored matrix, given as it is, or the
    standard matrix of its id.
    """
    gate_id = gate.id
    if gate_id in NO_OP_IDS:
        return _identity(len(gate.target), dtype)
    if gate_id == "measure":
        raise ValueError("Gate 'measure' has no matrix: a measurement is not a unitary operation.")
    stored = gate.stored_matrix
    if stored is not None and gate_id not in NAMED_IDS:
        return stored
    return _standard_matrix(gate_id, len(gate.target), gate.parameter or (), dtype)


def _check_child(child, width):
    """The positions of ``child`` in its block of ``width`` targets, resolved, or a ValueError.

    The check every path makes where a block is added, so that a block the
    circuit refuses has no matrix either; with it the product stays unitary
    (two positions naming one target would not).
    """
    from .checks import check_gate_fields
    check_gate_fields(child, width)
    targets = tuple([q + width if q < 0 else q for q in child.target])
    controls = tuple([q + width if q < 0 else q for q in child.control])
    return targets, controls


def _block_matrix(gate, dtype):
    """The matrix of a composite gate: the product of what its children run, placed by position.

    Each block object is multiplied out once per width of its owner
    (negative positions resolve by it): a block shared by reference at k
    levels (2**k gates) costs k products, not 2**k. Any nesting fits, and a
    block met again inside itself is refused.
    """
    from .morlith import _block_identity, _fold_blocks

    stored = []  # whether a child runs a stored matrix, which alone can make the product not unitary

    def start(owner, block):
        return _identity(len(owner.target), dtype)

    def add(product, owner, child, inner):
        width = len(owner.target)
        targets, controls = _check_child(child, width)
        if inner is None:
            if not stored and runs_stored_matrix(child.id, child.stored_matrix):
                stored.append(child)
            inner = np.asarray(_leaf_matrix(child, dtype), dtype=dtype)
        return _embed(inner, targets, controls, tuple(child.control_state), width, dtype) @ product

    def key(owner, block):
        return (id(_block_identity(block)), len(owner.target))

    product = _fold_blocks(gate, gate.block_gate_sequence, start, add, key=key)
    if stored:
        deviation = unitary_deviation(product)
        if not deviation <= UNITARY_TOLERANCE:
            raise ValueError("The matrix of gate " + repr(gate.name) + " is not unitary: max |M M^dagger - I| = "
                             + format(deviation, ".3g") + " exceeds " + UNITARY_TOLERANCE_TEXT
                             + "; a stored matrix among its gates is not unitary.")
    return product


def _expected_targets(gate_id):
    """The number of targets a gate of ``gate_id`` (lower case) acts on, or None when any number fits."""
    base = _ALIASES.get(gate_id, gate_id)
    if base in _TWO_QUBIT:
        return 2
    if base in _FIXED or base in _PARAMETRIC:
        return 1
    return None


def _check_target_count(gate_id, num_targets):
    expected = _expected_targets(gate_id)
    if expected is not None and num_targets != expected:
        raise ValueError("Gate '" + gate_id + "' acts on " + str(expected)
                         + " target(s), got " + str(num_targets) + ".")


def runs_stored_matrix(gate_id, stored_matrix):
    """Whether the executors apply a gate's stored matrix rather than what its name says."""
    return stored_matrix is not None and gate_id not in _NAME_DECIDES


_UNKNOWN = object()


def check_gate_shape(gate_id, num_targets, stored_matrix, parameters=_UNKNOWN):
    """Refuse, with ValueError, a gate that no executor can run for its shape.

    A gate run by its name needs the targets of that name, whatever matrix it
    carries; a gate that runs its stored matrix needs a 2**t x 2**t matrix
    for its t targets; any other gate runs the standard matrix of its id,
    which needs such an id with the targets and ``parameters`` (None or a
    tuple; not looked at when not given) it takes. ``gate_id`` is in lower
    case; children of a composite gate are not looked at.
    """
    if gate_id in NO_OP_IDS or gate_id == "measure":
        return
    if stored_matrix is None or gate_id in NAMED_IDS:
        _check_target_count(gate_id, num_targets)
        if stored_matrix is None and gate_id not in NAMED_IDS:
            base = _ALIASES.get(gate_id, gate_id)
            if base in _PARAMETRIC:
                count = _PARAMETRIC[base][1]
                if parameters is not _UNKNOWN and len(parameters or ()) != count:
                    raise ValueError("Gate '" + gate_id + "' needs " + str(count) + " parameter(s).")
            elif base not in _FIXED:
                raise ValueError("Gate '" + gate_id + "' has no standard matrix; give it a matrix.")
        return
    try:
        shape = stored_matrix.shape
    except AttributeError:
        shape = None
    if shape is None:
        shape = np.shape(stored_matrix)
    if num_targets == 0:
        raise ValueError("Gate '" + gate_id + "' runs its stored matrix, which needs at least one target.")
    expected = (2 ** num_targets, 2 ** num_targets)
    if tuple(shape) != expected:
        raise ValueError("Gate '" + gate_id + "' runs its stored matrix on " + str(num_targets)
                         + " target(s), which needs shape " + str(expected) + "; got " + str(tuple(shape)) + ".")


def _standard_matrix(gate_id, num_targets, parameters, dtype):
    """The matrix of ``gate_id`` (lower case) on ``num_targets`` targets with ``parameters``."""
    base = _ALIASES.get(gate_id, gate_id)
    if base == "gp":
        if len(parameters) != 1:
            raise ValueError("Gate '" + gate_id + "' needs 1 parameter(s).")
        return _identity(num_targets, dtype) * cmath.exp(1j * parameters[0])
    _check_target_count(gate_id, num_targets)
    if base in _FIXED:
        return np.array(_FIXED[base], dtype=dtype)
    if base in _PARAMETRIC:
        build, count = _PARAMETRIC[base]
        if len(parameters) != count:
            raise ValueError("Gate '" + gate_id + "' needs " + str(count) + " parameter(s).")
        return np.array(build(*parameters), dtype=dtype)
    raise ValueError("Gate '" + gate_id + "' has no standard matrix; give it a matrix.")


@functools.lru_cache(maxsize=1024)
def _shared_standard_matrix(gate_id, num_targets, parameters):
    matrix = np.asarray(_standard_matrix(gate_id, num_targets, parameters or (), np.complex128))
    matrix.setflags(write=False)
    return matrix


def standard_matrix(gate_id, num_targets, parameters):
    """The standard complex128 matrix of ``gate_id`` (lower case), read-only, one array per distinct gate.

    Gates that run the matrix of their id (the vendor gates) reach the
    native executor with it as a stored matrix; equal gates sharing one
    array make a store keep one matrix for all of them.
    """
    if parameters is not None and type(parameters) is not tuple:
        parameters = tuple(parameters)
    return _shared_standard_matrix(gate_id, num_targets, parameters)


def resolve_numpy_base_matrix(gate, dtype=np.complex128):
    """Return the matrix that ``gate`` applies to its targets, as the executors run it.

    A composite gate applies what its children run, whatever it carries
    itself; any other gate is read by the rule of `_leaf_matrix`.
    """
    if gate.block_gate_sequence is not None:
        return _block_matrix(gate, dtype)
    return _leaf_matrix(gate, dtype)


def unitary_deviation(matrix):
    """max |M M^dagger - I| of a square matrix, computed in complex128 (NaN for non-finite entries)."""
    array = np.asarray(matrix, dtype=np.complex128)
    return float(np.abs(array @ array.conj().T - np.eye(array.shape[0])).max())
