"""Mapping-stage strategies with the package's converters, unroller and mapper."""
from types import SimpleNamespace

import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.core import Circuit
from quorvex.qcompiler.contracts import Layout, Machine, MappingOutcome, PipelineContext
from quorvex.qcompiler.mapping import mapper
from quorvex.qcompiler.rule_based.rule_based_transpiler.basis import TESSIK_BASIS
from quorvex.qcompiler.stages import mapping as M

from compiler_dense import equal_up_to_phase, operator, qcis_operator

WARNING = " mapping performed no routing; all two-qubit instructions verified against the machine's restricted coupling."


def strategy(key, **options):
    return M.MAPPING[key](SimpleNamespace(mapping=options))


def circuit_of(n, *gates):
    circuit = Circuit(n)
    for gate in gates:
        circuit.add_gate(gate)
    return circuit


def state_of_qcis(text, n):
    return qcis_operator(text, n)[:, 0]


def state_of(circuit):
    return operator(circuit.gate_sequence.data(), circuit.get_num_qubits())[:, 0]


@pytest.fixture
def mixed():
    g = QuantumGate
    return circuit_of(3, g(id="h", target=0), g(id="mcx", target=2, control=(0, 1), control_state=(1, 0)),
                      g(id="ry", target=1, parameter=0.7), g(id="swap", target=(0, 2)),
                      g(id="u", target=2, parameter=(0.3, -0.4, 1.1)), g(id="cz", target=1, control=0))


def test_registry_and_module_surface():
    assert list(M.MAPPING) == ["default", "passthrough", "noise_aware"]
    assert [M.MAPPING[k] for k in M.MAPPING] == [M.UnrollIdentityMapping, M.PassthroughMapping,
                                                 M.NoiseAwareMapping]
    assert M.__all__ == ["MAPPING", "UnrollIdentityMapping", "PassthroughMapping", "NoiseAwareMapping"]
    assert M.NoiseAwareMapping.__doc__ == "Calibration-aware placement and MCTS routing."
    assert M.UnrollIdentityMapping.__doc__ == "Unroll to the selected basis and use identity placement."
    assert M.PassthroughMapping.__doc__ == "Convert QASM to QCIS without unrolling or routing."
    assert M._identity_layout(Circuit(3)) == Layout({0: 0, 1: 1, 2: 2})
    assert M._identity_layout(Circuit(0)).virtual_to_physical == {}


def test_passthrough_keeps_the_circuit():
    c = circuit_of(2, QuantumGate(id="h", target=0), QuantumGate(id="cx", target=1, control=0),
                   QuantumGate(id="rz", target=1, parameter=0.3))
    ctx = PipelineContext()
    out = strategy("passthrough").run(c, Machine("m"), ctx)
    assert type(out) is MappingOutcome and out.mapped_circuit is c and out.final_layout is None
    assert out.layout == Layout({0: 0, 1: 1})
    assert ctx.metadata == {"mapping": {"method": "passthrough", "layout": "identity"}}
    assert equal_up_to_phase(state_of_qcis(out.mapped_qcis, 2), state_of(c))


@pytest.mark.parametrize("basis", ["default", "tessik", "TESSIK"])
def test_default_unrolls_and_keeps_the_state(mixed, basis):
    ctx = PipelineContext()
    out = strategy("default", basis=basis, times="10").run(mixed, Machine("m"), ctx)
    assert out.mapped_circuit is not mixed and out.layout == Layout({0: 0, 1: 1, 2: 2})
    assert ctx.metadata["mapping"] == {"method": "default", "basis": basis, "unroll_times": 10,
                                       "layout": "identity"}
    assert equal_up_to_phase(state_of_qcis(out.mapped_qcis, 3), state_of(mixed))
    assert equal_up_to_phase(state_of(out.mapped_circuit), state_of(mixed))


@pytest.mark.parametrize("machine_basis, expected", [(None, "default"), ("", "default"), ("Tessik", "Tessik")])
def test_default_basis_comes_from_the_machine(monkeypatch, machine_basis, expected):
    seen = {}

    def fake(circuit, *, basis, times):
        seen.update(basis=basis, times=times)
        return circuit
    monkeypatch.setattr(M, "qcompiler_transpile", fake)
    ctx = PipelineContext()
    strategy("default").run(Circuit(1), Machine("m", basis=machine_basis), ctx)
    assert seen == {"basis": expected, "times": 10}
    assert ctx.metadata["mapping"]["basis"] == expected


def test_default_records_no_basis_its_qcis_does_not_hold():
    # Without enough rounds the unrolled circuit would still hold H, and its
    # QCIS non-native H lines, under "basis": "Tessik".
    c = circuit_of(4, QuantumGate(id="mcx", target=3, control=(0, 1, 2)))
    ctx = PipelineContext(metadata={"mapping": "earlier"})
    with pytest.raises(ValueError, match="^Unrolling into basis 'Tessik' left .* still to rewrite when times=4 rounds"):
        strategy("default", times=4).run(c, Machine("m", basis="Tessik"), ctx)
    assert ctx.metadata == {"mapping": "earlier"}
    out = strategy("default", times=5).run(c, Machine("m", basis="Tessik"), ctx)
    assert {line.split()[0] for line in out.mapped_qcis.splitlines()} <= {"X2P", "X2M", "Y2P", "Y2M", "CZ", "RZ"}


# What the vendor's hardware runs: its basis, with barriers and measurements.
VENDOR_OPCODES = {"X2P", "X2M", "Y2P", "Y2M", "CZ", "RZ", "RXY", "I", "B", "M"}
# id -> (fewest, most) controls; the ones with one control only are primitive in the vendor basis.
CONTROLLED_IDS = {"cz": (1, 1), "z": (1, 1), "cx": (1, 1), "mcz": (1, 3), "mcx": (2, 3), "cp": (1, 1),
                  "crz": (1, 1), "h": (1, 2), "rx": (0, 2), "swap": (0, 1)}


def _controlled_gate(rng, gate_id, n):
    low, high = CONTROLLED_IDS[gate_id]
    k = int(rng.integers(low, high + 1))
    num_targets = 2 if gate_id == "swap" else 1
    qubits = [int(q) for q in rng.permutation(n)[:num_targets + k]]
    angle = (float(rng.uniform(-np.pi, np.pi)),) if gate_id in ("cp", "crz", "rx") else None
    return QuantumGate(id=gate_id, target=qubits[:num_targets], control=qubits[num_targets:],
                       control_state=[int(s) for s in rng.integers(0, 2, k)], parameter=angle)


@pytest.mark.parametrize("seed", range(4))
def test_default_writes_only_vendor_instructions_for_open_and_closed_controls(seed):
    rng = np.random.default_rng(seed)
    n = 4
    # Open and closed, the CZ with one control among them: primitive in the
    # basis whatever its control state.
    gates = [QuantumGate(id=gate_id, target=1, control=0, control_state=state)
             for gate_id in ("cz", "z") for state in (0, 1)]
    gates += [_controlled_gate(rng, str(gate_id), n) for gate_id in rng.choice(sorted(CONTROLLED_IDS), 16)]
    gates = [gates[i] for i in rng.permutation(len(gates))]
    out = strategy("default", basis="Tessik").run(circuit_of(n, *gates), Machine("m"), PipelineContext())
    compiled = out.mapped_circuit.gate_sequence.data()
    assert all(TESSIK_BASIS.is_basis(gate) and 0 not in gate.control_state for gate in compiled)
    assert {line.split()[0] for line in out.mapped_qcis.splitlines()} <= VENDOR_OPCODES
    expected = operator(gates, n)
    assert equal_up_to_phase(operator(compiled, n), expected)
    assert equal_up_to_phase(qcis_operator(out.mapped_qcis, n), expected)


def coupled_machine(coupling=((0, 1), (1, 2))):
    return Machine("lab", coupling=list(coupling))


@pytest.mark.parametrize("pairs", [list, np.array], ids=["list", "array"])
@pytest.mark.parametrize("qcis", ["cz q1 q0", "CZ Q1 Q2", "  Cz Q2 Q1   ", "CZ Q0 Q1 Q2", "H Q0\n\nX Q3", ""])
def test_coupling_test_accepts(qcis, pairs):
    ctx = PipelineContext(metadata={"mapping_warnings": ["earlier"]})
    machine = Machine("lab", coupling=pairs([(0, 1), (1, 2)]))
    assert M._reject_uncoupled_qcis(machine, qcis, ctx, "passthrough") is None
    assert ctx.metadata["mapping_warnings"] == ["earlier", "passthrough" + WARNING]


@pytest.mark.parametrize("lines, preview", [
    (["CZ Q0 Q2"], "CZ Q0 Q2"),
    (["  CZ Q2 Q0  "], "CZ Q2 Q0"),
    (["CZ"], "CZ"),
    (["CZ Q1 Q1"], "CZ Q1 Q1"),
    (["CZ Q0 Q%d" % q for q in range(3, 8)], "; ".join("CZ Q0 Q%d" % q for q in range(3, 8))),
    (["CZ Q0 Q%d" % q for q in range(3, 10)], "; ".join("CZ Q0 Q%d" % q for q in range(3, 8)) + "; ..."),
])
def test_coupling_test_refuses(lines, preview):
    ctx = PipelineContext()
    with pytest.raises(ValueError) as info:
        M._reject_uncoupled_qcis(coupled_machine(), "\r\n".join(["H Q0"] + lines), ctx, "default")
    assert str(info.value) == (
        "default mapping performs no routing, but machine 'lab' has restricted coupling and the circuit"
        " requires uncoupled pairs: " + preview + ". Use mapping.method='noise_aware' to route for this topology.")
    assert ctx.metadata == {}


def test_coupling_test_edges():
    ctx = PipelineContext()
    assert M._reject_uncoupled_qcis(Machine("m"), "CZ Q0 Q9", ctx, "default") is None
    assert ctx.metadata == {}
    with pytest.raises(ValueError, match="invalid literal for int"):
        M._reject_uncoupled_qcis(coupled_machine(), "CZ Qa Q1", ctx, "default")
    with pytest.raises(TypeError, match="not iterable"):
        M._reject_uncoupled_qcis(Machine("m", coupling=3), "CZ Q0 Q1", ctx, "default")
    with pytest.raises(TypeError, match=r"Argument 'qcis' has incorrect type \(expected str, got S\)"):
        M._reject_uncoupled_qcis(coupled_machine(), type("S", (str,), {})("CZ Q0 Q1"), ctx, "default")
    with pytest.raises(TypeError, match=r"Argument 'method' has incorrect type \(expected str, got NoneType\)"):
        M._reject_uncoupled_qcis(coupled_machine(), "", ctx, None)


def test_refused_circuit_leaves_the_mapping_entry():
    c = circuit_of(3, QuantumGate(id="cx", target=2, control=0))
    ctx = PipelineContext(metadata={"mapping": "before"})
    with pytest.raises(ValueError, match="uncoupled pairs: CZ Q0 Q2"):
        strategy("passthrough").run(c, coupled_machine(), ctx)
    assert ctx.metadata == {"mapping": "before"}
    out = strategy("default").run(circuit_of(3, QuantumGate(id="cx", target=1, control=0)), coupled_machine(), ctx)
    assert ctx.metadata["mapping_warnings"] == ["default" + WARNING]
    assert "CZ Q0 Q1" in out.mapped_qcis


LINE = {"qubits": {"0": 0.99, "1": 0.98, "2": 0.995, "3": 0.97},
        "couplers": [[0, 1, 0.9], ["1", "2", 0.95], [2, 3]]}


@pytest.fixture
def triangle():
    g = QuantumGate
    return circuit_of(3, g(id="h", target=0), g(id="ry", target=1, parameter=0.4), g(id="cx", target=1, control=0),
                      g(id="cz", target=2, control=1), g(id="rx", target=2, parameter=1.3),
                      g(id="cx", target=0, control=2), g(id="h", target=2), g(id="cz", target=0, control=1))


def test_noise_aware_routes_onto_the_chip(triangle):
    ctx = PipelineContext()
    out = strategy("noise_aware", calibration=LINE).run(triangle, Machine("m"), ctx)
    meta = ctx.metadata["mapping"]
    assert list(meta) == ["method", "calibration_source", "swap_count", "seed", "max_rounds",
                          "expected_fidelity", "initial_layout", "final_layout"]
    assert (meta["method"], meta["calibration_source"], meta["seed"], meta["max_rounds"]) == \
        ("noise_aware", "config", 0, 6)
    assert meta["swap_count"] >= 1 and 0 < meta["expected_fidelity"] < 1
    assert out.layout.virtual_to_physical == meta["initial_layout"]
    assert out.final_layout.virtual_to_physical == meta["final_layout"]
    allowed = {frozenset((0, 1)), frozenset((1, 2)), frozenset((2, 3))}
    for line in out.mapped_qcis.splitlines():
        if line.startswith("CZ"):
            assert frozenset(int(t[1:]) for t in line.split()[1:]) in allowed
    n = out.mapped_circuit.get_num_qubits()
    physical = state_of_qcis(out.mapped_qcis, n)
    logical = state_of(triangle)
    final = meta["final_layout"]
    placed = np.zeros(1 << n, dtype=complex)
    for index, amplitude in enumerate(logical):
        placed[sum(((index >> q) & 1) << final[q] for q in final)] = amplitude
    assert equal_up_to_phase(physical, placed)
    assert "mapping_warnings" not in ctx.metadata


class Client:
    def __init__(self):
        self.calls = 0

    def download_config(self):
        self.calls += 1
        return LINE


def test_calibration_sources(triangle):
    client = Client()
    ctx = PipelineContext()
    strategy("noise_aware", calibration=LINE).run(triangle, Machine("m", client=client), ctx)
    assert client.calls == 0 and ctx.metadata["mapping"]["calibration_source"] == "config"
    strategy("noise_aware").run(triangle, Machine("m", client=client), ctx)
    assert client.calls == 1 and ctx.metadata["mapping"]["calibration_source"] == "live_client"
    with pytest.raises(ValueError, match="^noise_aware mapping needs chip calibration: provide mapping.calibration"
                                         " or select a provider with a live client$"):
        strategy("noise_aware").run(triangle, Machine("m"), PipelineContext())
    with pytest.raises(ValueError):  # an empty calibration is still a calibration, and a bad one
        strategy("noise_aware", calibration={}).run(triangle, Machine("m", client=client), PipelineContext())
    assert client.calls == 1


def test_options_and_mapper_results(monkeypatch, triangle):
    seen = {}

    def fake(qcis, *, chip, seed, max_rounds):
        seen.update(seed=seed, max_rounds=max_rounds)
        return "H Q1\nCZ Q1 Q0", {"0": "1", "1": "0"}, {0: 1, 1: 0}, "2"
    monkeypatch.setattr(mapper, "map_qcis", fake)
    ctx = PipelineContext()
    out = strategy("noise_aware", calibration=LINE, seed=3.9, max_rounds="4").run(triangle, Machine("m"), ctx)
    assert seen == {"seed": 3, "max_rounds": 4}
    meta = ctx.metadata["mapping"]
    assert (meta["seed"], meta["max_rounds"], meta["swap_count"]) == (3, 4, 2)
    assert meta["initial_layout"] == {0: 1, 1: 0} and out.layout == Layout({0: 1, 1: 0})
    assert out.mapped_circuit.get_num_qubits() == 2 and meta["expected_fidelity"] == pytest.approx(0.98 * 0.9)

    monkeypatch.setattr(mapper, "map_qcis", lambda qcis, **kw: ("", {}, {}))
    ctx = PipelineContext()
    with pytest.raises(ValueError, match="not enough values to unpack|need more than"):
        strategy("noise_aware", calibration=LINE).run(triangle, Machine("m"), ctx)
    assert ctx.metadata == {}
