"""Discrete adiabatic quantum linear system solver (QLSP).

`ZumraSolver` solves A x = b for an N x N matrix A (N a power of two) by a
discrete adiabatic walk on a simulated circuit. The method uses n = log2(N)
system qubits and 5 ancillary qubits: the system register holds |b> and, after
the walk, the direction of the solution, which is read off by post-selecting
the ancillas. A non-Hermitian system is first embedded in a Hermitian one of
twice the size.

Run as the main program (``python -m quorvex quorvex.library.linear_solver.zumra``)
the module solves a seeded random 64 x 64 system as a demonstration.
"""
import time

import cython
import numpy as np
from typing import Tuple

from ...core import Circuit, Register


def _uprep_b(b: np.ndarray) -> np.ndarray:
    """Unitary whose column 0 is the unit vector ``b``.

    For a first entry that is real and not negative this is the reflection
    2 v v^H - I with v the unit vector along b + |0>, a Hermitian unitary.
    Any other first entry b0 has no such reflection (v would not be a unit
    vector, and for b0 = -1 it would not exist): the phase u = b0 / |b0| is
    taken out first, the reflection is built for conj(u) b, whose first entry
    is the real |b0|, and u multiplies the result back in. The matrix stays
    unitary with column 0 equal to b; the walk's reflection about |b> uses it
    together with its conjugate transpose, where u cancels.
    """
    b = b.reshape(-1, 1)
    n = len(b)
    first = complex(b[0, 0])
    phase = 1.0
    if first.imag != 0.0 or first.real < 0.0:
        # abs() of a subnormal entry keeps too few digits to give a phase of
        # modulus 1; scaling by a power of two first is exact.
        unit = first * 2.0 ** 600 if abs(first) < 2.0 ** -600 else first
        phase = unit / abs(unit)
        b = b * phase.conjugate()
        b[0, 0] = abs(first)
    v = np.zeros((n, 1), dtype=complex)
    v[0, 0] = np.sqrt((b[0, 0] + 1.0) / 2.0)
    v[1:, 0] = b[1:, 0] / (2.0 * v[0, 0])
    reflection = 2.0 * (v @ v.conj().T) - np.eye(n)
    if phase == 1.0:
        return reflection
    return phase * reflection


def _bloc_enc(A: np.ndarray) -> np.ndarray:
    """2N x 2N unitary whose top-left N x N block is A (spectral norm <= 1)."""
    U, s, Vh = np.linalg.svd(A)
    S = np.diag(s)
    # Singular values that exceed 1 by rounding would make 1 - s^2 slightly
    # negative; they count as exactly 1.
    root = np.diag(np.sqrt(np.clip(1.0 - s ** 2, 0.0, None)))
    middle = np.block([[S, root], [root, -S]])
    I = np.eye(len(s))
    Z = np.zeros_like(I)
    return np.block([[U, Z], [Z, I]]) @ middle @ np.block([[Vh, Z], [Z, I]])


def _hermitian_dilate_system(A: np.ndarray, b: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Embed A x = b in the Hermitian system [[0, A], [A^H, 0]] [y, x] = [b, 0]."""
    zero = np.zeros_like(A)
    A_dilated = np.block([[zero, A], [A.conj().T, zero]])
    b_dilated = np.concatenate([b, np.zeros_like(b)])
    return (A_dilated, b_dilated)


def _reflect_about_b(qc, sys_qubits, anl_qubits, n_sys, Ub_mat, Ub_dag, mcz_template):
    """-1 on the component with the system in |b> and a4 = |0>, when a1 = a2 = 1."""
    qc.unitary(Ub_dag, target=sys_qubits[:])
    for i in range(n_sys):
        qc.x(sys_qubits[i])
    qc.x(anl_qubits[4])
    qc.append(mcz_template, target=list(range(n_sys)) + [n_sys + 4],
              control=[n_sys + 1, n_sys + 2], control_state=[1, 1])
    for i in range(n_sys):
        qc.x(sys_qubits[i])
    qc.x(anl_qubits[4])
    qc.unitary(Ub_mat, target=sys_qubits[:])


def _walk_step(qc, sys_qubits, anl_qubits, n_sys, Ub_mat, Ub_dag, Bl_A, Bl_A_dag,
               mcz_template, kappa, p: float, T, k):
    """Append walk step k of T (4 * n_sys + 27 circuit calls)."""
    a1 = anl_qubits[1]
    a2 = anl_qubits[2]
    a3 = anl_qubits[3]
    a4 = anl_qubits[4]
    target_A = list(range(0, n_sys + 1))

    qc.h(a2)
    _reflect_about_b(qc, sys_qubits, anl_qubits, n_sys, Ub_mat, Ub_dag, mcz_template)

    s = k / T
    f_s = kappa / (kappa - 1.0) * (1.0 - (1.0 + s * (kappa ** (p - 1) - 1.0)) ** (1 / (1 - p)))
    theta = 2.0 * np.arctan2(f_s, 1.0 - f_s)

    qc.cz(control=a1, target=a3, control_state=0)
    qc.cry(theta, control=a1, target=a3, control_state=0)
    qc.ch(control=a1, target=a3, control_state=1)
    qc.cz(target=a4, control=a3, control_state=0)
    qc.unitary(Bl_A, target=target_A, control=[n_sys + 3, n_sys + 4], control_state=[1, 1])
    qc.unitary(Bl_A_dag, target=target_A, control=[n_sys + 3, n_sys + 4], control_state=[1, 0])
    qc.cx(a3, a4)
    qc.x(a1)
    qc.ch(control=a1, target=a3, control_state=1)
    qc.cz(control=a1, target=a3, control_state=0)
    qc.cry(theta, control=a1, target=a3, control_state=0)
    _reflect_about_b(qc, sys_qubits, anl_qubits, n_sys, Ub_mat, Ub_dag, mcz_template)
    qc.h(a2)
    qc.x(a3)
    qc.mcz(controls=[n_sys, n_sys + 2], target=a3, control_state=[0, 0])
    qc.x(a3)
    qc.gp(np.pi)


def _longer_walk(T, kappa, off):
    """What to change when a walk of T steps left an answer ``off`` (relative) from the solution."""
    from ._norms import OFF_BOUND

    # The error falls about as 1 / T (10 kappa steps and more): the T that
    # brings it under the bound, with a margin, and at least 10 kappa.
    T_kappa = int(np.ceil(10 * kappa))
    T_kappa += T_kappa % 2  # as the default T: an odd walk ends with nothing post-selected
    wanted = float(T) * min(off, 1e6) / OFF_BOUND * 1.5 if off == off else 10.0 * T
    wanted = max(int(np.ceil(wanted)), T_kappa, T + 2)
    wanted += wanted % 2
    if T < T_kappa:
        return (f"Raise T to about {wanted}: kappa = {kappa:.4g} asks for at least 10 kappa = {T_kappa} steps, and "
                f"the error falls about as 1/T.")
    return f"Raise T to about {wanted}: the error falls about as 1/T."


# Cython would turn any number given for an int annotation into an int; a step
# count must be given as an int itself (True, 4.0 or np.int64(4) are refused),
# so T is left untyped and checked in the body.
@cython.locals(T=object)
def ZumraSolver(A: np.ndarray, b: np.ndarray, T: int = None, p: float = 1.4, logging: bool = True,
                backend="torch", device: str = "cpu", dtype=np.complex128) -> Tuple[Circuit, np.ndarray, float]:
    """Solve A x = b by a discrete adiabatic walk; return (circuit, x, scale).

    A is an N x N matrix (N a power of two) and b holds N values; a
    non-Hermitian A is replaced by its Hermitian dilation. T is the number of
    walk steps (default: the smallest even integer not below 10 * kappa, for
    kappa up to 1e4; beyond that, or for a singular A, T must be given) and p
    the schedule exponent (> 1). The circuit, on log2(N) system qubits and 5
    ancillas, is run by ``Circuit.execute(backend=, device=, dtype=)``. x
    solves the system as passed in; scale is the factor that fixed the
    amplitude and phase of the post-selected vector, the one that fits all the
    equations best (least squares). When ``logging`` is true the four stages
    are reported on standard output.

    x is checked against numpy.linalg.solve: when its relative residual
    ||A x - b|| / ||b|| or its relative error exceeds 0.1, a UserWarning
    (whatever ``logging`` says) gives both and the T that should bring it
    within that.
    """
    from ._norms import dense, refuse_empty, type_name

    if T is not None and type(T) is not int:
        raise TypeError("Argument 'T' has incorrect type (expected int, got %.200s)" % type_name(T))
    dense(A, "A")
    dense(b, "b")

    log_prefix = "[ZUMRA] " if logging else ""
    if logging:
        t_str = "auto" if T is None else str(T)
        print("=" * 70)
        print(f"{log_prefix}Starting discrete adiabatic linear system solver (T={t_str}, p={p})")
        print("=" * 70)
        print("=" * 50)
        print(f"{log_prefix}Stage 1/4: Input validation and preprocessing...")

    # ---- Stage 1: checks, dilation, normalisation, number of steps ----
    A = np.asarray(A, dtype=complex)
    b = np.asarray(b, dtype=complex).reshape(-1)
    # A 0-d array has no first dimension; it is as much "not square" as a vector.
    N = A.shape[0] if A.ndim else 0
    if A.shape != (N, N):
        raise ValueError("A must be a square matrix.")
    refuse_empty(N)
    if N & (N - 1) != 0:
        raise ValueError("Dimension N must be a power of 2.")
    if b.size != N:
        raise ValueError("Dimension of b does not match A.")

    # Any finite nonzero b is solved: its norm must survive squares that
    # under- or overflow, and |b> a norm too small to divide by.
    from ._costs import require_zumra, require_zumra_walk
    from ._norms import (describe_misfit, exponent, is_hermitian, is_off, misfit, norm,
                         real_if_real, refuse_beyond_float, require_finite, require_finite_input, rescaled,
                         unit, warn)
    from ..equation._memory import naming_memory_errors

    # Tested entry by entry: the norm of a b of tiny entries underflows to 0.
    if not b.any():
        raise ValueError("Vector b cannot be all zeros.")
    if p <= 1:
        raise ValueError("Schedule parameter p must be > 1.")
    if not p < np.inf:
        raise ValueError(f"Schedule parameter p must be a finite number > 1, got {p!r}.")
    if T is not None:
        refuse_beyond_float(T, "T")
    # The dense work of a large system grows with every step: a system whose
    # walk cannot fit or finish even at its shortest (or at the T given) is
    # refused from its size alone, before the singular values of A,
    # themselves minutes for N in the thousands, are taken: the caller's
    # size first, a dilation's (twice as large) once the Hermitian test has
    # decided on it.
    require_zumra_walk(T, int(np.log2(N)))
    require_finite_input(A, "A")
    require_finite_input(b, "b")
    real_system = not (np.any(A.imag) or np.any(b.imag))

    # ||b|| of a b near the largest double is not representable: such a b
    # (and one far from unit size) is solved as b / 2^eb, and x multiplied
    # back by 2^eb. An A far from unit size (diag(1e-310, 2e-310) has no
    # representable spectral norm or condition number) likewise as A / 2^ea,
    # x divided by 2^ea. Both are exact, and ordinary sizes are untouched.
    b_exponent = exponent(b)
    b = rescaled(b, -b_exponent)
    a_exponent = exponent(A.ravel())
    A = rescaled(A, -a_exponent)
    x_exponent = b_exponent - a_exponent

    original_A = A.copy()
    original_b = b.copy()
    original_dimension = N
    hermitian_dilation_applied = False
    if not is_hermitian(A):
        require_zumra_walk(T, int(np.log2(2 * N)))
        A, b = _hermitian_dilate_system(A, b)
        N = A.shape[0]
        hermitian_dilation_applied = True
        if logging:
            print(f"  - Non-Hermitian input detected; applied Hermitian dilation ({original_dimension} -> {N}).")

    n_sys = int(np.log2(N))
    norm_A_orig = float(np.linalg.norm(A, ord=2))
    norm_b_orig = float(norm(b))
    divide_A = abs(norm_A_orig - 1.0) > 1e-12
    divide_b = abs(norm_b_orig - 1.0) > 1e-12
    a_scale = norm_A_orig if divide_A else 1.0
    b_scale = norm_b_orig if divide_b else 1.0
    if divide_A:
        A = A / a_scale
    if divide_b:
        b = unit(b)
    normalisation_applied = divide_A or divide_b
    if normalisation_applied and logging:
        print(f"  - Note: Input was auto-normalised (||A||_2 = {float(rescaled(norm_A_orig, a_exponent)):.6f}, "
              f"||b|| = {float(rescaled(norm_b_orig, b_exponent)):.6f})")

    kappa = np.linalg.cond(A)
    if T is None:
        # The walk grows by one step per tenth of the condition number: for a
        # singular or nearly singular A the default would never finish (or
        # cannot even be formed for an infinite or undefined kappa).
        if not kappa <= 1e4:
            raise ValueError(f"A is singular or too ill-conditioned for the default number of steps "
                             f"(kappa = {kappa:.4e}); pass T explicitly.")
        T = int(np.ceil(10 * kappa))
        if T % 2 == 1:
            T += 1
        # The circuit grows by a step of 4 n + 27 calls per unit of T: a walk
        # that cannot fit or finish is refused before any of it is built (a T
        # given was checked above).
        require_zumra(T, n_sys)
    elif not kappa < np.inf:
        # The schedule divides by kappa - 1: an infinite or undefined kappa
        # leaves no rotation angle to build, whatever the number of steps.
        raise ValueError(f"A is singular (kappa = {kappa:.4e}); the adiabatic schedule needs a finite "
                         f"condition number.")
    if T <= 0:
        raise ValueError("Number of steps T must be positive.")
    if abs(kappa - 1.0) >= 1e-12:
        # The schedule raises kappa to p - 1: where that overflows the walk's
        # angles are undefined, whatever T is.
        with np.errstate(over="ignore"):
            reach = kappa ** (p - 1)
        if not reach < np.inf:
            raise ValueError(f"Schedule parameter p = {p!r} is too large for kappa = {kappa:.4g}: the schedule's "
                             f"kappa ** (p - 1) overflows; p must lie in "
                             f"(1, {1 + np.log(np.finfo(float).max) / np.log(kappa):.4g}].")

    if logging:
        print(f"  - Linear system dimension (N): {N} ({n_sys} System Qubits)")
        print(f"  - Condition number (kappa): {kappa:.4f}")
        print(f"  - Adiabatic steps (T): {T}, Schedule parameter (p): {p:.2f}")
        print(f"{log_prefix}Stage 1/4 complete")
        print("=" * 50)
        print(f"{log_prefix}Stage 2/4: Building discrete adiabatic quantum circuit...")

    # ---- Stage 2: |b> preparation and the walk ----
    sys_qubits = Register("sys", n_sys)
    anl_qubits = Register("anl", 5)
    qc = Circuit(sys_qubits, anl_qubits)
    Ub_mat = _uprep_b(b)
    Bl_A = _bloc_enc(A)
    qc.unitary(Ub_mat, target=sys_qubits[:])
    if logging:
        print(f"  - Total qubits: {n_sys + 5} ({n_sys} sys + 5 ancillary)")
        print("  - Loading normalised state |b> on system register")

    if abs(kappa - 1.0) < 1e-12:
        # A normalised A with condition number 1 is its own inverse up to the
        # scale already taken out: no walk is needed.
        if logging:
            print("  - Trivial system detected (kappa \u2248 1). Applying the normalised Hermitian inverse directly.")
        x_final = A @ b
        if normalisation_applied:
            x_final = x_final * (b_scale / a_scale)
        x_final = rescaled(x_final, x_exponent)
        if hermitian_dilation_applied:
            x_final = x_final[original_dimension:]
        require_finite(x_final)
        qc._hermitian_dilation = hermitian_dilation_applied
        qc._original_dimension = original_dimension
        if logging:
            print(f"{log_prefix}Stage 2/4 complete (trivial)")
            print(f"{log_prefix}Stage 3/4 complete (trivial)")
            print(f"{log_prefix}Stage 4/4 complete (trivial)")
            print(f"{log_prefix}Solution vector:")
            print(x_final)
        return (qc, x_final, 1.0)

    with naming_memory_errors(f"ZumraSolver's walk of T = {T} steps on {n_sys + 5} qubits"):
        mcz_template = Circuit(n_sys + 1)
        mcz_template.mcz(controls=list(range(0, n_sys)), target=n_sys, control_state=[1] * n_sys)
        # One copy of each adjoint for the whole walk: the circuit may keep every
        # matrix it is given, and a fresh copy per step would multiply its memory
        # by the number of steps.
        Ub_dag = np.ascontiguousarray(Ub_mat.conj().T)
        Bl_A_dag = np.ascontiguousarray(Bl_A.conj().T)
        for k in range(1, T + 1):
            _walk_step(qc, sys_qubits, anl_qubits, n_sys, Ub_mat, Ub_dag, Bl_A, Bl_A_dag,
                       mcz_template, kappa, p, T, k)
        if logging:
            print(f"{log_prefix}Stage 2/4 complete")
            print("=" * 50)
            print(f"{log_prefix}Stage 3/4: Running quantum simulation...")

        # ---- Stage 3: simulation ----
        sim_start = time.time()
        final_state = qc.execute(backend=backend, device=device, dtype=dtype).state
        state_arr = np.asarray(final_state, dtype=complex).reshape(-1)
        sim_time = time.time() - sim_start
    if logging:
        print(f"  - Core simulation time: {sim_time:.4f} s")
        print(f"{log_prefix}Stage 3/4 complete")
        print("=" * 50)
        print(f"{log_prefix}Stage 4/4: Classical post-processing (post-selection and rescaling)...")

    # ---- Stage 4: post-selection (a4 = 1, a0..a3 = 0) and rescaling ----
    vec_anc_postselected = state_arr[2 ** (n_sys + 4):]
    x_quantum = vec_anc_postselected[:2 ** n_sys]
    x_quantum_norm = np.linalg.norm(x_quantum)
    # Written so that a NaN norm fails too: it must never pass as a solution.
    if not x_quantum_norm >= 1e-15:
        raise RuntimeError("Post-selection returned a near-zero state. The adiabatic evolution may need more "
                           "steps (increase T) or the system may be too ill-conditioned.")
    x_normalised = x_quantum / x_quantum_norm

    # The walk fixes the solution only up to a complex factor: the one that
    # fits every equation best (least squares over all rows). A single row
    # whose A[i] x happens to be small would give a factor far off while the
    # direction is right.
    Ax = A @ x_normalised
    internal_scale = np.vdot(Ax, b) / np.vdot(Ax, Ax)
    if abs(internal_scale) < 1e-15:
        internal_scale = 1.0
    if real_system:
        # A real system has a real solution and a real factor: the
        # imaginary part the simulation leaves on it is rounding.
        internal_scale = float(internal_scale.real)
    x_scaled = internal_scale * x_normalised
    if normalisation_applied:
        x_scaled = x_scaled * (b_scale / a_scale)
    if hermitian_dilation_applied:
        x_scaled = x_scaled[original_dimension:]
    x_scaled = real_if_real(x_scaled, real_system)
    x_result_problem = rescaled(x_scaled, x_exponent)
    # A solution beyond the floating-point range is refused, never returned
    # as infinities.
    require_finite(x_result_problem)

    # The comparison is made in the scale of A / 2^ea and b / 2^eb, where
    # nothing overflows; the residual of the caller's system is 2^eb times
    # that of the scaled one.
    if hermitian_dilation_applied:
        x_classical = np.linalg.solve(original_A, original_b)
        x_direction = unit(x_scaled)
        x_classical_normalised = unit(x_classical)
        error = float(norm(x_direction - x_classical_normalised))
        residual = original_A @ x_scaled - original_b
        A_ref, b_ref, x_reference = original_A, original_b, x_classical
    else:
        x_classical = np.linalg.solve(A, b)
        x_classical_normalised = x_classical / np.linalg.norm(x_classical)
        error = float(np.linalg.norm(x_normalised - x_classical_normalised))
        if normalisation_applied:
            A_orig = np.asarray(A, dtype=complex) * a_scale
            b_orig = np.asarray(b, dtype=complex).reshape(-1) * b_scale
        else:
            A_orig = A
            b_orig = b
        residual = A_orig @ x_scaled - b_orig
        A_ref, b_ref = A_orig, b_orig
        x_reference = x_classical * (b_scale / a_scale) if normalisation_applied else x_classical
    residual_norm = float(rescaled(norm(residual), b_exponent))
    # The returned x against the caller's system and numpy's solution of it:
    # a walk too short for kappa (an explicit T may be any size) or a
    # schedule too steep shows here, and a wrong answer is never handed back
    # as if it were right.
    relative_residual, relative_error = misfit(A_ref, b_ref, x_scaled, x_reference)
    if is_off(relative_residual, relative_error):
        warn(f"ZumraSolver's solution is off: {describe_misfit(relative_residual, relative_error)}, with T = "
             f"{T} steps. {_longer_walk(T, kappa, max(relative_residual, relative_error))}")

    if logging:
        print(f"  - Post-selection success amplitude: {x_quantum_norm:.6f}")
        print(f"  - Direction error vs classical normalised solution: {error:.6e}")
        print(f"  - Residual norm ||Ax - b||: {residual_norm:.6e}")
        print(f"  - Internal scaling factor: {internal_scale:.6f}")
        print(f"{log_prefix}Stage 4/4 complete")
        print(f"{log_prefix}Solution vector:")
        print(x_result_problem)

    qc._hermitian_dilation = hermitian_dilation_applied
    qc._original_dimension = original_dimension
    return (qc, x_result_problem, internal_scale)


if __name__ == "__main__":
    print("\n>>> Starting ZUMRA discrete adiabatic linear solver test...")
    n = 6
    np.random.seed(42)
    A = np.random.randn(2 ** n, 2 ** n)
    A = (A + A.T) / 2 + 10 * np.eye(2 ** n)
    b = np.random.randn(2 ** n)
    qc, x, scale = ZumraSolver(A, b, logging=True, device="cpu")
    print("residual_norm:", np.linalg.norm(A @ x - b))
