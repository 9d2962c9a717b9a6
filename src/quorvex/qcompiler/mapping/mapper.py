"""Placement and SWAP routing of QCIS programs on a chip: the minimal platform layer.

``map_qcis`` places the logical qubits on a connected run of the chip
(breadth first from its best qubit) and, before each CZ on uncoupled
qubits, moves the first operand along a shortest path with SWAPs written
as three CNOTs in H/CZ form. ``seed`` and ``max_rounds`` are accepted for
the mapping stage's interface and ignored: the placement and routing are
deterministic and take one pass.
"""
from collections import deque

from ..circuit_io import _cnot_lines, parse_qcis


def _format(op, qubits, angles):
    return " ".join([op] + ["Q" + str(q) for q in qubits] + [repr(a) for a in angles])


def _bfs_order(chip, start):
    order, seen, queue = [], {start}, deque([start])
    while queue:
        q = queue.popleft()
        order.append(q)
        for n in sorted(chip.neighbours[q]):
            if n not in seen:
                seen.add(n)
                queue.append(n)
    return order


def _shortest_path(chip, source, goal):
    previous = {source: None}
    queue = deque([source])
    while queue:
        q = queue.popleft()
        if q == goal:
            break
        for n in sorted(chip.neighbours[q]):
            if n not in previous:
                previous[n] = q
                queue.append(n)
    path = [goal]
    while path[-1] != source:
        path.append(previous[path[-1]])
    return path[::-1]


def _swap_lines(a, b):
    return _cnot_lines(a, b) + _cnot_lines(b, a) + _cnot_lines(a, b)


def _placement(chip, num_logical):
    if num_logical > len(chip.qubits):
        raise ValueError("The program uses " + str(num_logical) + " qubits but the chip has "
                         + str(len(chip.qubits)) + ".")
    best = max(chip.qubits, key=lambda q: (chip.qubit_fidelity[q], -q))
    order = _bfs_order(chip, best)
    if len(order) != len(chip.qubits):
        raise ValueError("The chip's coupling graph is disconnected; routing needs a connected chip.")
    return {logical: order[logical] for logical in range(num_logical)}


def map_qcis(qcis, *, chip, seed=0, max_rounds=6):
    """(routed QCIS text, initial map, final map, SWAP count); maps are logical -> physical."""
    instructions = parse_qcis(qcis)
    num_logical = 1 + max((max(qubits) for _, qubits, _ in instructions), default=-1)
    initial = _placement(chip, num_logical)
    where = dict(initial)
    holder = {p: q for q, p in where.items()}
    lines, swaps = [], 0
    for op, qubits, angles in instructions:
        if op == "CZ":
            a, b = qubits
            path = _shortest_path(chip, where[a], where[b])
            for p, r in zip(path[:-2], path[1:-1]):
                lines.extend(_swap_lines(p, r))
                swaps += 1
                moved, other = holder.get(p), holder.get(r)
                holder[p], holder[r] = other, moved
                for phys in (p, r):
                    if holder[phys] is not None:
                        where[holder[phys]] = phys
        lines.append(_format(op, tuple(where[q] for q in qubits), angles))
    return "\n".join(lines), initial, dict(where), swaps


def expected_fidelity(qcis, chip):
    """Product of the instructions' fidelities; an instruction without one counts as 1.0."""
    result = 1.0
    for op, qubits, _ in parse_qcis(qcis):
        if op == "B":
            continue
        if op == "CZ":
            value = chip.coupler_fidelity.get(frozenset(qubits))
        else:
            value = chip.qubit_fidelity.get(qubits[0])
        if value is not None:
            result *= value
    return result
