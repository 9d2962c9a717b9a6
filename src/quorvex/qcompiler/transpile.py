"""Rule-based unrolling of a circuit into a gate basis: the minimal platform layer."""
from quorvex.backend.qasm.qasm import _flat_gates

from .rule_based.rule_based_transpiler.basis import DEFAULT_BASIS, TESSIK_BASIS

DEFAULT_UNROLL_TIMES = 10

_BASES = {basis.name.lower(): basis for basis in (DEFAULT_BASIS, TESSIK_BASIS)}


def _basis_named(name):
    basis = _BASES.get(name.lower()) if isinstance(name, str) else None
    if basis is None:
        raise ValueError("Unknown basis " + repr(name) + "; choose one of "
                         + ", ".join(repr(b.name) for b in _BASES.values()) + ".")
    return basis


def unroll_gates(gates, basis, times, circuit=None):
    """Up to ``times`` rounds of ``basis.construct`` over the gates it does not accept.

    A gate that ``construct`` hands back unchanged is kept as it is, so a
    dispatcher's pass-through gates end the unrolling instead of looping.
    """
    current = list(_flat_gates(gates))
    for _ in range(times):
        changed = False
        following = []
        for gate in current:
            if basis.is_basis(gate):
                following.append(gate)
                continue
            replacement = basis.construct(gate, circuit)
            if replacement is None or (len(replacement) == 1 and replacement[0] is gate):
                following.append(gate)
                continue
            following.extend(_flat_gates(replacement))
            changed = True
        current = following
        if not changed:
            break
    return current


def qcompiler_transpile(circuit, *, basis, times):
    """A new circuit with the gates of ``circuit`` unrolled into the named basis."""
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
