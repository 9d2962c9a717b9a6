"""Chebyshev/LCU solver and Dorrin block encoding: where the time goes.

0. The Chebyshev coefficients at epsilon = 0.01: the polynomial's measured
   max error against 1/x on [1/kappa, 1] for kappa = 100, 1,000 and 10,000
   (goal: at most epsilon), with the table bdtrc alone gave beside it; and the
   time of one coefficient table, now and with bdtrc alone, where bdtrc alone
   is accurate (goal: within 2x).
1. TiberqSolver on random symmetric positive definite systems (N = 2 ... 16,
   kappa = 10 and 40, epsilon = 0.01): solve time and the share spent in
   Circuit.execute.
   The ill-conditioned 2x2 system A = Q diag(1, 1/kappa) Q^T of the test
   suite at kappa = 1,000 and 10,000 (the suite checks smaller kappas on the
   same path, the accurate binomial tails): solve time, relative error
   against NumPy (goal: at most 1e-4) and the process's peak resident memory.
2. The controlled terms alone, appended as the LCU builder does, through one
   Circuit.execute, per term, beside NumPy's product of each term's matrix with
   its own slice of the (index, system) grid: a controlled term should touch
   only its slice (goal: at most 1.5x the product).
3. Dorrin.encode beside the same dilation written in NumPy (spectral norm, two
   eigh, block), N = 4 ... 256 (goal: at most 1.5x for N >= 64), with the
   encoding's accuracy.

4. Import order (--import-order, alone): TiberqSolver on the kappa = 1,000
   system of 1., in a fresh interpreter each run, PyTorch imported before
   quorvex and after it, under a busy loop on each core, on OMP_NUM_THREADS
   OpenMP threads if the shell sets it, else one per core (goal: torch first
   within 1.5x quorvex first). --baseline REV runs the same on an earlier
   revision, built once into build/bench-baseline/; a run past --timeout
   seconds is stopped, shown as such and not run again.

BLAS runs on one thread: threaded BLAS on a loaded machine makes small dense
products orders of magnitude slower.

Run: bash dev.sh bench tiberq [--repeat 5] [--quick]
     bash dev.sh bench tiberq --import-order [--repeat 3] [--baseline REV] [--timeout 300]
"""
import os

# The import-order runs take the shell's environment, not this process's
# defaults: PyTorch's runtime takes MKL_NUM_THREADS as its thread count, and
# a quorvex that ran on that runtime ran on as many.
_SHELL_ENV = dict(os.environ)
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse
import resource
import statistics
import subprocess
import sys
import time

import numpy as np
from scipy.special import bdtrc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import quorvex
from quorvex.backend.pelmor import strovane
from quorvex.core import Circuit, Register
from quorvex.library.block_encoding.dorrin.dorrin import Dorrin
from quorvex.library.linear_solver.tiberq import (
    TiberqSolver, _compute_chebyshev_coeffs_tiberq, _compute_kappa)


def spd_system(rng, n, kappa):
    Q, _ = np.linalg.qr(rng.normal(size=(n, n)))
    w = np.concatenate(([1.0, kappa], rng.uniform(1, kappa, size=max(n - 2, 0))))[:n]
    if n == 1:
        w = np.array([1.0])
    return (Q * w) @ Q.T, rng.normal(size=n)


def interleaved(funcs, repeat):
    """Runs every function once per round, `repeat` rounds; min and median."""
    times = {name: [] for name in funcs}
    for _ in range(repeat):
        for name, func in funcs.items():
            start = time.perf_counter()
            func()
            times[name].append(time.perf_counter() - start)
    return {name: (min(t), statistics.median(t)) for name, t in times.items()}


class ExecuteTimer:
    """Adds up the time spent inside Circuit.execute."""

    def __init__(self):
        self.total = 0.0
        self._execute = Circuit.execute

    def __enter__(self):
        timer = self

        def timed(circuit, *args, **kwargs):
            start = time.perf_counter()
            try:
                return timer._execute(circuit, *args, **kwargs)
            finally:
                timer.total += time.perf_counter() - start

        Circuit.execute = timed
        return self

    def __exit__(self, *exc):
        Circuit.execute = self._execute


def bdtrc_coefficients(kappa, epsilon):
    """The coefficient table as bdtrc alone gave it (before the accurate tails)."""
    b = int(np.ceil(kappa ** 2 * np.log(kappa / epsilon)))
    j0 = int(np.ceil(np.sqrt(b * np.log(4 * b / epsilon))))
    j = np.arange(j0 + 1)
    c_k = 4.0 * (-1) ** j * bdtrc(b + j, 2 * b, 0.5)
    mask = np.abs(c_k) > 1e-8
    return {int(2 * jj + 1): float(c) for jj, c in zip(j[mask], c_k[mask])}, b, j0


def max_error(coeffs, kappa):
    """max |sum_k c_k T_k(x) - 1/x| on [1/kappa, 1], on 4000 points dense near 1/kappa."""
    if not coeffs:
        return float("nan")
    x = np.concatenate([np.geomspace(1 / kappa, 1, 2000), np.linspace(1 / kappa, 1, 2000)])
    series = np.zeros(max(coeffs) + 1)
    series[list(coeffs)] = list(coeffs.values())
    return float(np.max(np.abs(np.polynomial.chebyshev.chebval(x, series) - 1 / x)))


def coefficient_rows(repeat, quick):
    print("Chebyshev coefficients, epsilon = 0.01: max |p(x) - 1/x| on [1/kappa, 1] (goal <= epsilon)")
    print(f"  {'kappa':>6} {'b':>11} {'terms':>6} {'error now':>11} {'bdtrc alone':>12}")
    for kappa in (100, 1000) if quick else (100, 1000, 10000):
        coeffs, b, _ = _compute_chebyshev_coeffs_tiberq(kappa, 0.01)
        old, _, _ = bdtrc_coefficients(kappa, 0.01)
        shown = f"{max_error(old, kappa):.6g}" if old else "no terms"
        print(f"  {kappa:>6} {b:>11} {len(coeffs):>6} {max_error(coeffs, kappa):>11.6g} {shown:>12}")
    print("time of one coefficient table where bdtrc alone is accurate, us (min / median), goal <= 2x")
    print(f"  {'kappa':>8} {'epsilon':>7} {'now':>16} {'bdtrc alone':>16} {'ratio':>6}")
    calls = 50
    for kappa, epsilon in ((1.0, 0.01), (10.0, 0.01), (16.19, 0.1), (40.0, 0.01)):
        def now():
            for _ in range(calls):
                _compute_chebyshev_coeffs_tiberq(kappa, epsilon)

        def alone():
            for _ in range(calls):
                bdtrc_coefficients(kappa, epsilon)

        t = interleaved({"now": now, "alone": alone}, max(repeat, 20))
        n, a = (np.array(t["now"]) / calls * 1e6, np.array(t["alone"]) / calls * 1e6)
        print(f"  {kappa:>8g} {epsilon:>7g} {n[0]:>7.1f} / {n[1]:>6.1f} {a[0]:>7.1f} / {a[1]:>6.1f}"
              f" {n[0] / a[0]:>6.2f}")


def solve_rows(sizes, kappas, repeat):
    print("TiberqSolver, epsilon = 0.01 (min / median over interleaved repeats)")
    print(f"  {'N':>3} {'kappa':>6} {'terms':>5} {'qubits':>6} {'solve s':>16} {'execute share':>13}")
    rng = np.random.default_rng(11)
    for kappa in kappas:
        for n in sizes:
            A, b = spd_system(rng, n, kappa)
            coeffs, _, _ = _compute_chebyshev_coeffs_tiberq(_compute_kappa(A), 0.01)
            shares = []

            def solve():
                with ExecuteTimer() as timer:
                    start = time.perf_counter()
                    circuit, _, _ = TiberqSolver(A, b, logging=False)
                    shares.append(timer.total / (time.perf_counter() - start))
                solve.qubits = circuit.get_num_qubits()

            t = interleaved({"solve": solve}, repeat)["solve"]
            print(f"  {n:>3} {kappa:>6g} {len(coeffs):>5} {solve.qubits:>6}"
                  f" {t[0]:>7.3f} / {t[1]:>6.3f} {statistics.median(shares):>12.0%}")


def ill_conditioned_system(kappa):
    """A = Q diag(1, 1/kappa) Q^T and a right-hand side with a known solution."""
    Q = np.array([[0.8, -0.6], [0.6, 0.8]])
    A = Q @ np.diag([1.0, 1.0 / kappa]) @ Q.T
    return A, A @ (Q @ [1.0, -2.0])


def ill_conditioned_rows(kappas):
    print("TiberqSolver, epsilon = 0.01, on A = Q diag(1, 1/kappa) Q^T (one run each; goal: error <= 1e-4)")
    print(f"  {'kappa':>6} {'terms':>6} {'solve s':>8} {'rel. error':>10} {'peak RSS MB':>11}")
    for kappa in kappas:
        A, b = ill_conditioned_system(kappa)
        coeffs, _, _ = _compute_chebyshev_coeffs_tiberq(_compute_kappa(A), 0.01)
        start = time.perf_counter()
        _, x, _ = TiberqSolver(A, b, epsilon=0.01, logging=False)
        elapsed = time.perf_counter() - start
        exact = np.linalg.solve(A, b)
        error = np.max(np.abs(x - exact)) / np.max(np.abs(exact))
        # ru_maxrss is the peak of the whole process so far, in KiB: rows go by growing kappa.
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        print(f"  {kappa:>6g} {len(coeffs):>6} {elapsed:>8.2f} {error:>10.1e} {peak:>11.0f}")


def term_rows(sizes, n_terms_list, repeat):
    print("controlled terms through Circuit.execute, per term, vs NumPy slice product")
    print(f"  {'N':>3} {'terms':>5} {'index qubits':>12} {'execute us':>16} {'numpy us':>16} {'ratio':>6}")
    rng = np.random.default_rng(5)
    for n_terms in n_terms_list:
        n_anc = (n_terms - 1).bit_length()
        for n in sizes:
            n_be = (n - 1).bit_length() + 1
            dim = 1 << n_be
            mats = []
            for _ in range(n_terms):
                q, _ = np.linalg.qr(rng.normal(size=(dim, dim)))
                mats.append(q)
            sys_reg, anc_reg = Register("system", n_be), Register("ancilla", n_anc)
            qc = Circuit(sys_reg, anc_reg)
            for i, U in enumerate(mats):
                term = Circuit(n_be)
                term.unitary(U, list(range(n_be)))
                qc.append(term, sys_reg[:], control=anc_reg[:],
                          control_state=format(i, "0" + str(n_anc) + "b")[::-1])
            grid = rng.normal(size=(1 << n_anc, dim)) + 0j

            def numpy_terms():
                for i, U in enumerate(mats):
                    grid[i] = U @ grid[i]

            t = interleaved({"execute": qc.execute, "numpy": numpy_terms}, repeat)
            ex, nu = t["execute"][0] / n_terms * 1e6, t["numpy"][0] / n_terms * 1e6
            print(f"  {n:>3} {n_terms:>5} {n_anc:>12} {ex:>7.2f} / {t['execute'][1] / n_terms * 1e6:>6.2f}"
                  f" {nu:>7.2f} / {t['numpy'][1] / n_terms * 1e6:>6.2f} {ex / nu:>6.2f}")


def numpy_dilation(A):
    alpha = np.linalg.norm(A, 2)
    a = A / alpha
    a_dag = a.conj().T
    n = a.shape[0]

    def root(M):
        w, V = np.linalg.eigh(np.eye(n, dtype=complex) - M)
        return (V * np.sqrt(np.maximum(w, 0))) @ V.conj().T

    return np.block([[a, root(a @ a_dag)], [root(a_dag @ a), -a_dag]])


def dorrin_rows(sizes, repeat):
    print("Dorrin.encode vs the same dilation in NumPy")
    print(f"  {'N':>4} {'encode ms':>16} {'numpy ms':>16} {'ratio':>6} {'max|U11-A/a|':>13} {'|U^+U-I|':>9}")
    rng = np.random.default_rng(9)
    for n in sizes:
        A = rng.normal(size=(n, n))
        A = A + A.T
        t = interleaved({"encode": lambda: Dorrin().encode(A), "numpy": lambda: numpy_dilation(A)}, repeat)
        _, alpha, _, U = Dorrin().encode(A)
        err = np.max(np.abs(U[:n, :n] - A / alpha))
        unitarity = np.max(np.abs(U.conj().T @ U - np.eye(2 * n)))
        print(f"  {n:>4} {t['encode'][0] * 1e3:>7.2f} / {t['encode'][1] * 1e3:>6.2f}"
              f" {t['numpy'][0] * 1e3:>7.2f} / {t['numpy'][1] * 1e3:>6.2f}"
              f" {t['encode'][0] / t['numpy'][0]:>6.2f} {err:>13.1e} {unitarity:>9.1e}")


# One solve in a fresh interpreter: argv[1] says which of torch and quorvex
# is imported first; prints the threads the gates ran on and the solve's seconds.
ORDER_CHILD = """
import sys, time
first = sys.argv[1]
if first == "torch":
    import torch
import quorvex.library.linear_solver.tiberq as tiberq
import torch
from quorvex.backend.pelmor import strovane
sys.path.insert(0, sys.argv[2])
from tiberq import ill_conditioned_system
A, b = ill_conditioned_system(1000.0)
start = time.perf_counter()
tiberq.TiberqSolver(A, b, epsilon=0.01, logging=False)
print(strovane.max_threads(), time.perf_counter() - start)
"""


def import_order_rows(repeat, baselines, timeout):
    from interrupt import baseline_site
    from load import CORES, Load

    threads = _SHELL_ENV.get("OMP_NUM_THREADS", str(CORES))
    builds = {"this tree": os.path.dirname(os.path.dirname(os.path.abspath(quorvex.__file__)))}
    for rev in baselines:
        site, described = baseline_site(rev)
        builds[described] = site
    env = dict(_SHELL_ENV, OMP_NUM_THREADS=threads, OPENBLAS_NUM_THREADS="1")
    chosen = ", ".join(f"{k}={env[k]}" for k in ("OMP_WAIT_POLICY", "GOMP_SPINCOUNT", "MKL_NUM_THREADS")
                       if k in env)
    print(f"TiberqSolver, kappa = 1,000, epsilon = 0.01, a fresh interpreter each run; OMP_NUM_THREADS={threads};"
          f" {CORES} burners (a busy loop on each core); set in the shell: {chosen or 'none of the wait settings'};"
          f" solve s, min / median of {repeat} interleaved rounds; goal: torch first <= 1.5x quorvex first")
    cases = [(build, first) for build in builds for first in ("quorvex", "torch")]
    times = {case: [] for case in cases}
    ran_on = {case: set() for case in cases}
    stopped = set()
    with Load(CORES):
        for round in range(repeat):
            for case in (cases if round % 2 == 0 else cases[::-1]):
                if case in stopped:
                    continue
                build, first = case
                try:
                    done = subprocess.run([sys.executable, "-P", "-c", ORDER_CHILD, first, HERE],
                                          env=dict(env, PYTHONPATH=builds[build]), capture_output=True, text=True,
                                          timeout=timeout)
                except subprocess.TimeoutExpired:
                    stopped.add(case)
                    continue
                if done.returncode != 0:
                    raise RuntimeError(f"{build}, {first} first failed:\n{done.stderr}")
                gate_threads, seconds = done.stdout.split()[-2:]
                ran_on[case].add(gate_threads)
                times[case].append(float(seconds))
    print(f"  {'build':<60} {'first':<8} {'threads':>7} {'solve s':>17} {'x quorvex first':>16}")
    for build, first in cases:
        found = times[(build, first)]
        if (build, first) in stopped:
            shown = f"> {timeout:g} (stopped)"
        else:
            shown = f"{min(found):>7.2f} / {statistics.median(found):>6.2f}"
        ratio = ""
        own = times[(build, "quorvex")]
        if first == "torch" and found and own and (build, first) not in stopped:
            ratio = f"{min(found) / min(own):.2f} / {statistics.median(found) / statistics.median(own):.2f}"
        print(f"  {build[:60]:<60} {first:<8} {','.join(sorted(ran_on[(build, first)])) or '?':>7} {shown:>17}"
              f" {ratio:>16}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="smaller sizes only")
    parser.add_argument("--import-order", action="store_true",
                        help="only the solve with PyTorch imported first and second, under load")
    parser.add_argument("--baseline", nargs="+", default=[], metavar="REV",
                        help="with --import-order: earlier revisions to run beside this tree")
    parser.add_argument("--timeout", type=float, default=300, help="with --import-order: seconds a run may take")
    args = parser.parse_args()
    if args.import_order:
        print("load average: " + " ".join(f"{load:.2f}" for load in os.getloadavg()))
        import_order_rows(args.repeat, args.baseline, args.timeout)
        return
    print(f"strovane OpenMP threads: {strovane.max_threads()}; BLAS threads: "
          f"{os.environ.get('OPENBLAS_NUM_THREADS')}; load average: "
          + " ".join(f"{load:.2f}" for load in os.getloadavg()))
    sizes = [2, 4] if args.quick else [2, 4, 8, 16]
    coefficient_rows(args.repeat, args.quick)
    solve_rows(sizes, [10] if args.quick else [10, 40], args.repeat)
    ill_conditioned_rows([1000] if args.quick else [1000, 10000])
    term_rows(sizes, [95] if args.quick else [95, 300], args.repeat)
    dorrin_rows([4, 16, 64] if args.quick else [4, 16, 64, 128, 256], args.repeat)


if __name__ == "__main__":
    main()
