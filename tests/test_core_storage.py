"""Both gate storages of Circuit hold the records as they were added, so every reader sees the same gates."""
from types import SimpleNamespace

import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.core import Circuit
from quorvex.qcompiler import circuit_io
from quorvex.qcompiler.hardware_api.providers import vellicor
from quorvex.qcompiler.transpile import qcompiler_transpile

STORAGES = ["list", "packed"]
FLIP = np.array([[0, 1], [1, 0]], dtype=complex)

# Records the executor needs rewritten: a barrier, composite gates, vendor gates
# (run from their standard matrices) and a custom id without a matrix.
AS_ADDED = [
    QuantumGate("barrier", [0, 1, 2]),
    QuantumGate("x2p", [1]),
    QuantumGate("block", [2, 0], control=[1], control_state=[0], block_gate_sequence=(
        QuantumGate("h", [0]), QuantumGate("y2m", [1], control=[0]))),
    QuantumGate("mine", [0, 2], matrix=np.kron(FLIP, FLIP)),
    QuantumGate("custom", [0]),
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
    assert [g.id for g in gates] == ["h", "rz", "cx", "barrier", "x2p", "block", "mine", "custom", "unitary", "gp"]
    assert fields(gates[3:8]) == fields(AS_ADDED)
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
    c.add_gate(QuantumGate("custom", [0]))
    assert records(c)[-1] == QuantumGate("custom", [0])
    with pytest.raises(ValueError, match="custom"):
        c.execute()
