"""What the compiler makes runs in the package, and what a circuit holds compiles.

Random circuits through both unrollers execute natively and on the torch
path and keep their operator up to a global phase; the unitarity bound of
the circuit layer is the one every pass applies.
"""
import cmath
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import torch

from quorvex.backend.gate.matrix import UNITARY_TOLERANCE
from quorvex.backend.gate.morlith import QuantumGate
from quorvex.core import Circuit
from quorvex.qcompiler import circuit_io as io
from quorvex.qcompiler.rule_based.rule_based_transpiler.basis import DEFAULT_BASIS, TESSIK_BASIS
from quorvex.qcompiler.transpile import DEFAULT_UNROLL_TIMES, qcompiler_transpile

from compiler_dense import equal_up_to_phase, operator, random_unitary
from executed_unitary import executed_unitary

N = 4
BASES = [DEFAULT_BASIS, TESSIK_BASIS]

# id -> (targets, angles); others act on one target with no angle or, in ONE_ANGLE, one.
SHAPES = {"swap": (2, 0), "rzz": (2, 1), "u": (1, 3), "rxy": (1, 2), "xyarb": (1, 2), "barrier": (2, 0),
          "b": (2, 0)}
ONE_ANGLE = {"gp", "p", "cp", "mcp", "rx", "ry", "rz", "crx", "cry", "crz", "mcrx", "mcry", "mcrz"}
# Taken without controls only: no rule of either basis rewrites their controlled forms.
BARE = {"i", "u", "rxy", "xyarb", "x2p", "x2m", "y2p", "y2m", "b", "barrier"}
CONTROLLED = {"cx", "cnot", "cy", "cz", "ch", "cs", "cp", "crx", "cry", "crz"}


def _gate(rng, gate_id, num_controls):
    num_targets, num_angles = SHAPES.get(gate_id, (1, 1 if gate_id in ONE_ANGLE else 0))
    qubits = [int(q) for q in rng.permutation(N)[:num_targets + num_controls]]
    return QuantumGate(id=gate_id, target=qubits[:num_targets], control=qubits[num_targets:],
                       control_state=[int(s) for s in rng.integers(0, 2, num_controls)],
                       parameter=tuple(rng.uniform(-np.pi, np.pi, num_angles)) or None,
                       matrix=random_unitary(rng, 2) if gate_id == "unitary" else None)


def _random_circuit(rng, basis):
    """Every id the basis takes in, each once in the form it keeps if it can, then random ones."""
    ids = sorted((set(basis.registry) | basis.basis_ids | {"barrier"}) - {"measure"})
    gates = [_gate(rng, gate_id, 1 if gate_id in CONTROLLED else 0) for gate_id in ids]
    for gate_id in rng.choice(ids, 20):
        gate_id = str(gate_id)
        low = 0 if gate_id in BARE else 1 if gate_id in CONTROLLED else 0
        high = 0 if gate_id in BARE else 2
        gates.append(_gate(rng, gate_id, int(rng.integers(low, high + 1))))
    order = rng.permutation(len(gates))
    return [gates[i] for i in order]


def _circuit(gates, n=N):
    circuit = Circuit(n)
    for gate in gates:
        circuit.add_gate(gate)
    return circuit


def _torch_operator(circuit):
    dim = 1 << circuit.get_num_qubits()
    rows = circuit.compile().apply_to_batch(torch.eye(dim, dtype=torch.complex128))
    return rows.T.numpy()


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("basis", BASES, ids=lambda b: b.name)
def test_compiled_circuits_run_on_every_path_with_their_input_operator(basis, seed):
    rng = np.random.default_rng([seed, len(basis.name)])
    gates = _random_circuit(rng, basis)
    expected = operator(gates, N)
    compiled = qcompiler_transpile(_circuit(gates), basis=basis.name, times=DEFAULT_UNROLL_TIMES)
    # Every gate the unroller emits is here: the whole basis, barriers included.
    assert {g.id for g in compiled.gate_sequence.data()} == (basis.basis_ids - {"measure"}) | {"barrier"}
    assert equal_up_to_phase(executed_unitary(compiled), expected)
    assert equal_up_to_phase(_torch_operator(compiled), expected)
    single = compiled.execute(dtype=np.complex64).state
    assert single.dtype == np.complex64 and equal_up_to_phase(single, expected[:, 0], atol=1e-5)
    # QCIS read back holds its own ids (xyarb for RXY, barrier for B).
    back = io.qcis_to_circuit(io.qasm_to_qcis(compiled))
    assert equal_up_to_phase(executed_unitary(back), expected)


@pytest.mark.parametrize("gate, matrix", [
    (QuantumGate(id="xyarb", target=0, parameter=(0.7, -1.9)), None),
    (QuantumGate(id="rxy", target=0, parameter=(-2.5, 0.4)), None),
    (QuantumGate(id="b", target=(1, 0)), np.eye(4)),
])
def test_vendor_gates_have_their_standard_matrix(gate, matrix):
    if matrix is None:
        phi, theta = gate.parameter
        axis = np.array([[0, np.exp(-1j * phi)], [np.exp(1j * phi), 0]])
        matrix = math.cos(theta / 2) * np.eye(2) - 1j * math.sin(theta / 2) * axis
    np.testing.assert_allclose(gate.matrix, matrix, atol=1e-15)


@pytest.mark.parametrize("basis", BASES, ids=lambda b: b.name)
def test_complex64_unitaries_that_a_circuit_takes_compile(basis):
    # Rounded to complex64, a unitary is off by about 1e-7.
    rng = np.random.default_rng(11)
    source = Circuit(3)
    for _ in range(12):
        qubits = [int(q) for q in rng.permutation(3)]
        controls = qubits[1:1 + int(rng.integers(0, 3))]
        source.unitary(random_unitary(rng, 2).astype(np.complex64), qubits[:1], control=controls,
                       control_state=[int(s) for s in rng.integers(0, 2, len(controls))])
    compiled = qcompiler_transpile(source, basis=basis.name, times=DEFAULT_UNROLL_TIMES)
    assert equal_up_to_phase(operator(compiled.gate_sequence.data(), 3), operator(source.gate_sequence.data(), 3),
                             atol=1e-5)


@pytest.mark.parametrize("deviation", [0.8, 1.2], ids=["inside", "outside"])
def test_the_circuit_and_every_pass_share_one_unitarity_bound(deviation):
    # M M^dagger = (1 + deviation * bound) I.
    matrix = random_unitary(np.random.default_rng(3), 2) * math.sqrt(1 + deviation * UNITARY_TOLERANCE)
    gate = QuantumGate(id="unitary", target=0, control=1, matrix=matrix)
    if deviation < 1:
        Circuit(2).unitary(matrix, [0], control=[1])
        for basis in BASES:
            qcompiler_transpile(_circuit([gate], 2), basis=basis.name, times=DEFAULT_UNROLL_TIMES)
        return
    with pytest.raises(ValueError, match="matrix is not unitary: max .* exceeds 1e-6.$"):
        Circuit(2).unitary(matrix, [0], control=[1])
    for basis in BASES:
        with pytest.raises(ValueError, match="^Gate 'unitary' on one target needs a 2x2 unitary matrix.$"):
            qcompiler_transpile(_circuit([gate], 2), basis=basis.name, times=DEFAULT_UNROLL_TIMES)


def _near_bound(seed, deviation=0.9 * UNITARY_TOLERANCE):
    """A random unitary pushed off unitarity to ``deviation`` in a random direction."""
    rng = np.random.default_rng(seed)
    u = random_unitary(rng, 2)
    push = rng.normal(size=(2, 2)) + 1j * rng.normal(size=(2, 2))
    for _ in range(2):  # the deviation is linear in a small push
        push = push * (deviation / np.abs((u + push) @ (u + push).conj().T - np.eye(2)).max())
    return u + push


def _near_scalar(half_angle, phase=2.0, axis=(1.0, 0.0, 0.0)):
    """e^{i phase} exp(-i half_angle n.sigma): with |phase| > pi/2 the root's plain formula cancels."""
    nx, ny, nz = np.asarray(axis) / np.linalg.norm(axis)
    generator = np.array([[nz, nx - 1j * ny], [nx + 1j * ny, -nz]])
    return np.exp(1j * phase) * (math.cos(half_angle) * np.eye(2) - 1j * math.sin(half_angle) * generator)


@pytest.mark.parametrize("matrix, bound", [
    (_near_bound(2), 1e-5),                   # its plain root is 1.2e-6 off unitary
    (_near_bound(36), 1e-5),
    (_near_scalar(5e-6), 1e-13),              # the plain root is refused: the other sign is taken
    # The plain root is within 1e-8 of unitary, but its square misses U by
    # 3e-8: the other sign is taken.
    (_near_scalar(5e-5), 1e-13),
    # Unitary to about 1e-7: both roots are that far off, and the next round still takes them.
    (_near_scalar(5e-5).astype(np.complex64), 1e-5),
    (_near_scalar(3e-3, -2.5, (0.3, -1.0, 0.2)).astype(np.complex64), 1e-5),
], ids=["near-bound-a", "near-bound-b", "near-scalar-1e-5", "near-scalar-1e-4", "near-scalar-complex64-a",
        "near-scalar-complex64-b"])
@pytest.mark.parametrize("controls", [2, 3])
def test_multi_controlled_unitaries_keep_their_roots_unitary(matrix, bound, controls):
    # Under k >= 2 controls a unitary is split into square roots, which the
    # next round checks again; near e^{ia} I the root's formula cancels.
    gate = QuantumGate(id="unitary", target=0, control=tuple(range(1, controls + 1)), matrix=matrix)
    for basis in BASES:
        compiled = qcompiler_transpile(_circuit([gate], controls + 1), basis=basis.name,
                                       times=DEFAULT_UNROLL_TIMES)
        error = np.abs(operator(compiled.gate_sequence.data(), controls + 1) - operator([gate], controls + 1)).max()
        assert error < bound


# Exactly unitary near e^{ia} I, eigenphases split by 1e-6 to 1e-4: the
# plain root is nearly unitary, but its square misses U by up to 1e-5.
ISSUE_MATRIX = np.array([
    [-0.8156273497156238 - 0.5785775889128442j, 1.40271300067203e-06 + 1.3037935638869798e-06j],
    [-1.6941126616286718e-06 - 8.930082357945305e-07j, -0.8156219538915842 - 0.5785851953916615j]])
NEAR_SCALAR = [ISSUE_MATRIX] + [
    _near_scalar(half_angle, phase, axis)
    for half_angle in (1e-6, 4e-6, 2e-5, 1e-4)
    for phase, axis in ((2.0, (1, 0, 0)), (-2.5, (0.3, -1.0, 0.2)), (3.0, (0, 0.6, -0.8)), (0.4, (1, 1, 1)))
]


@pytest.mark.parametrize("matrix", NEAR_SCALAR)
@pytest.mark.parametrize("controls", [2, 3, 4])
def test_near_scalar_unitaries_under_controls_compile_to_their_operator(matrix, controls):
    gate = QuantumGate(id="unitary", target=0, control=tuple(range(1, controls + 1)), matrix=matrix)
    expected = operator([gate], controls + 1)
    for basis in BASES:
        compiled = qcompiler_transpile(_circuit([gate], controls + 1), basis=basis.name,
                                       times=DEFAULT_UNROLL_TIMES)
        assert np.abs(operator(compiled.gate_sequence.data(), controls + 1) - expected).max() <= 1e-12


@pytest.mark.parametrize("basis", BASES, ids=lambda b: b.name)
def test_a_near_scalar_unitary_under_two_set_controls_runs_as_compiled(basis):
    circuit = Circuit(3)
    circuit.x(1)
    circuit.x(2)
    circuit.h(1)
    circuit.unitary(ISSUE_MATRIX, [0], control=[1, 2])
    compiled = qcompiler_transpile(circuit, basis=basis.name, times=DEFAULT_UNROLL_TIMES)
    state, expected = np.asarray(compiled.execute().state), np.asarray(circuit.execute().state)
    index = np.argmax(np.abs(expected))
    assert np.abs(state * (expected[index] / state[index]) - expected).max() <= 1e-12


def _plain_root(u):
    """The square root the multi-control rule has always taken for a unitary whose root is exact."""
    delta = cmath.sqrt(u[0, 0] * u[1, 1] - u[0, 1] * u[1, 0])
    tau = cmath.sqrt(u[0, 0] + u[1, 1] + 2 * delta)
    if abs(tau) < 1e-6:
        delta = -delta
        tau = cmath.sqrt(u[0, 0] + u[1, 1] + 2 * delta)
    return (u + delta * np.eye(2)) / tau, abs(tau)


@pytest.mark.parametrize("matrix", [
    _near_scalar(half_angle, phase, axis)
    for half_angle in (1e-3, 1e-2, 0.04)
    for phase, axis in ((2.0, (1, 0, 0)), (-2.5, (0.3, -1.0, 0.2)), (3.0, (0, 0.6, -0.8)))
])
@pytest.mark.parametrize("basis", BASES, ids=lambda b: b.name)
def test_exact_near_scalar_unitaries_split_into_the_roots_they_always_had(matrix, basis):
    root, tau = _plain_root(matrix)
    assert tau < 0.1  # inside the cancellation, where only the root's error decides
    gate = QuantumGate(id="unitary", target=0, control=(1, 2), matrix=matrix)
    stored = [g.stored_matrix for g in basis.construct(gate) if g.id == "unitary"]
    assert len(stored) == 3
    for got, expected in zip(stored, (root, root.conj().T, root)):
        assert got.tobytes() == np.ascontiguousarray(expected).tobytes()


@pytest.mark.parametrize("storage", ["list", "packed"])
def test_the_dagger_of_a_vendor_circuit_undoes_it(storage):
    rng = np.random.default_rng(5)
    compiled = qcompiler_transpile(_circuit(_random_circuit(rng, TESSIK_BASIS)), basis=TESSIK_BASIS.name,
                                   times=DEFAULT_UNROLL_TIMES)
    circuit = Circuit(N, gate_storage=storage)
    for gate in compiled.gate_sequence.data():
        circuit.add_gate(gate)
    assert "xyarb" in {gate.id for gate in circuit.gate_sequence.data()}
    # The sequence's own inverse as well: the native store's for packed storage.
    by_sequence = Circuit(N, gate_storage=storage)
    by_sequence.gate_sequence = circuit.gate_sequence.inverse()
    start = np.eye(1 << N)[0]
    for undo in (circuit.dagger(), by_sequence):
        both = circuit.copy()
        both.append(undo, list(range(N)))
        np.testing.assert_allclose(both.execute().state, start, atol=1e-10)


# What a circuit runs but the compiler refuses, as the README lists it: the
# bases it is refused in, and the error.
REFUSED = [
    (QuantumGate(id="ct", target=0, control=1), BASES, ValueError),
    (QuantumGate(id="mcs", target=0, control=(1, 2)), BASES, ValueError),
    (QuantumGate(id="mct", target=0, control=(1, 2)), BASES, ValueError),
    (QuantumGate(id="gphase", target=0, parameter=(0.3,)), BASES, ValueError),
    (QuantumGate(id="global_phase", target=0, control=1, parameter=(0.3,)), BASES, ValueError),
    (QuantumGate(id="i", target=0, control=1), BASES, ValueError),
    (QuantumGate(id="u", target=0, control=1, parameter=(0.3, 0.5, 0.1)), BASES, ValueError),
    (QuantumGate(id="rxy", target=0, parameter=(0.3, 0.5)), [DEFAULT_BASIS], ValueError),
    (QuantumGate(id="rxy", target=0, control=1, parameter=(0.3, 0.5)), BASES, ValueError),
    *[(QuantumGate(id=gate_id, target=0, control=1, parameter=parameter), [TESSIK_BASIS], ValueError)
      for gate_id, parameter in (("x2p", None), ("x2m", None), ("y2p", None), ("y2m", None),
                                 ("xyarb", (0.3, 0.5)), ("b", None))],
    (QuantumGate(id="unitary", target=(0, 1), matrix=random_unitary(np.random.default_rng(4), 4)), BASES,
     NotImplementedError),
]


@pytest.mark.parametrize("gate, refused_in, error", REFUSED, ids=lambda v: getattr(v, "id", None))
def test_gates_a_circuit_runs_but_the_compiler_refuses(gate, refused_in, error):
    circuit = _circuit([gate], 3)
    circuit.execute()
    for basis in BASES:
        if basis in refused_in:
            with pytest.raises(error):
                qcompiler_transpile(circuit, basis=basis.name)
        else:
            qcompiler_transpile(circuit, basis=basis.name)


# --- the unrolling's growth, foreseen ------------------------------------------------------------

@pytest.mark.parametrize("basis", BASES, ids=lambda b: b.name)
def test_the_largest_round_is_foreseen_exactly(basis):
    from quorvex.qcompiler.transpile import _largest_round

    rng = np.random.default_rng(40)
    for controls, times in ((3, 16), (5, 10), (6, 16)):
        c = Circuit(controls + 2)
        c.add_gate(QuantumGate("mcx", 0, control=list(range(1, controls + 1)),
                               control_state=[int(s) for s in rng.integers(0, 2, controls)]))
        c.add_gate(QuantumGate("mcry", controls + 1, control=[1, 2], parameter=0.3))
        c.add_gate(QuantumGate("swap", [0, 1], control=[2]))
        # the rounds only grow: the largest is the result
        final = len(qcompiler_transpile(c, basis=basis.name, times=times).gate_sequence.data())
        assert _largest_round(list(c.gate_sequence.data()), basis, times, c) == final


def test_an_unrolling_that_cannot_fit_is_refused_before_the_first_round():
    # One Toffoli of 14 controls, unrolled in 16 rounds: 18,068,986 gates in the default basis and
    # 60,584,249 in the vendor's, some 9 and 31 GB; under an address-space limit 2 GiB above what the
    # process maps, refused at once with the count.
    code = textwrap.dedent("""
        import os, resource
        from quorvex.backend.gate.morlith import QuantumGate
        from quorvex.core import Circuit
        from quorvex.qcompiler.transpile import qcompiler_transpile
        c = Circuit(15)
        c.add_gate(QuantumGate("mcx", 0, control=list(range(1, 15))))
        mapped = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 2 * 2**30, resource.getrlimit(resource.RLIMIT_AS)[1]))
        for basis in ("default", "Tessik"):
            try:
                qcompiler_transpile(c, basis=basis, times=16)
            except MemoryError as exc:
                print(exc)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    lines = done.stdout.splitlines()
    assert lines[0].startswith("Unrolling into basis 'default' would make 18068986 gates, at least ")
    assert lines[1].startswith("Unrolling into basis 'Tessik' would make 60584249 gates, at least ")
