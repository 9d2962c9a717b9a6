"""Quantum linear-system solver by phase estimation.

``PelqaSolver`` solves A x = b on a simulated register: phase estimation of
exp(2 pi i A t) writes each eigenvalue of A into a phase register, a
controlled rotation turns the ancilla's |1> amplitude into a multiple of the
reciprocal eigenvalue, and inverse phase estimation uncomputes the phases;
the block in which the ancilla is 1 and the phase register is 0 is
proportional to A^-1 b.

It runs in two modes:
  - original mode: the rotation constant is C = k_start, the first rotated
    index of the phase grid, fixed by the eigenvalue spectrum;
  - r-parameter mode: C = 2^(-r) * pi, so the exponent r trades success
    probability (small r) against precision (large r).

Run ``python -m quorvex quorvex.library.linear_solver.pelqa [--compare | r]``
for a demonstration on a 2 x 2 system.
"""
import time

import cython
import numpy as np
from typing import Dict, Any, List, Tuple, Optional

from quorvex.core import Circuit
from quorvex.library._qpe import QPE


def _hermitian_dilate_system(A: np.ndarray, b: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    zero = np.zeros_like(A)
    A_dilated = np.block([[zero, A], [A.conj().T, zero]])
    b_dilated = np.concatenate([b, np.zeros_like(b)])
    return A_dilated, b_dilated


# d and r are converted in the body, as int() converts any number, so that a
# NaN or infinite one is refused by its name.
@cython.locals(d=object, r=object)
def PelqaSolver(A: np.ndarray, b: np.ndarray, d: int = 6, t: Optional[float] = None,
                r: Optional[int] = None, use_small_angle_approx: Optional[bool] = None,
                logging: bool = True, backend="torch", device="cpu",
                dtype=np.complex128) -> Tuple[Circuit, np.ndarray, float]:
    """Solve A x = b by phase estimation; return (circuit, x, scale_factor).

    A is an N x N matrix (N a power of two) and b holds N values; a
    non-Hermitian A is replaced by its Hermitian dilation [[0, A], [A^H, 0]].
    The evolution time t (default: the largest that keeps every eigenphase on
    the grid) and the d phase qubits fix the phase grid; in original mode the
    rotation constant is C = k_start, in r-parameter mode (r >= 3) C =
    2^(-r) * pi, with the small-angle form by default from r = 5. The circuit,
    on 1 + d + log2(N) qubits, is run by ``Circuit.execute(backend=, device=,
    dtype=)``; x estimates the solution itself, scale_factor being the factor
    from the post-selected amplitudes to it. The circuit carries _p_succ,
    _fidelity (against numpy.linalg.solve), _n_rot, _max_theta,
    _hermitian_dilation and _original_dimension. When ``logging`` is true the
    four stages are reported on standard output.

    Eigenvalues are cut by an absolute rule: only those of modulus above 1e-12
    count. A matrix whose every eigenvalue lies at or below it is refused
    ("Eigenvalues of A are approximately zero ..."), even 1e-13 * I, whose
    condition number is 1: scale such a system up first. One that keeps some
    is solved on the kept ones alone, and warns that it drops the others: for
    diag(1e-13, 1) the component along 1e-13 is lost (x about [6e-23, 1] for
    b = [1, 1], where the solution is [1e13, 1]); numpy.linalg.solve still
    runs for the reference and for an exactly singular A raises its
    LinAlgError.

    x is checked against numpy.linalg.solve: when its relative residual
    ||A x - b|| / ||b|| or its relative error exceeds 0.1, a UserWarning
    (whatever ``logging`` says) gives both, the fidelity and what to change
    (r or d).
    """
    from ._norms import dense, refuse_empty, whole_number

    d = whole_number(d, "d")
    r = whole_number(r, "r", none_allowed=True)
    if t is not None and not 0 < t < np.inf:
        raise ValueError(f"t must be a positive finite number (or None for the largest that keeps every "
                         f"eigenphase on the grid), got {t!r}")
    dense(A, "A")
    dense(b, "b")
    use_r_mode = r is not None
    if use_r_mode and r < 3:
        raise ValueError("r must be >= 3 when using r-parameter mode.")
    if use_r_mode and use_small_angle_approx is None:
        use_small_angle_approx = r >= 5
    C_base = 2.0 ** (-r) * np.pi if use_r_mode else None

    log_prefix = "[PELQA] " if logging else ""
    mode_tag = f" (r={r})" if use_r_mode else ""

    def log(line):
        if logging:
            print(line)

    log("=" * 70)
    log(f"{log_prefix}Starting PELQA linear system solver{mode_tag} (phase precision d={d})")
    if use_r_mode:
        log(f"{log_prefix}  C = 2^(-{r})*pi = {C_base:.6e}  |  "
            f"small-angle approx: {use_small_angle_approx}")
    log("=" * 70)

    # ---- Stage 1: checks, dilation and the phase grid -------------------
    log("=" * 50)
    log(f"{log_prefix}Stage 1/4: Matrix preprocessing and adaptive parameter parsing...")

    A = np.asarray(A, dtype=complex)
    b = np.asarray(b, dtype=complex).reshape(-1)
    # A 0-d array has no shape[0]; it is as much "not square" as a vector.
    if A.ndim != 2 or A.shape[0] != A.shape[1]:
        raise ValueError("A must be a square matrix.")
    N = A.shape[0]
    refuse_empty(N)
    if (N & (N - 1)) != 0:
        raise ValueError("Dimension N must be a power of 2.")
    if b.size != N:
        raise ValueError("Dimension of b does not match A.")

    # Any finite nonzero b passes: a b of entries like 1e-200 must not read
    # as all zeros, nor one like 1e-310 make |b> infinite.
    from ._costs import require_pelqa
    from ._norms import (describe_misfit, exponent, is_hermitian, is_off, misfit, norm, real_if_real,
                         require_finite, require_finite_input, rescaled, unit, warn)
    from ..equation._memory import naming_memory_errors

    # 2^d rotations and about 2 d + 8 dense matrices of the system's size: a
    # run that cannot fit or finish is refused before any of them is formed,
    # at the caller's size first and at a dilation's once it is decided on.
    require_pelqa(d, int(np.log2(N)))
    require_finite_input(A, "A")
    require_finite_input(b, "b")
    real_system = not (np.any(A.imag) or np.any(b.imag))
    # The scale factor multiplies ||b|| by t * grid / k_start or 2^r / pi,
    # which overflows for a b near the largest double although x need not:
    # a b far from unit size is solved as b / 2^eb, and x and the factor
    # multiplied back by 2^eb. Likewise an A of entries beyond about 1e150
    # (or below 1e-150), whose eigenvalues, t and the reference solution
    # would over- or underflow, is solved as A / 2^ea: its eigenvalues are
    # divided by 2^ea, t is multiplied by it, and x divided by it. Both are
    # exact, and nothing changes for ordinary sizes.
    b_exponent = exponent(b)
    b = rescaled(b, -b_exponent)
    a_exponent = exponent(A.ravel())
    A = rescaled(A, -a_exponent)
    if t is not None:
        t = float(rescaled(t, a_exponent))
    x_exponent = b_exponent - a_exponent

    original_A = A.copy()
    original_b = b.copy()
    original_dimension = N
    hermitian_dilation_applied = False
    if not is_hermitian(A):
        require_pelqa(d, int(np.log2(2 * N)))
        A, b = _hermitian_dilate_system(A, b)
        N = A.shape[0]
        hermitian_dilation_applied = True
        log(f"  - Non-Hermitian input detected; applied Hermitian dilation "
            f"({original_dimension} -> {N}).")

    n = int(np.log2(N))
    norm_b = norm(b)
    if norm_b == 0:
        raise ValueError("Vector b cannot be all zeros.")
    b_state = unit(b)

    lam = np.real(np.linalg.eigvalsh(A)).astype(float)
    lam_abs = np.abs(lam)
    # The cut is 1e-12 in the caller's scale, whatever A was divided by.
    cut = float(rescaled(1e-12, -a_exponent))
    lam_abs = lam_abs[lam_abs > cut]
    if lam_abs.size == 0:
        raise ValueError("Eigenvalues of A are approximately zero; inverse cannot be computed.")
    if lam_abs.size < lam.size:
        whose = "its Hermitian dilation" if hermitian_dilation_applied else "A"
        warn(f"PelqaSolver drops {lam.size - lam_abs.size} of the {lam.size} eigenvalues of {whose}: their "
             f"moduli lie at or below 1e-12, an absolute cut, so the solution lacks their components. Where A "
             f"is small as a whole, dividing A and b by the same number keeps x and lifts them above the cut.")
    lam_min = float(np.min(lam_abs))
    lam_max = float(np.max(lam_abs))
    kappa = lam_max / lam_min
    has_negative_eigenvalues = bool(np.any(lam < -cut))

    # Negative eigenvalues wrap into the upper half of the grid, so positive
    # phases must stay below one half to keep the two apart.
    if has_negative_eigenvalues:
        phi_max = 0.5 - 1.0 / 2 ** d
    else:
        phi_max = 1.0 - 1.0 / 2 ** d

    t_given = t is not None and float(rescaled(t, -a_exponent))
    if t is None:
        t = phi_max / lam_max
    elif lam_max * t > phi_max:
        t = phi_max / lam_max
        print(f"  * Warning: user-provided t causes phase overflow; auto-corrected to "
              f"{float(rescaled(t, -a_exponent)):.4f}")

    grid = 2 ** d
    phi_min = lam_min * t
    # Compared before the int conversion so that t = -inf fails like every
    # other negative t.
    if phi_min * grid < 1:
        if t_given:
            raise ValueError(f"t = {t_given!r} puts the smallest eigenphase at {phi_min * grid:.3g} of the "
                             f"{grid} points of the d = {d} phase grid, below its first: raise t (at most "
                             f"{float(rescaled(phi_max / lam_max, -a_exponent)):.4g} keeps every eigenphase on the "
                             f"grid) or d.")
        raise ValueError(f"Phase bits d={d} are insufficient to resolve the minimum phase. "
                         f"Please increase d.")
    k = int(np.floor(phi_min * grid))
    k_start = max(1, min(k - 10, grid - 1))

    if use_r_mode:
        C_rotation = C_base * t * grid
        # The largest angle is the rotation's at k_start: below the cut, no
        # rotation is built and no amplitude reaches the ancilla (for r from
        # 1077, C_base is zero and the scale factor infinite).
        largest = min(C_rotation / k_start, 1.0)
        largest = largest + largest if use_small_angle_approx else 2.0 * float(np.arcsin(largest))
        if not abs(largest) >= 1e-12:
            raise ValueError(f"r = {r} makes the rotation constant C = 2^(-r)*pi = {C_base:.3g} too small: every "
                             f"rotation angle (at most {largest:.3g}) is below 1e-12, so no amplitude would reach "
                             f"the ancilla. A smaller r is needed.")
        scale_factor = norm_b / C_base
    else:
        C_rotation = float(k_start)
        scale_factor = norm_b * t * grid / k_start
    scale_factor = float(scale_factor)
    unscaled_factor = scale_factor
    scale_factor = float(rescaled(scale_factor, x_exponent))

    log(f"  - Linear system dimension (N): {N} ({n} System Qubits)")
    log(f"  - Condition number (kappa): {kappa:.2f}")
    log(f"  - Auto evolution time (t): {float(rescaled(t, -a_exponent)):.6f}")
    log(f"  - Phase grid start index (k_start): {k_start}")
    if use_r_mode:
        log(f"  - C_base = 2^(-r)*pi: {C_base:.6e}")
        log(f"  - C_rotation (C_base * t * grid): {C_rotation:.6f}")
        log(f"  - scale_factor (norm_b / C_base): {scale_factor:.6f}")
        log("  - Rotation mode: " + ("small-angle linear" if use_small_angle_approx
                                     else "exact arcsin"))
    else:
        log(f"  - C = k_start: {C_rotation:.0f}")
        log(f"  - scale_factor: {scale_factor:.6f}")
    log(f"{log_prefix}Stage 1/4 complete [OK]")

    # ---- Stage 2: the circuit ---------------------------------------------
    log("=" * 50)
    log(f"{log_prefix}Stage 2/4: Building PELQA quantum circuit...")
    phase_qubits = list(range(1, d + 1))
    system_qubits = list(range(d + 1, d + 1 + n))
    total_qubits = 1 + d + n

    with naming_memory_errors(f"PelqaSolver's circuit of d = {d} phase qubits on {total_qubits} qubits"):
        circuit = Circuit(total_qubits, name="Pelqa_Algorithm")
        circuit.initialize(b_state, system_qubits)
        log("  - State preparation module loaded: initialized |b>")

        U, _ = _expi_hermitian(A, t)
        U_circ = _unitary_circuit_from_matrix(U)
        qpe = QPE(U_circ, d, return_circuit=True, backend=backend, device=device, dtype=dtype)
        circuit.append(qpe, phase_qubits + system_qubits)
        log("  - QPE module loaded: extracting eigenphases")

        use_linear = bool(use_small_angle_approx) if use_r_mode else False
        rot = _controlled_reciprocal_rotation(d, k_start, C_rotation, use_linear=use_linear,
                                              signed=has_negative_eigenvalues)
        circuit.append(rot, [0] + phase_qubits)
        log("  - Controlled reciprocal rotation loaded: nonlinear mapping 1/lambda")
        log(f"    -> n_rotations: {getattr(rot, '_n_rot', grid - k_start)}")

        circuit.append(qpe.dagger(), phase_qubits + system_qubits)
        log("  - Inverse QPE (iQPE) loaded: system uncomputation")
        log(f"{log_prefix}Stage 2/4 complete [OK]")

        # ---- Stage 3: simulation ----------------------------------------------
        log("=" * 50)
        log(f"{log_prefix}Stage 3/4: Running quantum simulation...")
        started = time.time()
        state = circuit.execute(backend=backend, device=device, dtype=dtype).state
        state = np.asarray(state, dtype=dtype).reshape(-1)
        sim_time = time.time() - started
    log(f"  - Core simulation time: {sim_time:.4f} s")
    log(f"{log_prefix}Stage 3/4 complete [OK]")

    # ---- Stage 4: post-selection and the classical reference ------------
    log("=" * 50)
    log(f"{log_prefix}Stage 4/4: Running classical post-processing "
        f"(post-selection for solution vector)...")
    psi_sys, p_succ, x_scaled = _postselect_solution_state(state, unscaled_factor, d, n)
    if hermitian_dilation_applied:
        x_scaled = x_scaled[original_dimension:]
    # The solution of a real system is real: the imaginary rounding of the
    # simulation is not part of it.
    x_scaled = real_if_real(x_scaled, real_system)
    x_q = rescaled(x_scaled, x_exponent)
    # A solution beyond the floating-point range is refused, never returned
    # as infinities.
    require_finite(x_q)
    # The reference and the comparison are made in the scale of A / 2^ea and
    # b / 2^eb, where neither overflows: a b near the largest double would
    # give an infinite reference and a NaN fidelity.
    try:
        x_classical = np.linalg.solve(original_A, original_b)
    except np.linalg.LinAlgError:
        raise np.linalg.LinAlgError("Matrix is singular: A has no inverse, so A x = b has no unique solution "
                                    "(phase estimation passed over its eigenvalues of modulus 1e-12 or "
                                    "less).") from None
    diff_norm = float(rescaled(norm(x_scaled - x_classical), x_exponent))
    fidelity = float(abs(np.vdot(unit(x_scaled), unit(x_classical))) ** 2)
    # The solver's own check: an answer off the classical one is never
    # handed back as if it were right.
    relative_residual, relative_error = misfit(original_A, original_b, x_scaled, x_classical)
    if is_off(relative_residual, relative_error):
        advice = _sharper_grid(d, r, bool(use_small_angle_approx) if use_r_mode else False, lam_min, lam_max,
                               phi_min * grid, lam.size - lam_abs.size)
        warn(f"PelqaSolver's solution is off: {describe_misfit(relative_residual, relative_error)}; its "
             f"fidelity is {fidelity:.3g}. {advice}")
    log(f"  - Post-selection probability P(anc=1, phase=|0>): {p_succ:.6f}")
    log(f"  - Fidelity: {fidelity:.6f}")
    log(f"  - Quantum vs classical L2 error: {diff_norm:.6e}")
    log(f"{log_prefix}Stage 4/4 complete [OK]")
    log(f"{log_prefix}Solution vector:")
    log(x_q)

    circuit._p_succ = p_succ
    circuit._fidelity = fidelity
    circuit._n_rot = getattr(rot, "_n_rot", 0)
    circuit._max_theta = getattr(rot, "_max_theta", 0.0)
    circuit._hermitian_dilation = hermitian_dilation_applied
    circuit._original_dimension = original_dimension
    return circuit, x_q, scale_factor


def _sharper_grid(d, r, linear, lam_min, lam_max, smallest_index, dropped):
    """What to change (r or d) when an answer came back off: the eigenvalues are those kept of the
    system solved, ``smallest_index`` the place of the smallest on the phase grid, ``dropped`` the
    number cut at 1e-12."""
    if dropped:
        return (f"It lacks its components along the {dropped} eigenvalue{'s' * (dropped > 1)} at or below the "
                f"1e-12 cut, which no r or d restores.")
    if r is not None:
        C_base = 2.0 ** -r * np.pi
        # The rotation sets the ancilla's amplitude to C_base / lambda: above
        # 1 it is clipped, and the small-angle form (sin x for x) is exact
        # only well below 1.
        limit = 0.25 if linear else 1.0
        if C_base / lam_min > limit:
            wanted = int(np.ceil(np.log2(np.pi / (0.25 * lam_min))))
            return (f"Raise r to at least {wanted}: at r = {r} the rotation's C / lambda at the smallest "
                    f"eigenvalue is {C_base / lam_min:.3g}, where it is clipped to 1 or leaves the small-angle "
                    f"form.")
        # Below an angle of 1e-12 a rotation is left out, and its eigenvalue's
        # component with it.
        if 2.0 * C_base / lam_max < 1e-12:
            wanted = int(np.floor(np.log2(2.0 * np.pi / (1e-12 * lam_max))))
            return (f"Lower r to at most {wanted}: at r = {r} the rotation angle of the largest eigenvalue, "
                    f"{2.0 * C_base / lam_max:.3g}, lies below 1e-12, so its component is left out.")
    return (f"Raise d to {d + 2} or more: at d = {d} the smallest eigenvalue lies at index "
            f"{smallest_index:.3g} of the {2 ** d}-point phase grid, and eigenvalues between its points are read "
            f"only approximately; each further phase qubit halves the spacing.")


def _controlled_reciprocal_rotation(d: int, k_start: int, C: float = None,
                                    use_linear: bool = False,
                                    signed: bool = False) -> Circuit:
    if C is None:
        C = float(k_start)
    grid = 2 ** d
    half = grid // 2
    circuit = Circuit(d + 1, name="cond_Recip_Rot")
    controls = list(range(1, d + 1))
    n_rot = 0
    max_theta = 0.0
    for k in range(1, grid):
        den = k - grid if signed and k >= half else k
        if abs(den) < k_start:
            continue
        # Clipped like np.clip (NaN passes through), without its per-call
        # overhead on a Python float: this loop runs up to 2^d times.
        val = C / den
        if val > 1.0:
            val = 1.0
        elif val < -1.0:
            val = -1.0
        theta = val + val if use_linear else 2.0 * float(np.arcsin(val))
        if abs(theta) < 1e-12:
            continue
        max_theta = max(max_theta, abs(theta))
        # X on the zero bits maps |k> to |1...1>, where the all-ones
        # controls fire, and back.
        flipped = [i + 1 for i in range(d) if not (k >> i) & 1]
        for q in flipped:
            circuit.x(q)
        circuit.mcry(theta, controls, 0)
        for q in flipped:
            circuit.x(q)
        n_rot += 1
    circuit._n_rot = n_rot
    circuit._max_theta = max_theta
    return circuit


def _expi_hermitian(A: np.ndarray, t: float) -> Tuple[np.ndarray, np.ndarray]:
    w, V = np.linalg.eigh(A)
    phases = np.exp(2j * np.pi * w * t)
    U = V @ np.diag(phases) @ V.conj().T
    return U, w


def _unitary_circuit_from_matrix(U: np.ndarray) -> Circuit:
    n = int(np.log2(U.shape[0]))
    circuit = Circuit(n, name="U_exp_iAt")
    circuit.unitary(U, list(range(n)))
    return circuit


def _postselect_solution_state(state: np.ndarray, scale: float, d: int,
                               n: int) -> Tuple[np.ndarray, float, np.ndarray]:
    vec_anc1 = state[1::2]
    stride = 2 ** d
    vec_sys = vec_anc1[0::stride]
    x_q = np.array(vec_sys) * scale
    p = float(np.real(np.vdot(vec_sys, vec_sys)))
    # Written so that a NaN probability (non-finite amplitudes) is refused
    # rather than returned as a solution.
    if not p > 0:
        raise ValueError("Post-selection probability is zero "
                         "(ancilla=1 and phase=0 state did not appear).")
    psi_sys = vec_sys / np.sqrt(p)
    return psi_sys, p, x_q


if __name__ == "__main__":
    import sys

    A = np.array([[0.8, 0], [0, 0.4]])
    b = np.array([1, 2])
    d = 10

    def _fidelity(xq, x_cl):
        return abs(np.dot(xq / np.linalg.norm(xq), x_cl / np.linalg.norm(x_cl))) ** 2

    if len(sys.argv) > 1 and sys.argv[1] == "--compare":
        print("\n" + "=" * 70)
        print("  COMPARISON: Original (C=k_start) vs r-parameter mode (r=5)")
        print("=" * 70)
        print("\n--- Original (C = k_start) ---")
        gs1, xq1, sf1 = PelqaSolver(A, b, d=d)
        x_cl = np.linalg.solve(A, b)
        print("\n--- r-parameter mode (r=5, small-angle) ---")
        gs2, xq2, sf2 = PelqaSolver(A, b, d=d, r=5)
        fid1 = _fidelity(xq1, x_cl)
        fid2 = _fidelity(xq2, x_cl)
        print("\n" + "=" * 70)
        print("  Summary")
        print("=" * 70)
        print("  Classical:        " + str(x_cl))
        print("  Original:         x_q = " + str(np.real(xq1)) + ",  fidelity = " + f"{fid1:.6f}")
        print("  r-parameter (r=5): x_q = " + str(np.real(xq2)) + ",  fidelity = " + f"{fid2:.6f}")
    elif len(sys.argv) > 1:
        r_val = int(sys.argv[1])
        print("\n" + "=" * 70)
        print("  PELQA with r-parameter mode (r=" + str(r_val) + ")")
        print("=" * 70)
        gs, xq, sf = PelqaSolver(A, b, d=d, r=r_val)
    else:
        print("\n" + "=" * 70)
        print("  PELQA: compare original vs r-parameter mode across r values")
        print("=" * 70)
        x_cl = np.linalg.solve(A, b)
        print("\n  System: 2x2, kappa=2, d=" + str(d))
        print("  Classical solution: " + str(x_cl))
        print()
        hdr = f"  {'Method':>25s}  {'Fidelity':>10s}  {'L2 error':>10s}  {'Time(s)':>8s}"
        print(hdr)
        print("  " + "-" * len(hdr))

        def _row(label, xq, seconds):
            fid = _fidelity(xq, x_cl)
            l2e = np.linalg.norm(xq - x_cl)
            print(f"  {label:>25s}  {fid:10.6f}  {l2e:10.6e}  {seconds:8.4f}")

        t0 = time.perf_counter()
        _, xq0, _ = PelqaSolver(A, b, d=d, logging=False)
        t_orig = time.perf_counter() - t0
        _row("Original (C=k_start)", xq0, t_orig)
        for r_val in [3, 5, 8, 12]:
            np.random.seed(42)
            t1 = time.perf_counter()
            _, xq1, _ = PelqaSolver(A, b, d=d, r=r_val, logging=False)
            t_imp = time.perf_counter() - t1
            _row("r=" + str(r_val) + " (C=2^(-r)*pi)", xq1, t_imp)
        print()
        print("  Usage:")
        print("    python -m quorvex quorvex.library.linear_solver.pelqa <r>    # single r")
        print("    python -m quorvex quorvex.library.linear_solver.pelqa --compare  # side-by-side")
