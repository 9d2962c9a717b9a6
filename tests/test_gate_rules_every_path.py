"""One reading of a gate on every path: the native executor (both storages), PyTorch, the GPU executor
on the host stand-in, OpenQASM export and the compiler.

The name decides before a stored matrix (a barrier does nothing, a named gate runs by its name, any other
gate runs its matrix); negative positions inside a block count from its last target; a gate of the wrong
shape is refused with the same ValueError wherever it enters.
"""
import math

import numpy as np
import pytest
import torch

from quorvex.backend.execution.vorthane import CuCircuitExecutor
from quorvex.backend.gate.matrix import NAMED_IDS, NO_OP_IDS
from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.backend.pelmor.strovane import execute_gate_sequence_packed
from quorvex.core import Circuit
from quorvex.qcompiler.rule_based.rule_based_transpiler.basis import DEFAULT_BASIS, TESSIK_BASIS
from quorvex.qcompiler.transpile import DEFAULT_UNROLL_TIMES, qcompiler_transpile

from compiler_dense import equal_up_to_phase, operator, random_unitary
from packed_fields import f, store_of
from test_compiler_execution import _random_circuit
from test_packed_executor import BULK_IDS

STORAGES = ["list", "packed"]
BASES = ["default", "Tessik"]
VENDOR = ["x2p", "x2m", "y2p", "y2m", "xyarb", "rxy"]


def Q(gate_id, target, control=(), **kw):
    return QuantumGate(id=gate_id, target=target, control=control, **kw)


def circuit_of(gates, n, storage="list"):
    circuit = Circuit(n, gate_storage=storage)
    for gate in gates:
        circuit.add_gate(gate)
    return circuit


def native_operator(gates, n, storage):
    """Column j: the gates run natively from |j>."""
    columns = []
    for j in range(1 << n):
        circuit = Circuit(n, gate_storage=storage)
        for q in range(n):
            if j >> q & 1:
                circuit.x(q)
        for gate in gates:
            circuit.add_gate(gate)
        columns.append(circuit.execute().state)
    return np.array(columns).T


def torch_operator(gates, n):
    rows = circuit_of(gates, n).compile().apply_to_batch(torch.eye(1 << n, dtype=torch.complex128))
    return rows.T.numpy()


def torch_execute_operator(gates, n):
    """Column j: ``execute`` from |j>, on PyTorch, which a tensor angle (an rz of 0) selects."""
    columns = []
    for j in range(1 << n):
        circuit = Circuit(n)
        circuit.rz(torch.tensor(0.0, dtype=torch.float64), 0)
        for q in range(n):
            if j >> q & 1:
                circuit.x(q)
        for gate in gates:
            circuit.add_gate(gate)
        columns.append(circuit.execute().state.detach().numpy())
    return np.array(columns).T


def gpu_operator(gates, n):
    executor = CuCircuitExecutor()
    circuit = circuit_of(gates, n)
    return np.array([executor.run(circuit, np.eye(1 << n, dtype=complex)[j]).backend_state.to_numpy()
                     for j in range(1 << n)]).T


def run_operators(gates, n):
    """What each execution path applies."""
    ops = {storage: native_operator(gates, n, storage) for storage in STORAGES}
    ops["torch"] = torch_operator(gates, n)
    ops["torch execute"] = torch_execute_operator(gates, n)
    ops["gpu"] = gpu_operator(gates, n)
    return ops


def compiled_operators(gates, n):
    """What the compiled circuits apply, run natively, for both bases."""
    return {basis: native_operator(qcompiler_transpile(circuit_of(gates, n), basis=basis,
                                                       times=DEFAULT_UNROLL_TIMES).gate_sequence.data(), n, "list")
            for basis in BASES}


def qasm_operator(gates, n):
    text = circuit_of(gates, n).gate_sequence.to_openqasm()
    return native_operator(Opchain.from_openqasm(text).data(), n, "list")


def reference(gates, n):
    """The dense operator, independent of the executors, with the name deciding before a matrix."""
    leaves = []
    pending = list(reversed(gates))
    while pending:
        gate = pending.pop()
        if gate.block_gate_sequence is not None:
            pending.extend(reversed(gate.decompose()))
        elif gate.id in NO_OP_IDS:
            continue
        else:
            leaves.append(gate.replace(matrix=None) if gate.id in NAMED_IDS else gate)
    return operator(leaves, n)


def assert_every_path(gates, n, expected, qasm=True):
    for path, op in run_operators(gates, n).items():
        np.testing.assert_allclose(op, expected, atol=1e-10, err_msg=path)
    for basis, op in compiled_operators(gates, n).items():
        assert equal_up_to_phase(op, expected), basis
    if qasm:
        np.testing.assert_allclose(qasm_operator(gates, n), expected, atol=1e-10)


def test_the_named_ids_are_the_rows_of_the_packed_executor():
    # A gate without a matrix runs natively exactly when its id has a row
    # (or is the measurement, or the matrix gate "unitary"), or only orders
    # the others (run as nothing).
    assert NAMED_IDS == set(BULK_IDS) - {"measure", "unitary"}
    for gate_id in ["x2p", "x2m", "y2p", "y2m", "rxy", "xyarb", "block", "mine"]:
        assert not store_of(f(gate_id, (0,))).bulk_supported()
    for gate_id in NO_OP_IDS:
        assert store_of(f(gate_id, (0,))).bulk_supported()
    assert not NO_OP_IDS & NAMED_IDS


# --- 1. a barrier carrying a matrix -------------------------------------------------------------

# Gates that every path runs and both bases compile under any controls.
PLAIN = ["h", "x", "y", "s", "t", "sqrtx", "rx", "ry", "rz", "cx", "cz", "swap", "rzz"]


def plain_gate(rng, n):
    gate_id = str(rng.choice(PLAIN))
    k = 2 if gate_id in ("swap", "rzz") else 1
    controls = 1 if gate_id in ("cx", "cz") else int(rng.integers(0, 2))
    qubits = [int(q) for q in rng.permutation(n)[:k + controls]]
    angles = {"rx": 1, "ry": 1, "rz": 1, "rzz": 1}.get(gate_id, 0)
    return Q(gate_id, qubits[:k], qubits[k:], parameter=tuple(rng.uniform(-3, 3, angles)) or None)


@pytest.mark.parametrize("seed", range(4))
def test_a_barrier_does_nothing_whatever_matrix_it_carries(seed):
    rng = np.random.default_rng([34, 1, seed])
    n = 3
    gates = []
    for _ in range(12):
        gates.append(plain_gate(rng, n))
        k = int(rng.integers(1, n + 1))
        targets = [int(q) for q in rng.permutation(n)[:k]]
        gate_id = str(rng.choice(["barrier", "b"]))
        gates.append(Q(gate_id, targets, matrix=random_unitary(rng, 2 ** k)))
    gates.append(Q("barrier", (1,), matrix=[[0, 1j], [1j, 0]]))
    expected = reference(gates, n)
    np.testing.assert_allclose(expected, operator([g for g in gates if g.id not in NO_OP_IDS], n), atol=1e-12)
    assert_every_path(gates, n, expected, qasm=False)
    # OpenQASM writes the barrier, without its matrix ("b" has no OpenQASM form, matrix or not).
    barriers = [g for g in gates if g.id != "b"]
    np.testing.assert_allclose(qasm_operator(barriers, n), expected, atol=1e-10)
    for matrix in (None, np.eye(2)):
        with pytest.raises(ValueError, match="^Gate b .*OpenQASM"):
            circuit_of([Q("b", 0, matrix=matrix)], 1).gate_sequence.to_openqasm()
    # The compiler keeps barriers and drops what they carry.
    for basis in BASES:
        compiled = qcompiler_transpile(circuit_of(gates, n), basis=basis, times=DEFAULT_UNROLL_TIMES)
        assert not [g for g in compiled.gate_sequence.data() if g.id in NO_OP_IDS and g.has_stored_matrix]


def test_the_packed_executor_never_runs_a_barriers_matrix():
    # The executor runs a barrier as nothing, as every other path does, matrix or not.
    for gate_id in ("barrier", "b"):
        store = store_of(f(gate_id, (0,), matrix=np.array([[0, 1], [1, 0]])))
        assert store.bulk_supported()
        state, _ = execute_gate_sequence_packed(1, np.array([1, 0], complex), store)
        np.testing.assert_array_equal(state, [1, 0])


# --- 2. the compiler reads a gate as the executors do ------------------------------------------

def with_matrices(rng, gates, n):
    """Some gates given a stored matrix: ignored by a named gate, run by any other."""
    out = []
    for gate in gates:
        if gate.id in ("unitary", "barrier", "b") or rng.random() < 0.3:
            out.append(gate)
            continue
        matrix = random_unitary(rng, 2 ** len(gate.target))
        if gate.id in VENDOR and rng.random() < 0.3:
            matrix = gate.matrix  # exactly what the name stands for
        out.append(gate.replace(matrix=matrix))
    # Gates without a row that run their matrix under controls, open ones included.
    for gate_id in VENDOR + ["mine"]:
        qubits = [int(q) for q in rng.permutation(n)]
        out.append(Q(gate_id, qubits[:1], tuple(qubits[1:3]), control_state=(int(rng.integers(0, 2)), 1),
                     parameter=(0.3, -1.1) if gate_id in ("xyarb", "rxy") else None,
                     matrix=random_unitary(rng, 2)))
    return [out[i] for i in rng.permutation(len(out))]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("basis", [DEFAULT_BASIS, TESSIK_BASIS], ids=lambda b: b.name)
def test_gates_carrying_matrices_compile_to_what_runs(basis, seed):
    n = 4
    rng = np.random.default_rng([34, 2, seed, len(basis.name)])
    gates = with_matrices(rng, _random_circuit(rng, basis), n)
    gates.append(Q("rz", 0, 1, parameter=0.4, matrix=np.array([[1, 1], [1, -1]]) / math.sqrt(2)))
    expected = reference(gates, n)
    for storage in STORAGES:
        np.testing.assert_allclose(native_operator(gates, n, storage), expected, atol=1e-10)
    np.testing.assert_allclose(torch_operator(gates, n), expected, atol=1e-10)
    compiled = qcompiler_transpile(circuit_of(gates, n), basis=basis.name, times=DEFAULT_UNROLL_TIMES).gate_sequence
    assert equal_up_to_phase(native_operator(compiled.data(), n, "packed"), expected)
    if basis is DEFAULT_BASIS:
        # What the GPU executor runs: the default basis.
        assert equal_up_to_phase(gpu_operator(compiled.data(), n), expected)


@pytest.mark.parametrize("gate, kept", [
    # A stored matrix that is exactly the named one stays as the vendor rules emit it.
    (Q("x2p", 0, matrix=QuantumGate("x2p", 0).matrix), True),
    (Q("y2m", 0, matrix=np.array([[1, 1], [-1, 1]]) / math.sqrt(2)), True),
    (Q("x2p", 0, matrix=np.eye(2)), False),
])
def test_vendor_gates_keep_their_id_only_for_their_own_matrix(gate, kept):
    compiled = qcompiler_transpile(circuit_of([gate], 1), basis="Tessik", times=DEFAULT_UNROLL_TIMES)
    ids = [g.id for g in compiled.gate_sequence.data()]
    assert (ids == [gate.id]) is kept
    assert equal_up_to_phase(native_operator(compiled.gate_sequence.data(), 1, "list"), gate.stored_matrix)


# --- 3. negative positions inside a block -------------------------------------------------------

def block_gate(rng, width, depth):
    """A composite gate on some of ``width`` positions whose children name positions -k .. k-1 at random."""
    k = int(rng.integers(1, width + 1))
    positions = [int(q) for q in rng.permutation(width)]
    children = []
    for _ in range(int(rng.integers(1, 5))):
        if depth < 2 and k >= 2 and rng.random() < 0.3:
            child = block_gate(rng, k, depth + 1)
        elif k >= 2:
            child = plain_gate(rng, k)
        else:
            child = Q("ry", 0, parameter=float(rng.uniform(-3, 3))) if rng.random() < 0.5 else Q("h", 0)
        # Each position written as itself or as its negative twin counting from the end.
        negative = lambda qs: tuple(q - k if rng.random() < 0.5 else q for q in qs)
        children.append(child.replace(target=negative(child.target), control=negative(child.control)))
    controls = positions[k:k + int(rng.integers(0, 2))] if depth == 0 else []
    return Q("block", positions[:k], controls, block_gate_sequence=children)


@pytest.mark.parametrize("seed", range(4))
def test_negative_block_positions_count_from_the_last_target_on_every_path(seed):
    rng = np.random.default_rng([34, 3, seed])
    n = 3
    gates = [block_gate(rng, n, 0) if rng.random() < 0.6 else plain_gate(rng, n) for _ in range(10)]
    gates.append(Q("block", (0, 1), block_gate_sequence=[Q("x", -1)]))
    assert any(q < 0 for g in gates if g.block_gate_sequence for c in g.block_gate_sequence for q in c.target)
    expected = reference(gates, n)
    assert_every_path(gates, n, expected)
    # The sequences hold the blocks as well: the packed one resolves the positions as it stores them.
    for sequence in (Opchain(n), OpchainPacked(n)):
        for gate in gates:
            sequence.add_gate(gate)
        assert equal_up_to_phase(native_operator(sequence.data(), n, "list"), expected)
    state = np.zeros(1 << n, complex)
    state[0] = 1
    out, _ = execute_gate_sequence_packed(n, state, sequence._native)
    np.testing.assert_allclose(out, expected[:, 0], atol=1e-10)
    stored = sequence.data()[len(gates) - 1].block_gate_sequence
    assert [(g.id, g.target) for g in stored] == [("x", (1,))]


def test_one_block_object_under_owners_of_two_widths_resolves_by_each():
    # The store reads a block object once per add and reuses it: not across
    # owners of different widths, where -1 names different positions.
    narrow = Q("block", (0, 1), block_gate_sequence=[Q("x", -1)])
    wide = Q("block", (0, 1, 2), block_gate_sequence=narrow.block_gate_sequence)
    assert wide.block_gate_sequence is narrow.block_gate_sequence
    gates = [Q("block", (0, 1, 2), block_gate_sequence=[narrow, wide])]
    expected = reference(gates, 3)
    assert_every_path(gates, 3, expected)
    sequence = OpchainPacked(3)
    sequence.add_gate(gates[0])
    inner = sequence.data()[0].block_gate_sequence
    assert [[(g.id, g.target) for g in b.block_gate_sequence] for b in inner] == [[("x", (1,))], [("x", (2,))]]


def test_both_storages_read_a_block_back_with_its_positions_resolved():
    # A stored block reads back with -j written as k - j, on list storage as on packed, at any depth and
    # through every way of reading the sequence; the read-back gate runs the same wherever it is added.
    written = Q("block", (2, 0), block_gate_sequence=[
        Q("x", -1), Q("h", -2, control=-1), Q("block", (-1, 0), block_gate_sequence=[Q("z", -2)])])
    resolved = Q("block", (2, 0), block_gate_sequence=[
        Q("x", 1), Q("h", 0, control=1), Q("block", (1, 0), block_gate_sequence=[Q("z", 0)])])
    shared = Q("block", (-1,), block_gate_sequence=[Q("x", -1)])
    for _ in range(11):  # 4,096 leaves in 13 records: rebuilt once per level
        shared = Q("block", (-1,), block_gate_sequence=(shared, shared))
    plain = Q("block", (0, 1), block_gate_sequence=[Q("cx", 1, control=0)])
    gates = [Q("h", 1), written, Q("block", (1,), block_gate_sequence=(shared, shared)), plain]
    n = 3
    reads = {}
    for storage in STORAGES:
        circuit = circuit_of(gates, n, storage)
        data = circuit.gate_sequence.data()
        assert data[1] == resolved and list(data)[1] == resolved and data[1:2][0] == resolved, storage
        assert [(g.id, g.target, g.control) for g in data[1].block_gate_sequence] == [
            ("x", (1,), ()), ("h", (0,), (1,)), ("block", (1, 0), ())], storage
        assert [g.target for g in data[-3].block_gate_sequence[2].block_gate_sequence] == [(0,)], storage
        inner, levels = data[2], 0
        while inner.block_gate_sequence is not None:
            first, second = inner.block_gate_sequence[0], inner.block_gate_sequence[-1]
            assert first == second and first.target == (0,), storage
            inner, levels = first, levels + 1
        assert levels == 13, storage
        assert data[3] == plain
        reads[storage] = (circuit, data)
    (list_circuit, list_data), (packed_circuit, packed_data) = reads["list"], reads["packed"]
    assert list_data == packed_data and list(list_data) == list(packed_data)
    assert list_circuit.gate_sequence.data()[3] is plain  # nothing to resolve: the record itself
    expected = reference(gates, n)
    np.testing.assert_allclose(reference(list(list_data), n), expected, atol=1e-10)
    for source in (list_data, packed_data):
        for storage in STORAGES:
            again = circuit_of(list(source), n, storage)
            assert again.gate_sequence.data() == list_data
            np.testing.assert_allclose(again.execute().state, expected[:, 0], atol=1e-10)


BLOCK_POSITION_REFUSALS = [
    # (block, message): positions outside -k .. k - 1, and positions that resolve to one target.
    (Q("block", (0, 1), block_gate_sequence=[Q("x", -3)]),
     "Block position -3 of gate 'x' is outside its block of 2 targets: positions run from -2 to 1."),
    (Q("block", (0, 1), block_gate_sequence=[Q("h", 0), Q("x", 2)]),
     "Block position 2 of gate 'x' is outside its block of 2 targets: positions run from -2 to 1."),
    (Q("block", (2,), block_gate_sequence=[Q("x", 0, control=-2)]),
     "Block position -2 of gate 'x' is outside its block of 1 target: positions run from -1 to 0."),
    (Q("block", (0, 1), block_gate_sequence=[Q("x", 1, control=-1)]),
     "Block positions 1 and -1 of gate 'x' are one target, position 1 of its block of 2 targets "
     "(-j counts from the end, as 2 - j)."),
    (Q("block", (0, 1), block_gate_sequence=[Q("swap", (0, -2))]),
     "Block positions 0 and -2 of gate 'swap' are one target, position 0 of its block of 2 targets "
     "(-j counts from the end, as 2 - j)."),
    (Q("block", (0, 1, 2), block_gate_sequence=[Q("h", 2), Q("block", (0, 1), block_gate_sequence=[Q("x", -3)])]),
     "Block position -3 of gate 'x' is outside its block of 2 targets: positions run from -2 to 1."),
    # A child naming more positions than a pairwise look compares.
    (Q("block", tuple(range(40)), block_gate_sequence=[
        Q("block", tuple(range(39)) + (-40,), block_gate_sequence=[Q("x", 0)])]),
     "Block positions 0 and -40 of gate 'block' are one target, position 0 of its block of 40 targets "
     "(-j counts from the end, as 40 - j)."),
]


def add_to_circuit(storage):
    def add(gate):
        circuit = Circuit(40, gate_storage=storage)
        circuit.h(0)
        try:
            circuit.add_gate(gate)
        finally:
            assert [g.id for g in circuit.gate_sequence.data()] == ["h"]
    return add


def add_to_packed_sequence(gate):
    sequence = OpchainPacked(40)
    sequence.add_gate(Q("h", 0))
    try:
        sequence.add_gate(gate)
    finally:
        assert [g.id for g in sequence.data()] == ["h"] and len(sequence._native) == 1


def add_to_store(gate):
    store = store_of(f("h", (0,)))
    try:
        store.append_fields(*f(gate.id, gate.target, block=gate.block_gate_sequence))
    finally:
        assert len(store) == 1 and store.version == 1


@pytest.mark.parametrize("add", [add_to_circuit("list"), add_to_circuit("packed"), add_to_packed_sequence,
                                 add_to_store], ids=["list", "packed", "OpchainPacked", "store"])
@pytest.mark.parametrize("gate, message", BLOCK_POSITION_REFUSALS)
def test_block_positions_that_resolve_outside_or_onto_one_target_are_refused_at_add(add, gate, message):
    # One rule, one message, whatever storage takes the block, and nothing of it kept.
    with pytest.raises(ValueError) as refused:
        add(gate)
    assert str(refused.value) == message


# --- 4. one check of a gate's shape, one exception --------------------------------------------------

class SequenceCircuit:
    """What the GPU executor reads of a circuit, over a sequence the circuit would not take."""

    def __init__(self, sequence):
        self.gate_sequence = sequence

    def get_num_qubits(self):
        return self.gate_sequence._num_qubits


def inside_blocks(gate):
    """``gate`` two blocks deep, at positions that put it back on its own qubits."""
    inner = Q("block", (2, 0, 1), block_gate_sequence=[Q("h", 0), gate, Q("x", 2)])
    return Q("block", (1, 2, 0), block_gate_sequence=[inner])


@pytest.mark.parametrize("gate, message", [
    (Q("i", (0, 1)), "Gate 'i' acts on 1 target(s), got 2."),
    (Q("i", (0, 1), matrix=np.eye(4)), "Gate 'i' acts on 1 target(s), got 2."),
    (Q("x", (0, 1), matrix=np.eye(4)), "Gate 'x' acts on 1 target(s), got 2."),
    (Q("h", (0, 1)), "Gate 'h' acts on 1 target(s), got 2."),
    (Q("cx", (1, 2), 0), "Gate 'cx' acts on 1 target(s), got 2."),
    (Q("swap", 0), "Gate 'swap' acts on 2 target(s), got 1."),
    (Q("rzz", (0, 1, 2), parameter=0.3), "Gate 'rzz' acts on 2 target(s), got 3."),
    (Q("y2m", (0, 2)), "Gate 'y2m' acts on 1 target(s), got 2."),
    (Q("x2p", 0, matrix=np.eye(4)), "Gate 'x2p' runs its stored matrix on 1 target(s), which needs shape (2, 2); "
                                    "got (4, 4)."),
    (Q("mine", (0, 1), matrix=np.eye(2)), "Gate 'mine' runs its stored matrix on 2 target(s), which needs shape "
                                          "(4, 4); got (2, 2)."),
], ids=["i-two", "i-two-matrix", "x-two-matrix", "h-two", "cx-two", "swap-one", "rzz-three", "y2m-two",
        "x2p-matrix", "custom-matrix"])
@pytest.mark.parametrize("nested", [False, True], ids=["plain", "in-blocks"])
def test_a_gate_of_the_wrong_shape_is_refused_alike_on_every_path(gate, message, nested):
    rng = np.random.default_rng([34, 4, len(message)])
    n = 3
    valid = [plain_gate(rng, n) for _ in range(6)]
    bad = inside_blocks(gate) if nested else gate
    gates = valid[:3] + [bad] + valid[3:]
    exact = "^" + message.replace("(", "\\(").replace(")", "\\)") + "$"
    for storage in STORAGES:
        circuit = circuit_of(valid, n, storage)
        before = [g.id for g in circuit.gate_sequence.data()]
        with pytest.raises(ValueError, match=exact):
            circuit.add_gate(bad)
        for sequence_type in (Opchain, OpchainPacked):
            sequence = sequence_type(n)
            for g in gates:
                sequence.add_gate(g)
            with pytest.raises(ValueError, match=exact):
                circuit.gate_sequence = sequence
            with pytest.raises(ValueError, match=exact):
                circuit.append(sequence, list(range(n)))
            # The GPU executor, handed the sequence without a circuit around it, before the add-on.
            with pytest.raises(ValueError, match=exact):
                CuCircuitExecutor().run(SequenceCircuit(sequence))
        assert [g.id for g in circuit.gate_sequence.data()] == before
        np.testing.assert_allclose(circuit.execute().state, native_operator(valid, n, "list")[:, 0], atol=1e-12)


@pytest.mark.parametrize("gate", [
    Q("i", 0, matrix=np.eye(4)),            # a named gate ignores its matrix, whatever its shape
    Q("gp", (), parameter=0.3), Q("gp", (0, 2), parameter=0.3),
    Q("barrier", (0, 1, 2), matrix=np.eye(2)),
    Q("mine", (2, 0), matrix=np.eye(4)),
])
def test_gates_of_any_fitting_shape_pass_the_check(gate):
    for storage in STORAGES:
        circuit = circuit_of([Q("h", 0), gate], 3, storage)
        np.testing.assert_allclose(circuit.execute().state, reference(circuit.gate_sequence.data(), 3)[:, 0],
                                   atol=1e-12)
