"""Dense little-endian operators of gate lists and QCIS text, for the compiler tests.

Written from the textbook definitions, independently of the package's own
matrix tables: qubit q is bit q of an amplitude index.
"""
import cmath
import math

import numpy as np

R = 1 / math.sqrt(2)
X = np.array([[0, 1], [1, 0]], dtype=complex)
Y = np.array([[0, -1j], [1j, 0]])
Z = np.diag([1, -1]).astype(complex)
I2 = np.eye(2, dtype=complex)


def rx(t):
    return math.cos(t / 2) * I2 - 1j * math.sin(t / 2) * X


def ry(t):
    return math.cos(t / 2) * I2 - 1j * math.sin(t / 2) * Y


def rz(t):
    return math.cos(t / 2) * I2 - 1j * math.sin(t / 2) * Z


def phase(t):
    return np.diag([1, cmath.exp(1j * t)])


def rxy(phi, theta):
    n = math.cos(phi) * X + math.sin(phi) * Y
    return math.cos(theta / 2) * I2 - 1j * math.sin(theta / 2) * n


def u3(theta, phi, lam):
    return cmath.exp(1j * (phi + lam) / 2) * rz(phi) @ ry(theta) @ rz(lam)


SQRTX = np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]]) / 2
SQRTY = cmath.exp(1j * math.pi / 4) * ry(math.pi / 2)

FIXED = {
    "i": I2, "x": X, "y": Y, "z": Z, "h": np.array([[R, R], [R, -R]], dtype=complex),
    "s": phase(math.pi / 2), "s_dag": phase(-math.pi / 2),
    "t": phase(math.pi / 4), "t_dag": phase(-math.pi / 4),
    "sqrtx": SQRTX, "sqrtx_dag": SQRTX.conj().T, "sqrty": SQRTY, "sqrty_dag": SQRTY.conj().T,
    "x2p": rx(math.pi / 2), "x2m": rx(-math.pi / 2), "y2p": ry(math.pi / 2), "y2m": ry(-math.pi / 2),
    "swap": np.eye(4)[[0, 2, 1, 3]].astype(complex),
    "barrier": I2, "b": I2,
}
BASE = {"cx": "x", "cnot": "x", "mcx": "x", "cy": "y", "mcy": "y", "cz": "z", "mcz": "z",
        "ch": "h", "mch": "h", "cs": "s", "cp": "p", "mcp": "p", "crx": "rx", "mcrx": "rx",
        "cry": "ry", "mcry": "ry", "crz": "rz", "mcrz": "rz"}
PARAMETRIC = {"rx": rx, "ry": ry, "rz": rz, "p": phase, "u": u3, "xyarb": rxy, "rxy": rxy,
              "rzz": lambda t: np.diag([cmath.exp(-0.5j * t), cmath.exp(0.5j * t),
                                        cmath.exp(0.5j * t), cmath.exp(-0.5j * t)])}


def base_matrix(gate):
    if gate.stored_matrix is not None:
        return np.asarray(gate.stored_matrix, dtype=complex)
    gid = BASE.get(gate.id, gate.id)
    if gid in ("barrier", "b"):
        return np.eye(2 ** len(gate.target), dtype=complex)
    if gid in FIXED:
        return FIXED[gid]
    return np.asarray(PARAMETRIC[gid](*gate.parameter), dtype=complex)


def embed(op, targets, controls, states, n):
    dim = 1 << n
    full = np.zeros((dim, dim), dtype=complex)
    k = len(targets)
    for col in range(dim):
        if any(((col >> c) & 1) != s for c, s in zip(controls, states)):
            full[col, col] = 1
            continue
        sub = sum(((col >> t) & 1) << j for j, t in enumerate(targets))
        base = col & ~sum(1 << t for t in targets)
        for row_sub in range(1 << k):
            row = base | sum(((row_sub >> j) & 1) << t for j, t in enumerate(targets))
            full[row, col] = op[row_sub, sub]
    return full


def gate_operator(gate, n):
    if gate.id == "gp" and gate.stored_matrix is None:
        # A global phase on the subspace that the controls select.
        value = cmath.exp(1j * gate.parameter[0])
        diag = [value if all(((i >> c) & 1) == s for c, s in zip(gate.control, gate.control_state)) else 1
                for i in range(1 << n)]
        return np.diag(np.array(diag, dtype=complex))
    return embed(base_matrix(gate), tuple(gate.target), tuple(gate.control), tuple(gate.control_state), n)


def operator(gates, n):
    total = np.eye(1 << n, dtype=complex)
    for gate in gates:
        if gate.block_gate_sequence is not None:
            total = operator(gate.decompose(), n) @ total
        else:
            total = gate_operator(gate, n) @ total
    return total


def equal_up_to_phase(a, b, atol=1e-9):
    index = np.unravel_index(np.argmax(np.abs(b)), b.shape)
    if abs(a[index]) < 1e-12:
        return False
    return np.allclose(a * (b[index] / a[index]), b, atol=atol)


QCIS_FIXED = {"X": X, "Y": Y, "Z": Z, "H": FIXED["h"], "S": FIXED["s"], "SD": FIXED["s_dag"],
              "T": FIXED["t"], "TD": FIXED["t_dag"], "I": I2, "X2P": FIXED["x2p"], "X2M": FIXED["x2m"],
              "Y2P": FIXED["y2p"], "Y2M": FIXED["y2m"]}
QCIS_ROTATIONS = {"RX": rx, "RY": ry, "RZ": rz, "RXY": rxy}


def qcis_operator(text, n):
    """Unitary of QCIS text on n qubits; M and B lines are skipped."""
    total = np.eye(1 << n, dtype=complex)
    for line in text.splitlines():
        tokens = line.split()
        if not tokens or tokens[0] in ("M", "B"):
            continue
        op = tokens[0]
        if op == "CZ":
            a, b = (int(t[1:]) for t in tokens[1:3])
            m = embed(Z, (b,), (a,), (1,), n)
        else:
            q = int(tokens[1][1:])
            angles = [float(t) for t in tokens[2:]]
            single = QCIS_FIXED[op] if op in QCIS_FIXED else QCIS_ROTATIONS[op](*angles)
            m = embed(single, (q,), (), (), n)
        total = m @ total
    return total


def random_unitary(rng, dim):
    q, r = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q * (np.diag(r) / np.abs(np.diag(r)))
