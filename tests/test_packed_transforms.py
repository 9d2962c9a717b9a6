"""OpchainPackedNative transformations and queries, checked against the list-based Opchain."""
import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate as Q
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.pelmor.strovane import OpchainPackedNative, execute_gate_sequence_packed

from packed_fields import View, f, store_of


def comps(s):
    return [s.components(i) for i in range(len(s))]


def to_gate(comp):
    id, target, control, state, parameter, name, matrix, block, classical = comp
    children = None if block is None else tuple(to_gate(c) for c in comps(block))
    return Q(id, target, control, state, name, parameter, children, matrix, classical)


def assert_same_gates(got, expected):
    assert len(got) == len(expected)
    for a, b in zip(got, expected):
        assert (a.id, a.target, a.control, a.control_state, a.classical_target) == (
            b.id, b.target, b.control, b.control_state, b.classical_target)
        assert a.name == b.name
        assert (a.parameter is None) == (b.parameter is None)
        if a.parameter is not None:
            assert np.array_equal(np.array(a.parameter), np.array(b.parameter))
            assert [np.signbit(x) for x in a.parameter] == [np.signbit(x) for x in b.parameter]
        assert a.has_stored_matrix == b.has_stored_matrix
        if a.has_stored_matrix:
            np.testing.assert_array_equal(np.asarray(a.stored_matrix), np.asarray(b.stored_matrix))
        assert (a.block_gate_sequence is None) == (b.block_gate_sequence is None)
        if a.block_gate_sequence is not None:
            assert_same_gates(list(a.block_gate_sequence), list(b.block_gate_sequence))


def sample_gates():
    m = np.array([[0, 1j], [1, 0]])
    return [
        Q("h", (0,)), Q("s", (1,)), Q("rx", (2,), parameter=(0.3,)), Q("t", (0,), (1,)),
        Q("ct", (2,), (0,)), Q("mcs", (3,), (0, 1), (1, 0)), Q("s_dag", (0,)), Q("sqrtx_dag", (1,)),
        Q("x2p", (0,)), Q("y2m", (1,)), Q("u", (0,), parameter=(0.1, 0.2, 0.3)), Q("p", (1,), parameter=(0.0,)),
        Q("gphase", (0,), parameter=(0.5,)), Q("mcp", (2,), (0, 1), parameter=(0.25,)),
        Q("rzz", (0, 1), parameter=(0.4,)), Q("x", (0,), name="mine"), Q("measure", (0, 1), classical_target=(0, 1)),
        Q("barrier", (0, 1, 2)), Q("unitary", (0,), matrix=m), Q("unitary", (1,), name="Mat", matrix=m),
        Q("s", (2,), name="S_dag"), Q("foo_dag", (3,)), Q("swap", (1, 3)),
        Q("block", (2, 0), (3,), name="Blk", block_gate_sequence=(Q("h", (0,)), Q("cx", (1,), (0,)), Q("rz", (1,), parameter=(0.2,)))),
    ]


def opchain_of(gates, n=4):
    op = Opchain(n)
    for g in gates:
        op.add_gate(g)
    return op


# --- inverse -------------------------------------------------------------------

def test_inverse_matches_gate_dagger():
    gates = sample_gates()
    s = store_of(*gates)
    before = (comps(s), s.version)
    inv = s.inverse()
    assert (comps(s), s.version) == before
    assert inv.version == len(inv) == len(gates)
    got = [to_gate(c) for c in comps(inv)]
    # A unitary read from a gate object arrives named UNITARY, so both sides
    # agree on UNITARY_dag here; the store's own "U" shows in test_inverse_examples.
    assert_same_gates(got, opchain_of(gates).inverse().data())


def test_inverse_of_self_inverse_ids_with_children_or_matrix_matches_gate_dagger():
    m = np.diag([1, 1j])
    gates = [Q("x", (0,), block_gate_sequence=(Q("s", (0,)),)), Q("h", (1,), matrix=m),
             Q("swap", (0, 1), name="sw", block_gate_sequence=(Q("t", (1,)), Q("h", (0,)))),
             Q("cx", (1,), (0,)), Q("z", (0,), name="Z_dag")]
    inv = store_of(*gates).inverse()
    assert [c[0] for c in comps(inv)] == ["z", "cx", "swap", "h", "x"]
    assert [c[5] for c in comps(inv)] == ["Z_dag", None, "sw_dag", "H_dag", "X_dag"]
    assert_same_gates([to_gate(c) for c in comps(inv)], opchain_of(gates).inverse().data())


def test_inverse_examples():
    s = store_of(f("h"), f("s"), f("rx", parameter=(0.3,)))
    assert [c[0] for c in comps(s.inverse())] == ["rx", "s_dag", "h"]
    assert comps(s.inverse())[0][4] == (-0.3,) and comps(s.inverse())[0][5] == "RX_dag"
    assert comps(s.inverse())[1][5] == "S_dag"
    u2 = store_of(f("u", parameter=(0.1, 0.2)))
    assert comps(u2.inverse())[0][4] == (0.1, 0.2)
    unitary = store_of(f("unitary", name="U", matrix=np.eye(2)))
    assert comps(unitary.inverse())[0][5] == "U_dag"


# (phi, theta) turns back about the same axis; other lengths have no rule.
AXIS_ROTATIONS = [
    (Q("rxy", (0,), parameter=(0.3, 1.1)), (0.3, -1.1)),
    (Q("xyarb", (1,), (0,), (0,), parameter=(-2.5, -0.4)), (-2.5, 0.4)),
    (Q("xyarb", (0,), parameter=(-0.0, 0.0)), (-0.0, -0.0)),
    (Q("rxy_dag", (0,), parameter=(0.7, 2.0)), (0.7, -2.0)),
    (Q("rxy", (0,), parameter=(0.7,)), (0.7,)),
    (Q("xyarb", (0,), parameter=(0.1, 0.2, 0.3)), (0.1, 0.2, 0.3)),
]


@pytest.mark.parametrize("gate, parameter", AXIS_ROTATIONS, ids=lambda case: str(case))
def test_axis_rotations_invert_alike_in_both_paths(gate, parameter):
    inverse = gate.dagger()
    assert inverse.parameter == parameter
    assert [np.signbit(x) for x in inverse.parameter] == [np.signbit(x) for x in parameter]
    assert_same_gates([to_gate(c) for c in comps(store_of(gate).inverse())], [inverse])
    if gate.id in ("rxy", "xyarb") and len(parameter) == 2:
        np.testing.assert_allclose(inverse.matrix @ gate.matrix, np.eye(2), atol=1e-15)


def test_inverse_converts_each_matrix_and_block_once():
    m = np.array([[0, 1j], [1, 0]])
    child = store_of(f("h"), f("s"))
    s = store_of(f("unitary", (0,), name="U", matrix=m), f("Custom", (1,), matrix=m),
                 f("block", (0,), block=View(child)), f("block", (1,), block=View(child)))
    inv = s.inverse()
    c = comps(inv)
    assert c[2][6] is c[3][6] and c[2][6] is not m
    np.testing.assert_array_equal(c[2][6], m.conj().T)
    assert c[0][7] is c[1][7] and inv.block_resource_count == 1
    assert [g[0] for g in comps(c[0][7])] == ["s_dag", "h"]
    assert comps(s)[0][6] is m  # the receiver keeps its own objects


def test_inverse_of_repeat_view_reads_through():
    s = store_of(f("s"), f("t", (1,)))
    v = s.repeat(2)
    inv = v.inverse()
    assert v.is_repeat_view and v.version == 0 and not inv.is_repeat_view
    assert [c[0] for c in comps(inv)] == ["t_dag", "s_dag"] * 2


def test_inverse_with_matrix_conversion_editing_the_receiver():
    s = OpchainPackedNative()

    class Sneaky:
        def __array__(self, dtype=None, copy=None):
            s.clear()
            return np.eye(2)

    s.append_fields(*f("unitary", (0,), name="U", matrix=Sneaky()))
    s.append_fields(*f("h", (1,)))
    inv = s.inverse()
    assert [c[0] for c in comps(inv)] == ["h", "unitary"]
    assert len(s) == 0


# --- reverse_qubits ------------------------------------------------------------

def test_reverse_qubits_mirrors_and_keeps_block_children():
    child = store_of(f("h", (0,)), f("cx", (1,), (0,)))
    s = store_of(f("cx", (2,), (0,)), f("block", (0, 1), block=View(child)),
                 f("mcx", (1,), (0, 2), (0, 1), name="nm"))
    before = (comps(s), s.version)
    r = s.reverse_qubits(3)
    assert (comps(s), s.version) == before
    c = comps(r)
    assert c[0][:3] == ("cx", (0,), (2,))
    assert c[1][1] == (2, 1) and comps(c[1][7]) == comps(child)
    assert c[2][:6] == ("mcx", (1,), (2, 0), (0, 1), None, "nm")
    assert r.version == 3


def test_reverse_qubits_matches_opchain_reverse():
    gates = [g for g in sample_gates() if g.id != "block"]
    got = [to_gate(c) for c in comps(store_of(*gates).reverse_qubits(4))]
    assert_same_gates(got, opchain_of(gates).reverse().data())


def test_reverse_qubits_errors():
    s = store_of(f("x", (3,)))
    with pytest.raises(ValueError, match="^num_qubits must be non-negative$"):
        s.reverse_qubits(-1)
    with pytest.raises(IndexError, match="qubit 3"):
        s.reverse_qubits(3)
    with pytest.raises(IndexError):
        store_of(f("x", (0,), (5,))).reverse_qubits(2)
    assert len(OpchainPackedNative().reverse_qubits(0)) == 0
    with pytest.raises(IndexError):
        s.reverse_qubits(2**40)
    assert len(s) == 1 and s.version == 1


# --- decompose -------------------------------------------------------------------

def nested_store():
    inner = store_of(f("h", (0,)), f("cz", (1,), (0,)))
    middle = store_of(f("block", (1, 0), name="A", block=View(inner)), f("x", (0,)))
    return store_of(f("y", (3,)), f("block", (2, 0), (3,), (0,), name="B", block=View(middle)),
                    f("block", (1, 2), name="a", block=View(inner)), f("z", (1,)))


@pytest.mark.parametrize("levels, names", [(1, None), (2, None), (3, None), (1, ["B"]), (2, ["B", "A"]),
                                           (2, ["A"]), (1, ["a"]), (2, []), (1, ("Q",))])
def test_decompose_matches_opchain(levels, names):
    s = nested_store()
    before = (comps(s), s.version)
    d = s.decompose(levels, names)
    assert (comps(s), s.version) == before
    expected = opchain_of([to_gate(c) for c in comps(s)]).decompose(levels, names).data()
    assert_same_gates([to_gate(c) for c in comps(d)], expected)


def test_decompose_forms_and_versions():
    s = nested_store()
    d = s.decompose()
    assert [c[0] for c in comps(d)] == ["y", "block", "x", "h", "cz", "z"]
    assert d.version == s.version + 4
    # The inner block lands on mapped qubits under the outer control.
    assert comps(d)[1][1:4] == ((0, 2), (3,), (0,))
    assert [c[0] for c in comps(s.decompose(levels=2, selected_names=["B", "A"]))] == [
        "y", "h", "cz", "x", "block", "z"]
    assert [c[0] for c in comps(s.decompose(selected_names="aB"))] == ["y", "block", "x", "h", "cz", "z"]
    same = s.decompose(0)
    assert comps(same) == comps(s) and same is not s and same.version == s.version
    plain = store_of(f("h"))
    assert plain.decompose(5).version == plain.version


def test_decompose_empty_blocks_and_errors():
    s = store_of(f("block", (0,), name="E", block=[]), f("h"))
    assert [c[0] for c in comps(s.decompose(selected_names=["X"]))] == ["block", "h"]
    assert [c[0] for c in comps(s.decompose())] == ["h"]
    bad = store_of(f("block", (0,), block=View(store_of(f("x", (1,))))))
    with pytest.raises(IndexError, match="^invalid vector subscript$"):
        bad.decompose()
    with pytest.raises(TypeError):
        s.decompose(1, 5)
    with pytest.raises(TypeError, match=r"^Gate name must be text \(str\), got int\.$"):
        s.decompose(1, [5])
    with pytest.raises(TypeError):
        s.decompose(-1)
    assert [c[0] for c in comps(s.decompose(1, [b"E"]))] == ["h"]


def test_decompose_of_repeat_view_equals_materialised():
    s = nested_store()
    v = s.repeat(2)
    d = v.decompose(2)
    assert v.is_repeat_view and len(v) == 8
    m = s.repeat(2)
    m.append_fields(*f("h"))
    m.erase(8)
    assert [to_gate(c) for c in comps(d)] == [to_gate(c) for c in comps(m.decompose(2))]
    nothing = store_of(f("h")).repeat(3).decompose()
    assert nothing.is_repeat_view and len(nothing) == 3


# --- transformations as the executor sees them ----------------------------------

def random_store(rng, k, depth=0):
    """A few gates on k qubits, with nested blocks (some of them repeat views)."""
    s = OpchainPackedNative()
    for _ in range(int(rng.integers(1, 6))):
        q = [int(x) for x in rng.permutation(k)]
        if depth < 2 and k >= 2 and rng.random() < 0.2:
            m = int(rng.integers(1, k + 1))
            child = random_store(rng, m, depth + 1)
            child = child.repeat(2) if rng.random() < 0.3 else child
            nc = int(rng.integers(0, k - m + 1))
            s.append_fields(*f("block", tuple(q[:m]), tuple(q[m:m + nc]), tuple(int(v) for v in rng.integers(0, 2, nc)),
                               name="B", block=View(child)))
            continue
        gid = str(rng.choice(["x", "h", "y", "s", "t", "sqrtx", "sqrty_dag", "rx", "rz", "p", "u", "mcrz", "ct",
                              "swap", "rzz", "unitary"]))
        nt = 2 if gid in ("swap", "rzz", "unitary") else 1
        if nt > k:
            gid, nt = "h", 1
        nc = int(rng.integers(0, min(2, k - nt) + 1))
        params = (float(rng.uniform(-3, 3)),) if gid in ("rx", "rz", "p", "mcrz", "rzz") else None
        params = tuple(float(v) for v in rng.uniform(-3, 3, 3)) if gid == "u" else params
        matrix = np.linalg.qr(rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4)))[0] if gid == "unitary" else None
        s.append_fields(*f(gid, tuple(q[:nt]), tuple(q[nt:nt + nc]), tuple(int(v) for v in rng.integers(0, 2, nc)),
                           params, "U" if matrix is not None else None, matrix))
    return s


@pytest.mark.parametrize("seed", range(40))
def test_transformations_agree_with_execution(seed):
    # The walk and decompose expand blocks alike; inverse undoes the circuit;
    # reverse_qubits is the circuit on bit-reversed amplitude indices.
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 6))
    s = random_store(rng, n)
    s = s.repeat(2) if seed % 3 == 0 else s
    v = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    v /= np.linalg.norm(v)
    run = lambda store, state: execute_gate_sequence_packed(n, state.copy(), store)[0]
    out = run(s, v)
    flat = s.decompose(10)
    assert all(flat.components(i)[7] is None for i in range(len(flat)))
    np.testing.assert_allclose(run(flat, v), out, atol=1e-12)
    np.testing.assert_allclose(run(s.inverse(), out), v, atol=1e-12)
    mirror = [int(format(i, f"0{n}b")[::-1], 2) for i in range(2**n)]
    np.testing.assert_allclose(run(s.reverse_qubits(n), v[mirror]), out[mirror], atol=1e-12)


# --- queries ----------------------------------------------------------------------

@pytest.mark.parametrize("gates, plan", [
    ([], ("none", (), ())),
    ([f("h")], ("none", (), ())),
    ([f("measure", (0,), classical=(0,)), f("measure", (1,), classical=(1,)), f("i", (2,))],
     ("terminal", (0, 1), (0, 1))),
    ([f("measure", (0, 1), classical=(5, 4)), f("x", (2,))], ("dynamic", (), ())),
    ([f("measure", (0,), classical=(0,)), f("measure", (0,), classical=(1,))], ("dynamic", (), ())),
    ([f("measure", (0,), (1,), classical=(0,))], ("dynamic", (), ())),
    ([f("measure", (0,))], ("dynamic", (), ())),
    ([f("measure", (0, 1), classical=(0,))], ("dynamic", (), ())),
    ([f("measure", (0,), classical=(0,)), f("barrier", (0,))], ("dynamic", (), ())),
    ([f("h"), f("measure", (2,), classical=(0,))], ("terminal", (2,), (0,))),
])
def test_measurement_plan(gates, plan):
    s = store_of(*gates)
    assert s.measurement_plan() == plan
    assert s.has_measurement() == (plan[0] != "none")


def test_measurement_inside_block_and_views():
    inner = store_of(f("measure", (0,), classical=(3,)))
    s = store_of(f("h", (1,)), f("block", (5,), block=View(inner)))
    assert s.has_measurement()
    assert s.measurement_plan() == ("terminal", (5,), (3,))
    assert s.repeat(2).measurement_plan() == ("dynamic", (), ())
    assert s.repeat(1).measurement_plan() == ("terminal", (5,), (3,))
    assert store_of(f("h")).repeat(2).measurement_plan() == ("none", (), ())


def test_block_local_errors_in_queries():
    inner = store_of(f("x", (2,)))
    s = store_of(f("block", (0, 1), block=View(inner)), f("measure", (0,), classical=(0,)))
    with pytest.raises(RuntimeError, match="^block-local qubit index out of range$"):
        s.measurement_plan()
    with pytest.raises(RuntimeError, match="^block-local qubit index out of range$"):
        s.bulk_supported()
    assert s.has_measurement()
    untargeted = store_of(f("block", (), block=View(inner)))
    assert untargeted.bulk_supported()


def test_bulk_supported():
    assert OpchainPackedNative().bulk_supported()
    # A barrier runs as nothing.
    assert store_of(f("barrier")).bulk_supported()
    assert not store_of(f("unitary")).bulk_supported()
    assert store_of(f("Custom", matrix=np.eye(2))).bulk_supported()
    assert store_of(f("block", (0, 1), block=[Q("h", (0,)), Q("cx", (1,), (0,))])).bulk_supported()
    assert store_of(f("block", (0,), block=[Q("barrier", (0,))])).bulk_supported()
    assert not store_of(f("block", (0,), block=[Q("x2p", (0,))])).bulk_supported()
    # Answered from the base: a huge view returns at once.
    huge = store_of(f("h"), f("x2p")).repeat(2**40)
    assert not huge.bulk_supported()
    assert store_of(f("h")).repeat(2**40).repeat(2**20).bulk_supported()


def test_repeat_view_as_nested_block_is_walked_repeatedly():
    leaf = store_of(f("mcx", (2,), (0, 1), (1, 0)), f("Custom", (0,), matrix=np.eye(2)),
                    f("measure", (1,), classical=(1,)))
    s = store_of(f("block", (4, 5, 6), block=View(leaf.repeat(2))))
    assert s.measurement_plan() == ("dynamic", (), ())
    assert s.bulk_supported()
