"""OpchainPackedNative: encoding, read-back, editing and argument handling."""
import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.pelmor.strovane import OpchainPackedNative


class Gate:
    """Duck-typed gate object: the attributes that append_gate reads."""

    def __init__(self, id, target=(), control=(), control_state=None, parameter=None, name=None,
                 stored_matrix=None, block_gate_sequence=None, classical_target=None):
        self.id = id
        self.target = tuple(target)
        self.control = tuple(control)
        self.control_state = tuple(control_state) if control_state is not None else (1,) * len(control)
        self.parameter = parameter
        self.name = name if name is not None else id.upper()
        self.stored_matrix = stored_matrix
        self.block_gate_sequence = block_gate_sequence
        self.classical_target = classical_target


class View:
    """Packed view marker: hands its store over instead of being iterated."""

    def __init__(self, store):
        self._packed_store_native = store


def fields(id, target=(), control=(), control_state=(), parameter=None, name=None, matrix=None,
           block=None, classical_target=None):
    return (id, target, control, control_state, parameter, name, matrix, block, classical_target)


def store_of(*gate_fields):
    s = OpchainPackedNative()
    for f in gate_fields:
        s.append_fields(*f)
    return s


def _ascii_lower(text):
    return "".join(c.lower() if "A" <= c <= "Z" else c for c in text)


def all_components(s):
    return [s.components(i) for i in range(len(s))]


MATRIX = np.eye(2, dtype=complex)
CUSTOM = np.eye(4)

# (fields given, components expected, fits one record without overflow data)
ROUND_TRIP = [
    (fields("CX", (1,), (0,), (1,)), ("cx", (1,), (0,), (1,), None, None, None, None, None), True),
    (fields("cnot", (1,), (0,), (1,)), ("cnot", (1,), (0,), (1,), None, None, None, None, None), True),
    (fields("global_phase", (), (), (), (0.5,)),
     ("global_phase", (), (), (), (0.5,), None, None, None, None), True),
    (fields("swap", (3, 5)), ("swap", (3, 5), (), (), None, None, None, None, None), True),
    (fields("h", (0,), parameter=()), ("h", (0,), (), (), (), None, None, None, None), True),
    (fields("rx", (0,), parameter=(0.5,)), ("rx", (0,), (), (), (0.5,), None, None, None, None), True),
    (fields("u", (2,), parameter=(0.1, 0.2, 0.3)),
     ("u", (2,), (), (), (0.1, 0.2, 0.3), None, None, None, None), False),
    (fields("mcx", (0, 1, 2)), ("mcx", (0, 1, 2), (), (), None, None, None, None, None), False),
    (fields("x", (1,), (3,), (0,)), ("x", (1,), (3,), (0,), None, None, None, None, None), False),
    (fields("x", (1,), (3,), None), ("x", (1,), (3,), (1,), None, None, None, None, None), False),
    (fields("mcx", (4,), (0, 1, 2), (1, 0, 1)),
     ("mcx", (4,), (0, 1, 2), (1, 0, 1), None, None, None, None, None), False),
    (fields("mcx", (4,), (0, 1), (1, 1)), ("mcx", (4,), (0, 1), (1, 1), None, None, None, None, None), False),
    (fields("x", (0,), (), (1,)), ("x", (0,), (), (1,), None, None, None, None, None), False),
    (fields("h", (0,), name="H"), ("h", (0,), (), (), None, None, None, None, None), True),
    (fields("h", (0,), name="h"), ("h", (0,), (), (), None, "h", None, None, None), False),
    (fields("unitary", (0,), name=None, matrix=MATRIX),
     ("unitary", (0,), (), (), None, "UNITARY", MATRIX, None, None), False),
    (fields("unitary", (0,), name="U", matrix=MATRIX),
     ("unitary", (0,), (), (), None, "U", MATRIX, None, None), True),
    (fields("Custom_Gate", (0, 1), matrix=CUSTOM),
     ("custom_gate", (0, 1), (), (), None, None, CUSTOM, None, None), False),
    (fields("MyGate", (0,)), ("mygate", (0,), (), (), None, None, None, None, None), True),
    (fields("", (0,)), ("", (0,), (), (), None, None, None, None, None), True),
    (fields("Äb", (0,)), ("Äb", (0,), (), (), None, None, None, None, None), True),
    (fields("measure", (0, 1), classical_target=(3, 4)),
     ("measure", (0, 1), (), (), None, None, None, None, (3, 4)), False),
    (fields("measure", (0,), classical_target=()), ("measure", (0,), (), (), None, None, None, None, ()), False),
    (fields("barrier", ()), ("barrier", (), (), (), None, None, None, None, None), True),
    (fields("x", (-1,)), ("x", (-1,), (), (), None, None, None, None, None), False),
    (fields("swap", (-2, 3)), ("swap", (-2, 3), (), (), None, None, None, None, None), False),
    (fields("swap", (2, -3)), ("swap", (2, -3), (), (), None, None, None, None, None), True),
    (fields("x", (2**31 - 1,), (-(2**31),), None), ("x", (2**31 - 1,), (-(2**31),), (1,), None, None, None, None, None),
     False),
]


@pytest.mark.parametrize("given, expected, inline", ROUND_TRIP)
def test_fields_round_trip(given, expected, inline):
    s = store_of(given)
    got = s.components(0)
    assert got == expected
    if expected[6] is not None:
        assert got[6] is expected[6]
    # An inline gate costs one record and no overflow entry or arena value.
    assert (s.memory_usage()["auxiliary"] == 0) == inline
    assert len(s) == 1 and s.version == 1


@pytest.mark.parametrize("given, expected, inline", ROUND_TRIP)
def test_gate_object_round_trip(given, expected, inline):
    id, target, control, state, parameter, name, matrix, block, classical = given
    gate = Gate(id, target, control, state if state is not None else (), parameter, name, matrix, block,
                classical)
    if name is None:  # what a gate object reports: its id upper-cased (a to z only)
        gate.name = "".join(c.upper() if "a" <= c <= "z" else c for c in _ascii_lower(id))
    s = OpchainPackedNative()
    s.append_gate(gate)
    got = s.components(0)
    exp = list(expected)
    exp[3] = tuple(state) if state is not None else (1,) * len(control)
    if exp[5] is None and gate.name != ("U" if exp[0] == "unitary" else exp[0].upper()):
        exp[5] = gate.name
    assert got == tuple(exp)


def test_parameters_and_floats_convert_like_numbers():
    s = store_of(fields("rz", [np.int64(3)], [True], [np.int32(1)], [np.float32(0.25), 1]))
    assert s.components(0) == ("rz", (3,), (1,), (1,), (0.25, 1.0), None, None, None, None)


def test_same_matrix_object_is_one_resource_equal_arrays_are_two():
    m = np.eye(2)
    s = store_of(fields("unitary", (0,), name="U", matrix=m), fields("unitary", (1,), name="U", matrix=m))
    assert s.resource_count == 1
    s.append_fields(*fields("unitary", (2,), name="U", matrix=np.eye(2)))
    assert s.resource_count == 2
    assert s.components(0)[6] is m and s.components(1)[6] is m


def test_custom_ids_and_names_are_interned_once():
    s = store_of(*[fields("Foo", (i,), name="bar") for i in range(5)])
    strings = s.memory_usage()["strings"]
    one = store_of(fields("Foo", (0,), name="bar")).memory_usage()["strings"]
    assert strings == one


# --- nested blocks -----------------------------------------------------------

@pytest.mark.parametrize("targets, arena_values", [
    ((0, 1, 2), 0),   # identity: no targets stored
    ((4, 5, 6), 0),   # contiguous from 4
    ((2, 0), 1),      # listed: all but the first in the arena
    ((), 0),
    ((-1, 0), 2),     # a negative start is listed in full
])
def test_block_target_mappings_round_trip(targets, arena_values):
    child = store_of(fields("h", (0,)))
    s = store_of(fields("block", targets, name="blk", block=View(child)))
    comp = s.components(0)
    assert comp[1] == targets
    assert comp[5] == "blk"
    assert len(comp[7]) == 1 and comp[7].components(0) == child.components(0)
    int_arena = s.memory_usage()["int_arena"]
    assert (int_arena > 0) == (arena_values > 0)


def test_block_given_as_list_of_gates_is_encoded_recursively():
    inner = [Gate("h", (0,)), Gate("cx", (1,), (0,))]
    outer = [Gate("block", (0, 1), name="inner", block_gate_sequence=inner), Gate("x", (2,))]
    s = OpchainPackedNative()
    s.append_fields(*fields("block", (3, 4, 5), name="outer", block=outer))
    snap = s.components(0)[7]
    assert len(snap) == 2
    assert snap.components(0)[5] == "inner"
    assert all_components(snap.components(0)[7]) == [
        ("h", (0,), (), (), None, None, None, None, None),
        ("cx", (1,), (0,), (1,), None, None, None, None, None),
    ]
    assert snap.components(1) == ("x", (2,), (), (), None, None, None, None, None)


def test_block_view_of_unchanged_store_is_snapshotted_once():
    child = store_of(fields("h", (0,)))
    s = OpchainPackedNative()
    s.append_fields(*fields("block", (0,), block=View(child)))
    s.append_fields(*fields("block", (1,), block=View(child)))
    assert s.block_resource_count == 1
    a, b = s.components(0)[7], s.components(1)[7]
    assert a is b and a is not child
    child.append_fields(*fields("x", (0,)))
    s.append_fields(*fields("block", (2,), block=View(child)))
    assert s.block_resource_count == 2
    assert len(s.components(0)[7]) == 1 and len(s.components(2)[7]) == 2


def test_snapshot_handed_back_to_its_parent_is_reused():
    child = store_of(fields("h", (0,)))
    s = store_of(fields("block", (0,), block=View(child)))
    snap = s.components(0)[7]
    s.append_fields(*fields("block", (1,), block=View(snap)))
    assert s.block_resource_count == 1
    assert s.components(1)[7] is snap


def test_snapshot_is_independent_of_later_source_changes():
    child = store_of(fields("h", (0,)))
    s = store_of(fields("block", (0,), block=View(child)))
    child.clear()
    assert len(s.components(0)[7]) == 1


def test_store_may_embed_itself():
    s = store_of(fields("h", (0,)))
    s.append_fields(*fields("block", (0,), block=View(s)))
    assert len(s) == 2
    assert all_components(s.components(1)[7]) == [("h", (0,), (), (), None, None, None, None, None)]


def test_empty_block_round_trips():
    s = store_of(fields("block", (0,), block=[]))
    assert len(s.components(0)[7]) == 0


# --- structural editing ------------------------------------------------------

def test_insert_erase_set_in_the_middle():
    s = store_of(fields("h", (0,)), fields("x", (1,)))
    s.insert_fields(1, *fields("y", (2,)))
    assert [c[0] for c in all_components(s)] == ["h", "y", "x"]
    s.insert_fields(0, *fields("z", (3,)))
    s.insert_fields(4, *fields("s", (3,)))
    assert [c[0] for c in all_components(s)] == ["z", "h", "y", "x", "s"]
    v = s.version
    s.erase(2)
    assert [c[0] for c in all_components(s)] == ["z", "h", "x", "s"] and s.version == v + 1
    s.set_gate(0, Gate("t", (5,)))
    assert s.components(0)[:2] == ("t", (5,)) and s.version == v + 3


def test_erase_of_last_gate_drops_its_tables():
    m = np.eye(2)
    s = store_of(fields("Foo", (0,), name="named", matrix=m, classical_target=(1,)))
    v = s.version
    s.erase(0)
    assert len(s) == 0 and s.version == v + 1
    usage = s.memory_usage()
    assert usage["record_slices"] == 0 and usage["strings"] == 0 and s.resource_count == 0
    assert usage["auxiliary"] == 0


def test_erase_keeps_only_used_names():
    s = store_of(fields("x", (0,), name="first"), fields("x", (1,), name="second"))
    s.erase(0)
    assert s.memory_usage()["strings"] == store_of(fields("x", (1,), name="second")).memory_usage()["strings"]
    assert s.components(0)[5] == "second"


@pytest.mark.parametrize("call, message", [
    (lambda s: s.insert_fields(3, *fields("x", (0,))), "gate insertion index out of range"),
    (lambda s: s.erase(2), "gate index out of range"),
    (lambda s: s.components(2), "gate index out of range"),
    (lambda s: s.set_gate(2, Gate("x", (0,))), "gate index out of range"),
    (lambda s: s.repeat(2).components(4), "gate index out of range"),
])
def test_index_errors(call, message):
    s = store_of(fields("h", (0,)), fields("x", (1,)))
    with pytest.raises(IndexError, match=f"^{message}$"):
        call(s)
    assert len(s) == 2 and s.version == 2


@pytest.mark.parametrize("call", [
    lambda s: s.erase(-1),
    lambda s: s.components(-1),
    lambda s: s.components(1.0),
    lambda s: s.insert_fields(-1, *fields("x", (0,))),
    lambda s: s.append_fields(b"x", (0,), (), (), None, None, None, None, None),
    lambda s: s.append_fields(None, (0,), (), (), None, None, None, None, None),
    lambda s: s.append_fields(id="x", target=(0,), control=(), control_state=(), parameter=None, name=None,
                              matrix=None, block=None, classical_target=None),
    lambda s: s.append_fields("x", (0,)),
    lambda s: s.repeat(0.5),
    lambda s: s.repeat(-1),
])
def test_argument_conversion_refusals(call):
    s = store_of(fields("h", (0,)))
    with pytest.raises(TypeError):
        call(s)
    assert len(s) == 1 and s.version == 1


# What the store refuses of a gate's fields: by type or by its limits, with the field named, never
# with pybind11's "Unable to cast" (which names neither).
BAD_FIELDS = [
    (dict(target=(0.5,)), TypeError, r"^Target 0\.5 of gate 'x' is not an integer \(float\)\.$"),
    (dict(target=(2**31,)), ValueError, r"^Target 2147483648 of gate 'x' is beyond what gate storage holds: "
                                        r"indices from -2\*\*31 to 2\*\*31 - 1 = 2147483647\.$"),
    (dict(target=(-2**31 - 1,)), ValueError, r"^Target -2147483649 of gate 'x' is beyond what gate storage"),
    (dict(target=(10**5000,)), ValueError, r"^Target a value of type int of gate 'x' is beyond what gate storage"),
    (dict(control=("a",)), TypeError, r"^Control a of gate 'x' is not an integer \(str\)\.$"),
    (dict(control=(2**40,)), ValueError, r"^Control 1099511627776 of gate 'x' is beyond what gate storage"),
    (dict(control=(2,), control_state=(2**31,)), ValueError, r"^Control state 2147483648 of gate 'x' is beyond what"),
    (dict(control=(2,), control_state=(None,)), TypeError, r"^Control state None of gate 'x' is not an integer"),
    (dict(target=5), TypeError, "not iterable"),
    (dict(parameter=("a",)), TypeError, r"^Parameter a of gate 'x' is not a real number \(str\)\.$"),
    (dict(parameter=(1j,)), TypeError, r"^Parameter 1j of gate 'x' is not a real number \(complex\)\.$"),
    (dict(parameter=(10**400,)), ValueError, r"^Parameter 1000.* of gate 'x' is beyond what gate storage holds: "
                                             r"doubles, up to about 1\.8e308\.$"),
    (dict(parameter=3), TypeError, "not iterable"),
    (dict(name=5), TypeError, r"^Gate name must be text \(str\), got int\.$"),
    (dict(name=b"\xff\xfe"), ValueError, r"^Gate name b'\\xff\\xfe' is not valid UTF-8: gate storage holds "
                                        r"names as UTF-8 text\.$"),
    (dict(name="\ud800"), ValueError, r"^Gate name '\\ud800' is not valid Unicode text: gate storage holds names "
                                      r"as UTF-8, which a lone surrogate does not have\.$"),
    (dict(id="\udcff"), ValueError, r"^Gate id '\\udcff' is not valid Unicode text"),
    (dict(classical_target=(None,)), TypeError, r"^Classical bit None of gate 'x' is not an integer"),
    (dict(classical_target=(2**31,)), ValueError, r"^Classical bit 2147483648 of gate 'x' is beyond what gate storage"),
    (dict(block=5), TypeError, "not iterable"),
    (dict(block=View([1, 2])), TypeError, r"^A block marked as a packed view \(_packed_store_native\) must hold a "
                                          r"packed gate store, got list\.$"),
    (dict(block=View(None)), TypeError, r"^A block marked as a packed view .*, got NoneType\.$"),
    (dict(block=[object()]), AttributeError, "no attribute"),
    # Inside a block, targets and controls are positions among its targets, and named so.
    (dict(target=(0, 1), block=[QuantumGate("x", 2**31)]), ValueError,
     r"^Block position 2147483648 of gate 'x' is beyond what gate storage holds"),
    (dict(target=(0, 1), block=[QuantumGate("x", 0, control=-2**31 - 1)]), ValueError,
     r"^Block position -2147483649 of gate 'x' is beyond what gate storage holds"),
    (dict(target=(0, 1), block=[QuantumGate("x", 0, name="\ud800")]), ValueError, r"^Gate name '\\ud800' is not"),
    (dict(target=(0, 1), block=[QuantumGate("measure", 0, classical_target=2**31)]), ValueError,
     r"^Classical bit 2147483648 of gate 'measure' is beyond what gate storage holds"),
]


@pytest.mark.parametrize("bad, error, message", BAD_FIELDS)
def test_bad_fields_fail_without_changing_the_store(bad, error, message):
    s = store_of(fields("h", (0,)))
    before = (all_components(s), s.version, s.memory_usage()["record_slices"])
    args = dict(id="x", target=(1,))
    args.update(bad)
    with pytest.raises(error, match=message) as append:
        s.append_fields(*fields(**args))
    with pytest.raises(error, match=message) as insert:
        s.insert_fields(0, *fields(**args))
    assert (all_components(s), s.version, s.memory_usage()["record_slices"]) == before
    for refused in (append, insert):
        assert "Unable to cast" not in str(refused.value) and "PYBIND11" not in str(refused.value)


def test_gate_object_attribute_errors():
    s = OpchainPackedNative()
    with pytest.raises(AttributeError):
        s.append_gate(object())
    g = Gate("x", (0,))
    g.id = b"\xff"
    with pytest.raises(ValueError, match=r"^Gate id b'\\xff' is not valid UTF-8"):
        s.append_gate(g)
    g.id = 3
    with pytest.raises(TypeError, match=r"^Gate id must be text \(str\), got int\.$"):
        s.append_gate(g)
    g.id = b"x"  # bytes ids are read as their UTF-8 text
    s.append_gate(g)
    assert s.components(0)[0] == "x" and len(s) == 1


class Recording(Gate):
    """Gate object that logs the attributes read from it."""

    def __getattribute__(self, name):
        if not name.startswith("_"):
            object.__getattribute__(self, "_reads").append(name)
        return object.__getattribute__(self, name)


@pytest.mark.parametrize("call", [lambda s, g: s.append_gate(g), lambda s, g: s.set_gate(0, g)])
def test_gate_attributes_are_read_in_a_fixed_order(call):
    s = store_of(fields("h", (0,)))
    g = Recording("x", (1,))
    g._reads = []
    call(s, g)
    assert g._reads == ["classical_target", "block_gate_sequence", "stored_matrix", "name", "parameter",
                        "control_state", "control", "target", "id"]


def test_set_gate_failure_keeps_old_gate():
    m = np.eye(2)
    s = store_of(fields("unitary", (0,), name="U", matrix=m), fields("x", (1,)))
    before = all_components(s)
    with pytest.raises(TypeError, match="^Target 0.5 of gate 'x' is not an integer"):
        s.set_gate(0, Gate("x", (0.5,)))
    with pytest.raises(AttributeError):
        s.set_gate(0, object())
    assert all_components(s) == before and s.version == 2
    assert s.components(0)[6] is m


def test_set_gate_on_repeat_view_materialises_and_adds_two():
    base = store_of(fields("h", (0,)), fields("x", (1,)))
    v = base.repeat(3)
    assert v.version == 0
    v.set_gate(4, Gate("z", (2,)))
    assert not v.is_repeat_view and len(v) == 6 and v.version == 2
    assert [c[0] for c in all_components(v)] == ["h", "x", "h", "x", "z", "x"]


# --- properties and binding ----------------------------------------------------

def test_empty_store():
    s = OpchainPackedNative()
    assert len(s) == 0 and s.version == 0 and not s.is_repeat_view
    assert s.resource_count == 0 and s.block_resource_count == 0
    usage = s.memory_usage()
    assert list(usage) == ["records", "auxiliary", "resources", "strings", "total", "record_slices",
                           "shared_record_pages", "int_arena", "parameter_arena"]
    assert usage["record_slices"] == 0 and usage["shared_record_pages"] == 0
    assert s.storage_bytes == usage["total"]


def test_methods_and_class_surface():
    names = [n for n in vars(OpchainPackedNative) if not n.startswith("_") or n in ("__init__", "__len__")]
    assert names == ["__init__", "copy", "clear", "append_fields", "insert_fields", "append_gate", "set_gate",
                     "erase", "replace_range", "components", "reverse_qubits", "repeat", "inverse", "decompose",
                     "has_measurement", "measurement_plan", "bulk_supported", "memory_usage", "version", "resource_count",
                     "block_resource_count", "is_repeat_view", "storage_bytes", "__len__"]
    for prop in ["version", "resource_count", "block_resource_count", "is_repeat_view", "storage_bytes"]:
        assert isinstance(vars(OpchainPackedNative)[prop], property)
    with pytest.raises(AttributeError):
        OpchainPackedNative().version = 3


def test_clear_releases_everything_and_adds_one():
    s = store_of(fields("Foo", (0,), name="n", matrix=np.eye(2)), fields("block", (0,), block=[Gate("h", (0,))]))
    v = s.version
    s.clear()
    assert len(s) == 0 and s.version == v + 1 and s.resource_count == 0 and s.block_resource_count == 0
    assert s.storage_bytes == OpchainPackedNative().storage_bytes


# --- QuantumGate objects --------------------------------------------------------

def _quantum_gates():
    from quorvex.backend.gate.morlith import QuantumGate as Q
    m = np.eye(2, dtype=complex)
    return [
        Q("h", (0,)), Q("CX", (1,), (0,)), Q("rz", (2,), parameter=(0.3,)),
        Q("u", (0,), parameter=(0.1, 0.2, 0.3)), Q("mcx", (3,), (0, 1, 2), (1, 0, 1)),
        Q("measure", (0, 1), classical_target=(0, 1)), Q("x", (0,), name="mine"),
        Q("unitary", (0,), matrix=m), Q("swap", (4, 2)),
        Q("block", (2, 3), name="B", block_gate_sequence=(Q("h", (0,)), Q("cx", (1,), (0,)))),
    ]


def _rebuild(comp):
    from quorvex.backend.gate.morlith import QuantumGate as Q
    id, target, control, state, parameter, name, matrix, block, classical = comp
    children = None if block is None else tuple(_rebuild(block.components(i)) for i in range(len(block)))
    return Q(id, target, control, state, name, parameter, children, matrix, classical)


def test_quantum_gates_round_trip_through_components():
    gates = _quantum_gates()
    s = OpchainPackedNative()
    for g in gates:
        s.append_gate(g)
    assert [_rebuild(s.components(i)) for i in range(len(s))] == gates
    s.set_gate(0, gates[-1])
    assert _rebuild(s.components(0)) == gates[-1]
