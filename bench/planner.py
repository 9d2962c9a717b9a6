"""Osmira planner: layout search, scoring, routing and region search.

Devices: a 127-qubit heavy-hex (rows of 14, 15, 15, 15, 15, 15, 14 qubits, 4
bridge qubits between neighbouring rows) and a 20 x 20 grid, both with random
qubit and coupler error costs.  Prints, as min / median over interleaved
repeats:
  - layout search (`_choose_layout`, default budget 50000) for 30-qubit random
    circuits (10 two-qubit gates per qubit), 30-qubit all-pairs QFT-like
    circuits and random 5- and 7-qubit circuits; beside it the same search
    scored straightforwardly (one `_shortest_path_length` per pair per
    candidate) over the first K candidates (n <= 7) or regions (n = 30, one
    candidate per region), with the planner's search at that budget; both
    must choose the same layout;
  - routing (`_route_operations`) of a 10**4-gate 30-qubit circuit, per gate,
    beside a fresh shortest-path search per SWAP (same operations), with the
    SWAP count and the static cost sum(d0 - 1) at the initial layout;
  - region search (`_connected_subsets`, cap 2000) time and tracemalloc peak
    on a 10 x 10 grid (n = 10, 13) and a 5 x 5 grid (n = 25).

Run: bash dev.sh bench planner [--repeats R] [--candidates K] [--regions M] [--full]
  --full compares at the whole default budget (slow: a few minutes); without
  it K = 3000 candidates (n <= 7) and M = 150 regions (n = 30) are compared,
  the straightforward search once.
"""
import argparse
import os
import pathlib
import statistics
import sys
import time
import tracemalloc

os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from planner_support import (graph_of, grid_edges, heavy_hex_edges, literal_choose, literal_score, prepared_of,  # noqa: E402
                             qft_like, random_costs, random_gates, two_qubit_circuit, fresh_route)
from quorvex.qcompiler.hardware_api.providers import vellicor as V  # noqa: E402

DEFAULT_BUDGET = 50000


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def interleaved(functions, repeats):
    """Run each function once per round, `repeats` rounds; per function (times, last result)."""
    times = [[] for _ in functions]
    results = [None] * len(functions)
    for _ in range(repeats):
        for i, fn in enumerate(functions):
            elapsed, results[i] = timed(fn)
            times[i].append(elapsed)
    return times, results


def fmt(times, scale=1.0, unit="s"):
    return f"{min(times) * scale:8.3f} / {statistics.median(times) * scale:8.3f} {unit}"


def straightforward_hops(graph):
    """No cache: one shortest-path search per pair per candidate."""
    return lambda pa, pb, region: V._shortest_path_length(pa, pb, graph, allowed=set(region))


def layout_rows(devices, rng, repeats, candidates, regions_compared, full):
    print("\nlayout search (min / median)")
    print(f"{'device':<10} {'circuit':<14} {'n':>3} {'pairs':>5} {'search, budget 50000':>24} "
          f"{'budget':>7} {'search':>22} {'straightforward':>22} {'ratio':>6} same")
    for name, graph, node_cost, edge_cost in devices:
        cases = [("random 10/q", 30, two_qubit_circuit(rng, 30, 10)), ("QFT-like", 30, qft_like(30)),
                 ("random 10/q", 5, two_qubit_circuit(rng, 5, 10)), ("random 10/q", 7, two_qubit_circuit(rng, 7, 10))]
        for label, n, gates in cases:
            interactions = V._logical_interactions(prepared_of(n, gates))
            budget = DEFAULT_BUDGET if full else (candidates if n <= 7 else regions_compared)
            regions = V._connected_subsets(graph, n, max_subsets=2000)

            def search(budget=budget):
                return V._choose_layout(n, interactions, graph, node_cost, edge_cost,
                                        objective="balanced", max_candidates=budget)

            def default_search():
                return search(DEFAULT_BUDGET)

            def plain():
                return literal_choose(n, interactions, graph, node_cost, edge_cost, "balanced", budget,
                                      regions=regions, hops=straightforward_hops(graph))

            (t_default, t_search), (_, layout) = interleaved([default_search, search], repeats)
            (t_plain,), (plain_layout,) = interleaved([plain], 1)
            ratio = min(t_plain) / min(t_search)
            print(f"{name:<10} {label:<14} {n:>3} {len(interactions):>5} {fmt(t_default):>24} {budget:>7} "
                  f"{fmt(t_search):>22} {fmt(t_plain):>22} {ratio:6.1f} {layout == plain_layout}")


def routing_rows(devices, rng, repeats):
    print("\nrouting, 10**4 gates on 30 qubits (min / median per gate)")
    print(f"{'device':<10} {'routing':>22} {'fresh search per SWAP':>24} {'ratio':>6} {'SWAPs':>6} "
          f"{'sum(d0-1)':>9} same")
    for name, graph, node_cost, edge_cost in devices:
        n = 30
        gates = random_gates(rng, n, 10 ** 4, three_qubit=False)
        prepared = prepared_of(n, gates)
        layout = V._choose_layout(n, V._logical_interactions(prepared), graph, node_cost, edge_cost,
                                  objective="balanced", max_candidates=DEFAULT_BUDGET)
        allowed = set(layout.values())
        static = 0
        for g in gates:
            qubits = V._gate_qubits(g)
            if len(qubits) == 2:
                static += V._shortest_path_length(layout[qubits[0]], layout[qubits[1]], graph, allowed=allowed) - 1
        (t_route, t_fresh), (routed, fresh) = interleaved(
            [lambda: V._route_operations(prepared, layout, graph), lambda: fresh_route(prepared, layout, graph)],
            repeats)
        per_gate = 1e6 / len(gates)
        print(f"{name:<10} {fmt(t_route, per_gate, 'us'):>22} {fmt(t_fresh, per_gate, 'us'):>24} "
              f"{min(t_fresh) / min(t_route):6.1f} {routed[3]:>6} {static:>9} {routed == fresh}")


def region_rows(repeats):
    print("\nregion search, cap 2000 (time min / median, tracemalloc peak)")
    for label, edges, n in [("10x10 grid", grid_edges(10, 10), 10), ("10x10 grid", grid_edges(10, 10), 13),
                            ("5x5 grid", grid_edges(5, 5), 25)]:
        graph = graph_of(edges)
        (times,), (regions,) = interleaved([lambda: V._connected_subsets(graph, n, max_subsets=2000)], repeats)
        tracemalloc.start()
        V._connected_subsets(graph, n, max_subsets=2000)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        print(f"{label:<10} n={n:<3} regions {len(regions):>5}  {fmt(times, 1e3, 'ms')}  peak {peak / 2**20:6.2f} MB")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--candidates", type=int, default=3000)
    parser.add_argument("--regions", type=int, default=150)
    parser.add_argument("--full", action="store_true")
    args = parser.parse_args()
    print(f"threads: 1 (pure Python; OMP_NUM_THREADS={os.environ['OMP_NUM_THREADS']}), repeats {args.repeats}")
    rng = np.random.default_rng(2024)
    devices = []
    for name, edges in [("heavy-hex", heavy_hex_edges()), ("grid20", grid_edges(20, 20))]:
        graph = graph_of(edges)
        devices.append((name, graph, *random_costs(rng, graph)))
    layout_rows(devices, rng, args.repeats, args.candidates, args.regions, args.full)
    routing_rows(devices, rng, args.repeats)
    region_rows(args.repeats)


if __name__ == "__main__":
    main()
