"""Opchain against OpchainPacked on one 10**5-gate circuit.

Prints, for both sequence kinds: build time, memory held after the build,
iteration time (every gate read once), copy time, and execution time on a
12-qubit complex128 state. The list-backed circuit runs gate by gate through
the kernel functions from Python; the packed one runs in one call of the
packed executor.

Run: bash dev.sh bench sequences
"""
import gc
import sys
import time
import tracemalloc

import numpy as np

from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.backend.pelmor import strovane

GATES = 100_000
QUBITS = 12


def build(cls):
    seq = cls(QUBITS, "bench")
    for k in range(GATES):
        qubit = k % QUBITS
        kind = k % 3
        if kind == 0:
            gate = seq.gateCreator("h", qubit)
        elif kind == 1:
            gate = seq.gateCreator("cx", (qubit + 1) % QUBITS, control=qubit)
        else:
            gate = seq.gateCreator("rz", qubit, parameters=(0.001 * k,))
        seq.add_gate(gate)
    return seq


def held_bytes(cls):
    """Python-heap bytes left allocated by a build, plus the store's own bytes."""
    gc.collect()
    tracemalloc.start()
    seq = build(cls)
    python_bytes = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    native_bytes = seq.storage_bytes if isinstance(seq, OpchainPacked) else 0
    return python_bytes, native_bytes


def timed(function, *args, repeat=3):
    best = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = function(*args)
        best = min(best, time.perf_counter() - start)
    return best, result


def iterate(seq):
    count = 0
    for _ in seq.data():
        count += 1
    return count


def run_list_backed(seq):
    state = np.zeros(2 ** QUBITS, dtype=np.complex128)
    state[0] = 1
    for gate in seq.data():
        controls = list(gate.control)
        states = list(gate.control_state)
        target = gate.target[0]
        if gate.id == "h":
            strovane.h_little(QUBITS, state, controls, states, target)
        elif gate.id == "cx":
            strovane.x_little(QUBITS, state, controls, states, target)
        else:
            strovane.rz_little(QUBITS, state, controls, states, target, gate.parameter[0])
    return state


def run_packed(seq):
    state = np.zeros(2 ** QUBITS, dtype=np.complex128)
    state[0] = 1
    return strovane.execute_gate_sequence_packed(QUBITS, state, seq._native)[0]


def main():
    print(f"circuit: {GATES} gates (h, cx, rz) on {QUBITS} qubits")
    rows = []
    final_states = []
    for cls, runner in ((Opchain, run_list_backed), (OpchainPacked, run_packed)):
        build_time, seq = timed(build, cls, repeat=1)
        python_bytes, native_bytes = held_bytes(cls)
        iterate_time, count = timed(iterate, seq)
        assert count == GATES
        copy_time, _ = timed(seq.copy)
        run_time, state = timed(runner, seq, repeat=1)
        final_states.append(state)
        rows.append((cls.__name__, build_time, python_bytes + native_bytes,
                     iterate_time, copy_time, run_time))
    header = ("sequence", "build s", "memory MB", "B/gate", "iterate s", "copy s", "execute s")
    print("{:<14}{:>10}{:>11}{:>9}{:>11}{:>11}{:>11}".format(*header))
    for name, build_time, memory, iterate_time, copy_time, run_time in rows:
        print("{:<14}{:>10.3f}{:>11.2f}{:>9.1f}{:>11.4f}{:>11.6f}{:>11.4f}".format(
            name, build_time, memory / 1e6, memory / GATES, iterate_time, copy_time, run_time))
    (list_row, packed_row) = rows
    print(f"memory ratio list/packed: {list_row[2] / packed_row[2]:.1f}x; "
          f"execution speed-up: {list_row[5] / packed_row[5]:.1f}x")
    if not np.allclose(final_states[0], final_states[1], atol=1e-9):
        print("final states differ", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
