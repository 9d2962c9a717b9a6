"""Circuit and Register against an independent little-endian NumPy simulator."""
import gc
import re
import tracemalloc
import weakref

import numpy as np
import pytest
import torch

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.core import Circuit, Register
from quorvex.core import _memo as memo_module

# --- Reference: full operators on n little-endian qubits ------------------------

R2 = 1 / np.sqrt(2)
X = np.array([[0, 1], [1, 0]], dtype=complex)
Z = np.diag([1, -1]).astype(complex)
H = np.array([[R2, R2], [R2, -R2]], dtype=complex)
S = np.diag([1, 1j])
SDG = np.diag([1, -1j])


def RY(t):
    return np.array([[np.cos(t / 2), -np.sin(t / 2)], [np.sin(t / 2), np.cos(t / 2)]], dtype=complex)


def RX(t):
    return np.array([[np.cos(t / 2), -1j * np.sin(t / 2)], [-1j * np.sin(t / 2), np.cos(t / 2)]])


def RZ(t):
    return np.diag([np.exp(-0.5j * t), np.exp(0.5j * t)])


def full(u, targets, n, controls=(), states=None):
    """The 2**n operator of ``u`` (bit i of its index = targets[i]) under controls."""
    states = (1,) * len(controls) if states is None else states
    dim = 1 << n
    op = np.zeros((dim, dim), dtype=complex)
    k = len(targets)
    for col in range(dim):
        if any(((col >> c) & 1) != s for c, s in zip(controls, states)):
            op[col, col] = 1
            continue
        sub_col = sum(((col >> t) & 1) << i for i, t in enumerate(targets))
        rest = col & ~sum(1 << t for t in targets)
        for sub_row in range(1 << k):
            row = rest | sum(((sub_row >> i) & 1) << t for i, t in enumerate(targets))
            op[row, col] += u[sub_row, sub_col]
    return op


def random_unitary(k, seed):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k))
    q, r = np.linalg.qr(a)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def unit_vector(size, seed, complex_values=True):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=size) + (1j * rng.normal(size=size) if complex_values else 0)
    return v / np.linalg.norm(v)


N = 4
U2 = random_unitary(2, 7)
U1 = random_unitary(1, 8)

# (label, builder(circuit, angle), reference operator(angle)); the angle may be a float or a tensor.
CONTROL_FORMS = [("none", None, (1,)), ("int0", 0, (0,)), ("int1", 1, (1,)), ("list", [0], (0,)), ("str", "0", (0,))]

GATE_CASES = [
    ("x", lambda c, a: c.x(2), lambda a: full(X, [2], N)),
    ("h", lambda c, a: c.h(0), lambda a: full(H, [0], N)),
    ("s", lambda c, a: c.s(3), lambda a: full(S, [3], N)),
    ("sdag", lambda c, a: c.sdag(1), lambda a: full(SDG, [1], N)),
    ("rz", lambda c, a: c.rz(a, 1), lambda a: full(RZ(a), [1], N)),
    ("cx", lambda c, a: c.cx(3, 0), lambda a: full(X, [0], N, [3])),
    ("gp", lambda c, a: c.gp(a), lambda a: np.exp(1j * a) * np.eye(1 << N)),
    ("mcry", lambda c, a: c.mcry(a, [0, 3], 2), lambda a: full(RY(a), [2], N, [0, 3])),
    ("mcrx", lambda c, a: c.mcrx(a, [1], 0), lambda a: full(RX(a), [0], N, [1])),
    ("mcry-empty", lambda c, a: c.mcry(a, [], 2), lambda a: full(RY(a), [2], N)),
    ("unitary", lambda c, a: c.unitary(U2, [3, 1]), lambda a: full(U2, [3, 1], N)),
    ("unitary-ctrl", lambda c, a: c.unitary(U2, [0, 2], control=[1, 3], control_state="10"),
     lambda a: full(U2, [0, 2], N, [1, 3], (1, 0))),
]
for _label, _form, _states in CONTROL_FORMS:
    GATE_CASES += [
        ("cz-" + _label, lambda c, a, f=_form: c.cz(control=1, target=2, control_state=f),
         lambda a, s=_states: full(Z, [2], N, [1], s)),
        ("ch-" + _label, lambda c, a, f=_form: c.ch(control=0, target=3, control_state=f),
         lambda a, s=_states: full(H, [3], N, [0], s)),
        ("cry-" + _label, lambda c, a, f=_form: c.cry(a, control=3, target=1, control_state=f),
         lambda a, s=_states: full(RY(a), [1], N, [3], s)),
    ]
for _label, _form, _states in [("none", None, (1, 1)), ("list", [1, 0], (1, 0)), ("str", "01", (0, 1))]:
    GATE_CASES.append(("mcz-" + _label, lambda c, a, f=_form: c.mcz(controls=[0, 2], target=3, control_state=f),
                       lambda a, s=_states: full(Z, [3], N, [0, 2], s)))


def scrambled(angle):
    """A circuit whose state is generic, so that every gate's action shows."""
    c = Circuit(N)
    for q in range(N):
        c.h(q)
        c.rz(0.4 + 0.3 * q, q)
    for q in range(N - 1):
        c.cx(q, q + 1)
    c.mcry(angle, [0], 3)
    return c


def scrambled_reference(angle):
    psi = np.zeros(1 << N, dtype=complex)
    psi[0] = 1
    for q in range(N):
        psi = full(RZ(0.4 + 0.3 * q), [q], N) @ full(H, [q], N) @ psi
    for q in range(N - 1):
        psi = full(X, [q + 1], N, [q]) @ psi
    return full(RY(angle), [3], N, [0]) @ psi


@pytest.mark.parametrize("label,build,reference", GATE_CASES, ids=[case[0] for case in GATE_CASES])
@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
def test_gate_methods_match_the_reference(label, build, reference, dtype):
    angle = 0.83
    expected = reference(angle) @ scrambled_reference(angle)
    tol = 1e-5 if dtype == np.complex64 else 1e-12

    native = scrambled(angle)
    build(native, angle)
    state = native.execute(dtype=dtype).state
    assert isinstance(state, np.ndarray) and state.dtype == dtype
    np.testing.assert_allclose(state, expected, atol=tol)

    tensor_angle = torch.tensor(angle, dtype=torch.float64)
    on_torch = scrambled(tensor_angle)
    build(on_torch, tensor_angle)
    state = on_torch.execute(dtype=dtype).state
    assert isinstance(state, torch.Tensor)
    assert state.dtype == (torch.complex64 if dtype == np.complex64 else torch.complex128)
    np.testing.assert_allclose(state.numpy(), expected, atol=tol)


@pytest.mark.parametrize("label,build,reference", GATE_CASES, ids=[case[0] for case in GATE_CASES])
def test_compiled_batch_applies_the_full_operator(label, build, reference):
    angle = -1.27
    c = Circuit(N)
    build(c, angle)
    rng = np.random.default_rng(3)
    states = rng.normal(size=(5, 1 << N)) + 1j * rng.normal(size=(5, 1 << N))
    out = c.compile().apply_to_batch(torch.tensor(states))
    np.testing.assert_allclose(out.numpy(), states @ reference(angle).T, atol=1e-12)


def test_recorded_ids_and_storage_classes():
    for storage, cls in [("list", Opchain), ("packed", OpchainPacked)]:
        c = Circuit(3, name="ids", gate_storage=storage)
        c.x(0)
        c.h(1)
        c.s(2)
        c.sdag(0)
        c.rz(0.5, 1)
        c.cx(0, 1)
        c.cz(control=2, target=0, control_state="0")
        c.ch(control=[1], target=2)
        c.cry(0.1, control=0, target=2)
        c.mcry(0.2, [0, 1], 2)
        c.mcrx(0.3, [2], 0)
        c.mcz(controls=[0, 1], target=2)
        c.gp(0.4)
        c.unitary(U1, [1])
        seq = c.gate_sequence
        assert isinstance(seq, cls) and seq._num_qubits == 3 and seq._name == "ids"
        gates = list(seq.data())
        assert list(seq._data) == gates
        assert [g.id for g in gates] == ["x", "h", "s", "s_dag", "rz", "cx", "cz", "ch", "cry", "mcry", "mcrx",
                                         "mcz", "gp", "unitary"]
        assert gates[4].parameter == (0.5,)
        assert gates[5].target == (1,) and gates[5].control == (0,)
        assert gates[6].control_state == (0,)
        assert gates[12].target == () and gates[12].parameter == (0.4,)
        np.testing.assert_allclose(gates[13].stored_matrix, U1)


def test_registers_lay_out_consecutive_qubits():
    a, empty, b = Register("a", 2), Register("empty", 0), Register("b", 3)
    c = Circuit(a, empty, b, name="regs")
    assert c.get_num_qubits() == 5 and c.name == "regs"
    assert a[:] == [0, 1] and empty[:] == [] and b[:] == [2, 3, 4]
    assert b[0] == 2 and b[-1] == 4 and len(b) == 3 and list(b) == [2, 3, 4]
    c.x(b[1])
    c.unitary(X, target=a[1:])
    state = c.execute().state
    assert abs(state[(1 << 3) | (1 << 1)]) == pytest.approx(1)
    with pytest.raises(ValueError, match="already belongs"):
        Circuit(a)
    with pytest.raises(ValueError, match="not part of a circuit"):
        Register("loose", 2)[0]
    with pytest.raises(IndexError):
        b[3]


def test_append_remaps_targets_and_controls_and_adds_controls():
    sub = Circuit(3)
    sub.cry(0.7, control=0, target=2, control_state=0)
    sub.h(1)
    sub.unitary(U2, [2, 0], control=1)
    sub.gp(0.9)
    n = 6
    c = scrambled_like(n)
    c.append(sub, [4, 0, 2], control=[5, 1], control_state="10")
    ctrl, st = [5, 1], (1, 0)
    expected = full(RY(0.7), [2], n, ctrl + [4], st + (0,))
    expected = full(H, [0], n, ctrl, st) @ expected
    expected = full(U2, [2, 4], n, ctrl + [0], st + (1,)) @ expected
    expected = full(np.exp(0.9j) * np.eye(1), [], n, ctrl, st) @ expected
    np.testing.assert_allclose(c.execute().state, expected @ scrambled_like_reference(n), atol=1e-12)
    gates = c.gate_sequence.data()
    assert gates[-4].control == (5, 1, 4) and gates[-4].control_state == (1, 0, 0) and gates[-4].target == (2,)


def scrambled_like(n):
    c = Circuit(n)
    for q in range(n):
        c.h(q)
        c.rz(0.2 + 0.37 * q, q)
    return c


def scrambled_like_reference(n):
    psi = np.full(1 << n, (1 / np.sqrt(2)) ** n, dtype=complex)
    for q in range(n):
        psi = full(RZ(0.2 + 0.37 * q), [q], n) @ psi
    return psi


@pytest.mark.parametrize("control,state", [(None, None), ([], "0"), (2, "0"), ([2, 0], [1, 1])])
def test_gp_is_a_phase_and_under_controls_a_controlled_phase(control, state):
    sub = Circuit(1)
    sub.gp(1.1)
    c = scrambled_like(3)
    c.append(sub, [1], control=control, control_state=state)
    controls = [] if control is None else ([control] if isinstance(control, int) else control)
    states = [1] * len(controls) if state is None else [int(ch) for ch in state] if isinstance(state, str) else state
    expected = full(np.exp(1.1j) * np.eye(1), [], 3, controls, tuple(states[:len(controls)]))
    np.testing.assert_allclose(c.execute().state, expected @ scrambled_like_reference(3), atol=1e-12)


@pytest.mark.parametrize("complex_values", [False, True])
@pytest.mark.parametrize("k", [1, 3, 5])
def test_initialize_prepares_the_vector_and_dagger_undoes_it(k, complex_values):
    v = unit_vector(1 << k, k, complex_values)
    v[1] = 0  # a zero amplitude must not derail the angles
    v /= np.linalg.norm(v)
    n = k + 2
    qubits = list(range(n))[::-1][:k]  # high qubits, in descending order
    c = Circuit(n)
    c.initialize(v, qubits)
    expected = np.zeros(1 << n, dtype=complex)
    for j in range(1 << k):
        expected[sum(((j >> i) & 1) << q for i, q in enumerate(qubits))] = v[j]
    np.testing.assert_allclose(c.execute().state, expected, atol=1e-12)
    both = c.copy()
    both.append(c.dagger(), list(range(n)))
    zero = np.zeros(1 << n)
    zero[0] = 1
    np.testing.assert_allclose(both.execute().state, zero, atol=1e-12)


def test_circuit_from_vector_maps_zero_to_it_exactly():
    v = unit_vector(16, 5, complex_values=False)
    c = Circuit(v, name="PREP")
    assert c.get_num_qubits() == 4 and c.name == "PREP"
    np.testing.assert_allclose(c.execute().state, v, atol=1e-12)
    assert np.abs(c.execute().state.imag).max() < 1e-12
    w = unit_vector(8, 6)
    np.testing.assert_allclose(Circuit(w).execute().state, w, atol=1e-12)


def test_initialize_stays_small_for_a_large_register():
    k = 12
    v = unit_vector(1 << k, 9, complex_values=False)
    c = Circuit(k)
    c.initialize(v, range(k))
    assert len(c.gate_sequence.data()) <= 2 * (1 << k)
    assert all(g.stored_matrix is None for g in c.gate_sequence.data())
    np.testing.assert_allclose(c.execute().state, v, atol=1e-10)


def test_zero_size_cases():
    c = Circuit(0)
    np.testing.assert_allclose(c.execute().state, [1])
    c.unitary(np.array([[np.exp(0.3j)]]), [])
    c.initialize(np.array([np.exp(0.4j)]), [])
    np.testing.assert_allclose(c.execute().state, [np.exp(0.7j)])
    single = Circuit(np.array([1.0]))
    assert single.get_num_qubits() == 0
    np.testing.assert_allclose(single.execute().state, [1])


def test_controlled_append_of_a_single_term_with_no_ancilla():
    """A controlled append with an empty control list is uncontrolled whatever the state says."""
    unitary = Circuit(2)
    unitary.unitary(U2, [0, 1])
    system, ancilla = Register("system", 2), Register("ancilla", 0)
    qc = Circuit(system, ancilla, name="LCU")
    prep = Circuit(np.array([1.0]), name="PREP")
    qc.append(prep, ancilla[:])
    qc.append(unitary.copy(), system[:], control=ancilla[:], control_state="0")
    qc.append(prep.dagger(), ancilla[:])
    np.testing.assert_allclose(qc.execute().state, U2[:, 0], atol=1e-12)


def test_dagger_copy_and_decompose():
    c = scrambled(0.3)
    c.unitary(U2, [1, 2], control=0, control_state=0)
    c.s(0)
    c.sdag(1)
    c.gp(0.25)
    inverse = c.dagger()
    assert inverse.get_num_qubits() == N
    full_circuit = c.copy()
    full_circuit.append(inverse, range(N))
    zero = np.zeros(1 << N)
    zero[0] = 1
    np.testing.assert_allclose(full_circuit.execute().state, zero, atol=1e-12)

    copy = c.copy()
    before = c.execute().state
    copy.x(0)
    np.testing.assert_allclose(c.execute().state, before)
    assert len(copy.gate_sequence.data()) == len(c.gate_sequence.data()) + 1

    block = Opchain(2)
    block.add_gate(QuantumGate("h", [0]))
    block.add_gate(QuantumGate("cx", [1], control=[0]))
    composite = Circuit(3)
    composite.h(2)
    composite.gate_sequence.append(block, [2, 0])
    composite.add_gate(QuantumGate("block", [1, 2], block_gate_sequence=tuple(block.data())))
    flat = composite.decompose()
    assert [g.id for g in flat.gate_sequence.data()] == ["h", "h", "cx", "h", "cx"]
    np.testing.assert_allclose(flat.execute().state, composite.execute().state, atol=1e-12)


def test_edits_of_the_gate_sequence_reach_the_circuit():
    c = Circuit(2)
    c.h(0)
    c.gate_sequence.add_gate(QuantumGate("x", [1]))
    assert [g.id for g in c.copy().gate_sequence.data()] == ["h", "x"]
    c.cx(1, 0)
    assert [g.id for g in c.gate_sequence.data()] == ["h", "x", "cx"]
    packed = Circuit(2, gate_storage="packed")
    packed.h(0)
    packed.gate_sequence.add_gate(QuantumGate("x", [1]))
    np.testing.assert_allclose(packed.execute().state, [0, 0, R2, R2], atol=1e-12)


BAD_INPUT = [
    ("qubit out of range", lambda c: c.x(3), ValueError, "out of range"),
    ("negative qubit", lambda c: c.h(-1), ValueError, "out of range"),
    ("bool qubit", lambda c: c.x(True), TypeError, "bool"),
    ("float qubit", lambda c: c.x(1.0), TypeError, "integers"),
    ("control is target", lambda c: c.cx(1, 1), ValueError, "both a target and a control"),
    ("duplicate control", lambda c: c.mcz(controls=[0, 0], target=1), ValueError, "Duplicate control"),
    ("duplicate target", lambda c: c.unitary(np.eye(4), [1, 1]), ValueError, "Duplicate target"),
    ("control state length", lambda c: c.mcry(0.1, [0, 1], 2, control_state=[1]), ValueError, "1 entry for 2 control qubits"),
    ("control state value", lambda c: c.cz(control=0, target=1, control_state=2), ValueError, "only 0 or 1"),
    ("control state char", lambda c: c.cz(control=0, target=1, control_state="x"), ValueError, "'0' and '1'"),
    ("control state item", lambda c: c.cz(control=0, target=1, control_state=["1"]), TypeError, "got str"),
    ("sequence gate outside its width", lambda c: c.append(narrow_sequence(), [1, 0]), ValueError,
     "Qubit 2 is out of range for a circuit of 2 qubits"),
    ("tensor matrix with gradient", lambda c: c.unitary(torch.eye(2, requires_grad=True), [0]), TypeError,
     "unitary matrix must not require gradients"),
    ("tensor vector with gradient", lambda c: c.initialize(torch.tensor([1.0, 0.0], requires_grad=True), [0]),
     TypeError, "initialize vector must not require gradients"),
    ("matrix shape", lambda c: c.unitary(np.eye(2), [0, 1]), ValueError, r"shape \(4, 4\)"),
    ("matrix not unitary", lambda c: c.unitary(np.diag([1, 1.00001]), [0]), ValueError, "not unitary"),
    ("initialize not unit", lambda c: c.initialize([1, 1], [0]), ValueError, "norm 1"),
    ("initialize zero", lambda c: c.initialize([0, 0], [0]), ValueError, "zero vector"),
    ("initialize length", lambda c: c.initialize([1, 0, 0, 0], [0]), ValueError, "entries for 1 qubit;"),
    ("angle not finite", lambda c: c.rz(float("nan"), 0), ValueError, "finite"),
    ("angle complex", lambda c: c.rz(1j, 0), TypeError, "complex"),
    ("append width", lambda c: c.append(Circuit(2), [0]), ValueError, "1 qubit for a circuit of 2 qubits"),
    ("add_gate not a gate", lambda c: c.add_gate("x"), TypeError, "QuantumGate"),
    ("add_gate out of range", lambda c: c.add_gate(QuantumGate("x", [5])), ValueError, "out of range"),
    ("unknown device", lambda c: c.execute(device="cuda"), ValueError, "accepted devices: 'cpu'"),
    ("unknown backend", lambda c: c.execute(backend="qpu"), ValueError, "accepted backends: 'torch'"),
    ("bad dtype", lambda c: c.execute(dtype=np.float64), ValueError, "complex64 or complex128"),
]


def narrow_sequence():
    seq = Opchain(2)
    seq.add_gate(QuantumGate("x", [2]))
    return seq


@pytest.mark.parametrize("label,call,error,match", BAD_INPUT, ids=[case[0] for case in BAD_INPUT])
def test_bad_input_is_refused_before_anything_changes(label, call, error, match):
    c = Circuit(3)
    c.h(0)
    before = [g.id for g in c.gate_sequence.data()]
    with pytest.raises(error, match=match):
        call(c)
    assert [g.id for g in c.gate_sequence.data()] == before


@pytest.mark.parametrize("vector,match", [
    ([0.6, 0.8, 0.0], "power of two"),
    ([0.0, 0.0], "zero vector"),
    ([0.6, 0.8 + 1e-6], "norm 1"),
    ([[1.0]], "one-dimensional"),
])
def test_circuit_from_a_bad_vector_is_refused(vector, match):
    with pytest.raises(ValueError, match=match):
        Circuit(np.array(vector))


def test_constructor_arguments():
    with pytest.raises(ValueError, match="non-negative"):
        Circuit(-1)
    with pytest.raises(ValueError, match="gate_storage"):
        Circuit(2, gate_storage="tape")
    for bad in [(), (2.0,), (True,), (Register("r", 1), 3)]:
        with pytest.raises(TypeError):
            Circuit(*bad)
    c = Circuit(np.int64(2), name="n")
    c._p_succ = 0.5
    assert c.get_num_qubits() == 2 and c._p_succ == 0.5


@pytest.mark.parametrize("storage", ["list", "packed"])
def test_executed_circuits_copy_and_grow_independently(storage):
    c = Circuit(2, gate_storage=storage)
    c.h(0)
    np.testing.assert_allclose(c.execute().state, [R2, R2, 0, 0], atol=1e-12)
    copy = c.copy()
    copy.cx(0, 1)
    c.x(1)
    np.testing.assert_allclose(copy.execute().state, [R2, 0, 0, R2], atol=1e-12)
    np.testing.assert_allclose(c.execute().state, [0, 0, R2, R2], atol=1e-12)
    np.testing.assert_allclose(c.copy().execute().state, [0, 0, R2, R2], atol=1e-12)
    assert [g.id for g in copy.gate_sequence.data()] == ["h", "cx"]


def test_assigning_a_gate_sequence_replaces_the_gates():
    seq = Opchain(3, "given")
    seq.add_gate(QuantumGate("x", [2]))
    c = Circuit(1)
    c.h(0)
    c.execute()
    c.gate_sequence = seq
    assert c.get_num_qubits() == 3
    np.testing.assert_allclose(c.execute().state, np.eye(8)[4], atol=1e-12)
    bad = Opchain(1)
    bad.add_gate(QuantumGate("x", [2]))
    with pytest.raises(ValueError, match="out of range"):
        c.gate_sequence = bad
    assert c.get_num_qubits() == 3


RECORD_CASES = [
    ("barrier", QuantumGate("barrier", [0, 2]), np.eye(8)),
    ("vendor barrier", QuantumGate("b", [0, 1, 2]), np.eye(8)),
    ("vendor x2p", QuantumGate("x2p", [1]), full(RX(np.pi / 2), [1], 3)),
    ("vendor y2m under control", QuantumGate("y2m", [0], control=[2], control_state=[0]),
     full(RY(-np.pi / 2), [0], 3, [2], (0,))),
    ("named matrix", QuantumGate("mine", [2, 0], matrix=U2), full(U2, [2, 0], 3)),
    ("block of vendor gates", QuantumGate("block", [2, 1], control=[0], block_gate_sequence=(
        QuantumGate("x2p", [1]), QuantumGate("cz", [0], control=[1]))),
     full(Z, [2], 3, [0, 1]) @ full(RX(np.pi / 2), [1], 3, [0])),
    # A gate whose id has a row in the executor's dispatch runs by that row; a matrix it also carries is ignored.
    ("x carrying H", QuantumGate("x", [1], matrix=H), full(X, [1], 3)),
    ("cx carrying H", QuantumGate("cx", [0], control=[2], control_state=[0], matrix=H), full(X, [0], 3, [2], (0,))),
    ("rz carrying X", QuantumGate("rz", [2], parameter=(0.7,), matrix=X), full(RZ(0.7), [2], 3)),
    ("swap carrying U2", QuantumGate("swap", [0, 2], matrix=U2), full(np.eye(4)[[0, 2, 1, 3]], [0, 2], 3)),
    ("gp carrying X", QuantumGate("gp", [1], parameter=(0.4,), matrix=X), np.exp(0.4j) * np.eye(8)),
    ("i carrying X", QuantumGate("i", [0], matrix=X), np.eye(8)),
    ("block child h carrying X", QuantumGate("block", [2, 0], block_gate_sequence=(QuantumGate("h", [1], matrix=X),)),
     full(H, [0], 3)),
]


@pytest.mark.parametrize("label,gate,operator", RECORD_CASES, ids=[case[0] for case in RECORD_CASES])
def test_added_records_run_on_both_paths(label, gate, operator):
    c = scrambled_like(3)
    c.add_gate(gate)
    expected = operator @ scrambled_like_reference(3)
    np.testing.assert_allclose(c.execute().state, expected, atol=1e-12)
    batch = c.compile().apply_to_batch(torch.eye(8, dtype=torch.complex128)[:1])
    np.testing.assert_allclose(batch[0].numpy(), expected, atol=1e-12)
    c.gp(torch.tensor(0.0, dtype=torch.float64))
    np.testing.assert_allclose(c.execute().state.numpy(), expected, atol=1e-12)


def nested(depth, leaf):
    gate = leaf
    for _ in range(depth):
        gate = QuantumGate("block", [0], block_gate_sequence=(gate,))
    return gate


@pytest.mark.parametrize("leaf,operator", [(QuantumGate("x", [0]), X), (QuantumGate("x2p", [0]), RX(np.pi / 2))],
                         ids=["native leaf", "vendor leaf"])
def test_blocks_nested_as_deep_as_the_store_allows_run_on_every_path(leaf, operator):
    c = Circuit(1)
    c.add_gate(nested(1000, leaf))
    np.testing.assert_allclose(c.execute().state, operator[:, 0], atol=1e-12)
    np.testing.assert_allclose(c.compile().apply_to_batch(torch.eye(2, dtype=torch.complex128))[0].numpy(),
                               operator[:, 0], atol=1e-12)
    packed = Circuit(1, gate_storage="packed")
    packed.add_gate(nested(1000, leaf))
    np.testing.assert_allclose(packed.execute().state, operator[:, 0], atol=1e-12)
    too_deep = Circuit(1)
    too_deep.add_gate(nested(1001, QuantumGate("x", [0])))
    with pytest.raises(RecursionError, match="nesting is too deep"):
        too_deep.execute()


def test_the_matrix_memo_keeps_no_callers_array_alive():
    big = np.zeros((1024, 1024), dtype=complex)
    big[:2, :2] = X
    own = U2.copy()
    refs = [weakref.ref(big), weakref.ref(own)]
    c = Circuit(2)
    for _ in range(3):
        c.unitary(big[:2, :2], [0])
        c.unitary(own, [0, 1])
    assert c.gate_sequence.data()[1].stored_matrix is c.gate_sequence.data()[3].stored_matrix
    del big, own
    gc.collect()
    assert [ref() for ref in refs] == [None, None]
    np.testing.assert_allclose(c.gate_sequence.data()[0].stored_matrix, X)


def test_the_matrix_memo_holds_no_more_memory_than_its_budget(monkeypatch):
    budget = 256 << 10
    monkeypatch.setattr(memo_module, "_checked_unitaries", memo_module._MatrixMemo(budget, 1 << 20))
    rng = np.random.default_rng(4)
    angles = rng.uniform(0, 6, size=4000)
    gc.collect()
    tracemalloc.start()
    try:
        for angle in angles:
            # a fresh 2 x 2 view of a fresh 4 x 4 array each time
            source = np.zeros((4, 4), dtype=complex)
            source[:2, :2] = RZ(angle)
            c = Circuit(1)
            c.unitary(source[:2, :2], [0])
            del c, source
        gc.collect()
        held, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert held <= budget


@pytest.mark.parametrize("dtype,native", [
    (np.dtype(">c16"), np.complex128), (np.dtype(">c8"), np.complex64),
    (np.dtype(np.complex128, metadata={"note": 1}), np.complex128),
])
def test_an_equal_dtype_runs_with_the_native_descriptor(dtype, native):
    c = Circuit(2)
    c.h(0)
    c.cx(0, 1)
    state = c.execute(dtype=dtype).state
    assert state.dtype is np.dtype(native)
    np.testing.assert_allclose(state, [R2, 0, 0, R2], atol=1e-7)
    c.gp(torch.tensor(0.0))
    assert c.execute(dtype=dtype).state.dtype == (torch.complex64 if native == np.complex64 else torch.complex128)


@pytest.mark.parametrize("tensor_angle", [False, True])
@pytest.mark.parametrize("n", [63, 2 ** 31])
def test_a_state_too_wide_to_hold_is_refused_before_it_is_sized(n, tensor_angle):
    c = Circuit(n)
    c.h(n - 1)
    if tensor_angle:
        c.rz(torch.tensor(0.1), 0)
    with pytest.raises(ValueError, match="too wide to simulate.*at most 62 qubits"):
        c.execute()
    with pytest.raises(ValueError, match="too wide to simulate"):
        c.compile().apply_to_batch(torch.zeros(1, 2, dtype=torch.complex128))


@pytest.mark.parametrize("n, gate, message", [
    (49, QuantumGate("swap", (0, 48)), None),
    (50, QuantumGate("swap", (0, 49)), "A gate on 2 qubits is beyond the PyTorch path in a circuit of 50 qubits: "
                                       "torch.einsum names at most 52 axes, which fits such a gate in circuits of "
                                       "at most 49 qubits."),
    (62, QuantumGate("rzz", (3, 61), parameter=0.2), "circuits of at most 49 qubits."),
    (47, QuantumGate("unitary", (0, 1, 2, 3), matrix=np.eye(16)), None),
    (48, QuantumGate("unitary", (0, 1, 2, 3), matrix=np.eye(16)), "circuits of at most 47 qubits."),
    (63, QuantumGate("swap", (0, 1)), "A circuit of 63 qubits is too wide to simulate"),
    (2 ** 40, QuantumGate("swap", (0, 1)), "too wide to simulate"),
])
def test_compile_checks_the_width_first(n, gate, message):
    c = Circuit(n)
    c.add_gate(gate)
    if message is None:
        c.compile()
        return
    with pytest.raises(ValueError, match=re.escape(message)):
        c.compile()
    # The same refusal when the PyTorch path runs it, before any state is allocated.
    c.rz(torch.tensor(0.1), 0)
    with pytest.raises(ValueError, match=re.escape(message)):
        c.execute()


def test_a_matrix_passed_again_is_shared_unless_it_changed():
    m = U2.copy()
    c = Circuit(3)
    c.unitary(m, [0, 1])
    c.unitary(m, [1, 2], control=0)
    first, second = [g.stored_matrix for g in c.gate_sequence.data()]
    assert first is second and not first.flags.writeable
    inverse = c.dagger()
    assert inverse.gate_sequence.data()[0].stored_matrix is inverse.gate_sequence.data()[1].stored_matrix
    m[:] = U2 @ U2
    c.unitary(m, [0, 2])
    np.testing.assert_allclose(c.gate_sequence.data()[2].stored_matrix, U2 @ U2)
    np.testing.assert_allclose(first, U2)
    m[0, 0] = 2
    with pytest.raises(ValueError, match="not unitary"):
        c.unitary(m, [0, 1])


def test_measurements_are_refused_on_both_paths():
    c = Circuit(2)
    c.h(0)
    c.add_gate(QuantumGate("measure", [0], classical_target=[0]))
    with pytest.raises(NotImplementedError, match="measurements"):
        c.execute()
    with pytest.raises(NotImplementedError, match="measurements"):
        c.compile()
    assert [g.id for g in c.gate_sequence.data()] == ["h", "measure"]


def random_program(rng, n, count):
    """(builder, operator) pairs of random gates on n qubits."""
    steps = []
    for _ in range(count):
        kind = int(rng.integers(7))
        t, c1, c2 = [int(q) for q in rng.permutation(n)[:3]]
        a = float(rng.uniform(-4, 4))
        s = [int(v) for v in rng.integers(0, 2, size=2)]
        if kind == 0:
            steps.append((lambda c, t=t: c.h(t), full(H, [t], n)))
        elif kind == 1:
            steps.append((lambda c, t=t, a=a: c.rz(a, t), full(RZ(a), [t], n)))
        elif kind == 2:
            steps.append((lambda c, t=t, c1=c1, a=a, s=s: c.cry(a, control=c1, target=t, control_state=s[0]),
                          full(RY(a), [t], n, [c1], (s[0],))))
        elif kind == 3:
            steps.append((lambda c, t=t, c1=c1, c2=c2, a=a, s=s: c.mcrx(a, [c1, c2], t, control_state=s),
                          full(RX(a), [t], n, [c1, c2], tuple(s))))
        elif kind == 4:
            u = random_unitary(2, int(rng.integers(1000)))
            steps.append((lambda c, t=t, c1=c1, c2=c2, u=u, s=s: c.unitary(u, [t, c1], control=c2, control_state=s[0]),
                          full(u, [t, c1], n, [c2], (s[0],))))
        elif kind == 5:
            steps.append((lambda c, t=t, c1=c1, s=s: c.mcz(controls=[c1], target=t, control_state=str(s[0])),
                          full(Z, [t], n, [c1], (s[0],))))
        else:
            steps.append((lambda c, a=a: c.gp(a), np.exp(1j * a) * np.eye(1 << n)))
    return steps


@pytest.mark.parametrize("seed", range(6))
def test_random_circuits_agree_with_the_reference_and_invert(seed):
    n = 5
    c = scrambled_like(n)
    expected = scrambled_like_reference(n)
    for build, operator in random_program(np.random.default_rng(seed), n, 25):
        build(c)
        expected = operator @ expected
    np.testing.assert_allclose(c.execute().state, expected, atol=1e-10)
    np.testing.assert_allclose(c.execute(dtype=np.complex64).state, expected, atol=2e-5)
    batch = c.compile().apply_to_batch(torch.eye(1 << n, dtype=torch.complex128)[:1])
    np.testing.assert_allclose(batch[0].numpy(), expected, atol=1e-10)
    undone = c.copy()
    undone.append(c.dagger(), range(n))
    zero = np.zeros(1 << n)
    zero[0] = 1
    np.testing.assert_allclose(undone.execute().state, zero, atol=1e-10)


def test_numpy_bool_control_states_and_edited_subcircuits():
    c = Circuit(3)
    c.x(0)
    c.h(2)
    c.mcz(controls=[0, 1], target=2, control_state=np.array([True, False]))
    c.h(2)
    np.testing.assert_allclose(c.execute().state, np.eye(8)[5], atol=1e-12)
    sub = Circuit(2)
    sub.gate_sequence._data.append(QuantumGate("x", [2]))
    outer = Circuit(3)
    for placement in ([0, 1], [1, 0]):
        with pytest.raises(ValueError, match="Qubit 2 is out of range for a circuit of 2 qubits"):
            outer.append(sub, placement)
    assert len(outer.gate_sequence.data()) == 0


def test_tensor_matrices_batched_under_vmap_are_refused():
    def prepare(w):
        c = Circuit(1)
        c.initialize(w / w.norm(), [0])
        return c.execute().state

    with pytest.raises(TypeError, match="batched under torch.vmap"):
        torch.vmap(prepare)(torch.rand(3, 2, dtype=torch.float64))


def test_edits_of_the_sequence_keep_the_tensor_angles_they_leave_in_place():
    p = torch.tensor(0.3, dtype=torch.float64, requires_grad=True)
    c = Circuit(2)
    c.rz(p, 0)
    c.gate_sequence.add_gate(QuantumGate("x", [1]))
    state = c.execute().state
    assert isinstance(state, torch.Tensor)
    state.real.sum().backward()
    assert p.grad is not None
    packed = Circuit(2, gate_storage="packed")
    packed.rz(p, 0)
    packed.gate_sequence.add_gate(QuantumGate("x", [1]))
    with pytest.raises(TypeError, match="cannot be taken back"):
        packed.execute()


def test_a_bad_edit_can_be_repaired_through_the_sequence():
    c = Circuit(2)
    c.h(0)
    c.gate_sequence._data.append(QuantumGate("x", [7]))
    with pytest.raises(ValueError, match="Qubit 7"):
        c.execute()
    c.gate_sequence._data.pop()
    np.testing.assert_allclose(c.execute().state, [R2, R2, 0, 0], atol=1e-12)
