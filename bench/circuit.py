"""Cost of the circuit class on top of the executors it drives.

1. A 20-qubit circuit of 2,000 random gates (1- and 2-qubit gates, some
   controlled dense unitaries):
   - `Circuit.execute` of a new circuit holding the gates (the packed store
     is built in the call),
   - `Circuit.execute` again on the same circuit (store reused),
   - the same store straight through `execute_gate_sequence_packed`.
2. `compile().apply_to_batch` for B = 64 states of 10 qubits through 200
   parameterised gates, forward and backward, against a per-sample loop of
   the same compiled circuit (one state per call).

3. The matrix memo of `Circuit.unitary`: its real memory (tracemalloc;
   nothing else is kept) after 1,000 ... 10,000 calls with fresh 2 x 2
   matrices, each in a new circuit that is dropped at once, against its
   stated budget; the resident memory kept after 20 calls with a 2 x 2 view
   of a fresh 64 MB array; and the time of a call that reuses an unchanged
   16 x 16 matrix against one with a fresh matrix.

Repeats are interleaved; min and median are printed. Threads default to 1
(set OMP_NUM_THREADS / QUORVEX_BENCH_TORCH_THREADS to measure threading).

Run: bash dev.sh bench circuit [repeats]
"""
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")

import gc
import statistics
import sys
import time
import tracemalloc

import numpy as np

# quorvex before torch: the OpenMP runtime then starts with quorvex's bounded spin.
import quorvex  # noqa: F401  isort: skip
import torch

from quorvex.backend.pelmor import strovane
from quorvex.backend.pelmor.strovane import execute_gate_sequence_packed
from quorvex.core import Circuit
from quorvex.core import _memo as memo_module

REPEATS = int(sys.argv[1]) if len(sys.argv) > 1 else 5
torch.set_num_threads(int(os.environ.get("QUORVEX_BENCH_TORCH_THREADS", "1")))


def random_unitary(rng, k):
    a = rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k))
    q, r = np.linalg.qr(a)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def random_circuit(rng, n, count):
    c = Circuit(n)
    for _ in range(count):
        kind = rng.integers(10)
        a, b, d = (int(v) for v in rng.choice(n, 3, replace=False))
        if kind < 3:
            [c.h, c.x, c.s][kind](a)
        elif kind < 5:
            c.rz(float(rng.uniform(-3, 3)), a)
        elif kind < 7:
            c.cx(a, b)
        elif kind == 7:
            c.cry(float(rng.uniform(-3, 3)), control=a, target=b, control_state=int(rng.integers(2)))
        elif kind == 8:
            c.mcz(controls=[a, d], target=b, control_state="01")
        else:
            c.unitary(random_unitary(rng, 2), [a, b], control=d, control_state=int(rng.integers(2)))
    return c


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def report(title, columns, samples):
    print(title)
    for name in columns:
        values = samples[name]
        print("  %-42s min %9.4f s   median %9.4f s" % (name, min(values), statistics.median(values)))


def bench_execute():
    n, count = 20, 2000
    circuit = random_circuit(np.random.default_rng(1), n, count)
    store = circuit._native_store()

    def raw():
        state = np.zeros(1 << n, dtype=np.complex128)
        state[0] = 1
        execute_gate_sequence_packed(n, state, store)

    def fresh():
        # append gives a new circuit the same gates without a built store
        c = Circuit(n)
        c.append(circuit, range(n))
        return c.execute()

    runs = {
        "Circuit.execute, store built in the call": fresh,
        "Circuit.execute, store reused": lambda: circuit.execute(),
        "execute_gate_sequence_packed alone": raw,
    }
    samples = {name: [] for name in runs}
    for _ in range(REPEATS):
        for name, call in runs.items():
            samples[name].append(timed(call))
    report("execute: n = %d, %d gates, complex128" % (n, count), runs, samples)
    base = min(samples["execute_gate_sequence_packed alone"])
    for name in list(runs)[:2]:
        print("  ratio %-36s %.3f (goal <= 1.2)" % (name, min(samples[name]) / base))


def bench_batch():
    n, batch, layers = 10, 64, 20
    rng = np.random.default_rng(2)
    states = torch.tensor(rng.normal(size=(batch, 1 << n)) + 1j * rng.normal(size=(batch, 1 << n)))
    weights = torch.tensor(rng.normal(size=(batch, 1 << n)))
    params = torch.tensor(rng.uniform(-3, 3, size=layers * n), requires_grad=True)

    def build():
        c = Circuit(n)
        p = iter(params)
        for layer in range(layers):
            for q in range(n):
                if layer % 2:
                    c.mcry(next(p), [(q + 1) % n], q)
                else:
                    c.rz(next(p), q)
            for q in range(0, n - 1, 2):
                c.cx(q, q + 1)
        return c

    def batched():
        out = build().compile().apply_to_batch(states)
        (out.abs().pow(2) * weights).sum().backward()

    def looped():
        compiled = build().compile()
        out = torch.cat([compiled.apply_to_batch(states[i:i + 1]) for i in range(batch)])
        (out.abs().pow(2) * weights).sum().backward()

    runs = {"apply_to_batch, B = 64": batched, "per-sample loop, 64 calls": looped}
    samples = {name: [] for name in runs}
    for _ in range(REPEATS):
        for name, call in runs.items():
            params.grad = None
            samples[name].append(timed(call))
    report("forward + backward: n = %d, B = %d, %d parameterised gates" % (n, batch, layers * n), runs, samples)
    print("  speed-up of the batched path: %.1fx (goal >= 10)"
          % (min(samples["per-sample loop, 64 calls"]) / min(samples["apply_to_batch, B = 64"])))


def resident_mb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def bench_memo():
    memo = memo_module._checked_unitaries
    print("unitary memo: budget %.0f MB, at most %d entries"
          % (memo._budget / 2**20, memo._max_entries))
    rng = np.random.default_rng(5)
    phases = rng.uniform(0, 6, size=10_000)
    gc.collect()
    tracemalloc.start()
    base, _ = tracemalloc.get_traced_memory()
    for calls, phase in enumerate(phases, 1):
        c = Circuit(1)
        c.unitary(np.diag([1.0, np.exp(1j * phase)]), [0])
        del c
        if calls in (1_000, 2_000, 5_000, 10_000):
            gc.collect()
            held, _ = tracemalloc.get_traced_memory()
            print("  after %6d fresh 2 x 2 matrices: real %8.1f kB, counted %8.1f kB, %d entries"
                  % (calls, (held - base) / 1024, memo._bytes / 1024, len(memo._entries)))
    tracemalloc.stop()

    gc.collect()
    before = resident_mb()
    c = Circuit(1)
    for _ in range(20):
        big = np.full((2048, 2048), 0.5 + 0.5j)  # 64 MB, every page touched
        big[:2, :2] = np.eye(2)
        c.unitary(big[:2, :2], [0])
        del big
    gc.collect()
    print("  resident memory kept by 20 calls with a 2 x 2 view of a fresh 64 MB array: %.1f MB"
          % (resident_mb() - before))

    m = np.linalg.qr(rng.normal(size=(16, 16)) + 1j * rng.normal(size=(16, 16)))[0]
    fresh = [m.copy() for _ in range(2000)]
    c = Circuit(4)
    runs = {"unitary, the same 16 x 16 matrix again": lambda: [c.unitary(m, range(4)) for _ in range(200)],
            "unitary, a fresh 16 x 16 matrix": lambda: [c.unitary(fresh.pop(), range(4)) for _ in range(200)]}
    samples = {name: [] for name in runs}
    for _ in range(REPEATS):
        for name, call in runs.items():
            samples[name].append(timed(call) / 200)
    for name in runs:
        print("  %-42s min %7.1f us   median %7.1f us"
              % (name, min(samples[name]) * 1e6, statistics.median(samples[name]) * 1e6))


def main():
    print("native threads (max_threads): %d; torch threads: %d; repeats: %d"
          % (strovane.max_threads(), torch.get_num_threads(), REPEATS))
    bench_execute()
    bench_batch()
    bench_memo()


if __name__ == "__main__":
    main()
