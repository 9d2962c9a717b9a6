"""Throughput of the state-vector kernels of strovane.

For each qubit count and precision, prints the time per gate and the
effective bandwidth (2 × 2**n × element size bytes per gate, whatever the
gate touches) of H, RX, CX, SWAP and a 2-qubit unitary on a low, a middle and
a high target, with one thread (runopenmp=False) and with all OpenMP threads,
next to the bandwidth of a plain NumPy copy of the same array.

    python bench/kernels.py [--sizes 20 24 26] [--repeat 3]
"""
import argparse
import time

import numpy as np

from quorvex.backend.pelmor import strovane

GATES = ["H", "RX", "CX", "SWAP", "U2"]


def placements(n):
    """Target (and partner) qubits for the low, middle and high positions."""
    mid = n // 2
    return {"low": (0, 1), "mid": (mid, mid + 1), "high": (n - 1, n - 2)}


def gate_call(name, n, state, pair, runopenmp, matrix):
    t, other = pair
    if name == "H":
        return lambda: strovane.h_little(n, state, [], [], t, runopenmp)
    if name == "RX":
        return lambda: strovane.rx_little(n, state, [], [], t, 0.3, runopenmp)
    if name == "CX":
        return lambda: strovane.x_little(n, state, [other], [1], t, runopenmp)
    if name == "SWAP":
        return lambda: strovane.swap_little(n, state, [], [], [t, other], runopenmp)
    if name == "U2":
        return lambda: strovane.unitary_little(n, state, [], [], [t, other], matrix, runopenmp)
    raise ValueError(name)


def best_time(call, repeat):
    call()  # first touch, thread pool start
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[20, 24, 26])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    print(f"OpenMP threads available: {strovane.max_threads()}")
    rng = np.random.default_rng(0)
    q, _ = np.linalg.qr(rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4)))
    summary = []
    for n in args.sizes:
        for dtype in (np.complex64, np.complex128):
            state = np.zeros(2**n, dtype)
            state[0] = 1
            scratch = np.empty_like(state)
            nbytes = 2 * state.nbytes
            copy_time = best_time(lambda: np.copyto(scratch, state), args.repeat)
            copy_bw = nbytes / copy_time / 1e9
            del scratch
            print(f"\nn={n} {np.dtype(dtype).name}: {state.nbytes / 2**20:.0f} MiB,"
                  f" NumPy copy {copy_time * 1e3:.2f} ms = {copy_bw:.1f} GB/s")
            print(f"  {'gate':5} {'where':5} {'1 thread':>22} {'all threads':>22}  of copy")
            matrix = q.astype(dtype)
            for name in GATES:
                for where, pair in placements(n).items():
                    cells = []
                    for runopenmp in (False, True):
                        call = gate_call(name, n, state, pair, runopenmp, matrix)
                        t = best_time(call, args.repeat)
                        cells.append((t, nbytes / t / 1e9))
                    ratio = cells[1][1] / copy_bw
                    if n == max(args.sizes) and name in ("H", "RX"):
                        summary.append((np.dtype(dtype).name, name, where, ratio))
                    print(f"  {name:5} {where:5}"
                          + "".join(f" {t * 1e3:9.2f} ms {bw:6.1f} GB/s" for t, bw in cells)
                          + f"  {ratio:6.0%}")
            del state
    if summary:
        worst = min(summary, key=lambda s: s[3])
        print(f"\nsingle-qubit gates at n={max(args.sizes)}, all threads: worst"
              f" {worst[3]:.0%} of the copy bandwidth ({worst[0]} {worst[1]} {worst[2]});"
              f" goal 80%")


if __name__ == "__main__":
    main()
