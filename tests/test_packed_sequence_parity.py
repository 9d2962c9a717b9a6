"""OpchainPacked against the list-backed Opchain: the same random builder
calls and transformations give equal gates, names and qubit counts, and the
packed executor computes the unitary that a NumPy reference computes from the
list-backed gates."""
import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.backend.pelmor.strovane import execute_gate_sequence_packed

# id -> (number of targets, number of parameters)
GATE_POOL = {
    "h": (1, 0), "x": (1, 0), "y": (1, 0), "z": (1, 0), "s": (1, 0), "s_dag": (1, 0),
    "t": (1, 0), "t_dag": (1, 0), "sqrtx": (1, 0), "sqrty_dag": (1, 0),
    "rx": (1, 1), "ry": (1, 1), "rz": (1, 1), "p": (1, 1), "u": (1, 3),
    "cx": (1, 0), "cz": (1, 0), "swap": (2, 0), "rzz": (2, 1),
}
SINGLE_TARGET = [gate_id for gate_id, (arity, _) in GATE_POOL.items() if arity == 1]


def _gate_entry(rng, num_qubits, gate_id=None):
    gate_id = gate_id or str(rng.choice(list(GATE_POOL)))
    arity, count = GATE_POOL[gate_id]
    qubits = [int(q) for q in rng.permutation(num_qubits)]
    target = tuple(qubits[:arity])
    free = qubits[arity:]
    control = tuple(free[:int(rng.integers(0, min(2, len(free)) + 1))])
    state = None
    if control and rng.random() < 0.5:
        state = tuple(int(bit) for bit in rng.integers(0, 2, len(control)))
    parameters = tuple(float(v) for v in rng.uniform(-np.pi, np.pi, count)) if count else None
    return gate_id, target, control, state, parameters


def random_plan(seed, steps=12):
    rng = np.random.default_rng(seed)
    num_qubits = 3
    plan = []
    for _ in range(steps):
        kind = rng.choice(["gate", "gate", "gate", "multi", "append", "transform", "transform"])
        if kind == "gate":
            plan.append(("gate", _gate_entry(rng, num_qubits), bool(rng.random() < 0.2)))
        elif kind == "multi":
            gate_id = str(rng.choice(SINGLE_TARGET))
            count = int(rng.integers(1, num_qubits + 1))
            targets = [int(q) for q in rng.permutation(num_qubits)[:count]]
            parameters = GATE_POOL[gate_id][1]
            values = tuple(float(v) for v in rng.uniform(-3, 3, parameters)) or None
            plan.append(("multi", gate_id, targets, values, bool(rng.random() < 0.3)))
        elif kind == "append":
            sub = [_gate_entry(rng, 2) for _ in range(int(rng.integers(1, 4)))]
            nested = bool(rng.random() < 0.4)
            qubits = [int(q) for q in rng.permutation(num_qubits)]
            control = tuple(qubits[2:2 + int(rng.integers(0, 2))])
            state = (int(rng.integers(0, 2)),) if control and rng.random() < 0.5 else None
            plan.append(("append", sub, nested, tuple(qubits[:2]), control, state,
                         bool(rng.random() < 0.5)))
        else:
            choices = ["reverse", "inverse", "dagger", "repeat", "decompose"]
            if num_qubits < 5:
                choices.append("control")
            name = str(rng.choice(choices))
            if name == "control":
                plan.append(("control", None if rng.random() < 0.5 else (0,)))
                num_qubits += 1
            else:
                plan.append((name,))
    return plan


def _add(seq, entry, prepend=False):
    gate_id, target, control, state, parameters = entry
    seq.add_gate(seq.gateCreator(gate_id, target, control, state, parameters), prepend=prepend)


def _sub_sequence(cls, entries, name):
    sub = cls(2, name)
    for entry in entries:
        _add(sub, entry)
    return sub


def run_plan(seq, plan, other_cls):
    """Apply the plan to seq; return the final sequence and its snapshots."""
    history = []
    for step in plan:
        op = step[0]
        if op == "gate":
            _add(seq, step[1], prepend=step[2])
        elif op == "multi":
            _, gate_id, targets, parameters, prepend = step
            seq.addMultiTargetGate(gate_id, targets, parameters=parameters, prepend=prepend)
        elif op == "append":
            _, entries, nested, target, control, state, same_kind = step
            cls = type(seq) if same_kind else other_cls
            sub = _sub_sequence(cls, entries, "sub")
            if nested:
                outer = _sub_sequence(cls, [], "outer")
                outer.append(sub, [1, 0])
                outer.append(sub, [0, 1], [], None)
                sub = outer
            seq.append(sub, target, control, state)
        elif op == "repeat":
            seq = seq.repeat(2)
        elif op == "control":
            seq = seq.control(1, step[1])
        else:
            seq = getattr(seq, op)()
        history.append((seq.get_name(), seq._num_qubits, list(seq.data())))
    return seq, history


# A small little-endian reference: qubit q is bit q of the amplitude index,
# and target i of a gate is bit i of its matrix index.

def _gate_operator(gate, num_qubits):
    matrix = np.asarray(gate.matrix, dtype=complex)
    targets, controls, states = gate.target, gate.control, gate.control_state
    dim = 2 ** num_qubits
    operator = np.zeros((dim, dim), dtype=complex)
    target_mask = sum(1 << t for t in targets)
    for column in range(dim):
        if any((column >> c) & 1 != s for c, s in zip(controls, states)):
            operator[column, column] = 1
            continue
        sub = sum(((column >> t) & 1) << i for i, t in enumerate(targets))
        rest = column & ~target_mask
        for row_sub in range(2 ** len(targets)):
            row = rest | sum(((row_sub >> i) & 1) << t for i, t in enumerate(targets))
            operator[row, column] = matrix[row_sub, sub]
    return operator


def _flatten(gates):
    for gate in gates:
        if gate.block_gate_sequence is not None:
            yield from _flatten(gate.decompose())
        else:
            yield gate


def reference_unitary(gates, num_qubits):
    unitary = np.eye(2 ** num_qubits, dtype=complex)
    for gate in _flatten(gates):
        unitary = _gate_operator(gate, num_qubits) @ unitary
    return unitary


def executor_unitary(seq, dtype=np.complex128):
    num_qubits = seq._num_qubits
    columns = []
    for column in range(2 ** num_qubits):
        state = np.zeros(2 ** num_qubits, dtype=dtype)
        state[column] = 1
        out, results = execute_gate_sequence_packed(num_qubits, state, seq._native)
        assert results == {}
        columns.append(out)
    return np.stack(columns, axis=1)


@pytest.mark.parametrize("seed", range(24))
def test_random_plans_agree_with_opchain(seed):
    plan = random_plan(seed)
    listed, listed_history = run_plan(Opchain(3, "main"), plan, OpchainPacked)
    packed, packed_history = run_plan(OpchainPacked(3, "main", np.complex64), plan, Opchain)
    for step, (expected, got) in enumerate(zip(listed_history, packed_history)):
        assert got[:2] == expected[:2], (step, plan[step])
        assert got[2] == expected[2], (step, plan[step])   # list == list of snapshots
        assert expected[2] == got[2]
    assert type(packed) is OpchainPacked and packed.dtype is np.complex64
    assert packed.has_measurement is listed.has_measurement is False
    expected_unitary = reference_unitary(listed.data(), listed._num_qubits)
    np.testing.assert_allclose(reference_unitary(packed.data(), packed._num_qubits),
                               expected_unitary, atol=1e-12)
    np.testing.assert_allclose(executor_unitary(packed), expected_unitary, atol=1e-12)


def test_executor_in_single_precision():
    seq = OpchainPacked(3)
    plan = random_plan(99, steps=8)
    seq, _ = run_plan(seq, plan, Opchain)
    expected = reference_unitary(seq.data(), seq._num_qubits)
    np.testing.assert_allclose(executor_unitary(seq, np.complex64), expected, atol=2e-5)


def test_inverse_undoes_the_sequence():
    seq, _ = run_plan(OpchainPacked(3), random_plan(7, steps=10), Opchain)
    both = OpchainPacked(seq._num_qubits)
    both.append(seq, list(range(seq._num_qubits)))
    both.append(seq.inverse(), list(range(seq._num_qubits)))
    np.testing.assert_allclose(executor_unitary(both), np.eye(2 ** seq._num_qubits), atol=1e-12)


def test_measurement_parity():
    for cls in (Opchain, OpchainPacked):
        seq = cls(2, "m")
        seq.add_gate(QuantumGate(id="h", target=(0,)))
        seq.measure([0, 1], [1, 0])
        nested = cls(3, "n")
        nested.append(seq, [2, 0])
        assert nested.has_measurement is True
        assert nested.control(1).has_measurement is True
    packed_gates = list(nested.data())
    assert packed_gates[0].block_gate_sequence[1].name == "measure"
