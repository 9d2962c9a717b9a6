"""Both gate storages of Circuit hold the records as they were added, so every reader sees the same gates."""
import copy
import gc
import tracemalloc
import weakref
from types import SimpleNamespace

import numpy as np
import pytest
import torch

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.core import Circuit
from quorvex.qcompiler import circuit_io
from quorvex.qcompiler.hardware_api.providers import vellicor
from quorvex.qcompiler.transpile import qcompiler_transpile

STORAGES = ["list", "packed"]
FLIP = np.array([[0, 1], [1, 0]], dtype=complex)

# Records the executor needs rewritten: a barrier, composite gates, vendor gates
# (run from their standard matrices) and a custom id with its matrix.
AS_ADDED = [
    QuantumGate("barrier", [0, 1, 2]),
    QuantumGate("x2p", [1]),
    QuantumGate("block", [2, 0], control=[1], control_state=[0], block_gate_sequence=(
        QuantumGate("h", [0]), QuantumGate("y2m", [1], control=[0]))),
    QuantumGate("mine", [0, 2], matrix=np.kron(FLIP, FLIP)),
]


def built(storage, records=AS_ADDED, n=3):
    c = Circuit(n, name="mix", gate_storage=storage)
    c.h(0)
    c.rz(0.3, 1)
    c.cx(0, 2, control_state=0)
    for record in records:
        c.add_gate(record)
    c.unitary(FLIP, [2], control=[0])
    c.gp(0.2)
    return c


def records(circuit):
    return list(circuit.gate_sequence.data())


def fields(gates):
    """Every field of each gate, matrices as nested lists, so that records compare by value."""
    out = []
    for g in gates:
        matrix = None if g.stored_matrix is None else np.asarray(g.stored_matrix).tolist()
        block = None if g.block_gate_sequence is None else fields(g.block_gate_sequence)
        out.append((g.id, g.target, g.control, g.control_state, g.parameter, g.name, matrix, block,
                     g.classical_target))
    return out


@pytest.mark.parametrize("storage", STORAGES)
def test_gate_sequence_holds_the_records_as_added(storage):
    c = built(storage)
    gates = records(c)
    assert [g.id for g in gates] == ["h", "rz", "cx", "barrier", "x2p", "block", "mine", "unitary", "gp"]
    assert fields(gates[3:7]) == fields(AS_ADDED)
    assert not gates[4].has_stored_matrix and gates[5].block_gate_sequence == AS_ADDED[2].block_gate_sequence
    assert len(c.gate_sequence._data) == len(gates)


def test_both_storages_hold_the_same_records_and_give_the_same_derived_circuits():
    by_storage = {storage: built(storage) for storage in STORAGES}
    list_c, packed_c = by_storage["list"], by_storage["packed"]
    assert fields(records(list_c)) == fields(records(packed_c))
    for derive in (Circuit.dagger, Circuit.decompose, Circuit.copy):
        assert fields(records(derive(list_c))) == fields(records(derive(packed_c)))


# Gates every reader understands: export, the unroller, QCIS lowering and the planner.
READABLE = [
    QuantumGate("barrier", [0, 1]),
    QuantumGate("x2p", [1]),
    QuantumGate("block", [2, 0], block_gate_sequence=(QuantumGate("h", [0]), QuantumGate("cx", [1], control=[0]))),
]


def test_export_compiler_and_planner_read_the_same_gates_from_both_storages():
    def readings(storage):
        c = Circuit(4, name="readable", gate_storage=storage)
        for q in range(4):
            c.h(q)
        for record in READABLE:
            c.add_gate(record)
        c.cx(3, 0)
        c.rz(0.25, 3)
        unrolled = qcompiler_transpile(c, basis="default", times=3)
        plan = vellicor.plan_vellicor(SimpleNamespace(circuit=c, measurements=[(q, q) for q in range(4)]),
                                      {"coupling_map": [[0, 1], [1, 2], [2, 3]], "num_qubits": 4})
        return (c.gate_sequence.to_openqasm(), circuit_io.measured_qasm2(c), fields(records(unrolled)),
                circuit_io.qasm_to_qcis(qcompiler_transpile(c, basis="tessik", times=3)), plan)

    list_readings, packed_readings = readings("list"), readings("packed")
    assert "barrier" in list_readings[0]
    for one, other in zip(list_readings, packed_readings):
        assert one == other


@pytest.mark.parametrize("storage", STORAGES)
def test_rewritten_records_still_run_and_the_sequence_keeps_them(storage):
    c = built(storage, records=AS_ADDED[:4])
    reference = built("list", records=AS_ADDED[:4]).execute().state
    np.testing.assert_allclose(c.execute().state, reference, atol=1e-12)
    assert [g.id for g in records(c)][3:7] == ["barrier", "x2p", "block", "mine"]
    # no executor runs a custom id without a matrix: refused where it is added
    with pytest.raises(ValueError, match="^Gate 'custom' has no standard matrix; give it a matrix.$"):
        c.add_gate(QuantumGate("custom", [0]))
    assert [g.id for g in records(c)][3:] == ["barrier", "x2p", "block", "mine", "unitary", "gp"]


# --- packed storage keeps the store as its truth ------------------------------------

U2 = np.linalg.qr(np.arange(16).reshape(4, 4) + 1j * np.eye(4))[0]


def program(seed, n=4, count=40, angle=float):
    """Steps (call on a circuit) mixing gate methods, records, composite gates and rewritten records."""
    rng = np.random.default_rng(seed)
    steps = []
    for _ in range(count):
        kind = int(rng.integers(10))
        t, c1, c2 = (int(q) for q in rng.permutation(n)[:3])
        a = angle(float(rng.uniform(-3, 3)))
        s = int(rng.integers(2))
        steps.append([
            lambda c, t=t: c.h(t),
            lambda c, t=t, a=a: c.rz(a, t),
            lambda c, t=t, c1=c1, a=a, s=s: c.cry(a, control=c1, target=t, control_state=s),
            lambda c, t=t, c1=c1, c2=c2, a=a: c.mcrx(a, [c1, c2], t, control_state="10"),
            lambda c, t=t, c1=c1, c2=c2, s=s: c.unitary(U2, [t, c1], control=c2, control_state=s),
            lambda c, a=a: c.gp(a),
            lambda c, t=t: c.sdag(t),
            # the same gate as a method and as a record inverts differently (the record keeps a name)
            lambda c, t=t: c.add_gate(QuantumGate("rz", [t], parameter=(0.4,))),
            lambda c, t=t, c1=c1, c2=c2: c.add_gate(QuantumGate("blk", [t, c1], control=[c2], block_gate_sequence=(
                QuantumGate("h", [0]), QuantumGate("x2p", [1], control=[0])))),
            lambda c, t=t, c1=c1: c.add_gate(QuantumGate("barrier", [t, c1])),
        ][kind])
    return steps


def run(steps, storage, n=4):
    c = Circuit(n, gate_storage=storage)
    for step in steps:
        step(c)
    return c


def state_of(circuit):
    state = circuit.execute().state
    return state.detach().numpy() if isinstance(state, torch.Tensor) else state


@pytest.mark.parametrize("seed", range(4))
def test_both_storages_agree_gate_for_gate_and_bit_for_bit(seed):
    steps = program(seed)
    by_storage = {storage: run(steps, storage) for storage in STORAGES}
    # deepcopy first: an executed circuit may hold an execution store, which cannot be pickled
    for derive in (copy.deepcopy, lambda c: c, Circuit.copy, Circuit.dagger, Circuit.decompose):
        one, other = (derive(by_storage[storage]) for storage in STORAGES)
        assert fields(records(one)) == fields(records(other))
        np.testing.assert_array_equal(state_of(one), state_of(other))
        batch = torch.eye(16, dtype=torch.complex128)[:3]
        np.testing.assert_array_equal(one.compile().apply_to_batch(batch), other.compile().apply_to_batch(batch))
    # appended into each other under a control, either way round
    placed = []
    for outer, inner in (("list", "packed"), ("packed", "list")):
        c = Circuit(5, gate_storage=outer)
        c.h(4)
        c.append(by_storage[inner], [3, 0, 2, 1], control=4, control_state=0)
        placed.append(c)
    assert fields(records(placed[0])) == fields(records(placed[1]))
    np.testing.assert_array_equal(state_of(placed[0]), state_of(placed[1]))


def test_tensor_angles_of_a_packed_circuit_stay_live_through_every_derived_circuit():
    params = [torch.tensor(v, dtype=torch.float64, requires_grad=True) for v in np.linspace(-2.0, 2.0, 40)]

    def appended(storage):
        def derive(c):
            outer = Circuit(5, gate_storage=storage)
            outer.append(c, [1, 2, 3, 4], control=0, control_state=0)
            return outer
        return derive

    def outcome(storage, derive):
        angles = iter(params)
        c = derive(run(program(1, angle=lambda _: next(angles)), storage))
        for p in params:
            p.grad = None
        state = c.execute().state
        state.abs().pow(2).mul(torch.arange(1 << c.get_num_qubits())).sum().backward()
        return state.detach().numpy(), [None if p.grad is None else float(p.grad) for p in params], c

    for derive in (lambda c: c, Circuit.copy, lambda c: c.dagger().dagger(), "appended"):
        (list_state, list_grads, _), (packed_state, packed_grads, packed) = (
            outcome(storage, appended(storage) if derive == "appended" else derive) for storage in STORAGES)
        np.testing.assert_allclose(packed_state, list_state, atol=1e-12)
        assert packed_grads == pytest.approx(list_grads) and sum(g is not None for g in packed_grads) > 10
    # gate_sequence reads the angles' current values
    used = [p for p, g in zip(params, packed_grads) if g is not None]
    with torch.no_grad():
        used[0].fill_(0.9)
    assert 0.9 in [g.parameter[0] for g in records(packed) if g.parameter]


def test_batched_angles_under_vmap_on_packed_storage():
    def evaluate(row):
        c = Circuit(2, gate_storage="packed")
        c.h(0)
        c.cry(row[0], control=0, target=1)
        c.rz(row[1], 1)
        c.x(0)
        return c.compile().apply_to_batch(torch.eye(4, dtype=torch.complex128)).abs().pow(2)

    rows = torch.randn(3, 2, dtype=torch.float64)
    torch.testing.assert_close(torch.vmap(evaluate)(rows), torch.stack([evaluate(row) for row in rows]))


def test_a_packed_circuit_keeps_no_python_object_per_gate():
    count = 30_000
    c = Circuit(8, gate_storage="packed")
    gc.collect()
    tracemalloc.start()
    try:
        for i in range(count // 3):
            c.h(i % 8)
            c.rz(0.001 * i, i % 8)
            c.cx(i % 8, (i + 3) % 8)
        held, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert held < 4 * count
    assert len(records(c)) == count


def test_reading_the_sequence_between_adds_leaves_nothing_behind():
    # A sequence read and dropped is freed at once, so the circuit's last
    # record page is its own again and the next add goes on filling it.
    c = Circuit(4, gate_storage="packed")
    gc.disable()
    try:
        for i in range(2000):
            sequence = weakref.ref(c.gate_sequence)
            c.h(i % 4)
            assert sequence() is None
    finally:
        gc.enable()
    assert c.gate_sequence.storage_breakdown["record_slices"] <= 2
    assert [g.target for g in records(c)[:5]] == [(0,), (1,), (2,), (3,), (0,)]


@pytest.mark.parametrize("storage", STORAGES)
def test_edits_of_the_sequence_are_taken_back_whatever_they_add(storage):
    c = Circuit(3, gate_storage=storage)
    c.h(0)
    c.cx(0, 1)
    c.execute()
    c.gate_sequence._data.insert(1, QuantumGate("barrier", [0, 2]))
    c.gate_sequence._data.insert(2, QuantumGate("x2p", [2]))
    c.rz(0.5, 2)
    reference = Circuit(3)
    reference.h(0)
    reference.add_gate(QuantumGate("x2p", [2]))
    reference.cx(0, 1)
    reference.rz(0.5, 2)
    np.testing.assert_allclose(c.execute().state, reference.execute().state, atol=1e-12)
    c.x(1)
    reference.x(1)
    np.testing.assert_allclose(c.execute().state, reference.execute().state, atol=1e-12)
    assert [g.id for g in records(c)] == ["h", "barrier", "x2p", "cx", "rz", "x"]

    c.gate_sequence._data.append(QuantumGate("x", [7]))
    with pytest.raises(ValueError, match="Qubit 7"):
        c.execute()
    c.gate_sequence._data.pop()
    np.testing.assert_allclose(c.execute().state, reference.execute().state, atol=1e-12)


@pytest.mark.parametrize("storage", STORAGES)
def test_an_assigned_sequence_is_copied_in(storage):
    from quorvex.backend.opchain.packed import OpchainPacked

    seq = OpchainPacked(2, "given")
    seq.add_gate(QuantumGate("x", [1]))
    c = Circuit(1, gate_storage=storage)
    c.gate_sequence = seq
    seq.add_gate(QuantumGate("x", [0]))
    np.testing.assert_allclose(c.execute().state, np.eye(4)[2], atol=1e-12)
    bad = OpchainPacked(1)
    bad.add_gate(QuantumGate("x", [3]))
    with pytest.raises(ValueError, match="out of range"):
        c.gate_sequence = bad
    assert c.get_num_qubits() == 2 and len(records(c)) == 1


def nested(depth):
    gate = QuantumGate("x", [0])
    for _ in range(depth):
        gate = QuantumGate("block", [0], block_gate_sequence=(gate,))
    return gate


def too_deep_for_the_store():
    sub = Circuit(1)
    sub.x(0)
    sub.add_gate(nested(1001))
    sub.h(0)
    return sub


def beyond_the_store():
    sub = Circuit(2)
    sub.x(0)
    sub.rz(torch.tensor(0.5), 0)
    sub.x(1)
    return sub


@pytest.mark.parametrize("change,error", [
    (lambda c: c.append(too_deep_for_the_store(), [1]), RecursionError),
    (lambda c: c.append(too_deep_for_the_store(), [1], control=[0]), RecursionError),
    (lambda c: c.append(too_deep_for_the_store().gate_sequence, [1]), RecursionError),
    (lambda c: c.append(beyond_the_store(), [1, 2**31]), ValueError),
], ids=["deep block", "deep block under a control", "sequence with a deep block", "unstorable qubit"])
def test_a_failed_multi_gate_add_changes_nothing(change, error):
    c = Circuit(2**31 + 1, gate_storage="packed")
    c.h(0)
    c.rz(torch.tensor(0.25), 1)
    before = fields(records(c))
    with pytest.raises(error):
        change(c)
    assert fields(records(c)) == before
    assert sorted(c._gates.angles) == [1] and bytes(c._gates.recorded) == b"\x00\x00"
    c.x(1)
    assert [g.id for g in records(c)] == ["h", "rz", "x"]


def test_qubit_indices_beyond_the_packed_store_are_refused_by_name():
    n = 2**31 + 5
    cases = [lambda c: c.x(n - 1), lambda c: c.cx(n - 1, 0), lambda c: c.cx(0, 2**31),
             lambda c: c.add_gate(QuantumGate("x", [n - 1])),
             lambda c: c.add_gate(QuantumGate("x", [0], control=[2**31]))]
    for storage in STORAGES:
        c = Circuit(n, gate_storage=storage)
        c.x(2**31 - 1)
        for case in cases:
            if storage == "packed":
                with pytest.raises(ValueError, match=r"^Qubit \d+ is beyond .* up to 2\*\*31 - 1 = 2147483647\.$"):
                    case(c)
            else:
                # list storage keeps any index; such a circuit is too wide to run on either
                case(c)
        assert len(records(c)) == (1 if storage == "packed" else 1 + len(cases))
        with pytest.raises(ValueError, match="too wide to simulate"):
            c.execute()


def in_block(child):
    return QuantumGate("block", [0, 1], block_gate_sequence=[QuantumGate("h", [0]), child])


@pytest.mark.parametrize("record, message", [
    (in_block(QuantumGate("x", [2**31])), r"^Block position 2147483648 of gate 'x' is beyond what gate storage "
                                          r"holds: indices from -2\*\*31 to 2\*\*31 - 1 = 2147483647\.$"),
    (in_block(QuantumGate("x", [1], control=[-2**31 - 1])), r"^Block position -2147483649 of gate 'x' is beyond"),
    (in_block(QuantumGate("measure", [1], classical_target=[2**31])), r"^Classical bit 2147483648 of gate 'measure'"),
    (QuantumGate("measure", [1], classical_target=[2**31]), r"^Classical bit 2147483648 of gate 'measure'"),
    (QuantumGate("x", [0], name="\ud800"), r"^Gate name '\\ud800' is not valid Unicode text: gate storage holds "
                                           r"names as UTF-8, which a lone surrogate does not have\.$"),
    (QuantumGate("\udcff", [0], matrix=np.eye(2)), r"^Gate id '\\udcff' is not valid Unicode text"),
    (in_block(QuantumGate("x", [1], name="X\udfff")), r"^Gate name 'X\\udfff' is not valid Unicode text"),
])
@pytest.mark.parametrize("storage", STORAGES)
def test_what_the_gate_store_cannot_hold_is_refused_at_add_by_its_limit(storage, record, message):
    # Both storages run on the packed store; neither lets the store's own cast error through.
    c = Circuit(2, gate_storage=storage)
    c.h(0)
    with pytest.raises(ValueError, match=message):
        c.add_gate(record)
    assert [g.id for g in records(c)] == ["h"]
    np.testing.assert_allclose(c.execute().state, [2**-0.5, 2**-0.5, 0, 0])
    # A packed sequence's own add, which reaches the store without the circuit's check, says the same.
    sequence = OpchainPacked(2)
    sequence.add_gate(QuantumGate("h", [0]))
    with pytest.raises(ValueError, match=message):
        sequence.add_gate(record)
    assert [g.id for g in sequence.data()] == ["h"]


class FieldsOnly:
    """A block child that is no QuantumGate, only an object with a gate's fields, as the store reads them."""

    def __init__(self, **fields):
        self.id, self.target, self.control, self.control_state = "x", (1,), (), ()
        self.parameter, self.name, self.stored_matrix, self.classical_target = None, "X", None, None
        self.block_gate_sequence = None
        self.__dict__.update(fields)


@pytest.mark.parametrize("fields, error, message", [
    (dict(id=5), TypeError, r"^Gate id must be text \(str\), got int\.$"),
    (dict(id=None), TypeError, r"^Gate id must be text \(str\), got NoneType\.$"),
    (dict(name=5), TypeError, r"^Gate name must be text \(str\), got int\.$"),
    (dict(name=b"\xff"), ValueError, r"^Gate name b'\\xff' is not valid UTF-8: gate storage holds names as UTF-8 "
                                      r"text\.$"),
])
@pytest.mark.parametrize("storage", STORAGES)
def test_a_block_child_whose_id_or_name_is_not_text_is_refused_as_the_store_refuses_it(storage, fields, error,
                                                                                      message):
    # The circuit looks at a child's id and name before the store does: in the store's words, not with an
    # AttributeError of its own look.
    record = in_block(FieldsOnly(**fields))
    c = Circuit(2, gate_storage=storage)
    c.h(0)
    with pytest.raises(error, match=message):
        c.add_gate(record)
    assert [g.id for g in records(c)] == ["h"]
    sequence = OpchainPacked(2)
    with pytest.raises(error, match=message):
        sequence.add_gate(record)
    # Text the store takes passes, a name left out included (the store names the gate by its id).
    for fine in (dict(name=None), dict(name=b"mine")):
        c.add_gate(in_block(FieldsOnly(**fine)))
    np.testing.assert_allclose(c.execute().state, [2**-0.5, 2**-0.5, 0, 0], atol=1e-12)  # H H and X X undo each other


@pytest.mark.parametrize("storage", STORAGES)
def test_a_block_that_contains_itself_is_refused_by_the_circuit(storage):
    from block_loops import Loop

    c = Circuit(2, gate_storage=storage)
    c.h(0)
    # the records are walked as they are added; the failed add keeps the circuit as it was
    with pytest.raises(RecursionError, match="^a gate block contains itself$"):
        c.add_gate(Loop().gate)
    assert [g.id for g in records(c)] == ["h"]


@pytest.mark.parametrize("added", [AS_ADDED[:2] + AS_ADDED[3:4], AS_ADDED[:4]], ids=["no composite gate", "a block"])
def test_packed_decompose_gives_the_records_of_list_storage_in_an_independent_circuit(added):
    # without a composite gate the packed circuit's records are taken over whole
    angle = torch.tensor(0.7, requires_grad=True)
    packed, listed = built("packed", added), built("list", added)
    for c in (packed, listed):
        c.rz(angle, 1)
    before = fields(records(packed))
    result = packed.decompose()
    assert fields(records(result)) == fields(records(listed.decompose()))
    result.x(0)
    assert fields(records(packed)) == before
    result.execute().state.abs().sum().backward()
    assert angle.grad is not None
