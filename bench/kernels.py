"""Throughput of the state-vector kernels of strovane, unloaded and loaded.

Sections (all by default, or those named with --sections):
  load   serial (runopenmp=False) and parallel time per gate of H and CX on a
         middle qubit, for each size and precision, with no CPU burner, with
         burners on half the cores and on every core (bench/load.py);
  copy   one thread: H, RX and CX beside a NumPy copy of the same array (the
         gates move the same bytes); all threads: H and RX at the largest size
         as a fraction of the copy bandwidth;
  swap   one thread: SWAP on a low, a middle and a high pair beside a NumPy
         three-copy swap of the same blocks;
  calls  the cost of one kernel call from Python at n = 10.

Times are the min and median of interleaved repeats. The default sizes are
reduced (n = 16, 20) to keep runs short on a shared machine; --full runs
n = 16, 20, 24, 26.

    python bench/kernels.py [--full] [--sizes N ...] [--repeat R] [--sections load swap ...]
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from load import burners_line, fmt, interleaved, under_loads  # noqa: E402

from quorvex.backend.pelmor import strovane  # noqa: E402

DTYPES = (np.complex64, np.complex128)


def random_state(n, dtype, seed=0):
    rng = np.random.default_rng(seed)
    return (rng.normal(size=2**n) + 1j * rng.normal(size=2**n)).astype(dtype) / 2**(n / 2)


def gate(name, n, st, t, other, runopenmp):
    if name == "H":
        return lambda: strovane.h_little(n, st, [], [], t, runopenmp)
    if name == "RX":
        return lambda: strovane.rx_little(n, st, [], [], t, 0.3, runopenmp)
    if name == "CX":
        return lambda: strovane.x_little(n, st, [other], [1], t, runopenmp)
    if name == "SWAP":
        return lambda: strovane.swap_little(n, st, [], [], [t, other], runopenmp)
    raise ValueError(name)


def repeats_for(n, base):
    return base * max(1, 2 ** max(0, 22 - n) // 8) if n < 22 else base


def section_load(sizes, repeat):
    print("\n== serial and parallel time per gate (H and CX on qubit n/2), min / median")
    print(f"   {burners_line()}")
    print(f"   {'n':>3} {'dtype':>10} {'gate':>4} {'load':>13}  {'serial min':>11} {'median':>11}"
          f"  {'parallel min':>12} {'median':>11}  par/ser")
    worst = 0.0
    for label, burners in under_loads():
        for n, dtype in [(n, dtype) for n in sizes for dtype in DTYPES]:
            st = random_state(n, dtype)
            t = n // 2
            for name in ("H", "CX"):
                calls = [gate(name, n, st, t, t + 1, omp) for omp in (False, True)]
                (s_min, s_med), (p_min, p_med) = interleaved(calls, repeats_for(n, repeat))
                ratio = p_med / s_med
                if burners:
                    worst = max(worst, ratio)
                print(f"   {n:>3} {np.dtype(dtype).name:>10} {name:>4} {label:>13}  "
                      f"{fmt(s_min)} {fmt(s_med)}  {fmt(p_min)}  {fmt(p_med)}  {ratio:6.2f}")
            del st
    print(f"   loaded, worst parallel/serial median: {worst:.2f} (goal <= 1.2)")


def copy_time(st, repeat):
    scratch = np.empty_like(st)
    (best, _), = interleaved([lambda: np.copyto(scratch, st)], repeat)
    return best


def section_copy(sizes, repeat):
    print("\n== one thread, gates beside a NumPy copy of the same array (min times)")
    for n in [s for s in sizes if s >= 20][:1] or sizes[-1:]:
        for dtype in DTYPES:
            st = random_state(n, dtype)
            copy = copy_time(st, repeats_for(n, repeat))
            cells = []
            for name in ("H", "RX", "CX"):
                for where, (t, other) in {"low": (0, 1), "mid": (n // 2, n // 2 + 1),
                                          "high": (n - 1, n - 2)}.items():
                    (best, _), = interleaved([gate(name, n, st, t, other, False)],
                                             repeats_for(n, repeat))
                    cells.append(f"{name} {where} {best / copy:4.2f}")
            print(f"   n={n} {np.dtype(dtype).name:>10}: copy {fmt(copy)};  gate/copy: "
                  + ", ".join(cells) + "  (goal <= 1.0)")
    n = max(sizes)
    print(f"\n== all threads, n={n}: 1-qubit gates as a fraction of the copy bandwidth")
    for dtype in DTYPES:
        st = random_state(n, dtype)
        copy = copy_time(st, repeat)
        cells = []
        for name in ("H", "RX"):
            for where, t in {"low": 0, "mid": n // 2, "high": n - 1}.items():
                (best, _), = interleaved([gate(name, n, st, t, 0, True)], repeat)
                cells.append(f"{name} {where} {copy / best:4.0%}")
        print(f"   {np.dtype(dtype).name:>10}: copy {fmt(copy)}; " + ", ".join(cells)
              + "  (goal >= 80%)")


def numpy_swap(st, n, a, b):
    """Three-copy swap of the blocks with (bit a, bit b) = (0, 1) and (1, 0)."""
    lo, hi = min(a, b), max(a, b)
    view = st.reshape(2 ** (n - hi - 1), 2, 2 ** (hi - lo - 1), 2, 2 ** lo)
    x, y = view[:, 0, :, 1, :], view[:, 1, :, 0, :]

    def run():
        tmp = x.copy()
        x[...] = y
        y[...] = tmp
    return run


def section_swap(sizes, repeat):
    print("\n== one thread, SWAP on low / middle / high pairs beside a NumPy three-copy swap")
    for n in sizes:
        for dtype in DTYPES:
            st = random_state(n, dtype)
            pairs = {"low": (0, 1), "mid": (n // 2, n // 2 + 1), "high": (n - 1, n - 2)}
            calls = []
            for t, other in pairs.values():
                calls += [gate("SWAP", n, st, t, other, False), numpy_swap(st, n, t, other)]
            res = interleaved(calls, repeats_for(n, repeat))
            mid = res[2][0]
            cells = [f"{where} {fmt(res[2 * i][0])} (numpy {fmt(res[2 * i + 1][0])},"
                     f" {res[2 * i][0] / res[2 * i + 1][0]:4.2f}x numpy, {res[2 * i][0] / mid:4.2f}x mid)"
                     for i, where in enumerate(pairs)]
            print(f"   n={n:>2} {np.dtype(dtype).name:>10}: " + "; ".join(cells))
    print("   goals: within 1.2x numpy and 2x the middle pair")


def section_calls(repeat):
    n, count = 10, 20000
    print(f"\n== kernel call from Python at n={n} (time per call, {count} calls, min of {repeat})")
    for dtype in DTYPES:
        st = random_state(n, dtype)
        cells = []
        for label, call in [
            ("h_little", lambda: strovane.h_little(n, st, [], [], 3)),
            ("rx_little", lambda: strovane.rx_little(n, st, [], [], 3, 0.3)),
            ("x_little ctrl", lambda: strovane.x_little(n, st, [5], [1], 3)),
        ]:
            def many(call=call):
                for _ in range(count):
                    call()
            (best, _), = interleaved([many], repeat)
            cells.append(f"{label} {fmt(best / count)}")
        print(f"   {np.dtype(dtype).name:>10}: " + ", ".join(cells) + "  (goal <= 1.5 µs)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--full", action="store_true", help="n = 16, 20, 24, 26")
    parser.add_argument("--sizes", type=int, nargs="+")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sections", nargs="+", default=["load", "copy", "swap", "calls"])
    args = parser.parse_args()
    sizes = args.sizes or ([16, 20, 24, 26] if args.full else [16, 20])

    print(f"OpenMP threads: {strovane.max_threads()}; vector width:"
          f" {getattr(strovane, '_simd', 'sse (single build)')};"
          f" OMP_WAIT_POLICY={os.environ.get('OMP_WAIT_POLICY', '(unset)')},"
          f" GOMP_SPINCOUNT={os.environ.get('GOMP_SPINCOUNT', '(unset)')};"
          f" {os.cpu_count()} cores; load average {os.getloadavg()[0]:.1f} at start")
    start = time.time()
    if "load" in args.sections:
        section_load(sizes, args.repeat)
    if "copy" in args.sections:
        section_copy(sizes, args.repeat)
    if "swap" in args.sections:
        section_swap(sizes, args.repeat)
    if "calls" in args.sections:
        section_calls(args.repeat)
    print(f"\n({time.time() - start:.0f} s; load average {os.getloadavg()[0]:.1f} at the end)")


if __name__ == "__main__":
    main()
