"""ADAPT-VQE ansatz emission: a reference state and Pauli-string rotations as a circuit.

Bit strings and Pauli labels are written most-significant qubit first: the
character at position p acts on qubit n - 1 - p of an n-qubit circuit.
Each word P with angle theta becomes exp(-i theta P / 2): basis changes, a
CNOT fan-in onto the last active qubit, one rz, and the mirror image.
"""
from typing import Sequence

from quorvex.core import Circuit

__all__ = ["build_ansatz_circuit"]


def _engine_qubit(position: int, num_qubits: int) -> int:
    return num_qubits - 1 - position


def _check_label_range(label: str, num_qubits: int):
    # A letter beyond the circuit would reach it as a negative qubit number,
    # which a circuit may read as counting from the end: refuse it before
    # any gate of the label is emitted.
    for position, letter in enumerate(label):
        if letter == "I":
            continue
        if letter not in ("X", "Y", "Z"):
            return
        if position >= num_qubits:
            raise ValueError("Pauli label " + repr(label) + " puts " + repr(letter) + " on qubit "
                             + str(_engine_qubit(position, num_qubits)) + ", outside a circuit of "
                             + str(num_qubits) + " qubits.")


def _apply_pauli_rotation(circuit, label: str, theta: float, num_qubits: int):
    _check_label_range(label, num_qubits)
    active = []
    for position, letter in enumerate(label):
        if letter == "I":
            continue
        qubit = _engine_qubit(position, num_qubits)
        if letter == "X":
            circuit.h(qubit)
        elif letter == "Y":
            circuit.sdag(qubit)
            circuit.h(qubit)
        elif letter != "Z":
            raise ValueError("Unsupported Pauli character " + repr(letter) + " in " + repr(label) + ".")
        active.append((qubit, letter))
    if not active:
        return None
    target = active[-1][0]
    for qubit, _ in active[:-1]:
        circuit.cx(qubit, target)
    circuit.rz(theta, target)
    for qubit, _ in reversed(active[:-1]):
        circuit.cx(qubit, target)
    for qubit, letter in reversed(active):
        if letter == "X":
            circuit.h(qubit)
        elif letter == "Y":
            circuit.h(qubit)
            circuit.s(qubit)
    return None


def build_ansatz_circuit(num_qubits: int, reference_bitstring: str, operators: Sequence[str],
                         parameters: Sequence[float], name: str = "adapt_ansatz"):
    """A new circuit preparing ``reference_bitstring`` and applying exp(-i theta P / 2) per word."""
    n = num_qubits
    if len(reference_bitstring) != n:
        raise ValueError("reference_bitstring length " + str(len(reference_bitstring))
                         + " != num_qubits " + str(n) + ".")
    if len(operators) != len(parameters):
        raise ValueError("operators and parameters must have equal length.")
    circuit = Circuit(n, name=name)
    for position, bit in enumerate(reference_bitstring):
        if bit == "1":
            circuit.x(_engine_qubit(position, n))
        elif bit != "0":
            raise ValueError("Invalid reference bit " + repr(bit) + " in " + repr(reference_bitstring) + ".")
    for label, angle in zip(operators, parameters):
        if type(label) is not str:
            label = str(label)
        _apply_pauli_rotation(circuit, label, float(angle), n)
    return circuit
