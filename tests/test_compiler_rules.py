"""Decomposition through both gate bases: exact products and complete unrolling."""
import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.qcompiler.rule_based.rule_based_transpiler import basis as B
from quorvex.qcompiler.transpile import DEFAULT_UNROLL_TIMES, unroll_gates

from compiler_dense import operator, random_unitary

N = 5
# id -> (number of targets, number of angles)
SHAPES = {"swap": (2, 0), "rzz": (2, 1), "u": (1, 3), "rxy": (1, 2), "xyarb": (1, 2)}
ONE_ANGLE = {"gp", "p", "cp", "mcp", "rx", "ry", "rz", "crx", "cry", "crz", "mcrx", "mcry", "mcrz"}


def _random_gate(rng, gate_id, num_controls):
    num_targets, num_angles = SHAPES.get(gate_id, (1, 1 if gate_id in ONE_ANGLE else 0))
    qubits = [int(q) for q in rng.permutation(N)[:num_targets + num_controls]]
    states = [int(s) for s in rng.integers(0, 2, num_controls)]
    if num_controls:
        states[0] = 0  # every controlled case meets an open control
    matrix = random_unitary(rng, 2) if gate_id == "unitary" else None
    params = tuple(rng.uniform(-np.pi, np.pi, num_angles)) or None
    return QuantumGate(id=gate_id, target=qubits[:num_targets], control=qubits[num_targets:],
                       control_state=states, parameter=params, matrix=matrix)


CASES = [(basis, gate_id, k) for basis in (B.DEFAULT_BASIS, B.TESSIK_BASIS)
         for gate_id in basis.registry for k in range(4)]


def _case_id(case):
    return case[0].name + "-" + case[1] + "-" + str(case[2])


@pytest.mark.parametrize("case", CASES, ids=_case_id)
def test_construct_is_exact_and_unrolling_reaches_the_basis(case):
    basis, gate_id, k = case
    rng = np.random.default_rng(abs(hash(_case_id(case))) % 2**32)
    gate = _random_gate(rng, gate_id, k)
    target = operator([gate], N)
    step = basis.construct(gate)
    assert np.allclose(operator(step, N), target, atol=1e-10)
    if gate.id in ("u", "rxy") and gate.control:
        # The vendor dispatcher hands controlled u and rxy back unchanged: no
        # rule of the basis rewrites them, so they cannot be unrolled.
        plural = "control" if k == 1 else "controls"
        with pytest.raises(ValueError, match=r"left 1 of \d+ gates outside it: 1 '" + gate.id + "' with "
                           + str(k) + " " + plural + " that no rule of the basis rewrites"):
            unroll_gates([gate], basis, DEFAULT_UNROLL_TIMES)
        return
    unrolled = unroll_gates([gate], basis, DEFAULT_UNROLL_TIMES)
    assert np.allclose(operator(unrolled, N), target, atol=1e-9)
    assert all(basis.is_basis(g) for g in unrolled)


@pytest.mark.parametrize("basis", [B.DEFAULT_BASIS, B.TESSIK_BASIS], ids=lambda b: b.name)
def test_unrolling_a_random_circuit_keeps_its_operator(basis):
    rng = np.random.default_rng(7)
    ids = ["h", "cx", "ry", "mcx", "swap", "sqrty", "t_dag", "crz", "mcp", "u", "unitary", "rzz", "ch"]
    gates = []
    for _ in range(25):
        gate_id = str(rng.choice(ids))
        k = 0 if gate_id == "u" else int(rng.integers(0, 3))
        gates.append(_random_gate(rng, gate_id, k))
    unrolled = unroll_gates(gates, basis, DEFAULT_UNROLL_TIMES)
    assert all(basis.is_basis(g) for g in unrolled)
    assert np.allclose(operator(unrolled, N), operator(gates, N), atol=1e-9)


def test_euler_angles_stay_exact_near_identity_and_pi():
    # gamma near 0 or pi is where an arccos form loses half the digits.
    for eps in (1e-9, 1e-7, 0.0):
        for gate in (QuantumGate(id="ry", target=1, control=0, parameter=eps),
                     QuantumGate(id="ry", target=1, control=0, parameter=np.pi - eps)):
            out = B.DEFAULT_BASIS.construct(gate)
            assert np.abs(operator(out, 2) - operator([gate], 2)).max() < 1e-14


@pytest.mark.parametrize("gate, error", [
    (QuantumGate(id="unitary", target=(0, 1), matrix=np.eye(4)), NotImplementedError),
    (QuantumGate(id="unitary", target=0, matrix=np.array([[1, 1], [0, 1]])), ValueError),
    (QuantumGate(id="unitary", target=1, control=0, matrix=2 * np.eye(2)), ValueError),
    (QuantumGate(id="unitary", target=0), ValueError),
    (QuantumGate(id="rxy", target=0, parameter=0.3), ValueError),
    (QuantumGate(id="swap", target=0), ValueError),
])
def test_constructors_refuse_what_they_cannot_rewrite(gate, error):
    with pytest.raises(error):
        B.TESSIK_BASIS.construct(gate)


def test_a_constructor_refuses_a_gate_of_another_family():
    with pytest.raises(ValueError, match="mcx_constructor cannot decompose gate 'y'"):
        B._mcx_constructor(QuantumGate(id="y", target=0), None)


@pytest.mark.parametrize("name, gate, expected", [
    ("tessik_x", QuantumGate(id="x", target=2), [("x2p", None), ("x2p", None), ("gp", (np.pi / 2,))]),
    ("tessik_z", QuantumGate(id="z", target=2), [("rz", (np.pi,)), ("gp", (np.pi / 2,))]),
    ("tessik_h", QuantumGate(id="h", target=2), [("rz", (np.pi,)), ("y2p", None), ("gp", (np.pi / 2,))]),
    ("tessik_rx", QuantumGate(id="rx", target=2, parameter=0.3), [("y2m", None), ("rz", (0.3,)), ("y2p", None)]),
    ("tessik_ry", QuantumGate(id="ry", target=2, parameter=0.3), [("x2p", None), ("rz", (0.3,)), ("x2m", None)]),
    ("tessik_phase", QuantumGate(id="t", target=2), [("rz", (np.pi / 4,)), ("gp", (np.pi / 8,))]),
    ("tessik_u", QuantumGate(id="u", target=2, parameter=(0.1, 0.2, 0.3)),
     [("rz", (0.3,)), ("x2p", None), ("rz", (0.1,)), ("x2m", None), ("rz", (0.2,)), ("gp", (0.25,))]),
    ("tessik_rxy", QuantumGate(id="rxy", target=2, parameter=(0.1, 0.2)), [("xyarb", (0.1, 0.2))]),
    ("tessik_cx", QuantumGate(id="cx", target=2, control=0), [("h", None), ("cz", None), ("h", None)]),
])
def test_vendor_recipes(name, gate, expected):
    out = getattr(B, "_" + name + "_constructor")(gate, None)
    assert [(g.id, g.parameter and pytest.approx(g.parameter)) for g in out] == expected
    assert all(g.target == (2,) for g in out)


def test_native_to_default():
    f = B._tessik_native_to_default
    assert [(g.id, g.parameter) for g in f(QuantumGate(id="xyarb", target=1, parameter=(0.4, 0.9)), None)] \
        == [("rz", (-0.4,)), ("rx", (0.9,)), ("rz", (0.4,))]
    assert [(g.id, g.parameter) for g in f(QuantumGate(id="y2m", target=1), None)] == [("ry", (-np.pi / 2,))]
    barrier = f(QuantumGate(id="b", target=(0, 1)), None)
    assert [(g.id, g.target) for g in barrier] == [("barrier", (0, 1))]


OPEN_CZ = QuantumGate(id="cz", target=2, control=0, control_state=0)
OPEN_CX = QuantumGate(id="cx", target=2, control=0, control_state=0)
FLIP = [("x2p", (0,), ()), ("x2p", (0,), ()), ("gp", (0,), ())]


@pytest.mark.parametrize("basis, gate, times, expected", [
    # X is primitive here: the open control stays on the gate, as always.
    (B.DEFAULT_BASIS, OPEN_CX, DEFAULT_UNROLL_TIMES, [("cx", (2,), (0,))]),
    (B.TESSIK_BASIS, OPEN_CZ, 2, FLIP + [("cz", (2,), (0,))] + FLIP),
    (B.TESSIK_BASIS, OPEN_CZ, 1, "left 2 of 3 gates outside it: 2 'x' still to rewrite when times=1 round ran out"),
    (B.TESSIK_BASIS, OPEN_CZ, 0,
     "left 1 of 1 gates outside it: 1 'cz' with 1 control still to rewrite when times=0 rounds ran out"),
])
def test_open_controls_of_basis_gates_are_flipped_within_the_basis(basis, gate, times, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            unroll_gates([gate], basis, times)
        return
    unrolled = unroll_gates([gate], basis, times)
    assert [(g.id, g.target, g.control) for g in unrolled] == expected
    assert all(basis.is_basis(g) for g in unrolled)
    assert np.allclose(operator(unrolled, 3), operator([gate], 3), atol=1e-12)
