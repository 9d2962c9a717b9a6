"""OpenQASM to QCIS conversion for the noise-aware mapper: the minimal platform layer."""
from quorvex.backend.qasm.qasm import gate_sequence_from_qasm

from ..circuit_io import gates_to_qcis


def convert(text):
    """QCIS text of an OpenQASM 2.0 or 3.0 program, exact up to global phase."""
    sequence = gate_sequence_from_qasm(text)
    return gates_to_qcis(sequence.data(), int(sequence._num_qubits))
