"""List-backed gate sequences: ``OpchainBase`` and ``Opchain``."""
from ..expansion import PYTHON_GATE_BYTES, check_expansion
from ..gate.morlith import QuantumGate, _DONE, _decomposed_count, _enter_block
from ..gate.validation import validate_gate_parameters
import numpy as np


# The walks over nested blocks below keep their own stack instead of
# recursing: compiled code has no recursion guard, and a block nested a few
# ten thousand levels deep (append in a loop makes one) would exhaust the C
# stack. A read-only sequence is kept by reference, so a block can also hold
# a gate whose block is that very sequence; such a walk would never end, and
# raises RecursionError instead, as a recursive walk would.


def materialize_gate_sequence(gates):
    """Copy ``gates`` into plain gate records, turning every lazy block view into a tuple."""
    open_blocks = set()
    # frames: [remaining gates, records so far, the composite gate they
    # belong to, the walked sequence (kept alive while its key is in use), key]
    stack = [[iter(gates), [], None, gates, _enter_block(gates, open_blocks)]]
    while True:
        frame = stack[-1]
        gate = next(frame[0], _DONE)
        if gate is _DONE:
            stack.pop()
            open_blocks.discard(frame[4])
            materialized = tuple(frame[1])
            if not stack:
                return materialized
            stack[-1][1].append(frame[2].replace(block_gate_sequence=materialized))
            continue
        children = gate.block_gate_sequence
        if children is None:
            frame[1].append(gate)
        else:
            stack.append([iter(children), [], gate, children, _enter_block(children, open_blocks)])


def _contains_measurement(gates):
    open_blocks = set()
    # frames: [remaining gates, the walked sequence, its key]
    pending = [[iter(gates), gates, _enter_block(gates, open_blocks)]]
    while pending:
        gate = next(pending[-1][0], _DONE)
        if gate is _DONE:
            open_blocks.discard(pending.pop()[2])
            continue
        if gate.id.lower() == "measure":
            return True
        children = gate.block_gate_sequence
        if children is not None:
            pending.append([iter(children), children, _enter_block(children, open_blocks)])
    return False


class OpchainBase:
    """Ordered container of gate records with a qubit count and a name."""

    def __init__(self, num_qubits: int, name: str = "SequenceBase"):
        self._data = []
        self._num_qubits = num_qubits
        self._name = name

    def data(self):
        """The live list of gates (changes to it change the sequence)."""
        data = self._data
        # A list subclass is a list (a circuit hands one out that counts its changes).
        if not isinstance(data, list):
            raise TypeError("Expected list, got " + type(data).__name__)
        return data

    def get_name(self) -> str:
        return self._name

    def update_name(self, name: str):
        self._name = name

    def add_gate(self, gate: "QuantumGate", prepend: bool = False):
        if prepend:
            self._data.insert(0, gate)
        else:
            self._data.append(gate)

    def copy(self):
        """A new sequence of the same class sharing the (immutable) gate records."""
        new = type(self)(self._num_qubits, self._name)
        new._data = list(self._data)
        return new


class Opchain(OpchainBase):
    """Gate sequence with builders, transformations and OpenQASM conversion."""

    def __init__(self, num_qubits: int, name: str = "Sequence", dtype=np.complex128):
        super().__init__(num_qubits, name)
        self.dtype = dtype

    @property
    def has_measurement(self) -> bool:
        """Whether any gate, at any nesting depth, is a measurement."""
        return _contains_measurement(self._data)

    def gateCreator(self, gate_id: str, target, control=None, control_state=None,
                    parameters=None, matrix=None, gate_name=None,
                    block_gate_sequence=None, classical_target=None):
        """Build a gate record without adding it to the sequence."""
        parameter = validate_gate_parameters(gate_id, parameters)
        return QuantumGate(
            id=gate_id,
            target=target,
            control=control,
            control_state=control_state,
            parameter=parameter,
            matrix=matrix,
            block_gate_sequence=block_gate_sequence,
            name=gate_name,
            classical_target=classical_target,
        )

    def addMultiTargetGate(self, gate_id: str, targets, control=None, control_state=None,
                           parameters=None, matrix=None, gate_name: str = None,
                           block_gate_sequence=None, classical_target=None,
                           prepend: bool = False):
        """Add one gate per entry of ``targets``, all sharing the other fields."""
        for target in targets:
            gate = self.gateCreator(gate_id, target, control, control_state, parameters,
                                    matrix, gate_name, block_gate_sequence, classical_target)
            self.add_gate(gate, prepend=prepend)

    def reverse(self):
        """Mirror the qubit order (qubit q becomes n-1-q); the gate order is kept."""
        n = self._num_qubits
        mirrored = type(self)(n, self.check_new_name("_reversed"))
        mirrored.append(self, range(n - 1, -1, -1))
        return mirrored.decompose()

    def repeat(self, times: int):
        if times < 0:
            # An empty result would pass for the inverse power.
            raise ValueError("times must be non-negative, got " + str(times) + ".")
        repeated = self.copy()
        repeated.update_name(repeated.get_name() + "**" + str(times))
        repeated._data = repeated._data * times
        return repeated

    def inverse(self):
        inverted = type(self)(self._num_qubits, self.check_new_name("_dagger"))
        inverted._data = [gate.dagger() for gate in reversed(self._data)]
        return inverted

    def dagger(self):
        inverted = type(self)(self._num_qubits, self.check_new_name("_dagger"))
        inverted._data = [gate.dagger() for gate in reversed(self._data)]
        return inverted

    def decompose(self, n=1, name=None):
        """Expand the selected composite gates by ``n`` levels."""
        if n > 0:
            # Every gate of the result is a new record: blocks shared by
            # reference are counted first, not expanded until memory runs out.
            check_expansion("Decomposing the blocks", _decomposed_count(self._data, n, name), PYTHON_GATE_BYTES)
        current = self
        for _ in range(n):
            expanded = type(self)(current._num_qubits, current._name)
            for gate in current._data:
                for placed in gate.decompose(name=name):
                    expanded.add_gate(placed)
            current = expanded
        return current

    def measure(self, target, cl_target):
        targets = target if type(target) is tuple else tuple(target)
        classical = cl_target if type(cl_target) is tuple else tuple(cl_target)
        gate = self.gateCreator(gate_id="measure", target=targets,
                                classical_target=classical, gate_name="measure")
        self.add_gate(gate)

    def control(self, num_control_qubits: int, control_state=None):
        """Embed the sequence as one composite gate controlled by new qubits above it."""
        k = num_control_qubits
        if k < 0:
            raise ValueError("num_control_qubits must be non-negative, got " + str(k) + ".")
        n = self._num_qubits
        name = self._name
        controlled = type(self)(n + k, name + "_controlled_by_" + str(k) + "_qubits")
        states = (1,) * k if control_state is None else control_state
        gate = controlled.gateCreator(
            gate_id="block",
            target=tuple(range(n)),
            control=tuple(range(n, n + k)),
            control_state=states,
            block_gate_sequence=tuple(self._data),
            gate_name=name,
        )
        controlled.add_gate(gate)
        return controlled

    def append(self, gate_sequence: "Opchain", target, control=None, control_state=None):
        """Add ``gate_sequence`` as one composite gate whose child qubit i is ``target[i]``."""
        children = gate_sequence.data()
        if hasattr(children, "_packed_store_native"):
            # A packed view would keep the other store alive and change under us.
            children = materialize_gate_sequence(children)
        gate = self.gateCreator(
            gate_id="block",
            target=target,
            control=control,
            control_state=control_state,
            block_gate_sequence=children,
            gate_name=gate_sequence.get_name(),
        )
        self.add_gate(gate)

    def check_new_name(self, end: str) -> str:
        """The sequence name with the suffix ``end`` toggled."""
        name = self._name
        if not end:
            return name
        if name.endswith(end):
            return name[:-len(end)]
        return name + end

    def to_openqasm(self, qreg_name: str = "q") -> str:
        from ..qasm.qasm import gate_sequence_to_qasm
        return gate_sequence_to_qasm(self, qreg_name=qreg_name)

    def to_openqasm2(self, qreg_name: str = "q", creg_name: str = "c") -> str:
        from ..qasm.qasm2 import gate_sequence_to_qasm2
        return gate_sequence_to_qasm2(self, qreg_name=qreg_name, creg_name=creg_name)

    @classmethod
    def from_openqasm(cls, qasm_code: str):
        from ..qasm.qasm import gate_sequence_from_qasm
        return gate_sequence_from_qasm(qasm_code)
