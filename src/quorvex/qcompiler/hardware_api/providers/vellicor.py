"""Topology-aware placement and automatic SWAP insertion for Osmira.

This provider-local mapper does not register a core qcompiler mapping stage.
"""

from collections import Counter, deque
from dataclasses import dataclass, field
from itertools import combinations, permutations
from math import inf
from typing import Any, Iterable, Mapping

__all__ = ["OsmiraMappingPlan", "RoutedOperation", "plan_vellicor"]


@dataclass(frozen=True)
class RoutedOperation:
    """One provider-neutral operation expressed on routed circuit wires."""

    gate_id: str
    targets: tuple[int, ...]
    controls: tuple[int, ...] = ()
    control_state: tuple[int, ...] = ()
    parameters: tuple[float, ...] = ()


@dataclass
class OsmiraMappingPlan:
    """Physical placement plus routed operations for one Osmira request."""

    layout: dict[int, int]
    final_layout: dict[int, int]
    operations: list[RoutedOperation]
    measurements: list[tuple[int, int]]
    swap_count: int = 0
    metadata: dict[str, Any] = field(default_factory=dict)


_METHODS = ("auto", "manual", "identity", "provider", "none")
_OBJECTIVES = ("balanced", "fidelity", "swaps")

# The search looks at no more regions than this; see _choose_layout.
_MAX_REGIONS = 2000
# Up to this many logical qubits every ordering of a region is scored.
_MAX_PERMUTED = 7
# A stated qubit count above this is refused: far beyond any device, and the
# graph of `_target_graph` holds a node for every counted qubit.
_MAX_STATED_QUBITS = 1 << 16

_ERROR_KEYS = ("readout_error", "readoutError", "gate_error", "gateError", "error_rate", "error")
_FIDELITY_KEYS = ("fidelity", "readout_fidelity", "gate_fidelity")
_COUNT_KEYS = ("num_qubits", "n_qubits", "qubit_count")
_PAIR_KEYS = ("qubits", "pair", "edge")


# ---------------------------------------------------------------------------
# Planner entry


def plan_vellicor(
    prepared: Any,
    backend_config: Mapping[str, Any] | None,
    *,
    requested_layout: Mapping[int, int] | None = None,
    method: str = "auto",
    objective: str = "balanced",
    max_candidates: int = 50000,
) -> OsmiraMappingPlan:
    """Place the prepared circuit on Osmira's qubits and route it with SWAPs.

    The layout is the requested one when given, the identity for the methods
    "identity", "provider" and "none" (and for "auto" without a coupling
    map), or the result of the scored search of `_choose_layout`.  Every
    refusal is a ValueError raised before anything is routed; the inputs are
    never modified.
    """
    n = int(prepared.circuit.get_num_qubits())
    if n < 1:
        raise ValueError("Osmira mapping requires at least one logical qubit.")

    selected_method = str(method or "auto").strip().lower()
    if selected_method not in _METHODS:
        raise ValueError(
            "Osmira mapping['method'] must be 'auto', 'manual', 'identity', 'provider', or 'none'."
        )
    selected_objective = str(objective or "balanced").strip().lower()
    if selected_objective not in _OBJECTIVES:
        raise ValueError("Osmira mapping_objective must be 'balanced', 'fidelity', or 'swaps'.")

    graph, node_cost, edge_cost, topology_metadata, stated_count = _read_target(backend_config, n)
    backend_qubits = topology_metadata.get("num_qubits")
    if isinstance(backend_qubits, int) and n > backend_qubits:
        raise ValueError(
            "The Osmira backend exposes " + str(backend_qubits)
            + " qubits but the circuit requires " + str(n) + "."
        )

    interactions = _logical_interactions(prepared)

    requested_source = dict(requested_layout) if requested_layout else dict({})
    requested = {}
    for logical, physical in requested_source.items():
        requested[int(logical)] = int(physical)
    if requested and sorted(requested) != list(range(n)):
        raise ValueError("mapping['layout'] must contain one physical qubit for every logical qubit.")

    if requested:
        layout = requested
        placement_source = "manual"
    elif selected_method == "manual":
        raise ValueError("mapping method 'manual' requires mapping['layout'].")
    elif selected_method != "auto":
        layout = {q: q for q in range(n)}
        placement_source = "identity"
    elif graph:
        budget = int(max_candidates)
        layout = _choose_layout(
            n, interactions, graph, node_cost, edge_cost,
            objective=selected_objective, max_candidates=budget if budget > 1 else 1,
        )
        placement_source = "topology_auto"
    else:
        layout = {q: q for q in range(n)}
        placement_source = "identity_deferred"

    _check_layout(layout, n, graph, backend_qubits, stated_count is not None)

    operations, measurements, final_layout, swap_count = _route_operations(prepared, layout, graph)

    quality_source = "calibration+topology" if (node_cost or edge_cost) else "topology"
    if not graph:
        quality_source = "unavailable"

    metadata = {
        "method": "osmira_auto" if placement_source == "topology_auto" else "osmira_layout",
        "requested_method": selected_method,
        "objective": selected_objective,
        "layout": dict(layout),
        "final_layout": dict(final_layout),
        "requested_layout": dict(requested),
        "placement_source": placement_source,
        "swaps_inserted": swap_count != 0,
        "swap_count": int(swap_count),
        "quality_source": quality_source,
        "topology": topology_metadata,
        "deferred": backend_config is None and selected_method == "auto" and not requested,
        "final_layout_confirmed": True,
    }
    return OsmiraMappingPlan(
        layout=dict(layout),
        final_layout=final_layout,
        operations=operations,
        measurements=measurements,
        swap_count=swap_count,
        metadata=metadata,
    )


def _check_layout(layout, n, graph, backend_qubits, count_stated):
    """Refuse a layout that shares, leaves the backend or misses the graph.

    With a stated count every qubit below it is a node of the target, so a
    layout that passes the range test uses nodes only; the planner's graph
    itself may leave uncoupled ones out (`_read_target`).
    """
    physical = list(layout.values())
    if len(set(physical)) != n:
        raise ValueError("mapping['layout'] must map logical qubits to distinct physical qubits.")
    if isinstance(backend_qubits, int):
        for p in physical:
            # An inferred count is the number of graph nodes, whose ids need
            # not run from 0: the graph's own qubits are in range by definition.
            if not count_stated and p in graph:
                continue
            if p < 0 or p >= backend_qubits:
                raise ValueError(
                    "mapping['layout'] references physical qubits outside the backend range 0.."
                    + str(backend_qubits - 1) + "."
                )
    if graph and not count_stated:
        unavailable = sorted(p for p in physical if p not in graph)
        if unavailable:
            raise ValueError("mapping['layout'] references unavailable physical qubits: " + str(unavailable))


# ---------------------------------------------------------------------------
# SWAP routing


def _route_operations(
    prepared: Any,
    layout: Mapping[int, int],
    graph: Mapping[int, set[int]],
) -> tuple[list[RoutedOperation], list[tuple[int, int]], dict[int, int], int]:
    """Rewrite the circuit onto wires, inserting SWAPs before distant two-qubit gates.

    Wire w stays on physical qubit ``layout[w]``; the first qubit of a gate
    walks one hop per SWAP along a shortest path inside the layout's qubits
    towards the second.  Because the allowed qubits never change during one
    call, the next hop from p towards q depends on (p, q) only: one
    breadth-first tree per start qubit serves every later SWAP from there,
    and the SWAPs come out exactly as a fresh search per SWAP would place them.
    """
    logical_to_wire = {q: q for q in layout}
    wire_to_logical = {q: q for q in layout}
    physical_to_wire = {p: w for w, p in layout.items()}
    allowed = set(layout.values())
    operations = []
    swap_count = 0
    trees = {}
    swaps = {}
    no_neighbours = frozenset()

    for gate in prepared.circuit.gate_sequence._data:
        qubits = _gate_qubits(gate)
        if len(qubits) == 2 and graph:
            logical_a = qubits[0]
            logical_b = qubits[1]
            while True:
                wire_left = logical_to_wire[logical_a]
                wire_right = logical_to_wire[logical_b]
                p_left = layout[wire_left]
                p_right = layout[wire_right]
                if p_right in graph.get(p_left, no_neighbours):
                    break
                tree = trees.get(p_left)
                if tree is None:
                    tree = _first_hops(p_left, graph, allowed)
                    trees[p_left] = tree
                hop = tree.get(p_right)
                if hop is None or hop[0] < 2:
                    raise ValueError(
                        "Mapping cannot connect non-adjacent physical qubits " + str(p_left)
                        + " and " + str(p_right) + " inside the selected Osmira qubits."
                    )
                swap_wire = physical_to_wire[hop[1]]
                # Operations are immutable, so one record serves every SWAP of a wire pair.
                swap = swaps.get((wire_left, swap_wire))
                if swap is None:
                    swap = RoutedOperation("swap", targets=(wire_left, swap_wire))
                    swaps[(wire_left, swap_wire)] = swap
                operations.append(swap)
                left = wire_to_logical[wire_left]
                right = wire_to_logical[swap_wire]
                wire_to_logical[wire_left] = right
                wire_to_logical[swap_wire] = left
                logical_to_wire[left] = swap_wire
                logical_to_wire[right] = wire_left
                swap_count += 1
        operations.append(_remap_gate(gate, logical_to_wire))

    measurements = []
    for logical, clbit in prepared.measurements:
        measurements.append((logical_to_wire[int(logical)], int(clbit)))
    final_layout = {}
    for logical, wire in logical_to_wire.items():
        final_layout[logical] = int(layout[wire])
    return operations, measurements, final_layout, swap_count


def _first_hops(start, graph, allowed):
    """Breadth-first tree from `start` inside `allowed`: goal -> (hops, first qubit after start).

    The tree is the one `_shortest_path` grows, so every path read from it is
    the path that a fresh search would return.
    """
    tree = {start: (0, start)}
    for qubit, parent in _discoveries(start, graph, allowed):
        hops, first = tree[parent]
        tree[qubit] = (hops + 1, qubit if parent == start else first)
    return tree


def _discoveries(start, graph, allowed):
    """(qubit, parent) in breadth-first discovery order from `start` through `allowed`.

    Neighbours are taken in ascending order and every qubit keeps the first
    parent that discovers it.
    """
    seen = {start}
    queue = deque((start,))
    while queue:
        current = queue.popleft()
        neighbours = graph.get(current)
        if not neighbours:
            continue
        for neighbour in sorted(allowed.intersection(neighbours)):
            if neighbour in seen:
                continue
            seen.add(neighbour)
            yield neighbour, current
            queue.append(neighbour)


def _remap_gate(gate: Any, logical_to_wire: Mapping[int, int]) -> RoutedOperation:
    """The gate as an operation on the wires that currently hold its qubits."""
    return RoutedOperation(
        gate_id=str(gate.id).lower(),
        targets=tuple([logical_to_wire[int(q)] for q in gate.target]),
        controls=tuple([logical_to_wire[int(q)] for q in gate.control]),
        control_state=tuple([int(v) for v in gate.control_state]),
        # A caller's gate may hold a NumPy array here, whose truth is not its emptiness.
        parameters=() if gate.parameter is None else tuple([float(v) for v in gate.parameter]),
    )


def _shortest_path(
    start: int,
    goal: int,
    graph: Mapping[int, set[int]],
    *,
    allowed: set,
) -> list[int] | None:
    """Breadth-first path from `start` to `goal` through qubits of `allowed`, or None.

    Neighbours are visited in ascending order and the goal is recognised when
    discovered, so among equally short paths the one through the lowest
    neighbour at the earliest expansion wins.
    """
    if start == goal:
        return [start]
    parents = {start: None}
    for qubit, parent in _discoveries(start, graph, allowed):
        parents[qubit] = parent
        if qubit == goal:
            path = []
            while qubit is not None:
                path.append(qubit)
                qubit = parents[qubit]
            path.reverse()
            return path
    return None


def _shortest_path_length(
    start: int,
    goal: int,
    graph: Mapping[int, set[int]],
    *,
    allowed: set,
) -> int | None:
    """Number of hops from `start` to `goal` inside `allowed`, or None without a path."""
    path = _shortest_path(start, goal, graph, allowed=allowed)
    if path is None:
        return None
    return len(path) - 1


# ---------------------------------------------------------------------------
# Target graph and calibration costs


def _target_graph(
    backend_config: Mapping[str, Any] | None,
) -> tuple[dict[int, set[int]], dict[int, float], dict[frozenset[int], float], dict[str, Any]]:
    """Coupling graph, qubit and coupler error costs and topology summary of a backend."""
    graph, node_cost, edge_cost, summary, _ = _read_target(backend_config)
    return graph, node_cost, edge_cost, summary


def _read_target(backend_config, width=None):
    """`_target_graph`'s four results and the qubit count the configuration states (or None).

    A stated count makes every qubit below it a node, coupled or not. Of the
    uncoupled ones a plan for `width` logical qubits needs few: regions of two
    or more qubits are connected and never hold one, the search only compares
    the number of nodes with the width, and a single qubit takes the cheapest
    node, the lowest id among equals. So with a `width` the graph holds the
    calibrated uncoupled qubits and the `width` lowest uncalibrated ones, and
    every plan is the one all of them give; with `width` None it holds all.
    """
    config = dict(backend_config) if backend_config else dict({})
    topology = config.get("topology")
    if not isinstance(topology, Mapping):
        topology = {}
    properties = config.get("properties")
    if not isinstance(properties, Mapping):
        properties = {}

    edges, edge_cost = _normalize_edges(topology.get("coupling_map", config.get("coupling_map")))
    nodes = set()
    for left, right in edges:
        nodes.add(left)
        nodes.add(right)
    count = _qubit_count(config, topology)
    if count is not None and count > _MAX_STATED_QUBITS:
        raise ValueError(
            "The Osmira backend states " + str(count) + " qubits; the planner takes at most "
            + str(_MAX_STATED_QUBITS) + "."
        )

    node_cost = _normalize_qubit_costs(topology.get("qubits", config.get("qubits")))
    property_node_cost = _normalize_osmira_qubit_metrics(properties.get("qubit_metrics"))
    property_edge_cost = _normalize_osmira_coupler_metrics(properties.get("coupler_metrics"))
    node_cost.update(property_node_cost)
    edge_cost.update(property_edge_cost)

    if edges and count is not None:
        if width is None:
            nodes.update(range(count))
        else:
            isolated = [q for q in node_cost if 0 <= q < count and q not in nodes]
            q = 0
            taken = 0
            while taken < width and q < count:
                if q not in nodes and q not in node_cost:
                    isolated.append(q)
                    taken += 1
                q += 1
            nodes.update(isolated)
    graph = {node: set() for node in nodes}
    for left, right in edges:
        if left != right:
            graph[left].add(right)
            graph[right].add(left)

    summary = {
        "available": len(edges) > 0,
        "num_qubits": count if count is not None else (len(graph) if graph else None),
        "coupling_edges": len(edges),
        "calibrated_qubits": len(node_cost),
        "calibrated_couplers": len(edge_cost),
    }
    return graph, node_cost, edge_cost, summary, count


def _logical_interactions(prepared: Any) -> Counter[tuple[int, int]]:
    """How many gates act on each pair (a, b), a < b, of logical qubits, in first-seen order."""
    interactions = Counter()
    for gate in prepared.circuit.gate_sequence._data:
        qubits = _gate_qubits(gate)
        if len(qubits) == 2:
            a, b = qubits
            interactions[(a, b) if a < b else (b, a)] += 1
        elif len(qubits) > 2:
            for a, b in combinations(qubits, 2):
                interactions[(a, b) if a < b else (b, a)] += 1
    return interactions


def _gate_qubits(gate: Any) -> tuple[int, ...]:
    """The gate's controls then targets as ints, each qubit once (first occurrence kept)."""
    seen = []
    for q in gate.control:
        q = int(q)
        if q not in seen:
            seen.append(q)
    for q in gate.target:
        q = int(q)
        if q not in seen:
            seen.append(q)
    return tuple(seen)


def _qubit_count(config: Mapping[str, Any], topology: Mapping[str, Any]) -> int | None:
    """The first positive int among the count keys, topology first; None without one."""
    for owner in (topology, config):
        for key in _COUNT_KEYS:
            value = owner.get(key)
            if isinstance(value, int) and value > 0:
                return int(value)
    return None


def _entries(raw):
    """The entries of a coupling map or calibration collection: values of a mapping, items of a list."""
    if isinstance(raw, Mapping):
        return raw.values()
    if isinstance(raw, (list, tuple)):
        return raw
    return ()


def _first_pair(entry):
    """The first truthy value among an entry's pair keys, or None."""
    for key in _PAIR_KEYS:
        value = entry.get(key)
        if value:
            return value
    return None


def _parse_pair(pair):
    """Two qubit ids of a pair, or None when it is no usable pair."""
    if not isinstance(pair, (list, tuple)) or len(pair) < 2:
        return None
    try:
        return _qubit_index(pair[0]), _qubit_index(pair[1])
    except (TypeError, ValueError):
        return None


def _normalize_edges(raw: Any) -> tuple[list[tuple[int, int]], dict[frozenset[int], float]]:
    """Coupling-map entries as (left, right) pairs in entry order, and the costs of those with metrics."""
    edges = []
    costs = {}
    for item in _entries(raw):
        cost = 0.0
        pair = item
        if isinstance(item, Mapping):
            pair = _first_pair(item)
            if not pair:
                source = item["source"] if "source" in item else item.get("q0")
                target = item["target"] if "target" in item else item.get("q1")
                pair = [source, target]
            cost = _error_cost(item)
        parsed = _parse_pair(pair)
        if parsed is None:
            continue
        edges.append(parsed)
        if _has_error_metric(item):
            costs[frozenset(parsed)] = cost
    return edges, costs


def _identity(entry, keys, fallback):
    """The raw qubit id of a calibration entry: the first present key, else the fallback."""
    for key in keys:
        if key in entry:
            return entry[key]
    return fallback


def _normalize_qubit_costs(raw: Any) -> dict[int, float]:
    """Generic per-qubit calibration ("qubits") as qubit id -> error cost."""
    costs = {}
    for fallback, value in _metric_items(raw):
        if not isinstance(value, Mapping):
            continue
        identity = _identity(value, ("index", "id", "qubit"), fallback)
        if _has_error_metric(value):
            try:
                cost = _error_cost(value)
                costs[_qubit_index(identity)] = cost
            except (TypeError, ValueError):
                continue
    return costs


def _normalize_osmira_qubit_metrics(raw: Any) -> dict[int, float]:
    """Osmira's per-qubit records as qubit id -> error cost (readout and XEB errors averaged)."""
    costs = {}
    for fallback, value in _metric_items(raw):
        if not isinstance(value, Mapping):
            continue
        try:
            qubit = _qubit_index(_identity(value, ("id", "index", "qubit"), fallback))
        except (TypeError, ValueError):
            continue
        components = []
        readout = []
        for key in ("measure_f0", "measure_f1"):
            fidelity = _probability(value.get(key))
            if fidelity is not None:
                readout.append(fidelity)
        if readout:
            total = readout[0]
            for fidelity in readout[1:]:
                total = total + fidelity
            components.append(1.0 - total / len(readout))
        xeb_fidelity = _probability(value.get("xeb_fidelity"))
        if xeb_fidelity is not None:
            components.append(1.0 - xeb_fidelity)
        if not components and _has_error_metric(value):
            components.append(_error_cost(value))
        if components:
            total = components[0]
            for component in components[1:]:
                total = total + component
            costs[qubit] = total / len(components)
    return costs


def _normalize_osmira_coupler_metrics(raw: Any) -> dict[frozenset[int], float]:
    """Osmira's coupler records as {a, b} -> error cost (from the CZ fidelity when usable)."""
    costs = {}
    for _, value in _metric_items(raw):
        if not isinstance(value, Mapping):
            continue
        parsed = _parse_pair(_first_pair(value))
        if parsed is None:
            continue
        edge = frozenset(parsed)
        if len(edge) < 2:
            continue
        cz_fidelity = _probability(value.get("cz_fidelity"))
        if cz_fidelity is not None:
            costs[edge] = 1.0 - cz_fidelity
        elif _has_error_metric(value):
            costs[edge] = _error_cost(value)
    return costs


def _metric_items(raw: Any) -> Iterable[tuple[Any, Any]]:
    """(fallback id, entry) pairs: a mapping's items, a list's positions and items, else none."""
    if isinstance(raw, Mapping):
        return raw.items()
    if isinstance(raw, (list, tuple)):
        return list(enumerate(raw))
    return ()


def _probability(value: Any) -> float | None:
    """A fidelity given as a fraction or, above 1.0, as a percentage, clamped to [0.0, 1.0]."""
    if value is None or isinstance(value, bool):
        return None
    try:
        probability = float(value)
    except (TypeError, ValueError):
        return None
    if probability > 1.0:
        probability = probability / 100.0
    if not probability > 0.0:
        return 0.0
    if probability >= 1.0:
        return 1.0
    return probability


def _is_number(value):
    return isinstance(value, (int, float))


def _error_cost(values: Mapping[str, Any]) -> float:
    """The entry's error cost: its first numeric error key, else 1 - its first numeric fidelity, else 0.0."""
    for key in _ERROR_KEYS:
        value = values.get(key)
        if _is_number(value):
            return float(value) if value > 0.0 else 0.0
    for key in _FIDELITY_KEYS:
        value = values.get(key)
        if _is_number(value):
            if value > 1.0:
                value = value / 100.0
            cost = 1.0 - value
            return float(cost) if cost > 0.0 else 0.0
    return 0.0


def _has_error_metric(values: Any) -> bool:
    """True when `_error_cost` reads a metric of the entry rather than falling back to 0.0."""
    if not isinstance(values, Mapping):
        return False
    for key in _ERROR_KEYS + _FIDELITY_KEYS:
        if _is_number(values.get(key)):
            return True
    return False


def _qubit_index(value: Any) -> int:
    """A qubit id as an int: 3, "3", " q3 " and "Q3" all give 3."""
    text = str(value).strip()
    if text[:1].lower() == "q":
        text = text[1:]
    return int(text)


# ---------------------------------------------------------------------------
# Layout search


def _choose_layout(
    logical_qubits: int,
    interactions: Counter[tuple[int, int]],
    graph: Mapping[int, set[int]],
    node_cost: Mapping[int, float],
    edge_cost: Mapping[frozenset[int], float],
    *,
    objective: str,
    max_candidates: int,
) -> dict[int, int]:
    """The best-scoring layout of the logical qubits on one connected region.

    Regions of n qubits come from `_connected_subsets` (at most 2000); each is
    paired with the logical qubits in every ordering of its best-connected,
    cheapest-first order when n <= 7, otherwise in that order alone, and every
    candidate is scored by `_layout_score` until `max_candidates` have been
    scored.  The earliest of equally good candidates wins.

    Quality limit: the search sees only the 2000 regions grown first from the
    lowest-numbered qubits, and the budget scores only the first of them in
    sorted order (at the default of 50000: ten regions for n = 7, seventy for
    n = 6), so a better region elsewhere on a large device is never looked at.
    """
    n = logical_qubits
    if n > len(graph):
        raise ValueError(
            "The Osmira backend exposes " + str(len(graph)) + " qubits but the circuit requires "
            + str(n) + "."
        )
    if n == 1:
        best = min(graph, key=lambda q: (node_cost.get(q, 0.0), -len(graph[q]), q))
        return {0: int(best)}

    regions = _connected_subsets(graph, n, max_subsets=_MAX_REGIONS)
    if not regions:
        raise ValueError("No connected " + str(n) + "-qubit region is available on this backend.")

    swap_weight, fidelity_weight = _weights(objective)

    logical_order = sorted(range(n), key=lambda q: (-_logical_degree(q, interactions), q))
    rank = {q: i for i, q in enumerate(logical_order)}
    # Each pair as (rank of a, rank of b, c * swap_weight, c * fidelity_weight):
    # the products are the ones the score forms, computed once.
    pairs = []
    for (a, b), count in interactions.items():
        if a not in rank:
            raise KeyError(a)
        if b not in rank:
            raise KeyError(b)
        pairs.append((rank[a], rank[b], count * swap_weight, count * fidelity_weight))

    orders = list(permutations(range(n))) if n <= _MAX_PERMUTED else [tuple(range(n))]
    # Hop counts are needed only from the region members that a pair's first
    # qubit can occupy: every member when orderings are permuted, otherwise
    # those of the pairs alone (a large sparse circuit needs few of them).
    if n <= _MAX_PERMUTED:
        starts = range(n)
    else:
        starts = sorted({ra for ra, _, _, _ in pairs})
    best_score = inf
    best_layout = None
    evaluated = 0
    for region in regions:
        physical_order = sorted(
            region, key=lambda p: (-len(region.intersection(graph[p])), node_cost.get(p, 0.0), p)
        )
        costs = [node_cost.get(p, 0.0) for p in physical_order]
        beyond, coupler = _region_tables(physical_order, graph, edge_cost, starts)
        for order in orders:
            total = 0.0
            for i in order:
                total += costs[i]
            score = fidelity_weight * total
            for ra, rb, weighted_swaps, weighted_errors in pairs:
                x = order[ra]
                y = order[rb]
                score += weighted_swaps * beyond[x][y]
                hop_cost = coupler[x][y]
                if hop_cost is not None:
                    score += weighted_errors * hop_cost
            evaluated += 1
            if score < best_score:
                best_score = score
                best_layout = [physical_order[i] for i in order]
            if evaluated >= max_candidates:
                break
        if evaluated >= max_candidates:
            break

    if best_layout is None:
        raise ValueError("Unable to construct an Osmira physical-qubit layout.")
    chosen = {}
    for q in range(n):
        chosen[q] = int(best_layout[rank[q]])
    return chosen


def _region_tables(members, graph, edge_cost, starts):
    """Per pair of region members (by position in `members`): max(hops - 1, 0) and the coupler cost.

    Hops are counted inside the region, as `_shortest_path_length` counts them
    with `allowed` = the region; the coupler cost (0.0 when absent) is given
    only for pairs one hop apart and is None otherwise.  Only the rows of the
    positions in `starts` are filled; the others are None.
    """
    size = len(members)
    position = {p: i for i, p in enumerate(members)}
    neighbours = []
    for p in members:
        neighbours.append([position[q] for q in graph.get(p, ()) if q in position and q != p])
    beyond = [None] * size
    coupler = [None] * size
    for start in starts:
        hops = [-1] * size
        hops[start] = 0
        queue = [start]
        head = 0
        while head < len(queue):
            current = queue[head]
            head += 1
            step = hops[current] + 1
            for neighbour in neighbours[current]:
                if hops[neighbour] < 0:
                    hops[neighbour] = step
                    queue.append(neighbour)
        start_qubit = members[start]
        row_beyond = [0] * size
        row_coupler = [None] * size
        for goal in range(size):
            distance = hops[goal]
            if distance > 1:
                row_beyond[goal] = distance - 1
            elif distance == 1:
                row_coupler[goal] = edge_cost.get(frozenset((start_qubit, members[goal])), 0.0)
        beyond[start] = row_beyond
        coupler[start] = row_coupler
    return beyond, coupler


def _connected_subsets(
    graph: Mapping[int, set[int]],
    size: int,
    *,
    max_subsets: int,
) -> list[set[int]]:
    """The connected sets of `size` qubits, at most `max_subsets`, sorted by their sorted members.

    Which regions are kept under the cap is decided by the order of a
    level-by-level growth from single qubits.  That growth meets full-size
    regions in the lexicographic order of their lowest-first build sequence
    (start at the region's lowest qubit, then always add its lowest member
    adjacent to what is built).  A depth-first search yields exactly that
    order without building any smaller set: for each start qubit (lower ones
    excluded) it branches on the lowest candidate adjacent to the current
    set, first including it, then excluding it for the rest of that branch,
    and drops a branch as soon as fewer than `size` qubits are reachable
    from the set around the excluded ones.  Every branch kept holds a region,
    so the work grows with the regions returned, and memory is one path.
    """
    if size == 1:
        return [{q} for q in graph]
    if size < 1 or max_subsets <= 0:
        return []
    nodes = sorted(graph)
    if size > len(nodes):
        return []
    index = {q: i for i, q in enumerate(nodes)}
    adjacency = []
    for i, q in enumerate(nodes):
        mask = 0
        for neighbour in graph[q]:
            j = index.get(neighbour)
            if j is not None and j != i:
                mask |= 1 << j
        adjacency.append(mask)

    found = []
    for start in range(len(nodes)):
        if len(nodes) - start < size:
            break
        excluded = (1 << start) - 1
        first = 1 << start
        if not _reaches(first, adjacency[start], excluded, size, adjacency):
            continue
        # Entries: (members, member count, union of their neighbours, excluded).
        stack = [(first, 1, adjacency[start], excluded)]
        while stack:
            members, count, around, excluded = stack.pop()
            if count == size:
                found.append(members)
                if len(found) >= max_subsets:
                    stack = []
                    break
                continue
            candidates = around & ~excluded & ~members
            if not candidates:
                continue
            lowest = candidates & -candidates
            # Pushed first, so the inclusion's whole subtree comes before it.
            if _reaches(members, around, excluded | lowest, size, adjacency):
                stack.append((members, count, around, excluded | lowest))
            stack.append((members | lowest, count + 1,
                          around | adjacency[lowest.bit_length() - 1], excluded))
        if len(found) >= max_subsets:
            break

    regions = []
    for members in found:
        region = []
        while members:
            lowest = members & -members
            region.append(nodes[lowest.bit_length() - 1])
            members ^= lowest
        regions.append((region, set(region)))
    regions.sort(key=lambda item: item[0])
    return [region for _, region in regions]


def _reaches(members, around, excluded, size, adjacency):
    """Whether `size` qubits can be reached from `members` avoiding `excluded` (stops counting at size)."""
    reached = members | (around & ~excluded)
    frontier = reached & ~members
    while reached.bit_count() < size:
        if not frontier:
            return False
        spread = 0
        while frontier:
            lowest = frontier & -frontier
            spread |= adjacency[lowest.bit_length() - 1]
            frontier ^= lowest
        frontier = spread & ~excluded & ~reached
        reached |= frontier
    return True


def _weights(objective):
    """(swap_weight, fidelity_weight): "swaps" puts distance first, every other objective errors."""
    if objective == "swaps":
        return 100.0, 1.0
    return 25.0, 100.0


def _logical_degree(q: int, interactions: Counter[tuple[int, int]]) -> int:
    """The number of counted gates that touch logical qubit q."""
    degree = 0
    for pair, count in interactions.items():
        if q in pair:
            degree += count
    return degree


def _layout_score(
    layout: Mapping[int, int],
    subset: set[int],
    interactions: Counter[tuple[int, int]],
    graph: Mapping[int, set[int]],
    node_cost: Mapping[int, float],
    edge_cost: Mapping[frozenset[int], float],
    objective: str,
) -> float:
    """Weighted qubit errors, SWAP distance and coupler errors of a candidate; lower is better.

    The terms are added in this order, one after the other: the qubits'
    costs in the layout's value order, then per interaction pair its SWAP
    penalty and, for coupled qubits, its coupler cost.  `_choose_layout`
    relies on that order to reproduce these scores exactly.
    """
    swap_weight, fidelity_weight = _weights(objective)
    total = 0.0
    for p in layout.values():
        total += node_cost.get(p, 0.0)
    score = fidelity_weight * total
    for (a, b), count in interactions.items():
        pa = layout[a]
        pb = layout[b]
        distance = _shortest_path_length(pa, pb, graph, allowed=subset)
        if distance is None:
            return inf
        score += (count * swap_weight) * max(distance - 1, 0)
        if distance == 1:
            score += (count * fidelity_weight) * edge_cost.get(frozenset((pa, pb)), 0.0)
    return score
