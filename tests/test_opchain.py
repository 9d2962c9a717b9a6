"""OpchainBase and Opchain: storage, accessors and builders."""
import collections.abc

import numpy as np
import pytest

import quorvex.backend.opchain.opchain as opchain_module
from quorvex.backend.gate.morlith import QuantumGate as Q
from quorvex.backend.opchain.opchain import Opchain, OpchainBase, materialize_gate_sequence

from gate_validator_spy import record_validator_calls


class StrSub(str):
    pass


def test_module_namespace():
    assert opchain_module.QuantumGate is Q
    assert opchain_module.np is np
    assert callable(opchain_module.validate_gate_parameters)
    assert not hasattr(opchain_module, "__all__")


# ---------------------------------------------------------------------------
# Construction and accessors
# ---------------------------------------------------------------------------

def test_base_defaults_and_live_data():
    seq = OpchainBase(3)
    assert (seq.get_name(), seq._num_qubits, seq.data()) == ("SequenceBase", 3, [])
    assert seq.data() is seq.data()
    seq.data().append(Q("x", 0))
    assert seq._data == [Q("x", 0)]


@pytest.mark.parametrize("num_qubits, stored", [(3, 3), (2.9, 2), (True, 1), (np.int64(4), 4), (0, 0), (-1, -1)])
def test_num_qubits_conversion(num_qubits, stored):
    seq = Opchain(num_qubits)
    assert type(seq._num_qubits) is int and seq._num_qubits == stored
    assert (seq.get_name(), seq.dtype) == ("Sequence", np.complex128)


@pytest.mark.parametrize("call, message", [
    (lambda: Opchain("3"), "Argument 'num_qubits' has incorrect type (expected int, got str)"),
    (lambda: Opchain(3, None), "Argument 'name' has incorrect type (expected str, got NoneType)"),
    (lambda: Opchain(3, StrSub("n")), "Argument 'name' has incorrect type (expected str, got StrSub)"),
    (lambda: OpchainBase(None), "Argument 'num_qubits' has incorrect type (expected int, got NoneType)"),
    (lambda: Opchain(1, "a", None, 4), "__init__() takes at most 4 positional arguments (5 given)"),
    (lambda: OpchainBase(), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda: Opchain(1).data(1), "data() takes exactly 1 positional argument (2 given)"),
    (lambda: Opchain(1).update_name(), "update_name() takes exactly 2 positional arguments (1 given)"),
    (lambda: Opchain(1).measure(0), "measure() takes exactly 3 positional arguments (2 given)"),
    (lambda: Opchain(1).gateCreator("x", 0, target=0),
     "gateCreator() got multiple values for keyword argument 'target'"),
    (lambda: Opchain(1).append(Opchain(1), 0, bogus=1),
     "append() got an unexpected keyword argument 'bogus'"),
])
def test_declared_types_and_argument_counts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_nan_qubit_count_propagates_conversion_error():
    with pytest.raises(ValueError):
        Opchain(float("nan"))


def test_update_name_and_result_checks():
    seq = Opchain(1)
    with pytest.raises(TypeError):
        seq.update_name(5)
    assert seq.get_name() == "Sequence"
    seq.update_name("new")
    assert seq.get_name() == "new"
    seq._name = 5
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        seq.get_name()
    seq._data = (1,)
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        seq.data()


def test_add_gate_and_copy():
    seq = Opchain(2, "s", dtype=np.complex64)
    a, b = Q("x", 0), Q("h", 1)
    seq.add_gate(a)
    seq.add_gate(b, prepend=True)
    seq.add_gate(None)
    assert seq.data() == [b, a, None]
    dup = seq.copy()
    assert type(dup) is Opchain and dup.get_name() == "s" and dup._num_qubits == 2
    assert dup.data() == seq.data() and dup.data() is not seq.data()
    assert all(x is y for x, y in zip(dup.data(), seq.data()))
    assert dup.dtype == np.complex128


# ---------------------------------------------------------------------------
# Builders
# ---------------------------------------------------------------------------

@pytest.fixture
def validator_calls(monkeypatch):
    return record_validator_calls(monkeypatch, opchain_module)


def test_gate_creator_passes_id_as_spelled(validator_calls):
    seq = Opchain(1)
    gate = seq.gateCreator("RX", 0, parameters=0.5)
    assert validator_calls == [("RX", 0.5)]
    assert (gate.id, gate.parameter) == ("rx", (0.5,))
    assert seq.data() == []


def test_gate_creator_fields():
    m = np.eye(2)
    gate = Opchain(3).gateCreator("unitary", 1, control=[0], control_state=[0], matrix=m,
                                  gate_name="Mine", classical_target=[2])
    assert gate == Q("unitary", 1, control=0, control_state=0, matrix=m, name="Mine", classical_target=[2])


def test_gate_creator_refuses_non_str_id_before_validation(validator_calls):
    with pytest.raises(TypeError, match="Argument 'gate_id'"):
        Opchain(1).gateCreator(1, 0)
    assert validator_calls == []


def test_add_multi_target_gate(validator_calls):
    seq = Opchain(3)
    seq.addMultiTargetGate("h", [0, 1, 2])
    assert seq.data() == [Q("h", 0), Q("h", 1), Q("h", 2)]
    seq.addMultiTargetGate("rx", (0, 1), parameters=0.5, prepend=True)
    assert [g.target for g in seq.data()[:2]] == [(1,), (0,)]
    assert len(validator_calls) == 5
    seq.addMultiTargetGate("cx", iter([(1,), (2,)]), control=0, gate_name=None)
    assert seq.data()[-1] == Q("cx", 2, control=0)
    before = list(seq.data())
    seq.addMultiTargetGate("h", [])
    for bad in (dict(gate_name=3), dict(gate_name=StrSub("H"))):
        with pytest.raises(TypeError, match="Argument 'gate_name'"):
            seq.addMultiTargetGate("h", [0], **bad)
    with pytest.raises(TypeError):
        seq.addMultiTargetGate("h", 0)
    assert seq.data() == before


def test_add_multi_target_gate_keeps_gates_before_a_failure():
    seq = Opchain(3)
    with pytest.raises(ValueError, match="overlap"):
        seq.addMultiTargetGate("h", [0, 1, [2, 2], 0])
    assert seq.data() == [Q("h", 0), Q("h", 1)]


def test_add_multi_target_gate_reduces_prepend_first():
    class Bad:
        def __bool__(self):
            raise RuntimeError("truth")

    with pytest.raises(RuntimeError, match="truth"):
        Opchain(1).addMultiTargetGate(None, [0], prepend=Bad())


def test_measure():
    seq = Opchain(2)
    seq.measure([0, 1], (0, 1))
    gate = seq.data()[0]
    assert (gate.id, gate.target, gate.classical_target, gate.name) == ("measure", (0, 1), (0, 1), "measure")
    assert gate._extra["name"] == "measure"
    with pytest.raises(TypeError):
        seq.measure(0, 1)
    assert len(seq.data()) == 1


def test_builders_use_overridden_creator_and_storage():
    class Tagged(Opchain):
        def gateCreator(self, gate_id, target, *args, **kwargs):
            gate = super().gateCreator(gate_id, target, *args, **kwargs)
            return gate.replace(name="tagged")

        def add_gate(self, gate, prepend=False):
            self._data.append(("seen", gate))

    seq = Tagged(2)
    seq.addMultiTargetGate("h", [0])
    seq.measure([1], [0])
    assert [entry[1].name for entry in seq.data()] == ["tagged", "tagged"]


# ---------------------------------------------------------------------------
# append and materialize_gate_sequence
# ---------------------------------------------------------------------------

def test_append_embeds_a_snapshot():
    inner = Opchain(2, "Inner")
    inner.add_gate(Q("h", 0))
    outer = Opchain(4)
    outer.append(inner, [2, 3], control=[0], control_state=[0])
    inner.add_gate(Q("x", 1))
    gate = outer.data()[0]
    assert (gate.id, gate.target, gate.name, gate.control, gate.control_state) == \
        ("block", (2, 3), "Inner", (0,), (0,))
    assert gate.block_gate_sequence == (Q("h", 0),)


def test_append_to_itself_embeds_previous_gates():
    seq = Opchain(1)
    seq.add_gate(Q("h", 0))
    seq.append(seq, [0])
    assert len(seq.data()) == 2 and seq.data()[1].block_gate_sequence == (Q("h", 0),)


def test_append_refuses_objects_without_the_interface():
    seq = Opchain(1)
    with pytest.raises(AttributeError):
        seq.append(object(), [0])
    assert seq.data() == []


class FakeBlockView(collections.abc.Sequence):
    """Stands in for a lazy view over a packed store."""

    _packed_store_native = "store"

    def __init__(self, gates):
        self._gates = list(gates)

    def __getitem__(self, index):
        return self._gates[index]

    def __len__(self):
        return len(self._gates)


class FakePacked:
    def __init__(self, gates, name="Packed"):
        self._view = FakeBlockView(gates)
        self._name = name

    def data(self):
        return self._view

    def get_name(self):
        return self._name


def _contains_view(gates):
    for gate in gates:
        children = gate.block_gate_sequence
        if children is not None and (isinstance(children, FakeBlockView) or _contains_view(children)):
            return True
    return False


def test_append_materialises_packed_views_at_every_depth():
    leaf = Q("x", 0)
    nested = Q("block", [0], name="N", block_gate_sequence=FakeBlockView([leaf]))
    assert isinstance(nested.block_gate_sequence, FakeBlockView)
    seq = Opchain(2)
    seq.append(FakePacked([Q("h", 1), nested]), [0, 1])
    children = seq.data()[0].block_gate_sequence
    assert type(children) is tuple and seq.data()[0].name == "Packed"
    assert children[0] == Q("h", 1)
    assert type(children[1].block_gate_sequence) is tuple and children[1].block_gate_sequence[0] is leaf
    assert not _contains_view(seq.data())


def test_append_propagates_other_attribute_errors():
    class Broken(list):
        @property
        def _packed_store_native(self):
            raise RuntimeError("store gone")

    class Seq:
        def data(self):
            return Broken([Q("x", 0)])

        def get_name(self):
            return "b"

    with pytest.raises(RuntimeError, match="store gone"):
        Opchain(1).append(Seq(), [0])


def test_materialize_gate_sequence():
    h = Q("h", 0)
    assert materialize_gate_sequence([]) == ()
    plain = materialize_gate_sequence([h, Q("x", 1)])
    assert type(plain) is tuple and plain[0] is h
    block = Q("block", [0], block_gate_sequence=(h,))
    rebuilt = materialize_gate_sequence([block])[0]
    assert rebuilt == block and rebuilt is not block
