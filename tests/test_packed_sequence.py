"""OpchainPacked: construction, builders, statistics, copies, transformations
and the OpenQASM entry points."""
import copy
import subprocess
import sys
import types

import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain import packed as packed_module
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked

from gate_validator_spy import record_validator_calls

H0 = QuantumGate(id="h", target=(0,))
X1 = QuantumGate(id="x", target=(1,))
CX = QuantumGate(id="cx", target=(2,), control=(0,))
RZ = QuantumGate(id="rz", target=(1,), parameter=(0.75,))


class Tagged(OpchainPacked):
    """A subclass: derived sequences must stay of this class."""


def packed_with(gates, num_qubits=3, name="bell", cls=OpchainPacked, **kwargs):
    seq = cls(num_qubits, name, **kwargs)
    for gate in gates:
        seq.add_gate(gate)
    return seq


# ---------------------------------------------------------------------------
# Module and construction


def test_module_namespace():
    assert packed_module.__all__ == ["OpchainPacked"]
    names = [name for name in vars(packed_module)
             if name in ("_native_type", "_PackedBlockView", "_PackedDataProxy", "OpchainPacked")]
    assert names == ["_native_type", "_PackedBlockView", "_PackedDataProxy", "OpchainPacked"]


def test_importing_the_module_loads_no_native_code():
    code = (
        "import sys\n"
        "import quorvex.backend.opchain.packed as m\n"
        "assert 'quorvex.backend.pelmor.strovane' not in sys.modules, 'loaded early'\n"
        "m.OpchainPacked(1)\n"
        "assert 'quorvex.backend.pelmor.strovane' in sys.modules\n"
    )
    subprocess.run([sys.executable, "-P", "-c", code], check=True)


def _fake_pelmor(monkeypatch, strovane):
    pelmor = types.ModuleType("quorvex.backend.pelmor")
    pelmor.__path__ = []
    if strovane is not None:
        pelmor.strovane = strovane
    monkeypatch.setitem(sys.modules, "quorvex.backend.pelmor", pelmor)
    monkeypatch.setitem(sys.modules, "quorvex.backend.pelmor.strovane", strovane)


def test_missing_extension_is_an_import_error(monkeypatch):
    _fake_pelmor(monkeypatch, None)
    with pytest.raises(ImportError) as caught:
        OpchainPacked(2)
    assert str(caught.value) == "gate_storage='packed' requires the quorvex C++ extension."
    assert isinstance(caught.value.__cause__, ImportError)


def test_extension_without_the_store_class(monkeypatch):
    _fake_pelmor(monkeypatch, types.ModuleType("quorvex.backend.pelmor.strovane"))
    with pytest.raises(ImportError) as caught:
        OpchainPacked(2)
    assert str(caught.value) == (
        "The installed quorvex C++ extension does not provide OpchainPackedNative. "
        "Rebuild or reinstall quorvex.")
    # A given store needs no extension at all.
    store = object()
    assert OpchainPacked(2, _native=store)._native is store


def test_constructor_defaults_and_conversions():
    seq = OpchainPacked(3)
    assert (seq._num_qubits, seq._name, seq.dtype) == (3, "Sequence", np.complex128)
    assert len(seq) == 0 and list(seq) == [] and not seq
    assert OpchainPacked(2.7)._num_qubits == 2
    assert type(OpchainPacked(np.int64(4))._num_qubits) is int
    custom = OpchainPacked(1, "n", np.complex64)
    assert custom.dtype is np.complex64
    assert list(vars(seq)) == ["_num_qubits", "_name", "dtype", "_native", "_data_proxy"]


class _Str(str):
    pass


@pytest.mark.parametrize("args, message", [
    (("2",), "Argument 'num_qubits' has incorrect type (expected int, got str)"),
    ((None,), "Argument 'num_qubits' has incorrect type (expected int, got NoneType)"),
    ((2, None), "Argument 'name' has incorrect type (expected str, got NoneType)"),
    ((2, _Str("s")), "Argument 'name' has incorrect type (expected str, got _Str)"),
    (("2", None), "Argument 'num_qubits' has incorrect type (expected int, got str)"),
])
def test_constructor_refusals(args, message):
    with pytest.raises(TypeError) as caught:
        OpchainPacked(*args)
    assert str(caught.value) == message


@pytest.mark.parametrize("index", [0, -1])
def test_empty_sequence_reads(index):
    with pytest.raises(IndexError, match="^gate index out of range$"):
        OpchainPacked(1)[index]


def test_positional_reads():
    seq = packed_with([H0, X1, CX])
    assert seq[-1] == CX and seq[-3] == H0 and seq[1.9] == X1
    assert seq[0:2] == [H0, X1] and type(seq[0:2]) is list
    for index in (3, -4):
        with pytest.raises(IndexError, match="gate index out of range"):
            seq[index]
    with pytest.raises(TypeError, match=r"^Argument 'index' has incorrect type \(expected int, got str\)$"):
        seq["1"]


def test_insert_positions_are_clamped():
    for index, position in ((-1, 2), (-100, 0), (100, 3), (1, 1)):
        seq = packed_with([H0, X1, CX])
        seq._insert_gate(index, RZ)
        assert seq[position] == RZ and len(seq) == 4


def test_iteration_reads_at_each_step():
    seq = packed_with([H0, X1, CX])
    seen = []
    for gate in seq:
        seen.append(gate)
        if len(seen) == 1:
            seq.add_gate(RZ)  # added after the length was taken: not visited
    assert seen == [H0, X1, CX]
    iterator = iter(seq)
    next(iterator)
    seq.data().clear()
    with pytest.raises(IndexError, match="gate index out of range"):
        next(iterator)


# ---------------------------------------------------------------------------
# Builders


def test_add_gate():
    seq = packed_with([H0, X1])
    version = seq.version
    with pytest.raises(TypeError, match="^gate must be a QuantumGate instance$"):
        seq.add_gate("h")
    assert list(seq) == [H0, X1] and seq.version == version
    seq.add_gate(CX, prepend=1)
    assert list(seq) == [CX, H0, X1]
    seq.add_gate(RZ, prepend=[])
    assert seq[-1] == RZ
    assert seq.version > version


def test_gate_creator_builds_without_adding(monkeypatch):
    seq = OpchainPacked(2)
    calls = record_validator_calls(monkeypatch, packed_module)
    gate = seq.gateCreator("RX", 0, parameters=(0.5,), gate_name="turn", classical_target=[1])
    assert calls == [("RX", (0.5,))]  # the id as spelled
    assert gate.id == "rx" and gate.target == (0,) and gate.name == "turn"
    assert gate.classical_target == (1,)
    assert len(seq) == 0
    with pytest.raises(TypeError, match=r"^Argument 'gate_id' has incorrect type \(expected str, got int\)$"):
        seq.gateCreator(5, 0)
    assert len(calls) == 1


def test_add_multi_target_gate(monkeypatch):
    seq = OpchainPacked(3)
    seq.addMultiTargetGate("h", [0, 1, 2])
    assert [gate.target for gate in seq] == [(0,), (1,), (2,)]
    front = OpchainPacked(3)
    front.add_gate(RZ)
    front.addMultiTargetGate("rx", range(3), parameters=(0.1,), prepend="yes")
    assert [gate.target for gate in front] == [(2,), (1,), (0,), (1,)]
    assert front[0].parameter == (0.1,)
    with pytest.raises(TypeError, match=r"'gate_name' has incorrect type \(expected str, got int\)"):
        seq.addMultiTargetGate("h", [0], gate_name=5)
    with pytest.raises(TypeError, match=r"'gate_id' has incorrect type \(expected str, got NoneType\)"):
        seq.addMultiTargetGate(None, [0])
    assert len(seq) == 3
    # The parameters are validated once for all targets.
    calls = []
    real = packed_module.validate_gate_parameters
    monkeypatch.setattr(packed_module, "validate_gate_parameters",
                        lambda gate_id, parameters: calls.append(gate_id) or real(gate_id, parameters))
    seq.addMultiTargetGate("h", [0, 1], gate_name=None)
    assert calls == ["h"]
    # A failing target keeps the gates of the earlier targets.
    with pytest.raises(ValueError):
        seq.addMultiTargetGate("x", [0, [1, 1], 2])
    assert len(seq) == 6


def test_names():
    seq = OpchainPacked(1, "first")
    seq.update_name("")
    assert seq.get_name() == ""
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got int\)$"):
        seq.update_name(5)
    assert seq.get_name() == ""
    seq._name = None
    assert seq.get_name() is None
    seq._name = 7
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        seq.get_name()
    seq._name = _Str("sub")  # only an exact str passes
    with pytest.raises(TypeError, match="^Expected str, got _Str$"):
        seq.get_name()


def test_assigning_data_replaces_all_gates():
    seq = packed_with([H0, X1, CX])
    seq._data = seq.data()
    assert list(seq) == [H0, X1, CX]
    seq._data = (gate for gate in [RZ, H0])
    assert list(seq) == [RZ, H0]
    with pytest.raises(TypeError, match="^gate must be a QuantumGate instance$"):
        seq._data = [X1, CX, "not a gate"]
    assert list(seq) == [RZ, H0]  # checked before anything is cleared
    seq._data = []
    assert len(seq) == 0


def test_statistics():
    seq = OpchainPacked(3)
    empty_version = seq.version
    seq.add_gate(H0)
    seq.add_gate(QuantumGate(id="unitary", target=(0,), matrix=np.eye(2)))
    assert seq.version > empty_version and type(seq.version) is int
    breakdown = seq.storage_breakdown
    assert list(breakdown) == [
        "records", "auxiliary", "resources", "strings", "total", "record_slices",
        "shared_record_pages", "int_arena", "parameter_arena",
        "resource_count", "block_resource_count"]
    assert all(type(value) is int for value in breakdown.values())
    assert breakdown["resource_count"] == 1 and breakdown["block_resource_count"] == 0
    assert seq.storage_bytes == breakdown["total"] > 0
    assert seq.storage_breakdown is not breakdown


def test_has_measurement():
    seq = packed_with([H0])
    assert seq.has_measurement is False
    inner = Opchain(2, "inner")
    inner.measure([0], [0])
    middle = Opchain(2, "middle")
    middle.append(inner, [1, 0])
    seq.append(middle, [0, 1])
    assert seq.has_measurement is True


# ---------------------------------------------------------------------------
# Copies


@pytest.mark.parametrize("make_copy", [
    lambda seq: seq.copy(),
    copy.copy,
    copy.deepcopy,
])
def test_copies_are_independent(make_copy):
    source = packed_with([H0, X1], cls=Tagged, dtype=np.complex64)
    source.note = ["shared"]
    duplicate = make_copy(source)
    assert type(duplicate) is Tagged
    assert (duplicate._num_qubits, duplicate._name, duplicate.dtype) == (3, "bell", np.complex64)
    assert duplicate.note is source.note  # carried, not deep-copied
    assert duplicate._native is not source._native
    assert duplicate.data() is not source.data() and duplicate.data()._owner is duplicate
    assert list(duplicate) == [H0, X1]
    source.add_gate(CX)
    duplicate.data()[0] = RZ
    assert list(source) == [H0, X1, CX]
    assert list(duplicate) == [RZ, X1]


def test_deepcopy_memo():
    seq = packed_with([H0])
    memo = {}
    first = copy.deepcopy(seq, memo)
    assert copy.deepcopy(seq, memo) is first
    pair = copy.deepcopy([seq, seq])
    assert pair[0] is pair[1] and pair[0] is not seq


# ---------------------------------------------------------------------------
# Naming and transformations


def test_check_new_name():
    seq = OpchainPacked(1, "a")
    assert seq.check_new_name("_x") == "a_x"
    seq.update_name("a_x")
    assert seq.check_new_name("_x") == "a"
    assert seq.check_new_name("") == "a_x"
    assert seq.get_name() == "a_x"
    with pytest.raises(TypeError, match=r"'end' has incorrect type \(expected str, got NoneType\)"):
        seq.check_new_name(None)


TRANSFORMS = {
    "reverse": (lambda s: s.reverse(), "bell_reversed", 3, 3),
    "reverse twice": (lambda s: s.reverse().reverse(), "bell", 3, 3),
    "inverse": (lambda s: s.inverse(), "bell_dagger", 3, 3),
    "dagger": (lambda s: s.dagger(), "bell_dagger", 3, 3),
    "inverse of reverse": (lambda s: s.reverse().inverse(), "bell_reversed_dagger", 3, 3),
    "repeat": (lambda s: s.repeat(3), "bell**3", 3, 9),
    "repeat truncated": (lambda s: s.repeat(2.9), "bell**2", 3, 6),
    "decompose": (lambda s: s.decompose(), "bell", 3, 3),
    "decompose zero": (lambda s: s.decompose(0), "bell", 3, 3),
    "control": (lambda s: s.control(2), "bell_controlled_by_2_qubits", 5, 1),
    "control zero": (lambda s: s.control(0), "bell_controlled_by_0_qubits", 3, 1),
}


@pytest.mark.parametrize("transform, name, qubits, length", TRANSFORMS.values(),
                         ids=TRANSFORMS.keys())
def test_transformations_keep_class_and_dtype(transform, name, qubits, length):
    source = packed_with([H0, CX, RZ], cls=Tagged, dtype=np.complex64)
    before = list(source)
    version = source.version
    result = transform(source)
    assert type(result) is Tagged and result is not source
    assert result.dtype is np.complex64
    assert (result.get_name(), result._num_qubits, len(result)) == (name, qubits, length)
    assert list(source) == before and source.version == version


def test_dagger_is_inverse():
    assert OpchainPacked.dagger is OpchainPacked.inverse


def test_reverse_inverse_repeat_gates():
    seq = packed_with([H0, CX, RZ])
    assert list(seq.reverse()) == [
        QuantumGate(id="h", target=(2,)),
        QuantumGate(id="cx", target=(0,), control=(2,)),
        QuantumGate(id="rz", target=(1,), parameter=(0.75,))]
    assert list(seq.inverse()) == [
        QuantumGate(id="rz", target=(1,), parameter=(-0.75,), name="RZ_dag"), CX, H0]
    assert list(seq.repeat(2)) == [H0, CX, RZ, H0, CX, RZ]


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.repeat(0), ValueError, "times must be positive"),
    (lambda s: s.repeat(-1), ValueError, "times must be non-negative, got -1."),
    (lambda s: s.repeat(-(2**70)), ValueError, "times must be non-negative, got -" + str(2**70) + "."),
    (lambda s: s.repeat("2"), TypeError, "Argument 'times' has incorrect type (expected int, got str)"),
    (lambda s: s.decompose(-1), TypeError, None),
    (lambda s: s.control("1"), TypeError,
     "Argument 'num_control_qubits' has incorrect type (expected int, got str)"),
    (lambda s: s.control(-1), ValueError, "num_control_qubits must be non-negative, got -1."),
    (lambda s: s.control(2, (1,)), ValueError, "control_state length must equal number of control qubits."),
    (lambda s: s.control(1, (2,)), ValueError, "control_state must contain only 0 or 1."),
    (lambda s: s.measure(0, [0]), TypeError, None),
    (lambda s: s.measure([0], 0), TypeError, None),
    (lambda s: s.append(object(), [0]), AttributeError, None),
])
def test_transformation_errors_leave_the_receiver(call, error, message):
    seq = packed_with([H0, CX])
    with pytest.raises(error) as caught:
        call(seq)
    if message is not None:
        assert str(caught.value) == message
    assert list(seq) == [H0, CX]


def test_decompose_selects_by_display_name():
    seq = OpchainPacked(4)
    for name, target in (("A", 0), ("B", 1), ("a", 2)):
        seq.add_gate(QuantumGate(id="block", target=(target,), name=name,
                                 block_gate_sequence=(QuantumGate(id="x", target=(0,)),)))
    ids = lambda s: [(gate.id, gate.target) for gate in s]
    assert ids(seq.decompose()) == [("x", (0,)), ("x", (1,)), ("x", (2,))]
    assert ids(seq.decompose(name="A")) == [("x", (0,)), ("block", (1,)), ("block", (2,))]
    assert ids(seq.decompose(name=["A", "B"])) == [("x", (0,)), ("x", (1,)), ("block", (2,))]
    assert ids(seq.decompose(name=("a",))) == [("block", (0,)), ("block", (1,)), ("x", (2,))]
    # A name longer than one character is one name, not its characters.
    assert ids(seq.decompose(name="AB")) == ids(seq)
    assert list(seq.decompose(0)) == list(seq)


def test_decompose_levels():
    inner = QuantumGate(id="block", target=(1, 0), name="inner",
                        block_gate_sequence=(QuantumGate(id="h", target=(0,)),))
    outer = QuantumGate(id="block", target=(2, 3), control=(0,), name="outer",
                        block_gate_sequence=(inner,))
    seq = packed_with([outer], num_qubits=4)
    one = seq.decompose()
    assert len(one) == 1 and one[0].id == "block"
    assert (one[0].target, one[0].control) == ((3, 2), (0,))
    assert list(seq.decompose(2)) == [QuantumGate(id="h", target=(3,), control=(0,))]


def test_control_block_gate():
    seq = packed_with([H0, CX])
    controlled = seq.control(2, (0, 1))
    (gate,) = list(controlled)
    assert gate.id == "block" and gate.name == "bell"
    assert (gate.target, gate.control, gate.control_state) == ((0, 1, 2), (3, 4), (0, 1))
    assert gate.block_gate_sequence == (H0, CX)
    default = seq.control(2)[0]
    assert default.control_state == (1, 1)
    bare = seq.control(0)[0]
    assert bare.control == () and bare.target == (0, 1, 2)
    # The block is a snapshot: later edits of the receiver do not reach it.
    seq.add_gate(RZ)
    seq.data()[0] = X1
    assert list(controlled[0].block_gate_sequence) == [H0, CX]


def test_measure():
    seq = OpchainPacked(2)
    seq.measure([0, 1], range(2))
    (gate,) = list(seq)
    assert (gate.id, gate.target, gate.classical_target, gate.name) == (
        "measure", (0, 1), (0, 1), "measure")
    assert seq.has_measurement


def test_append_packed_and_list_backed():
    seq = OpchainPacked(4, "main")
    sub = packed_with([H0, CX], name="sub")
    seq.append(sub, [2, 3, 1], control=[0])
    listed = Opchain(2, "listed")
    listed.add_gate(X1)
    seq.append(listed, (0, 1))
    first, second = list(seq)
    assert (first.id, first.name, first.target, first.control) == ("block", "sub", (2, 3, 1), (0,))
    assert isinstance(first.block_gate_sequence, packed_module._PackedBlockView)
    assert list(first.block_gate_sequence) == [H0, CX]
    assert (second.name, second.target, list(second.block_gate_sequence)) == ("listed", (0, 1), [X1])
    # Later edits of either source do not reach the stored blocks.
    sub.add_gate(RZ)
    listed.add_gate(RZ)
    assert [len(gate.block_gate_sequence) for gate in seq] == [2, 1]


def test_append_to_itself_embeds_the_previous_gates():
    seq = packed_with([H0, CX], name="self")
    seq.append(seq, [0, 1, 2])
    assert len(seq) == 3
    assert list(seq[2].block_gate_sequence) == [H0, CX]
    assert seq[2].name == "self"


def test_list_backed_append_materialises_a_packed_sequence():
    sub = packed_with([QuantumGate(id="block", target=(0,), name="inner",
                                   block_gate_sequence=(X1.replace(target=(0,)),))], name="sub")
    host = Opchain(3, "host")
    host.append(sub, [1])
    block = host.data()[0].block_gate_sequence
    assert type(block) is tuple and type(block[0].block_gate_sequence) is tuple
    assert block == tuple(sub)


def test_decomposed_child():
    block = QuantumGate(id="block", target=(4, 6, 5), control=(0,), control_state=(0,),
                        block_gate_sequence=())
    child = QuantumGate(id="cx", target=(2,), control=(0,), name="mine")
    placed = OpchainPacked._decomposed_child(block, child)
    assert (placed.target, placed.control, placed.control_state, placed.name) == (
        (5,), (0, 4), (0, 1), "mine")


# ---------------------------------------------------------------------------
# OpenQASM


def test_openqasm_round_trip_keeps_the_calling_class():
    seq = packed_with([H0, CX, RZ], name="circuit")
    seq.measure([1], [0])
    text = seq.to_openqasm()
    assert type(text) is str and "OPENQASM 3" in text
    assert "q" in text
    text2 = seq.to_openqasm2("qr", "cr")
    assert "OPENQASM 2.0" in text2 and "qr" in text2 and "cr" in text2
    back = Tagged.from_openqasm(text)
    assert type(back) is Tagged and back._num_qubits == 3
    assert [gate.id for gate in back] == [gate.id for gate in seq]
    assert [gate.target for gate in back] == [gate.target for gate in seq]
    back2 = OpchainPacked.from_openqasm(text2)
    assert [gate.id for gate in back2] == [gate.id for gate in seq]


@pytest.mark.parametrize("call, name", [
    (lambda s: s.to_openqasm(None), "qreg_name"),
    (lambda s: s.to_openqasm2("q", 1), "creg_name"),
    (lambda s: OpchainPacked.from_openqasm(b"OPENQASM 2.0;"), "qasm_code"),
])
def test_openqasm_argument_types(call, name):
    with pytest.raises(TypeError, match=f"^Argument '{name}' has incorrect type"):
        call(OpchainPacked(1))


def test_converter_results_are_checked(monkeypatch):
    from quorvex.backend.qasm import qasm
    monkeypatch.setattr(qasm, "gate_sequence_to_qasm", lambda seq, qreg_name: 5)
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        OpchainPacked(1).to_openqasm()
    seen = []
    monkeypatch.setattr(qasm, "gate_sequence_to_qasm",
                        lambda seq, qreg_name: seen.append((seq, qreg_name)))
    seq = OpchainPacked(1)
    assert seq.to_openqasm() is None and seen == [(seq, "q")]


def test_from_openqasm_carries_extra_attributes(monkeypatch):
    from quorvex.backend.qasm import qasm
    parsed = Opchain(2, "parsed", np.complex64)
    parsed.add_gate(H0)
    parsed.source = "file.qasm"
    monkeypatch.setattr(qasm, "gate_sequence_from_qasm", lambda text: parsed)
    result = OpchainPacked.from_openqasm("anything")
    assert (result._num_qubits, result.get_name(), result.dtype) == (2, "parsed", np.complex64)
    assert list(result) == [H0] and result.source == "file.qasm"
    # A packed parse result hands over its gates and extra attributes, but
    # not its store or view: the result must own storage of its own.
    packed_parse = packed_with([H0, CX], name="parsed packed", cls=Tagged)
    packed_parse.source = "other.qasm"
    monkeypatch.setattr(qasm, "gate_sequence_from_qasm", lambda text: packed_parse)
    result = OpchainPacked.from_openqasm("anything")
    assert type(result) is OpchainPacked and result.source == "other.qasm"
    assert result._native is not packed_parse._native and result.data()._owner is result
    result.data()[0] = X1
    assert list(result) == [X1, CX] and list(packed_parse) == [H0, CX]
    bad = Opchain(1)
    bad.add_gate("not a gate")
    monkeypatch.setattr(qasm, "gate_sequence_from_qasm", lambda text: bad)
    with pytest.raises(TypeError, match="gate must be a QuantumGate instance"):
        OpchainPacked.from_openqasm("anything")
