"""SWAP routing onto wires, the shortest-path search and the plan records."""
import dataclasses
from types import SimpleNamespace

import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.pelmor.strovane import OpchainPackedNative, execute_gate_sequence_packed
from quorvex.qcompiler.hardware_api.providers import vellicor as V

from planner_support import (Circuit, Prepared, fresh_route, gate, graph_of, grid_edges, heavy_hex_edges,
                             prepared_of, random_gates)

R = V.RoutedOperation
CHAIN = graph_of([(0, 1), (1, 2), (2, 3)])
RING = graph_of([(0, 1), (1, 2), (2, 3), (3, 0)])
IDENTITY4 = {q: q for q in range(4)}


def route(gates, layout=IDENTITY4, graph=CHAIN, measurements=()):
    return V._route_operations(prepared_of(len(layout), gates, measurements), layout, graph)


# --- records -------------------------------------------------------------------

def test_routed_operation_record():
    op = R("swap", targets=(0, 1))
    assert (op.controls, op.control_state, op.parameters) == ((), (), ())
    with pytest.raises(dataclasses.FrozenInstanceError):
        op.targets = (1, 0)
    twin = R("swap", targets=(0, 1))
    assert op == twin and hash(op) == hash(twin)
    assert [f.name for f in dataclasses.fields(R)] == ["gate_id", "targets", "controls", "control_state",
                                                        "parameters"]


def test_mapping_plan_record():
    a, b = V.OsmiraMappingPlan({}, {}, [], []), V.OsmiraMappingPlan({}, {}, [], [])
    assert a.swap_count == 0 and a.metadata == {} and a.metadata is not b.metadata
    with pytest.raises(TypeError):
        hash(a)
    a.swap_count = 3
    assert a.swap_count == 3 and a != b
    assert [f.name for f in dataclasses.fields(V.OsmiraMappingPlan)] == [
        "layout", "final_layout", "operations", "measurements", "swap_count", "metadata"]
    assert V.__all__ == ["OsmiraMappingPlan", "RoutedOperation", "plan_vellicor"]


# --- shortest path -----------------------------------------------------------------

@pytest.mark.parametrize("start, goal, graph, allowed, path", [
    (0, 2, RING, {0, 1, 2, 3}, [0, 1, 2]),
    (0, 3, CHAIN, {0, 1, 2, 3}, [0, 1, 2, 3]),
    (3, 3, CHAIN, set(), [3]),
    (0, 3, CHAIN, {0, 1, 3}, None),
    (0, 2, RING, {0, 3, 2}, [0, 3, 2]),
    (0, 2, RING, {1, 3}, None),  # the goal outside `allowed` is never found
    (5, 1, {5: {0}, 0: {5, 1}, 1: {0}}, {0, 1}, [5, 0, 1]),  # the start need not be allowed
    (7, 0, CHAIN, {0, 1}, None),  # no entry for the start
    (2.9, 0.5, CHAIN, {0, 1, 2, 3}, [2, 1, 0]),
])
def test_shortest_path(start, goal, graph, allowed, path):
    assert V._shortest_path(start, goal, graph, allowed=allowed) == path
    assert V._shortest_path_length(start, goal, graph, allowed=allowed) == (None if path is None else len(path) - 1)


def test_shortest_path_ties_go_to_lowest_neighbour_at_earliest_expansion():
    # Two shortest routes 0-2-5-4 and 0-1-3-4; the lower first hop (1) wins
    # although its later nodes are higher.
    graph = graph_of([(0, 2), (2, 5), (5, 4), (0, 1), (1, 3), (3, 4)])
    assert V._shortest_path(0, 4, graph, allowed=set(graph)) == [0, 1, 3, 4]


@pytest.mark.parametrize("call, message", [
    (lambda: V._shortest_path(0, 1, CHAIN, allowed=frozenset({0, 1})),
     "Argument 'allowed' has incorrect type (expected set, got frozenset)"),
    (lambda: V._shortest_path(0, 1, CHAIN), None),
    (lambda: V._shortest_path("0", 1, CHAIN, allowed={0, 1}),
     "Argument 'start' has incorrect type (expected int, got str)"),
    (lambda: V._shortest_path_length(0, None, CHAIN, allowed={0, 1}),
     "Argument 'goal' has incorrect type (expected int, got NoneType)"),
])
def test_shortest_path_argument_types(call, message):
    with pytest.raises(TypeError) as info:
        call()
    if message:
        assert str(info.value) == message


# --- routing: the fixed cases ----------------------------------------------------------

def test_chain_walks_the_first_qubit_towards_the_second():
    ops, meas, final, swaps = route([gate("cx", 3, 0)])
    assert ops == [R("swap", targets=(0, 1)), R("swap", targets=(1, 2)),
                   R(gate_id="cx", targets=(3,), controls=(2,), control_state=(1,), parameters=())]
    assert (swaps, final) == (2, {0: 2, 1: 0, 2: 1, 3: 3})
    assert meas == []


def test_ring_takes_lower_neighbour_and_measurements_follow_the_wire():
    ops, meas, final, swaps = route([gate("cz", 2, 0), gate("x", 0)], graph=RING, measurements=[(0, 5), ("1", 2.0)])
    assert ops[0] == R("swap", targets=(0, 1)) and swaps == 1
    assert ops[-1] == R(gate_id="x", targets=(1,))
    assert meas == [(1, 5), (0, 2)]
    assert final == {0: 1, 1: 0, 2: 2, 3: 3}


@pytest.mark.parametrize("gates, graph", [
    ([gate("cx", 1, 0)], CHAIN),  # adjacent
    ([gate("cx", 3, 0), gate("swap", (3, 0))], {}),  # empty graph
    ([gate("mcx", 3, (0, 1))], CHAIN),  # three qubits are remapped, never routed
    ([gate("h", 3), gate("barrier", ())], CHAIN),
])
def test_no_swaps(gates, graph):
    ops, _, final, swaps = route(gates, graph=graph)
    assert swaps == 0 and final == IDENTITY4
    assert [op.gate_id for op in ops] == [g.id for g in gates]


@pytest.mark.parametrize("gate_id", ["barrier", "measure", "swap"])
def test_two_qubit_barrier_measure_and_swap_are_routed(gate_id):
    ops, _, _, swaps = route([gate(gate_id, (0, 2))])
    assert swaps == 1 and ops[-1].gate_id == gate_id and ops[-1].targets == (1, 2)


def test_connection_through_a_qubit_outside_the_layout_fails():
    layout = {0: 0, 1: 2, 2: 3}
    with pytest.raises(ValueError, match=r"^Mapping cannot connect non-adjacent physical qubits 0 and 2 "
                                         r"inside the selected Osmira qubits\.$"):
        route([gate("cx", 1, 0)], layout=layout)


def test_remap_gate_fields():
    odd = SimpleNamespace(id="CX", target=[1.0], control=("0",), control_state=[True], parameter=None)
    assert V._remap_gate(odd, {0: 4, 1: 5}) == R(gate_id="cx", targets=(5,), controls=(4,), control_state=(1,))
    rx = gate("crx", 1, 0, parameter=(0.5,))
    assert V._remap_gate(rx, {0: 1, 1: 0}).parameters == (0.5,)
    assert type(V._remap_gate(rx, {0: 1, 1: 0}).parameters[0]) is float


@pytest.mark.parametrize("parameter, parameters", [
    (np.array([0.0]), (0.0,)),          # a zero angle is still an angle
    (np.array([0.5, 1.0]), (0.5, 1.0)),  # no truth value to ask for
    (np.array([]), ()),
    ([], ()),
    (None, ()),
])
def test_remap_gate_keeps_a_callers_array_parameters(parameter, parameters):
    own = SimpleNamespace(id="rxy", target=(0,), control=(), control_state=(), parameter=parameter)
    remapped = V._remap_gate(own, {0: 3})
    assert remapped.parameters == parameters
    assert all(type(value) is float for value in remapped.parameters)


@pytest.mark.parametrize("prepared, error", [
    (prepared_of(2, [gate("cx", 1, 0)]), KeyError),  # gate on logical 1 missing from the layout below
    (Prepared(Circuit(1, prepared_of(1, []).circuit.gate_sequence), [(0, 1, 2)]), ValueError),
    (Prepared(Circuit(1, prepared_of(1, []).circuit.gate_sequence), [(3, 0)]), KeyError),
    (Prepared(Circuit(1, prepared_of(1, []).circuit.gate_sequence), [(0, "c")]), ValueError),
])
def test_routing_errors(prepared, error):
    with pytest.raises(error):
        V._route_operations(prepared, {0: 0}, {0: set()})


# --- routing: properties on random circuits ------------------------------------------------

DEVICES = {"grid": graph_of(grid_edges(4, 4)), "heavy-hex": graph_of(heavy_hex_edges())}


def simulate(n, gates, state):
    store = OpchainPackedNative()
    for g in gates:
        store.append_gate(g)
    state = state.copy()
    return execute_gate_sequence_packed(n, state, store)[0]


def as_gate(op):
    return QuantumGate(id=op.gate_id, target=op.targets, control=op.controls, control_state=op.control_state,
                       parameter=op.parameters or None)


def permuted(state, n, position):
    """The state with qubit q moved to qubit position[q]."""
    old = np.arange(2 ** n)
    new = np.zeros_like(old)
    for q in range(n):
        new |= ((old >> q) & 1) << position[q]
    out = np.empty_like(state)
    out[new] = state
    return out


@pytest.mark.parametrize("device", sorted(DEVICES))
@pytest.mark.parametrize("seed", range(4))
def test_random_circuits_route_correctly(device, seed):
    rng = np.random.default_rng(seed)
    graph = DEVICES[device]
    n = int(rng.integers(2, 11))
    regions = V._connected_subsets(graph, n, max_subsets=50)
    region = sorted(regions[int(rng.integers(len(regions)))])
    layout = {q: int(p) for q, p in enumerate(rng.permutation(region))}
    gates = random_gates(rng, n, 40)
    measurements = [(q, q) for q in range(n)]
    prepared = prepared_of(n, gates, measurements)
    ops, meas, final, swaps = V._route_operations(prepared, layout, graph)

    # Replay: before each two-qubit gate come exactly (distance when routed - 1)
    # SWAPs, each on a coupler, after which the gate's qubits are coupled.
    allowed = set(layout.values())
    wire_of = {q: q for q in range(n)}
    routed = iter(ops)
    expected_swaps = 0
    for g in gates:
        qubits = V._gate_qubits(g)
        if len(qubits) == 2:
            pa, pb = (layout[wire_of[q]] for q in qubits)
            extra = V._shortest_path_length(pa, pb, graph, allowed=allowed) - 1
            expected_swaps += extra
            for _ in range(extra):
                op = next(routed)
                a, b = op.targets
                assert op.gate_id == "swap" and layout[b] in graph[layout[a]]
                la, lb = (next(q for q, w in wire_of.items() if w == wire) for wire in (a, b))
                wire_of[la], wire_of[lb] = b, a
            pa, pb = (layout[wire_of[q]] for q in qubits)
            assert pb in graph[pa]
        op = next(routed)
        assert (op.gate_id, op.targets, op.controls) == (
            g.id, tuple(wire_of[q] for q in g.target), tuple(wire_of[q] for q in g.control))
    assert next(routed, None) is None
    assert swaps == expected_swaps

    # The final layout replays the SWAPs; measurements read the final wires.
    assert final == {q: layout[wire_of[q]] for q in range(n)}
    assert meas == [(wire_of[q], q) for q in range(n)]

    # The routed circuit equals the original up to the final permutation.
    start = rng.normal(size=2 ** n) + 1j * rng.normal(size=2 ** n)
    start /= np.linalg.norm(start)
    original = simulate(n, gates, start)
    rewired = simulate(n, [as_gate(op) for op in ops], start)
    np.testing.assert_allclose(rewired, permuted(original, n, wire_of), atol=1e-10)

    # The cached next hops give exactly the SWAPs of a fresh search per SWAP.
    assert fresh_route(prepared, layout, graph) == (ops, meas, final, swaps)


def test_list_and_packed_sequences_give_equal_plans():
    rng = np.random.default_rng(7)
    graph = DEVICES["heavy-hex"]
    gates = random_gates(rng, 8, 60)
    config = {"coupling_map": [list(e) for e in heavy_hex_edges()], "num_qubits": 127}
    plans = [V.plan_vellicor(prepared_of(8, gates, [(1, 0)], packed=packed), config) for packed in (False, True)]
    assert plans[0] == plans[1] and plans[0].swap_count > 0
    assert V._route_operations(prepared_of(8, gates, packed=True), plans[0].layout, graph)[0] == plans[0].operations


@pytest.mark.parametrize("storage", ["list", "packed"])
def test_plan_for_a_real_circuit(storage):
    from quorvex.core import Circuit as CoreCircuit

    n = 6
    circuit = CoreCircuit(n, gate_storage=storage)
    for q in range(n):
        circuit.h(q)
    for a in range(n):
        for b in range(a + 1, n):
            circuit.cx(a, b)
            circuit.rz(0.3 * (a + 1), b)
    config = {"coupling_map": [list(e) for e in heavy_hex_edges()], "num_qubits": 127,
              "qubits": [{"error": 0.001 * (q % 7)} for q in range(127)]}
    result = V.plan_vellicor(SimpleNamespace(circuit=circuit, measurements=[(q, q) for q in range(n)]), config)
    assert result.metadata["placement_source"] == "topology_auto" and result.swap_count > 0

    routed = CoreCircuit(n)
    for op in result.operations:
        routed.add_gate(as_gate(op))
    wire_of = {q: next(w for w, p in result.layout.items() if p == result.final_layout[q]) for q in range(n)}
    assert result.measurements == [(wire_of[q], q) for q in range(n)]
    np.testing.assert_allclose(routed.execute().state, permuted(circuit.execute().state, n, wire_of), atol=1e-10)
