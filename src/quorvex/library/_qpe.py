"""Phase estimation builder: the minimal platform layer the linear solvers use.

``QPE(U_circ, d)`` returns a circuit of d + n qubits (n = U_circ's qubits):
qubits 0 .. d-1 are the phase register, d .. d+n-1 carry U's register. Run
with the phase register in |0...0>, an eigencomponent of U with eigenvalue
exp(2 pi i k / 2^d) leaves |k> in the phase register, qubit i holding bit i
of k; off-grid phases spread over the neighbouring indices as usual.

The inverse QFT is built from Hadamards, controlled phases and swaps, so the
circuit has O(d^2) gates however large d is (a dense 2^d x 2^d Fourier matrix
would need 16 * 4^d bytes).
"""
import operator

import numpy as np

from quorvex.core import Circuit


def _matrix_of(U_circ, n):
    """U's matrix: column j is U_circ run from |j>."""
    dim = 2 ** n
    width = max(n, 1)  # a zero-qubit U still runs on one qubit
    targets = list(range(n))
    U = np.empty((dim, dim), dtype=np.complex128)
    for j in range(dim):
        probe = Circuit(width)
        for q in range(n):
            if (j >> q) & 1:
                probe.x(q)
        probe.append(U_circ, targets)
        state = np.asarray(probe.execute(dtype=np.complex128).state, dtype=np.complex128)
        U[:, j] = state.reshape(-1)[:dim]
    return U


def _swap(circuit, a, b):
    circuit.cx(a, b)
    circuit.cx(b, a)
    circuit.cx(a, b)


def _inverse_qft(circuit, d):
    """Inverse QFT on qubits 0 .. d-1, qubit i = bit i of the index."""
    for i in range(d // 2):
        _swap(circuit, i, d - 1 - i)
    for j in range(d):
        for m in range(j):
            angle = -np.pi / 2 ** (j - m)
            phase = np.array([[1, 0], [0, np.exp(1j * angle)]], dtype=np.complex128)
            circuit.unitary(phase, [j], control=m)
        circuit.h(j)


def QPE(U_circ, d, return_circuit=True, backend="torch", device="cpu", dtype=np.complex128):
    """Phase estimation of U_circ with d phase qubits, as a new circuit.

    ``backend``, ``device`` and ``dtype`` are accepted for the callers'
    convenience; the circuit is only built here, never run, and U's matrix
    is always taken in complex128.
    """
    if return_circuit is not True:
        raise NotImplementedError("QPE only builds a circuit: return_circuit must be True.")
    try:
        d = operator.index(d)
    except TypeError:
        raise TypeError(f"d must be an integer, not {type(d).__name__}") from None
    if d < 1:
        raise ValueError(f"QPE needs at least one phase qubit (d={d}).")
    n = U_circ.get_num_qubits()
    U = _matrix_of(U_circ, n)

    circuit = Circuit(d + n, name="QPE")
    system = list(range(d, d + n))
    for j in range(d):
        circuit.h(j)
    power = U
    for j in range(d):
        circuit.unitary(power, system, control=j)
        if j + 1 < d:
            power = power @ power  # U^(2^(j+1)) by repeated squaring
    _inverse_qft(circuit, d)
    return circuit
