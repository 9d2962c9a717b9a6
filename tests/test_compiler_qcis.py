"""QCIS conversions, the unroller, the chip model and the mapper."""
import inspect

import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.core import Circuit
from quorvex.qcompiler import circuit_io as io
from quorvex.qcompiler.mapping.chip import Chip
from quorvex.qcompiler.mapping.mapper import expected_fidelity, map_qcis
from quorvex.qcompiler.mapping.qasm2qcis import convert
from quorvex.qcompiler.rule_based.rule_based_transpiler.basis import TESSIK_BASIS
from quorvex.qcompiler.transpile import DEFAULT_UNROLL_TIMES, qcompiler_transpile

from compiler_dense import equal_up_to_phase, operator, qcis_operator


def g(gate_id, target=0, control=None, **kw):
    return QuantumGate(id=gate_id, target=target, control=control, **kw)


def circuit_of(n, *gates, storage="list"):
    circuit = Circuit(n, gate_storage=storage)
    for gate in gates:
        circuit.add_gate(gate)
    return circuit


LOWERED = [g(i, 1) for i in ("i", "x", "y", "z", "h", "s", "s_dag", "t", "t_dag", "sqrtx", "sqrtx_dag",
                             "sqrty", "sqrty_dag", "x2p", "x2m", "y2p", "y2m")] + [
    g("rx", 1, parameter=0.3), g("ry", 1, parameter=-0.3), g("rz", 1, parameter=2.0), g("p", 1, parameter=0.9),
    g("u", 1, parameter=(0.3, 1.2, -0.7)), g("xyarb", 1, parameter=(0.4, 1.1)), g("gp", 1, parameter=0.5),
    g("gp", (), parameter=0.5),
    g("cx", 2, 0), g("cnot", 0, 2, control_state=0), g("x", 1, 2), g("mcx", 1, 0),
    g("cz", 1, 2), g("z", 2, 1, control_state=0), g("swap", (0, 2)),
    g("block", (2, 0), block_gate_sequence=(g("h", 0), g("cx", 1, 0))),
]


@pytest.mark.parametrize("gate", LOWERED, ids=lambda gate: gate.id)
def test_lowering_is_exact_up_to_phase(gate):
    text = io.qasm_to_qcis(circuit_of(3, gate))
    assert type(text) is str
    io.validate_qcis(text)
    assert equal_up_to_phase(qcis_operator(text, 3), operator([gate], 3))


def test_lowering_text():
    c = circuit_of(3, g("cx", 2, 0), g("rz", 1, parameter=0.25), g("barrier", (0, 1)), g("b", 2), g("barrier", ()),
                   g("measure", (0, 2), classical_target=(0, 1)), g("xyarb", 0, parameter=(0.5, 1.0)),
                   g("gp", (), parameter=0.3))
    assert io.qasm_to_qcis(c) == ("H Q2\nCZ Q0 Q2\nH Q2\nRZ Q1 0.25\nB Q0 Q1\nB Q2\nB Q0 Q1 Q2\nM Q0\nM Q2\n"
                                  "RXY Q0 0.5 1.0")


@pytest.mark.parametrize("gate", [g("ch", 1, 0), g("rzz", (0, 1), parameter=0.2), g("cx", 2, (0, 1)),
                                  g("ry", 2, 0, parameter=0.1), g("gp", 1, 0, parameter=0.1),
                                  g("unitary", 0, matrix=np.eye(2)), g("rxy", 0, parameter=(0.1, 0.2))])
def test_lowering_refuses_what_qcis_cannot_say(gate):
    with pytest.raises(ValueError, match="Cannot lower gate '" + gate.id + "'"):
        io.qasm_to_qcis(circuit_of(3, gate))


def test_qcis_round_trip():
    text = "X2P Q0\nSD Q3\nTD Q1\nRXY Q2 0.5 -1.25\nCZ Q3 Q1\nRZ Q0 0.125\nB Q0 Q2\nM Q1\nI Q0"
    c = io.qcis_to_circuit(text)
    assert c.get_num_qubits() == 4
    data = c.gate_sequence.data()
    assert [(x.id, x.target, x.control, x.parameter) for x in data] == [
        ("x2p", (0,), (), None), ("s_dag", (3,), (), None), ("t_dag", (1,), (), None),
        ("xyarb", (2,), (), (0.5, -1.25)), ("cz", (1,), (3,), None), ("rz", (0,), (), (0.125,)),
        ("barrier", (0, 2), (), None), ("measure", (1,), (), None), ("i", (0,), (), None)]
    assert io.qasm_to_qcis(c) == text
    assert io.qcis_to_circuit("").get_num_qubits() == 0


@pytest.mark.parametrize("text", ["FOO Q0", "X", "X Q0 Q1", "RZ Q0", "RZ Q0 nan", "RZ Q0 abc", "CZ Q0 Q0",
                                  "CZ Q0", "X 0", "X Q-1", "X Qa", "B", "RXY Q0 1.0", "H Q0\nM Q1 Q2"])
def test_validate_refuses_bad_lines(text):
    with pytest.raises(ValueError, match="QCIS line"):
        io.validate_qcis(text)
    with pytest.raises(ValueError):
        io.qcis_to_circuit(text)


def test_a_circuit_of_qcis_spans_a_bounded_number_of_qubits():
    highest = io._MAX_QCIS_QUBITS - 1
    assert io.qcis_to_circuit("X Q0\nCZ Q3 Q" + str(highest)).get_num_qubits() == highest + 1
    # A chip labelled around 10**9 would make a billion-qubit circuit.
    for label in (highest + 1, 10**9):
        text = "X Q0\nCZ Q" + str(label) + " Q1\nM Q0"
        io.validate_qcis(text)  # the text itself is well formed
        with pytest.raises(ValueError, match="^QCIS names qubit Q" + str(label) + "; a circuit of QCIS spans "
                                             "qubits 0 to its highest label and may have at most 65536 qubits.$"):
            io.qcis_to_circuit(text)


@pytest.mark.parametrize("storage", ["list", "packed"])
def test_measured_qasm2_measures_only_an_unmeasured_circuit(storage):
    bare = circuit_of(2, g("h", 0), storage=storage)
    text = io.measured_qasm2(bare)
    assert "measure q[0] -> c[0];" in text and "measure q[1] -> c[1];" in text
    assert len(bare.gate_sequence.data()) == 1  # the circuit itself is unchanged
    assert io.qasm_to_qcis(bare) == "H Q0"
    measured = circuit_of(2, g("h", 0), g("measure", 1, classical_target=0), storage=storage)
    assert io.measured_qasm2(measured).count("measure") == 1
    assert convert(text) == "H Q0\nM Q0\nM Q1"


def test_transpile_returns_a_new_circuit():
    c = circuit_of(2, g("ch", 1, 0), g("sqrtx", 0), g("block", (1, 0), block_gate_sequence=(g("ry", 0, parameter=0.2),)))
    c.name = "mine"
    out = qcompiler_transpile(c, basis="TESSIK", times=DEFAULT_UNROLL_TIMES)
    assert out is not c and out.name == "mine" and len(c.gate_sequence.data()) == 3
    assert equal_up_to_phase(operator(out.gate_sequence.data(), 2), operator(c.gate_sequence.data(), 2))
    # Without rounds only a circuit already in the basis comes through.
    with pytest.raises(ValueError, match="left 1 of 3 gates outside it: 1 'ch' with 1 control still to "
                                         "rewrite when times=0 rounds ran out"):
        qcompiler_transpile(c, basis="default", times=0)
    one = qcompiler_transpile(circuit_of(2, g("h", 1), g("sqrtx", 0), g("cx", 1, 0)), basis="default", times=0)
    assert [x.id for x in one.gate_sequence.data()] == ["h", "sqrtx", "cx"]
    with pytest.raises(ValueError, match="Unknown basis 'native'"):
        qcompiler_transpile(c, basis="native", times=1)


def test_unrolling_that_runs_out_of_rounds_is_refused():
    # The vendor rules need k + 2 rounds for a k-controlled X.
    c = circuit_of(4, g("mcx", 3, (0, 1, 2)), g("h", 0))
    for times, left in [(3, "65 of 127 gates outside it: 20 'h', 18 'cx' with 1 control, 18 'ry', 9 'p'"),
                        (4, "36 of 248 gates outside it: 36 'h'")]:
        with pytest.raises(ValueError, match=r"^Unrolling into basis 'Tessik' left " + left + " still to "
                                             r"rewrite when times=" + str(times) + r" rounds ran out\.$"):
            qcompiler_transpile(c, basis="tessik", times=times)
    out = qcompiler_transpile(c, basis="tessik", times=5)
    assert all(TESSIK_BASIS.is_basis(x) for x in out.gate_sequence.data())
    assert equal_up_to_phase(operator(out.gate_sequence.data(), 4), operator(c.gate_sequence.data(), 4))
    # Without times, the rounds the mapping strategies take by default.
    assert inspect.signature(qcompiler_transpile).parameters["times"].default == DEFAULT_UNROLL_TIMES
    assert qcompiler_transpile(c, basis="tessik").gate_sequence.data() == out.gate_sequence.data()


@pytest.mark.parametrize("calibration", [
    {}, None, [], {"qubits": {}, "couplers": []}, {"qubits": {0: 0.9}}, {"qubits": {"a": 0.9}, "couplers": []},
    {"qubits": {0: 1.5}, "couplers": []}, {"qubits": {0: 0.9, 1: 0.9}, "couplers": [[0, 0]]},
    {"qubits": {0: 0.9}, "couplers": [[0, 1]]}, {"qubits": {0: 0.9, "0": 0.8}, "couplers": []},
    {"qubits": {0: 0.9, 1: 0.9}, "couplers": [[0, 1, "x"]]}, {"qubits": {0: 0.9, 1: 0.9}, "couplers": "01"},
    {"qubits": {True: 0.9}, "couplers": []}, {"qubits": {-1: 0.9}, "couplers": []},
])
def test_chip_refuses_bad_calibration(calibration):
    with pytest.raises(ValueError, match="Calibration"):
        Chip(calibration)


LINE = Chip({"qubits": {0: 0.9, 1: 0.8, 2: 0.95, 3: 0.7}, "couplers": [[0, 1, 0.5], [1, 2], ["2", "3", 0.6]]})


def test_mapper_places_routes_and_counts():
    text = "H Q0\nCZ Q0 Q1\nCZ Q1 Q2\nCZ Q2 Q0\nRZ Q2 0.5\nM Q0"
    routed, initial, final, swaps = map_qcis(text, chip=LINE, seed=5, max_rounds=1)
    # best qubit 2 first, then breadth first: 1, 3, then 0
    assert initial == {0: 2, 1: 1, 2: 3}
    # Q1 moves next to Q2 (1 <-> 2), then Q2 next to Q0 (3 <-> 2)
    assert swaps == 2 and final == {0: 1, 1: 3, 2: 2}
    for line in routed.splitlines():
        if line.startswith("CZ"):
            a, b = (int(t[1:]) for t in line.split()[1:])
            assert LINE.coupled(a, b)
    logical = qcis_operator(text, 3)[:, 0]
    physical = qcis_operator(routed, 4)[:, 0]
    placed = np.zeros(16, dtype=complex)
    for index, amplitude in enumerate(logical):
        placed[sum(((index >> q) & 1) << final[q] for q in final)] = amplitude
    assert equal_up_to_phase(physical, placed)


def test_mapper_refusals():
    with pytest.raises(ValueError, match="uses 5 qubits but the chip has 4"):
        map_qcis("X Q4", chip=LINE)
    split = Chip({"qubits": {0: 0.9, 1: 0.9, 2: 0.9}, "couplers": [[0, 1]]})
    with pytest.raises(ValueError, match="disconnected"):
        map_qcis("CZ Q0 Q1", chip=split)
    assert map_qcis("", chip=LINE) == ("", {}, {}, 0)


def test_expected_fidelity():
    assert expected_fidelity("H Q0\nCZ Q1 Q0\nCZ Q1 Q2\nB Q3\nM Q3\nX Q9", LINE) == pytest.approx(0.9 * 0.5 * 0.7)
    assert expected_fidelity("", LINE) == 1.0
