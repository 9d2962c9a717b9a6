"""Memory and build time of a long circuit, by gate storage.

2,000,000 float-angle gates (H, RZ, CX and X in turn, on 20 qubits) are
built three ways, each in a fresh process so that its resident memory is its
own:
- `Circuit(20, gate_storage="list")` through its gate methods,
- `Circuit(20, gate_storage="packed")` through its gate methods,
- an `OpchainPackedNative` alone, through `append_fields`.
Per way it prints the resident memory the gates keep (bytes per gate, after
a garbage collection), the build time (microseconds per gate) and, for the
circuits, the time of a first and a second `execute` of the same gates on 10
qubits (the first one includes building what the executor walks) next to
`execute_gate_sequence_packed` on the store alone.

The ways run interleaved, in a new order each repeat; min and median are
printed. Threads: 1 (OMP_NUM_THREADS, set here unless given).

Run: bash dev.sh bench circuit_memory [repeats] [gates]
"""
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")

import gc  # noqa: E402
import json  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

WAYS = ("list", "packed", "store alone")
EXECUTE_QUBITS = 10


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def build_circuit(storage, n, count):
    from quorvex.core import Circuit

    c = Circuit(n, gate_storage=storage)
    h, rz, cx, x = c.h, c.rz, c.cx, c.x
    for i in range(count // 4):
        q = i % n
        h(q)
        rz(0.001 * i, q)
        cx(q, (q + 1) % n)
        x(q)
    return c


def build_store(n, count):
    from quorvex.backend.pelmor.strovane import OpchainPackedNative

    store = OpchainPackedNative()
    append = store.append_fields
    for i in range(count // 4):
        q = i % n
        append("h", (q,), (), (), None, None, None, None, None)
        append("rz", (q,), (), (), (0.001 * i,), None, None, None, None)
        append("cx", ((q + 1) % n,), (q,), (1,), None, None, None, None, None)
        append("x", (q,), (), (), None, None, None, None, None)
    return store


def measure(way, count):
    """One way, in this process: figures as a dict."""
    import numpy as np

    from quorvex.backend.pelmor.strovane import execute_gate_sequence_packed

    def build(n):
        return build_store(n, count) if way == "store alone" else build_circuit(way, n, count)

    build(8)  # warm up imports and allocator on a first, discarded build
    gc.collect()
    before = resident_bytes()
    start = time.perf_counter()
    built = build(20)
    seconds = time.perf_counter() - start
    gc.collect()
    figures = {"bytes_per_gate": (resident_bytes() - before) / count, "build_us": seconds / count * 1e6}
    del built
    gc.collect()

    n = EXECUTE_QUBITS
    built = build(n)
    runs = []
    for _ in range(2):
        start = time.perf_counter()
        if way == "store alone":
            state = np.zeros(1 << n, dtype=np.complex128)
            state[0] = 1
            execute_gate_sequence_packed(n, state, built)
        else:
            built.execute()
        runs.append(time.perf_counter() - start)
    figures["first_execute_s"], figures["second_execute_s"] = runs
    return figures


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--one":
        print(json.dumps(measure(sys.argv[2], int(sys.argv[3]))))
        return
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 2_000_000
    with open("/proc/loadavg") as load:
        print("load average: " + " ".join(load.read().split()[:3]))
    print("threads: OMP_NUM_THREADS=%s; gates: %d; repeats: %d" % (os.environ["OMP_NUM_THREADS"], count, repeats))
    samples = {way: [] for way in WAYS}
    for repeat in range(repeats):
        order = WAYS[repeat % 3:] + WAYS[:repeat % 3]
        for way in order:
            out = subprocess.run([sys.executable, __file__, "--one", way, str(count)], check=True,
                                 capture_output=True, text=True).stdout
            samples[way].append(json.loads(out))
    columns = [("bytes_per_gate", "memory, B/gate", 1), ("build_us", "build, us/gate", 1),
               ("first_execute_s", "1st execute n=%d, s" % EXECUTE_QUBITS, 1),
               ("second_execute_s", "2nd execute, s", 1)]
    for key, title, _ in columns:
        print(title)
        for way in WAYS:
            values = [figures[key] for figures in samples[way]]
            print("  %-12s min %10.3f   median %10.3f" % (way, min(values), statistics.median(values)))
    alone = min(figures["bytes_per_gate"] for figures in samples["store alone"])
    packed = min(figures["bytes_per_gate"] for figures in samples["packed"])
    print("packed Circuit memory / store alone: %.2f (goal <= 2)" % (packed / alone))


if __name__ == "__main__":
    main()
