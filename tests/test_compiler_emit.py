"""Pauli-rotation ansatz emission."""
import numpy as np
import pytest
from scipy.linalg import expm

from quorvex.qcompiler.synthesis import emit

from compiler_dense import I2, X, Y, Z, operator


class Recorder:
    """A circuit stand-in that records the calls made on it."""

    def __init__(self, num_qubits=None, name=None):
        self.args = (num_qubits, name)
        self.calls = []

    def __getattr__(self, method):
        return lambda *args: self.calls.append((method,) + args)


@pytest.fixture
def recording(monkeypatch):
    made = []

    def factory(n, name):
        made.append(Recorder(n, name))
        return made[-1]
    monkeypatch.setattr(emit, "Circuit", factory)
    return made


T = 0.25
XZY = [("h", 2), ("sdag", 0), ("h", 0), ("cx", 2, 0), ("cx", 1, 0), ("rz", T, 0), ("cx", 1, 0),
       ("cx", 2, 0), ("h", 0), ("s", 0), ("h", 2)]
XXXX = ([("h", q) for q in (3, 2, 1, 0)] + [("cx", q, 0) for q in (3, 2, 1)] + [("rz", T, 0)]
        + [("cx", q, 0) for q in (1, 2, 3)] + [("h", q) for q in (0, 1, 2, 3)])


@pytest.mark.parametrize("label, n, calls", [
    ("XZY", 3, XZY), ("XXXX", 4, XXXX), ("IZI", 3, [("rz", T, 1)]),
    ("X", 1, [("h", 0), ("rz", T, 0), ("h", 0)]), ("Z", 3, [("rz", T, 2)]),
    ("", 2, []), ("III", 3, []), ("XII", 1, [("h", 0), ("rz", T, 0), ("h", 0)]),
])
def test_rotation_calls(label, n, calls):
    circuit = Recorder()
    assert emit._apply_pauli_rotation(circuit, label, T, n) is None
    assert circuit.calls == calls


def test_build_calls_in_order(recording):
    circuit = emit.build_ansatz_circuit(3, "011", ["XZY"], [T], name="mine")
    assert circuit is recording[0] and circuit.args == (3, "mine")
    assert circuit.calls == [("x", 1), ("x", 0)] + XZY
    plain = emit.build_ansatz_circuit(num_qubits=2.0, reference_bitstring="00", operators=[], parameters=())
    assert plain.args == (2, "adapt_ansatz") and plain.calls == []


def test_labels_and_angles_are_converted(recording):
    class Word:
        def __str__(self):
            return "XZ"
    circuit = emit.build_ansatz_circuit(2, "00", [Word()], ["0.5"])
    assert circuit.calls == [("h", 1), ("cx", 1, 0), ("rz", 0.5, 0), ("cx", 1, 0), ("h", 1)]


PAULI = {"I": I2, "X": X, "Y": Y, "Z": Z}


def test_random_words_match_the_dense_exponential():
    rng = np.random.default_rng(11)
    n = 4
    words = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(6)] + ["YY", "ZIY"]
    angles = list(rng.uniform(-3, 3, len(words)))
    circuit = emit.build_ansatz_circuit(n, "1010", words, angles)
    expected = np.eye(1 << n, dtype=complex)
    for word, theta in zip(words, angles):
        word = word.ljust(n, "I")  # a short label addresses the highest qubits
        full = PAULI[word[0]]
        for letter in word[1:]:
            full = np.kron(full, PAULI[letter])
        expected = expm(-0.5j * theta * full) @ expected
    start = np.zeros(1 << n)
    start[0b1010] = 1
    state = operator(circuit.gate_sequence.data(), n)[:, 0]
    assert np.allclose(state, expected @ start, atol=1e-12)


def _short_label_example():
    # "Z" on three qubits acts on qubit 2, the highest.
    return emit.build_ansatz_circuit(3, "000", ["Z"], [1.0])


def test_short_label_addresses_the_highest_qubits():
    gates = _short_label_example().gate_sequence.data()
    assert [(g.id, g.target) for g in gates] == [("rz", (2,))]


@pytest.mark.parametrize("args, error, message", [
    ((3, "01", [], []), ValueError, "reference_bitstring length 2 != num_qubits 3."),
    ((2, "01", ["X"], []), ValueError, "operators and parameters must have equal length."),
    ((2, "0a", [], []), ValueError, "Invalid reference bit 'a' in '0a'."),
    ((2, "0'", [], []), ValueError, "Invalid reference bit \"'\" in \"0'\"."),
    ((2, "01", ["Xx"], [0.1]), ValueError, "Unsupported Pauli character 'x' in 'Xx'."),
    ((2, "01", ["iX"], [0.1]), ValueError, "Unsupported Pauli character 'i' in 'iX'."),
    (("2", "01", [], []), TypeError, "Argument 'num_qubits' has incorrect type (expected int, got str)"),
    ((2, None, [], []), TypeError, "Argument 'reference_bitstring' has incorrect type (expected str, got NoneType)"),
    ((1, "0", ["XIZ"], [0.1]), ValueError,
     "Pauli label 'XIZ' puts 'Z' on qubit -2, outside a circuit of 1 qubits."),
])
def test_errors(recording, args, error, message):
    with pytest.raises(error) as info:
        emit.build_ansatz_circuit(*args)
    assert str(info.value) == message


def test_bad_letter_leaves_earlier_gates_and_range_check_comes_first():
    circuit = Recorder()
    with pytest.raises(ValueError, match="Unsupported Pauli character 'Q'"):
        emit._apply_pauli_rotation(circuit, "XQ", T, 2)
    assert circuit.calls == [("h", 1)]
    circuit = Recorder()
    with pytest.raises(ValueError, match="outside a circuit of 2 qubits"):
        emit._apply_pauli_rotation(circuit, "IXYZ", T, 2)
    assert circuit.calls == []


def test_engine_qubit_and_module_surface():
    assert emit._engine_qubit(0, 3) == 2 and emit._engine_qubit(5, 3) == -3
    assert emit.__all__ == ["build_ansatz_circuit"]
