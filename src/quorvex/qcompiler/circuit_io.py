"""Circuit and QCIS text conversions for the compiler stages: the minimal platform layer.

QCIS text holds one instruction per line, ``OP Q<a> [Q<b>] [angle ...]``,
angles written as ``repr(float)``. Opcodes: X Y Z H S SD T TD I X2P X2M
Y2P Y2M (one qubit); RX RY RZ (qubit, theta: the half-angle rotations);
RXY (qubit, phi, theta: exp(-i theta/2 (cos phi X + sin phi Y))); CZ (the
only two-qubit opcode); M (one qubit); B (a barrier on its qubits).

The lowering into QCIS is exact up to a global phase, which QCIS cannot
express; a gate it cannot lower is refused rather than written wrongly.
"""
import math

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.qasm.qasm import _flat_gates
from quorvex.backend.qasm.qasm2 import gate_sequence_to_qasm2

# One-qubit ids with a QCIS opcode of their own (up to global phase).
_FIXED_OPCODES = {
    "i": "I", "x": "X", "y": "Y", "z": "Z", "h": "H", "s": "S", "s_dag": "SD",
    "t": "T", "t_dag": "TD",
    "sqrtx": "X2P", "sqrtx_dag": "X2M", "sqrty": "Y2P", "sqrty_dag": "Y2M",
    "x2p": "X2P", "x2m": "X2M", "y2p": "Y2P", "y2m": "Y2M",
}
_ROTATIONS = {"rx": "RX", "ry": "RY", "rz": "RZ", "p": "RZ"}
_X_FAMILY = frozenset({"x", "cx", "cnot", "mcx"})
_Z_FAMILY = frozenset({"z", "cz", "mcz"})
_BARRIER_IDS = frozenset({"barrier", "b"})

# Opcode -> (number of qubit operands, number of angles); None: one or more qubits.
_SHAPES = {op: (1, 0) for op in ("X", "Y", "Z", "H", "S", "SD", "T", "TD", "I",
                                 "X2P", "X2M", "Y2P", "Y2M", "M")}
_SHAPES.update({"RX": (1, 1), "RY": (1, 1), "RZ": (1, 1), "RXY": (1, 2), "CZ": (2, 0), "B": (None, 0)})
_GATE_IDS = {"SD": "s_dag", "TD": "t_dag", "RXY": "xyarb", "CZ": "cz", "M": "measure", "B": "barrier"}

# A circuit read from QCIS spans qubits 0 to its highest label, so a label
# must stay below this: labels far beyond any device would make a circuit of
# that many qubits.
_MAX_QCIS_QUBITS = 1 << 16


def _angle(value):
    return repr(float(value))


def _refuse(gate, why):
    raise ValueError("Cannot lower gate " + repr(gate.id) + " on targets " + str(tuple(gate.target))
                     + " with controls " + str(tuple(gate.control)) + " to QCIS: " + why + ".")


def _cnot_lines(c, t):
    return ["H Q" + str(t), "CZ Q" + str(c) + " Q" + str(t), "H Q" + str(t)]


def _gate_lines(gate, num_qubits):
    gid = gate.id
    targets = tuple(gate.target)
    controls = tuple(gate.control)
    params = tuple(gate.parameter or ())
    if gid in _BARRIER_IDS:
        if controls:
            _refuse(gate, "a barrier takes no controls")
        qubits = targets or tuple(range(num_qubits))
        return ["B " + " ".join("Q" + str(q) for q in qubits)] if qubits else []
    if gid == "measure":
        if controls:
            _refuse(gate, "a measurement takes no controls")
        return ["M Q" + str(q) for q in targets]
    if controls:
        if len(controls) != 1 or len(targets) != 1:
            _refuse(gate, "only one control on one target can be lowered")
        c, t = controls[0], targets[0]
        if gid in _X_FAMILY:
            body = _cnot_lines(c, t)
        elif gid in _Z_FAMILY:
            body = ["CZ Q" + str(c) + " Q" + str(t)]
        else:
            _refuse(gate, "only CNOT and CZ can carry a control")
        # An open control acts on |0>: flip it around the gate.
        flip = ["X Q" + str(c)] if gate.control_state[0] == 0 else []
        return flip + body + flip
    if gid == "gp":
        return []
    if gid == "swap":
        if len(targets) != 2:
            _refuse(gate, "swap needs two targets")
        a, b = targets
        return _cnot_lines(a, b) + _cnot_lines(b, a) + _cnot_lines(a, b)
    if gid in ("cx", "cnot", "cz"):
        _refuse(gate, "it has no control")
    if len(targets) != 1:
        _refuse(gate, "it needs exactly one target")
    q = "Q" + str(targets[0])
    if gid in _FIXED_OPCODES:
        return [_FIXED_OPCODES[gid] + " " + q]
    if gid in _ROTATIONS:
        return [_ROTATIONS[gid] + " " + q + " " + _angle(params[0])]
    if gid == "u":
        theta, phi, lam = params
        return ["RZ " + q + " " + _angle(lam), "RY " + q + " " + _angle(theta), "RZ " + q + " " + _angle(phi)]
    if gid == "xyarb":
        if len(params) != 2:
            _refuse(gate, "xyarb takes two angles (phi, theta)")
        return ["RXY " + q + " " + _angle(params[0]) + " " + _angle(params[1])]
    _refuse(gate, "QCIS has no instruction for it")


def gates_to_qcis(gates, num_qubits):
    """QCIS text of ``gates`` (composite gates expanded) on ``num_qubits`` qubits."""
    lines = []
    for gate in _flat_gates(gates, "Writing the gates as QCIS"):
        lines.extend(_gate_lines(gate, num_qubits))
    return "\n".join(lines)


def qasm_to_qcis(circuit):
    """QCIS text of a circuit whose gates lie in the default or the vendor basis."""
    return gates_to_qcis(circuit.gate_sequence.data(), int(circuit.get_num_qubits()))


def measured_qasm2(circuit):
    """OpenQASM 2.0 text of the circuit, measuring every qubit when it measures none."""
    sequence = circuit.gate_sequence.copy()
    if not sequence.has_measurement:
        qubits = tuple(range(int(circuit.get_num_qubits())))
        if qubits:
            sequence.measure(qubits, qubits)
    return gate_sequence_to_qasm2(sequence)


def parse_qcis(text):
    """The instructions of QCIS text as (opcode, qubits, angles), refusing a bad line."""
    if not isinstance(text, str):
        raise TypeError("QCIS text must be a str, got " + type(text).__name__ + ".")
    instructions = []
    for number, line in enumerate(text.splitlines(), start=1):
        tokens = line.split()
        if not tokens:
            continue
        op = tokens[0].upper()
        shape = _SHAPES.get(op)
        if shape is None:
            raise ValueError("QCIS line " + str(number) + " has an unknown opcode: " + repr(line.strip()) + ".")
        num_qubits, num_angles = shape
        operands = tokens[1:]
        if num_qubits is None:
            num_qubits = len(operands)
            if num_qubits == 0:
                raise ValueError("QCIS line " + str(number) + " names no qubit: " + repr(line.strip()) + ".")
        if len(operands) != num_qubits + num_angles:
            raise ValueError("QCIS line " + str(number) + " needs " + str(num_qubits) + " qubit(s) and "
                             + str(num_angles) + " angle(s): " + repr(line.strip()) + ".")
        qubits = []
        for token in operands[:num_qubits]:
            digits = token[1:]
            if token[:1] not in ("Q", "q") or not digits.isdigit() or not digits.isascii():
                raise ValueError("QCIS line " + str(number) + " has a bad qubit operand "
                                 + repr(token) + ": " + repr(line.strip()) + ".")
            qubits.append(int(digits))
        if len(set(qubits)) != len(qubits):
            raise ValueError("QCIS line " + str(number) + " repeats a qubit: " + repr(line.strip()) + ".")
        angles = []
        for token in operands[num_qubits:]:
            try:
                value = float(token)
            except ValueError:
                value = math.nan
            if not math.isfinite(value):
                raise ValueError("QCIS line " + str(number) + " has a bad angle " + repr(token)
                                 + ": " + repr(line.strip()) + ".")
            angles.append(value)
        instructions.append((op, tuple(qubits), tuple(angles)))
    return instructions


def validate_qcis(text):
    """Raise ValueError naming the first malformed line of QCIS text."""
    parse_qcis(text)


def qcis_to_gates(text):
    """(number of qubits, gate records) of QCIS text; the qubit count is the highest index + 1."""
    gates = []
    highest = -1
    for op, qubits, angles in parse_qcis(text):
        highest = max(highest, max(qubits))
        if highest >= _MAX_QCIS_QUBITS:
            raise ValueError("QCIS names qubit Q" + str(highest) + "; a circuit of QCIS spans qubits 0 to "
                             + "its highest label and may have at most " + str(_MAX_QCIS_QUBITS) + " qubits.")
        gate_id = _GATE_IDS.get(op, op.lower())
        if op == "CZ":
            gate = QuantumGate(id="cz", target=qubits[1], control=qubits[0])
        elif op == "M":
            gate = QuantumGate(id="measure", target=qubits, classical_target=qubits)
        else:
            gate = QuantumGate(id=gate_id, target=qubits, parameter=angles or None)
        gates.append(gate)
    return highest + 1, gates


def qcis_to_circuit(text):
    """A circuit of the QCIS instructions, over qubits 0 to the highest index named."""
    from quorvex.core import Circuit

    num_qubits, gates = qcis_to_gates(text)
    circuit = Circuit(num_qubits)
    for gate in gates:
        circuit.add_gate(gate)
    return circuit
