"""Gate records: the immutable ``QuantumGate`` and its inversion and expansion rules."""
from dataclasses import dataclass
from collections.abc import Sequence
from typing import Any, Optional

import numpy as np

from ..expansion import PYTHON_GATE_BYTES, check_expansion
from .validation import validate_gate_parameters


_BOOL_INDEX_MESSAGE = "Qubit indices must be integers, not bool."


def _to_int_tuple(value):
    """Normalise qubit indices (targets, controls, control states, classical bits) to a tuple of ints."""
    if value is None:
        return ()
    # bool is an int subclass; a stray True must not silently mean qubit 1.
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(_BOOL_INDEX_MESSAGE)
    if isinstance(value, (int, np.integer)):
        return (int(value),)
    if isinstance(value, (list, tuple, range)):
        for item in value:
            if isinstance(item, (bool, np.bool_)):
                raise TypeError(_BOOL_INDEX_MESSAGE)
        converted = []
        try:
            for item in value:
                converted.append(int(item))
        except (TypeError, ValueError) as exc:
            raise TypeError("Qubit indices must be integers.") from exc
        return tuple(converted)
    raise TypeError("Expected int/list/tuple/range, got " + type(value).__name__)


def _normalize_gate_sequence(value):
    """Children of a composite gate: a tuple, or a read-only sequence kept by reference."""
    if value is None:
        return None
    if type(value) is tuple:
        return value
    if isinstance(value, (list, tuple)):
        return tuple(value)
    # Lazy views over a packed store are kept as they are; copying them
    # would materialise every nested gate.
    if isinstance(value, Sequence):
        return value
    raise TypeError("block_gate_sequence must be a list, tuple, or read-only gate sequence")


# --------------------------------------------------------------------------
# Inversion tables
# --------------------------------------------------------------------------

_DAG_SUFFIX = "_dag"

_SELF_INVERSE_IDS = frozenset({
    "x", "y", "z", "h", "ch", "cx", "cy", "cz", "i", "cnot", "swap",
    "mcx", "mcy", "mcz", "mch",
})

# The controlled phase gates invert to the uncontrolled inverse id: the
# controls travel with the record, so the result stays controlled.
_INVERSE_IDS = {
    "s": "s_dag",
    "s_dag": "s",
    "t": "t_dag",
    "t_dag": "t",
    "sqrtx": "sqrtx_dag",
    "sqrtx_dag": "sqrtx",
    "sqrty": "sqrty_dag",
    "sqrty_dag": "sqrty",
    "x2p": "x2m",
    "x2m": "x2p",
    "y2p": "y2m",
    "y2m": "y2p",
    "cs": "s_dag",
    "mcs": "s_dag",
    "ct": "t_dag",
    "mct": "t_dag",
}

_ANGLE_NEGATION_IDS = frozenset({
    "rx", "ry", "rz", "rzz", "p", "gp", "gphase", "global_phase",
    "crx", "cry", "crz", "cp", "mcrx", "mcry", "mcrz", "mcp",
})

# The vendor rotation (phi, theta) about an axis in the XY plane: its inverse
# turns back about the same axis, so only theta changes sign. Negating phi too
# would mirror the axis and give another gate.
_AXIS_ROTATION_IDS = frozenset({"rxy", "xyarb"})

# Gates that act on the whole register (or only record results) may have no target.
_TARGETLESS_IDS = frozenset({"gp", "gphase", "global_phase", "barrier", "measure"})


def _dagger_name(name: str) -> str:
    """Toggle the inverse suffix on a display name."""
    if name.endswith(_DAG_SUFFIX):
        return name[:-4]
    return name + _DAG_SUFFIX


def _negate_parameter_value(value):
    if value is None:
        return None
    if isinstance(value, tuple):
        return tuple([-item for item in value])
    return -value


def _dagger_parameter(gate_id: str, parameter: Optional[tuple]) -> Optional[tuple]:
    """Parameters of the inverse gate."""
    if parameter is None:
        return None
    base_id = gate_id.lower().replace(_DAG_SUFFIX, "")
    if base_id in _ANGLE_NEGATION_IDS:
        return _negate_parameter_value(parameter)
    if base_id == "u":
        # U3(theta, phi, lambda)^dagger == U3(-theta, -lambda, -phi).
        # Typed as doubles so that only real numbers convert (float() would parse a str).
        theta: float
        phi: float
        lam: float
        theta, phi, lam = parameter
        return (-theta, -lam, -phi)
    if base_id in _AXIS_ROTATION_IDS and len(parameter) == 2:
        phi, theta = parameter
        return (phi, -theta)
    return parameter


# The walks over nested blocks (here and in the gate sequences) keep their
# own stack and share these two pieces.
_DONE = object()


def _enter_block(children, open_blocks):
    """Mark children as being walked; return the key that leaves it again.

    The children are kept by identity while they are walked: a read-only
    sequence is kept by reference, so a block can hold a gate whose block is
    that very sequence, and the walk would never end.
    """
    key = id(children)
    if key in open_blocks:
        raise RecursionError("a gate block contains itself")
    # A packed view is read gate by gate, each gate a new record: a view that
    # stands for more gates than fit in memory as records (a repeat view can
    # stand for 2**40) is refused with its count, not walked without end.
    if hasattr(children, "_packed_store_native"):
        check_expansion("Reading the gates of a block's packed sequence", len(children), PYTHON_GATE_BYTES)
    open_blocks.add(key)
    return key


def _block_identity(children):
    """What makes two blocks the same: a view over a packed store is made anew
    at every read of its gate, and the store it shows is the block."""
    return getattr(children, "_packed_store_native", children)


def _walk_blocks(gates, children_of, once=False, composites=False):
    """Yield ``gates`` with every composite gate replaced, at any depth and in
    order, by the gates that ``children_of(gate)`` gives for it.

    An explicit stack, so that any nesting is walked without recursion; a
    block met again inside itself ends the walk with RecursionError. Each
    frame holds its block, so that no other object takes its id (the key)
    while it is walked. With ``once``, a block walked before is not walked
    again: for questions that do not depend on where a block is placed, a
    block shared by reference at k levels costs k walks, not 2**k. With
    ``composites``, a composite gate is yielded too, before its children.
    """
    open_blocks = set()
    walked = {} if once else None
    pending = [(iter(gates), None, None)]
    while pending:
        gate = next(pending[-1][0], _DONE)
        if gate is _DONE:
            _, key, children = pending.pop()
            open_blocks.discard(key)
            if walked is not None and children is not None:
                block = _block_identity(children)
                walked[id(block)] = block
            continue
        children = gate.block_gate_sequence
        if children is None:
            yield gate
            continue
        if composites:
            yield gate
        if walked is None or id(_block_identity(children)) not in walked:
            pending.append((iter(children_of(gate)), _enter_block(children, open_blocks), children))


def _identity_key(owner, children):
    return id(_block_identity(children))


def _fold_blocks(owner, children, start, add, finish=None, key=_identity_key, memo=None):
    """Fold ``children`` (the block of ``owner``; None for a bare sequence) bottom-up, each block once.

    ``start(owner, block)`` begins the value of a block, ``add(value, owner, child, inner)`` takes
    in one child and returns the value so far (``inner``: the value of the child's own block, or
    None for a gate without children), ``finish(owner, block, value)`` ends it. A block met again,
    wherever it is placed, is not folded again: its value is looked up under ``key(owner, block)``
    (by default the block's identity) in ``memo``, which a caller may keep across folds. The levels
    are kept on a list, so that any nesting fits; a block met again inside itself raises
    RecursionError.
    """
    open_blocks = set()
    done = {} if memo is None else memo  # key -> (the block, kept so that its id stays its own, its value)
    # frames: [owner, its block, remaining children, value so far, key while open]
    stack = [[owner, children, iter(children), start(owner, children), _enter_block(children, open_blocks)]]
    while True:
        top = stack[-1]
        child = next(top[2], _DONE)
        if child is _DONE:
            stack.pop()
            open_blocks.discard(top[4])
            owner, block, value = top[0], top[1], top[3]
            if finish is not None:
                value = finish(owner, block, value)
            if not stack:
                return value
            done[key(owner, block)] = (block, value)
            top = stack[-1]
            top[3] = add(top[3], top[0], owner, value)
            continue
        grandchildren = child.block_gate_sequence
        if grandchildren is None:
            top[3] = add(top[3], top[0], child, None)
            continue
        known = done.get(key(child, grandchildren))
        if known is not None:
            top[3] = add(top[3], top[0], child, known[1])
            continue
        stack.append([child, grandchildren, iter(grandchildren), start(child, grandchildren),
                      _enter_block(grandchildren, open_blocks)])


def _leaf_count(gates):
    """How many gates ``gates`` make with every composite gate expanded.

    Each block is counted once, by identity, so the count of a block shared
    by reference costs as many steps as it has distinct blocks, however many
    gates they make.
    """
    return _decomposed_count(gates, float("inf"))


def _decomposed_count(gates, levels, name=None):
    """How many gates ``gates`` make decomposed by ``levels`` levels, as
    `QuantumGate.decompose` does it level by level (``name`` selects the
    composite gates expanded).

    A block's gates at a given depth are counted once, by identity, so a
    block shared by reference costs a step per distinct block and depth.
    """
    selection = None if name is None else ([name] if isinstance(name, str) else name)
    open_blocks = set()
    # (id of a block, levels left) -> (the block, kept so that its id stays its own, its count)
    counted = {}
    # frames: [remaining gates, count so far, levels left for them, the walked block, key]
    stack = [[iter(gates), 0, levels, None, None]]
    while True:
        frame = stack[-1]
        gate = next(frame[0], _DONE)
        if gate is _DONE:
            stack.pop()
            if not stack:
                return frame[1]
            open_blocks.discard(frame[4])
            block = _block_identity(frame[3])
            counted[(id(block), frame[2])] = (block, frame[1])
            stack[-1][1] += frame[1]
            continue
        children = gate.block_gate_sequence
        if children is None or frame[2] <= 0 or (selection is not None and len(children) != 0
                                                  and gate.name not in selection):
            frame[1] += 1
            continue
        known = counted.get((id(_block_identity(children)), frame[2] - 1))
        if known is not None:
            frame[1] += known[1]
        else:
            stack.append([iter(children), 0, frame[2] - 1, children, _enter_block(children, open_blocks)])


def _dagger_frame(gate, open_blocks):
    """[gate, its children, their inverses so far, children last first, key]."""
    children = gate.block_gate_sequence
    if children is None:
        return [gate, None, [], iter(()), None]
    return [gate, children, [], iter(reversed(children)), _enter_block(children, open_blocks)]


def _is_own_inverse(gate):
    # A self-inverse id says nothing about children or a stored matrix.
    return (gate.id in _SELF_INVERSE_IDS and gate.block_gate_sequence is None
            and not gate.has_stored_matrix)


def _inverted_with(gate, new_children):
    """The inverse of gate, given the inverses of its children."""
    gate_id = gate.id
    if gate.has_stored_matrix:
        new_matrix = np.conj(np.asarray(gate.stored_matrix)).T
    else:
        new_matrix = None

    if gate_id in _INVERSE_IDS:
        new_id = _INVERSE_IDS[gate_id]
    elif gate_id.endswith(_DAG_SUFFIX):
        new_id = gate_id[:-4]
    else:
        new_id = gate_id

    return type(gate)(
        id=new_id,
        target=gate.target,
        control=gate.control,
        control_state=gate.control_state,
        name=_dagger_name(gate.name),
        parameter=_dagger_parameter(gate_id, gate.parameter),
        block_gate_sequence=new_children,
        matrix=new_matrix,
        classical_target=gate.classical_target,
    )


def _inverts_by_these_rules(gate):
    """Whether a child can be inverted in the parent's loop instead of by its own dagger()."""
    return isinstance(gate, QuantumGate) and type(gate).dagger is QuantumGate.dagger


def _walked_alike(block):
    """Whether a block is compared here child by child: a tuple, or a view over a packed store."""
    return type(block) is tuple or hasattr(block, "_packed_store_native")


def _records_equal(left, right):
    """``left == right`` for two gates of one class whose equality is the record's own.

    The dataclass rule (id, target, parameter, then the metadata key by key,
    each value by identity first, then by value), with blocks compared on a
    list of pairs rather than by recursion, so that any nesting fits. A pair
    of blocks is compared once: two blocks shared by reference at k levels,
    built apart, cost k comparisons, not 2**k. A pair met again while it is
    compared (a block that contains itself) adds nothing to decide.
    """
    cls = type(left)
    compared = {}  # (id, id) of two blocks -> the two, kept so that their ids stay their own
    pending = [(left, right)]
    while pending:
        a, b = pending.pop()
        if a is b:
            continue
        for x, y in ((a.id, b.id), (a.target, b.target), (a.parameter, b.parameter)):
            if x is not y and not x == y:
                return False
        extra_a, extra_b = a._extra, b._extra
        if extra_a is extra_b:
            continue
        if extra_a is None or extra_b is None or len(extra_a) != len(extra_b):
            return False
        for key, x in extra_a.items():
            if key not in extra_b:
                return False
            y = extra_b[key]
            if x is y:
                continue
            if key != "block_gate_sequence" or not (_walked_alike(x) and _walked_alike(y)):
                if not x == y:
                    return False
                continue
            kx, ky = _block_identity(x), _block_identity(y)
            if kx is ky or (id(kx), id(ky)) in compared:
                continue
            compared[(id(kx), id(ky))] = (kx, ky)
            if len(x) != len(y):
                return False
            for child_x, child_y in zip(x, y):
                if child_x is child_y:
                    continue
                if type(child_x) is cls and type(child_y) is cls:
                    pending.append((child_x, child_y))
                elif not child_x == child_y:
                    return False
    return True


# A gate's text form stops after this many characters: a block shared by
# reference at k levels would otherwise print 2**k gates.
_REPR_LIMIT = 10000


def _record_repr(gate):
    """The dataclass form of ``gate``, its blocks written out in place, cut after `_REPR_LIMIT` characters.

    Written from a list of piece makers rather than by recursion, so that
    any nesting fits, and only as far as the bound: a block of millions of
    gates costs its first few. Only tuples of gates of the record's own text
    form are written out here, anything else by its own repr.
    """
    own_repr = type(gate).__repr__
    parts = []
    size = 0
    pending = [_gate_pieces(gate, own_repr)]
    while pending:
        piece = next(pending[-1], None)
        if piece is None:
            pending.pop()
        elif type(piece) is str:
            parts.append(piece)
            size += len(piece)
            if size > _REPR_LIMIT:
                return "".join(parts)[:_REPR_LIMIT] + "..."
        elif type(piece) is tuple:
            pending.append(_block_pieces(piece, own_repr))
        else:
            pending.append(_gate_pieces(piece, own_repr))
    return "".join(parts)


def _gate_pieces(gate, own_repr):
    """The text of ``gate``: strings, and for a block of children the tuple of them, still to write."""
    yield (type(gate).__qualname__ + "(id=" + repr(gate.id) + ", target=" + repr(gate.target) + ", parameter="
           + repr(gate.parameter) + ", _extra=")
    extra = gate._extra
    if extra is None:
        yield "None)"
        return
    yield "{"
    for index, (key, value) in enumerate(extra.items()):
        yield (", " if index else "") + repr(key) + ": "
        yield value if key == "block_gate_sequence" and type(value) is tuple else repr(value)
    yield "})"


def _block_pieces(children, own_repr):
    """The text of a tuple of children: strings, and the children of the record's own text form, still to write."""
    yield "("
    for index, child in enumerate(children):
        if index:
            yield ", "
        yield child if type(child).__repr__ is own_repr else repr(child)
    yield ",)" if len(children) == 1 else ")"


# --------------------------------------------------------------------------
# The record
# --------------------------------------------------------------------------

class QuantumGate:
    """Compact immutable record describing a primitive or composite gate.

    Only ``id``, ``target`` and ``parameter`` are stored for a common gate;
    controls, a non-default control state, a custom display name, an explicit
    matrix, the children of a composite gate and classical result bits live in
    ``_extra``, which exists only when one of them differs from its default.
    """

    id: str
    target: tuple[int, ...]
    parameter: tuple[float, ...] | None
    _extra: Optional[dict[str, Any]]

    def __init__(self, id: str, target=(), control=None, control_state=None,
                 name: str = None, parameter=None, block_gate_sequence=None,
                 matrix=None, classical_target=None, *, _extra: dict = None):
        gate_id = id.lower()
        targets = _to_int_tuple(target)
        controls = _to_int_tuple(control)
        parameter = validate_gate_parameters(gate_id, parameter)
        block = _normalize_gate_sequence(block_gate_sequence)
        classical = None if classical_target is None else _to_int_tuple(classical_target)
        if control_state is None:
            states = (1,) * len(controls)
        else:
            states = _to_int_tuple(control_state)

        if not targets and gate_id not in _TARGETLESS_IDS:
            raise ValueError("QuantumGate must have at least one target qubit.")

        if gate_id == "unitary" and matrix is not None:
            try:
                shape = matrix.shape
            except AttributeError:
                shape = None
            if shape is None:
                # np.shape would read the None attribute again; the array
                # conversion goes by the object's content instead.
                shape = np.asarray(matrix).shape
            shape = tuple(shape)
            num_targets = len(targets)
            expected = (2 ** num_targets, 2 ** num_targets)
            if shape != expected:
                label = "target qubit" if num_targets == 1 else "target qubits"
                raise ValueError(
                    "Unitary matrix must have shape " + str(expected) + " for "
                    + str(num_targets) + " " + label + "; got " + str(shape) + ".")

        qubits = targets + controls
        if len(set(qubits)) != len(qubits):
            raise ValueError("Targets and controls must not overlap.")
        if len(states) != len(controls):
            raise ValueError("control_state length must equal number of control qubits.")
        for state in states:
            if state != 0 and state != 1:
                raise ValueError("control_state must contain only 0 or 1.")

        extra = dict(_extra) if _extra else {}
        if controls:
            extra["control"] = controls
        if states != (1,) * len(states):
            extra["control_state"] = states
        default_name = gate_id.upper()
        display_name = default_name if name is None else name
        if display_name != default_name:
            extra["name"] = display_name
        if matrix is not None:
            extra["matrix"] = matrix
        if block is not None:
            extra["block_gate_sequence"] = block
        if classical is not None:
            extra["classical_target"] = classical

        object.__setattr__(self, "id", gate_id)
        object.__setattr__(self, "target", targets)
        object.__setattr__(self, "parameter", parameter)
        object.__setattr__(self, "_extra", extra if extra else None)

    @property
    def control(self) -> tuple:
        extra = self._extra
        if extra is None:
            return ()
        return extra.get("control", ())

    @property
    def control_state(self) -> tuple:
        extra = self._extra
        if extra is not None and "control_state" in extra:
            return extra["control_state"]
        return (1,) * len(self.control)

    @property
    def name(self) -> str:
        extra = self._extra
        if extra is None:
            return self.id.upper()
        return extra.get("name", self.id.upper())

    @property
    def block_gate_sequence(self):
        extra = self._extra
        if extra is None:
            return None
        return extra.get("block_gate_sequence")

    @property
    def classical_target(self) -> Optional[tuple]:
        extra = self._extra
        if extra is None:
            return None
        return extra.get("classical_target")

    @property
    def has_stored_matrix(self):
        extra = self._extra
        return extra is not None and extra.get("matrix") is not None

    @property
    def stored_matrix(self):
        extra = self._extra
        if extra is None:
            return None
        return extra.get("matrix")

    @property
    def matrix(self):
        from .matrix import resolve_numpy_base_matrix
        return resolve_numpy_base_matrix(self, dtype=np.complex128)

    @property
    def qubits(self) -> tuple:
        return self.control + self.target

    def __eq__(self, other):
        if other.__class__ is not self.__class__:
            return NotImplemented
        extra, other_extra = self._extra, other._extra
        if ((extra is None or "block_gate_sequence" not in extra)
                and (other_extra is None or "block_gate_sequence" not in other_extra)):
            # Without blocks the dataclass rule itself is the walk.
            return (self.id, self.target, self.parameter, extra) == (other.id, other.target, other.parameter,
                                                                     other_extra)
        return _records_equal(self, other)

    def __repr__(self):
        return _record_repr(self)

    def replace(self, **changes):
        """Return a new gate of the same class with some fields changed."""
        fields = {
            "id": self.id,
            "target": self.target,
            "control": self.control,
            "control_state": self.control_state,
            "name": self.name,
            "parameter": self.parameter,
            "block_gate_sequence": self.block_gate_sequence,
            "matrix": self.stored_matrix,
            "classical_target": self.classical_target,
        }
        unknown = sorted([key for key in changes if key not in fields])
        if unknown:
            raise TypeError("Unknown QuantumGate field(s): " + ", ".join(unknown))
        fields.update(changes)
        return type(self)(**fields)

    def __str__(self):
        parts = [str(self.name)]
        if self.parameter is not None:
            parts.append("params=" + str(self.parameter))
        parts.append("targets=" + str(self.target))
        control = self.control
        if control:
            parts.append("controls=" + str(control))
        control_state = self.control_state
        if control_state:
            parts.append("ctrl_state=" + str(control_state))
        return "QuantumGate(" + ", ".join(parts) + ")"

    def dagger(self):
        """Return the inverse gate (the receiver itself for a plain self-inverse gate).

        A composite gate's children are inverted bottom-up with an explicit
        stack rather than by recursion, so that any depth of nesting fits
        in the C stack. Each gate object, and each block object, is inverted
        once: a block shared by reference at k levels costs k inversions,
        not 2**k, and its inverse is shared as the block was.
        """
        if _is_own_inverse(self):
            return self
        open_blocks = set()
        # id -> (the gate or block, kept so that its id stays its own, its
        # inverse or the inverses of its children)
        inverted_gates = {}
        inverted_blocks = {}
        stack = [_dagger_frame(self, open_blocks)]
        while True:
            frame = stack[-1]
            child = next(frame[3], _DONE)
            if child is _DONE:
                stack.pop()
                open_blocks.discard(frame[4])
                block = frame[1]
                if block is None:
                    children = None
                else:
                    children = tuple(frame[2])
                    identity = _block_identity(block)
                    inverted_blocks[id(identity)] = (identity, children)
                inverted = _inverted_with(frame[0], children)
                if not stack:
                    return inverted
                inverted_gates[id(frame[0])] = (frame[0], inverted)
                stack[-1][2].append(inverted)
            elif _inverts_by_these_rules(child) and not _is_own_inverse(child):
                known = inverted_gates.get(id(child))
                if known is None:
                    block = child.block_gate_sequence
                    known_block = None if block is None else inverted_blocks.get(id(_block_identity(block)))
                    if known_block is None:
                        stack.append(_dagger_frame(child, open_blocks))
                        continue
                    known = (child, _inverted_with(child, known_block[1]))
                    inverted_gates[id(child)] = known
                frame[2].append(known[1])
            else:
                frame[2].append(child.dagger())

    def decompose(self, name=None):
        """Expand a composite gate by one level onto the circuit's qubits."""
        children = self.block_gate_sequence
        if children is None:
            return [self]
        if len(children) == 0:
            return []
        if name is not None:
            selection = [name] if isinstance(name, str) else name
            if self.name not in selection:
                return [self]

        targets = self.target
        controls = self.control
        states = self.control_state
        cls = type(self)
        placed = []
        for child in children:
            placed.append(cls(
                id=child.id,
                target=tuple([targets[q] for q in child.target]),
                control=controls + tuple([targets[q] for q in child.control]),
                control_state=states + tuple(child.control_state),
                name=child.name,
                parameter=child.parameter,
                block_gate_sequence=child.block_gate_sequence,
                matrix=child.stored_matrix,
                classical_target=child.classical_target,
            ))
        return placed


QuantumGate = dataclass(frozen=True, slots=True, init=False)(QuantumGate)


def replace_gate(gate, **changes):
    """Return ``gate`` with the given fields replaced."""
    return gate.replace(**changes)
