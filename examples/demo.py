"""Demonstration: build a state vector and run gates through strovane.

Prepares a 22-qubit GHZ state (H, then a chain of CX), checks it, then times
a layer of single-qubit gates, SWAPs and a dense two-qubit unitary, serially
and with all OpenMP threads. Finally builds a layered circuit as a packed
gate sequence, compares its memory with the list-backed sequence, and runs it
with a mid-circuit measurement through the packed executor.
"""
import time

import numpy as np

from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.backend.pelmor import strovane

N = 22


def timed(label, layer, state):
    """Runs layer(runopenmp) serially and in parallel; prints ms per gate."""
    cells = []
    for runopenmp in (False, True):
        start = time.perf_counter()
        gates = layer(state, runopenmp)
        cells.append((time.perf_counter() - start) * 1e3 / gates)
    print(f"  {label:26} {cells[0]:8.2f} ms {cells[1]:8.2f} ms")


def main():
    print(f"strovane: OpenMP enabled={strovane.openmp_enabled()},"
          f" threads={strovane.max_threads()}")
    state = np.zeros(2**N, np.complex128)
    state[0] = 1
    start = time.perf_counter()
    strovane.h_little(N, state, [], [], 0)
    for q in range(1, N):
        strovane.x_little(N, state, [q - 1], [1], q)
    elapsed = time.perf_counter() - start
    ghz = np.isclose(state[0], 2**-0.5) and np.isclose(state[-1], 2**-0.5)
    print(f"GHZ state on {N} qubits ({state.nbytes >> 20} MiB) in {elapsed * 1e3:.1f} ms;"
          f" amplitudes |0...0> and |1...1> = {state[0].real:.6f}, {state[-1].real:.6f}:"
          f" {'ok' if ghz else 'WRONG'}")

    rng = np.random.default_rng(1)
    q, _ = np.linalg.qr(rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4)))

    def rotations(st, omp):
        for t in range(0, N, 3):
            strovane.ry_little(N, st, [], [], t, 0.1 * t, omp)
        return len(range(0, N, 3))

    def hadamards(st, omp):
        for t in range(0, N, 3):
            strovane.h_little(N, st, [], [], t, omp)
        return len(range(0, N, 3))

    def swaps(st, omp):
        for t in range(0, N - 1, 4):
            strovane.swap_little(N, st, [], [], [t, t + 1], omp)
        return len(range(0, N - 1, 4))

    def unitaries(st, omp):
        for t in range(0, N - 1, 6):
            strovane.unitary_little(N, st, [], [], [t, t + 1], q, omp)
        return len(range(0, N - 1, 6))

    print(f"time per gate, complex128, {N} qubits:")
    print(f"  {'gate':26} {'1 thread':>11} {'all threads':>11}")
    timed("H", hadamards, state)
    timed("RY", rotations, state)
    timed("SWAP", swaps, state)
    timed("2-qubit unitary", unitaries, state)
    print(f"norm after all layers: {np.linalg.norm(state):.12f}")
    packed_sequence()


def layered_circuit(sequence, qubits, layers):
    for layer in range(layers):
        for q in range(qubits):
            sequence.add_gate(sequence.gateCreator("ry", q, parameters=0.1 * (layer + q)))
        for q in range(layer % 2, qubits - 1, 2):
            sequence.add_gate(sequence.gateCreator("cx", q + 1, control=q))


def packed_sequence():
    qubits, layers = 12, 400
    listed, packed = Opchain(qubits), OpchainPacked(qubits)
    for sequence in (listed, packed):
        layered_circuit(sequence, qubits, layers)
    packed.measure([0], [0])
    gates = len(packed.data())
    same = all(a == b for a, b in zip(listed.data(), packed.data()))
    print(f"layered circuit, {qubits} qubits, {gates} gates, {packed.storage_bytes / gates:.1f}"
          f" bytes per gate packed; same gates as the list-backed sequence: {same}")

    def measure(state, targets, classical):
        # Project onto the more likely outcome of the measured qubit.
        bit = 1 << targets[0]
        ones = np.flatnonzero(np.arange(state.size) & bit)
        p1 = float(np.sum(np.abs(state[ones]) ** 2))
        outcome = int(p1 >= 0.5)
        keep = np.zeros(state.size, bool)
        keep[ones] = True
        state[keep != bool(outcome)] = 0
        state /= np.linalg.norm(state)
        return state, {classical[0]: outcome}

    state = np.zeros(2**qubits, np.complex128)
    state[0] = 1
    start = time.perf_counter()
    state, results = strovane.execute_gate_sequence_packed(
        qubits, state, packed._packed_store_native, measure)
    elapsed = time.perf_counter() - start
    print(f"packed executor: {gates} gates in {elapsed * 1e3:.1f} ms,"
          f" measurement results {results}, norm {np.linalg.norm(state):.12f}")


if __name__ == "__main__":
    main()
