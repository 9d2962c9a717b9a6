"""Schrödingerisation solvers of du/dt = A u: the minimal platform layer.

A = Hs + Aa with Hs symmetric and Aa antisymmetric. The warped variable
w(p) = e^{-p} u for p >= 0 (smoothly extended to p < 0) obeys
dw/dt = -Hs dw/dp + Aa w; in the Fourier modes k of p, w(p) = sum_k w_k
e^{ikp/R}, each mode evolves by exp(-i k t/R Hs) exp(t Aa), a unitary, so the
whole evolution runs as one circuit, and u is read back as e^{p*} w(p*) at a
grid point p* > 0.

- `schro_classical`: the exact limit, expm(T A) u0, with the circuit options
  only checked.
- `circuit_classical(n, na)`: the register layout: n state qubits with the
  na-qubit p register above them, holding the QFT of p and its inverse.
- `schro_trotter`: the circuit itself. H1 = exp(i (dt/R) Hs) and
  H2 = exp(dt Aa) are circuits on the state register; one step gives mode k
  H1^(-k) then H2, k in two's complement on the p register.
"""
import math

import numpy as np
from scipy.sparse.linalg import expm_multiply

from ._memory import naming_memory_errors, require_resources, require_time

# expm_multiply: about 5 us a product with the matrix, plus 0.7 ns a nonzero.
_PRODUCT_SECONDS = 5e-6
_PRODUCT_SECONDS_PER_NONZERO = 7e-10
# The executed Trotter circuit (see trotter_cost), measured at up to 2**20
# gates of 4 to 18 qubits each: the record of a gate built on its own (the
# preparations) and of a shared one (the steps'), the native store's, the
# OpenQASM export's; the time to build a gate of the preparations (the tree's
# Python), to run a gate and to export one; a kernel's time per amplitude it
# touches, run serially up to its threshold of pairs and in parallel above.
_OWN_GATE_BYTES = 300
_OWN_BYTES_PER_QUBIT = 16
_SHARED_GATE_BYTES = 16
_STORE_GATE_BYTES = 120
_EXPORT_GATE_BYTES = 450
_EXPORT_BYTES_PER_QUBIT = 65
_OWN_GATE_SECONDS = 2e-5
_PLACED_GATE_SECONDS = 5e-6
_RUN_GATE_SECONDS = 1.5e-6
_EXPORT_GATE_SECONDS = 1e-5
_EXPORT_SECONDS_PER_QUBIT = 3e-6
_PARALLEL_PAIRS = 8192
_SERIAL_SECONDS_PER_AMPLITUDE = 8e-10
_PARALLEL_SECONDS_PER_AMPLITUDE = 1.5e-10
# The examples' solution plot and circuit diagrams (at most 200 gates each).
_FIGURES_BYTES = 40 << 20
_FIGURES_SECONDS = 2.0
# i! of the warped profile's series exceeds the largest double beyond this.
_MAX_ORDER = 170


def _check_options(na, R, order, point):
    if isinstance(na, bool) or not isinstance(na, int) or na < 1:
        raise ValueError(f"na must be an integer >= 1, got {na!r}")
    if isinstance(order, bool) or not isinstance(order, int) or order < 1:
        raise ValueError(f"order must be an integer >= 1, got {order!r}")
    if not (math.isfinite(R) and R > 0):
        raise ValueError(f"R must be positive and finite, got {R!r}")
    if not (math.isfinite(point) and 0 <= point < math.pi * R):
        raise ValueError(f"point must lie in [0, pi*R), got {point!r}")


def check_profile_order(order):
    """Refuse an ``order`` whose warped profile's series cannot be formed in floating point."""
    if order > _MAX_ORDER:
        raise ValueError(f"order must be at most {_MAX_ORDER} (the warped profile's series divides by "
                         f"order!, which exceeds the floating-point range beyond {_MAX_ORDER}!), got {order!r}")


def schro_classical(A, u0, *, T, na, R, order, point):
    """expm(T A) u0 (real part): the limit that the circuit approximates."""
    _check_options(na, R, order, point)
    products, seconds = expm_multiply_cost(A, T)
    require_time(seconds, f"expm_multiply of T A (T = {T}, {products:.3g} products with the "
                          f"{A.shape[0]} x {A.shape[0]} matrix)")
    # A set-up whose solution overflows (r = -1000) ends in inf or NaN, which
    # the caller refuses as not finite in a sentence of its own: NumPy's
    # overflow warnings on the way there would only precede it.
    with np.errstate(over="ignore", invalid="ignore"):
        return np.real(expm_multiply(A * T, u0))


def expm_multiply_cost(A, T):
    """(products with A, seconds) that expm_multiply takes for expm(T A) u.

    It shifts T A by its mean eigenvalue (the trace over n), takes s steps of
    a Taylor polynomial of degree m (55 at most, accurate for norms up to
    9.9) and picks s from the norms ||B^p||^(1/p), p up to 9, of the shifted
    B: about 55 * ceil(max(d_8, d_9) / 9.9) products once B is large. The
    powers are formed of B / ||B||_1, banded and small, so they never
    overflow.
    """
    import scipy.sparse as sparse

    B = sparse.csc_matrix(A, dtype=float) * float(T)
    n = B.shape[0]
    B = (B - (B.diagonal().sum() / n) * sparse.identity(n, format="csc")).tocsc()
    size = float(abs(B).sum(axis=0).max()) if n else 0.0
    if not size > 0:
        return 0, 0.0
    unit = B / size
    power = unit
    norms = []
    for p in range(2, 10):
        power = (power @ unit).tocsc()
        norms.append(size * float(abs(power).sum(axis=0).max()) ** (1 / p))
    reach = max(norms[-2:]) if size > 6.4 else size
    products = 55 * math.ceil(reach / 9.9)
    return products, products * (_PRODUCT_SECONDS + _PRODUCT_SECONDS_PER_NONZERO * B.nnz)


def p_grid(na, R):
    """The M = 2**na points p_j = j dp (j - M for j >= M/2), dp = 2 pi R / M."""
    M = 1 << na
    j = np.arange(M)
    return np.where(j >= M // 2, j - M, j) * (2 * math.pi * R / M)


def readout_index(na, R, point):
    """The index j* of the p grid point nearest ``point``, where u is read out."""
    return int(np.argmin(np.abs(p_grid(na, R) - point)))


def warped_profile(p, order):
    """e^{-p} for p >= 0; e^{p} sum_{i<order} (-2p)^i / i! for p < 0."""
    p = np.asarray(p, dtype=float)
    series = sum((-2 * p) ** i / math.factorial(i) for i in range(order))
    return np.where(p >= 0, np.exp(-np.abs(p)), np.exp(p) * series)


# The p grid must hold the read-out's whole domain of dependence: the periodic
# profile, times e^{p*}, may reach at most this much where the evolution draws
# on it from beyond the domain (wrapped around, or across the jump at +-pi R).
P_DOMAIN_LEVEL = 0.1
# The profile's order-th derivative jumps by 2^order at p = 0, so its Fourier
# tail past the grid's Nyquist mode is about (2 dp)^order; at most this much.
P_SPACING_LEVEL = 0.1


def _log_series(x, order):
    """log sum_{i<order} x^i / i! for x > 0, without overflow."""
    terms = [i * math.log(x) - math.lgamma(i + 1) for i in range(order)]
    top = max(terms)
    return top + math.log(sum(math.exp(t - top) for t in terms))


def _log_negative_side(y, order):
    """log of the profile at p = -y (y >= 0): -y + log sum_{i<order} (2y)^i / i!."""
    return 0.0 if y <= 0 else -y + _log_series(2 * y, order)


def _negative_side_peak(order):
    """The y >= 0 where the profile's negative side peaks.

    Its derivative has the sign of sum_{i<order-1} (2y)^i/i! - (2y)^(order-1)/(order-1)!,
    positive up to one point below order - 1 and negative after it.
    """
    if order <= 1:
        return 0.0
    low, high = 0.0, order - 1.0
    for _ in range(100):
        middle = 0.5 * (low + high)
        last = (order - 1) * math.log(2 * middle) - math.lgamma(order) if middle > 0 else -math.inf
        if _log_series(2 * middle, order - 1) > last:
            low = middle
        else:
            high = middle
    return low


def profile_reach(order, level):
    """The depth y beyond which the profile's negative side stays below ``level`` (0 < level < 1).

    e^{-y} sum_{i<order} (2y)^i / i! starts at 1, peaks once and then falls for
    good, so the depth is where it crosses ``level`` past its peak.
    """
    target = math.log(level)
    low = _negative_side_peak(order)
    high = max(2 * low, 1.0)
    while _log_negative_side(high, order) > target:
        low, high = high, 2 * high
    for _ in range(100):
        middle = 0.5 * (low + high)
        if _log_negative_side(middle, order) > target:
            low = middle
        else:
            high = middle
    return high


def p_spacing_limit(order):
    """The largest p grid spacing at which the profile of ``order`` is resolved: (2 dp)^order <= the level."""
    return 0.5 * P_SPACING_LEVEL ** (1 / order)


def p_domain_needs(point, order, reach):
    """(R, na) of the smallest p grid on which reading out near ``point`` is sound.

    ``reach`` is how far the read-out's domain of dependence extends above the
    read-out point (T times the fastest decay rate of the operator). The
    periodic domain of length 2 pi R must hold it and the profile's negative
    side down to where it falls below `P_DOMAIN_LEVEL` e^{-p*}, and pi R that
    depth alone (the jump at -pi R); the spacing must stay within
    `p_spacing_limit`, which also bounds how far the read-out point p* lies
    above ``point``.
    """
    limit = p_spacing_limit(order)
    highest = point + limit / 2
    depth = profile_reach(order, P_DOMAIN_LEVEL * math.exp(-highest))
    R = max((highest + reach + depth) / (2 * math.pi), depth / math.pi)
    return R, p_points_needed(R, order)


def p_points_needed(R, order):
    """The na whose 2**na points space a p domain of length 2 pi R within `p_spacing_limit`."""
    return max(1, math.ceil(math.log2(2 * math.pi * R / p_spacing_limit(order)) - 1e-12))


def p_domain_level(na, R, point, order, reach):
    """e^{p*} times the largest value of the periodic profile that the read-out draws on from
    beyond the domain: at the jump at -pi R, and wherever p* + ``reach`` wraps around.

    inf once the domain of dependence wraps past p = 0 (it then meets the
    profile's bulk, or goes round more than once).
    """
    p_star = float(p_grid(na, R)[readout_index(na, R, point)])
    logs = [_log_negative_side(math.pi * R, order)]
    wrapped = p_star + reach - 2 * math.pi * R
    if wrapped > -math.pi * R:
        if wrapped >= 0:
            return math.inf
        # The profile rises towards its peak and then falls: its largest value
        # on [-pi R, wrapped] is at the peak if that lies inside, else at an end.
        ends = [-wrapped, math.pi * R]
        peak = _negative_side_peak(order)
        if -wrapped < peak < math.pi * R:
            ends.append(peak)
        logs.extend(_log_negative_side(y, order) for y in ends)
    return math.exp(p_star + max(logs))


# The splitting error a Trotter run may carry on the values it reports,
# relative to the largest of them.
TROTTER_SPLIT_LEVEL = 5e-3
# Up to this size the step is formed as a dense matrix.
_DENSE_STEP_SIZE = 64


def trotter_product(A, u0, dt, Nt):
    """(split, exact): Nt steps of exp(dt As) exp(dt Hs) applied to u0, and exp(Nt dt A) u0.

    Hs and As are A's symmetric and antisymmetric parts. What schro_trotter
    reads out on a p grid that holds its domain of dependence is the first,
    so their distance is its splitting error. Real, as the read-out is.
    """
    import scipy.sparse as sparse

    A = sparse.csr_matrix(A, dtype=float)
    Hs, As = ((A + A.T) * 0.5).tocsr(), ((A - A.T) * 0.5).tocsr()
    split = np.asarray(u0, dtype=float)
    with np.errstate(over="ignore", invalid="ignore"):
        if A.shape[0] <= _DENSE_STEP_SIZE:
            # One dense step matrix: each step a product, not two expm_multiply calls.
            from scipy.linalg import expm

            step = expm(As.toarray() * dt) @ expm(Hs.toarray() * dt)
            for _ in range(Nt):
                split = step @ split
        else:
            for _ in range(Nt):
                split = expm_multiply(As * dt, expm_multiply(Hs * dt, split))
        exact = expm_multiply(A * (Nt * dt), np.asarray(u0, dtype=float))
    return split, exact


def _prepare_real(qc, vector, qubits):
    """RY tree: the (signed, real) unit vector on `qubits`, from |0...0>.

    Standard gates only, so that the circuit exports to OpenQASM. Qubit
    qubits[-1] splits the vector into halves first; the last level, on
    qubits[0], carries the signs through atan2.
    """
    k = len(qubits)
    amplitudes = np.asarray(vector, dtype=float)
    for level in range(k - 1, -1, -1):
        block = 1 << (level + 1)
        for prefix in range(len(amplitudes) // block):
            chunk = amplitudes[prefix * block:(prefix + 1) * block]
            low, high = chunk[: block // 2], chunk[block // 2:]
            if level == 0:
                angle = 2 * math.atan2(high[0], low[0])
            else:
                angle = 2 * math.atan2(np.linalg.norm(high), np.linalg.norm(low))
            if angle == 0:
                continue
            higher = list(qubits[level + 1:])
            states = [prefix >> i & 1 for i in range(len(higher))]
            qc.mcry(angle, higher, qubits[level], control_state=states)


def _qft(n):
    """|j> -> M^{-1/2} sum_k e^{2 pi i jk/M} |k> on n qubits (qubit q = bit q)."""
    from quorvex.core import Circuit

    qc = Circuit(n)
    for q in range(n - 1, -1, -1):
        qc.h(q)
        for m in range(q - 1, -1, -1):
            _controlled_phase(qc, math.pi / (1 << (q - m)), m, q)
    for q in range(n // 2):
        a, b = q, n - 1 - q
        qc.cx(a, b)
        qc.cx(b, a)
        qc.cx(a, b)
    return qc


def _controlled_phase(qc, phi, a, b):
    # diag(1, 1, 1, e^{i phi}) from standard gates.
    qc.rz(phi / 2, a)
    qc.cx(a, b)
    qc.rz(-phi / 2, b)
    qc.cx(a, b)
    qc.rz(phi / 2, b)
    qc.gp(phi / 4)


def circuit_classical(n, na):
    """The n-qubit state register with the na-qubit p register above it,
    carrying the QFT of p and its inverse."""
    from quorvex.core import Circuit

    qc = Circuit(n + na)
    p_register = list(range(n, n + na))
    qft = _qft(na)
    qc.append(qft, p_register)
    qc.append(qft.dagger(), p_register)
    return qc


def _touched(amplitudes):
    """(serial, parallel) amplitude counts of one gate that touches ``amplitudes``: a kernel runs
    in parallel only above its threshold of pairs."""
    return (0.0, amplitudes) if amplitudes / 2 > _PARALLEL_PAIRS else (amplitudes, 0.0)


def _tree_counts(k, N):
    """[gates, qubits named, serial and parallel amplitudes touched] of `_prepare_real` on k of
    N qubits, at most: level l (0 ... k-1) holds 2**(k-1-l) rotations under k-1-l controls,
    each touching the 2**(N-(k-1-l)) amplitudes its controls select."""
    total = [0.0, 0.0, 0.0, 0.0]
    for controls in range(k):
        serial, parallel = _touched(2.0 ** (N - controls))
        for i, value in enumerate((1, controls + 1, serial, parallel)):
            total[i] += value * 2.0 ** controls
    return total


def _sequence_counts(circuit, N, extra_controls=0):
    """[gates, qubits named, serial and parallel amplitudes touched] of ``circuit``'s gates placed
    among N qubits under ``extra_controls`` more controls."""
    total = [0.0, 0.0, 0.0, 0.0]
    for gate in circuit.gate_sequence.data():
        controls = len(gate.control) + extra_controls
        serial, parallel = _touched(2.0 ** (N - controls))
        for i, value in enumerate((1, controls + len(gate.target), serial, parallel)):
            total[i] += value
    return total


def trotter_counts(H1, H2, na, Nt):
    """What schro_trotter's circuit of Nt steps holds, as {"step": gates a step, "qubits": its
    width, "own": [gates, qubits named, serial and parallel amplitudes touched] of the
    preparations and transforms, each gate built on its own, "steps": the same of the Nt steps,
    whose gates are shared references to one step's}.

    A step applies H1 2**na - 1 times, each under one qubit of the p register,
    and H2 once; the state register is prepared by a tree of up to 2**n
    rotations, the p register by one of 2**na, and transformed twice.
    """
    n = H1.get_num_qubits()
    N = n + na
    repeats = (1 << na) - 1
    h1 = _sequence_counts(H1, N, extra_controls=1)
    h2 = _sequence_counts(H2, N)
    qft = _sequence_counts(_qft(na), N)
    own = [a + b + 2 * c for a, b, c in zip(_tree_counts(n, N), _tree_counts(na, N), qft)]
    step = [repeats * a + b for a, b in zip(h1, h2)]
    return {"step": int(step[0]), "qubits": N, "own": own, "steps": [float(Nt) * v for v in step]}


def trotter_cost(H1, H2, na, Nt, itemsize=16, export=True):
    """(gates per step, bytes, seconds) of schro_trotter's circuit of Nt steps, built and run, and
    with ``export`` written out as OpenQASM as the equation examples do.

    The circuit keeps a record per gate (its own for the gates built one by
    one, a shared reference for the steps'); the native store built to run it
    keeps another; exporting it holds the gate sequence and its text at once,
    after the state vector is freed. Records and text grow with the qubits a
    gate names.
    """
    counts = trotter_counts(H1, H2, na, Nt)
    own_gates, own_named, own_serial, own_parallel = counts["own"]
    step_gates, step_named, step_serial, step_parallel = counts["steps"]
    gates, named = own_gates + step_gates, own_named + step_named
    # One step's gates are placed (under their p-register control) once.
    placed = counts["step"]
    kept = ((own_gates + placed) * _OWN_GATE_BYTES + own_named * _OWN_BYTES_PER_QUBIT
            + step_gates * _SHARED_GATE_BYTES + gates * _STORE_GATE_BYTES)
    state = itemsize * 2.0 ** counts["qubits"]
    written = 0.0
    seconds = (own_gates * _OWN_GATE_SECONDS + placed * _PLACED_GATE_SECONDS + gates * _RUN_GATE_SECONDS
               + (own_serial + step_serial) * _SERIAL_SECONDS_PER_AMPLITUDE
               + (own_parallel + step_parallel) * _PARALLEL_SECONDS_PER_AMPLITUDE)
    if export:
        written = _FIGURES_BYTES + gates * _EXPORT_GATE_BYTES + named * _EXPORT_BYTES_PER_QUBIT
        seconds += _FIGURES_SECONDS + gates * _EXPORT_GATE_SECONDS + named * _EXPORT_SECONDS_PER_QUBIT
    return placed, kept + max(state, written), seconds


def _power(step, times):
    from quorvex.core import Circuit

    qc = Circuit(step.get_num_qubits())
    for _ in range(times):
        qc.append(step, list(range(step.get_num_qubits())))
    return qc


def schro_trotter(*, u0, H1, H2, R, na, Nt, order, point, backend, device, dtype):
    """Evolve u0 by Nt Trotter steps of the circuits H1 and H2.

    With H1 = exp(i (dt/R) Hs) and H2 = exp(dt Aa), the result approaches
    exp(Nt dt (Hs + Aa)) u0 to first order in dt. Returns (u, qc): the real
    solution vector and the executed circuit.
    """
    from quorvex.core import Circuit

    _check_options(na, R, order, point)
    check_profile_order(order)
    if isinstance(Nt, bool) or not isinstance(Nt, int) or Nt < 0:
        raise ValueError(f"Nt must be an integer >= 0, got {Nt!r}")
    u0 = np.asarray(u0, dtype=float).reshape(-1)
    n = H1.get_num_qubits()
    if H2.get_num_qubits() != n or len(u0) != 1 << n:
        raise ValueError(f"u0 has {len(u0)} entries; H1 and H2 must act on log2 of that many qubits,"
                         f" got {H1.get_num_qubits()} and {H2.get_num_qubits()}")
    norm_u0 = float(np.linalg.norm(u0))
    if not norm_u0 > 0:
        raise ValueError("u0 must not be zero")
    step_gates, nbytes, seconds = trotter_cost(H1, H2, na, Nt, export=False)
    what = f"the Trotter circuit of {Nt} steps of {step_gates} gates on {n + na} qubits"
    require_resources(nbytes, seconds, what)
    with naming_memory_errors(what):
        p = p_grid(na, R)
        g = warped_profile(p, order)
        norm_g = float(np.linalg.norm(g))

        state_register = list(range(n))
        p_register = list(range(n, n + na))
        qc = Circuit(n + na)
        _prepare_real(qc, u0 / norm_u0, state_register)
        _prepare_real(qc, g / norm_g, p_register)
        qft = _qft(na)
        # Amplitude of |k> proportional to the Fourier coefficient w_k.
        qc.append(qft.dagger(), p_register)

        # One step: mode k (two's complement on the p register) gets H1^(-k),
        # then H2 acts on every mode.
        step = Circuit(n + na)
        inverse = H1.dagger()
        power = inverse
        for b in range(na - 1):
            step.append(power, state_register, control=[p_register[b]], control_state=[1])
            power = _power(power, 2)
        step.append(_power(H1, 1 << (na - 1)), state_register, control=[p_register[-1]], control_state=[1])
        step.append(H2, state_register)
        for _ in range(Nt):
            qc.append(step, list(range(n + na)))

        qc.append(qft, p_register)
        state = np.asarray(qc.execute(backend=backend, device=device, dtype=dtype).state)
    j_star = readout_index(na, R, point)
    amplitudes = state.reshape(1 << na, 1 << n)[j_star]
    u = np.real(math.exp(p[j_star]) * norm_g * norm_u0 * amplitudes)
    return u, qc
