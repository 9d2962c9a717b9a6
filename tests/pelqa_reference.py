"""Closed-form model of the phase-estimation solver, without circuits.

Phase estimation maps an eigenvector of A with eigenphase phi = lambda t to
sum_k a_k |k>, a_k = 2^-d sum_m exp(2 pi i m (phi - k / 2^d)). The rotation
gives the ancilla's |1> branch the amplitude g(k) on |k>, and inverse phase
estimation projected on phase 0 multiplies by conj(a_k). The post-selected
block is therefore V diag(w) V^H b_state with w(lambda) = sum_k |a_k|^2 g(k).
"""
import numpy as np


def rotation_gains(d, k_start, C, linear, signed):
    """g(k) for every phase index, and the rotation count and largest angle."""
    grid = 2 ** d
    gains = np.zeros(grid)
    thetas = []
    for k in range(1, grid):
        den = k - grid if signed and k >= grid // 2 else k
        if abs(den) < k_start:
            continue
        val = min(1.0, max(-1.0, C / den))
        theta = 2 * val if linear else 2 * np.arcsin(val)
        if abs(theta) < 1e-12:
            continue
        gains[k] = np.sin(val) if linear else val
        thetas.append(abs(theta))
    return gains, len(thetas), max(thetas, default=0.0)


def readout_probabilities(phases, d):
    """|a_k|^2 for each eigenphase (rows) and phase index k (columns)."""
    grid = 2 ** d
    m = np.arange(grid)
    k = np.arange(grid)
    delta = np.asarray(phases)[:, None] - k[None, :] / grid
    a = np.exp(2j * np.pi * m[None, None, :] * delta[:, :, None]).sum(axis=2) / grid
    return np.abs(a) ** 2


def parameters(A, b, d, t=None, r=None, small=None):
    """Dilated system, t, k_start, rotation constant, scale and rotation form."""
    A = np.array(A, dtype=complex)
    b = np.array(b, dtype=complex).reshape(-1)
    N = A.shape[0]
    dilated = not np.allclose(A, A.conj().T)
    if dilated:
        A = np.block([[np.zeros_like(A), A], [A.conj().T, np.zeros_like(A)]])
        b = np.concatenate([b, np.zeros(N, complex)])
    lam = np.linalg.eigvalsh(A)
    mags = np.abs(lam)[np.abs(lam) > 1e-12]
    signed = bool((lam < -1e-12).any())
    grid = 2 ** d
    phi_max = (0.5 if signed else 1.0) - 1.0 / grid
    if t is None or mags.max() * t > phi_max:
        t = phi_max / mags.max()
    k_start = max(1, min(int(np.floor(mags.min() * t * grid)) - 10, grid - 1))
    norm_b = np.linalg.norm(b)
    if r is None:
        C, scale, linear = float(k_start), norm_b * t * grid / k_start, False
    else:
        C_base = 2.0 ** -r * np.pi
        C, scale = C_base * t * grid, norm_b / C_base
        linear = (r >= 5) if small is None else small
    return dict(A=A, b_state=b / norm_b, N=N, dilated=dilated, t=t, k_start=k_start, C=C,
                scale=scale, linear=linear, signed=signed)


def solve(A, b, d, t=None, r=None, small=None):
    """What the solver returns: x_q, p_succ, scale, n_rot and max_theta."""
    s = parameters(A, b, d, t, r, small)
    w_eig, V = np.linalg.eigh(s["A"])
    gains, n_rot, max_theta = rotation_gains(d, s["k_start"], s["C"], s["linear"], s["signed"])
    weights = readout_probabilities(w_eig * s["t"] % 1.0, d) @ gains
    block = V @ (weights * (V.conj().T @ s["b_state"]))
    x_q = block * s["scale"]
    if s["dilated"]:
        x_q = x_q[s["N"]:]
    return dict(x_q=x_q, p_succ=float(np.vdot(block, block).real), scale=s["scale"],
                n_rot=n_rot, max_theta=max_theta, k_start=s["k_start"], t=s["t"])
