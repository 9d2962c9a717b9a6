"""Devices, prepared requests and reference forms for the provider planner's tests and benchmark."""
from collections import Counter, deque
from itertools import permutations
from math import inf

import numpy as np

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.qcompiler.hardware_api.providers import vellicor as V


# --- devices -----------------------------------------------------------------

def graph_of(edges, nodes=()):
    """Symmetric adjacency of an edge list (plus isolated nodes)."""
    graph = {q: set() for q in nodes}
    for a, b in edges:
        graph.setdefault(a, set()).add(b)
        graph.setdefault(b, set()).add(a)
    return graph


def grid_edges(rows, cols):
    edges = []
    for r in range(rows):
        for c in range(cols):
            q = r * cols + c
            if c + 1 < cols:
                edges.append((q, q + 1))
            if r + 1 < rows:
                edges.append((q, q + cols))
    return edges


def heavy_hex_edges():
    """127 qubits: rows of 14, 15, 15, 15, 15, 15, 14 joined by 4 bridge qubits per row gap."""
    lengths = [14, 15, 15, 15, 15, 15, 14]
    edges, next_id, previous = [], 0, None
    for r, length in enumerate(lengths):
        if previous is not None:
            columns = (0, 4, 8, 12) if r % 2 == 1 else (2, 6, 10, 14)
            bridges = range(next_id, next_id + 4)
            next_id += 4
        first_column = 1 if r == len(lengths) - 1 else 0
        row = {first_column + i: next_id + i for i in range(length)}
        next_id += length
        edges.extend((row[c], row[c + 1]) for c in sorted(row)[:-1])
        if previous is not None:
            for c, bridge in zip(columns, bridges):
                edges += [(previous[c], bridge), (bridge, row[c])]
        previous = row
    return edges


def random_costs(rng, graph):
    """Node and coupler error costs in the planner's shapes."""
    node_cost = {q: float(rng.uniform(0.001, 0.05)) for q in graph}
    edge_cost = {frozenset((a, b)): float(rng.uniform(0.005, 0.05)) for a in graph for b in graph[a] if a < b}
    return node_cost, edge_cost


# --- prepared requests ---------------------------------------------------------

class Circuit:
    """The two circuit operations the planner uses."""

    def __init__(self, num_qubits, gate_sequence):
        self._num_qubits = num_qubits
        self.gate_sequence = gate_sequence

    def get_num_qubits(self):
        return self._num_qubits


class Prepared:
    def __init__(self, circuit, measurements=()):
        self.circuit = circuit
        self.measurements = list(measurements)


def gate(gate_id, target, control=None, parameter=None, control_state=None):
    return QuantumGate(id=gate_id, target=target, control=control, parameter=parameter,
                       control_state=control_state)


def prepared_of(n, gates, measurements=(), packed=False):
    sequence = (OpchainPacked if packed else Opchain)(n)
    for g in gates:
        sequence.add_gate(g)
    return Prepared(Circuit(n, sequence), measurements)


ONE_QUBIT = ("h", "x", "s", "rx", "rz")
TWO_QUBIT = ("cx", "cz", "swap", "rzz", "crx")


def random_gates(rng, n, count, three_qubit=True):
    """Random 1-, 2- and (when n >= 3) 3-qubit gates on logical qubits 0..n-1."""
    gates = []
    for _ in range(count):
        kind = rng.random()
        if n >= 3 and three_qubit and kind < 0.05:
            a, b, c = (int(v) for v in rng.choice(n, 3, replace=False))
            gates.append(gate("mcx", (c,), (a, b), control_state=(1, int(rng.integers(2)))))
        elif n >= 2 and kind < 0.6:
            gid = TWO_QUBIT[int(rng.integers(len(TWO_QUBIT)))]
            a, b = (int(v) for v in rng.choice(n, 2, replace=False))
            angle = (float(rng.uniform(-3, 3)),)
            if gid in ("swap", "rzz"):
                gates.append(gate(gid, (a, b), parameter=angle if gid == "rzz" else None))
            else:
                gates.append(gate(gid, (b,), (a,), parameter=angle if gid == "crx" else None))
        else:
            gid = ONE_QUBIT[int(rng.integers(len(ONE_QUBIT)))]
            gates.append(gate(gid, (int(rng.integers(n)),),
                              parameter=(float(rng.uniform(-3, 3)),) if gid in ("rx", "rz") else None))
    return gates


def two_qubit_circuit(rng, n, per_qubit):
    """n * per_qubit CX gates on random pairs."""
    return [gate("cx", (int(b),), (int(a),)) for a, b in (rng.choice(n, 2, replace=False)
                                                         for _ in range(n * per_qubit))]


def qft_like(n):
    """One controlled phase per pair, in QFT order."""
    return [gate("cp", (b,), (a,), parameter=(np.pi / 2 ** (b - a),)) for a in range(n) for b in range(a + 1, n)]


# --- reference forms -------------------------------------------------------------

def literal_growth(graph, size, max_subsets):
    """Level-by-level growth of connected sets from single qubits, every smaller set built."""
    if size == 1:
        return [{q} for q in graph]
    found = set()
    frontier = deque(frozenset((q,)) for q in sorted(graph))
    seen = set(frontier)
    while frontier and len(found) < max_subsets:
        current = frontier.popleft()
        if len(current) == size:
            found.add(current)
            continue
        around = set()
        for q in current:
            around |= graph[q]
        for q in sorted(around - current):
            expanded = current | {q}
            if expanded in seen or len(expanded) > size:
                continue
            seen.add(expanded)
            frontier.append(expanded)
    return [set(r) for r in sorted(found, key=lambda r: tuple(sorted(r)))]


def literal_score(layout, region, interactions, graph, node_cost, edge_cost, objective, hops):
    """The score term by term, distances from `hops(pa, pb, region)`."""
    swap_weight, fidelity_weight = (100.0, 1.0) if objective == "swaps" else (25.0, 100.0)
    total = 0.0
    for p in layout.values():
        total += node_cost.get(p, 0.0)
    score = fidelity_weight * total
    for (a, b), c in interactions.items():
        pa, pb = layout[a], layout[b]
        distance = hops(pa, pb, region)
        if distance is None:
            return inf
        score += (c * swap_weight) * max(distance - 1, 0)
        if distance == 1:
            score += (c * fidelity_weight) * edge_cost.get(frozenset((pa, pb)), 0.0)
    return score


def cached_hops(graph):
    """Hop counts through the planner's own shortest-path search, remembered per (region, pa, pb)."""
    memo = {}

    def hops(pa, pb, region):
        key = (frozenset(region), pa, pb)
        if key not in memo:
            memo[key] = V._shortest_path_length(pa, pb, graph, allowed=set(region))
        return memo[key]
    return hops


def literal_choose(n, interactions, graph, node_cost, edge_cost, objective, budget, regions=None, hops=None):
    """Every candidate scored one by one, as the search is described; returns the layout."""
    if n > len(graph):
        raise ValueError(f"The Osmira backend exposes {len(graph)} qubits but the circuit requires {n}.")
    if n == 1:
        return {0: min(graph, key=lambda q: (node_cost.get(q, 0.0), -len(graph[q]), q))}
    if regions is None:
        regions = literal_growth(graph, n, 2000)
    if not regions:
        raise ValueError(f"No connected {n}-qubit region is available on this backend.")
    hops = hops or cached_hops(graph)
    degree = Counter()
    for (a, b), c in interactions.items():
        degree[a] += c
        if b != a:
            degree[b] += c
    logical_order = sorted(range(n), key=lambda q: (-degree[q], q))
    best, best_score, evaluated = None, inf, 0
    for region in regions:
        physical_order = sorted(region, key=lambda p: (-len(graph[p] & region), node_cost.get(p, 0.0), p))
        for assignment in (permutations(physical_order) if n <= 7 else [physical_order]):
            layout = {q: int(p) for q, p in zip(logical_order, assignment)}
            score = literal_score(layout, region, interactions, graph, node_cost, edge_cost, objective, hops)
            evaluated += 1
            if score < best_score:
                best, best_score = layout, score
            if evaluated >= budget:
                break
        if evaluated >= budget:
            break
    if best is None:
        raise ValueError("Unable to construct an Osmira physical-qubit layout.")
    return {q: best[q] for q in range(n)}


def fresh_route(prepared, layout, graph):
    """Routing with a new shortest-path search before every SWAP (the straightforward form)."""
    logical_to_wire = {q: q for q in layout}
    wire_to_logical = dict(logical_to_wire)
    physical_to_wire = {p: w for w, p in layout.items()}
    allowed = set(layout.values())
    operations, swaps = [], 0
    for g in prepared.circuit.gate_sequence._data:
        qubits = V._gate_qubits(g)
        if len(qubits) == 2 and graph:
            a, b = qubits
            while True:
                wl, wr = logical_to_wire[a], logical_to_wire[b]
                pl, pr = layout[wl], layout[wr]
                if pr in graph.get(pl, set()):
                    break
                path = V._shortest_path(pl, pr, graph, allowed=allowed)
                if path is None or len(path) < 3:
                    raise ValueError(f"Mapping cannot connect non-adjacent physical qubits {pl} and {pr} "
                                     "inside the selected Osmira qubits.")
                sw = physical_to_wire[path[1]]
                operations.append(V.RoutedOperation("swap", targets=(wl, sw)))
                left, right = wire_to_logical[wl], wire_to_logical[sw]
                wire_to_logical[wl], wire_to_logical[sw] = right, left
                logical_to_wire[left], logical_to_wire[right] = sw, wl
                swaps += 1
        operations.append(V._remap_gate(g, logical_to_wire))
    final = {q: int(layout[w]) for q, w in logical_to_wire.items()}
    return operations, [(logical_to_wire[int(q)], int(c)) for q, c in prepared.measurements], final, swaps
