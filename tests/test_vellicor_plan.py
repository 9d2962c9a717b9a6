"""plan_vellicor: argument normalisation, placement, checks E1-E12, metadata, and untouched inputs."""
import copy
import inspect

import pytest

from quorvex.qcompiler.hardware_api.providers import vellicor as V

from planner_support import gate, prepared_of

LINE = {"coupling_map": [[0, 1], [1, 2], [2, 3]], "num_qubits": 5}
METADATA_KEYS = ["method", "requested_method", "objective", "layout", "final_layout", "requested_layout",
                 "placement_source", "swaps_inserted", "swap_count", "quality_source", "topology", "deferred",
                 "final_layout_confirmed"]


def plan(n=3, config=LINE, gates=(), measurements=(), **kwargs):
    return V.plan_vellicor(prepared_of(n, list(gates), measurements), config, **kwargs)


def test_signature():
    parameters = inspect.signature(V.plan_vellicor).parameters
    assert [(p.name, p.kind.name, p.default) for p in parameters.values()] == [
        ("prepared", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty),
        ("backend_config", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty),
        ("requested_layout", "KEYWORD_ONLY", None), ("method", "KEYWORD_ONLY", "auto"),
        ("objective", "KEYWORD_ONLY", "balanced"), ("max_candidates", "KEYWORD_ONLY", 50000)]


@pytest.mark.parametrize("kwargs, placement, method, requested_method, layout", [
    ({"method": "  Manual ", "requested_layout": {0: 2, 1: 1, 2: 0}}, "manual", "osmira_layout", "manual",
     {0: 2, 1: 1, 2: 0}),
    ({"method": "identity", "requested_layout": [("0", "3"), ("1", "2"), ("2", "1")]}, "manual", "osmira_layout",
     "identity", {0: 3, 1: 2, 2: 1}),
    ({"method": "", "requested_layout": {}}, "topology_auto", "osmira_auto", "auto", {0: 1, 1: 0, 2: 2}),
    ({"method": "PROVIDER"}, "identity", "osmira_layout", "provider", {0: 0, 1: 1, 2: 2}),
    ({"method": "none"}, "identity", "osmira_layout", "none", {0: 0, 1: 1, 2: 2}),
])
def test_placement_sources(kwargs, placement, method, requested_method, layout):
    result = plan(**kwargs)
    assert result.layout == layout
    assert (result.metadata["placement_source"], result.metadata["method"],
            result.metadata["requested_method"]) == (placement, method, requested_method)


@pytest.mark.parametrize("config, deferred", [(None, True), ({}, False)])
def test_without_coupling_the_identity_is_deferred(config, deferred):
    result = plan(gates=[gate("cx", 2, 0)], config=config)
    assert result.layout == {0: 0, 1: 1, 2: 2} and result.swap_count == 0
    assert (result.metadata["placement_source"], result.metadata["quality_source"],
            result.metadata["deferred"]) == ("identity_deferred", "unavailable", deferred)


@pytest.mark.parametrize("config, quality", [
    (LINE, "topology"),
    (dict(LINE, qubits=[{"error": 0.1}]), "calibration+topology"),
    ({"num_qubits": 5, "qubits": [{"error": 0.1}]}, "unavailable"),
])
def test_quality_source(config, quality):
    assert plan(config=config, method="identity").metadata["quality_source"] == quality


def test_metadata_of_a_routed_plan():
    prepared = prepared_of(3, [gate("cx", 2, 0), gate("h", 1)], [(0, 0), (2, 1)])
    result = V.plan_vellicor(prepared, LINE, method="identity", objective=" Swaps")
    metadata = result.metadata
    assert list(metadata) == METADATA_KEYS
    assert metadata["objective"] == "swaps" and metadata["requested_layout"] == {}
    assert (metadata["swap_count"], metadata["swaps_inserted"], result.swap_count) == (1, True, 1)
    assert metadata["final_layout"] == result.final_layout == {0: 1, 1: 0, 2: 2}
    assert metadata["final_layout_confirmed"] is True and metadata["deferred"] is False
    assert metadata["topology"] == V._target_graph(LINE)[3]
    assert metadata["layout"] == result.layout and metadata["layout"] is not result.layout
    assert result.measurements == [(1, 0), (2, 1)]
    assert result.operations[0] == V.RoutedOperation("swap", targets=(0, 1))
    no_swaps = plan(method="identity").metadata
    assert (no_swaps["swaps_inserted"], no_swaps["swap_count"]) == (False, 0)


@pytest.mark.parametrize("max_candidates, seen", [(0, 1), (-5, 1), (2.9, 2), (1, 1), (50000, 50000)])
def test_budget_reaching_the_search(monkeypatch, max_candidates, seen):
    calls = []
    original = V._choose_layout

    def spy(*args, **kwargs):
        calls.append(kwargs["max_candidates"])
        return original(*args, **kwargs)
    monkeypatch.setattr(V, "_choose_layout", spy)
    plan(max_candidates=max_candidates)
    assert calls == [seen]


E2 = "Osmira mapping['method'] must be 'auto', 'manual', 'identity', 'provider', or 'none'."
E3 = "Osmira mapping_objective must be 'balanced', 'fidelity', or 'swaps'."


@pytest.mark.parametrize("kwargs, error, message", [
    ({"n": 0}, ValueError, "Osmira mapping requires at least one logical qubit."),
    ({"method": "   "}, ValueError, E2),
    ({"method": "greedy"}, ValueError, E2),
    ({"objective": "depth"}, ValueError, E3),
    ({"objective": " "}, ValueError, E3),
    ({"n": 6}, ValueError, "The Osmira backend exposes 5 qubits but the circuit requires 6."),
    ({"n": 5, "config": {"coupling_map": [[0, 1], [1, 2]]}}, ValueError,
     "The Osmira backend exposes 3 qubits but the circuit requires 5."),
    ({"requested_layout": {1: 0, 2: 1, 3: 2}}, ValueError,
     "mapping['layout'] must contain one physical qubit for every logical qubit."),
    ({"requested_layout": {0: 0, 1: 1}}, ValueError,
     "mapping['layout'] must contain one physical qubit for every logical qubit."),
    ({"method": "manual"}, ValueError, "mapping method 'manual' requires mapping['layout']."),
    ({"requested_layout": {0: 1, 1: 1, 2: 2}}, ValueError,
     "mapping['layout'] must map logical qubits to distinct physical qubits."),
    ({"requested_layout": {0: 0, 1: 1, 2: 5}}, ValueError,
     "mapping['layout'] references physical qubits outside the backend range 0..4."),
    ({"requested_layout": {0: -1, 1: 1, 2: 2}}, ValueError,
     "mapping['layout'] references physical qubits outside the backend range 0..4."),
    ({"n": 4, "config": {"coupling_map": [[1, 2], [2, 3], [3, 4], [4, 6], [6, 8], [8, 9], [9, 10]]},
      "requested_layout": {0: 7, 1: 1, 2: 5, 3: 2}}, ValueError,
     "mapping['layout'] references unavailable physical qubits: [5, 7]"),
    ({"requested_layout": {0: 0, 1: 4, 2: 2}, "gates": [gate("cx", 1, 0)]}, ValueError,
     "Mapping cannot connect non-adjacent physical qubits 0 and 4 inside the selected Osmira qubits."),
    ({"config": {"coupling_map": [[0, 1], [2, 3]]}}, ValueError,
     "No connected 3-qubit region is available on this backend."),
    ({"method": None}, TypeError, "Argument 'method' has incorrect type (expected str, got NoneType)"),
    ({"objective": 1}, TypeError, "Argument 'objective' has incorrect type (expected str, got int)"),
    ({"max_candidates": "9"}, TypeError, "Argument 'max_candidates' has incorrect type (expected int, got str)"),
    ({"requested_layout": {0: "a", 1: 1, 2: 2}}, ValueError, None),
    ({"requested_layout": {0: None, 1: 1, 2: 2}}, TypeError, None),
    ({"measurements": [(7, 0)], "method": "identity"}, KeyError, None),
], ids=["E1", "E2-blank", "E2", "E3", "E3-blank", "E4-stated", "E4-inferred", "E5-keys", "E5-short", "E6", "E7",
        "E8-high", "E8-negative", "E9", "E12", "E10", "method-none", "objective-int", "budget-str",
        "layout-value-text", "layout-value-none", "measurement-unknown"])
def test_refusals(kwargs, error, message):
    with pytest.raises(error) as info:
        plan(**kwargs)
    if message is not None:
        assert str(info.value) == message


class Text(str):
    pass


def test_str_subclass_is_refused():
    with pytest.raises(TypeError, match="expected str, got Text"):
        plan(method=Text("auto"))


@pytest.mark.parametrize("config, layout, message", [
    # No stated count: the graph's own qubits are in range, whatever their ids.
    ({"coupling_map": [["Q1", "Q2"], ["Q2", "Q3"]]}, None, None),
    ({"coupling_map": [[1, 2], [2, 3]]}, {0: 3, 1: 2, 2: 1}, None),
    # ...while other qubits are still checked against 0..count-1, then against the graph.
    ({"coupling_map": [[1, 2], [2, 3]]}, {0: 1, 1: 2, 2: 7},
     "mapping['layout'] references physical qubits outside the backend range 0..2."),
    ({"coupling_map": [[1, 2], [2, 3]]}, {0: 1, 1: 2, 2: 0},
     "mapping['layout'] references unavailable physical qubits: [0]"),
    # A stated count keeps the range check for every qubit.
    ({"coupling_map": [[1, 2], [2, 3]], "num_qubits": 3}, {0: 3, 1: 2, 2: 1},
     "mapping['layout'] references physical qubits outside the backend range 0..2."),
])
def test_range_check_with_an_inferred_count(config, layout, message):
    call = lambda: plan(config=config, requested_layout=layout, gates=[gate("cx", 2, 0)])
    if message is None:
        result = call()
        assert sorted(result.layout.values()) == [1, 2, 3]
    else:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message


def test_inputs_are_unchanged():
    config = {"topology": {"coupling_map": [[0, 1], [1, 2], [2, 3]], "num_qubits": 4},
              "properties": {"qubit_metrics": [{"measure_f0": 0.9}], "coupler_metrics": [{"pair": [0, 1],
                                                                                          "cz_fidelity": 0.99}]}}
    requested = {0: 3, 1: 1, 2: 2}
    prepared = prepared_of(3, [gate("cx", 1, 0), gate("cx", 2, 1)], [(0, 0)])
    before = (copy.deepcopy(config), copy.deepcopy(requested), list(prepared.circuit.gate_sequence._data),
              list(prepared.measurements))
    result = V.plan_vellicor(prepared, config, requested_layout=requested)
    assert (config, requested, list(prepared.circuit.gate_sequence._data), prepared.measurements) == before
    result.metadata["requested_layout"][0] = 9
    result.layout[0] = 9
    assert requested[0] == 3 and result.metadata["layout"][0] == 3
    assert result.metadata["requested_layout"] is not requested


# --- stated qubit counts -------------------------------------------------------------

# Qubits 2-5 coupled in a line out of 12; some uncoupled ones are calibrated.
SPARSE = {"coupling_map": [[2, 3], [3, 4], [4, 5]], "num_qubits": 12,
          "qubits": {2: {"error": 0.05}, 3: {"error": 0.02}, 4: {"error": 0.01}, 5: {"error": 0.03}}}


def _sparse(**qubits):
    return dict(SPARSE, qubits=dict(SPARSE["qubits"], **{k[1:]: {"error": v} for k, v in qubits.items()}))


@pytest.mark.parametrize("config, n, kwargs, gates", [
    # One qubit takes the cheapest node: an uncoupled one when it costs least.
    (_sparse(q1=0.0, q0=0.2), 1, {}, ()),
    (_sparse(q0=0.2, q1=0.001), 1, {}, ()),                  # the lowest uncalibrated one, 6
    (_sparse(q0=0.2, q1=0.2, q6=0.2, q7=0.2, q8=0.2, q9=0.001, q10=0.2, q11=0.2), 1, {}, ()),  # 9
    (dict(SPARSE, qubits={}), 1, {}, ()),                    # equal costs: the best-coupled one
    (SPARSE, 3, {}, [gate("cx", 2, 0), gate("cx", 1, 2)]),
    (SPARSE, 4, {"objective": "swaps"}, [gate("cx", 3, 0), gate("cx", 1, 2)]),
    (SPARSE, 5, {}, ()),                                     # no connected region of 5
    (SPARSE, 12, {"method": "identity"}, [gate("h", 11)]),
    (SPARSE, 3, {"method": "identity"}, [gate("cx", 1, 0)]),  # uncoupled qubits cannot meet
    (SPARSE, 2, {"requested_layout": {0: 10, 1: 11}}, [gate("x", 1)]),
    (SPARSE, 2, {"requested_layout": {0: 3, 1: 12}}, ()),     # beyond the count
    (SPARSE, 13, {}, ()),
])
def test_a_stated_count_gives_the_plans_of_the_full_graph(monkeypatch, config, n, kwargs, gates):
    def outcome():
        try:
            return plan(n=n, config=config, gates=gates, **kwargs)
        except ValueError as error:
            return str(error)
    bounded = outcome()
    full = V._read_target
    # Every qubit below the count a node, as `_target_graph` gives it.
    monkeypatch.setattr(V, "_read_target", lambda config, width=None: full(config))
    assert bounded == outcome()


def test_a_stated_count_materialises_only_what_a_layout_can_use():
    config = {"coupling_map": [[0, 1], [1, 2]], "num_qubits": V._MAX_STATED_QUBITS,
              "qubits": {"Q40000": {"error": 0.1}, "70000": {"error": 0.1}}}
    graph = V._read_target(config, 3)[0]
    assert sorted(graph) == [0, 1, 2, 3, 4, 5, 40000]
    full = V._target_graph(config)[0]
    assert len(full) == V._MAX_STATED_QUBITS and 70000 not in full  # calibrated but beyond the count
    assert plan(config=config, gates=[gate("cx", 2, 0)]).layout == {0: 1, 1: 2, 2: 0}


TOO_MANY = V._MAX_STATED_QUBITS + 1


@pytest.mark.parametrize("config", [
    {"coupling_map": [[0, 1]], "num_qubits": TOO_MANY},
    {"topology": {"coupling_map": [[0, 1]], "qubit_count": TOO_MANY}},
    {"n_qubits": TOO_MANY},
])
def test_a_stated_count_beyond_any_device_is_refused(config):
    message = "The Osmira backend states " + str(TOO_MANY) + " qubits; the planner takes at most 65536."
    with pytest.raises(ValueError) as info:
        plan(config=config)
    assert str(info.value) == message
    with pytest.raises(ValueError, match=message):
        V._target_graph(config)
