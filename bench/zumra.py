"""Where the adiabatic solver spends its time.

For random complex Hermitian systems (N = 2, 4, 8 at kappa = 4 and 40) and the
module's seeded 64 x 64 demonstration system, prints per case: the number of
walk steps T, the circuit calls made and the gates recorded, the time of a
whole ZumraSolver call (logging off), the time spent inside Circuit.execute and
its share of the call, and the time of the packed executor alone on the same
gates (appended once to an OpchainPackedNative), with execute / packed.
Repeats are interleaved across the cases; min and median are shown.

Goals: at N <= 8 execution takes under half of the solve time; for the
demonstration, execute is within 1.2x of the packed executor alone.

Run: PYTHONPATH=.quorvex-site python -P bench/zumra.py [--repeats R] [--no-demo]
"""
import argparse
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")

import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from quorvex import core  # noqa: E402
from quorvex.backend.pelmor import strovane  # noqa: E402
from quorvex.backend.pelmor.strovane import OpchainPackedNative, execute_gate_sequence_packed  # noqa: E402
from quorvex.library.linear_solver import zumra  # noqa: E402


def hermitian(N, kappa, seed):
    rng = np.random.default_rng(seed)
    q, r = np.linalg.qr(rng.standard_normal((N, N)) + 1j * rng.standard_normal((N, N)))
    U = q * (np.diag(r) / abs(np.diag(r)))
    eig = np.concatenate([[1.0, kappa], rng.uniform(1.0, kappa, N - 2)])[:N] * rng.choice([-1, 1], N)
    A = (U * eig) @ U.conj().T
    b = rng.standard_normal(N) + 1j * rng.standard_normal(N)
    return (A + A.conj().T) / 2, b


def demonstration():
    np.random.seed(42)
    A = np.random.randn(64, 64)
    A = (A + A.T) / 2 + 10 * np.eye(64)
    return A, np.random.randn(64)


class ExecuteTimer:
    """Wraps Circuit.execute to add up the time spent inside it."""

    def __init__(self):
        self.original = core.Circuit.execute
        self.seconds = 0.0

    def __enter__(self):
        timer = self

        def execute(circuit, *args, **kwargs):
            start = time.perf_counter()
            try:
                return timer.original(circuit, *args, **kwargs)
            finally:
                timer.seconds += time.perf_counter() - start
        core.Circuit.execute = execute
        return self

    def __exit__(self, *exc):
        core.Circuit.execute = self.original


def packed_alone(qc):
    store = OpchainPackedNative()
    for gate in qc.gate_sequence.data():
        store.append_gate(gate)
    n = qc.get_num_qubits()

    def run():
        state = np.zeros(2 ** n, dtype=np.complex128)
        state[0] = 1
        start = time.perf_counter()
        execute_gate_sequence_packed(n, state, store)
        return time.perf_counter() - start
    return run


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-demo", action="store_true")
    args = parser.parse_args()

    cases = [(f"N={N} kappa={kappa}", *hermitian(N, kappa, seed))
             for seed, (N, kappa) in enumerate((N, k) for k in (4, 40) for N in (2, 4, 8))]
    if not args.no_demo:
        cases.append(("demo 64x64", *demonstration()))

    times = {name: {"solve": [], "execute": [], "packed": []} for name, _, _ in cases}
    info = {}
    for _ in range(args.repeats):
        for name, A, b in cases:
            with ExecuteTimer() as timer:
                start = time.perf_counter()
                qc, x, scale = zumra.ZumraSolver(A, b, logging=False)
                times[name]["solve"].append(time.perf_counter() - start)
            times[name]["execute"].append(timer.seconds)
            times[name]["packed"].append(packed_alone(qc)())
            n_sys = qc.get_num_qubits() - 5
            # The solver's T: from the condition number of the normalised A.
            steps = int(np.ceil(10 * np.linalg.cond(A / np.linalg.norm(A, 2))))
            steps += steps % 2
            info[name] = (len(b), steps, 1 + steps * (4 * n_sys + 27), len(qc.gate_sequence.data()))

    print(f"threads: OMP_NUM_THREADS={os.environ['OMP_NUM_THREADS']} "
          f"(max_threads {strovane.max_threads()}); {args.repeats} interleaved repeats; times in ms, min / median")
    print(f"{'case':<18}{'T':>6}{'calls':>8}{'gates':>8}{'solve':>20}{'execute':>20}{'share':>7}"
          f"{'packed alone':>20}{'exec/packed':>12}")
    for name, _, _ in cases:
        t = times[name]
        N, steps, calls, gates = info[name]

        def fmt(values):
            return f"{min(values) * 1e3:9.1f} /{statistics.median(values) * 1e3:9.1f}"
        share = statistics.median(t["execute"]) / statistics.median(t["solve"])
        ratio = min(t["execute"]) / min(t["packed"])
        print(f"{name:<18}{steps:>6}{calls:>8}{gates:>8}{fmt(t['solve']):>20}{fmt(t['execute']):>20}"
              f"{share:>7.2f}{fmt(t['packed']):>20}{ratio:>12.2f}")


if __name__ == "__main__":
    main()
