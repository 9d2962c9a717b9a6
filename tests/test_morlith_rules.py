"""QuantumGate.dagger and QuantumGate.decompose."""
import zlib

import numpy as np
import pytest

import quorvex.backend.gate.morlith as morlith
from quorvex.backend.gate.morlith import QuantumGate as Q

SELF_INVERSE = ["x", "y", "z", "h", "ch", "cx", "cy", "cz", "i", "cnot", "swap",
                "mcx", "mcy", "mcz", "mch"]
INVERSE_IDS = {
    "s": "s_dag", "s_dag": "s", "t": "t_dag", "t_dag": "t",
    "sqrtx": "sqrtx_dag", "sqrtx_dag": "sqrtx", "sqrty": "sqrty_dag", "sqrty_dag": "sqrty",
    "x2p": "x2m", "x2m": "x2p", "y2p": "y2m", "y2m": "y2p",
    "cs": "s_dag", "mcs": "s_dag", "ct": "t_dag", "mct": "t_dag",
}
NEGATED = ["rx", "ry", "rz", "rzz", "p", "gp", "gphase", "global_phase",
           "crx", "cry", "crz", "cp", "mcrx", "mcry", "mcrz", "mcp"]
TWO_TARGET = {"swap", "rzz"}


def _targets(gate_id):
    return (1, 2) if gate_id in TWO_TARGET else (1,)


# ---------------------------------------------------------------------------
# Inversion tables, symbolically
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("gate_id", SELF_INVERSE)
def test_self_inverse_ids_return_the_receiver(gate_id):
    gate = Q(gate_id, _targets(gate_id), control=0, control_state=0, name="custom")
    assert gate.dagger() is gate


# A self-inverse id with children or a stored matrix is not its own inverse:
# (gate, expected id, name, children's ids, whether the matrix is conjugated)
M_S = np.diag([1, 1j])
SELF_INVERSE_ID_COMPOSITES = [
    (Q("x", 0, block_gate_sequence=(Q("s", 0),)), "x", "X_dag", ("s_dag",), False),
    (Q("h", 1, control=0, block_gate_sequence=(Q("t", 0), Q("h", 0))), "h", "H_dag", ("h", "t_dag"), False),
    (Q("swap", (0, 1), name="custom", block_gate_sequence=()), "swap", "custom_dag", (), False),
    (Q("z", 0, matrix=M_S), "z", "Z_dag", None, True),
    (Q("cx", 1, control=0, name="X_dag", matrix=M_S), "cx", "X", None, True),
]


@pytest.mark.parametrize("gate, gate_id, name, children, conjugated", SELF_INVERSE_ID_COMPOSITES)
def test_self_inverse_id_with_children_or_matrix_is_inverted(gate, gate_id, name, children, conjugated):
    inverse = gate.dagger()
    assert inverse is not gate
    assert (inverse.id, inverse.name, inverse.target, inverse.control) == (gate_id, name, gate.target, gate.control)
    if children is None:
        assert inverse.block_gate_sequence is None
    else:
        assert tuple(child.id for child in inverse.block_gate_sequence) == children
    if conjugated:
        np.testing.assert_array_equal(inverse.stored_matrix, M_S.conj().T)
    if children is not None:
        assert inverse.dagger() == gate


@pytest.mark.parametrize("gate_id, inverse_id", sorted(INVERSE_IDS.items()))
def test_table_ids_map_and_keep_qubits(gate_id, inverse_id):
    gate = Q(gate_id, 3, control=[0, 1], control_state=[0, 1], classical_target=[4])
    inverse = gate.dagger()
    assert inverse.id == inverse_id
    assert inverse.name == gate_id.upper() + "_dag"
    assert (inverse.target, inverse.control, inverse.control_state, inverse.classical_target) == \
        ((3,), (0, 1), (0, 1), (4,))
    assert inverse.parameter is None


@pytest.mark.parametrize("gate_id", NEGATED)
def test_angle_ids_negate(gate_id):
    gate = Q(gate_id, _targets(gate_id), parameter=0.3)
    inverse = gate.dagger()
    assert (inverse.id, inverse.parameter, inverse.name) == (gate_id, (-0.3,), gate_id.upper() + "_dag")


def test_u_reorders_and_negates():
    assert Q("u", 0, parameter=(0.1, 0.2, 0.3)).dagger().parameter == (-0.1, -0.3, -0.2)


def test_names_toggle_and_fall_back_to_default():
    s_inv = Q("s", 0).dagger()
    assert (s_inv.id, s_inv.name, s_inv._extra) == ("s_dag", "S_dag", {"name": "S_dag"})
    back = s_inv.dagger()
    assert (back.id, back.name, back._extra) == ("s", "S", None)
    assert back == Q("s", 0)
    direct = Q("s_dag", 0).dagger()
    assert (direct.id, direct.name) == ("s", "S_DAG_dag")
    assert Q("x2p", 0).dagger().name == "X2P_dag"
    assert Q("measure", 0, classical_target=[0], name="measure").dagger().name == "measure_dag"
    assert Q("h", 0, name="_dag").name == "_dag"
    assert Q("rz", 0, parameter=1.0, name="_dag").dagger().name == ""


def test_unknown_ids_strip_the_suffix_or_only_rename():
    custom = Q("foo_dag", 0, parameter=(0.5, 0.25))
    inverse = custom.dagger()
    assert (inverse.id, inverse.parameter, inverse.name) == ("foo", (0.5, 0.25), "FOO_DAG_dag")
    # a custom id carrying the suffix follows the rule of its base id for parameters
    assert Q("rx_dag", 0, parameter=0.5).dagger().parameter == (-0.5,)
    # no inverse rule and no matrix: only the name changes
    for gate in (Q("measure", [0, 1], classical_target=[0, 1]), Q("barrier", [0, 2]), Q("rxy", 0, parameter=0.7)):
        inverse = gate.dagger()
        assert (inverse.id, inverse.target, inverse.parameter, inverse.classical_target) == \
            (gate.id, gate.target, gate.parameter, gate.classical_target)
        assert inverse.name == gate.name + "_dag"


def test_stored_matrix_is_conjugate_transposed_not_touched():
    rng = np.random.default_rng(1)
    m = rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4))
    before = m.copy()
    inverse = Q("unitary", [0, 1], matrix=m).dagger()
    assert (inverse.id, inverse.name) == ("unitary", "UNITARY_dag")
    np.testing.assert_array_equal(inverse.stored_matrix, m.conj().T)
    np.testing.assert_array_equal(m, before)
    listed = Q("unitary", 0, matrix=[[0, 1j], [2, 3]]).dagger().stored_matrix
    np.testing.assert_array_equal(listed, [[0, 2], [-1j, 3]])


def test_children_are_inverted_in_reverse_order():
    h, cx, s = Q("h", 0), Q("cx", 1, control=0), Q("s", 1)
    block = Q("block", [2, 3], name="Sequence", block_gate_sequence=(h, cx, s))
    inverse = block.dagger()
    assert (inverse.id, inverse.name) == ("block", "Sequence_dag")
    children = inverse.block_gate_sequence
    assert children[0] == s.dagger() and children[1] is cx and children[2] is h
    assert Q("block", [0], block_gate_sequence=()).dagger().block_gate_sequence == ()
    nested = Q("block", [0, 1], block_gate_sequence=[block.replace(target=[0, 1])]).dagger()
    assert nested.block_gate_sequence[0].block_gate_sequence[0] == s.dagger()


def test_dagger_failures_build_nothing(monkeypatch):
    with pytest.raises(AttributeError):
        Q("block", [0], block_gate_sequence=[object()]).dagger()
    # the validator stops short u parameter tuples at construction; bypass it
    monkeypatch.setattr(morlith, "validate_gate_parameters", lambda gate_id, p: p)
    with pytest.raises(ValueError, match=r"^need more than 2 values to unpack$"):
        Q("u", 0, parameter=(0.1, 0.2)).dagger()
    with pytest.raises(ValueError, match=r"^need more than 1 value to unpack$"):
        Q("u", 0, parameter=(0.1,)).dagger()
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 3\)$"):
        Q("u", 0, parameter=(0.1, 0.2, 0.3, 0.4)).dagger()
    with pytest.raises(TypeError):
        Q("u", 0, parameter=(1j, 0.2, 0.3)).dagger()
    with pytest.raises(TypeError):
        Q("u", 0, parameter=(0.1, "0.2", 0.3)).dagger()
    with pytest.raises(TypeError, match="expected tuple, got list"):
        Q("rx", 0, parameter=[0.5]).dagger()


def test_subclass_records_stay_subclass():
    class Sub(Q):
        __slots__ = ()

    assert type(Sub("s", 0).dagger()) is Sub
    assert type(Sub("block", [0], block_gate_sequence=[Q("h", 0)]).decompose()[0]) is Sub


def test_private_helpers():
    assert morlith._dagger_name("S") == "S_dag"
    assert morlith._dagger_name("S_dag") == "S"
    with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
        morlith._dagger_name(None)
    assert morlith._negate_parameter_value(None) is None
    assert morlith._negate_parameter_value(2.0) == -2.0
    assert morlith._negate_parameter_value((1.0, -2.0)) == (-1.0, 2.0)
    params = (1.0,)
    assert morlith._dagger_parameter("h", params) is params
    assert morlith._dagger_parameter("RX", (1.0,)) == (-1.0,)


# ---------------------------------------------------------------------------
# Inversion, numerically
# ---------------------------------------------------------------------------

PARAMETER_COUNTS = {gid: 1 for gid in NEGATED}
PARAMETER_COUNTS["u"] = 3
STANDARD_IDS = sorted(set(SELF_INVERSE) | set(INVERSE_IDS) | set(NEGATED) | {"u"})


@pytest.mark.parametrize("gate_id", STANDARD_IDS)
def test_dagger_matrix_is_the_adjoint(gate_id):
    rng = np.random.default_rng(zlib.crc32(gate_id.encode()))
    count = PARAMETER_COUNTS.get(gate_id, 0)
    parameter = tuple(rng.uniform(-np.pi, np.pi, count)) if count else None
    targets = _targets(gate_id)
    gate = Q(gate_id, targets, parameter=parameter)
    np.testing.assert_allclose(gate.dagger().matrix, gate.matrix.conj().T, atol=1e-12)
    np.testing.assert_allclose(gate.dagger().matrix @ gate.matrix, np.eye(2 ** len(targets)), atol=1e-12)


# ---------------------------------------------------------------------------
# decompose
# ---------------------------------------------------------------------------

def test_plain_gate_decomposes_to_itself():
    h = Q("h", 0)
    assert h.decompose() == [h] and h.decompose()[0] is h
    assert h.decompose(name="H")[0] is h


def test_block_children_are_placed_on_targets_under_parent_controls():
    inner = Q("block", [1], block_gate_sequence=[Q("x", 0)], name="inner")
    block = Q("block", (3, 5), control=0, control_state=0, name="Sequence",
              block_gate_sequence=(Q("h", 0), Q("cx", 1, control=0, name="mine"), inner))
    placed = block.decompose()
    assert placed[0] == Q("h", 3, control=0, control_state=0)
    assert placed[1] == Q("cx", 5, control=(0, 3), control_state=(0, 1), name="mine")
    assert placed[2].target == (5,) and placed[2].control == (0,) and placed[2].control_state == (0,)
    assert placed[2].block_gate_sequence is inner.block_gate_sequence
    assert placed[2].decompose() == [Q("x", 5, control=0, control_state=0)]


def test_placed_children_keep_parameters_matrices_and_bits():
    m = np.eye(2)
    child = Q("unitary", 1, parameter=None, matrix=m, classical_target=[7])
    block = Q("block", [4, 6], parameter=None, name="B", matrix=np.eye(4),
              block_gate_sequence=[child, Q("rx", 0, parameter=0.5), Q("rx", -1, parameter=0.25)])
    placed = block.decompose()
    assert placed[0].stored_matrix is m and placed[0].classical_target == (7,)
    assert placed[0].target == (6,)
    assert placed[1].parameter == (0.5,) and placed[1].target == (4,)
    assert placed[2].target == (6,)


@pytest.mark.parametrize("name, expanded", [
    ("Sequence", True), (["other", "Sequence"], True), (("Sequence",), True),
    ("sequence", False), ([], False),
])
def test_name_filter(name, expanded):
    block = Q("block", [0], name="Sequence", block_gate_sequence=[Q("h", 0)])
    result = block.decompose(name)
    assert (result == [Q("h", 0)]) if expanded else (result[0] is block)


def test_empty_children_vanish_even_when_not_selected():
    block = Q("block", [0], block_gate_sequence=())
    assert block.decompose() == []
    assert block.decompose(name="nothing") == []


def test_decompose_errors():
    block = Q("block", [0, 1], name="B", block_gate_sequence=[Q("h", 2)])
    with pytest.raises(IndexError):
        block.decompose()
    with pytest.raises(IndexError):
        Q("block", [0, 1], block_gate_sequence=[Q("h", -3)]).decompose()
    with pytest.raises(TypeError):
        block.decompose(name=5)
    with pytest.raises(ValueError, match="overlap"):
        Q("block", [0, 1], control=2, block_gate_sequence=[Q("cx", 0, control=0)]).decompose()
