"""Circuit gates as whole operators: every control-state form, record-backed gates, nested blocks.

Each case is compared with an operator built here from the gate's 2x2 (or 2**k) matrix, on
both execution paths: the native executor (one run per basis state) and the PyTorch path
(`apply_to_batch` of the identity batch).
"""
import numpy as np
import pytest
import torch

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.core import Circuit

N = 3
THETA = 0.61


def _rot(kind, t):
    c, s = np.cos(t / 2), np.sin(t / 2)
    return {"ry": np.array([[c, -s], [s, c]], dtype=complex),
            "rx": np.array([[c, -1j * s], [-1j * s, c]]),
            "rz": np.diag([np.exp(-0.5j * t), np.exp(0.5j * t)])}[kind]


X = np.array([[0, 1], [1, 0]], dtype=complex)
Z = np.diag([1.0, -1.0]).astype(complex)
H = np.array([[1, 1], [1, -1]], dtype=complex) / np.sqrt(2)


def _unitary(k, seed):
    rng = np.random.default_rng(seed)
    q, r = np.linalg.qr(rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k)))
    return q * (np.diag(r) / np.abs(np.diag(r)))


U2 = _unitary(2, 11)
U1 = _unitary(1, 12)


def operator(u, n, targets, controls=(), states=None):
    """2**n operator of ``u`` with bit i of its index on targets[i], acting where controls hold states."""
    states = [1] * len(controls) if states is None else list(states)
    result = np.zeros((1 << n, 1 << n), dtype=complex)
    for col in range(1 << n):
        if any((col >> c) & 1 != s for c, s in zip(controls, states)):
            result[col, col] = 1
            continue
        inner = sum(((col >> t) & 1) << i for i, t in enumerate(targets))
        rest = col & ~sum(1 << t for t in targets)
        for row_inner in range(1 << len(targets)):
            row = rest | sum(((row_inner >> i) & 1) << t for i, t in enumerate(targets))
            result[row, col] += u[row_inner, inner]
    return result


def native_operator(circuit, dtype=np.complex128):
    n = circuit.get_num_qubits()
    columns = []
    for col in range(1 << n):
        run = Circuit(n)
        for q in range(n):
            if (col >> q) & 1:
                run.x(q)
        run.append(circuit, range(n))
        columns.append(run.execute(dtype=dtype).state)
    return np.array(columns).T


def torch_operator(circuit, dtype=torch.complex128):
    dim = 1 << circuit.get_num_qubits()
    return circuit.compile().apply_to_batch(torch.eye(dim, dtype=dtype)).numpy().T


# (label, build(circuit), operator on N qubits)
GATES = [
    ("x", lambda c: c.x(1), operator(X, N, [1])),
    ("h", lambda c: c.h(2), operator(H, N, [2])),
    ("s", lambda c: c.s(0), operator(np.diag([1, 1j]), N, [0])),
    ("sdag", lambda c: c.sdag(0), operator(np.diag([1, -1j]), N, [0])),
    ("rz", lambda c: c.rz(THETA, 2), operator(_rot("rz", THETA), N, [2])),
    ("cx", lambda c: c.cx(2, 0, control_state=0), operator(X, N, [0], [2], [0])),
    ("cz", lambda c: c.cz(control=1, target=0, control_state="0"), operator(Z, N, [0], [1], [0])),
    ("ch", lambda c: c.ch(control=[0], target=1), operator(H, N, [1], [0])),
    ("cry", lambda c: c.cry(THETA, control=2, target=1, control_state=0), operator(_rot("ry", THETA), N, [1], [2], [0])),
    ("mcry", lambda c: c.mcry(THETA, [0, 2], 1, control_state="10"), operator(_rot("ry", THETA), N, [1], [0, 2], [1, 0])),
    ("mcrx", lambda c: c.mcrx(THETA, [1], 0), operator(_rot("rx", THETA), N, [0], [1])),
    ("mcz", lambda c: c.mcz(controls=[2, 1], target=0, control_state=[0, 1]), operator(Z, N, [0], [2, 1], [0, 1])),
    ("gp", lambda c: c.gp(THETA), np.exp(1j * THETA) * np.eye(1 << N)),
    ("unitary", lambda c: c.unitary(U2, [2, 0], control=1, control_state=0), operator(U2, N, [2, 0], [1], [0])),
]


@pytest.mark.parametrize("backing", ["methods", "records"])
@pytest.mark.parametrize("label,build,expected", GATES, ids=[g[0] for g in GATES])
def test_gate_its_inverse_and_its_controlled_placement(label, build, expected, backing):
    gate = Circuit(N)
    build(gate)
    if backing == "records":
        # the same gates, held as the records a caller hands over
        records = Circuit(N)
        records.gate_sequence = gate.gate_sequence
        gate = records
    placed = Circuit(N + 1)
    placed.append(gate, [3, 0, 2], control=[1], control_state="0")
    placed_expected = operator(expected, N + 1, [3, 0, 2], [1], [0])
    cases = [(gate, expected), (gate.dagger(), expected.conj().T),
             (placed, placed_expected), (placed.dagger(), placed_expected.conj().T)]
    for circuit, want in cases:
        np.testing.assert_allclose(native_operator(circuit), want, atol=1e-12)
        np.testing.assert_allclose(torch_operator(circuit), want, atol=1e-12)


# Control-state forms: (label, control, control_state, controls, states) for a target on qubit 1.
FORMS = [
    ("int-default", 2, None, [2], [1]),
    ("int-int0", 2, 0, [2], [0]),
    ("int-str0", 0, "0", [0], [0]),
    ("list-list", [2, 0], [1, 0], [2, 0], [1, 0]),
    ("list-str", [2, 0], "01", [2, 0], [0, 1]),
    ("list-tuple", [0, 2], (0, 0), [0, 2], [0, 0]),
    ("empty-with-state", [], "0", [], []),
]

METHODS = [
    ("cx", lambda c, ctl, cs: c.cx(ctl, 1, control_state=cs), X),
    ("cz", lambda c, ctl, cs: c.cz(control=ctl, target=1, control_state=cs), Z),
    ("ch", lambda c, ctl, cs: c.ch(control=ctl, target=1, control_state=cs), H),
    ("cry", lambda c, ctl, cs: c.cry(THETA, control=ctl, target=1, control_state=cs), _rot("ry", THETA)),
    ("mcry", lambda c, ctl, cs: c.mcry(THETA, ctl, 1, control_state=cs), _rot("ry", THETA)),
    ("mcrx", lambda c, ctl, cs: c.mcrx(THETA, ctl, 1, control_state=cs), _rot("rx", THETA)),
    ("mcz", lambda c, ctl, cs: c.mcz(controls=ctl, target=1, control_state=cs), Z),
    ("unitary", lambda c, ctl, cs: c.unitary(U1, [1], control=ctl, control_state=cs), U1),
]


@pytest.mark.parametrize("form", FORMS, ids=[f[0] for f in FORMS])
@pytest.mark.parametrize("method", METHODS, ids=[m[0] for m in METHODS])
def test_every_control_state_form_of_every_controlled_method(method, form):
    _, build, matrix = method
    _, control, control_state, controls, states = form
    circuit = Circuit(N)
    build(circuit, control, control_state)
    expected = operator(matrix, N, [1], controls, states)
    np.testing.assert_allclose(native_operator(circuit), expected, atol=1e-12)
    np.testing.assert_allclose(native_operator(circuit, np.complex64), expected, atol=1e-5)
    np.testing.assert_allclose(torch_operator(circuit), expected, atol=1e-12)
    np.testing.assert_allclose(torch_operator(circuit, torch.complex64), expected, atol=1e-5)


def test_nested_blocks_expand_one_level_at_a_time_and_invert_under_controls():
    inner = QuantumGate("inner", [1, 0], block_gate_sequence=(
        QuantumGate("rz", [0], parameter=(THETA,)), QuantumGate("cx", [1], control=[0])))
    outer = QuantumGate("outer", [2, 0, 1], control=[3], control_state=[0], block_gate_sequence=(
        QuantumGate("h", [1]), inner.replace(target=(2, 0))))
    n = 4
    # outer qubit r is qubit (2, 0, 1)[r]; inner qubit r is outer qubit (2, 0)[r]
    expected = (operator(X, n, [2], [1, 3], [1, 0]) @ operator(_rot("rz", THETA), n, [1], [3], [0])
                @ operator(H, n, [0], [3], [0]))
    circuit = Circuit(n)
    circuit.add_gate(outer)
    once, twice = circuit.decompose(), circuit.decompose().decompose()
    assert [g.id for g in once.gate_sequence.data()] == ["h", "inner"]
    assert [g.id for g in twice.gate_sequence.data()] == ["h", "rz", "cx"]
    placed = Circuit(n + 1)
    placed.append(circuit, [4, 0, 1, 2], control=[3])
    placed_expected = operator(expected, n + 1, [4, 0, 1, 2], [3], [1])
    for c, want in [(circuit, expected), (circuit.dagger(), expected.conj().T), (once, expected),
                    (twice, expected), (placed, placed_expected), (placed.dagger(), placed_expected.conj().T)]:
        np.testing.assert_allclose(native_operator(c), want, atol=1e-12)
        np.testing.assert_allclose(torch_operator(c), want, atol=1e-12)


def test_torch_jacobian_matches_native_finite_differences():
    def build(p):
        c = Circuit(2)
        c.h(0)
        c.cry(p[0], control=0, target=1, control_state=0)
        c.mcrx(p[1], [1], 0)
        sub = Circuit(1)
        sub.gp(p[0])
        sub.rz(p[1], 0)
        c.append(sub, [1], control=0)
        return c

    point = np.array([0.7, -0.4])
    jacobian = torch.func.jacrev(lambda p: torch.view_as_real(build(p).execute().state))(
        torch.tensor(point, dtype=torch.float64))
    step = 1e-6
    for i in range(2):
        shift = np.eye(2)[i] * step
        plus = build([float(v) for v in point + shift]).execute().state
        minus = build([float(v) for v in point - shift]).execute().state
        np.testing.assert_allclose(jacobian[..., i].numpy(), np.stack([((plus - minus) / (2 * step)).real,
                                                                        ((plus - minus) / (2 * step)).imag], -1),
                                   atol=1e-8)


@pytest.mark.parametrize("kwargs,dtype", [
    ({"device": torch.device("cpu")}, np.complex128),
    ({"dtype": "complex64"}, np.complex64),
    ({"dtype": torch.complex64}, np.complex64),
    ({"backend": "torch", "device": "cpu", "dtype": complex}, np.complex128),
])
def test_execute_accepts_the_cpu_device_and_complex_dtypes_in_any_spelling(kwargs, dtype):
    c = Circuit(1)
    c.h(0)
    state = c.execute(**kwargs).state
    assert state.dtype == dtype
    np.testing.assert_allclose(state, [2 ** -0.5, 2 ** -0.5], atol=1e-7)


@pytest.mark.parametrize("kwargs", [{"device": torch.device("meta")}, {"device": "cpu:0"}, {"backend": "Torch"},
                                    {"backend": None}, {"device": None}])
def test_execute_refuses_other_devices_and_backends(kwargs):
    with pytest.raises(ValueError, match="accepted"):
        Circuit(1).execute(**kwargs)
