"""Per-gate cost of execute_gate_sequence_packed.

For random circuits of 1- and 2-qubit gates (10**4 gates by default) at
n = 10, 16, 22 in both precisions, prints the time per gate of
  - the packed executor (one native call for the whole store),
  - the same gates as per-gate Python calls of the kernel functions,
  - the kernel-only estimate: the per-gate Python calls minus the cost of the
    same calls on a 1-qubit state, where the kernels do almost nothing and
    what remains is argument conversion and checking,
and the executor's overhead per gate (executor minus kernel-only).

Then, for a 200-gate random circuit, the executor's time per gate with one
thread (runopenmp=False) and with all threads, with no CPU burner, with
burners on half the cores and on every core (bench/load.py), at n = 16, 20
(--full: 16, 20, 24, 26), both precisions; and the cost of building gates:
QuantumGate construction, add_gate of built gates, both together, beside
appending the same built gates to a Python list.

Run: PYTHONPATH=.quorvex-site python -P bench/executor.py [gates] [--full]
"""
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from load import burners_line, fmt, interleaved, under_loads  # noqa: E402

from quorvex.backend.pelmor import strovane as S
from quorvex.backend.pelmor.strovane import OpchainPackedNative, execute_gate_sequence_packed

FULL = "--full" in sys.argv
ARGS = [a for a in sys.argv[1:] if not a.startswith("--")]
GATES = int(ARGS[0]) if ARGS else 10**4
ONE = ["h", "x", "rz", "rx", "s", "t", "u"]
TWO = ["cx", "cz", "swap", "rzz", "cp"]


def circuit(rng, n, count):
    gates = []
    for _ in range(count):
        if rng.random() < 0.5:
            gid = ONE[rng.integers(len(ONE))]
            q = int(rng.integers(n))
            params = (float(rng.uniform(-3, 3)),) if gid in ("rz", "rx") else (
                tuple(rng.uniform(-3, 3, 3).tolist()) if gid == "u" else None)
            gates.append((gid, (q,), (), (), params))
        else:
            gid = TWO[rng.integers(len(TWO))]
            a, b = (int(v) for v in rng.choice(n, 2, replace=False))
            if gid in ("swap", "rzz"):
                gates.append((gid, (a, b), (), (), (0.7,) if gid == "rzz" else None))
            else:
                gates.append((gid, (b,), (a,), (1,), (0.3,) if gid == "cp" else None))
    return gates


def calls(gates):
    """Per-gate Python calls of the kernel functions, as closures over a state."""
    out = []
    for gid, targets, controls, states, params in gates:
        c, v = list(controls), list(states)
        if gid in ("h", "x", "s", "cx", "cz"):
            fn = {"h": S.h_little, "x": S.x_little, "s": S.s_little, "cx": S.x_little, "cz": S.z_little}[gid]
            out.append(lambda st, n, fn=fn, c=c, v=v, t=targets[0]: fn(n, st, c, v, t))
        elif gid in ("rz", "rx", "cp", "t"):
            fn = {"rz": S.rz_little, "rx": S.rx_little, "cp": S.phase_little, "t": S.phase_little}[gid]
            angle = np.pi / 4 if gid == "t" else params[0]
            out.append(lambda st, n, fn=fn, c=c, v=v, t=targets[0], a=angle: fn(n, st, c, v, t, a))
        elif gid == "u":
            out.append(lambda st, n, c=c, v=v, t=targets[0], p=list(params): S.u_little(n, st, c, v, t, p))
        elif gid == "swap":
            out.append(lambda st, n, c=c, v=v, t=list(targets): S.swap_little(n, st, c, v, t))
        elif gid == "rzz":
            a, b = targets
            th = params[0]
            out.append(lambda st, n, a=a, b=b, th=th: (S.x_little(n, st, [a], [1], b),
                                                       S.rz_little(n, st, [], [], b, th),
                                                       S.x_little(n, st, [a], [1], b)))
    return out


def timed(fn, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    rng = np.random.default_rng(1)
    print(f"{GATES} gates per circuit; times per gate in microseconds")
    print(f"{'n':>3} {'dtype':>10} {'executor':>10} {'py calls':>10} {'kernel':>10} {'overhead':>10}")
    for n in (10, 16, 22):
        count = GATES if n < 22 else max(GATES // 10, 100)
        gates = circuit(rng, n, count)
        store = OpchainPackedNative()
        for gid, targets, controls, states, params in gates:
            store.append_fields(gid, targets, controls, states, params, None, None, None, None)
        # The same gate kinds on one and two qubits, for the call overhead.
        small = [(g[0], (0,) if len(g[1]) == 1 else (0, 1), (1,) if g[2] else (),
                  g[3], g[4]) for g in circuit(np.random.default_rng(2), 2, count)]
        for dtype in (np.complex64, np.complex128):
            state = np.zeros(2**n, dtype=dtype)
            state[0] = 1
            t_exec = timed(lambda: execute_gate_sequence_packed(n, state, store))
            fns = calls(gates)
            t_py = timed(lambda: [fn(state, n) for fn in fns])
            tiny = np.zeros(4, dtype=dtype)
            fns_small = calls(small)
            t_overhead = timed(lambda: [fn(tiny, 2) for fn in fns_small])
            kernel = max(t_py - t_overhead, 0.0)
            per = 1e6 / count
            print(f"{n:>3} {np.dtype(dtype).name:>10} {t_exec * per:>10.3f} {t_py * per:>10.3f} "
                  f"{kernel * per:>10.3f} {(t_exec - kernel) * per:>10.3f}")


def loaded():
    sizes = [16, 20, 24, 26] if FULL else [16, 20]
    count = 200
    print(f"\n{count}-gate random circuit: executor time per gate, min / median of interleaved"
          f" repeats; {burners_line()}")
    print(f"{'n':>3} {'dtype':>10} {'load':>13}  {'1 thread min':>12} {'median':>11}"
          f"  {'all min':>11} {'median':>11}  par/ser")
    stores = {}
    for n in sizes:
        stores[n] = OpchainPackedNative()
        for gid, targets, controls, states, params in circuit(np.random.default_rng(5), n, count):
            stores[n].append_fields(gid, targets, controls, states, params, None, None, None, None)
    worst = 0.0
    for label, burners in under_loads():
        for n, dtype in [(n, dtype) for n in sizes for dtype in (np.complex64, np.complex128)]:
            state = np.zeros(2**n, dtype=dtype)
            state[0] = 1
            res = interleaved([lambda omp=omp: execute_gate_sequence_packed(
                n, state, stores[n], runopenmp=omp) for omp in (False, True)], 7 if n <= 20 else 3)
            (s_min, s_med), (p_min, p_med) = [(a / count, b / count) for a, b in res]
            if burners:
                worst = max(worst, p_med / s_med)
            print(f"{n:>3} {np.dtype(dtype).name:>10} {label:>13}  {fmt(s_min)}  {fmt(s_med)}"
                  f"  {fmt(p_min)} {fmt(p_med)}  {p_med / s_med:6.2f}")
            del state
    print(f"loaded, worst parallel/serial median: {worst:.2f} (goal <= 1.2)")


def building():
    from quorvex.backend.gate.morlith import QuantumGate
    from quorvex.backend.opchain.packed import OpchainPacked

    count = 20000
    specs = []
    for i in range(count):
        q = i % 10
        specs.append([dict(id="h", target=q), dict(id="rx", target=q, parameter=0.3),
                      dict(id="cx", target=q, control=(q + 1) % 10),
                      dict(id="u", target=q, parameter=(0.1, 0.2, 0.3))][i % 4])
    gates = [QuantumGate(**spec) for spec in specs]

    def construct():
        for spec in specs:
            QuantumGate(**spec)

    def add_built():
        add = OpchainPacked(10).add_gate
        for gate in gates:
            add(gate)

    def construct_and_add():
        add = OpchainPacked(10).add_gate
        for spec in specs:
            add(QuantumGate(**spec))

    def construct_and_list():
        out = []
        for spec in specs:
            out.append(QuantumGate(**spec))

    def list_built():
        out = []
        for gate in gates:
            out.append(gate)

    labels = ["QuantumGate()", "add_gate (built gates)", "QuantumGate() + add_gate",
              "QuantumGate() + list.append", "list.append (built gates)"]
    res = interleaved([construct, add_built, construct_and_add, construct_and_list, list_built], 5)
    print(f"\ngate building, time per gate (min / median of 5, {count} gates: h, rx, cx, u);"
          f" goal add_gate <= 3 µs")
    for label, (best, median) in zip(labels, res):
        print(f"  {label:30s} {fmt(best / count)} {fmt(median / count)}")


if __name__ == "__main__":
    main()
    loaded()
    building()
