"""Storage and build cost of the packed gate store.

Prints bytes per gate (storage_bytes / len) and build time per gate for 10**6
gates of several mixes, the same circuit as a Python list of QuantumGate
(measured with tracemalloc), and the time of copy() on the largest store.

Run: bash dev.sh bench store [gates]
"""
import sys
import time
import tracemalloc

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.pelmor.strovane import OpchainPackedNative

N = int(sys.argv[1]) if len(sys.argv) > 1 else 10**6


def inline_mix(i):
    k = i % 3
    if k == 0:
        return QuantumGate("h", (i % 20,))
    if k == 1:
        return QuantumGate("cx", ((i + 1) % 20,), (i % 20,))
    return QuantumGate("rz", (i % 20,), parameter=(0.001 * i,))


def u_mix(i):
    if i % 2:
        return QuantumGate("u", (i % 20,), parameter=(0.1, 0.2, 0.001 * i))
    return QuantumGate("h", (i % 20,))


def mcx_mix(i):
    if i % 2:
        return QuantumGate("mcx", (i % 7 + 10,), (0, 1, 2))
    return QuantumGate("x", (i % 20,))


def measure_mix(i):
    if i % 4 == 0:
        return QuantumGate("measure", (i % 20,), classical_target=(i % 20,))
    return QuantumGate("h", (i % 20,))


def build(make):
    gates = [make(i) for i in range(N)]
    store = OpchainPackedNative()
    append = store.append_gate
    start = time.perf_counter()
    for g in gates:
        append(g)
    elapsed = time.perf_counter() - start
    return store, gates, elapsed


def list_bytes(make):
    tracemalloc.start()
    gates = [make(i) for i in range(N)]
    size, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del gates
    return size


def main():
    print(f"{N} gates per mix")
    print(f"{'mix':<10} {'bytes/gate':>11} {'build us/gate':>14}")
    stores = {}
    for name, make in [("inline", inline_mix), ("u", u_mix), ("mcx", mcx_mix), ("measure", measure_mix)]:
        store, gates, elapsed = build(make)
        stores[name] = (store, elapsed)
        print(f"{name:<10} {store.storage_bytes / len(store):>11.2f} {elapsed / N * 1e6:>14.3f}")
        del gates

    packed = stores["inline"][0].storage_bytes
    listed = list_bytes(inline_mix)
    print(f"list of QuantumGate (inline mix): {listed / N:.1f} bytes/gate, "
          f"{listed / packed:.1f}x the packed store")

    store, build_time = stores["inline"]
    reps = 1000
    start = time.perf_counter()
    for _ in range(reps):
        store.copy()
    copy_time = (time.perf_counter() - start) / reps
    print(f"copy() of the {N}-gate store: {copy_time * 1e6:.2f} us "
          f"({build_time / copy_time:.0f}x faster than building it)")


if __name__ == "__main__":
    main()
