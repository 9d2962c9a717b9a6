"""Memory-efficient gate sequence kept in the native packed gate store.

`OpchainPacked` offers the interface of `Opchain`, but holds no gate objects:
every gate is a record of one `OpchainPackedNative` store, every read builds a
fresh `QuantumGate` from the record, and every write goes straight into the
store.  `_PackedDataProxy` and `_PackedBlockView` let code that expects a list
of gates work on that storage.

Importing this module loads no native code; the store class is fetched from
the extension whenever a sequence has to create an empty store (the import
system's module table keeps the repeated look-up cheap).
"""

import weakref
from collections.abc import MutableSequence, Sequence

import numpy as np

from ..expansion import PYTHON_GATE_BYTES, check_expansion
from ..gate.morlith import QuantumGate
from ..gate.validation import validate_gate_parameters

__all__ = ["OpchainPacked"]


def _native_type():
    """Return the native store class, importing the extension on demand."""
    try:
        from ..pelmor import strovane
    except ImportError as exc:
        raise ImportError(
            "gate_storage='packed' requires the quorvex C++ extension."
        ) from exc
    native_type = getattr(strovane, "OpchainPackedNative", None)
    if native_type is None:
        raise ImportError(
            "The installed quorvex C++ extension does not provide "
            "OpchainPackedNative. Rebuild or reinstall quorvex."
        )
    return native_type


def _gate_fields(components):
    """What a gate read back from a store compares by, its block aside: the
    fields of the `QuantumGate` the read builds, as that record compares them."""
    (gate_id, target, control, control_state, parameter, name, matrix, _,
     classical_target) = components
    parameter = validate_gate_parameters(gate_id, parameter)
    gate_id = gate_id.lower()
    return (gate_id, target, control, control_state, parameter,
            gate_id.upper() if name is None else name, matrix, classical_target)


def _same_stores(first, second):
    """Whether two stores read back as equal gates.

    Each pair of block stores is compared once, on a list of pairs rather
    than by recursion: blocks shared by reference at every level are as
    many pairs as levels, not a pair per occurrence.
    """
    pending = [(first, second)]
    compared = {(id(first), id(second))}
    held = [first, second]  # keeps every compared store, and so its id, alive
    while pending:
        left, right = pending.pop()
        if left is right:
            continue
        count = len(left)
        if count != len(right):
            return False
        for index in range(count):
            a, b = left.components(index), right.components(index)
            if _gate_fields(a) != _gate_fields(b):
                return False
            inner_a, inner_b = a[7], b[7]
            if (inner_a is None) != (inner_b is None):
                return False
            if inner_a is not None and (id(inner_a), id(inner_b)) not in compared:
                compared.add((id(inner_a), id(inner_b)))
                held.append((inner_a, inner_b))
                pending.append((inner_a, inner_b))
    return True


class _PackedBlockView(Sequence):
    """Read-only, lazy child-sequence view retained by a block snapshot."""

    def __init__(self, native):
        self._native = native

    @property
    def _packed_store_native(self):
        return self._native

    def __len__(self):
        return len(self._native)

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [self[position] for position in range(*index.indices(len(self)))]
        index = int(index)
        if index < 0:
            index += len(self)
        if index < 0 or index >= len(self):
            raise IndexError("gate index out of range")
        # A child that is itself composite comes back with a view of its own.
        return OpchainPacked._snapshot_native(self._native, index)

    def __eq__(self, other):
        # Never NotImplemented: a tuple or list compared with a view hands the
        # comparison over here, so equality holds in both directions.
        if not isinstance(other, Sequence):
            return False
        store = getattr(other, "_packed_store_native", None)
        if store is not None:
            return _same_stores(self._packed_store_native, store)
        if len(self) != len(other):
            return False
        for left, right in zip(self, other):
            if not left == right:
                return False
        return True


class _PackedDataProxy(MutableSequence):
    """List-like mutable view over a :class:`OpchainPacked`."""

    def __init__(self, owner: 'OpchainPacked'):
        self._owner = owner

    @property
    def _packed_store_native(self):
        return self._owner._native

    def __len__(self):
        return len(self._owner)

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [self[position] for position in range(*index.indices(len(self)))]
        return self._owner[index]

    def __setitem__(self, index, value):
        if not isinstance(index, slice):
            self._owner._set_gate(index, value)
            return
        owner = self._owner
        positions = list(range(*index.indices(len(self))))
        # Consume the right-hand side first: it may be this very view.
        values = list(value)
        # Only a step of None or 1 is contiguous; -1 is an extended slice.
        if index.step != None and index.step != 1:
            if len(values) != len(positions):
                raise ValueError(
                    "attempt to assign sequence of size " + str(len(values))
                    + " to extended slice of size " + str(len(positions))
                )
            # Every value is checked, as the store reads it, before the
            # first one is written: a refused value changes nothing.
            owner._check_storable(values)
            for position, gate in zip(positions, values):
                owner._set_gate(position, gate)
            return
        # A contiguous slice may change the length, as a list's does.  An
        # empty slice inserts at its normalised start.
        start = positions[0] if positions else index.indices(len(self))[0]
        owner._replace_gates(start, start + len(positions), values)

    def __delitem__(self, index):
        if not isinstance(index, slice):
            self._owner._delete_gate(index)
            return
        # Highest position first keeps every lower position valid.
        for position in sorted(range(*index.indices(len(self))), reverse=True):
            self._owner._delete_gate(position)

    def insert(self, index, gate):
        self._owner._insert_gate(index, gate)

    def extend(self, values):
        # One write of them all, as a slice assignment at the end: a refused
        # value leaves the sequence as it was.
        end = len(self)
        self._owner._replace_gates(end, end, list(values))

    def __iadd__(self, values):
        self.extend(values)
        return self

    def copy(self):
        return list(self)

    __eq__ = _PackedBlockView.__eq__


class OpchainPacked:
    """Gate sequence with the `Opchain` interface, stored in packed records.

    Reads return new `QuantumGate` snapshots (a nested block as a
    `_PackedBlockView`); positional edits go through `data()`.
    """

    def __init__(self, num_qubits: int, name: str = "Sequence",
                 dtype=np.complex128, *, _native=None):
        self._num_qubits = num_qubits
        self._name = name
        self.dtype = dtype
        self._native = _native_type()() if _native is None else _native
        # A weak reference to the list view (None until one is made): the
        # view keeps its owner alive, so a strong one both ways would be a
        # cycle, and a dropped sequence would keep its store, sharing the
        # pages of the store it was copied from, until the cycle collector
        # ran.
        self._data_proxy = None

    # ------------------------------------------------------------------
    # Store and statistics

    @property
    def _packed_store_native(self):
        return self._native

    def _view(self):
        """The one list view of this sequence while anything holds it; a new one otherwise."""
        ref = self._data_proxy
        proxy = None if ref is None else ref()
        if proxy is None:
            proxy = _PackedDataProxy(self)
            self._data_proxy = weakref.ref(proxy)
        return proxy

    @property
    def _data(self):
        return self._view()

    @_data.setter
    def _data(self, gates):
        # Read everything (possibly this very sequence) first; the store
        # takes all of it or, when it refuses an element, keeps what it had.
        gates = list(gates)
        self._replace_gates(0, len(self._native), gates)

    @property
    def storage_bytes(self):
        return int(self._native.storage_bytes)

    @property
    def storage_breakdown(self):
        native = self._native
        breakdown = {}
        for key, value in native.memory_usage().items():
            breakdown[key] = int(value)
        breakdown["resource_count"] = int(native.resource_count)
        breakdown["block_resource_count"] = int(native.block_resource_count)
        return breakdown

    @property
    def version(self):
        return int(self._native.version)

    @property
    def has_measurement(self):
        return bool(self._native.has_measurement())

    # ------------------------------------------------------------------
    # Sequence protocol and positional access

    def __len__(self):
        return len(self._native)

    def __getitem__(self, index):
        if type(index) is slice:
            return self._view()[index]
        return self._snapshot_native(self._native, self._normalize_index(index))

    def __iter__(self):
        count = len(self)
        for position in range(count):
            yield self[position]

    def _normalize_index(self, index: int):
        length = len(self)
        if index < 0:
            index += length
        if index < 0 or index >= length:
            raise IndexError("gate index out of range")
        return index

    @staticmethod
    def _require_gate(gate):
        if not isinstance(gate, QuantumGate):
            raise TypeError("gate must be a QuantumGate instance")
        return gate

    @staticmethod
    def _snapshot_native(native, index: int):
        (gate_id, target, control, control_state, parameter, name, matrix,
         block, classical_target) = native.components(index)
        if block is not None:
            block = _PackedBlockView(block)
        return QuantumGate(
            id=gate_id,
            target=target,
            control=control,
            control_state=control_state,
            parameter=parameter,
            name=name,
            matrix=matrix,
            block_gate_sequence=block,
            classical_target=classical_target,
        )

    def _set_gate(self, index, gate):
        native = self._native
        position = self._normalize_index(index)
        self._require_gate(gate)
        native.set_gate(position, gate)

    def _replace_gates(self, first, last, gates):
        """Put ``gates`` (a list) in place of positions first to last - 1, all or none of them."""
        for gate in gates:
            self._require_gate(gate)
        self._native.replace_range(first, last, gates)

    def _check_storable(self, gates):
        """Refuse, before anything changes, the first of ``gates`` (a list) the store would refuse."""
        for gate in gates:
            self._require_gate(gate)
        type(self._native)().replace_range(0, 0, gates)

    def _delete_gate(self, index):
        self._native.erase(self._normalize_index(index))

    def _insert_gate(self, index, gate):
        # Clamped the way list.insert clamps.
        position = int(index)
        length = len(self)
        if position < 0:
            position = max(length + position, 0)
        elif position > length:
            position = length
        self._require_gate(gate)
        self._native.insert_fields(
            position,
            gate.id,
            gate.target,
            gate.control,
            gate.control_state,
            gate.parameter,
            gate.name,
            gate.stored_matrix,
            gate.block_gate_sequence,
            gate.classical_target,
        )

    # ------------------------------------------------------------------
    # Accessors and builders

    def data(self):
        return self._view()

    def get_name(self) -> str:
        return self._name

    def update_name(self, name: str):
        self._name = name

    def add_gate(self, gate, prepend=False):
        self._require_gate(gate)
        if prepend:
            self._insert_gate(0, gate)
        else:
            self._native.append_gate(gate)

    def gateCreator(self, gate_id: str, target, control=None, control_state=None,
                    parameters=None, matrix=None, gate_name=None,
                    block_gate_sequence=None, classical_target=None):
        parameters = validate_gate_parameters(gate_id, parameters)
        return QuantumGate(
            id=gate_id,
            target=target,
            control=control,
            control_state=control_state,
            parameter=parameters,
            matrix=matrix,
            block_gate_sequence=block_gate_sequence,
            name=gate_name,
            classical_target=classical_target,
        )

    def addMultiTargetGate(self, gate_id: str, targets, control=None,
                           control_state=None, parameters=None, matrix=None,
                           gate_name: str | None = None, block_gate_sequence=None,
                           classical_target=None, prepend=False):
        prepend = True if prepend else False
        parameters = validate_gate_parameters(gate_id, parameters)
        for target in targets:
            gate = QuantumGate(
                id=gate_id,
                target=target,
                control=control,
                control_state=control_state,
                parameter=parameters,
                matrix=matrix,
                block_gate_sequence=block_gate_sequence,
                name=gate_name,
                classical_target=classical_target,
            )
            self.add_gate(gate, prepend=prepend)

    # ------------------------------------------------------------------
    # Copies

    def copy(self):
        new = type(self)(self._num_qubits, self._name, self.dtype,
                         _native=self._native.copy())
        for key, value in list(self.__dict__.items()):
            if key not in ("_native", "_data_proxy", "_num_qubits", "_name", "dtype"):
                setattr(new, key, value)
        return new

    def __copy__(self):
        return self.copy()

    def __deepcopy__(self, memo):
        key = id(self)
        existing = memo.get(key)
        if existing is not None:
            return existing
        new = self.copy()
        memo[key] = new
        return new

    # ------------------------------------------------------------------
    # Naming and transformations

    def check_new_name(self, end: str) -> str:
        name = self._name
        if name.endswith(end):
            # Sliced by length, so an empty suffix leaves the name whole.
            return name[:len(name) - len(end)]
        return name + end

    def reverse(self):
        return type(self)(self._num_qubits, self.check_new_name("_reversed"),
                          self.dtype,
                          _native=self._native.reverse_qubits(self._num_qubits))

    def repeat(self, times: int):
        if times < 0:
            raise ValueError("times must be non-negative, got " + str(times) + ".")
        name = self._name + "**" + str(times)
        return type(self)(self._num_qubits, name, self.dtype,
                          _native=self._native.repeat(times))

    def inverse(self):
        return type(self)(self._num_qubits, self.check_new_name("_dagger"),
                          self.dtype, _native=self._native.inverse())

    dagger = inverse

    @staticmethod
    def _decomposed_child(block, child):
        targets = block.target
        return child.replace(
            target=tuple([targets[q] for q in child.target]),
            control=block.control + tuple([targets[q] for q in child.control]),
            control_state=block.control_state + child.control_state,
        )

    def decompose(self, n=1, name=None):
        if name is None:
            selected = None
        elif isinstance(name, str):
            selected = (name,)
        elif isinstance(name, tuple):
            selected = name
        else:
            selected = tuple(name)
        return type(self)(self._num_qubits, self._name, self.dtype,
                          _native=self._native.decompose(n, selected))

    def measure(self, target, cl_target):
        target = tuple(target)
        cl_target = tuple(cl_target)
        gate = self.gateCreator(gate_id="measure", target=target,
                                classical_target=cl_target, gate_name="measure")
        self.add_gate(gate)

    def control(self, num_control_qubits: int, control_state=None):
        k = num_control_qubits
        if k < 0:
            # Negative counts would build a wrong circuit; the list-backed
            # sequence refuses them the same way.
            raise ValueError("num_control_qubits must be non-negative, got " + str(k) + ".")
        n = self._num_qubits
        result = type(self)(n + k,
                            self._name + "_controlled_by_" + str(k) + "_qubits",
                            self.dtype)
        if control_state is None:
            control_state = (1,) * k
        gate = result.gateCreator(
            gate_id="block",
            target=tuple(range(n)),
            control=tuple(range(n, n + k)),
            control_state=control_state,
            block_gate_sequence=_PackedBlockView(self._native),
            gate_name=self._name,
        )
        # The store snapshots this sequence's store here, so later edits of
        # this sequence do not reach the controlled one.
        result.add_gate(gate)
        return result

    def append(self, gate_sequence, target, control=None, control_state=None):
        if isinstance(gate_sequence, OpchainPacked):
            block = _PackedBlockView(gate_sequence._native)
        else:
            block = gate_sequence.data()
        gate = self.gateCreator(
            gate_id="block",
            target=target,
            control=control,
            control_state=control_state,
            block_gate_sequence=block,
            gate_name=gate_sequence.get_name(),
        )
        self.add_gate(gate)

    # ------------------------------------------------------------------
    # OpenQASM

    def _check_written_out(self):
        # A repeat view's gates are written one by one: a line each at least.
        check_expansion("Writing the sequence as OpenQASM", len(self), PYTHON_GATE_BYTES)

    def to_openqasm(self, qreg_name: str = "q") -> str:
        from ..qasm.qasm import gate_sequence_to_qasm
        self._check_written_out()
        return gate_sequence_to_qasm(self, qreg_name=qreg_name)

    def to_openqasm2(self, qreg_name: str = "q", creg_name: str = "c") -> str:
        from ..qasm.qasm2 import gate_sequence_to_qasm2
        self._check_written_out()
        return gate_sequence_to_qasm2(self, qreg_name=qreg_name, creg_name=creg_name)

    @classmethod
    def from_openqasm(cls, qasm_code: str):
        from ..qasm.qasm import gate_sequence_from_qasm
        parsed = gate_sequence_from_qasm(qasm_code)
        result = cls(parsed._num_qubits, parsed.get_name(), parsed.dtype)
        result._data = parsed.data()
        # A packed parse result carries its own store and view; taking those
        # over would tie the result to the parse result's storage.
        skipped = ("_data", "_num_qubits", "_name", "dtype", "_native", "_data_proxy")
        for key, value in list(parsed.__dict__.items()):
            if key not in skipped:
                setattr(result, key, value)
        return result
