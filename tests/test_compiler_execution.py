"""What a circuit holds compiles: the circuit layer's unitarity bound is the one every pass applies."""
import math

import numpy as np
import pytest

from quorvex.backend.gate.matrix import UNITARY_TOLERANCE
from quorvex.backend.gate.morlith import QuantumGate
from quorvex.core import Circuit
from quorvex.qcompiler.rule_based.rule_based_transpiler.basis import DEFAULT_BASIS, TESSIK_BASIS
from quorvex.qcompiler.transpile import DEFAULT_UNROLL_TIMES, qcompiler_transpile

from compiler_dense import equal_up_to_phase, operator, random_unitary

BASES = [DEFAULT_BASIS, TESSIK_BASIS]


def _circuit(gates, n):
    circuit = Circuit(n)
    for gate in gates:
        circuit.add_gate(gate)
    return circuit


@pytest.mark.parametrize("basis", BASES, ids=lambda b: b.name)
def test_complex64_unitaries_that_a_circuit_takes_compile(basis):
    # Rounded to complex64, a unitary is off by about 1e-7.
    rng = np.random.default_rng(11)
    source = Circuit(3)
    for _ in range(12):
        qubits = [int(q) for q in rng.permutation(3)]
        controls = qubits[1:1 + int(rng.integers(0, 3))]
        source.unitary(random_unitary(rng, 2).astype(np.complex64), qubits[:1], control=controls,
                       control_state=[int(s) for s in rng.integers(0, 2, len(controls))])
    compiled = qcompiler_transpile(source, basis=basis.name, times=DEFAULT_UNROLL_TIMES)
    assert equal_up_to_phase(operator(compiled.gate_sequence.data(), 3), operator(source.gate_sequence.data(), 3),
                             atol=1e-5)


@pytest.mark.parametrize("deviation", [0.8, 1.2], ids=["inside", "outside"])
def test_the_circuit_and_every_pass_share_one_unitarity_bound(deviation):
    # M M^dagger = (1 + deviation * bound) I.
    matrix = random_unitary(np.random.default_rng(3), 2) * math.sqrt(1 + deviation * UNITARY_TOLERANCE)
    gate = QuantumGate(id="unitary", target=0, control=1, matrix=matrix)
    if deviation < 1:
        Circuit(2).unitary(matrix, [0], control=[1])
        for basis in BASES:
            qcompiler_transpile(_circuit([gate], 2), basis=basis.name, times=DEFAULT_UNROLL_TIMES)
        return
    with pytest.raises(ValueError, match="matrix is not unitary: max .* exceeds 1e-6.$"):
        Circuit(2).unitary(matrix, [0], control=[1])
    for basis in BASES:
        with pytest.raises(ValueError, match="^Gate 'unitary' on one target needs a 2x2 unitary matrix.$"):
            qcompiler_transpile(_circuit([gate], 2), basis=basis.name, times=DEFAULT_UNROLL_TIMES)


def _near_bound(seed, deviation=0.9 * UNITARY_TOLERANCE):
    """A random unitary pushed off unitarity to ``deviation`` in a random direction."""
    rng = np.random.default_rng(seed)
    u = random_unitary(rng, 2)
    push = rng.normal(size=(2, 2)) + 1j * rng.normal(size=(2, 2))
    for _ in range(2):  # the deviation is linear in a small push
        push = push * (deviation / np.abs((u + push) @ (u + push).conj().T - np.eye(2)).max())
    return u + push


@pytest.mark.parametrize("matrix", [
    _near_bound(2),                                          # its plain root is 1.2e-6 off unitary
    _near_bound(36),
    np.exp(2j) * np.array([[math.cos(5e-6), -1j * math.sin(5e-6)], [-1j * math.sin(5e-6), math.cos(5e-6)]]),
    np.exp(2j) * np.array([[math.cos(5e-5), -1j * math.sin(5e-5)], [-1j * math.sin(5e-5), math.cos(5e-5)]]),
], ids=["near-bound-a", "near-bound-b", "near-scalar-1e-5", "near-scalar-1e-4"])
@pytest.mark.parametrize("controls", [2, 3])
def test_multi_controlled_unitaries_keep_their_roots_unitary(matrix, controls):
    # Under k >= 2 controls a unitary is split into square roots, which the
    # next round checks again; near e^{ia} I the root's formula cancels.
    gate = QuantumGate(id="unitary", target=0, control=tuple(range(1, controls + 1)), matrix=matrix)
    exact = math.isclose(np.abs(matrix @ matrix.conj().T - np.eye(2)).max(), 0.0, abs_tol=1e-15)
    for basis in BASES:
        compiled = qcompiler_transpile(_circuit([gate], controls + 1), basis=basis.name,
                                       times=DEFAULT_UNROLL_TIMES)
        error = np.abs(operator(compiled.gate_sequence.data(), controls + 1) - operator([gate], controls + 1)).max()
        assert error < (1e-13 if exact else 1e-5)
