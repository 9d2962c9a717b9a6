"""Layout search: regions, candidate scoring and the chosen layout, against their literal forms."""
from collections import Counter

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from quorvex.qcompiler.hardware_api.providers import vellicor as V

from planner_support import cached_hops, graph_of, grid_edges, heavy_hex_edges, literal_choose, literal_growth, \
    literal_score

LINE4 = graph_of([(0, 1), (1, 2), (2, 3)])
FAST = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@st.composite
def graphs(draw, max_nodes=10):
    """Symmetric graphs on scattered ids, often with several small components."""
    ids = draw(st.lists(st.integers(0, 60), min_size=0, max_size=max_nodes, unique=True))
    pairs = [(a, b) for i, a in enumerate(ids) for b in ids[i + 1:]]
    edges = draw(st.lists(st.sampled_from(pairs), max_size=2 * len(ids), unique=True)) if pairs else []
    return graph_of(edges, ids)


# --- regions -----------------------------------------------------------------------

@FAST
@given(data=st.data())
def test_regions_match_the_literal_growth(data):
    graph = data.draw(graphs())
    size = data.draw(st.integers(1, len(graph) + 1))
    cap = data.draw(st.sampled_from([0, 1, 2, 5, 2000]))
    assert V._connected_subsets(graph, size, max_subsets=cap) == literal_growth(graph, size, cap)


def test_region_order_and_cases():
    assert V._connected_subsets(LINE4, 2, max_subsets=2000) == [{0, 1}, {1, 2}, {2, 3}]
    # size 1 keeps the graph's own order and ignores the cap.
    assert V._connected_subsets({5: set(), 2: set()}, 1, max_subsets=0) == [{5}, {2}]
    for size in (0, -1, 5):
        assert V._connected_subsets(LINE4, size, max_subsets=2000) == []
    regions = V._connected_subsets(LINE4, 3.9, max_subsets=2000.5)
    assert regions == [{0, 1, 2}, {1, 2, 3}] and all(type(r) is set for r in regions)


@pytest.mark.parametrize("edges, size, count", [
    (grid_edges(10, 10), 10, 2000),
    (grid_edges(10, 10), 13, 2000),
    (grid_edges(5, 5), 25, 1),
    (heavy_hex_edges(), 30, 2000),
    (heavy_hex_edges(), 127, 1),
], ids=["grid10-n10", "grid10-n13", "grid5-n25", "heavyhex-n30", "heavyhex-n127"])
def test_large_region_searches_finish(edges, size, count):
    graph = graph_of(edges)
    regions = V._connected_subsets(graph, size, max_subsets=2000)
    assert len(regions) == count
    keys = [tuple(sorted(r)) for r in regions]
    assert keys == sorted(keys) and len(set(keys)) == count
    for region in regions[:: max(1, count // 50)]:
        assert len(region) == size
        reached, todo = {min(region)}, [min(region)]
        while todo:
            for q in graph[todo.pop()] & region - reached:
                reached.add(q)
                todo.append(q)
        assert reached == region


# --- scoring and choice ------------------------------------------------------------------

@st.composite
def searches(draw):
    n = draw(st.integers(1, 8))
    graph = draw(graphs(max_nodes=n + (3 if n <= 5 else 1)).filter(lambda g: len(g) >= n))
    if draw(st.integers(0, 3)):  # mostly joined by a random path, so regions exist
        walk = draw(st.permutations(sorted(graph)))
        for a, b in zip(walk, walk[1:]):
            graph[a].add(b)
            graph[b].add(a)
    cost = st.one_of(st.sampled_from([0.0, 0.1, 0.2, 0.3]), st.floats(0, 0.2))
    node_cost = {q: draw(cost) for q in graph if draw(st.booleans())}
    edge_cost = {frozenset((a, b)): draw(cost) for a in graph for b in graph[a] if a < b and draw(st.booleans())}
    pairs = [(a, b) for a in range(n) for b in range(a + 1, n)]
    chosen = draw(st.lists(st.sampled_from(pairs), unique=True, max_size=8)) if pairs else []
    interactions = Counter({pair: draw(st.integers(1, 4)) for pair in chosen})
    objective = draw(st.sampled_from(["balanced", "fidelity", "swaps"]))
    budget = draw(st.sampled_from([1, 7, 50000]))
    return n, interactions, graph, node_cost, edge_cost, objective, budget


def outcome(call):
    try:
        return call()
    except ValueError as error:
        return str(error)


@FAST
@given(searches())
def test_choice_matches_literal_scoring(search):
    n, interactions, graph, node_cost, edge_cost, objective, budget = search
    got = outcome(lambda: V._choose_layout(n, interactions, graph, node_cost, edge_cost,
                                           objective=objective, max_candidates=budget))
    expected = outcome(lambda: literal_choose(n, interactions, graph, node_cost, edge_cost, objective, budget))
    assert got == expected
    if isinstance(got, dict):
        assert list(got) == list(range(n))


@settings(max_examples=30, deadline=None)
@given(searches(), st.randoms())
def test_layout_score_is_the_literal_score(search, rnd):
    n, interactions, graph, node_cost, edge_cost, objective, _ = search
    region = set(rnd.sample(sorted(graph), n))  # possibly disconnected: infinite scores included
    layout = dict(zip(range(n), rnd.sample(sorted(region), n)))
    expected = literal_score(layout, region, interactions, graph, node_cost, edge_cost, objective, cached_hops(graph))
    assert V._layout_score(layout, region, interactions, graph, node_cost, edge_cost, objective) == expected


def test_ties_keep_the_first_candidate_and_order_follows_connectivity():
    star = graph_of([(0, 1), (1, 2), (1, 3)])
    # No interactions, no costs: every score is 0.0, so the first ordering of the
    # first region wins: its best-connected qubit first, then the lowest.
    assert V._choose_layout(3, Counter(), star, {}, {}, objective="balanced", max_candidates=50000) == \
        {0: 1, 1: 0, 2: 2}
    # Logical qubit 2 is the busiest, so it takes the hub.
    busy = Counter({(0, 2): 1, (1, 2): 1, (2, 3): 1})
    layout = V._choose_layout(4, busy, star, {}, {}, objective="balanced", max_candidates=50000)
    assert layout[2] == 1 and list(layout) == [0, 1, 2, 3]


def test_costs_are_added_in_assignment_order():
    # (0.1 + 0.2) + 0.3 rounds above (0.2 + 0.3) + 0.1: the fourth ordering
    # (0.2, 0.3, 0.1) is the first strictly cheaper one, a reordered sum would
    # keep the first.
    triangle = graph_of([(0, 1), (1, 2), (0, 2)])
    costs = {0: 0.1, 1: 0.2, 2: 0.3}
    assert V._choose_layout(3, Counter(), triangle, costs, {}, objective="balanced", max_candidates=50000) == \
        {0: 1, 1: 2, 2: 0}
    assert V._layout_score({0: 1, 1: 2, 2: 0}, {0, 1, 2}, Counter(), triangle, costs, {}, "swaps") == 0.6
    assert V._layout_score({0: 0, 1: 1, 2: 2}, {0, 1, 2}, Counter(), triangle, costs, {}, "swaps") > 0.6


def test_single_qubit_choice():
    graph = graph_of([(0, 1), (1, 2), (3, 4)], nodes=[9])
    assert V._choose_layout(1, Counter(), graph, {}, {}, objective="swaps", max_candidates=1) == {0: 1}
    assert V._choose_layout(1, Counter(), graph, {0: 0.1, 1: 0.2}, {}, objective="swaps", max_candidates=1) == {0: 2}


def test_objectives_weigh_distance_against_errors():
    # Logical 0-1 interact; region {0, 1, 2} on a line: coupling 0-1 costs a lot.
    line = graph_of([(0, 1), (1, 2)])
    args = (2, Counter({(0, 1): 1}), line, {}, {frozenset((0, 1)): 0.5})
    assert V._choose_layout(*args, objective="balanced", max_candidates=50000) == {0: 1, 1: 2}
    assert V._choose_layout(*args, objective="fidelity", max_candidates=50000) == {0: 1, 1: 2}
    assert V._layout_score({0: 0, 1: 2}, {0, 1, 2}, Counter({(0, 1): 3}), line, {}, {}, "swaps") == 300.0
    assert V._layout_score({0: 0, 1: 2}, {0, 2}, Counter({(0, 1): 3}), line, {}, {}, "swaps") == float("inf")


@pytest.mark.parametrize("n, graph, message", [
    (4, LINE4 | {9: set()}, {0: 1, 1: 2, 2: 0, 3: 3}),
    (6, LINE4, "The Osmira backend exposes 4 qubits but the circuit requires 6."),
    (3, graph_of([(0, 1), (2, 3)]), "No connected 3-qubit region is available on this backend."),
    (2, graph_of([(0, 1)]), "Unable to construct an Osmira physical-qubit layout."),
])
def test_choice_results_and_failures(n, graph, message):
    node_cost = {0: float("nan")} if n == 2 else {}
    call = lambda: V._choose_layout(n, Counter(), graph, node_cost, {}, objective="balanced", max_candidates=9)
    if isinstance(message, dict):
        assert call() == message
    else:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message


def test_interaction_outside_the_circuit_is_a_missing_key():
    with pytest.raises(KeyError):
        V._choose_layout(2, Counter({(0, 5): 1}), LINE4, {}, {}, objective="balanced", max_candidates=5)


def test_logical_degree():
    interactions = Counter({(0, 1): 3, (1, 2): 2, (3, 4): 1})
    assert [V._logical_degree(q, interactions) for q in range(6)] == [3, 5, 2, 1, 1, 0]
    assert V._logical_degree(1.5, interactions) == 5
