"""Rule-based unrolling of a circuit into a gate basis: the minimal platform layer."""
from collections import Counter

from quorvex.backend.expansion import PYTHON_GATE_BYTES, check_expansion
from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.qasm.qasm import _flat_gates

from .rule_based.rule_based_transpiler.basis import DEFAULT_BASIS, TESSIK_BASIS
from .rule_based.rule_based_transpiler.definitions._rules import as_executed

DEFAULT_UNROLL_TIMES = 10

_BASES = {basis.name.lower(): basis for basis in (DEFAULT_BASIS, TESSIK_BASIS)}


def _basis_named(name):
    basis = _BASES.get(name.lower()) if isinstance(name, str) else None
    if basis is None:
        raise ValueError("Unknown basis " + repr(name) + "; choose one of "
                         + ", ".join(repr(b.name) for b in _BASES.values()) + ".")
    return basis


def _kinds(gates):
    """"2 'h', 1 'rz' with 1 control": how many gates of each id and control count, most first."""
    counts = Counter((gate.id, len(gate.control)) for gate in gates)
    parts = []
    for (gate_id, controls), count in counts.most_common():
        part = str(count) + " " + repr(gate_id)
        if controls:
            part += " with " + str(controls) + (" control" if controls == 1 else " controls")
        parts.append(part)
    return ", ".join(parts)


def _outside_basis(basis, outside, kept, total, times):
    """The ValueError for the gates of a result that lie ``outside`` its basis.

    Those in ``kept`` were handed back unchanged by their rule: no further
    round rewrites them. The others were still being rewritten when the
    rounds ran out.
    """
    kept_ids = set(map(id, kept))
    reasons = []
    unfinished = [gate for gate in outside if id(gate) not in kept_ids]
    if unfinished:
        reasons.append(_kinds(unfinished) + " still to rewrite when times=" + str(times)
                       + (" round" if times == 1 else " rounds") + " ran out")
    stuck = [gate for gate in outside if id(gate) in kept_ids]
    if stuck:
        reasons.append(_kinds(stuck) + " that no rule of the basis rewrites")
    return ValueError("Unrolling into basis " + repr(basis.name) + " left " + str(len(outside)) + " of "
                      + str(total) + " gates outside it: " + "; ".join(reasons) + ".")


def _needs_flips(basis, gate):
    """Whether ``gate``, primitive in ``basis``, still holds an open control that the basis cannot flip.

    A basis gate takes its controls as they are, and the lowering to
    instructions flips an open control with X around it; where X is not
    itself primitive, that flip would leave the basis.
    """
    return 0 in gate.control_state and not basis.is_basis("x")


def _with_closed_controls(gate):
    """X flips around the gate with every control closed; later rounds unroll the flips."""
    flips = [QuantumGate(id="x", target=q) for q, state in zip(gate.control, gate.control_state) if state == 0]
    return flips + [gate.replace(control_state=(1,) * len(gate.control))] + flips


def _kind(gate):
    """What decides how a round rewrites a gate: its id and how many targets, controls (open ones
    apart), parameters and stored matrices it has; not which qubits, nor the values."""
    states = gate.control_state
    return (gate.id, len(gate.target), len(gate.control), len(states) - sum(states),
            len(gate.parameter or ()), gate.has_stored_matrix)


def _largest_round(gates, basis, times, circuit):
    """How many gates the largest round of `unroll_gates` holds, foreseen from one gate of each kind.

    A rule rewrites every gate of one kind into the same kinds and number
    of gates, so the rounds are followed on counts per kind, one rewrite of
    one gate per kind: a few steps where the rounds themselves may make
    more gates than fit in memory.
    """
    example = {}
    counts = Counter()
    for gate in gates:
        kind = _kind(gate)
        example.setdefault(kind, gate)
        counts[kind] += 1
    rewrites = {}  # kind -> Counter of the kinds it becomes, or None where it stays
    largest = total = sum(counts.values())
    for _ in range(times):
        following = Counter()
        changed = False
        for kind, count in counts.items():
            if kind not in rewrites:
                rewrites[kind] = _rewritten_kinds(example[kind], basis, circuit, example)
            made = rewrites[kind]
            if made is None:
                following[kind] += count
                continue
            changed = True
            for new_kind, times_made in made.items():
                following[new_kind] += count * times_made
        counts = following
        total = sum(counts.values())
        largest = max(largest, total)
        if not changed:
            break
    return largest


def _rewritten_kinds(gate, basis, circuit, example):
    """The kinds one round of `unroll_gates` makes of ``gate``, or None when it keeps it."""
    if basis.is_basis(gate):
        if not _needs_flips(basis, gate):
            return None
        made = _with_closed_controls(gate)
    else:
        replacement = basis.construct(gate, circuit)
        if replacement is None or (len(replacement) == 1 and replacement[0] is gate):
            return None
        made = list(_flat_gates(replacement))
    kinds = Counter()
    for new in made:
        kind = _kind(new)
        example.setdefault(kind, new)
        kinds[kind] += 1
    return kinds


def unroll_gates(gates, basis, times, circuit=None):
    """Up to ``times`` rounds of ``basis.construct`` over the gates it does not accept.

    Each gate is first read as the executors read it (`as_executed`). A
    gate that ``construct`` hands back unchanged ends its unrolling instead
    of looping. Open controls of a basis gate are flipped with gates of the
    basis. The result holds only gates of ``basis``: when gates are left
    outside it, because the rounds ran out or because no rule rewrites them,
    a ValueError says how many and which.
    """
    # Read as the executors read them: the rules then keep what a circuit runs.
    what = "Unrolling into basis " + repr(basis.name)
    current = [as_executed(gate) for gate in _flat_gates(gates, what)]
    # Each round may multiply the gates (a multi-controlled gate splits into
    # five with one control fewer): the largest round is foreseen and, if it
    # cannot fit, refused before the first one.
    check_expansion(what, _largest_round(current, basis, times, circuit), PYTHON_GATE_BYTES)
    kept = []
    settled = False
    for _ in range(times):
        changed = False
        kept = []
        following = []
        for gate in current:
            if basis.is_basis(gate):
                if _needs_flips(basis, gate):
                    following.extend(_with_closed_controls(gate))
                    changed = True
                else:
                    following.append(gate)
                continue
            replacement = basis.construct(gate, circuit)
            if replacement is None or (len(replacement) == 1 and replacement[0] is gate):
                following.append(gate)
                kept.append(gate)
                continue
            following.extend(_flat_gates(replacement))
            changed = True
        current = following
        if not changed:
            settled = True
            break
    # A settled round tested every gate: only the ones it kept are outside.
    outside = kept if settled else [gate for gate in current
                                    if not basis.is_basis(gate) or _needs_flips(basis, gate)]
    if outside:
        raise _outside_basis(basis, outside, kept, len(current), times)
    return current


def qcompiler_transpile(circuit, *, basis, times=DEFAULT_UNROLL_TIMES):
    """A new circuit with the gates of ``circuit`` unrolled into the named basis, in at most ``times`` rounds."""
    from quorvex.core import Circuit

    chosen = _basis_named(basis)
    times = int(times)
    if times < 0:
        raise ValueError("times must be non-negative, got " + str(times) + ".")
    gates = unroll_gates(circuit.gate_sequence.data(), chosen, times, circuit)
    name = getattr(circuit, "name", None)
    num_qubits = int(circuit.get_num_qubits())
    result = Circuit(num_qubits) if name is None else Circuit(num_qubits, name=name)
    for gate in gates:
        result.add_gate(gate)
    return result
