"""The solvers' limits: refusals, estimates against measured runs, accuracy.

1. Refusals: the time from the call to the MemoryError or ValueError of each
   input that cannot fit in memory or finish within the 10-minute limit
   (goal: under 1 s each), with the error's first words; large systems are
   refused from their size alone, before any decomposition of A. Each case
   runs in a fresh interpreter, with this machine's real memory or under the
   address-space limit (RLIMIT_AS) shown.
2. Estimates against runs that are accepted: the memory and time each
   solver's estimate gives beside the peak resident memory (growth over the
   interpreter's) and the wall time measured, one fresh interpreter a case
   (goals: time within 0.5x ... 2x of the run, memory within 1x ... 1.25x of
   the peak; under an address-space limit a run that fits is not refused).
3. Chebyshev/LCU accuracy: max |p(x) - 1/x| on [1/kappa, 1] over epsilon, for
   kappa = 10 ... 10,000 and epsilon = 1e-2 ... 1e-4 (1.0 means exactly
   epsilon; the coefficients below 1e-8 that are dropped make it exceed 1).
4. Black-Scholes Trotter path at nx = 8, T = 1: max |u - u_exact| relative to
   max |u_exact|, u_exact from the operator the circuits carry (central
   drift), on the grid points the example reports and on all of them, for
   R = 2, 4, 6, na = 7 and 9 and dt = 0.1 ... 0.0125.

Run: bash dev.sh bench limits [--quick] [--skip 1,2,3,4]
"""
import argparse
import json
import math
import os
import subprocess
import sys
import time

import numpy as np

CASE = r"""
import io, contextlib, json, os, resource, sys, tempfile, time, warnings
import numpy as np
kind, args = sys.argv[1], json.loads(sys.argv[2])
limit = args.pop("limit_gib", None)
headroom = args.pop("headroom_gib", None)
def status(field):
    with open('/proc/self/status') as f:
        return int(f.read().split(field + ':')[1].split()[0]) * 1024
def rss():
    return status('VmRSS')
def spd(N, kappa):
    # eigenvalues 1 ... 1 / kappa, spread geometrically
    Q = np.linalg.qr(np.random.default_rng(1).normal(size=(N, N)))[0]
    A = (Q * np.geomspace(1.0, 1.0 / kappa, N)) @ Q.T
    return (A + A.T) / 2
def system(a, kappa):
    N = a.pop("N", 2)
    nonsym = a.pop("nonsym", False)
    A = np.diag(np.linspace(1.0, 1.0 / kappa, N)) if N > 64 or N == 2 else spd(N, kappa)
    if nonsym:
        A[0, -1] += 0.5
    return A, np.ones(N)
from quorvex.library.linear_solver.pelqa import PelqaSolver
from quorvex.library.linear_solver.zumra import ZumraSolver
from quorvex.library.linear_solver.tiberq import TiberqSolver
from quorvex.library.equation.examples.equation_blackScholes.algorithm import BlackScholesEquationAlgorithm
setup = os.path.join(os.path.dirname(sys.modules[BlackScholesEquationAlgorithm.__module__].__file__), "setup.json")
def black_scholes(a):
    with open(setup, encoding="utf-8") as handle:
        p = json.load(handle)
    p.update({k: v for k, v in a.items() if k not in ("r", "σ", "solver", "dt")})
    p["parameters"].update({k: a[k] for k in ("r", "σ") if k in a})
    p["solver"] = {"type": a.get("solver", "classical"), "dt": a.get("dt", 0.05)}
    return lambda: BlackScholesEquationAlgorithm().run(p, algo_dir=tempfile.mkdtemp())
def solver_call(solver, a, kappa, **fixed):
    A, b = system(a, kappa)
    return lambda: solver(A, b, logging=False, **fixed, **a)
calls = {
    "tiberq": lambda a: solver_call(TiberqSolver, a, a.pop("kappa")),
    "pelqa": lambda a: solver_call(PelqaSolver, a, 0.5),
    "zumra": lambda a: solver_call(ZumraSolver, a, 2.0),
    "black_scholes": black_scholes,
}
call = calls[kind](args)
base, base_vm = rss(), status('VmSize')
if headroom:
    limit = base_vm / 2 ** 30 + headroom
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (int(limit * 2 ** 30), resource.RLIM_INFINITY))
warnings.simplefilter("ignore")
start = time.perf_counter()
try:
    with contextlib.redirect_stdout(io.StringIO()):
        call()
    outcome = "ok"
except (MemoryError, ValueError) as error:
    outcome = type(error).__name__ + ": " + str(error)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - base
print(json.dumps({"seconds": seconds, "peak": peak, "vm": status('VmPeak') - base_vm, "outcome": outcome}))
"""

REFUSALS = [
    ("tiberq", {"kappa": 1e5}), ("tiberq", {"kappa": 1e6}), ("tiberq", {"kappa": 1e7}),
    ("tiberq", {"kappa": 10.0, "epsilon": float("nan")}),
    ("pelqa", {"d": 19}), ("pelqa", {"d": 20}), ("pelqa", {"d": 30}), ("pelqa", {"r": float("nan")}),
    ("pelqa", {"N": 2048, "d": 12}),
    ("zumra", {"T": 10 ** 7}), ("zumra", {"T": 10 ** 8}),
    # Sizes refused from N alone, before any decomposition of A (these once
    # took 96 s, 14.6 s, 16.8 s and 3.5 s to refuse).
    ("zumra", {"N": 4096}), ("zumra", {"N": 2048, "limit_gib": 8}), ("zumra", {"N": 1024, "nonsym": True, "limit_gib": 8}),
    ("pelqa", {"N": 4096, "d": 10}), ("tiberq", {"N": 4096, "kappa": 2.0}),
    ("black_scholes", {"nx": 8, "σ": 1e10}), ("black_scholes", {"nx": 8, "T": 1e8}),
    ("black_scholes", {"nx": 8, "na": 7, "solver": "trotter", "dt": 1e-4}),
    ("black_scholes", {"nx": 3, "na": 3, "solver": "trotter", "dt": 1e-6}),
    ("black_scholes", {"nx": 3, "na": 3, "solver": "trotter", "dt": 0.5, "r": -5.0}),
    ("black_scholes", {"nx": 3, "na": 3, "solver": "trotter", "dt": 0.5, "r": -1000.0}),
]

ACCEPTED = [
    ("tiberq", {"kappa": 1e3}), ("tiberq", {"kappa": 1e4}), ("tiberq", {"kappa": 3e4}),
    ("tiberq", {"N": 8, "kappa": 3e3}), ("tiberq", {"N": 32, "kappa": 1e3}), ("tiberq", {"N": 64, "kappa": 300.0}),
    # Under an address-space limit 1.54 GiB above what the interpreter has
    # mapped (2 GB beside 0.46 GiB): these fit, and are not refused.
    ("tiberq", {"N": 32, "kappa": 1e3, "headroom_gib": 1.54}),
    ("tiberq", {"N": 64, "kappa": 300.0, "headroom_gib": 1.54}),
    ("pelqa", {"d": 14}), ("pelqa", {"d": 16}), ("pelqa", {"d": 17}), ("pelqa", {"d": 18}),
    ("pelqa", {"d": 10, "N": 64}), ("pelqa", {"d": 12, "N": 64}), ("pelqa", {"d": 10, "N": 256}),
    ("pelqa", {"d": 8, "N": 1024}), ("pelqa", {"d": 10, "N": 1024}), ("pelqa", {"d": 6, "N": 2048}),
    ("zumra", {"T": 10 ** 5}), ("zumra", {"T": 10 ** 6}),
    ("zumra", {"T": 20, "N": 512}), ("zumra", {"T": 20, "N": 1024}),
    ("black_scholes", {"nx": 8, "T": 1e3}),
    ("black_scholes", {"nx": 8, "na": 7, "solver": "trotter", "dt": 0.01}),
    ("black_scholes", {"nx": 3, "na": 3, "solver": "trotter", "dt": 1e-4}),
]
QUICK_ACCEPTED = {0, 1, 4, 6, 8, 12, 15, 18}


def run_case(kind, args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-P", "-c", CASE, kind, json.dumps(args)], capture_output=True,
                          text=True, env=env, timeout=3600)
    if done.returncode:
        return {"seconds": float("nan"), "peak": float("nan"), "outcome": done.stderr.strip().splitlines()[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def label(kind, args):
    return kind + " " + ", ".join(f"{k}={v:g}" if isinstance(v, float) else f"{k}={v}" for k, v in args.items())


def refusals():
    print("1. Refusals: time from the call to the error (goal < 1 s)")
    for kind, args in REFUSALS:
        result = run_case(kind, args)
        print(f"  {label(kind, args):<58} {result['seconds']:7.3f} s  {result['outcome'][:110]}")


def estimate(kind, args):
    """(bytes, seconds) the library's own estimate gives for a case."""
    from quorvex.library.equation.schrodingerization import expm_multiply_cost
    from quorvex.library.linear_solver import _costs

    n = int(math.log2(args.get("N", 2)))
    if kind == "tiberq":
        return _costs.tiberq_cost(args["kappa"], args.get("epsilon", 0.01), args.get("N", 2))[2:]
    if kind == "pelqa":
        return _costs.pelqa_cost(args.get("d", 6), n)[1:]
    if kind == "zumra":
        return _costs.zumra_cost(args["T"], n)[1:]
    if args.get("solver") == "trotter":
        return trotter_estimate(args)
    A = black_scholes_operator(args["nx"], central=False)[0]
    return float("nan"), expm_multiply_cost(A, args.get("T", 1.0))[1]


def trotter_circuits(nx, dt, R=2.0, sigma=0.2, r=0.05):
    """H1 and H2 of the Black-Scholes example's Trotter path (its default grid)."""
    from quorvex.core import Circuit
    from quorvex.library.equation.differential_operator import TDiff

    dx = (math.log(1000.0) - math.log(1e-4)) / (2 ** nx + 1)
    H1, H2 = Circuit(nx + 1), Circuit(nx + 1)
    H1.append(((sigma ** 2 / 2) * TDiff(n=nx, dx=dx, order=2)).data()[0](dt / R), target=range(nx), control=nx,
              control_state="0")
    H1.mcrx(dt / R, range(nx), nx)
    H1.gp(-r * dt / R)
    H2.append(((r - sigma ** 2 / 2) * TDiff(n=nx, dx=dx, order=1)).data()[1](dt), target=range(nx), control=nx,
              control_state="0")
    H2.mcry(dt, range(nx), nx)
    return H1, H2


def trotter_estimate(args):
    from quorvex.library.equation.schrodingerization import trotter_cost

    H1, H2 = trotter_circuits(args["nx"], args["dt"])
    return trotter_cost(H1, H2, args["na"], int(1.0 / args["dt"]))[1:]


def estimates(quick):
    print("2. Estimates against runs: memory estimate / peak RSS growth (ratio; address-space growth), wall time")
    print(f"   estimate / measured (ratio); {os.cpu_count()} cores, OMP_NUM_THREADS="
          f"{os.environ.get('OMP_NUM_THREADS', 'unset')}")
    for index, (kind, args) in enumerate(ACCEPTED):
        if quick and index not in QUICK_ACCEPTED:
            continue
        nbytes, seconds = estimate(kind, args)
        result = run_case(kind, args)
        print(f"  {label(kind, args):<50} {nbytes / 2 ** 30:7.3f} / {result['peak'] / 2 ** 30:6.3f} GiB "
              f"({nbytes / max(result['peak'], 1):4.2f}; {result.get('vm', float('nan')) / 2 ** 30:6.3f})  "
              f"{seconds:7.1f} / {result['seconds']:6.1f} s ({seconds / max(result['seconds'], 1e-9):4.2f})  "
              f"{result['outcome'][:40]}")


def chebyshev_accuracy():
    from quorvex.library.linear_solver.tiberq import _compute_chebyshev_coeffs_tiberq

    print("3. Chebyshev/LCU: max |p(x) - 1/x| on [1/kappa, 1] / epsilon")
    epsilons = (1e-2, 1e-3, 1e-4)
    print("  " + f"{'kappa':>7}" + "".join(f"{e:>10g}" for e in epsilons))
    for kappa in (10.0, 100.0, 1000.0, 10000.0):
        row = []
        for epsilon in epsilons:
            coeffs, _, _ = _compute_chebyshev_coeffs_tiberq(kappa, epsilon)
            # The error peaks near 1/kappa, where the polynomial of degree
            # about 30 kappa oscillates fastest: sampled densely there.
            x = np.concatenate([np.geomspace(1 / kappa, 1, 4000), np.linspace(1 / kappa, 1, 4000),
                                np.linspace(1 / kappa, 4 / kappa, 12000)])
            series = np.zeros(max(coeffs) + 1)
            series[list(coeffs)] = list(coeffs.values())
            row.append(np.max(np.abs(np.polynomial.chebyshev.chebval(x, series) - 1 / x)) / epsilon)
        print("  " + f"{kappa:>7g}" + "".join(f"{value:>10.4f}" for value in row))


def black_scholes_operator(nx, r=0.05, sigma=0.2, K=100.0, central=True):
    import scipy.sparse as sp

    from quorvex.library.equation.differential_operator.ostrival import (
        first_order_derivative, second_order_derivative)

    Nx = 2 ** nx
    L1, L2 = math.log(1e-4), math.log(10 * K)
    dx = (L2 - L1) / (Nx + 1)
    x = L1 + dx * np.arange(1, Nx + 1)
    first = first_order_derivative(Nx, dx, scheme="central" if central else "forward")[0]
    A = (r - sigma ** 2 / 2) * first + sigma ** 2 / 2 * second_order_derivative(Nx, dx)[0]
    A.resize(2 * Nx, 2 * Nx)
    A = sp.csc_matrix(A + sp.csc_matrix(([-1.0], ([Nx - 1], [2 * Nx - 1])), shape=(2 * Nx, 2 * Nx))
                      - r * sp.identity(2 * Nx))
    scale_b = K * (sigma ** 2 / 2 / dx ** 2 + (2 * r - sigma ** 2) / 4 / dx)
    u0 = np.concatenate([-np.minimum(np.exp(x), K), np.full(Nx, scale_b)])
    return A, u0, x


def trotter_accuracy(quick):
    import scipy.linalg as sl

    from quorvex.library.equation.schrodingerization import schro_trotter

    print("4. Black-Scholes Trotter, nx = 8, T = 1, against u_exact = expm(T A) u0 of the operator the circuits")
    print("   carry (central drift): max |u - u_exact| / max |u_exact| on the points the example reports")
    print("   (S below 2K, plus S) / on all 256 grid points (the evolved u alone)")
    nx, K = 8, 100.0
    A, u0, x = black_scholes_operator(nx)
    exact = (sl.expm(A.toarray()) @ u0)[: 2 ** nx]
    end = min(max(int((math.log(2 * K) - math.log(1e-4)) / (x[1] - x[0])), 0), 2 ** nx)
    reported = exact[:end] + np.exp(x[:end])
    dts = (0.1, 0.05, 0.025) if quick else (0.1, 0.05, 0.025, 0.0125)
    print("  " + f"{'R':>4}{'na':>4}" + "".join(f"{dt:>22g}" for dt in dts))
    for na in ((7,) if quick else (7, 9)):
        for R in (2.0, 4.0, 6.0):
            row = []
            for dt in dts:
                H1, H2 = trotter_circuits(nx, dt, R)
                u, _ = schro_trotter(u0=u0, H1=H1, H2=H2, R=R, na=na, Nt=int(1.0 / dt), order=2, point=1.0,
                                     backend="torch", device="cpu", dtype=np.complex128)
                u = u[: 2 ** nx]
                on_report = np.max(np.abs(u[:end] + np.exp(x[:end]) - reported)) / np.max(np.abs(reported))
                row.append(f"{on_report:.3g} / {np.max(np.abs(u - exact)) / np.max(np.abs(exact)):.3g}")
            print("  " + f"{R:>4g}{na:>4}" + "".join(f"{cell:>22}" for cell in row))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--skip", default="", help="sections to skip, e.g. 2,4")
    args = parser.parse_args()
    skip = {int(s) for s in args.skip.split(",") if s}
    started = time.perf_counter()
    for number, section in ((1, refusals), (2, lambda: estimates(args.quick)), (3, chebyshev_accuracy),
                            (4, lambda: trotter_accuracy(args.quick))):
        if number not in skip:
            section()
    print(f"({time.perf_counter() - started:.0f} s in all)")


if __name__ == "__main__":
    main()
