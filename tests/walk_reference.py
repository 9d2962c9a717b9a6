"""Reference for the adiabatic solver's circuit, independent of quorvex.core.

`walk_calls` writes the solver's circuit as the list of circuit calls it must
make, `simulate` runs such a list on a little-endian NumPy state vector (qubit
q is bit q of the amplitude index), and `RecordingCircuit` / `FakeRegister`
stand in for the package's classes to capture what the solver really calls.
"""
from typing import NamedTuple

import numpy as np


class Qubit(NamedTuple):
    register: str
    index: int


class FakeRegister:
    def __init__(self, name, size):
        self.name, self.size = name, size

    def __getitem__(self, item):
        if isinstance(item, slice):
            return [Qubit(self.name, i) for i in range(self.size)[item]]
        if not 0 <= item < self.size:
            raise IndexError(item)
        return Qubit(self.name, item)


class McZTemplate(NamedTuple):
    """The (n + 1)-qubit template: Z on its last qubit when the others are all 1."""
    n: int


class RecordingCircuit:
    """Records every call; `execute` simulates the record with `simulate`."""

    def __init__(self, *registers):
        self.calls = []
        if len(registers) == 1 and isinstance(registers[0], int):
            self.registers, self.n = (), registers[0]
        else:
            self.registers = registers
            self.n = sum(r.size for r in registers)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return lambda *args, **kwargs: self.calls.append((name, args, kwargs))

    def layout(self):
        offsets, start = {}, 0
        for r in self.registers:
            offsets[r.name] = start
            start += r.size
        return offsets

    def execute(self, backend="torch", device="cpu", dtype=np.complex128):
        self.executed_with = (backend, device, dtype)
        state = simulate(self.n, self.calls, self.layout(), template=self.template_of)

        class Result:
            pass
        result = Result()
        result.state = state.astype(dtype)
        return result

    @staticmethod
    def template_of(sub):
        # The solver's only sub-circuit is the multi-controlled-Z template.
        assert sub.calls == [("mcz", (), {"controls": list(range(sub.n - 1)), "target": sub.n - 1,
                                           "control_state": [1] * (sub.n - 1)})], sub.calls
        return McZTemplate(sub.n - 1)


H = np.array([[1, 1], [1, -1]], dtype=complex) / np.sqrt(2)
X = np.array([[0, 1], [1, 0]], dtype=complex)
Z = np.diag([1, -1]).astype(complex)


def ry(theta):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -s], [s, c]], dtype=complex)


def apply(state, n, matrix, targets, controls=(), states=()):
    """Apply `matrix` (target[i] = bit i of its index) under controls, in place."""
    psi = state.reshape([2] * n)
    index = [slice(None)] * n
    for c, v in zip(controls, states):
        index[n - 1 - c] = v
    sub = psi[tuple(index)]
    # Axis a of psi is qubit n - 1 - a; the control axes are gone from sub.
    order = [n - 1 - a for a in range(n) if n - 1 - a not in controls]
    axis = {q: i for i, q in enumerate(order)}
    k = len(targets)
    if k == 0:
        sub *= matrix[0, 0]
        return
    axes = [axis[t] for t in reversed(targets)]
    out = np.tensordot(np.asarray(matrix).reshape([2] * (2 * k)), sub, axes=(list(range(k, 2 * k)), axes))
    sub[...] = np.moveaxis(out, list(range(k)), axes)


def _states(state, count):
    if state is None:
        return [1] * count
    if isinstance(state, int):
        return [state] * count
    return [int(s) for s in state]


def simulate(n, calls, layout, template=lambda sub: sub):
    """Run circuit calls (name, args, kwargs) from |0...0>; return the state."""
    state = np.zeros(2 ** n, dtype=complex)
    state[0] = 1

    def q(token):
        return layout[token.register] + token.index if isinstance(token, Qubit) else int(token)

    def qs(tokens):
        return [q(t) for t in tokens]

    for name, args, kw in calls:
        if name in ("h", "x"):
            apply(state, n, H if name == "h" else X, [q(args[0])])
        elif name == "cx":
            apply(state, n, X, [q(args[1])], [q(args[0])], [1])
        elif name in ("cz", "ch", "cry"):
            gate = {"cz": Z, "ch": H}[name] if name != "cry" else ry(args[0])
            apply(state, n, gate, [q(kw["target"])], [q(kw["control"])], _states(kw.get("control_state"), 1))
        elif name == "mcz":
            controls = qs(kw["controls"])
            apply(state, n, Z, [q(kw["target"])], controls, _states(kw.get("control_state"), len(controls)))
        elif name == "unitary":
            controls = qs(kw.get("control") or [])
            apply(state, n, args[0], qs(kw["target"]), controls,
                  _states(kw.get("control_state"), len(controls)))
        elif name == "append":
            sub = template(args[0])
            targets = qs(kw["target"])
            controls = qs(kw["control"])
            apply(state, n, Z, [targets[sub.n]], targets[:sub.n] + controls,
                  [1] * sub.n + _states(kw["control_state"], len(controls)))
        elif name == "gp":
            state *= np.exp(1j * args[0])
        else:
            raise AssertionError(f"unexpected circuit call {name}")
    return state


def schedule_theta(kappa, p, T, k):
    s = k / T
    f_s = kappa / (kappa - 1.0) * (1.0 - (1.0 + s * (kappa ** (p - 1) - 1.0)) ** (1 / (1 - p)))
    return 2.0 * np.arctan2(f_s, 1.0 - f_s)


def walk_calls(n_sys, Ub, Bl, kappa, p, T, template, Ub_dag=None, Bl_dag=None):
    """The solver's circuit: |b> preparation, then T walk steps."""
    sq = [Qubit("sys", i) for i in range(n_sys)]
    a = [Qubit("anl", j) for j in range(5)]
    Ub_dag = Ub.conj().T if Ub_dag is None else Ub_dag
    Bl_dag = Bl.conj().T if Bl_dag is None else Bl_dag
    reflection = (
        [("unitary", (Ub_dag,), {"target": sq})]
        + [("x", (q,), {}) for q in sq] + [("x", (a[4],), {})]
        + [("append", (template,), {"target": list(range(n_sys)) + [n_sys + 4],
                                    "control": [n_sys + 1, n_sys + 2], "control_state": [1, 1]})]
        + [("x", (q,), {}) for q in sq] + [("x", (a[4],), {})]
        + [("unitary", (Ub,), {"target": sq})])
    ctl = {"control": a[1], "target": a[3]}
    calls = [("unitary", (Ub,), {"target": sq})]
    for k in range(1, T + 1):
        theta = schedule_theta(kappa, p, T, k)
        calls += [("h", (a[2],), {})] + reflection + [
            ("cz", (), {**ctl, "control_state": 0}),
            ("cry", (theta,), {**ctl, "control_state": 0}),
            ("ch", (), {**ctl, "control_state": 1}),
            ("cz", (), {"target": a[4], "control": a[3], "control_state": 0}),
            ("unitary", (Bl,), {"target": list(range(n_sys + 1)), "control": [n_sys + 3, n_sys + 4],
                                "control_state": [1, 1]}),
            ("unitary", (Bl_dag,), {"target": list(range(n_sys + 1)), "control": [n_sys + 3, n_sys + 4],
                                    "control_state": [1, 0]}),
            ("cx", (a[3], a[4]), {}),
            ("x", (a[1],), {}),
            ("ch", (), {**ctl, "control_state": 1}),
            ("cz", (), {**ctl, "control_state": 0}),
            ("cry", (theta,), {**ctl, "control_state": 0}),
        ] + reflection + [
            ("h", (a[2],), {}),
            ("x", (a[3],), {}),
            ("mcz", (), {"controls": [n_sys, n_sys + 2], "target": a[3], "control_state": [0, 0]}),
            ("x", (a[3],), {}),
            ("gp", (np.pi,), {}),
        ]
    return calls


def prepared_system(A, b):
    """The Hermitian (dilated if needed), normalised system the walk solves."""
    A = np.asarray(A, dtype=complex)
    b = np.asarray(b, dtype=complex).reshape(-1)
    N = len(b)
    # Judged on A over its largest modulus, whatever its scale.
    peak = np.max(np.abs(A))
    dilated = not np.allclose(A / peak, A.conj().T / peak)
    if dilated:
        Z0 = np.zeros_like(A)
        A, b = np.block([[Z0, A], [A.conj().T, Z0]]), np.concatenate([b, np.zeros(N, complex)])
    a_norm, b_norm = np.linalg.norm(A, 2), np.linalg.norm(b)
    a_scale = a_norm if abs(a_norm - 1) > 1e-12 else 1.0
    b_scale = b_norm if abs(b_norm - 1) > 1e-12 else 1.0
    return A / a_scale, b / b_scale, a_scale, b_scale, dilated, N


def postselected_solution(state, A, b, a_scale, b_scale, dilated, N):
    """The caller's solution read from a final state: a4 = 1, a0..a3 = 0."""
    n = len(b)
    x = state[16 * n:17 * n]
    x = x / np.linalg.norm(x)
    # The factor that fits all equations best (least squares).
    Ax = A @ x
    x = x * (np.vdot(Ax, b) / np.vdot(Ax, Ax)) * (b_scale / a_scale)
    return x[N:] if dilated else x
