"""Opchain transformations and naming rules, checked symbolically and against a small simulator."""

import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate as Q
from quorvex.backend.opchain.opchain import Opchain, materialize_gate_sequence

from block_loops import Loop


# ---------------------------------------------------------------------------
# A little-endian state-vector simulator, written independently of the
# block-expansion code under test: composite gates are run by placing their
# children directly, not through QuantumGate.decompose.
# ---------------------------------------------------------------------------

def _apply(state, matrix, targets, controls, states):
    out = state.copy()
    k = len(targets)
    for index in range(state.size):
        if any((index >> t) & 1 for t in targets):
            continue
        if any(((index >> c) & 1) != (1 if s == 1 else 0) for c, s in zip(controls, states)):
            continue
        rows = [index | sum(((r >> j) & 1) << t for j, t in enumerate(targets)) for r in range(1 << k)]
        out[rows] = matrix @ state[rows]
    return out


def _run(state, gate, targets, controls, states):
    children = gate.block_gate_sequence
    if children is None:
        return _apply(state, np.asarray(gate.matrix), targets, controls, states)
    for child in children:
        state = _run(state, child,
                     [targets[q] for q in child.target],
                     controls + [targets[q] for q in child.control],
                     states + list(child.control_state))
    return state


def unitary(seq, num_qubits=None):
    n = seq._num_qubits if num_qubits is None else num_qubits
    dim = 1 << n
    result = np.zeros((dim, dim), dtype=complex)
    for col in range(dim):
        state = np.zeros(dim, dtype=complex)
        state[col] = 1
        for gate in seq.data():
            state = _run(state, gate, list(gate.target), list(gate.control), list(gate.control_state))
        result[:, col] = state
    return result


def _reversal(n):
    dim = 1 << n
    perm = np.zeros((dim, dim))
    for i in range(dim):
        j = int(format(i, "0%db" % n)[::-1], 2)
        perm[j, i] = 1
    return perm


def random_sequence(n, seed, depth=12, name="Sequence"):
    rng = np.random.default_rng(seed)
    seq = Opchain(n, name)
    one = ["h", "x", "y", "z", "s", "s_dag", "t", "t_dag", "sqrtx", "sqrtx_dag", "sqrty",
           "sqrty_dag", "x2p", "x2m", "y2p", "y2m"]
    angle = ["rx", "ry", "rz", "p"]
    for _ in range(depth):
        kind = rng.integers(5)
        qubits = [int(q) for q in rng.permutation(n)]
        if kind == 0:
            seq.add_gate(Q(str(rng.choice(one)), qubits[0]))
        elif kind == 1:
            seq.add_gate(Q(str(rng.choice(angle)), qubits[0], parameter=rng.uniform(-3, 3)))
        elif kind == 2:
            seq.add_gate(Q("u", qubits[0], control=qubits[1], control_state=int(rng.integers(2)),
                           parameter=tuple(rng.uniform(-3, 3, 3))))
        elif kind == 3 and n >= 3:
            seq.add_gate(Q("rzz", qubits[:2], control=qubits[2], parameter=rng.uniform(-3, 3)))
        else:
            seq.add_gate(Q("swap", qubits[:2]))
    inner = Opchain(2, "Inner")
    inner.add_gate(Q("h", 0))
    inner.add_gate(Q("cx", 1, control=0))
    inner.add_gate(Q("gp", (), parameter=0.3))
    seq.append(inner, [n - 1, 0], control=[1] if n > 2 else None, control_state=[0] if n > 2 else None)
    return seq


# ---------------------------------------------------------------------------
# Names and has_measurement
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("name, end, expected", [
    ("Sequence", "_dagger", "Sequence_dagger"),
    ("Sequence_dagger", "_dagger", "Sequence"),
    ("Sequence_reversed", "_dagger", "Sequence_reversed_dagger"),
    ("Sequence", "", "Sequence"),
])
def test_check_new_name(name, end, expected):
    seq = Opchain(1, name)
    assert seq.check_new_name(end) == expected
    assert seq.get_name() == name


def test_check_new_name_declared_str():
    with pytest.raises(TypeError, match="Argument 'end'"):
        Opchain(1).check_new_name(None)


def test_has_measurement_searches_nested_blocks():
    seq = Opchain(2)
    assert seq.has_measurement is False
    measure = Q("measure", 0, classical_target=[0])
    deep = Q("block", [0], block_gate_sequence=[Q("block", [0], block_gate_sequence=[measure])])
    seq.add_gate(Q("x", 0))
    seq.add_gate(Q("block", [0, 1], block_gate_sequence=()))
    assert seq.has_measurement is False
    seq.add_gate(Q("custom", [1], block_gate_sequence=[deep]))
    assert seq.has_measurement is True


# ---------------------------------------------------------------------------
# Transformations, symbolically
# ---------------------------------------------------------------------------

def test_reverse_mirrors_qubits_and_toggles_name():
    seq = Opchain(3)
    seq.add_gate(Q("h", 0))
    seq.add_gate(Q("cx", 2, control=0, classical_target=[0]))
    rev = seq.reverse()
    assert rev.get_name() == "Sequence_reversed"
    assert rev.data() == [Q("h", 2), Q("cx", 0, control=2, classical_target=[0])]
    back = rev.reverse()
    assert back.get_name() == "Sequence" and back.data() == seq.data()
    assert Opchain(3).reverse().data() == []
    with pytest.raises(ValueError, match="at least one target"):
        Opchain(0).reverse()
    out_of_range = Opchain(2)
    out_of_range.add_gate(Q("x", 2))
    with pytest.raises(IndexError):
        out_of_range.reverse()


def test_reverse_keeps_nested_children_by_position():
    child = Q("block", [0, 2], block_gate_sequence=(Q("x", 0),))
    seq = Opchain(3)
    seq.add_gate(child)
    mirrored = seq.reverse().data()[0]
    assert mirrored.target == (2, 0) and mirrored.block_gate_sequence is child.block_gate_sequence


@pytest.mark.parametrize("times, count, name", [(3, 6, "Sequence**3"), (0, 0, "Sequence**0"),
                                                (2.9, 4, "Sequence**2")])
def test_repeat(times, count, name):
    seq = Opchain(1)
    seq.add_gate(Q("h", 0))
    seq.add_gate(Q("x", 0))
    rep = seq.repeat(times)
    assert rep.get_name() == name and len(rep.data()) == count
    assert all(g is seq.data()[i % 2] for i, g in enumerate(rep.data()))
    assert len(seq.data()) == 2
    with pytest.raises(TypeError, match="Argument 'times'"):
        seq.repeat("2")


@pytest.mark.parametrize("times", [-1, -2.5, -(2**70)])
def test_negative_repeat_is_refused(times):
    # An empty result would pass for the inverse power.
    seq = Opchain(1)
    seq.add_gate(Q("s", 0))
    with pytest.raises(ValueError, match=r"^times must be non-negative, got -\d+\.$"):
        seq.repeat(times)
    assert len(seq.data()) == 1


@pytest.mark.parametrize("method", ["inverse", "dagger"])
def test_inverse(method):
    seq = Opchain(2)
    seq.add_gate(Q("s", 0))
    seq.add_gate(Q("rx", 1, parameter=0.5))
    seq.add_gate(Q("h", 1))
    inv = getattr(seq, method)()
    assert inv.get_name() == "Sequence_dagger"
    assert [(g.id, g.target, g.parameter) for g in inv.data()] == \
        [("h", (1,), None), ("rx", (1,), (-0.5,)), ("s_dag", (0,), None)]
    assert inv.data()[0] is seq.data()[2]
    twice = getattr(inv, method)()
    assert twice.get_name() == "Sequence"
    assert [(g.id, g.parameter) for g in twice.data()] == [(g.id, g.parameter) for g in seq.data()]


def test_decompose():
    inner = Q("block", [1], name="Inner", block_gate_sequence=[Q("x", 0)])
    seq = Opchain(2)
    seq.add_gate(Q("block", [0, 1], name="Outer", block_gate_sequence=[Q("h", 0), inner]))
    seq.add_gate(Q("block", [0], block_gate_sequence=()))
    assert seq.decompose(0) is seq and seq.decompose(-3) is seq
    once = seq.decompose()
    assert once.get_name() == "Sequence"
    assert once.data()[0] == Q("h", 0) and once.data()[1].block_gate_sequence is inner.block_gate_sequence
    assert len(once.data()) == 2
    assert seq.decompose(2).data() == [Q("h", 0), Q("x", 1)]
    kept = seq.decompose(name="nobody").data()
    assert kept == [seq.data()[0]] and kept[0] is seq.data()[0]
    assert seq.decompose(name=["Outer"]).data()[0] == Q("h", 0)
    with pytest.raises(TypeError):
        seq.decompose(1.5)


def test_control():
    seq = Opchain(3)
    seq.add_gate(Q("h", 0))
    ctl = seq.control(2)
    gate = ctl.data()[0]
    assert (ctl._num_qubits, ctl.get_name()) == (5, "Sequence_controlled_by_2_qubits")
    assert (gate.id, gate.target, gate.control, gate.control_state, gate.name) == \
        ("block", (0, 1, 2), (3, 4), (1, 1), "Sequence")
    assert gate.block_gate_sequence == tuple(seq.data())
    seq.add_gate(Q("x", 1))
    assert len(gate.block_gate_sequence) == 1
    assert seq.control(1, [0]).data()[0].control_state == (0,)
    zero = seq.control(0)
    assert zero.get_name() == "Sequence_controlled_by_0_qubits" and zero.data()[0].control == ()
    with pytest.raises(ValueError, match="control_state length"):
        seq.control(2, (1,))
    with pytest.raises(ValueError, match="only 0 or 1"):
        seq.control(1, (2,))
    with pytest.raises(ValueError, match="at least one target"):
        Opchain(0).control(1)


def test_control_refuses_a_negative_count():
    created = []

    class Watched(Opchain):
        def __init__(self, *args, **kwargs):
            created.append(args)
            super().__init__(*args, **kwargs)

    seq = Watched(2)
    created.clear()
    with pytest.raises(ValueError, match="non-negative"):
        seq.control(-1)
    assert created == []


def test_derived_sequences_take_the_default_dtype():
    seq = Opchain(2, dtype=np.complex64)
    seq.add_gate(Q("h", 0))
    for derived in (seq.reverse(), seq.repeat(2), seq.inverse(), seq.dagger(),
                    seq.decompose(), seq.control(1), seq.copy()):
        assert derived.dtype == np.complex128


def test_transformations_use_the_receiver_class():
    class Mine(Opchain):
        pass

    seq = Mine(2)
    seq.add_gate(Q("block", [0], block_gate_sequence=[Q("h", 0)]))
    for derived in (seq.reverse(), seq.repeat(2), seq.inverse(), seq.decompose(), seq.control(1), seq.copy()):
        assert type(derived) is Mine


# ---------------------------------------------------------------------------
# Transformations, numerically
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("n", [2, 3])
def test_inverse_undoes_the_sequence(n, seed):
    seq = random_sequence(n, seed)
    u = unitary(seq)
    np.testing.assert_allclose(unitary(seq.inverse()) @ u, np.eye(1 << n), atol=1e-10)


@pytest.mark.parametrize("seed", range(4))
def test_reverse_conjugates_by_the_qubit_reversal(seed):
    seq = random_sequence(3, seed)
    p = _reversal(3)
    np.testing.assert_allclose(unitary(seq.reverse()), p @ unitary(seq) @ p, atol=1e-10)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("k, states", [(1, None), (1, [0]), (2, [0, 1]), (2, None)])
def test_control_is_the_block_diagonal_controlled_unitary(seed, k, states):
    seq = random_sequence(2, seed)
    u = unitary(seq)
    controlled = unitary(seq.control(k, states))
    wanted = [1] * k if states is None else states
    # control qubits are the high bits: block index = value of qubits n..n+k-1
    active = sum(s << j for j, s in enumerate(wanted))
    dim = u.shape[0]
    expected = np.eye(dim << k, dtype=complex)
    expected[active * dim:(active + 1) * dim, active * dim:(active + 1) * dim] = u
    np.testing.assert_allclose(controlled, expected, atol=1e-10)


@pytest.mark.parametrize("times", [0, 1, 3])
def test_repeat_is_a_power(times):
    seq = random_sequence(2, 7)
    np.testing.assert_allclose(unitary(seq.repeat(times)),
                               np.linalg.matrix_power(unitary(seq), times), atol=1e-10)


@pytest.mark.parametrize("seed", range(3))
def test_decompose_preserves_the_unitary(seed):
    seq = random_sequence(3, seed)
    wrapped = Opchain(3)
    wrapped.append(seq, [2, 0, 1], control=None)
    u = unitary(wrapped)
    for passes in (1, 2, 3):
        flat = wrapped.decompose(passes)
        np.testing.assert_allclose(unitary(flat), u, atol=1e-10)
    assert all(g.block_gate_sequence is None for g in wrapped.decompose(3).data())


def test_append_with_controls_places_the_sequence():
    inner = random_sequence(2, 11)
    outer = Opchain(4)
    outer.append(inner, [3, 1], control=[0, 2], control_state=[1, 0])
    # the same thing built by hand: swap the inner qubits into place, control them
    u_inner = unitary(inner)
    expected = np.eye(16, dtype=complex)
    for col in range(16):
        if (col & 1) != 1 or ((col >> 2) & 1) != 0:
            continue
        sub_col = ((col >> 3) & 1) | (((col >> 1) & 1) << 1)
        for sub_row in range(4):
            row = (col & ~0b1010) | ((sub_row & 1) << 3) | (((sub_row >> 1) & 1) << 1)
            expected[row, col] = u_inner[sub_row, sub_col]
    np.testing.assert_allclose(unitary(outer), expected, atol=1e-10)


# ---------------------------------------------------------------------------
# Nesting deeper than the C stack would allow a recursive walk
# ---------------------------------------------------------------------------

DEPTH = 60_000


def _innermost(gate):
    depth = 0
    while gate.block_gate_sequence is not None:
        (gate,) = gate.block_gate_sequence
        depth += 1
    return gate, depth


@pytest.fixture(scope="module")
def deep_sequences():
    """Two sequences whose one gate nests DEPTH blocks, around an s and around a measurement."""
    made = []
    for leaf in (Q("s", 0), Q("measure", 0, classical_target=0)):
        gate = leaf
        for _ in range(DEPTH):
            gate = Q("block", 0, block_gate_sequence=(gate,))
        seq = Opchain(1)
        seq.add_gate(gate)
        made.append(seq)
    return made


@pytest.mark.parametrize("walk, check", [
    (lambda seq: seq.inverse().data()[0], lambda g: (g[0].id, g[1], g[0].name) == ("s_dag", DEPTH, "S_dag")),
    (lambda seq: seq.data()[0].dagger(), lambda g: (g[0].id, g[1]) == ("s_dag", DEPTH)),
    (lambda seq: materialize_gate_sequence(seq.data())[0], lambda g: (g[0].id, g[1]) == ("s", DEPTH)),
])
def test_deep_nesting_is_walked_without_recursion(deep_sequences, walk, check):
    assert check(_innermost(walk(deep_sequences[0])))


def test_deep_nesting_measurement_is_found(deep_sequences):
    assert [seq.has_measurement for seq in deep_sequences] == [False, True]


def _sequence_of(gate):
    seq = Opchain(1)
    seq.add_gate(gate)
    return seq


@pytest.mark.parametrize("walk", [
    lambda gate: gate.dagger(),
    lambda gate: materialize_gate_sequence([gate]),
    lambda gate: _sequence_of(gate).has_measurement,
    lambda gate: _sequence_of(Q("block", 0, block_gate_sequence=(gate,))).inverse(),
    lambda gate: _sequence_of(gate).to_openqasm(),
    lambda gate: _sequence_of(gate).to_openqasm2(),
])
def test_block_that_contains_itself_is_refused(walk):
    # Walked without end, the explicit stack would grow until memory ran out.
    with pytest.raises(RecursionError, match="^a gate block contains itself$"):
        walk(Loop().gate)
