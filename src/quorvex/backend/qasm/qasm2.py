"""OpenQASM 2.0 export of gate sequences: the minimal platform layer.

Gates are written with the names of ``qelib1.inc``; the vendor half
rotations and the square root of Y get gate definitions of their own.
OpenQASM 2.0 has no global phase, so those definitions drop it and a
global-phase gate is written as an empty gate (or, under one control, as
the phase it puts on that control). Open controls are written by flipping
the control qubit around the gate. A gate that qelib1.inc cannot express
with its controls is refused with ValueError rather than written wrongly.
Import of OpenQASM 2.0 text is ``gate_sequence_from_qasm`` in ``qasm``.
"""
import math
import re

from .qasm import _BASE_ID, _real, _sequence_layout

_IDENTIFIER = re.compile(r"[a-z][A-Za-z0-9_]*\Z")

_NAMES = {
    "i": "id", "x": "x", "y": "y", "z": "z", "h": "h", "s": "s", "s_dag": "sdg",
    "t": "t", "t_dag": "tdg", "sqrtx": "sx", "sqrtx_dag": "sxdg", "p": "u1",
    "rx": "rx", "ry": "ry", "rz": "rz", "u": "u3", "swap": "swap", "rzz": "rzz",
    "sqrty": "sqrty", "sqrty_dag": "sqrty_dag", "x2p": "x2p", "x2m": "x2m",
    "y2p": "y2p", "y2m": "y2m", "gp": "gp",
}
# (base id, number of controls) -> (name, extra leading parameters)
_CONTROLLED = {
    ("x", 1): ("cx", ()), ("x", 2): ("ccx", ()), ("x", 3): ("c3x", ()), ("x", 4): ("c4x", ()),
    ("y", 1): ("cy", ()), ("z", 1): ("cz", ()), ("h", 1): ("ch", ()),
    ("p", 1): ("cu1", ()), ("rx", 1): ("crx", ()), ("ry", 1): ("cry", ()), ("rz", 1): ("crz", ()),
    ("u", 1): ("cu3", ()), ("swap", 1): ("cswap", ()), ("sqrtx", 1): ("csx", ()),
    ("s", 1): ("cu1", (math.pi / 2,)), ("s_dag", 1): ("cu1", (-math.pi / 2,)),
    ("t", 1): ("cu1", (math.pi / 4,)), ("t_dag", 1): ("cu1", (-math.pi / 4,)),
}
_DEFINITIONS = {
    "sqrty": "gate sqrty a { ry(pi/2) a; }",
    "sqrty_dag": "gate sqrty_dag a { ry(-pi/2) a; }",
    "x2p": "gate x2p a { rx(pi/2) a; }",
    "x2m": "gate x2m a { rx(-pi/2) a; }",
    "y2p": "gate y2p a { ry(pi/2) a; }",
    "y2m": "gate y2m a { ry(-pi/2) a; }",
    "gp": "gate gp(theta) a { }",
}


def _gate_lines(gate, qreg, creg, used):
    q = lambda index: qreg + "[" + str(index) + "]"
    gate_id = gate.id
    if gate_id == "measure":
        return ["measure " + q(t) + " -> " + creg + "[" + str(b) + "];"
                for t, b in zip(gate.target, gate.classical_target)]
    if gate_id == "barrier":
        if gate.control:
            raise ValueError("A controlled barrier cannot be written in OpenQASM 2.0.")
        return ["barrier " + (", ".join(q(t) for t in gate.target) if gate.target else qreg) + ";"]
    if gate.has_stored_matrix:
        raise ValueError("Gate " + gate_id + " with a stored matrix cannot be written in OpenQASM 2.0.")
    base = _BASE_ID.get(gate_id, gate_id)
    if base not in _NAMES:
        raise ValueError("Gate " + gate_id + " has no OpenQASM 2.0 form.")
    params = tuple(gate.parameter or ())
    controls = tuple(gate.control)
    states = tuple(gate.control_state)
    targets = tuple(gate.target)

    if base == "gp":
        if not controls:
            used.add("gp")
            return ["gp(" + _real(params[0]) + ") " + q(targets[0] if targets else 0) + ";"]
        if len(controls) != 1:
            raise ValueError("A global phase under several controls has no OpenQASM 2.0 form.")
        # e^{i theta} on the controlled subspace is a phase gate on the control.
        name, targets, controls, extra = "u1", controls, (), ()
    elif controls:
        key = (base, len(controls))
        if key not in _CONTROLLED:
            raise ValueError("Gate " + gate_id + " with " + str(len(controls))
                             + " controls has no OpenQASM 2.0 form.")
        name, extra = _CONTROLLED[key]
    else:
        name, extra = _NAMES[base], ()
        if base in _DEFINITIONS:
            used.add(base)

    call = name
    values = extra + params
    if values:
        call += "(" + ", ".join(_real(v) for v in values) + ")"
    line = call + " " + ", ".join(q(i) for i in controls + targets) + ";"
    # Open controls: flip the control qubit before and after.
    flips = ["x " + q(c) + ";" for c, s in zip(gate.control, states) if s != 1]
    return flips + [line] + flips


def gate_sequence_to_qasm2(sequence, qreg_name="q", creg_name="c"):
    """Write ``sequence`` as a complete OpenQASM 2.0 program."""
    for name, what in ((qreg_name, "register"), (creg_name, "classical register")):
        if not _IDENTIFIER.match(name):
            raise ValueError("Invalid OpenQASM 2.0 " + what + " name: " + repr(name) + ".")
    if qreg_name == creg_name:
        raise ValueError("The quantum and classical registers need different names.")
    num_qubits, gates, num_bits = _sequence_layout(sequence)
    used = set()
    body = []
    for gate in gates:
        body.extend(_gate_lines(gate, qreg_name, creg_name, used))
    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";']
    lines.extend(_DEFINITIONS[name] for name in sorted(used))
    if num_qubits > 0:
        lines.append("qreg " + qreg_name + "[" + str(num_qubits) + "];")
    if num_bits > 0:
        lines.append("creg " + creg_name + "[" + str(num_bits) + "];")
    lines.extend(body)
    return "\n".join(lines) + "\n"
