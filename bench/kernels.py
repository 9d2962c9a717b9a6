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
  calls  the cost of one kernel call from Python at n = 10;
  policy a QFT-like circuit (H and controlled phases on every pair, then the
         reversing swaps) and the 200-gate random circuit of bench/executor.py
         through the packed executor on all threads at n = 20 and 24, under
         the default wait policy, OMP_WAIT_POLICY=ACTIVE and =PASSIVE (the
         former default), with no burner, on half and on all cores. The
         runtime fixes its policy when it loads, so each run is a fresh
         interpreter; the policies take turns. --spins N ... adds
         GOMP_SPINCOUNT=N runs beside them;
  targets n = 24 (or the largest --sizes), both precisions, one thread and all
         threads: H, RX and CX on every target 0 ... n - 1 (CX controlled by
         the highest other qubit, so every CX but the last touches the same
         half of the state; the last one touches a quarter no other CX does,
         which the cache may not hold), each as a ratio to the median of the
         eight highest targets, with the walk each gate took in this tree
         (H/RX/CX: each kind of gate, without and with controls, decides
         apart; QUORVEX_WALK, or the first gates of each class, decide it:
         twelve untimed rounds come first, so that every class has ended its
         first trial); then a random circuit
         of --circuit-gates gates through the packed executor, one thread and
         all threads. Both beside one or more baseline revisions (--baseline,
         default ee2564e, the one before the four-stream walk; "none" skips
         it), each built once into build/bench-baseline/ as bench/interrupt.py
         builds its own: each build runs in a worker process of its own, all
         timed in turn.

Times are the min and median of interleaved repeats. The default sizes are
reduced (n = 16, 20) to keep runs short on a shared machine; --full runs
n = 16, 20, 24, 26. The policy and targets sections always run n = 20, 24
and 24 unless --sizes names others.

    bash dev.sh bench kernels [--full] [--sizes N ...] [--repeat R] [--sections load swap ...]
                              [--spins N ...] [--circuit-dtype complex64|complex128]
                              [--baseline REV ...|none] [--circuit-gates G]
"""
import argparse
import ctypes
import os
import random
import statistics
import subprocess
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


POLICIES = {"default": {}, "ACTIVE": {"OMP_WAIT_POLICY": "ACTIVE"},
            "PASSIVE": {"OMP_WAIT_POLICY": "PASSIVE"}}
WAIT_VARIABLES = ("OMP_WAIT_POLICY", "GOMP_SPINCOUNT")


def qft_like(n):
    from quorvex.backend.pelmor.strovane import OpchainPackedNative
    store = OpchainPackedNative()
    for j in range(n):
        store.append_fields("h", (j,), (), (), None, None, None, None, None)
        for k in range(j + 1, n):
            store.append_fields("cp", (j,), (k,), (1,), (np.pi / 2 ** (k - j),), None, None, None,
                                None)
    for j in range(n // 2):
        store.append_fields("swap", (j, n - 1 - j), (), (), None, None, None, None, None)
    return store


def random_circuit(n, gates=200):
    from executor import circuit
    from quorvex.backend.pelmor.strovane import OpchainPackedNative
    store = OpchainPackedNative()
    for gid, targets, controls, states, params in circuit(np.random.default_rng(5), n, gates):
        store.append_fields(gid, targets, controls, states, params, None, None, None, None)
    return store


CIRCUITS = {"QFT-like": qft_like, "random": random_circuit}


def circuit_child(sizes, dtype, runs):
    """Runs in a fresh interpreter: prints one line per circuit and size,
    'name n gates threads time time ...' (seconds of the whole circuit)."""
    from quorvex.backend.pelmor.strovane import execute_gate_sequence_packed
    for n in sizes:
        state = np.zeros(2**n, dtype=dtype)
        for name, build in CIRCUITS.items():
            store = build(n)
            strovane.h_little(n, state, [], [], 0, True)  # start the team, touch the pages
            times = []
            for _ in range(runs):
                state[:] = 0
                state[0] = 1
                start = time.perf_counter()
                execute_gate_sequence_packed(n, state, store)
                times.append(time.perf_counter() - start)
            print(name, n, len(store), strovane.max_threads(), *times, flush=True)
        del state


def run_child(policy_env, sizes, dtype, runs):
    import subprocess
    env = {k: v for k, v in os.environ.items() if k not in WAIT_VARIABLES}
    env.update(policy_env)
    done = subprocess.run([sys.executable, "-P", os.path.abspath(__file__), "--child",
                           "--sizes", *map(str, sizes), "--circuit-dtype", dtype,
                           "--repeat", str(runs)],
                          env=env, capture_output=True, text=True, check=True)
    out = {}
    for line in done.stdout.splitlines():
        name, n, gates, threads, *times = line.split()
        out[(name, int(n))] = (int(gates), int(threads), [float(t) for t in times])
    return out


def section_policy(sizes, repeat, spins, dtype):
    policies = dict(POLICIES)
    for count in spins:
        policies[f"spin {count}"] = {"GOMP_SPINCOUNT": str(count)}
    runs = {n: 3 if n <= 20 else 1 for n in sizes}
    print(f"\n== circuits through the packed executor, all threads, {dtype}, per wait policy"
          f" (one interpreter per run, policies interleaved, {repeat} runs each; whole circuit,"
          f" min / median)")
    print(f"   {burners_line()}")
    worst_idle, worst_loaded = 0.0, 0.0
    for label, burners in under_loads():
        samples = {p: {} for p in policies}
        gates, threads = {}, None
        for _ in range(repeat):
            for policy, env in policies.items():
                for n in sizes:
                    for key, (gates_n, threads, times) in run_child(env, [n], dtype, runs[n]).items():
                        samples[policy].setdefault(key, []).extend(times)
                        gates[key] = gates_n
        print(f"   {label} ({threads} threads; load average {os.getloadavg()[0]:.1f}):")
        for key in samples["default"]:
            name, n = key
            medians = {p: statistics.median(samples[p][key]) for p in policies}
            cells = [f"{p} {fmt(min(samples[p][key]))} {fmt(medians[p])}" for p in policies]
            vs_active = medians["default"] / medians["ACTIVE"]
            vs_passive = medians["default"] / medians["PASSIVE"]
            if burners:
                worst_loaded = max(worst_loaded, vs_passive)
            else:
                worst_idle = max(worst_idle, vs_active)
            print(f"     n={n} {name:>8} ({gates[key]} gates): " + "; ".join(cells)
                  + f";  default/ACTIVE {vs_active:5.2f}, default/PASSIVE {vs_passive:5.2f}")
    print(f"   unloaded, worst default/ACTIVE median: {worst_idle:.2f} (goal <= 1.1);"
          f" loaded, worst default/PASSIVE median: {worst_loaded:.2f} (goal <= 1.0)")


def walk_hooks():
    """This build's walk hooks (see tests/test_kernels_streams.py), or None
    for a build that has none."""
    lib = ctypes.CDLL(strovane.__file__)
    if not hasattr(lib, "quorvex_gate_walk"):
        return None
    lib.quorvex_gate_walk.restype = ctypes.c_char_p
    lib.quorvex_gate_walk.argtypes = [ctypes.c_char_p] + [ctypes.c_int64] * 5
    return lib


def target_worker(dtype_name, gates):
    """Runs in a worker process of one build: builds its states once, then
    times what stdin asks, one line each, and prints the seconds:
      gate NAME DTYPE N TARGET OMP | circuit N OMP | walk GATE AMP_BYTES N TARGET CONTROLS OMP"""
    from quorvex.backend.pelmor.strovane import execute_gate_sequence_packed
    hooks = walk_hooks()
    print(strovane.max_threads(), flush=True)
    states, runs = {}, {}
    for line in sys.stdin:
        kind, *args = line.split()
        if kind == "gate":
            name, dtype, n, t, omp = args[0], np.dtype(args[1]), int(args[2]), int(args[3]), args[4] == "1"
            if (dtype, n) not in states:
                states[dtype, n] = random_state(n, dtype)
            c = n - 1 if t != n - 1 else n - 2
            call = gate(name, n, states[dtype, n], t, c, omp)
        elif kind == "circuit":
            n, omp = int(args[0]), args[1] == "1"
            if n not in runs:
                state = np.zeros(2**n, dtype=np.dtype(dtype_name))

                def run(omp, n=n, state=state, store=random_circuit(n, gates)):
                    state[:] = 0
                    state[0] = 1
                    start = time.perf_counter()
                    execute_gate_sequence_packed(n, state, store, runopenmp=omp)
                    return time.perf_counter() - start
                runs[n] = run
            print(runs[n](omp), flush=True)
            continue
        else:
            name, (amp, n, t, controls, omp) = args[0], (int(a) for a in args[1:])
            print(hooks.quorvex_gate_walk(name.encode(), amp, n, t, controls, omp).decode() if hooks else "-",
                  flush=True)
            continue
        start = time.perf_counter()
        call()
        print(time.perf_counter() - start, flush=True)


class TargetWorker:
    def __init__(self, site, dtype, gates):
        env = dict(os.environ)
        if site:
            env["PYTHONPATH"] = site
        self.proc = subprocess.Popen(
            # One word per option: bench/executor.py reads the bare words of argv.
            [sys.executable, "-P", os.path.abspath(__file__), "--target-worker",
             f"--circuit-dtype={dtype}", f"--circuit-gates={gates}"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        self.threads = int(self.proc.stdout.readline())

    def ask(self, *words):
        self.proc.stdin.write(" ".join(map(str, words)) + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


# Untimed rounds before the timed ones: enough for every class of near gates
# to have ended its trial of walks (twelve gates at most; CX is one a round).
WARMUP_ROUNDS = 12


def timed_in_turn(workers, cases, repeat, warmup=WARMUP_ROUNDS):
    """{(build, case): [seconds, ...]}: `warmup` untimed rounds, then `repeat`
    rounds in which each case runs in every build, the builds' order
    alternating from one round to the next. The cases come in a new order
    each round (the same in every run), so no case always follows the same
    one: in a fixed order the first CX cases always came right after RX had
    swept the whole state through the cache, and the later ones after CX
    cases that had left their half in it."""
    times = {}
    rng = random.Random(1)
    for rnd in range(repeat + warmup):
        cases = rng.sample(cases, len(cases))
        for case in cases:
            order = list(workers) if rnd % 2 == 0 else list(workers)[::-1]
            for build in order:
                took = float(workers[build].ask(*case))
                if rnd >= warmup:
                    times.setdefault((build, case), []).append(took)
    return times


def section_targets(n, repeat, baselines, dtype, gates):
    builds = {}
    print(f"\n== every target, n={n}: H, RX and CX (CX controlled by the highest other qubit),"
          f" time as a ratio to the median of the eight highest targets, min and median of {repeat}")
    from interrupt import baseline_site
    for rev in baselines:
        if rev != "none":
            site, described = baseline_site(rev)
            builds[rev] = site
            print(f"   before: {described}")
    builds["this tree"] = None
    workers = {name: TargetWorker(site, dtype, gates) for name, site in builds.items()}
    try:
        print("   threads: " + ", ".join(f"{b} {w.threads}" for b, w in workers.items())
              + f"; load average {os.getloadavg()[0]:.1f}")
        here = workers["this tree"]
        for omp in (False, True):
            for dt in DTYPES:
                name = np.dtype(dt).name
                cases = [("gate", g, name, n, t, int(omp)) for g in ("H", "RX", "CX")
                         for t in range(n)]
                times = timed_in_turn(workers, cases, repeat)
                # Each kind of gate, without and with controls, decides apart.
                walks = ["/".join(here.ask("walk", gate, np.dtype(dt).itemsize, n, t, controls, int(omp))
                                  for gate, controls in (("h", 0), ("rx", 0), ("x", 1))) for t in range(n)]
                print_targets(workers, times, walks, n, name, omp)
        section_random(workers, n, repeat, dtype, gates)
    finally:
        for w in workers.values():
            w.close()
    print(f"   load average {os.getloadavg()[0]:.1f} at the end")


def print_targets(workers, times, walks, n, dtype, omp):
    high = range(n - 8, n)
    ratios = {}  # (build, gate) -> [(min ratio, median ratio) per target]
    refs = {}
    for build in workers:
        for g in ("H", "RX", "CX"):
            got = [times[build, ("gate", g, dtype, n, t, int(omp))] for t in range(n)]
            ref_min = statistics.median(min(got[t]) for t in high)
            ref_med = statistics.median(statistics.median(got[t]) for t in high)
            refs[build, g] = (ref_min, ref_med)
            ratios[build, g] = [(min(x) / ref_min, statistics.median(x) / ref_med) for x in got]
    label = "all threads" if omp else "one thread"
    print(f"\n   {dtype}, {label}; reference (median of targets {n - 8}-{n - 1}), min / median: "
          + "; ".join(f"{g} " + ", ".join(f"{b} {fmt(refs[b, g][0]).strip()} {fmt(refs[b, g][1]).strip()}"
                                         for b in workers) for g in ("H", "RX", "CX")))
    head = "   ".join(f"{g + ' ' + b:>19}" for g in ("H", "RX", "CX") for b in workers)
    print(f"   {'t':>3} {'walk H/RX/CX':>22}   {head}   (ratio min / median)")
    for t in range(n):
        cells = "   ".join(f"{ratios[b, g][t][0]:9.2f} {ratios[b, g][t][1]:9.2f}"
                           for g in ("H", "RX", "CX") for b in workers)
        print(f"   {t:>3} {walks[t]:>22}   {cells}")
    goal = 1.15 if omp else 1.25
    for b in workers:
        worst = max(r[1] for g in ("H", "RX", "CX") for r in ratios[b, g])
        print(f"   {b}: worst median ratio {worst:.2f} (goal <= {goal})")
    median = {key: statistics.median(found) for key, found in times.items()}
    for b in workers:
        if b == "this tree":
            continue
        worst, g, t = max((median["this tree", c] / median[b, c], c[1], c[4])
                          for c in {case for _, case in times})
        print(f"   this tree / {b}, the worst median over every gate and target: {worst:.2f}"
              f" ({g} on target {t})")


def section_random(workers, n, repeat, dtype, gates):
    print(f"\n   random circuit, {gates} gates, n={n}, {dtype}, through the packed executor"
          f" (whole circuit, min / median of {repeat}):")
    cases = [("circuit", n, int(omp)) for omp in (False, True)]
    # The per-target scan before it has ended every class's trial of walks.
    times = timed_in_turn(workers, cases, repeat, warmup=1)
    for case in cases:
        label = "all threads" if case[2] else "one thread"
        cells = [f"{b} {fmt(min(times[b, case]))} {fmt(statistics.median(times[b, case]))}" for b in workers]
        print(f"     {label:>11}: " + ";  ".join(cells))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--full", action="store_true", help="n = 16, 20, 24, 26")
    parser.add_argument("--sizes", type=int, nargs="+")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sections", nargs="+",
                        default=["load", "copy", "swap", "calls", "policy", "targets"])
    parser.add_argument("--spins", type=int, nargs="*", default=[])
    parser.add_argument("--circuit-dtype", default="complex128", choices=["complex64", "complex128"])
    parser.add_argument("--baseline", nargs="+", default=["ee2564e"])
    parser.add_argument("--circuit-gates", type=int, default=120)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--target-worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return circuit_child(args.sizes, np.dtype(args.circuit_dtype), args.repeat)
    if args.target_worker:
        return target_worker(args.circuit_dtype, args.circuit_gates)
    sizes = args.sizes or ([16, 20, 24, 26] if args.full else [16, 20])

    print(f"OpenMP threads: {strovane.max_threads()}; vector width:"
          f" {os.environ.get('QUORVEX_SIMD', 'the widest this processor has')};"
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
    if "policy" in args.sections:
        section_policy(args.sizes or [20, 24], args.repeat, args.spins, args.circuit_dtype)
    if "targets" in args.sections:
        section_targets(max(args.sizes or [24]), args.repeat, args.baseline, args.circuit_dtype,
                        args.circuit_gates)
    print(f"\n({time.time() - start:.0f} s; load average {os.getloadavg()[0]:.1f} at the end)")


if __name__ == "__main__":
    main()
