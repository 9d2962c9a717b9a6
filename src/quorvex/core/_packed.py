"""The packed storage of a circuit: the minimal platform layer.

`_PackedGates` stands where the list storage keeps its list of gate tuples
when a circuit is made with ``gate_storage="packed"``. The encoders turn gate
tuples and records into the native store that the packed executor walks:
gates that do nothing are left out, gates the executor cannot look up get
their standard matrix, and a block is rebuilt only around a changed child.
"""
import copy
import operator

from ..backend.expansion import check_expansion
from ..backend.gate.matrix import NAMED_IDS, NO_OP_IDS, check_gate_shape, runs_stored_matrix, standard_matrix
from ..backend.gate.morlith import QuantumGate, _fold_blocks, _walk_blocks
from ._arguments import _check_qubits, _float_parameters
from ._records import _check_record, _check_storable, _end_copies, _from_record, _start_copies


def _native_store_type():
    from ..backend.pelmor import strovane
    return strovane.OpchainPackedNative


def _packed_executor():
    from ..backend.pelmor import strovane
    return strovane.execute_gate_sequence_packed


# Ids the packed executor runs without a stored matrix (ordering gates as nothing).
_NATIVE_IDS = NAMED_IDS | NO_OP_IDS | {"measure"}


def _runs_natively(record):
    # Which gates a block holds does not depend on where it is placed: the
    # children are read as stored, without remapping them, and each block
    # object once.
    return all(leaf.id in _NATIVE_IDS or runs_stored_matrix(leaf.id, leaf.stored_matrix)
               for leaf in _walk_blocks((record,), operator.attrgetter("block_gate_sequence"), once=True))


def _lower_id(gate):
    gate_id = gate.id
    if type(gate_id) is not str:  # a caller's own gate class may give bytes, as the store takes them
        gate_id = bytes(gate_id).decode("utf-8")
    return gate_id.lower()


def _rebuilt(gate, block, matrix):
    """``gate`` with another block or matrix; a gate of a caller's own class becomes a record."""
    if type(gate) is QuantumGate:
        return gate.replace(block_gate_sequence=block, matrix=matrix)
    return QuantumGate(_lower_id(gate), gate.target, gate.control, gate.control_state, None, gate.parameter, block,
                       matrix, gate.classical_target)


def _as_run(gate):
    """A gate without children as the native executor takes it, or None for one that does nothing.

    A gate the executor knows stays as it is; any other (the vendor gates
    x2p, y2m, ... without a matrix) gets the standard matrix of its id, one
    array shared by every equal gate, so that a store keeps one matrix for
    all of them.
    """
    gate_id = gate.id if type(gate) is QuantumGate else _lower_id(gate)
    if gate_id in NO_OP_IDS:
        return None
    if gate_id in _NATIVE_IDS or runs_stored_matrix(gate_id, gate.stored_matrix):
        return gate
    return _rebuilt(gate, None, standard_matrix(gate_id, len(gate.target), gate.parameter))


def _runnable(record, done):
    """``record`` as the native executor runs it (see `_as_run`), or None when it does nothing.

    Only what the executor cannot take as it is changes; a block is rebuilt
    only around a changed child. Each block object is looked at once and
    its copy shared wherever it recurs, as the block was: a block shared by
    reference at k levels costs k copies however many gates it makes, and
    one barrier among them forces no expansion. ``done`` keeps the copies
    across the records of one encoding.
    """
    children = record.block_gate_sequence
    if children is None:
        return _as_run(record)
    new_children, changed = _fold_blocks(record, children, _start_copies, _add_runnable, _end_copies, memo=done)
    return _rebuilt(record, new_children, record.stored_matrix) if changed else record


def _add_runnable(copies, owner, child, inner):
    if inner is None:
        copy = _as_run(child)
    else:
        new_block, changed = inner
        copy = _rebuilt(child, new_block, child.stored_matrix) if changed else child
    if copy is not None:
        copies[0].append(copy)
    if copy is not child:
        copies[1] = True
    return copies


def _encode_record(store, record, done):
    """Encode a caller's gate record, giving the executor what it cannot look up itself."""
    if record.block_gate_sequence is None and type(record) is QuantumGate:
        # The common record needs no copy: its fields, with the standard matrix if it runs one.
        gate_id = record.id
        if gate_id in NO_OP_IDS:
            return
        if gate_id in _NATIVE_IDS or runs_stored_matrix(gate_id, record.stored_matrix):
            store.append_gate(record)
            return
        store.append_fields(gate_id, record.target, record.control, record.control_state, record.parameter, None,
                            standard_matrix(gate_id, len(record.target), record.parameter), None,
                            record.classical_target)
        return
    runnable = _runnable(record, done)
    if runnable is not None:
        store.append_gate(runnable)


def _encode(store, gates):
    """Append ``gates`` to a native store as the executor needs them, one record each."""
    append_fields = store.append_fields
    done = {}
    for gate_id, targets, controls, states, params, matrix, record in gates:
        if record is not None:
            _encode_record(store, record, done)
            continue
        if params is not None:
            for value in params:
                if type(value) is not float:
                    params = _float_parameters(params)
                    break
        append_fields(gate_id, targets, controls, states, params, None, matrix, None, None)


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
                check_gate_shape(gate[0], len(gate[1]), gate[6], gate[4])
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
