"""What a solver's run will cost, estimated before its circuit is built.

Each solver's circuit grows with one of its arguments: the phase qubits d of
PelqaSolver (2**d rotations), the walk steps T of ZumraSolver and the
Chebyshev terms of TiberqSolver (about kappa * sqrt(ln(kappa / epsilon)) of
them). Past the memory the process may use, or past the run time the package
accepts, a request is refused here, in well under a second, by a MemoryError
or ValueError that names the argument; without it the run ends minutes later
in a bare MemoryError, or never.

The figures per gate, step and term were measured on an idle 8-core machine
(peak resident memory and wall time of whole runs) and rounded up.
"""
import math

import numpy as np

from ..equation._memory import require_resources

# TiberqSolver, per Chebyshev term: the two matrices T_k of its degrees
# (8 bytes an entry each) and the block encoding of a padded P x P term (a
# 2P x 2P complex unitary, 64 bytes per entry of the term), and some 4 kB of
# circuit records; building, encoding and simulating each term. Fitted to
# the peak resident memory of P = 2, 8, 32 and 64 at kappa = 10,000, 3,000,
# 1,000 and 300 (153,679 to 3,983 terms: 0.57, 0.37, 1.14 and 1.24 GiB),
# 1.03-1.07 times that.
_TERM_BYTES = 3900
_TERM_BYTES_PER_ENTRY = 86           # times P**2
_TERM_SECONDS = 2.0e-4
_TERM_SECONDS_PER_CUBE = 1.6e-8      # times P**3: the encoding's eigendecompositions
_TERM_SECONDS_PER_STATE_BYTE = 2e-12  # the controlled term's pass over the state

# PelqaSolver: the rotation circuit's gates (one multi-controlled rotation and
# about d NOTs for each of the 2**d phase indices), each some 80 bytes plus
# its d controls (112 bytes a gate measured at d = 16), and a pass over the
# 2**(1 + d + n) amplitudes each: serial up to 2**14 amplitudes, beyond on
# every thread, where starting the team costs some microseconds a gate (a
# 2 x 2 system with d = 17 and 18: 80 s and 325 s on an idle 8-core machine).
_GATE_BYTES = 80
_GATE_BYTES_PER_CONTROL = 4
_GATE_SECONDS = 1e-6
_SERIAL_SECONDS_PER_AMPLITUDE = 2.5e-10
_PARALLEL_AMPLITUDES = 1 << 14
_PARALLEL_GATE_SECONDS = 5e-6
_PARALLEL_SECONDS_PER_AMPLITUDE = 5.5e-11

# Phase estimation's controlled powers U^(2^j) and their inverses: 2 d dense
# N x N gates on the whole state, each 2**d products of the matrix with a
# vector (N**2 multiply-adds). A matrix beyond 16 MiB (N > 1024) no longer
# stays in the cores' caches, and every product streams it from memory:
# N = 1024, d = 10 ran 13 s, N = 2048, d = 12 886 s.
_POWER_SECONDS_PER_MAC = 2e-10
_STREAMED_SECONDS_PER_MAC = 1.9e-9
_CACHED_MATRIX_BYTES = 16 << 20

# PelqaSolver's dense N x N work besides the circuit's gates: U = exp(2 pi i A
# t), its columns read back one simulation each, the d powers U^(2^j) of
# phase estimation and their inverses, all alive at once (about 2 d + 8
# matrices measured at N = 1024 and 2048), and products of N**3 each.
_DENSE_MATRICES_PER_PHASE_QUBIT = 2
_DENSE_MATRICES = 8
_DENSE_SECONDS_PER_CUBE = 6e-10      # times (d + 2) N**3

# ZumraSolver, per walk step of 4 n + 27 circuit calls: about 300 bytes a call
# (8.2 kB a step measured at n = 1), and the step's dense N x N and 2N x 2N
# products.
_CALL_BYTES = 300
_STEP_SECONDS = 1e-4
_STEP_SECONDS_PER_ENTRY = 1.2e-7     # times N**2

# The circuit shares one checked copy of a dense matrix among the gates given
# the same array only up to 8 MiB (its memo's largest entry); a larger matrix
# is copied, and checked for unitarity by a product of its size cubed, at every
# gate that takes it. The walk's |b> preparation (N x N, 4 gates a step) and
# block encoding of A (2N x 2N, 2 gates a step) pass that size from N = 1024
# and N = 512: then every step holds copies of its own (N = 1024: 192 MiB).
_SHARED_MATRIX_BYTES = 8 << 20
_CHECK_SECONDS_PER_CUBE = 1e-10

# ZumraSolver's work before its walk, on the N x N system: the singular values
# of A twice (its norm and condition number, 7 s each at N = 2048 and 48 s at
# N = 4096, measured) and the full decomposition and two 2N x 2N products of
# its block encoding.
_PREPARATION_SECONDS_PER_CUBE = 4.7e-9

# The default walk is the smallest even number of steps not below 10 kappa:
# 12 at the least, for a kappa just above 1 (kappa = 1 itself needs no walk).
SHORTEST_DEFAULT_WALK = 12

# Larger exponents are refused long before; they would only overflow the sums.
_EXPONENT_CAP = 1000


def _pow2(k):
    return math.ldexp(1.0, min(k, _EXPONENT_CAP))


def chebyshev_degree(kappa, epsilon):
    """(b, j0) of the Chebyshev expansion of 1/x for ``kappa`` and ``epsilon``.

    ValueError for an epsilon outside (0, kappa), where ln(kappa / epsilon) is
    not positive or not defined, and where the binomial tails cannot be
    formed in double precision.
    """
    if not 0 < epsilon < kappa:
        raise ValueError(f"epsilon must lie between 0 and kappa (0 < epsilon < kappa = {kappa:.6g}), "
                         f"got {epsilon!r}")
    size = kappa * kappa * _log_quotient(kappa, epsilon)  # inf, not OverflowError, past the range
    # The trial counts b + j (j0 is far below b there) must be exact doubles.
    if size > 2.0 ** 52:
        raise ValueError(f"Chebyshev coefficients cannot be formed for kappa = {kappa:g} and "
                         f"epsilon = {epsilon:g}: their binomial tails would need {2 * size:.3e} "
                         f"trials, more than double precision counts exactly (2**53).")
    b = int(np.ceil(size))
    j0 = int(np.ceil(np.sqrt(b * _log_quotient(4 * b, epsilon))))
    return b, j0


def _log_quotient(a, b):
    """ln(a / b), also where an epsilon far below the range of its use
    (1e-300) makes the quotient overflow: its logarithm does not."""
    quotient = a / b
    return np.log(quotient) if np.isfinite(quotient) else np.log(a) - np.log(b)


def chebyshev_terms(b, j0):
    """How many of c_0 ... c_j0 exceed 1e-8 in modulus (the terms kept).

    c_j = 4 P(X > b + j), X binomial with 2b trials of 1/2, falls with j, so
    the last kept j is found by bisection, from about 30 tails.
    """
    from scipy.special import betainc

    def kept(j):
        return j < b and 4.0 * betainc(b + 1.0 + j, b - 1.0 * j, 0.5) > 1e-8

    if not kept(0):
        return 0
    low, high = 0, j0  # kept(low); the answer is below high + 1
    while low < high:
        middle = (low + high + 1) // 2
        if kept(middle):
            low = middle
        else:
            high = middle - 1
    return low + 1


def tiberq_cost(kappa, epsilon, n):
    """(terms, qubits, bytes, seconds) of a TiberqSolver run on an n x n system."""
    b, j0 = chebyshev_degree(kappa, epsilon)
    terms = max(chebyshev_terms(b, j0), 1)
    n_be = (n - 1).bit_length() + 1
    padded = _pow2(n_be - 1)
    n_anc = (terms - 1).bit_length()
    state = 16 * _pow2(n_be + n_anc)
    nbytes = terms * (_TERM_BYTES + _TERM_BYTES_PER_ENTRY * padded ** 2) + 3 * state + 64 * (j0 + 1)
    seconds = terms * (_TERM_SECONDS + _TERM_SECONDS_PER_CUBE * padded ** 3 + _TERM_SECONDS_PER_STATE_BYTE * state)
    return terms, n_be + n_anc, nbytes, seconds


def require_tiberq(kappa, epsilon, n, size_only=False):
    """Refuse a TiberqSolver run on an n x n system that cannot fit or finish.

    ``size_only``: kappa = 1 stands for the fewest terms any A of the size
    takes, kappa not being known yet; the message then names the size.
    """
    terms, qubits, nbytes, seconds = tiberq_cost(kappa, epsilon, n)
    if size_only:
        what = (f"A {n} x {n} system, even at the fewest Chebyshev terms of any A (kappa = 1 with epsilon = "
                f"{epsilon:g}: {terms:,} terms, a circuit on {qubits} qubits)")
        hint = "Each term is block-encoded as a dense unitary of twice the system's size."
    else:
        what = (f"kappa = {kappa:.6g} with epsilon = {epsilon:g} ({terms:,} Chebyshev terms, a circuit on {qubits} "
                f"qubits)")
        hint = "A larger epsilon, or a better-conditioned A, needs fewer terms."
    require_resources(nbytes, seconds, what, hint=hint)


def pelqa_cost(d, n):
    """(gates, bytes, seconds) of a PelqaSolver run with d phase qubits on n system qubits."""
    gates = (_pow2(d) - 1) * (d + 1) + 2 * d * d + 8 * d + 8  # the rotation, both phase estimations
    amplitudes = _pow2(1 + d + n)
    dense_bytes, dense_seconds = _pelqa_dense_cost(d, n)
    nbytes = gates * (_GATE_BYTES + _GATE_BYTES_PER_CONTROL * d) + 4 * 16 * amplitudes + dense_bytes
    if amplitudes > _PARALLEL_AMPLITUDES:
        per_gate = _PARALLEL_GATE_SECONDS + _PARALLEL_SECONDS_PER_AMPLITUDE * amplitudes
    else:
        per_gate = _SERIAL_SECONDS_PER_AMPLITUDE * amplitudes
    seconds = gates * (_GATE_SECONDS + per_gate) + dense_seconds + _pelqa_power_seconds(d, n)
    return gates, nbytes, seconds


def _pelqa_power_seconds(d, n):
    """Seconds of phase estimation's 2 d controlled N x N powers applied to the state."""
    streamed = 16 * _pow2(2 * n) > _CACHED_MATRIX_BYTES
    per_mac = _STREAMED_SECONDS_PER_MAC if streamed else _POWER_SECONDS_PER_MAC
    return 2 * d * _pow2(d) * _pow2(2 * n) * per_mac


def _pelqa_dense_cost(d, n):
    """(bytes, seconds) of PelqaSolver's dense 2**n x 2**n matrices, the part that grows with A."""
    nbytes = 16 * _pow2(2 * n) * (_DENSE_MATRICES_PER_PHASE_QUBIT * d + _DENSE_MATRICES)
    return nbytes, _DENSE_SECONDS_PER_CUBE * (d + 2) * _pow2(3 * n)


def require_pelqa(d, n):
    """Refuse a PelqaSolver run with d phase qubits on n system qubits that cannot fit or finish."""
    if d < 1:
        return
    # A large system is refused by its size first: fewer phase qubits would
    # hardly help there.
    size = 1 << n if n < 64 else _pow2(n)
    nbytes, seconds = _pelqa_dense_cost(d, n)
    require_resources(nbytes, seconds,
                      f"A {size:g} x {size:g} system (phase estimation's dense exponential of A, its powers "
                      f"for d = {d} phase qubits and their inverses)",
                      hint="PelqaSolver holds about 2 d + 8 dense matrices of the system's size.")
    gates, nbytes, seconds = pelqa_cost(d, n)
    require_resources(nbytes, seconds,
                      f"d = {d} phase qubits (a reciprocal rotation of {gates:.3g} gates on {1 + d + n} qubits)",
                      hint="Each phase qubit doubles the rotation; a d that resolves the smallest eigenphase "
                           "is enough.")


def zumra_cost(T, n_sys):
    """(circuit calls, bytes, seconds) of a ZumraSolver walk of T steps on n_sys system qubits."""
    entries = _pow2(2 * n_sys)
    calls = float(T) * (4 * n_sys + 27)
    step_bytes = 0.0
    step_seconds = _STEP_SECONDS + _STEP_SECONDS_PER_ENTRY * entries
    for dimension, gates in ((_pow2(n_sys), 4), (_pow2(n_sys + 1), 2)):
        matrix = 16 * dimension * dimension
        if matrix > _SHARED_MATRIX_BYTES:
            step_bytes += gates * matrix
            step_seconds += gates * _CHECK_SECONDS_PER_CUBE * dimension ** 3
    nbytes = calls * _CALL_BYTES + float(T) * step_bytes + 4 * 16 * _pow2(n_sys + 5) + 4 * 64 * entries
    seconds = float(T) * step_seconds + _PREPARATION_SECONDS_PER_CUBE * _pow2(3 * n_sys)
    return calls, nbytes, seconds


def require_zumra(T, n_sys, shortest=False):
    """Refuse a ZumraSolver walk of T steps on n_sys system qubits that cannot fit or finish.

    ``shortest``: T stands for the shortest walk the default can take, whose
    length is not known yet; the message then names the system's size instead.
    """
    calls, nbytes, seconds = zumra_cost(T, n_sys)
    copied = ", each step with its own copies of the dense matrices" if 16 * _pow2(2 * n_sys + 2) > \
        _SHARED_MATRIX_BYTES else ""
    size = f"{_pow2(n_sys):g}"
    what = (f"A walk on a {size} x {size} system, even the shortest of the default ({T} steps, {calls:.3g} "
            f"circuit calls on {n_sys + 5} qubits{copied})" if shortest else
            f"T = {T} walk steps ({calls:.3g} circuit calls on {n_sys + 5} qubits{copied})")
    hint = ("Each step holds the dense N x N and 2N x 2N matrices of the system; its singular values and "
            "block encoding take N**3 work besides." if shortest else
            "The default T, the smallest even number not below 10 kappa, is usually enough.")
    require_resources(nbytes, seconds, what, hint=hint)


def require_zumra_walk(T, n_sys):
    """`require_zumra` for the T a caller gave: None stands for the shortest walk the default can
    take, a T of 0 or less (refused later) for none."""
    if T is None:
        require_zumra(SHORTEST_DEFAULT_WALK, n_sys, shortest=True)
    elif T > 0:
        require_zumra(T, n_sys)
