"""CuCircuitExecutor on the host stand-in of the device add-on.

Prints, with interleaved repeats (min and median):
  1. random 1- and 2-qubit circuits (8192 gates; 1024 at n = 22) at n = 10, 16,
     22 in both precisions: time per gate of dravik's preparation, of its
     execution, and of execute_gate_sequence_packed on the same gates, and the
     execution ratio stand-in / packed executor (goal <= 1.2);
  2. the pipeline's overhead per chunk at n = 4: run() with one gate per chunk
     minus the same add-on calls in a plain loop (goal <= 100 us);
  3. overlap: run() time over preparation (everything the calling thread
     does) plus execution time, at the qubit count where the two are closest
     (goal <= 0.9).

OMP_NUM_THREADS defaults to 1 (the machine is shared); set it to measure
threading. Run: bash dev.sh bench gpu_executor [--repeats R] [--gates G]
"""
import argparse
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")

import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from quorvex.backend.execution.vorthane import CuCircuitExecutor  # noqa: E402
from quorvex.backend.gate.morlith import QuantumGate  # noqa: E402
from quorvex.backend.opchain.opchain import Opchain  # noqa: E402
from quorvex.backend.pelmor.strovane import OpchainPackedNative, execute_gate_sequence_packed  # noqa: E402
from quorvex_cu12 import dravik  # noqa: E402

ONE = ["h", "x", "rz", "rx", "s", "t", "u"]
TWO = ["cx", "cz", "swap", "rzz", "cp"]


def random_gates(rng, n, count):
    gates = []
    for _ in range(count):
        if rng.random() < 0.5:
            gid = ONE[rng.integers(len(ONE))]
            params = float(rng.uniform(-3, 3)) if gid in ("rz", "rx") else (
                rng.uniform(-3, 3, 3).tolist() if gid == "u" else None)
            gates.append(QuantumGate(id=gid, target=int(rng.integers(n)), parameter=params))
        else:
            gid = TWO[rng.integers(len(TWO))]
            a, b = (int(v) for v in rng.choice(n, 2, replace=False))
            if gid in ("swap", "rzz"):
                gates.append(QuantumGate(id=gid, target=(a, b), parameter=0.7 if gid == "rzz" else None))
            else:
                gates.append(QuantumGate(id=gid, target=b, control=a, parameter=0.3 if gid == "cp" else None))
    return gates


def interleaved(cases, repeats):
    """cases: name -> callable. Runs them in turn, repeats times; name -> (min, median) seconds."""
    times = {name: [] for name in cases}
    for _ in range(repeats):
        for name, fn in cases.items():
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: (min(t), statistics.median(t)) for name, t in times.items()}


class Circ:
    def __init__(self, n, gates):
        self.gate_sequence = Opchain(n)
        self.gate_sequence._data = list(gates)
        self.n = n

    def get_num_qubits(self):
        return self.n


def execution_table(repeats, gates_small, gates_large):
    rng = np.random.default_rng(1)
    print("1. per gate, microseconds (min / median)")
    print(f"{'n':>3} {'dtype':>10} {'gates':>6} {'prepare':>15} {'stand-in':>15} {'packed':>15} {'ratio':>6}")
    worst = 0.0
    for n in (10, 16, 22):
        count = gates_small if n < 22 else gates_large
        gates = random_gates(rng, n, count)
        store = OpchainPackedNative()
        for gate in gates:
            store.append_gate(gate)
        for dtype in (np.complex64, np.complex128):
            name = np.dtype(dtype).name
            host = np.zeros(2**n, dtype)
            host[0] = 1
            device = dravik.DeviceState.from_numpy(n, host)
            prepared = dravik.prepare_fusion_chunk_gates(n, gates)
            r = interleaved({
                "prepare": lambda: dravik.prepare_fusion_chunk_gates(n, gates),
                "stand-in": lambda: dravik.execute_prepared_fusion_chunk(device, prepared),
                "packed": lambda: execute_gate_sequence_packed(n, host, store),
            }, repeats)
            per = 1e6 / count
            ratio = r["stand-in"][0] / r["packed"][0]
            worst = max(worst, ratio)
            cells = " ".join(f"{r[k][0] * per:>7.3f}/{r[k][1] * per:<7.3f}" for k in ("prepare", "stand-in", "packed"))
            print(f"{n:>3} {name:>10} {count:>6} {cells} {ratio:>6.2f}")
    print(f"   worst execution ratio {worst:.2f} (goal <= 1.2)")


def pipeline_overhead(repeats, count=2000):
    n = 4
    gates = random_gates(np.random.default_rng(2), n, count)
    circ = Circ(n, gates)
    ex = CuCircuitExecutor(seed=1)
    ex._GATE_CHUNK_SIZE = 1

    def plain():
        state = dravik.DeviceState.zero_state(n, dtype="complex128", device="gpu")
        for gate in gates:
            prepared = dravik.prepare_fusion_chunk_gates(n, [gate], max_gates_per_group=512)
            dravik.execute_prepared_fusion_chunk(state, prepared)

    r = interleaved({"run": lambda: ex.run(circ), "plain loop": plain}, repeats)
    per = 1e6 / count
    print(f"2. pipeline overhead per chunk at n = {n}, {count} one-gate chunks, microseconds")
    print(f"   run {r['run'][0] * per:.1f}/{r['run'][1] * per:.1f}  plain loop "
          f"{r['plain loop'][0] * per:.1f}/{r['plain loop'][1] * per:.1f}  overhead (min) "
          f"{(r['run'][0] - r['plain loop'][0]) * per:.1f}  (goal <= 100)")


class NoExecution:
    """dravik with executions that do nothing: run() then costs what the calling thread does."""

    DeviceState = dravik.DeviceState
    prepare_fusion_chunk_gates = staticmethod(dravik.prepare_fusion_chunk_gates)

    @staticmethod
    def execute_prepared_fusion_chunk(state, prepared):
        return None


def overlap(repeats, chunks=6):
    """The calling thread flattens, chunks and prepares while the worker executes."""
    size = CuCircuitExecutor._GATE_CHUNK_SIZE
    ex = CuCircuitExecutor(seed=1)
    calling = CuCircuitExecutor(seed=1)
    calling.dravik = NoExecution
    rng = np.random.default_rng(3)

    def parts(n, count):
        gates = random_gates(rng, n, count)
        prepared = [dravik.prepare_fusion_chunk_gates(n, gates[k:k + size]) for k in range(0, count, size)]
        state = dravik.DeviceState.zero_state(n)

        def execute():
            for chunk in prepared:
                dravik.execute_prepared_fusion_chunk(state, chunk)
        return Circ(n, gates), execute

    best = None
    for n in range(8, 17):
        circ, execute = parts(n, size)
        r = interleaved({"prepare": lambda: calling.run(circ), "execute": execute}, 1)
        gap = abs(np.log(r["prepare"][0] / r["execute"][0]))
        if best is None or gap < best[0]:
            best = (gap, n)
    n = best[1]
    circ, execute = parts(n, size * chunks)
    r = interleaved({"run": lambda: ex.run(circ), "prepare": lambda: calling.run(circ), "execute": execute},
                    repeats)
    run, prep, exe = r["run"][0], r["prepare"][0], r["execute"][0]
    print(f"3. overlap at n = {n}, {chunks} chunks of {size} gates, milliseconds (min); preparation is all the")
    print("   calling thread does (flattening, chunking, dravik's preparation)")
    print(f"   prepare {prep * 1e3:.1f}  execute {exe * 1e3:.1f}  sum {(prep + exe) * 1e3:.1f}  run {run * 1e3:.1f}  "
          f"ratio {run / (prep + exe):.2f} (goal <= 0.9)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--gates", type=int, default=8192, help="gates per circuit at n = 10 and 16")
    parser.add_argument("--gates22", type=int, default=1024, help="gates per circuit at n = 22")
    args = parser.parse_args()
    print(f"OMP_NUM_THREADS={os.environ['OMP_NUM_THREADS']}, {args.repeats} interleaved repeats")
    execution_table(args.repeats, args.gates, args.gates22)
    pipeline_overhead(args.repeats)
    overlap(args.repeats)


if __name__ == "__main__":
    main()
