"""What every path checks of a gate where it enters: the minimal platform layer.

A circuit's `add_gate` (either storage), `Opchain.append`, the GPU executor
and a block's `matrix` refuse a gate here, in the same words, before any of
them keeps or runs it: names that the gate store cannot hold, indices that
are not integers or do not fit its 32-bit fields, control states other than
0 and 1, parameters that are not finite real numbers or not as many as the id
takes, positions outside the enclosing block, and a gate that no executor can
run for its shape (`check_gate_shape`).

A `QuantumGate` has been through its constructor, which normalises and
checks most of this already; a gate of any other class (a caller's own,
read through the same attributes) is checked field by field.
"""
import operator

import numpy as np

from .matrix import check_gate_shape
from .morlith import QuantumGate
from .validation import validate_gate_parameters

# Indices a packed store holds: 32-bit signed integers.
MAX_STORED_INDEX = 2**31 - 1


class BlockPositionError(ValueError, IndexError):
    """A position inside a block that names none of its targets.

    A ValueError, as every refusal of a gate's values is; also an IndexError,
    which expanding such a block has always raised (the position indexes the
    block's targets).
    """


def check_text(text, what):
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


def check_stored_values(values, what, gate_id):
    """Refuse indices outside the 32-bit signed integers the gate store holds."""
    for value in values:
        if value > MAX_STORED_INDEX or value < -MAX_STORED_INDEX - 1:
            raise ValueError(what + " " + str(value) + " of gate '" + gate_id + "' is beyond what gate storage "
                             "holds: indices from -2**31 to 2**31 - 1 = " + str(MAX_STORED_INDEX) + ".")


def _counted(count, noun):
    return str(count) + " " + noun + ("" if count == 1 else "s")


def _width_text(width):
    return _counted(width, "target")


def check_block_positions(positions, gate_id, width):
    """Refuse positions that do not name distinct targets of the enclosing block of ``width`` targets.

    A position -k .. -1 counts from the block's last target (as k - j for
    -j); the store resolves it so when it takes the block, and every other
    path reads it so. Anything outside -k .. k - 1, or two positions that
    resolve to one target, no path could run the same way. Returns whether a
    position counts from the end.
    """
    seen = {}
    for q in positions:
        if q < -width or q >= width:
            raise BlockPositionError("Block position " + str(q) + " of gate '" + gate_id + "' is outside its block of "
                                     + _width_text(width) + ": positions run from " + str(-width) + " to "
                                     + str(width - 1) + ".")
        r = q + width if q < 0 else q
        if r in seen:
            raise BlockPositionError("Block positions " + str(seen[r]) + " and " + str(q) + " of gate '" + gate_id
                                     + "' are one target, position " + str(r) + " of its block of "
                                     + _width_text(width) + " (-j counts from the end, as " + str(width)
                                     + " - j).")
        seen[r] = q
    return any(q < 0 for q in positions)


def _indices(values, what, gate_id):
    """``values`` as a tuple of ints, refused as the store refuses them: floats are not truncated."""
    if values is None:
        return ()
    if isinstance(values, (str, bytes, bytearray)) or not hasattr(values, "__iter__"):
        raise TypeError(what + "s of gate '" + gate_id + "' must be a tuple of integers, got "
                        + type(values).__name__ + ".")
    indices = []
    for value in values:
        if isinstance(value, (bool, np.bool_, float, np.floating)):
            raise TypeError(what + " " + repr(value) + " of gate '" + gate_id + "' is not an integer ("
                            + type(value).__name__ + ").")
        try:
            indices.append(operator.index(value))
        except TypeError:
            raise TypeError(what + " " + repr(value) + " of gate '" + gate_id + "' is not an integer ("
                            + type(value).__name__ + ").") from None
    check_stored_values(indices, what, gate_id)
    return tuple(indices)


def _field(gate, name, optional):
    """``gate.name``; with ``optional``, None for a field the gate leaves out."""
    return getattr(gate, name, None) if optional else getattr(gate, name)


def _check_foreign_fields(gate, gate_id, width, optional):
    """The fields of a gate that is not a `QuantumGate`, checked as its constructor would have."""
    position = "Block position" if width is not None else None
    targets = _indices(gate.target, position or "Target", gate_id)
    controls = _indices(gate.control, position or "Control", gate_id)
    states = _field(gate, "control_state", optional)
    states = (1,) * len(controls) if states is None and optional else _indices(states, "Control state", gate_id)
    for state in states:
        if state != 0 and state != 1:
            raise ValueError("Control state " + str(state) + " of gate '" + gate_id + "' is neither 0 nor 1.")
    if len(states) != len(controls):
        raise ValueError("Gate '" + gate_id + "' has " + _counted(len(states), "control state") + " for "
                         + _counted(len(controls), "control") + ".")
    if width is None and len(set(targets + controls)) != len(targets) + len(controls):
        raise ValueError("Targets and controls of gate '" + gate_id + "' must not overlap.")
    parameter = _field(gate, "parameter", optional)
    if parameter is not None and not isinstance(parameter, (tuple, list)):
        raise TypeError("Parameters of gate '" + gate_id + "' must be None or a tuple of real numbers, got "
                        + type(parameter).__name__ + ".")
    # The values and their count, as the gate record's constructor takes them.
    validate_gate_parameters(gate_id, parameter)
    return targets, controls


def check_gate_fields(gate, width=None, *, optional=False):
    """Refuse, before anything keeps or runs it, a gate that the store or an executor cannot take.

    ``width``: the target count of the enclosing block, or None for a gate
    of the circuit itself (whose qubits its caller checks against the
    circuit). A gate with children is checked as a gate; its children are
    its caller's to walk. With ``optional``, a gate of another class may
    leave out its control states, parameters, name, matrix and classical
    targets, which then take their defaults (the GPU executor reads no
    more of a gate). Returns whether the gate names a block position
    counting from the end.
    """
    gate_id = gate.id
    check_text(gate_id, "Gate id")
    if type(gate) is QuantumGate:
        if gate._extra is None:
            # The common record: an id, targets and angles, and nothing else to look at.
            check_gate_shape(gate_id, len(gate.target), None, gate.parameter)
            if width is not None:
                check_stored_values(gate.target, "Block position", gate_id)
                return check_block_positions(gate.target, gate_id, width)
            return False
        targets, controls = gate.target, gate.control
        if width is not None:
            # Positions in the enclosing block's targets: the circuit's width
            # says nothing about them, the store's integers and the block's do.
            check_stored_values(targets, "Block position", gate_id)
            check_stored_values(controls, "Block position", gate_id)
    else:
        gate_id = gate_id.decode("utf-8") if isinstance(gate_id, (bytes, bytearray)) else gate_id
        targets, controls = _check_foreign_fields(gate, gate_id.lower(), width, optional)
    name = _field(gate, "name", optional)
    if name is not None:  # the store names such a gate by its id
        check_text(name, "Gate name")
    classical = _field(gate, "classical_target", optional)
    if classical is not None:
        _indices(classical, "Classical bit", gate_id)
    negative = False if width is None else check_block_positions(tuple(targets) + tuple(controls), gate_id, width)
    if gate.block_gate_sequence is None:
        check_gate_shape(gate_id.lower(), len(targets), _field(gate, "stored_matrix", optional),
                         _field(gate, "parameter", optional))
    return negative
