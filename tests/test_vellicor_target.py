"""Reading the provider configuration into the planner's graph, costs and summary."""
import math
from types import SimpleNamespace

import pytest

from quorvex.qcompiler.hardware_api.providers import vellicor as V

from planner_support import gate, prepared_of

EMPTY_SUMMARY = {"available": False, "num_qubits": None, "coupling_edges": 0,
                 "calibrated_qubits": 0, "calibrated_couplers": 0}


@pytest.mark.parametrize("config, graph, summary", [
    (None, {}, EMPTY_SUMMARY),
    ({}, {}, EMPTY_SUMMARY),
    ({"num_qubits": 5}, {}, dict(EMPTY_SUMMARY, num_qubits=5)),
    ({"coupling_map": [[0, 1], [1, 2]], "num_qubits": 5},
     {0: {1}, 1: {0, 2}, 2: {1}, 3: set(), 4: set()},
     dict(EMPTY_SUMMARY, available=True, num_qubits=5, coupling_edges=2)),
    ({"coupling_map": [[0, 1], [1, 2]]}, {0: {1}, 1: {0, 2}, 2: {1}},
     dict(EMPTY_SUMMARY, available=True, num_qubits=3, coupling_edges=2)),
    # A stated count does not drop nodes above it.
    ({"coupling_map": [[0, 7]], "num_qubits": 2}, {0: {7}, 1: set(), 7: {0}},
     dict(EMPTY_SUMMARY, available=True, num_qubits=2, coupling_edges=1)),
    ({"coupling_map": [[0, 1], [1, 0]]}, {0: {1}, 1: {0}},
     dict(EMPTY_SUMMARY, available=True, num_qubits=2, coupling_edges=2)),
    ({"coupling_map": [[2, 2]]}, {2: set()}, dict(EMPTY_SUMMARY, available=True, num_qubits=1, coupling_edges=1)),
    ({"topology": {"coupling_map": None}, "coupling_map": [[0, 1]]}, {}, EMPTY_SUMMARY),
    ({"topology": [["ignored"]], "coupling_map": [[0, 1]]}, {0: {1}, 1: {0}},
     dict(EMPTY_SUMMARY, available=True, num_qubits=2, coupling_edges=1)),
    ({"topology": {"coupling_map": {"a": [3, 4]}, "num_qubits": 0}, "n_qubits": 5},
     {0: set(), 1: set(), 2: set(), 3: {4}, 4: {3}},
     dict(EMPTY_SUMMARY, available=True, num_qubits=5, coupling_edges=1)),
], ids=["none", "empty", "count-only", "count-adds-isolated", "count-inferred", "count-below-ids",
        "reversed-duplicate", "self-loop", "topology-none-wins", "topology-not-mapping", "mapping-coupling"])
def test_target_graph_shapes(config, graph, summary):
    result = V._target_graph(config)
    assert result[0] == graph
    assert list(result[3].items()) == list(summary.items())


@pytest.mark.parametrize("entry, edges", [
    ({"q0": 0, "q1": 1, "source": 2}, [(2, 1)]),
    ({"qubits": "0-1", "pair": [0, 1]}, []),
    ({"qubits": [], "pair": [0, 1]}, [(0, 1)]),
    ({"edge": (3, 4, 9)}, [(3, 4)]),
    ({"target": 5}, []),
    (["Q0", "q1"], [(0, 1)]),
    ([" q2 ", "3"], [(2, 3)]),
    ([0.0, 1.0], []),
    ([True, 1], []),
    ([0], []),
    ("01", []),
    (["q-1", 0], [(-1, 0)]),
])
def test_coupling_entries(entry, edges):
    assert V._normalize_edges([entry])[0] == edges


@pytest.mark.parametrize("entry, costs", [
    ({"qubits": [0, 1], "fidelity": 99.5}, {frozenset((0, 1)): 1.0 - 99.5 / 100}),
    ({"qubits": [0, 1], "error": "0.1"}, {}),
    ({"qubits": [0, 1], "readout_error": -0.1}, {frozenset((0, 1)): 0.0}),
    ({"qubits": [0, 1], "error": 3}, {frozenset((0, 1)): 3.0}),
    ({"qubits": [2, 2], "error": 0.2}, {frozenset((2,)): 0.2}),
    ({"qubits": [0, 1], "gate_error": 0.02, "error": 0.5}, {frozenset((0, 1)): 0.02}),
    ({"qubits": [0, 1], "fidelity": 0.9, "error_rate": 0.3}, {frozenset((0, 1)): 0.3}),
])
def test_coupling_costs(entry, costs):
    assert V._normalize_edges([entry])[1] == costs


def test_coupling_later_cost_replaces_earlier_and_costless_keeps_it():
    edges, costs = V._normalize_edges([{"pair": [0, 1], "error": 0.1}, {"pair": [1, 0], "error": 0.2},
                                       {"pair": [0, 1]}])
    assert edges == [(0, 1), (1, 0), (0, 1)]
    assert costs == {frozenset((0, 1)): 0.2}


def test_generic_qubit_costs():
    raw = [{"readout_error": 0.03}, {"id": "Q5", "error": 0.1}, {"error": "high"}]
    assert V._normalize_qubit_costs(raw) == {0: 0.03, 5: 0.1}
    assert V._normalize_qubit_costs({"q4": {"error": 0.2}, "x": {"error": 0.3}, 9: "no"}) == {4: 0.2}
    # A present key wins even when its value does not parse.
    assert V._normalize_qubit_costs([{"index": None, "id": 3, "error": 0.1}]) == {}
    assert V._normalize_qubit_costs("qubits") == {}


def test_id_precedence_differs_between_collections():
    entry = {"index": 2, "id": 7, "error": 0.1}
    assert V._normalize_qubit_costs([entry]) == {2: 0.1}
    assert V._normalize_osmira_qubit_metrics([entry]) == {7: 0.1}


@pytest.mark.parametrize("record, cost", [
    ({"measure_f0": 0.98, "measure_f1": 96, "xeb_fidelity": 0.99},
     ((1.0 - (0.98 + 0.96) / 2) + (1.0 - 0.99)) / 2),
    ({"measure_f0": None, "readout_error": 0.05}, 0.05),
    ({"measure_f1": 0.9}, 1.0 - 0.9),
    ({"measure_f0": 0.9, "error": 0.5}, 1.0 - 0.9),
    ({"measure_f0": "97%"}, None),
    ({"xeb_fidelity": "0.5"}, 0.5),
])
def test_provider_qubit_records(record, cost):
    expected = {} if cost is None else {0: cost}
    assert V._normalize_osmira_qubit_metrics([record]) == expected


@pytest.mark.parametrize("record, costs", [
    ({"pair": [3, 3], "cz_fidelity": 0.99}, {}),
    ({"edge": ["Q1", "Q2"], "cz_fidelity": 99}, {frozenset((1, 2)): 1.0 - 99 / 100}),
    ({"qubits": [0, 1], "error": 0.2}, {frozenset((0, 1)): 0.2}),
    ({"qubits": [0, 1], "cz_fidelity": None, "fidelity": 0.75}, {frozenset((0, 1)): 0.25}),
    ({"qubits": [0, 1]}, {}),
    ({"source": 0, "target": 1, "cz_fidelity": 0.9}, {}),
    ({"qubits": ["a", 1], "cz_fidelity": 0.9}, {}),
])
def test_provider_coupler_records(record, costs):
    assert V._normalize_osmira_coupler_metrics([record]) == costs


def test_provider_values_replace_generic_ones():
    config = {"coupling_map": [[0, 1]], "qubits": [{"error": 0.5}, {"error": 0.2}],
              "properties": {"qubit_metrics": [{"readout_error": 0.1}],
                             "coupler_metrics": [{"pair": [5, 6], "cz_fidelity": 0.9}]}}
    graph, node_cost, edge_cost, summary = V._target_graph(config)
    assert node_cost == {0: 0.1, 1: 0.2}
    assert edge_cost == {frozenset((5, 6)): pytest.approx(0.1)}
    assert summary["calibrated_qubits"] == 2 and summary["calibrated_couplers"] == 1


@pytest.mark.parametrize("value, expected", [
    (1.0, 1.0), (1.5, 0.015), (100, 1.0), (150, 1.0), (-3, 0.0), (float("nan"), 0.0),
    ("0.5", 0.5), (" 97 ", 0.97), (True, None), (None, None), ("high", None), ([0.5], None),
    (float("inf"), 1.0), (0.25, 0.25),
])
def test_probability(value, expected):
    assert V._probability(value) == expected


def test_probability_and_error_cost_refuse_ints_beyond_floats():
    with pytest.raises(OverflowError):
        V._probability(10 ** 400)
    with pytest.raises(OverflowError):
        V._target_graph({"coupling_map": [{"pair": [0, 1], "error": 10 ** 400}]})


@pytest.mark.parametrize("values, cost, has_metric", [
    ({"error": 3}, 3.0, True),
    ({"error": float("nan")}, 0.0, True),
    ({"error": True}, 1.0, True),
    ({"fidelity": 150}, 0.0, True),
    ({"fidelity": -0.5}, 1.5, True),
    ({"gate_fidelity": 0.9, "readout_error": None}, pytest.approx(0.1), True),
    ({"error": "0.1"}, 0.0, False),
    ({}, 0.0, False),
])
def test_error_cost(values, cost, has_metric):
    assert V._error_cost(values) == cost
    assert V._has_error_metric(values) is has_metric
    assert isinstance(V._error_cost(values), float)


def test_has_error_metric_of_non_mapping():
    assert V._has_error_metric([("error", 0.1)]) is False


@pytest.mark.parametrize("value, expected", [
    (3, 3), ("3", 3), (" q3 ", 3), ("Q3", 3), ("q-1", -1), ("+4", 4),
    ("qq3", ValueError), ("q", ValueError), ("3.0", ValueError), ("", ValueError),
    (3.0, ValueError), (True, ValueError), (None, ValueError),
])
def test_qubit_index(value, expected):
    if expected is ValueError:
        with pytest.raises(ValueError):
            V._qubit_index(value)
    else:
        assert V._qubit_index(value) == expected


@pytest.mark.parametrize("config, topology, expected", [
    ({"n_qubits": 4}, {"num_qubits": 0}, 4),
    ({}, {"num_qubits": 5.0}, None),
    ({}, {"num_qubits": True}, 1),
    ({"qubit_count": 3}, {"n_qubits": "5"}, 3),
    ({"num_qubits": 9}, {"qubit_count": 2}, 2),
    ({"num_qubits": -1}, {}, None),
])
def test_qubit_count(config, topology, expected):
    assert V._qubit_count(config, topology) == expected


def test_interactions_and_gate_qubits():
    prepared = prepared_of(3, [gate("cx", 1, 0), gate("cx", 0, 1), gate("mcx", 2, (0, 1)), gate("x", 0),
                               gate("barrier", ())])
    interactions = V._logical_interactions(prepared)
    assert list(interactions.items()) == [((0, 1), 3), ((0, 2), 1), ((1, 2), 1)]
    assert V._gate_qubits(gate("mcx", 1, (2, 0))) == (2, 0, 1)
    assert V._gate_qubits(SimpleNamespace(control=[1.0], target=("2", 1))) == (1, 2)


def test_inputs_are_only_read():
    topology = {"coupling_map": [[0, 1]], "num_qubits": 3}
    config = {"topology": topology, "properties": {"qubit_metrics": {"q0": {"measure_f0": 0.9}}}}
    snapshot = repr(config)
    graph, _, _, _ = V._target_graph(config)
    graph[0].add(99)
    assert repr(config) == snapshot
    assert math.isclose(V._target_graph(config)[1][0], 0.1)
