"""Where a phase-estimation solve spends its time.

For random Hermitian systems (condition number at most 4) of N = 2, 4, 8 and
d = 6, 8, 10 phase qubits, prints per row: qubits and gates of the solver's
circuit; the whole solve (logging off); `execute` of a fresh copy of the
returned circuit (its packed store built in the call) and its share of the
solve; `execute` again on the returned circuit (its store kept from the
solve); the same gates, copied once into an `OpchainPackedNative`, run by
`execute_gate_sequence_packed` alone; and the ratios of both executions to it.

Repeats are interleaved across rows; min and median are printed. OpenMP
threads default to 1 (set OMP_NUM_THREADS to measure threading).

Run: bash dev.sh bench pelqa [repeats]
"""
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")

import statistics
import sys
import time

import numpy as np

from quorvex.backend.pelmor import strovane
from quorvex.backend.pelmor.strovane import OpchainPackedNative, execute_gate_sequence_packed
from quorvex.library.linear_solver.pelqa import PelqaSolver

REPEATS = int(sys.argv[1]) if len(sys.argv) > 1 else 3
SIZES = [2, 4, 8]
PHASE_BITS = [6, 8, 10]


def hermitian_system(rng, N):
    q, _ = np.linalg.qr(rng.normal(size=(N, N)) + 1j * rng.normal(size=(N, N)))
    A = q @ np.diag(rng.uniform(1, 4, N)) @ q.conj().T
    return (A + A.conj().T) / 2, rng.normal(size=N)


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def prepare(N, d):
    A, b = hermitian_system(np.random.default_rng(N * 100 + d), N)
    circuit = PelqaSolver(A, b, d=d, logging=False)[0]
    n = circuit.get_num_qubits()
    store = OpchainPackedNative()
    records = circuit.gate_sequence.data()
    for record in records:
        store.append_gate(record)

    def packed():
        state = np.zeros(1 << n, dtype=np.complex128)
        state[0] = 1.0
        execute_gate_sequence_packed(n, state, store)

    return dict(
        label=(N, d, n, len(records)),
        solve=lambda: PelqaSolver(A, b, d=d, logging=False),
        execute=lambda: circuit.copy().execute(),
        again=lambda: circuit.execute(),
        packed=packed,
    )


def main():
    print(f"max_threads() = {strovane.max_threads()}, repeats = {REPEATS}")
    rows = [prepare(N, d) for N in SIZES for d in PHASE_BITS]
    samples = [{key: [] for key in ("solve", "execute", "again", "packed")} for _ in rows]
    for _ in range(REPEATS):
        for row, sample in zip(rows, samples):
            for key in sample:
                sample[key].append(timed(row[key]))
    print(f"{'N':>3} {'d':>3} {'qubits':>6} {'gates':>6}   {'solve ms':>15}   {'execute ms':>15} {'share':>5}"
          f"   {'again ms':>15}   {'packed ms':>15}   {'exec/packed':>11} {'again/packed':>12}")
    print(f"{'':>23}   {'min / median':>15}   {'min / median':>15} {'':>5}   {'min / median':>15}"
          f"   {'min / median':>15}   {'(min)':>11} {'(min)':>12}")
    for row, sample in zip(rows, samples):
        N, d, n, gates = row["label"]
        lo = {key: min(v) * 1e3 for key, v in sample.items()}
        med = {key: statistics.median(v) * 1e3 for key, v in sample.items()}
        pair = {key: f"{lo[key]:7.2f} / {med[key]:<7.2f}" for key in lo}
        print(f"{N:>3} {d:>3} {n:>6} {gates:>6}   {pair['solve']}   {pair['execute']}"
              f" {med['execute'] / med['solve']:>5.0%}   {pair['again']}   {pair['packed']}"
              f"   {lo['execute'] / lo['packed']:>11.2f} {lo['again'] / lo['packed']:>12.2f}")


if __name__ == "__main__":
    main()
