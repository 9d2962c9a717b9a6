"""TIBERQ: a quantum linear-system solver by Chebyshev expansion and LCU.

A x = b is solved for a Hermitian A by approximating 1/x with an odd
Chebyshev polynomial on the eigenvalue interval 1/kappa <= |x| <= 1 of the
spectrally scaled matrix. The ingredients:

- the Chebyshev polynomial approximation of 1/x, whose degree adapts to the
  condition number kappa(A) and the requested accuracy;
- block encoding (Dorrin method) of each Chebyshev matrix term T_k(A);
- LCU (linear combination of unitaries) to combine the block-encoded terms;
- quantum state evolution with state-vector readout.

No phase estimation is required.

Quick start::

    from quorvex.library.linear_solver import solve, TiberqSolver

    circuit, x, scale = TiberqSolver(A, b, epsilon=0.01)
    x = solve(A, b, method='tiberq', epsilon=0.01)

(``solve`` belongs to the package ``quorvex.library.linear_solver``; this
module neither defines nor calls it.)
"""
import time

import numpy as np
from typing import Any, Dict, List, Tuple

try:
    from scipy.special import bdtrc
except ImportError:
    from scipy.stats import bdtrc

from quorvex.core import Circuit, Register
from quorvex.library.block_encoding import block_encode


def _build_lcu(unitaries: List[Circuit], coefficients: List[float]) -> Tuple[Circuit, int, int, float]:
    """Combine block-encoded unitaries into one LCU circuit.

    The design keeps the system and ancilla registers apart: the register
    order is system first, ancilla second; the preparation (V-prep) acts on
    the ancilla qubits; each U is applied to the system register, controlled
    by the ancilla register holding its index; the inverse preparation
    (V-dagger) acts on the ancilla qubits last.

    Args:
        unitaries: block-encoded unitary circuits, all on the same number of qubits.
        coefficients: positive real coefficients, one per unitary.

    Returns:
        (qc, n_sys, n_anc, lambda_val): the circuit, whose block with the
        ancilla register at |0...0> is sum_i c_i U_i / lambda_val; the system
        and ancilla register widths; and lambda_val = sum_i c_i.
    """
    n_terms = len(unitaries)
    if n_terms != len(coefficients):
        raise ValueError("Unitaries and coefficients must have same length.")
    n_sys = unitaries[0].get_num_qubits()
    for u in unitaries:
        if u.get_num_qubits() != n_sys:
            raise ValueError("All unitaries must act on same number of qubits.")
    n_anc = (n_terms - 1).bit_length()

    sys_reg = Register("system", n_sys)
    anc_reg = Register("ancilla", n_anc)
    qc = Circuit(sys_reg, anc_reg, name="LCU")

    lambda_val = float(np.sum(coefficients))
    state_prep = np.zeros(1 << n_anc)
    for i, c in enumerate(coefficients):
        state_prep[i] = np.sqrt(c / lambda_val)
    prep = Circuit(state_prep, name="PREP")
    qc.append(prep, anc_reg[:])

    spec = "0" + str(n_anc) + "b"
    for idx, unitary in enumerate(unitaries):
        # Character r of the control state belongs to ancilla qubit r, which
        # carries bit r of the index: the binary form read backwards.
        ctrl_str = format(idx, spec)
        qc.append(unitary.copy(), sys_reg[:], control=anc_reg[:], control_state=ctrl_str[::-1])

    qc.append(prep.dagger(), anc_reg[:])
    return qc, n_sys, n_anc, lambda_val


def TiberqSolver(A: np.ndarray, b: np.ndarray, device: str = "cpu", epsilon: float = 0.01,
                 logging: bool = True, **kwargs: Any) -> Tuple[Circuit, np.ndarray, float]:
    """Quantum linear-system solver of the TIBERQ method.

    Combines a Chebyshev expansion of 1/x with block encoding and LCU to
    produce a circuit approximating A^-1 |b>, runs it and reads the solution
    back from the state vector.

    Args:
        A: N x N matrix; must be Hermitian (a non-symmetric A only warns).
        b: right-hand side of length N.
        device: execution device.
        epsilon: target accuracy of the polynomial approximation of 1/x.
        logging: whether to print progress.
        **kwargs: none is taken: a keyword besides these (a misspelt
            ``eps=``) is refused by name with a TypeError.

    Returns:
        (circuit, x, alpha): the decomposed circuit, the solution and the
        factor that scales the read-back vector to it.

    Raises:
        ValueError: for a non-square A, an all-zero b or a singular matrix.

    x is checked against numpy.linalg.solve: when its relative residual
    ||A x - b|| / ||b|| or its relative error exceeds 0.1, a UserWarning
    (whatever ``logging`` says) gives both and what to change (epsilon).
    """
    def silent(*args, **kwargs):
        return None

    # A b of entries like 1e-200 must not read as all zeros, nor one of
    # 1e200 as infinite.
    from ._costs import require_tiberq
    from ._norms import (dense, describe_misfit, exponent, is_hermitian, is_off, misfit, norm, real_array,
                         refuse_empty, require_finite, require_finite_input, rescaled, unit as unit_vector, warn)
    from ..equation._memory import naming_memory_errors

    # A keyword besides the solver's own is refused: a misspelt one (eps=)
    # would otherwise pass unnoticed and the run take its default.
    if kwargs:
        what = "an unexpected keyword argument" if len(kwargs) == 1 else "unexpected keyword arguments"
        raise TypeError(f"TiberqSolver() got {what} " + ", ".join(repr(name) for name in kwargs))
    dense(A, "A")
    dense(b, "b")

    log = print if logging else silent
    log("=" * 70)
    log("[TIBERQ] Starting TIBERQ linear solver (epsilon=" + repr(epsilon) + ")")
    log("=" * 70)

    A = real_array(A, "A")
    b = real_array(b, "b").reshape(-1)
    if A.ndim != 2 or A.shape[0] != A.shape[1]:
        raise ValueError("A must be a square matrix.")
    refuse_empty(A.shape[0])
    if len(b) != A.shape[0]:
        raise ValueError("Dimension of b does not match A.")
    # The fewest terms any A of this size can take (those of kappa = 1): a
    # size that cannot fit or finish even so is refused before anything of
    # A is computed (its eigenvalues and singular values take minutes for N
    # in the thousands).
    if 0 < epsilon < 1:
        require_tiberq(1.0, epsilon, A.shape[0], size_only=True)
    require_finite_input(A, "A")
    require_finite_input(b, "b")
    # A of entries near the largest double (or far below 1) is solved as
    # A / 2^e, exact; its symmetric part and norms would overflow otherwise.
    # x is multiplied by 2^-e at the end.
    a_exponent = exponent(A.ravel())
    A = rescaled(A, -a_exponent)
    symmetric = is_hermitian(A)
    if not symmetric:
        message = "A is not Hermitian. TIBERQ requires Hermitian input; results may be inaccurate."
        log("[TIBERQ] Warning: " + message)
        warn(message)
    norm_b = norm(b)
    if norm_b == 0:
        raise ValueError("Source vector b cannot be all zeros.")
    # b . (A x) in the scale below overflows for a b near the largest
    # double: a b far from unit size is solved as b / 2^e, and x multiplied
    # back by 2^e.
    b_exponent = exponent(b)
    b = rescaled(b, -b_exponent)
    N = A.shape[0]

    log("[TIBERQ] Step 1/6: Normalising matrix (spectral scaling)...")
    # The singularity cut is 1e-12 in the caller's scale, whatever A was
    # divided by.
    cut = float(rescaled(1e-12, -a_exponent))
    kappa = _compute_kappa(A) if a_exponent == 0 else _compute_kappa(A, cut)
    # kappa is that of the symmetric part, which a singular non-symmetric A
    # can have finite ([[1, 2], [0.5, 1]]): its singular values tell.
    if kappa == np.inf or not symmetric and np.min(np.linalg.svd(A, compute_uv=False)) < cut:
        raise ValueError("Matrix is singular (infinite condition number).")
    norm_A = float(np.linalg.norm(A, ord=2))
    A_norm = A / norm_A
    log(f"  - N = {N}, kappa = {kappa:.4f}, ||A|| = {float(rescaled(norm_A, a_exponent)):.4f}")
    log("  - Spectral norm after scaling: ||A_norm|| = 1.0")

    log("[TIBERQ] Step 2/6: Computing Chebyshev coefficients for 1/x ...")
    # The number of terms fixes the circuit: one that cannot fit or finish is
    # refused before anything is built.
    require_tiberq(kappa, epsilon, N)
    coeffs_dict, b_val, j0 = _compute_chebyshev_coeffs_tiberq(kappa, epsilon)
    max_k = max(coeffs_dict)
    n_terms = len(coeffs_dict)
    log(f"  - b = {b_val}, j0 = {j0}, max_k = {max_k}")
    log(f"  - Retained {n_terms} odd-degree Chebyshev terms")

    with naming_memory_errors(f"TiberqSolver's circuit of {n_terms} Chebyshev terms"):
        log("[TIBERQ] Step 3/6: Computing Chebyshev matrix terms T_k(A_norm) ...")
        # For a Hermitian A every T_k(A_norm) is bounded by 1; for another A
        # they can grow without bound, and past overflow nothing below could
        # encode them: refused below, without NumPy's overflow warnings first.
        with np.errstate(over="ignore", invalid="ignore"):
            T_matrices = _compute_chebyshev_matrix_terms(A_norm, max_k)
        if not symmetric:
            overflow = next((k for k, term in enumerate(T_matrices) if not np.isfinite(term).all()), None)
            if overflow is not None:
                raise ValueError(f"A is not Hermitian, and the Chebyshev terms T_k(A / ||A||) that TIBERQ sums grow "
                                 f"without bound for it (T_{overflow} overflows): TIBERQ cannot solve this system; it "
                                 f"needs a Hermitian A.")
        log(f"  - Computed T_0 through T_{max_k} (each {N}x{N})")

        log("[TIBERQ] Step 4/6: Block-encoding each Chebyshev term (Dorrin method) ...")
        Uk_list = []
        coeffs_list = []
        # Tens of thousands of terms take a while: a line every ten seconds
        # shows the work going on.
        shown = time.time()
        for k, c in sorted(coeffs_dict.items()):
            # A negative coefficient is carried by the encoded matrix, so that
            # every LCU weight is positive.
            if c < 0:
                c = -c
                T_matrices[k] = -T_matrices[k]
            coeffs_list.append(c)
            Uk_list.append(block_encode(T_matrices[k], method="dorrin").circuit)
            if logging and time.time() - shown >= 10.0:
                shown = time.time()
                log(f"  - Block-encoded {len(Uk_list)} of {n_terms} terms")

        n_be = Uk_list[0].get_num_qubits()
        for i, circuit in enumerate(Uk_list):
            if circuit.get_num_qubits() != n_be:
                raise RuntimeError(f"Block-encoded circuit {i} has {circuit.get_num_qubits()} qubits"
                                   f" but expected {n_be}.")
        log(f"  - Block-encoded {n_terms} matrices, each on {n_be} qubits (target={n_be - 1})")

        log("[TIBERQ] Step 5/6: Building LCU circuit ...")
        lcu_circuit, n_be_q, n_anc, lambda_val = _build_lcu(Uk_list, coeffs_list)
        assert n_be_q == n_be
        log(f"  - LCU ancilla qubits: {n_anc}")
        log(f"  - LCU normalisation factor (lambda): {lambda_val:.4f}")

        log("[TIBERQ] Step 6/6: Building full circuit and executing ...")
        sys_reg = Register("sys", n_be)
        anc_reg = Register("anc", n_anc)
        full_qc = Circuit(sys_reg, anc_reg, name="TIBERQ")
        b_padded = np.zeros(1 << n_be, dtype=float)
        b_padded[:N] = b
        b_padded = unit_vector(b_padded)
        full_qc.initialize(b_padded, sys_reg[:])
        full_qc.append(lcu_circuit, range(n_be + n_anc))

        t0 = time.time()
        state = full_qc.execute(device=device).state
        state_arr = np.asarray(state).ravel()
        sim_time = time.time() - t0
    log(f"  - Simulation time: {sim_time:.3f} s")

    # The flag and index qubits at |0> select the first 2**(n_be - 1)
    # amplitudes; b and the encoded terms sit in their first N entries.
    raw_solution = np.real(state_arr[: 1 << (n_be - 1)])[:N]
    Ax_raw = A @ raw_solution
    # A zero (or NaN) read-back leaves the scale undetermined: 0/0 would hand
    # back NaN as a solution.
    peak = float(np.max(np.abs(Ax_raw)))
    if not (peak > 0):
        raise RuntimeError("Read-back solution is zero; the scaling factor cannot be determined.")
    # The quotient is taken on Ax_raw scaled to unit size: for an A of entries
    # near 1e200 the plain squares overflow, and alpha and the solution would
    # come back as zeros.
    unit = Ax_raw / peak
    alpha_scaled = float(np.dot(b, unit) / np.dot(unit, unit) / peak)
    # x = A^-1 b = 2^(eb - ea) (A / 2^ea)^-1 (b / 2^eb)
    solution = rescaled(alpha_scaled * raw_solution, b_exponent - a_exponent)
    alpha = float(rescaled(alpha_scaled, b_exponent - a_exponent))
    # A solution beyond the floating-point range is refused, never returned
    # as infinities.
    require_finite(solution)
    # The solver's own check, made in the scale of A / 2^ea and b / 2^eb:
    # an answer off the classical one is never handed back as if it were
    # right.
    scaled_solution = alpha_scaled * raw_solution
    try:
        reference = np.linalg.solve(A, b)
    except np.linalg.LinAlgError:
        reference = np.full(N, np.nan)
    relative_residual, relative_error = misfit(A, b, scaled_solution, reference)
    if is_off(relative_residual, relative_error):
        advice = ("A non-symmetric A is outside the method (see the warning before)." if not symmetric else
                  f"Lower epsilon (now {epsilon:g}), the accuracy of the polynomial for 1/x, to {epsilon / 10:g} "
                  f"or less.")
        warn(f"TiberqSolver's solution is off: {describe_misfit(relative_residual, relative_error)}. {advice}")

    log(f"  - Solution norm: {norm(solution):.6f}")
    log(f"  - Scaling factor: {alpha:.6f}")
    log("=" * 70)
    log("[TIBERQ] Done.")
    with naming_memory_errors(f"TiberqSolver's circuit of {n_terms} Chebyshev terms"):
        return full_qc.decompose(), solution, alpha


def _compute_kappa(A: np.ndarray, tol: float = 1e-12) -> float:
    """Condition number kappa = lambda_max / lambda_min of the symmetric part
    of A (eigenvalue moduli); np.inf when lambda_min < tol."""
    A = np.asarray(A, dtype=float)
    A = (A + A.T) / 2.0
    abs_eig = np.abs(np.linalg.eigvalsh(A))
    lam_max = float(np.max(abs_eig))
    lam_min = float(np.min(abs_eig))
    if lam_min < tol:
        return np.inf
    return lam_max / lam_min


def _compute_chebyshev_coeffs_tiberq(kappa: float, epsilon: float) -> Tuple[Dict[int, float], int, int]:
    """Compute Chebyshev coefficients for approximating 1/x by the formula of
    the published lemma (odd terms T_{2j+1} with binomial-tail weights),
    accelerated through SciPy's vectorised binomial tail function bdtrc.

    bdtrc loses accuracy as the number of trials 2b grows (about kappa**2:
    its error passes 1e-8 near 2b = 3e4 and it returns NaN from 2b = 2**31).
    The same tails are therefore also taken from the regularised incomplete
    beta function, P(X > b + j) = I_{1/2}(b + j + 1, b - j), accurate to about
    1e-12 at every size; bdtrc's table is kept where it moves the polynomial
    by no more than the 1e-8 below which a coefficient is dropped, and the
    accurate one is used everywhere else.

    Returns (coefficients by odd degree, b, j0). Raises ValueError for an
    epsilon outside (0, kappa) and where the tails cannot be formed in double
    precision, MemoryError where their j0 + 1 entries cannot."""
    from scipy.special import betainc
    from ._costs import chebyshev_degree
    from ..equation._memory import require_memory

    b, j0 = chebyshev_degree(kappa, epsilon)
    # Some eight arrays of j0 + 1 entries are alive at once.
    require_memory(64 * (j0 + 1), f"the Chebyshev coefficient tables of kappa = {kappa:g} and epsilon = "
                                  f"{epsilon:g} ({j0 + 1} entries)")
    j = np.arange(j0 + 1)
    inner_sum = bdtrc(b + j, 2 * b, 0.5)
    # The tails vanish for j >= b, where the beta function is undefined (and
    # bdtrc gives NaN beyond j = b, which the cut below drops).
    inside = j < b
    accurate = np.zeros(j0 + 1)
    accurate[inside] = betainc(b + 1.0 + j[inside], b - 1.0 * j[inside], 0.5)
    # |T_k| <= 1 on [-1, 1]: 4 * sum |tail error| bounds the polynomial's
    # change. Written so that a NaN from bdtrc selects the accurate table.
    if not 4.0 * np.sum(np.abs(inner_sum[inside] - accurate[inside])) <= 1e-8:
        inner_sum = accurate
    c_k = 4.0 * (-1) ** j * inner_sum
    mask = np.abs(c_k) > 1e-8
    coeffs = {}
    for jj, c in zip(j[mask], c_k[mask]):
        coeffs[int(2 * jj + 1)] = float(c)
    return coeffs, b, j0


def _compute_chebyshev_matrix_terms(A: np.ndarray, max_order: int) -> List[np.ndarray]:
    """Compute T_k(A) for k = 0..max_order via three-term recurrence."""
    N = A.shape[0]
    T = [np.eye(N)]
    if max_order >= 1:
        T.append(np.array(A))
    for _ in range(2, max_order + 1):
        T.append((2.0 * A) @ T[-1] - T[-2])
    return T


if __name__ == "__main__":
    np.random.seed(42)
    n_q = 2
    N = 1 << n_q
    M = np.random.randn(N, N)
    A_test = M @ M.T + np.eye(N) * 0.5
    b_test = np.random.randn(N)
    x_ref = np.linalg.solve(A_test, b_test)
    print("Classical reference solution:")
    print(x_ref)
    print()
    circuit, x_tiberq, sf = TiberqSolver(A_test, b_test, epsilon=0.1, logging=True)
    print()
    print("TIBERQ solution:")
    print(x_tiberq)
    print("Scaling factor: " + str(sf))
    print(f"Relative residual (|Ax-b|/|b|): "
          f"{np.linalg.norm(A_test @ x_tiberq - b_test) / np.linalg.norm(b_test):.6e}")
    print(f"Fidelity with classical: "
          f"{abs(np.dot(x_ref, x_tiberq)) / (np.linalg.norm(x_ref) * np.linalg.norm(x_tiberq)):.6f}")
