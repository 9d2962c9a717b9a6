"""Gate records as a circuit takes them: the minimal platform layer.

A circuit keeps each gate as a tuple laid out by `_ID` ... `_RECORD`; this
module turns records into such tuples and back, and checks a record handed
to a circuit (`add_gate`, `append` of a sequence, an assigned or edited
`gate_sequence`, a packed sequence taken over) before anything changes: its
qubits against the circuit, every gate of its blocks through
`backend.gate.checks` (text fields, stored values, block positions), each
shared block once, and block positions that count from the end resolved as
the packed store keeps them. `_check_storable` names, in qubits, an index
that the packed store cannot hold.
"""
import operator

from ..backend.gate.checks import MAX_STORED_INDEX, check_gate_fields
from ..backend.gate.morlith import _DONE, QuantumGate, _block_identity, _enter_block, _fold_blocks, _walk_blocks
from ._arguments import _check_qubits, _float_parameters

# The fields of a gate tuple, by position.
_ID = 0
_TARGETS = 1
_CONTROLS = 2
_STATES = 3
_PARAMS = 4
_MATRIX = 5
_RECORD = 6


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


def _placed_leaves(record):
    """The gates ``record`` applies, each placed on the qubits it acts on; its caller has counted them."""
    return _walk_blocks((record,), operator.methodcaller("decompose"))


def _start_copies(owner, block):
    return [[], False]  # the children as run, whether one changed


def _end_copies(owner, block, copies):
    made, changed = copies
    return (tuple(made) if changed else block), changed


# Qubit indices a packed store holds: 32-bit signed integers.
_MAX_STORED_QUBIT = MAX_STORED_INDEX


def _check_storable(targets, controls):
    """Refuse, by name of the limit, a qubit index the packed store cannot hold."""
    for q in tuple(targets) + tuple(controls):
        if q > _MAX_STORED_QUBIT:
            raise ValueError("Qubit " + str(q) + " is beyond what packed gate storage holds: qubit indices "
                             "up to 2**31 - 1 = " + str(_MAX_STORED_QUBIT) + ".") from None


def _from_end(positions, width):
    return tuple([q + width if q < 0 else q for q in positions])


def _resolved_positions(record):
    """``record`` with every block position -j written as k - j in its block of k targets.

    This is how the packed store keeps a block, so that both storages read
    back one record. Gates and blocks without such positions stay the
    objects they were, and a block shared by reference is rebuilt once per
    owner width (a view over a packed store stands for that store, whichever
    view object holds it); any nesting fits.
    """
    placed = {}  # (id(gate), enclosing width) -> (the gate, kept so that its id stays its own, as placed)

    def add(copies, owner, child, inner):
        width = len(owner.target)
        known = placed.get((id(child), width))
        if known is None:
            new_block = inner[0] if inner is not None and inner[1] else None
            known = placed[(id(child), width)] = (child, _in_block(child, width, new_block))
        copies[0].append(known[1])
        if known[1] is not child:
            copies[1] = True
        return copies

    def key(owner, block):
        return (id(_block_identity(block)), len(owner.target))

    new_children, changed = _fold_blocks(record, record.block_gate_sequence, _start_copies, add, _end_copies,
                                         key=key)
    return record.replace(block_gate_sequence=new_children) if changed else record


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
    check_gate_fields(record, None)
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
    # The blocks being walked, by identity: one met again inside itself
    # would make a gate without end, which no path can run.
    open_blocks = set()
    pending = [(iter(children), width, _enter_block(children, open_blocks))]
    while pending:
        items, width, _ = pending[-1]
        child = next(items, _DONE)
        if child is _DONE:
            open_blocks.discard(pending.pop()[2])
            continue
        if check_gate_fields(child, width):
            negative = True
        grandchildren = child.block_gate_sequence
        if grandchildren is not None:
            if id(grandchildren) in open_blocks:
                _enter_block(grandchildren, open_blocks)  # refuses it
            key = _block_identity(grandchildren)
            inner = len(child.target)
            if (id(key), inner) not in seen:
                seen.add((id(key), inner))
                held.append(key)
                pending.append((iter(grandchildren), inner, _enter_block(grandchildren, open_blocks)))
    return _resolved_positions(record) if negative else record
