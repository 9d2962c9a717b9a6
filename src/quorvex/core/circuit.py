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

Where the rest lives, all of it the minimal platform layer: the checks of
the arguments of the gate methods in `_arguments`, the unitary memo in
`_memo`, records and their checks in `_records`, the packed storage in
`_packed`.
"""
import math
import operator
import sys
import weakref

import numpy as np

from ..backend.gate.morlith import QuantumGate
from ._arguments import (_COMPLEX_DTYPES, _angle, _check_backend, _check_qubits, _complex_dtype, _complex_vector,
                         _control_states, _counted, _float_parameter, _is_tensor, _qubit, _qubit_list, _state_size)
from ._memo import _inverted_unitaries, _unitary_matrix
from ._packed import _PackedGates, _encode, _native_store_type, _packed_executor
from ._records import (_CONTROLS, _ID, _MATRIX, _PARAMS, _RECORD, _STATES, _TARGETS, _check_record, _from_record,
                       _gates_of_records, _to_record)
from .register import Register

_NO_MEASUREMENTS = "Circuit.execute returns the final state vector; it does not simulate measurements."

_STORAGES = ("list", "packed")


# Ids whose gate is its own inverse; "s"/"s_dag" swap; every other id a
# circuit method records carries angles that invert by negation.
_SELF_INVERSE = frozenset({"x", "h", "z", "cx", "cz", "ch", "mcz"})
_SWAPPED_INVERSE = {"s": "s_dag", "s_dag": "s"}


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

    def __reduce__(self):
        # Unpickling a list puts its items in through append or extend,
        # which count, before a slot could be set: rebuilt with its count.
        return (_counting_list, (list(self), self.edits))


def _counting_list(items, edits):
    made = _CountingList(items)
    made.edits = edits
    return made


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
                    # Only the list is kept: the sequence object may carry
                    # what its last holder set on it (a dtype, attributes).
                    self._spare = (listed, read_from)
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
        # A record for each gate read from a packed view, however few records
        # a repeat view stores: counted there, and refused at once when they
        # cannot fit.
        return materialize_gate_sequence(sequence.data())

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
            # Taken in one step, so that two threads reading at once cannot
            # both go on with the same list.
            spare = self.__dict__.pop("_spare", None)
            listed = None
            if spare is not None:
                listed, read_from = spare
                del spare
                # Made from the records of the same gates: it takes those
                # added since then.
                if read_from is records and len(listed) <= len(records):
                    list.extend(listed, records[len(listed):])  # the circuit's own change: not counted
                else:
                    listed = None
            if listed is None:
                listed = _CountingList(records)
            sequence = Opchain(self._num_qubits, self.name)
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
        start = len(records)
        if start < len(gates):
            added = [_to_record(gate) for gate in gates[start:]]
            # One step, after the records are made: a read on another thread
            # that extended the list meanwhile is overwritten with the same
            # gates, not followed by them a second time.
            records[start:] = added
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
