"""Phase estimation builder: readout order, off-grid spread, inverse, refusals."""
import numpy as np
import pytest

import pelqa_reference as ref
from quorvex.core import Circuit
from quorvex.library._qpe import QPE


def unitary_with_phases(rng, phases):
    """U_circ for a random eigenbasis V with eigenvalues exp(2 pi i phase)."""
    dim = len(phases)
    V, _ = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    U = V @ np.diag(np.exp(2j * np.pi * np.asarray(phases))) @ V.conj().T
    n = dim.bit_length() - 1
    circuit = Circuit(n)
    circuit.unitary(U, list(range(n)))
    return circuit, V


def phase_register_distribution(qpe, d, n, eigenvector):
    """Probability of each phase index after QPE with the system in the eigenvector."""
    c = Circuit(d + n)
    c.initialize(eigenvector, list(range(d, d + n)))
    c.append(qpe, list(range(d + n)))
    state = np.asarray(c.execute().state).reshape(2 ** n, 2 ** d)   # rows: system, columns: phase
    return (abs(state) ** 2).sum(axis=0)


@pytest.mark.parametrize("d, n", [(1, 0), (3, 0), (2, 1), (6, 1), (4, 2), (3, 3)])
def test_on_grid_phases_read_back_as_their_index(d, n):
    rng = np.random.default_rng(10 * d + n)
    ks = rng.integers(0, 2 ** d, 2 ** n)
    U_circ, V = unitary_with_phases(rng, ks / 2 ** d)
    qpe = QPE(U_circ, d)
    assert qpe.get_num_qubits() == d + n
    for k, v in zip(ks, V.T):
        probs = phase_register_distribution(qpe, d, n, v)
        assert probs[k] == pytest.approx(1.0, abs=1e-10), (k, np.argmax(probs))


def test_the_readout_is_neither_reversed_nor_negated():
    U_circ, V = unitary_with_phases(np.random.default_rng(0), [21 / 64, 0.5])
    probs = phase_register_distribution(QPE(U_circ, 6), 6, 1, V[:, 0])
    assert np.argmax(probs) == 21 and probs[21] == pytest.approx(1.0)


@pytest.mark.parametrize("phase", [0.4, 0.123, 0.9999])
def test_off_grid_phase_spreads_as_the_model_says(phase):
    U_circ, V = unitary_with_phases(np.random.default_rng(1), [phase, 0.7])
    probs = phase_register_distribution(QPE(U_circ, 5), 5, 1, V[:, 0])
    np.testing.assert_allclose(probs, ref.readout_probabilities([phase], 5)[0], atol=1e-12)


def test_dagger_restores_and_source_circuit_is_unchanged():
    rng = np.random.default_rng(2)
    U_circ, _ = unitary_with_phases(rng, rng.uniform(0, 1, 4))
    before = [(g.id, tuple(g.target)) for g in U_circ.gate_sequence.data()]
    qpe = QPE(U_circ, 4, backend="anything", device="ignored", dtype=np.complex64)
    assert [(g.id, tuple(g.target)) for g in U_circ.gate_sequence.data()] == before
    start = rng.normal(size=64) + 1j * rng.normal(size=64)
    start /= np.linalg.norm(start)
    c = Circuit(6)
    c.initialize(start, list(range(6)))
    c.append(qpe, list(range(6)))
    c.append(qpe.dagger(), list(range(6)))
    np.testing.assert_allclose(np.asarray(c.execute().state), start, atol=1e-10)


@pytest.mark.parametrize("d, kw, error, message", [
    (0, {}, ValueError, "at least one phase qubit"),
    (-2, {}, ValueError, "at least one phase qubit"),
    (2.5, {}, TypeError, "d must be an integer"),
    (3, {"return_circuit": False}, NotImplementedError, "return_circuit must be True"),
    (3, {"return_circuit": 1}, NotImplementedError, "return_circuit must be True"),
])
def test_refusals(d, kw, error, message):
    U_circ, _ = unitary_with_phases(np.random.default_rng(3), [0.25, 0.5])
    with pytest.raises(error, match=message):
        QPE(U_circ, d, **kw)
