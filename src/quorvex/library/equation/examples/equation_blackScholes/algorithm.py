"""
Black-Scholes Equation Algorithm Module

Solve the one-dimensional Black-Scholes equation based on the Schrödingerization method:
∂u/∂t + (1/2)σ²S²∂²u/∂S² + rS∂u/∂S - ru = 0
"""
from typing import Dict, Any, List, Optional
import time
import os
import sys
import numpy as np

try:
    from ..base import BaseAlgorithm, create_algorithm_logger
except ImportError:
    _algorithms_dir = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    if _algorithms_dir not in sys.path:
        sys.path.insert(0, _algorithms_dir)
    from base import BaseAlgorithm, create_algorithm_logger

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt

from .....core import Circuit
from ...equation_parser import parse_equation


class BlackScholesEquationAlgorithm(BaseAlgorithm):
    """Black-Scholes Equation Algorithm

    Solves ∂u/∂t + (1/2)σ²S²∂²u/∂S² + rS∂u/∂S - ru = 0 in the log-price
    variable x = ln S.

    Supported solution methods:
    - Classical: Classical matrix exponentiation method
    - Trotter: Trotter decomposition method
    """

    def run(self, params=None, algo_dir: str = None, backend: str = "torch", device: str = "cpu",
            dtype=np.complex128) -> Dict[str, Any]:
        """Execute the Black-Scholes equation solving algorithm.

        Args:
            params: a dict of parsed parameters or a JSON string; None reads
                setup.json automatically.
            algo_dir: results directory; None derives it from the current
                working directory.
            backend, device, dtype: passed to the Trotter path.

        Returns:
            dict: the results of the selected solution method.
        """
        default_dir = algo_dir is None
        if default_dir:
            module_file = os.path.abspath(__file__)
            algo_dir = os.path.join(os.getcwd(), "results", "equation",
                                    os.path.basename(os.path.dirname(module_file)))
        try:
            if default_dir:
                os.makedirs(algo_dir, exist_ok=True)
            self.algo_dir = algo_dir
            self.logger = create_algorithm_logger(algo_dir)
            # The first line opens the log file: a directory that cannot be
            # written shows here, before any work.
            self.logger.info("=" * 50)
        except OSError as error:
            raise type(error)(f"The results directory {algo_dir} cannot be written to "
                              f"({error.strerror or error}).") from error
        self.logger.info("Stage 1/5: Parsing Black-Scholes equation parameters...")
        try:
            if params is None:
                import json
                setup = os.path.join(os.path.dirname(os.path.abspath(__file__)), "setup.json")
                with open(setup, "r", encoding="utf-8") as handle:
                    params = json.load(handle)
            eq = parse_equation(params)
        except Exception as e:
            self.logger.error(f"Parameter parsing failed: {e}")
            raise e

        method = eq.solver.type
        if method == "classical":
            return self._solve_classical(eq)
        elif method == "trotter":
            return self._solve_trotter(eq, backend=backend, device=device, dtype=dtype)
        raise ValueError(f"method {method} is not supported!")

    def _solve_classical(self, eq):
        """Solve the 1-D Black-Scholes equation using the classical Schrödingerization method.

        A finite-difference system matrix is built and evolved to time T by
        matrix exponentiation.

        Args:
            eq: an Equation returned by parse_equation.

        Returns:
            dict: the results.
        """
        from ...schrodingerization import schro_classical as schro, circuit_classical, expm_multiply_cost
        from ..._memory import naming_memory_errors, require_memory, require_time

        L, T, source, nx, na, R, point, order, f0 = eq.get_common_coefficients()
        bd = eq.boundary.type
        r = eq.get_parameter("r")
        sigma = eq.get_parameter("σ")
        K = eq.get_parameter("K")
        default_L1 = np.log(0.0001)
        L1 = eq.get_parameter("L1", default_L1)
        default_L2 = np.log(10 * K)
        L2 = eq.get_parameter("L2", default_L2)
        Nx = 2 ** nx
        dx = self._grid_spacing(L1, L2, Nx, derived=self._derived_L2(eq, K))
        size = self._checked_coefficients(r, sigma, K, T, dx)
        # expm_multiply picks its step count from norm estimates of the
        # powers of T A up to the ninth: past the ninth root of the largest
        # double they overflow and the count cannot be formed at all.
        if not size <= np.finfo(float).max ** (1 / 9):
            raise ValueError(f"'T', 'r' and 'σ' (T = {T}, r = {r}, σ = {sigma}) make T A too large to evolve: "
                             f"its norm, about {size:.3g}, exceeds {np.finfo(float).max ** (1 / 9):.3g}")
        # The difference builders work on dense Nx x Nx arrays, up to four at once.
        require_memory(32 * Nx ** 2, f"the dense finite-difference matrices of nx = {nx} ({Nx} x {Nx})")
        x = np.linspace(L1 + dx, L2 - dx, Nx)
        u0 = f0(x)
        scale_b = K * (0.5 * sigma ** 2 / dx ** 2 + 0.25 * (-(sigma ** 2) + 2 * r) / dx)
        u0 = np.concatenate((u0, np.ones(Nx) * scale_b))

        log = self.logger.info
        log(f"- Risk-free rate r = {r}")
        log(f"- Volatility σ = {sigma}")
        log(f"- Strike price K = {K}")
        log(f"- Final time T = {T}")
        log(f"- Spatial qubits nx = {nx}")
        log(f"- Ancilla qubits na = {na}")
        log("Stage 1/5: Parameter parsing complete")
        log("=" * 50)
        log("Stage 2/5: Building finite difference matrix...")

        from scipy.sparse import csc_matrix, eye
        from ...differential_operator.ostrival import first_order_derivative, second_order_derivative

        A1, _ = first_order_derivative(N=Nx, dx=dx)
        A2, _ = second_order_derivative(N=Nx, dx=dx)
        A = (r - 0.5 * sigma ** 2) * A1 + (0.5 * sigma ** 2) * A2
        A.resize(2 * Nx, 2 * Nx)
        A = A + csc_matrix(([-1], ([Nx - 1], [2 * Nx - 1])), shape=(2 * Nx, 2 * Nx))
        A = A - r * eye(2 * Nx)
        dim = A.shape[0] // 2
        # expm_multiply takes a number of products with A that grows with
        # ||T A||: refused here when they cannot finish.
        products, seconds = expm_multiply_cost(A, T)
        require_time(seconds, f"Evolving to 'T' = {T} with 'r' = {r} and 'σ' = {sigma} ({products:.3g} products of "
                              f"expm_multiply with the {2 * Nx} x {2 * Nx} operator)",
                     hint="A smaller 'T', 'σ' or 'nx' needs fewer.")
        log("Stage 2/5: Finite difference matrix complete")
        log("=" * 50)
        log("Stage 3/5: Starting computation...")

        with naming_memory_errors(f"The classical evolution of nx = {nx} to 'T' = {T}"):
            start_time = time.time()
            u = schro(A, u0, T=T, na=na, R=R, order=order, point=point)
            qc = circuit_classical(nx + 1, na)
            end_time = time.time()
            u = u[:dim] + np.exp(x)
            self._require_finite(u, f"Black-Scholes solution (r = {r}, σ = {sigma}, K = {K}, T = {T})")
            return self._finish(eq, bd, end_time - start_time, f"1D Black Scholes Classical nx={nx} na={na} T={T}",
                                x, u, self._reported_points(K, L1, dx, Nx), {"n_points": 2 ** nx, "dx": dx}, qc)

    @staticmethod
    def _checked_coefficients(r, sigma, K, T, dx):
        """Refuse a set-up whose operator coefficients are not finite.

        sigma ** 2 raises OverflowError from sigma = 1e155 on, and a coefficient
        that overflows to inf turns the evolution into NaN or stops it with an
        unrelated error; each is a ValueError naming the keys it comes from, as
        a non-finite key itself is. Returns a bound on the 1-norm of T A.
        """
        sigma2 = float(sigma) * float(sigma)
        if not np.isfinite(sigma2):
            raise ValueError(f"'σ' = {sigma} is too large: σ**2 = {sigma2} is not finite")
        derived = [
            ("r - σ**2/2", float(r) - 0.5 * sigma2, "'r' and 'σ'"),
            ("σ**2/(2 dx**2)", 0.5 * sigma2 / (dx * dx), "'σ', 'L1' and 'L2'"),
            ("(r - σ**2/2)/dx", (float(r) - 0.5 * sigma2) / dx, "'r', 'σ', 'L1' and 'L2'"),
            ("the boundary source K (σ**2/(2 dx**2) + (2 r - σ**2)/(4 dx))",
             float(K) * (0.5 * sigma2 / (dx * dx) + 0.25 * (2 * float(r) - sigma2) / dx), "'K', 'r' and 'σ'"),
        ]
        rate = abs(derived[1][1]) * 4 + abs(derived[2][1]) * 2 + abs(float(r))
        derived.append(("T times the operator's size", float(T) * rate, "'T', 'r' and 'σ'"))
        for what, value, keys in derived:
            if not np.isfinite(value):
                raise ValueError(f"{keys} (r = {r}, σ = {sigma}, K = {K}, T = {T}, dx = {dx}) give {what} = "
                                 f"{value}, which is not finite")
        return derived[-1][1]

    @staticmethod
    def _rate_range(r, sigma, dx, Nx):
        """Smallest and largest eigenvalue of the symmetric part of the operator the Trotter circuits carry.

        That part is (σ²/2) D2 - r on the grid half, -r on the source half and
        -1/2 between the last grid point and its source: -r plus the spectrum of
        the tridiagonal c [1, -2, 1] (c = σ²/(2 dx²)) bordered by -1/2, which
        lies in [-4c - 1/2, 1/2]. Taken of the last 65,536 grid points at most
        (by interlacing inside the full range, and within 1e-9 c of its ends),
        and of the matrix divided by c, so that no entry overflows.
        """
        from scipy.linalg import eigvalsh_tridiagonal

        c = 0.5 * float(sigma) ** 2 / (dx * dx)
        if c == 0:
            return -0.5 - r, 0.5 - r
        m = min(Nx, 1 << 16)
        diagonal = np.append(np.full(m, -2.0), 0.0)
        off = np.append(np.ones(m - 1), -0.5 / c)
        # Each end by itself: bisection finds one eigenvalue in O(m), all of them in O(m^2).
        lowest, highest = (float(eigvalsh_tridiagonal(diagonal, off, select="i", select_range=(i, i))[0])
                           for i in (0, m))
        return c * lowest - r, c * highest - r

    @staticmethod
    def _central_operator(r, sigma, dx, Nx):
        """The operator the Trotter circuits carry, sparse: (σ²/2) D2 + (r - σ²/2) C1 - r on the grid
        half (C1 the central difference), -r on the source half, -1 from the last grid point's source."""
        import scipy.sparse as sparse

        c2, c1 = 0.5 * sigma ** 2 / dx ** 2, (r - 0.5 * sigma ** 2) / (2 * dx)
        grid = sparse.diags([np.full(Nx - 1, c2 - c1), np.full(Nx, -2 * c2), np.full(Nx - 1, c2 + c1)], [-1, 0, 1])
        A = sparse.block_diag([grid, sparse.csr_matrix((Nx, Nx))], format="lil")
        A[Nx - 1, 2 * Nx - 1] = -1.0
        return (A.tocsr() - r * sparse.identity(2 * Nx, format="csr")).tocsr()

    @staticmethod
    def _derived_L2(eq, K):
        if eq.get_parameter("L2", None) is not None:
            return ""
        return f"L2 = ln(10 K) was derived from K = {K}, not given"

    def _solve_trotter(self, eq, backend: str = "torch", device: str = "cpu", dtype=np.complex128):
        import math

        from ...schrodingerization import (schro_trotter as schro, p_grid, readout_index, trotter_cost, P_DOMAIN_LEVEL,
                                           check_profile_order, trotter_product, TROTTER_SPLIT_LEVEL,
                                           p_domain_level, p_domain_needs, p_points_needed, p_spacing_limit,
                                           profile_reach)
        from ...differential_operator import TDiff
        from ..._memory import naming_memory_errors, require_memory, require_resources

        L, T, source, nx, na, R, point, order, f0 = eq.get_common_coefficients()
        bd = eq.boundary.type
        r = eq.get_parameter("r")
        sigma = eq.get_parameter("σ")
        K = eq.get_parameter("K")
        dt = eq.solver.dt
        Nt = int(T / dt)
        default_L1 = np.log(0.0001)
        L1 = eq.get_parameter("L1", default_L1)
        default_L2 = np.log(10 * K)
        L2 = eq.get_parameter("L2", default_L2)
        # The difference circuits act on the nx grid qubits.
        if nx < 1:
            raise ValueError(f"'nx' must be at least 1 for the trotter solver, got {nx}")
        Nx = 2 ** nx
        dx = self._grid_spacing(L1, L2, Nx, derived=self._derived_L2(eq, K))
        self._checked_coefficients(r, sigma, K, T, dx)
        # The circuit's state is the largest array of this path.
        require_memory(16 << (nx + 1 + na), f"the state vector of nx + 1 + na = {nx + 1 + na} qubits")
        check_profile_order(order)
        # The read-out recovers u at p only while p >= lambda T, lambda the
        # largest growth rate of the operator; below it the result is wrong,
        # however fine the steps (r = -5: 131 where the solution reaches 7,698).
        lowest, rate = self._rate_range(r, sigma, dx, Nx)
        p_star = float(p_grid(na, R)[readout_index(na, R, point)])
        if rate > 0 and p_star < rate * T * (1 - 1e-12):
            raise ValueError(f"'point' = {point} reads the solution out at p = {p_star:.6g}, but 'r' = {r} and "
                             f"'σ' = {sigma} make it grow at the rate {rate:.6g} (the largest eigenvalue of the "
                             f"symmetric part of the operator), and the Trotter read-out recovers it only at "
                             f"p >= rate * 'T' = {rate * T:.6g}: the result would be wrong. A 'point' of at least "
                             f"that (with 'R' above point / pi), or a smaller 'T', is needed.")
        # Its domain of dependence reaches -lowest * T above p*: the periodic p
        # domain must hold it with the profile's tail, or the read-out wraps
        # around (σ = 0.4 at the shipped R = 2: 11% off), and its points must
        # resolve the profile (its order-th derivative jumps at p = 0).
        reach = max(-lowest, 0.0) * T
        spacing, limit = 2 * math.pi * R / (1 << na), p_spacing_limit(order)
        if p_domain_level(na, R, point, order, reach) > P_DOMAIN_LEVEL or spacing > limit:
            R_needed, na_needed = p_domain_needs(point, order, reach)
            if R >= R_needed:
                R_needed, na_needed = R, p_points_needed(R, order)
            depth = profile_reach(order, P_DOMAIN_LEVEL * math.exp(-p_star))
            raise ValueError(f"'R' = {R} and 'na' = {na} give the Trotter read-out too short or too coarse a p "
                             f"domain: reading out at p = {p_star:.3g} after 'T' = {T} draws on p up to "
                             f"{p_star + reach:.4g} ({-lowest:.4g}, the fastest decay rate of the operator at "
                             f"'σ' = {sigma}, 'r' = {r} and nx = {nx}, times 'T'), and the periodic domain of "
                             f"length 2 pi R = {2 * math.pi * R:.4g} must reach {depth:.3g} beyond that (where "
                             f"the warped profile of 'order' = {order} falls below {P_DOMAIN_LEVEL:g} e^-p), "
                             f"with p points at most {limit:.3g} apart (now {spacing:.3g}); else the result is "
                             f"wrong. 'R' >= {math.ceil(R_needed * 100) / 100:g} and 'na' >= {na_needed} are "
                             f"needed; a smaller 'T', 'r', 'σ' or 'nx' needs less.")
        x = np.linspace(L1 + dx, L2 - dx, Nx)
        u0 = f0(x)
        scale_b = K * (0.5 * sigma ** 2 / dx ** 2 + 0.25 * (-(sigma ** 2) + 2 * r) / dx)
        u0 = np.concatenate((u0, np.ones(Nx) * scale_b))

        log = self.logger.info
        log(f"- Risk-free rate r = {r}")
        log(f"- Volatility σ = {sigma}")
        log(f"- Strike price K = {K}")
        log(f"- Final time T = {T}")
        log(f"- Time step dt = {dt}")
        log(f"- Spatial qubits nx = {nx}")
        log(f"- Ancilla qubits na = {na}")
        log("Stage 1/5: Parameter parsing complete")
        log("=" * 50)
        log("Stage 2/5: Building quantum circuit...")

        H1 = Circuit(nx + 1)
        func1 = ((sigma ** 2 / 2) * TDiff(n=nx, dx=dx, order=2)).data()[0]
        H1.append(func1(dt / R), target=range(nx), control=nx, control_state="0")
        H1.mcrx(dt / R, range(nx), nx)
        H1.gp((-r) * dt / R)

        H2 = Circuit(nx + 1)
        func2 = ((r - sigma ** 2 / 2) * TDiff(n=nx, dx=dx, order=1)).data()[1]
        H2.append(func2(dt), target=range(nx), control=nx, control_state="0")
        H2.mcry(dt, range(nx), nx)
        # Every step is executed gate by gate: a step count that cannot fit or
        # finish is refused before the circuit is built.
        step_gates, nbytes, seconds = trotter_cost(H1, H2, na, Nt)
        require_resources(nbytes, seconds, f"'dt' = {dt} with 'T' = {T} ({Nt} Trotter steps of {step_gates} gates "
                                           f"on nx + 1 + na = {nx + 1 + na} qubits)",
                          hint="A larger 'dt', or a smaller 'nx' or 'na', needs fewer.")
        # On a sound p grid the read-out is the product of the steps'
        # exponentials of the operator's symmetric and antisymmetric parts:
        # its splitting error, first order in dt, is that product's distance
        # from the exact evolution (nx = 4, r = 1, dt = 1: 5% off).
        end = self._reported_points(K, L1, dx, Nx)
        if end:
            A = self._central_operator(r, sigma, dx, Nx)
            split, exact = trotter_product(A, u0, dt, Nt)
            largest = float(np.max(np.abs(exact[:end] + np.exp(x[:end]))))
            off = float(np.max(np.abs(split[:end] - exact[:end]))) / largest if largest > 0 else 0.0
            if off > TROTTER_SPLIT_LEVEL:
                needed = dt * TROTTER_SPLIT_LEVEL / off * 0.9
                raise ValueError(f"'dt' = {dt} is too long a Trotter step for this set-up ('r' = {r}, 'σ' = {sigma}, "
                                 f"nx = {nx}): the {Nt} steps alone, exactly exponentiated, end {off:.2%} of the "
                                 f"largest option value ({largest:.4g}) away from the exact evolution on the "
                                 f"points reported, more than the {TROTTER_SPLIT_LEVEL:.2%} accepted, and the "
                                 f"result would be that far off. 'dt' <= {needed:.3g} is needed (first order: "
                                 f"the error shrinks with 'dt').")

        # The steps are int(T / dt): where they fall short of T the values are
        # those of an earlier time, and the caller must hear of it.
        if Nt * dt < T * (1 - 1e-9):
            import warnings
            steps = math.ceil(T / dt * (1 - 1e-9))
            # Compiled, this module runs no frame of its own: the warning
            # names the line that called run.
            warnings.warn(f"'T' = {T} is not a whole number of steps of 'dt' = {dt} (T / dt = {T / dt!r}): the "
                          f"Trotter path takes int(T / dt) = {Nt} steps, so its values are the option prices at "
                          f"time {Nt * dt:.6g}, not at 'T'. A 'dt' that divides 'T' (such as T / {steps}) reaches "
                          f"'T'.", UserWarning)

        log("Stage 2/5: Quantum circuit complete")
        log("=" * 50)
        log("Stage 3/5: Starting quantum circuit execution...")
        log(f"- Total time steps: {Nt}")

        # Memory that other processes take meanwhile can still run out, anywhere
        # from the circuit to the OpenQASM files: said as such, with what ran out.
        with naming_memory_errors(f"The Trotter run of {Nt} steps on nx + 1 + na = {nx + 1 + na} qubits"):
            start_time = time.time()
            u, qc = schro(u0=u0, H1=H1, H2=H2, R=R, na=na, Nt=Nt, order=order, point=point,
                          backend=backend, device=device, dtype=dtype)
            end_time = time.time()
            u = u[:Nx] + np.exp(x)
            self._require_finite(u, f"Black-Scholes solution (r = {r}, σ = {sigma}, K = {K}, T = {T}, dt = {dt})")
            return self._finish(eq, bd, end_time - start_time,
                                f"1D Black Scholes Lie-Trotter nx={nx} na={na} T={T} dt={dt}", x, u,
                                self._reported_points(K, L1, dx, Nx),
                                {"n_points": 2 ** nx, "dx": dx, "dt": dt, "nt": Nt}, qc, H1, H2)

    def _finish(self, eq, bd, seconds, name, x, u, end, grid, *circuits):
        """Either path's last stages: the solution plot, the circuit files and the result."""
        log = self.logger.info
        log(f"- Actual computation time: {seconds:.4f} seconds")
        log("Stage 3/5: Quantum circuit execution complete")
        log("=" * 50)
        log("Stage 4/5: Generating solution visualization...")
        plot = self._generate_solution_plot(name, np.exp(x[:end]), u[:end], xlabel="S", ylabel="Option Price",
                                            bd=bd, ul=eq.boundary.left_value, ur=eq.boundary.right_value)
        log("Stage 4/5: Solution visualization complete")
        log("=" * 50)
        log("Stage 5/5: Generating quantum circuit diagrams...")
        circuit, qasm_files = self._generate_circuit_plots(name, *circuits)
        log("Stage 5/5: Quantum circuit diagrams complete")
        log("=" * 50)
        log("All stages complete, computation successful！")
        log("=" * 50)
        return {
            "status": "ok",
            "message": "Black-Scholes equation solved",
            "grid": grid,
            "x": np.exp(x[:end]).tolist(),
            "u": u[:end].tolist(),
            "circuit": circuit,
            "qasm_files": qasm_files,
            "plot": {"format": "svg", "filename": plot},
        }

    @staticmethod
    def _reported_points(K, L1, dx, Nx):
        """How many grid points the result keeps: those below about S = 2K, clamped to the grid (a grid
        starting above 2K keeps none rather than counting from the top)."""
        return min(max(int((np.log(2 * K) - L1) / dx), 0), Nx)

if __name__ == "__main__":
    try:
        result = BlackScholesEquationAlgorithm().run()
    except OSError as error:
        # One sentence, naming the directory: no traceback for a place that
        # cannot be written.
        print(error, file=sys.stderr)
        sys.exit(1)
    from ._summary import setup_equation, summary_lines
    print("\n".join(summary_lines(result, setup_equation())))
    print("Files in " + os.path.dirname(result["plot"]["filename"]) + ": "
          + ", ".join(os.path.basename(path) for path in
                      [result["plot"]["filename"], *result["circuit"], *result["qasm_files"]]))
