"""QuantumGate: construction, record behaviour, derived properties, replace, str, dagger, decompose."""
import copy
import dataclasses
import pickle

import numpy as np
import pytest

import quorvex.backend.gate.matrix as matrix_module
import quorvex.backend.gate.morlith as morlith
from quorvex.backend.gate.morlith import QuantumGate as Q, replace_gate

from gate_validator_spy import record_validator_calls


# ---------------------------------------------------------------------------
# Construction
# ---------------------------------------------------------------------------

class StrSub(str):
    pass


class DictSub(dict):
    pass


@pytest.mark.parametrize("args, kwargs, expected", [
    (("X", 0), {}, ("x", (0,), None, None)),
    (("x", [0]), {}, ("x", (0,), None, None)),
    (("cx", np.int64(3)), {"control": [np.int32(1)]}, ("cx", (3,), None, {"control": (1,)})),
    (("swap", range(2, 4)), {}, ("swap", (2, 3), None, None)),
    (("h", [1.9]), {}, ("h", (1,), None, None)),
    (("h", ["2"]), {}, ("h", (2,), None, None)),
    (("h", (-1,)), {}, ("h", (-1,), None, None)),
    (("x", 0), {"name": "X"}, ("x", (0,), None, None)),
    (("x", 0), {"name": "x"}, ("x", (0,), None, {"name": "x"})),
    (("cx", 1), {"control": 0, "control_state": [1.0]}, ("cx", (1,), None, {"control": (0,)})),
    (("cx", 1), {"control": [0, 2], "control_state": [1.0, 0.0]},
     ("cx", (1,), None, {"control": (0, 2), "control_state": (1, 0)})),
    (("barrier",), {}, ("barrier", (), None, None)),
    (("MEASURE",), {"classical_target": []}, ("measure", (), None, {"classical_target": ()})),
    (("gp",), {"parameter": 0.5}, ("gp", (), (0.5,), None)),
    (("rx", 0), {"parameter": [np.float32(0.25)]}, ("rx", (0,), (0.25,), None)),
    (("x", 0), {"_extra": {}}, ("x", (0,), None, None)),
    (("x", 0), {"_extra": {"note": 1}}, ("x", (0,), None, {"note": 1})),
    (("x", 0), {"_extra": {"name": "keep"}}, ("x", (0,), None, {"name": "keep"})),
    (("x", 0), {"_extra": {"name": "old"}, "name": "new"}, ("x", (0,), None, {"name": "new"})),
])
def test_construction_normalises_fields(args, kwargs, expected):
    gate = Q(*args, **kwargs)
    assert (gate.id, gate.target, gate.parameter, gate._extra) == expected
    assert all(type(q) is int for q in gate.target + gate.control + gate.control_state)


BOOL = "Qubit indices must be integers, not bool."


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((None,), {}, TypeError, "Argument 'id' has incorrect type (expected str, got NoneType)"),
    ((StrSub("x"), 0), {}, TypeError, "Argument 'id' has incorrect type (expected str, got StrSub)"),
    (("x", 0), {"name": 5}, TypeError, "Argument 'name' has incorrect type (expected str, got int)"),
    (("x", 0), {"_extra": DictSub()}, TypeError,
     "Argument '_extra' has incorrect type (expected dict, got DictSub)"),
    (("x", True), {}, TypeError, BOOL),
    (("x", [0, True]), {}, TypeError, BOOL),
    (("x", [0, np.bool_(True)]), {}, TypeError, BOOL),
    (("x", ["a"]), {}, TypeError, "Qubit indices must be integers."),
    (("x", [None]), {}, TypeError, "Qubit indices must be integers."),
    (("x", 1.0), {}, TypeError, "Expected int/list/tuple/range, got float"),
    (("x", "0"), {}, TypeError, "Expected int/list/tuple/range, got str"),
    (("x", {0}), {}, TypeError, "Expected int/list/tuple/range, got set"),
    (("x", np.array([0])), {}, TypeError, "Expected int/list/tuple/range, got ndarray"),
    (("cx", 1), {"control": 0, "control_state": [True]}, TypeError, BOOL),
    (("cx", 1), {"control": 0, "control_state": "1"}, TypeError,
     "Expected int/list/tuple/range, got str"),
    (("x", 0), {"block_gate_sequence": {1}}, TypeError,
     "block_gate_sequence must be a list, tuple, or read-only gate sequence"),
    (("h", []), {}, ValueError, "QuantumGate must have at least one target qubit."),
    (("h", [], [0, 0]), {}, ValueError, "QuantumGate must have at least one target qubit."),
    (("swap", [1, 1]), {}, ValueError, "Targets and controls must not overlap."),
    (("cx", 1), {"control": 1}, ValueError, "Targets and controls must not overlap."),
    (("cx", 1), {"control": [0, 0]}, ValueError, "Targets and controls must not overlap."),
    (("cx", 1), {"control": [0, 2], "control_state": [1]}, ValueError,
     "control_state length must equal number of control qubits."),
    (("cx", 1), {"control": 0, "control_state": [2]}, ValueError,
     "control_state must contain only 0 or 1."),
    (("unitary", [0, 1]), {"matrix": np.eye(2)}, ValueError,
     "Unitary matrix must have shape (4, 4) for 2 target qubits; got (2, 2)."),
    (("unitary", [0]), {"matrix": [[1, 0, 0]]}, ValueError,
     "Unitary matrix must have shape (2, 2) for 1 target qubit; got (1, 3)."),
])
def test_construction_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Q(*args, **kwargs)
    assert str(info.value) == message


def test_subclass_refusal_carries_a_note():
    with pytest.raises(TypeError) as info:
        Q(StrSub("x"), 0)
    assert info.value.__notes__


def test_float_and_conversion_errors_keep_their_cause():
    with pytest.raises(TypeError) as info:
        Q("x", ["a"])
    assert isinstance(info.value.__cause__, ValueError)
    with pytest.raises(OverflowError):
        Q("x", [float("inf")])


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "__init__() takes at least 2 positional arguments (1 given)"),
    (("x",) * 10, {}, "__init__() takes at most 10 positional arguments (11 given)"),
    (("x", 0), {"bogus": 1}, "__init__() got an unexpected keyword argument 'bogus'"),
    (("x", 0), {"target": 1}, "__init__() got multiple values for keyword argument 'target'"),
])
def test_argument_count_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Q(*args, **kwargs)
    assert str(info.value) == message


def test_unitary_shape_accepts_nested_list_and_ignores_other_ids():
    nested = [[1, 0], [0, 1]]
    gate = Q("unitary", 0, matrix=nested)
    assert gate.stored_matrix is nested
    assert Q("x", [0, 1], matrix=np.eye(8)).stored_matrix.shape == (8, 8)


class ShapeNone:
    """A matrix-like object whose shape attribute is None: the content decides."""

    shape = None

    def __init__(self, rows):
        self.rows = rows

    def __array__(self, dtype=None, copy=None):
        return np.array(self.rows, dtype=dtype)


@pytest.mark.parametrize("rows, targets, error", [
    ([[0, 1], [1, 0]], [0], None),
    (np.eye(4), [0, 1], None),
    ([[1, 0, 0]], [0], "Unitary matrix must have shape (2, 2) for 1 target qubit; got (1, 3)."),
])
def test_unitary_shape_attribute_none_uses_the_content(rows, targets, error):
    matrix = ShapeNone(rows)
    if error is None:
        assert Q("unitary", targets, matrix=matrix).stored_matrix is matrix
    else:
        with pytest.raises(ValueError) as info:
            Q("unitary", targets, matrix=matrix)
        assert str(info.value) == error


@pytest.fixture
def recording_validator(monkeypatch):
    return record_validator_calls(monkeypatch, morlith)


def test_validator_receives_lowercased_id_and_raw_parameter(recording_validator):
    raw = [0.5]
    gate = Q("RX", 0, parameter=raw)
    assert recording_validator == [("rx", raw)]
    assert recording_validator[0][1] is raw
    assert gate.parameter == (0.5,)


@pytest.mark.parametrize("kwargs, exc, validated", [
    # conversions of target and control come before the validator ...
    ({"target": [True]}, TypeError, False),
    ({"target": 0, "control": [True]}, TypeError, False),
    # ... block, classical target, control state and all value checks after it
    ({"target": 0, "block_gate_sequence": {1}}, TypeError, True),
    ({"target": 0, "classical_target": 1.5}, TypeError, True),
    ({"target": 0, "control": 1, "control_state": [True]}, TypeError, True),
    ({"target": []}, ValueError, True),
    ({"target": [0, 0]}, ValueError, True),
])
def test_validator_runs_between_conversions_and_checks(recording_validator, kwargs, exc, validated):
    with pytest.raises(exc):
        Q("x", **kwargs)
    assert bool(recording_validator) is validated


def test_bad_parameter_is_reported_before_missing_target():
    with pytest.raises(ValueError, match="takes no parameters"):
        Q("h", [], parameter=0.5)


def test_validator_result_is_stored_unchecked(monkeypatch):
    marker = object()
    monkeypatch.setattr(morlith, "validate_gate_parameters", lambda gate_id, p: marker)
    assert Q("x", 0, parameter=1).parameter is marker


# ---------------------------------------------------------------------------
# Record behaviour
# ---------------------------------------------------------------------------

def test_record_layout():
    gate = Q("x", 0)
    assert [f.name for f in dataclasses.fields(Q)] == ["id", "target", "parameter", "_extra"]
    assert [f.type for f in dataclasses.fields(Q)] == [
        "str", "tuple[int, ...]", "tuple[float, ...] | None", "Optional[dict[str, Any]]"]
    assert Q.__slots__ == ("id", "target", "parameter", "_extra")
    assert not hasattr(gate, "__dict__")
    assert Q.__doc__.startswith("Compact immutable record describing a primitive or composite gate.")
    assert repr(gate) == "QuantumGate(id='x', target=(0,), parameter=None, _extra=None)"
    assert not hasattr(morlith, "__all__")


@pytest.mark.parametrize("field", ["id", "target", "parameter", "_extra"])
def test_frozen(field):
    gate = Q("cx", 1, control=0)
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(gate, field, None)
    with pytest.raises(dataclasses.FrozenInstanceError):
        delattr(gate, field)
    assert gate == Q("cx", 1, control=0)


def test_equality_and_hash():
    class SubGate(Q):
        __slots__ = ()

    plain = Q("x", 0)
    assert plain == Q("X", [0]) and hash(plain) == hash(Q("x", (0,)))
    assert plain != SubGate("x", 0)
    assert plain != ("x", (0,), None, None)
    assert plain.__eq__(1) is NotImplemented
    assert Q("x", 0, name="x") != plain
    assert hash(Q("rx", 0, parameter=0.5)) == hash(Q("rx", 0, parameter=[0.5]))
    for metadata in ({"control": 1}, {"name": "x"}, {"matrix": np.eye(2)},
                     {"block_gate_sequence": []}, {"classical_target": []},
                     {"control": 1, "control_state": 0}):
        with pytest.raises(TypeError, match="unhashable type: 'dict'"):
            hash(Q("x", 0, **metadata))


def test_equality_compares_matrices_by_identity_first():
    m = np.eye(2)
    assert Q("unitary", 0, matrix=m) == Q("unitary", 0, matrix=m)
    with pytest.raises(ValueError, match="ambiguous"):
        Q("unitary", 0, matrix=np.eye(2)) == Q("unitary", 0, matrix=np.eye(2))


def test_pickle_and_copy_keep_fields_without_rerunning_checks(monkeypatch):
    gates = [Q("x", 0), Q("u", 1, control=0, control_state=0, parameter=(0.1, 0.2, 0.3), name="U3"),
             Q("block", [0, 1], block_gate_sequence=[Q("h", 0)], classical_target=[2])]
    restored = [pickle.loads(pickle.dumps(g)) for g in gates]
    assert restored == gates
    # restoring must not run the constructor (and so not the validator)
    monkeypatch.setattr(morlith, "validate_gate_parameters",
                        lambda *a: pytest.fail("constructor ran"))
    assert pickle.loads(pickle.dumps(gates[1])) == gates[1]
    assert copy.copy(gates[1]) == gates[1]
    assert copy.deepcopy(gates[2]) == gates[2]


# ---------------------------------------------------------------------------
# Properties
# ---------------------------------------------------------------------------

def test_properties_defaults_and_stored_values():
    plain = Q("x", 0)
    assert (plain.control, plain.control_state, plain.name, plain.block_gate_sequence,
            plain.classical_target, plain.has_stored_matrix, plain.stored_matrix,
            plain.qubits) == ((), (), "X", None, None, False, None, (0,))
    m = np.eye(4)
    rich = Q("unitary", [1, 2], control=[3, 0], control_state=[0, 1], name="Mine",
             matrix=m, classical_target=[5])
    assert rich.control == (3, 0) and rich.control_state == (0, 1)
    assert rich.qubits == (3, 0, 1, 2)
    assert rich.name == "Mine" and rich.stored_matrix is m and rich.has_stored_matrix
    assert rich.classical_target == (5,)
    assert Q("cx", 1, control=[0, 2]).control_state == (1, 1)


def test_block_normalisation():
    g1, g2 = Q("h", 0), Q("x", 1)
    as_tuple = (g1, g2)
    assert Q("block", [0, 1], block_gate_sequence=[g1, g2]).block_gate_sequence == as_tuple
    assert Q("block", [0, 1], block_gate_sequence=as_tuple).block_gate_sequence is as_tuple
    view = range(3)  # any read-only sequence is kept by reference, unchecked
    assert Q("block", [0], block_gate_sequence=view).block_gate_sequence is view


@pytest.mark.parametrize("extra, prop, message", [
    ({"control": [1]}, "control", "Expected tuple, got list"),
    ({"control_state": [1]}, "control_state", "Expected tuple, got list"),
    ({"control": [1]}, "qubits", "Expected tuple, got list"),
    ({"classical_target": [1]}, "classical_target", "Expected tuple, got list"),
    ({"name": 3}, "name", "Expected str, got int"),
])
def test_property_results_are_type_checked(extra, prop, message):
    gate = Q("x", 0, _extra=extra)
    with pytest.raises(TypeError) as info:
        getattr(gate, prop)
    assert str(info.value) == message


def test_matrix_property_resolves_on_every_read(monkeypatch):
    calls = []

    def resolve(gate, dtype=None):
        calls.append((gate, dtype))
        return len(calls)

    monkeypatch.setattr(matrix_module, "resolve_numpy_base_matrix", resolve)
    gate = Q("x", 0)
    assert (gate.matrix, gate.matrix) == (1, 2)
    assert calls == [(gate, np.complex128)] * 2


# ---------------------------------------------------------------------------
# replace and str
# ---------------------------------------------------------------------------

def test_replace():
    gate = Q("x", 0)
    same = gate.replace()
    assert same == gate and same is not gate
    renamed = gate.replace(id="y")
    assert renamed.id == "y" and renamed.name == "X" and renamed._extra == {"name": "X"}
    assert replace_gate(gate, target=3).target == (3,)
    assert replace_gate(gate=gate, target=3).target == (3,)
    m = np.eye(2)
    rich = Q("unitary", 0, control=1, control_state=0, matrix=m, classical_target=[1],
             _extra={"private": 1})
    moved = rich.replace(target=2)
    assert moved.stored_matrix is m and moved.control_state == (0,)
    assert "private" not in moved._extra


@pytest.mark.parametrize("changes, exc, message", [
    ({"foo": 1, "bar": 2}, TypeError, "Unknown QuantumGate field(s): bar, foo"),
    ({"_extra": {}}, TypeError, "Unknown QuantumGate field(s): _extra"),
    ({"control": (2,)}, ValueError, "control_state length must equal number of control qubits."),
])
def test_replace_errors(changes, exc, message):
    with pytest.raises(exc) as info:
        Q("x", 0).replace(**changes)
    assert str(info.value) == message


def test_replace_with_control_and_state_and_positional_refusal():
    assert Q("x", 0).replace(control=(2,), control_state=(1,)).control == (2,)
    with pytest.raises(TypeError, match=r"replace\(\) takes exactly 1 positional argument \(2 given\)"):
        Q("x", 0).replace({})
    with pytest.raises(TypeError, match=r"replace_gate\(\) takes exactly 1 positional argument"):
        replace_gate(Q("x", 0), {})


@pytest.mark.parametrize("gate, text", [
    (Q("x", 0), "QuantumGate(X, targets=(0,))"),
    (Q("cx", 1, control=0), "QuantumGate(CX, targets=(1,), controls=(0,), ctrl_state=(1,))"),
    (Q("rx", 0, parameter=0.5), "QuantumGate(RX, params=(0.5,), targets=(0,))"),
    (Q("measure", [0, 1], classical_target=[0, 1], name="measure"),
     "QuantumGate(measure, targets=(0, 1))"),
    (Q("u", 2, control=[0, 1], control_state=[0, 1], parameter=(0.1, 0.2, 0.3)),
     "QuantumGate(U, params=(0.1, 0.2, 0.3), targets=(2,), controls=(0, 1), ctrl_state=(0, 1))"),
])
def test_str(gate, text):
    assert str(gate) == text
