"""Decomposition rules behind the constructors of ``standard`` and ``tessik``: the minimal platform layer.

Every rule returns gates whose product equals its input exactly, global
phase included: a phase that a rewrite leaves behind is emitted as a ``gp``
gate, or, under controls, as a phase gate on a control qubit. Open control
states are honoured by flipping those controls with X around the rewrite.

The controlled rules bring a gate one step closer to single-qubit gates and
CNOTs: no control gives the uncontrolled id, one control the ZYZ form
A·X·B·X·C, and k >= 2 controls the split of U into V = sqrt(U) controlled
by fewer qubits, so each round removes a control.
"""
import cmath
import math

import numpy as np

from quorvex.backend.gate.matrix import UNITARY_TOLERANCE, resolve_numpy_base_matrix, unitary_deviation
from quorvex.backend.gate.morlith import QuantumGate

# Controlled and multi-controlled spellings of each uncontrolled id.
_BASE = {
    "x": "x", "cx": "x", "cnot": "x", "mcx": "x",
    "y": "y", "cy": "y", "mcy": "y",
    "z": "z", "cz": "z", "mcz": "z",
    "h": "h", "ch": "h", "mch": "h",
    "p": "p", "cp": "p", "mcp": "p", "s": "s", "cs": "s", "s_dag": "s_dag",
    "t": "t", "t_dag": "t_dag",
    "rx": "rx", "crx": "rx", "mcrx": "rx",
    "ry": "ry", "cry": "ry", "mcry": "ry",
    "rz": "rz", "crz": "rz", "mcrz": "rz",
    "sqrtx": "sqrtx", "sqrtx_dag": "sqrtx_dag",
    "sqrty": "sqrty", "sqrty_dag": "sqrty_dag",
    "gp": "gp", "unitary": "unitary",
}

_QUARTER = math.pi / 4
_EIGHTH = math.pi / 8

# Square roots V (and V^dagger) with an id of their own: base -> (id, params) pairs.
_NAMED_ROOTS = {
    "x": (("sqrtx", None), ("sqrtx_dag", None)),
    "y": (("sqrty", None), ("sqrty_dag", None)),
    "z": (("s", None), ("s_dag", None)),
    "s": (("t", None), ("t_dag", None)),
    "s_dag": (("t_dag", None), ("t", None)),
    "t": (("p", (_EIGHTH,)), ("p", (-_EIGHTH,))),
    "t_dag": (("p", (-_EIGHTH,)), ("p", (_EIGHTH,))),
}
_HALF_ANGLE_ROOTS = frozenset({"p", "rx", "ry", "rz"})


def _gate(gate_id, target, control=(), parameter=None, matrix=None):
    return QuantumGate(id=gate_id, target=target, control=control, parameter=parameter, matrix=matrix)


def _cx(controls, target):
    return _gate("cx" if len(controls) == 1 else "mcx", target, controls)


def _check_family(gate, family, constructor):
    if gate.id not in family:
        raise ValueError(constructor + " cannot decompose gate " + repr(gate.id) + "; it takes "
                         + ", ".join(sorted(family)) + ".")


def _single_target(gate):
    if len(gate.target) != 1:
        raise ValueError("Gate " + repr(gate.id) + " needs exactly one target, got "
                         + str(len(gate.target)) + ".")
    return gate.target[0]


def with_open_controls(gate, rule):
    """``rule(gate)`` for active-high controls, wrapped in X flips for the open ones."""
    open_controls = [q for q, s in zip(gate.control, gate.control_state) if s == 0]
    if not open_controls:
        return rule(gate)
    flips = [_gate("x", q) for q in open_controls]
    inner = rule(gate.replace(control_state=(1,) * len(gate.control)))
    return flips + inner + flips


def zyz_angles(matrix):
    """(alpha, beta, gamma, delta) with U = e^{i alpha} Rz(beta) Ry(gamma) Rz(delta)."""
    u = np.asarray(matrix, dtype=np.complex128)
    if u.shape != (2, 2):
        raise ValueError("A single-qubit rule needs a 2x2 matrix, got shape " + str(u.shape) + ".")
    alpha = cmath.phase(u[0, 0] * u[1, 1] - u[0, 1] * u[1, 0]) / 2
    w = u * cmath.exp(-1j * alpha)
    a, b = w[0, 0], w[1, 0]
    # atan2 of the moduli keeps full precision near gamma = 0 and pi (acos does not).
    gamma = 2 * math.atan2(abs(b), abs(a))
    if abs(a) < 1e-14:
        plus, minus = 0.0, 2 * cmath.phase(b)
    elif abs(b) < 1e-14:
        plus, minus = -2 * cmath.phase(a), 0.0
    else:
        plus, minus = -2 * cmath.phase(a), 2 * cmath.phase(b)
    return alpha, (plus + minus) / 2, gamma, (plus - minus) / 2


def _matrix_of(gate, base):
    bare = QuantumGate(id=base, target=gate.target, parameter=gate.parameter, matrix=gate.stored_matrix)
    return resolve_numpy_base_matrix(bare)


def _one_control(control, target, matrix):
    """C-U as rz/ry on the target, two CNOTs and a phase on the control."""
    alpha, beta, gamma, delta = zyz_angles(matrix)
    c = (control,)
    return [
        _gate("rz", target, parameter=((delta - beta) / 2,)),
        _gate("cx", target, c),
        _gate("rz", target, parameter=(-(delta + beta) / 2,)),
        _gate("ry", target, parameter=(-gamma / 2,)),
        _gate("cx", target, c),
        _gate("ry", target, parameter=(gamma / 2,)),
        _gate("rz", target, parameter=(beta,)),
        _gate("p", control, parameter=(alpha,)),
    ]


# The rule needs S @ S == U and the emitted inverse S^dagger to undo S. A root
# that misses either by more than this is not taken while the other sign of
# the determinant's square root does better.
_ROOT_TOLERANCE = 1e-9


def _root_deviation(root):
    # The next round checks the root and its inverse, which is the root's
    # conjugate transpose.
    return max(unitary_deviation(root), unitary_deviation(root.conj().T))


def _root_error(root, u):
    """How far ``root`` misses what the split of C^k U needs of it."""
    return max(float(np.abs(root @ root - u).max()), _root_deviation(root))


def _root_with(u, delta):
    """(U + delta I) / tau with tau^2 = tr U + 2 delta, or None where tau vanishes."""
    tau = cmath.sqrt(u[0, 0] + u[1, 1] + 2 * delta)
    return None if tau == 0 else (u + delta * np.eye(2)) / tau


def _unitary_root(matrix):
    """A square root S of a 2x2 unitary U (S @ S == U), itself unitary."""
    u = np.asarray(matrix, dtype=np.complex128)
    delta = cmath.sqrt(u[0, 0] * u[1, 1] - u[0, 1] * u[1, 0])
    tau = cmath.sqrt(u[0, 0] + u[1, 1] + 2 * delta)
    if abs(tau) < 1e-6:
        # The other root of the determinant avoids the cancellation.
        delta = -delta
        tau = cmath.sqrt(u[0, 0] + u[1, 1] + 2 * delta)
    root = (u + delta * np.eye(2)) / tau
    error = _root_error(root, u)
    if error > _ROOT_TOLERANCE:
        # tau^2 = tr U + 2 delta still cancels near e^{ia} I: the root stays
        # nearly unitary, but its square misses U as 1/|tau|^2 (a phase error
        # of tau is one of the root's, and under a control no global phase).
        # Or U itself is unitary only within the bound. With U's eigenvalues
        # l1, l2, tau^2 = (sqrt l1 +- sqrt l2)^2, whose two signs' squares add
        # up to 4: the other sign escapes the cancellation, and the root that
        # serves the rule better is kept.
        other = _root_with(u, -delta)
        if other is not None:
            other_error = _root_error(other, u)
            if other_error < error:
                root = other
    if not _root_deviation(root) <= UNITARY_TOLERANCE:
        # U is unitary only within the bound, and its root (or the root's
        # inverse) can be several times further off: its nearest unitary, the
        # polar factor, keeps the next round from refusing what it accepted.
        left, _, right = np.linalg.svd(root)
        root = left @ right
    return root


def _roots(gate, base, target):
    """Gates V and V^dagger (uncontrolled) with V @ V equal to the gate's matrix."""
    if base in _NAMED_ROOTS:
        (vid, vpar), (wid, wpar) = _NAMED_ROOTS[base]
        return _gate(vid, target, parameter=vpar), _gate(wid, target, parameter=wpar)
    if base in _HALF_ANGLE_ROOTS:
        (angle,) = gate.parameter
        return (_gate(base, target, parameter=(angle / 2,)),
                _gate(base, target, parameter=(-angle / 2,)))
    root = _unitary_root(_matrix_of(gate, base))
    return (_gate("unitary", target, matrix=root),
            _gate("unitary", target, matrix=np.ascontiguousarray(root.conj().T)))


def _controlled_by(gate, controls):
    return gate.replace(control=controls, control_state=None)


def _controlled_rule(gate):
    base = _BASE[gate.id]
    controls = tuple(gate.control)
    k = len(controls)
    if base == "gp":
        if k == 0:
            return [gate]
        # e^{i theta} where every control is 1: a phase gate on the last control.
        return [_gate("p", controls[-1], controls[:-1], parameter=gate.parameter)]
    target = _single_target(gate)
    if k == 0:
        if base == "unitary":
            alpha, beta, gamma, delta = zyz_angles(gate.stored_matrix)
            return [_gate("rz", target, parameter=(delta,)), _gate("ry", target, parameter=(gamma,)),
                    _gate("rz", target, parameter=(beta,)), _gate("gp", target, parameter=(alpha,))]
        if gate.id == base:
            return [gate]
        return [_gate(base, target, parameter=gate.parameter)]
    if k == 1:
        if base == "x":
            return [gate] if gate.id in ("cx", "cnot") else [_cx(controls, target)]
        if base == "z":
            if gate.id == "cz":
                h = _gate("h", target)
                return [h, _cx(controls, target), h]
            return [_gate("cz", target, controls)]
        return _one_control(controls[0], target, _matrix_of(gate, base))
    # C^k U = C(V)[ck] . C^{k-1}X[rest -> ck] . C(V+)[ck] . C^{k-1}X[rest -> ck] . C^{k-1}V[rest]
    v, v_dag = _roots(gate, base, target)
    rest, last = controls[:-1], controls[-1:]
    flip = _cx(rest, last[0])
    return [_controlled_by(v, last), flip, _controlled_by(v_dag, last), flip, _controlled_by(v, rest)]


def controlled_constructor(gate, family, constructor):
    """One rewrite step of a (multi-)controlled single-qubit gate of ``family``."""
    _check_family(gate, family, constructor)
    if gate.id == "unitary":
        _check_unitary(gate)
    return with_open_controls(gate, _controlled_rule)


def _check_unitary(gate):
    if len(gate.target) != 1:
        raise NotImplementedError("unitary_constructor decomposes single-target unitaries only, got "
                                  + str(len(gate.target)) + " targets.")
    if gate.stored_matrix is None:
        raise ValueError("Gate 'unitary' needs its matrix to be decomposed.")
    u = np.asarray(gate.stored_matrix, dtype=np.complex128)
    # Euler angles of a non-unitary matrix would describe some other gate; the
    # bound is the circuit layer's, so whatever a circuit holds compiles.
    if u.shape != (2, 2) or not unitary_deviation(u) <= UNITARY_TOLERANCE:
        raise ValueError("Gate 'unitary' on one target needs a 2x2 unitary matrix.")


def _two_targets(gate):
    if len(gate.target) != 2:
        raise ValueError("Gate " + repr(gate.id) + " needs exactly two targets, got "
                         + str(len(gate.target)) + ".")
    return gate.target


def _swap_rule(gate):
    a, b = _two_targets(gate)
    controls = tuple(gate.control)
    if not controls:
        return [_cx((a,), b), _cx((b,), a), _cx((a,), b)]
    return [_cx((b,), a), _cx(controls + (a,), b), _cx((b,), a)]


def _rzz_rule(gate):
    a, b = _two_targets(gate)
    parity = _cx((a,), b)
    return [parity, _gate("rz", b, tuple(gate.control), parameter=gate.parameter), parity]


def swap_like_constructor(gate, gate_id, constructor):
    _check_family(gate, (gate_id,), constructor)
    rule = _swap_rule if gate_id == "swap" else _rzz_rule
    return with_open_controls(gate, rule)


# --------------------------------------------------------------------------
# Vendor rules: every output gate carries the input's controls, which keeps
# the product exact under any control state.
# --------------------------------------------------------------------------

_HALF_PI = math.pi / 2
_PHASE_ANGLES = {"s": _HALF_PI, "s_dag": -_HALF_PI, "t": _QUARTER, "t_dag": -_QUARTER}


def _vendor_steps(gate):
    """(id, parameter) steps, in time order, for one vendor id."""
    gid = gate.id
    par = gate.parameter
    if gid == "x":
        return [("x2p", None), ("x2p", None), ("gp", (_HALF_PI,))]
    if gid == "y":
        return [("y2p", None), ("y2p", None), ("gp", (_HALF_PI,))]
    if gid == "z":
        return [("rz", (math.pi,)), ("gp", (_HALF_PI,))]
    if gid == "h":
        return [("rz", (math.pi,)), ("y2p", None), ("gp", (_HALF_PI,))]
    if gid == "rx":
        return [("y2m", None), ("rz", par), ("y2p", None)]
    if gid == "ry":
        return [("x2p", None), ("rz", par), ("x2m", None)]
    if gid in ("p", "s", "s_dag", "t", "t_dag"):
        phi = par[0] if gid == "p" else _PHASE_ANGLES[gid]
        return [("rz", (phi,)), ("gp", (phi / 2,))]
    if gid == "u":
        theta, phi, lam = par
        return [("rz", (lam,)), ("x2p", None), ("rz", (theta,)), ("x2m", None), ("rz", (phi,)),
                ("gp", ((phi + lam) / 2,))]
    if gid == "rxy":
        if par is None or len(par) != 2:
            raise ValueError("Gate 'rxy' takes two parameters (phi, theta).")
        return [("xyarb", par)]
    raise AssertionError(gid)


def vendor_constructor(gate, family, constructor):
    """Rewrite a vendor single-qubit id into native gates and a global phase."""
    _check_family(gate, family, constructor)
    target = _single_target(gate)
    control, state = gate.control, gate.control_state
    return [QuantumGate(id=gid, target=target, control=control, control_state=state, parameter=par)
            for gid, par in _vendor_steps(gate)]


def vendor_cx_constructor(gate, constructor):
    """CNOT as H . CZ . H on the target; the CZ carries the controls and their states."""
    _check_family(gate, ("cx", "cnot"), constructor)
    target = _single_target(gate)
    if not gate.control:
        raise ValueError(constructor + " needs a controlled gate, got " + repr(gate.id)
                         + " without controls.")
    h = _gate("h", target)
    cz = QuantumGate(id="cz", target=target, control=gate.control, control_state=gate.control_state)
    return [h, cz, h]


_NATIVE_TO_DEFAULT = {
    "x2p": ("rx", _HALF_PI), "x2m": ("rx", -_HALF_PI),
    "y2p": ("ry", _HALF_PI), "y2m": ("ry", -_HALF_PI),
}


def native_to_default(gate, constructor):
    """Vendor natives in default ids: half rotations, xyarb as rz . rx . rz, b as barrier."""
    _check_family(gate, ("x2p", "x2m", "y2p", "y2m", "xyarb", "b"), constructor)
    gid = gate.id
    control, state = gate.control, gate.control_state
    if gid == "b":
        return [QuantumGate(id="barrier", target=gate.target, control=control, control_state=state)]
    target = _single_target(gate)
    if gid in _NATIVE_TO_DEFAULT:
        rid, angle = _NATIVE_TO_DEFAULT[gid]
        return [QuantumGate(id=rid, target=target, control=control, control_state=state,
                            parameter=(angle,))]
    if gate.parameter is None or len(gate.parameter) != 2:
        raise ValueError("Gate 'xyarb' takes two parameters (phi, theta).")
    phi, theta = gate.parameter
    # The outer Z rotations cancel where the controls are off, so only rx needs them.
    return [_gate("rz", target, parameter=(-phi,)),
            QuantumGate(id="rx", target=target, control=control, control_state=state, parameter=(theta,)),
            _gate("rz", target, parameter=(phi,))]


# --------------------------------------------------------------------------
# Named constructors for the ``standard`` and ``tessik`` modules
# --------------------------------------------------------------------------

def _named(name, doc, body):
    def constructor(gate, circuit=None):
        return body(gate)
    constructor.__name__ = constructor.__qualname__ = name
    constructor.__doc__ = doc
    return constructor


def controlled(name, ids):
    """A constructor for the controlled forms of the space-separated ``ids``."""
    family = frozenset(ids.split())
    return _named(name, "One rewrite step of " + ", ".join(sorted(family)) + " under any controls.",
                  lambda gate: controlled_constructor(gate, family, name))


def two_qubit(name, gate_id):
    """A constructor for ``swap`` or ``rzz``."""
    return _named(name, "Rewrite " + gate_id + " with CNOTs.",
                  lambda gate: swap_like_constructor(gate, gate_id, name))


def vendor(name, ids):
    """A constructor rewriting the space-separated vendor ``ids`` into native gates."""
    family = frozenset(ids.split())
    return _named(name, "Rewrite " + ", ".join(sorted(family)) + " into vendor native gates.",
                  lambda gate: vendor_constructor(gate, family, name))
