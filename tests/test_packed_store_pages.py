"""OpchainPackedNative: shared pages, copies, repeat views and storage figures."""
import numpy as np
import pytest

from quorvex.backend.pelmor.strovane import OpchainPackedNative


class Gate:
    def __init__(self, id, target=(), control=(), parameter=None, name=None, stored_matrix=None):
        self.id = id
        self.target = tuple(target)
        self.control = tuple(control)
        self.control_state = (1,) * len(control)
        self.parameter = parameter
        self.name = name if name is not None else id.upper()
        self.stored_matrix = stored_matrix
        self.block_gate_sequence = None
        self.classical_target = None


def f(id, target=(0,), control=(), state=(), parameter=None, name=None, matrix=None, block=None, classical=None):
    return (id, target, control, state, parameter, name, matrix, block, classical)


def snapshot(s):
    return [s.components(i) for i in range(len(s))], len(s), s.version


def mixed_store():
    s = OpchainPackedNative()
    s.append_fields(*f("h", (0,)))
    s.append_fields(*f("mcx", (3,), (0, 1, 2), (1, 0, 1)))
    s.append_fields(*f("Foo", (1, 2), name="foo", matrix=np.eye(4)))
    s.append_fields(*f("block", (0, 1), block=[Gate("h", (0,)), Gate("cx", (1,), (0,))]))
    s.append_fields(*f("u", (2,), parameter=(0.1, 0.2, 0.3)))
    return s


MUTATORS = [
    ("append_fields", lambda s: s.append_fields(*f("x", (5,), (1, 2), (1, 1), None, "nm"))),
    ("insert_fields", lambda s: s.insert_fields(0, *f("rx", (5,), parameter=(0.7, 0.8)))),
    ("append_gate", lambda s: s.append_gate(Gate("ry", (3,), parameter=(0.1,)))),
    ("set_gate", lambda s: s.set_gate(1, Gate("rz", (4,), (0, 1), (0.3,)))),
    ("erase", lambda s: s.erase(2)),
    ("clear", lambda s: s.clear()),
]


@pytest.mark.parametrize("name, mutate", MUTATORS)
@pytest.mark.parametrize("side", ["original", "copy"])
def test_copy_isolation(name, mutate, side):
    s = mixed_store()
    c = s.copy()
    assert snapshot(c) == snapshot(s)
    changed, other = (s, c) if side == "original" else (c, s)
    before = snapshot(other)
    usage_before = other.memory_usage()
    mutate(changed)
    assert snapshot(other) == before
    # The unchanged side's pages were not written: its figures only differ
    # in how many of them are still shared.
    after = other.memory_usage()
    for key in ("records", "auxiliary", "int_arena", "parameter_arena", "record_slices"):
        assert after[key] == usage_before[key]
    # Further appends on both sides stay apart.
    changed.append_fields(*f("x", (7,)))
    assert snapshot(other) == before


def test_copy_shares_pages_and_keeps_version():
    s = mixed_store()
    assert s.memory_usage()["shared_record_pages"] == 0
    c = s.copy()
    assert c.version == s.version
    assert s.memory_usage()["shared_record_pages"] == 1
    assert c.memory_usage()["shared_record_pages"] == 1
    assert type(c) is OpchainPackedNative and c is not s
    c.append_fields(*f("x", (1,)))
    # The first append after a copy starts a new page in the store appended to.
    assert c.memory_usage()["record_slices"] == 2
    assert s.memory_usage()["record_slices"] == 1
    assert c.version == s.version + 1
    del c
    assert s.memory_usage()["shared_record_pages"] == 0


def test_copy_cost_does_not_depend_on_record_count():
    s = OpchainPackedNative()
    for i in range(3000):
        s.append_fields(*f("h", (i % 5,)))
    c = s.copy()
    # A copy of a store holds the same pages, so the two together cost one
    # page set plus two store headers.
    assert c.memory_usage()["records"] <= s.memory_usage()["records"]
    assert c.memory_usage()["shared_record_pages"] == 1


def test_record_page_boundary():
    s = OpchainPackedNative()
    for i in range(16384):
        s.append_fields(*f("h", (i % 7,)))
    assert s.memory_usage()["record_slices"] == 1
    s.append_fields(*f("x", (3,)))
    assert s.memory_usage()["record_slices"] == 2
    assert s.components(16383)[:2] == ("h", (16383 % 7,))
    assert s.components(16384)[:2] == ("x", (3,))


def test_extra_page_boundary():
    s = OpchainPackedNative()
    # Each of these gates needs one overflow entry and nothing else.
    gate = f("x", (0,), name="n")
    s.append_fields(*gate)
    one_entry = s.memory_usage()["auxiliary"]
    for i in range(1023):
        s.append_fields(*f("x", (i % 3,), name="n"))
    full_page = s.memory_usage()["auxiliary"]
    s.append_fields(*f("y", (9,), name="n"))
    # The 1025th entry opens a second page: one more slot in the page list,
    # one page header and one entry, just what the first entry cost.
    assert s.memory_usage()["auxiliary"] - full_page == one_entry
    assert s.components(1023)[:2] == ("x", (1022 % 3,))
    assert s.components(1024) == ("y", (9,), (), (), None, "n", None, None, None)


def test_copy_then_aux_append_copies_only_last_page():
    s = OpchainPackedNative()
    for i in range(1030):
        s.append_fields(*f("x", (i % 3,), name="n"))
    c = s.copy()
    c.append_fields(*f("z", (1,), name="n"))
    assert s.components(1029) == ("x", (1029 % 3,), (), (), None, "n", None, None, None)
    assert c.components(1030)[0] == "z" and len(s) == 1030


# --- repeat views ----------------------------------------------------------------

def test_repeat_view_reads_through_base():
    s = OpchainPackedNative()
    for g in ["h", "x", "y"]:
        s.append_fields(*f(g))
    v = s.repeat(4)
    assert v.is_repeat_view and len(v) == 12 and v.version == 0
    assert [v.components(i)[0] for i in range(12)] == ["h", "x", "y"] * 4
    s.append_fields(*f("z"))  # later changes of the receiver do not reach the view
    assert len(v) == 12
    with pytest.raises(IndexError, match="^gate index out of range$"):
        v.components(12)


def test_repeat_errors_and_limits():
    s = OpchainPackedNative()
    s.append_fields(*f("h"))
    s.append_fields(*f("x"))
    with pytest.raises(ValueError, match="^times must be positive$"):
        s.repeat(0)
    with pytest.raises(OverflowError, match="^repeated gate sequence is too large$"):
        s.repeat(2**62)
    v = s.repeat(2**62 - 1)
    assert len(v) == 2**63 - 2
    assert v.components(2**63 - 3)[0] == "x"
    with pytest.raises(OverflowError):
        v.repeat(2)
    empty = OpchainPackedNative().repeat(2**64 - 1)
    assert len(empty) == 0 and len(empty.repeat(2**64 - 1)) == 0
    with pytest.raises(IndexError):
        empty.components(0)


def test_repeat_of_views_and_materialisation():
    s = OpchainPackedNative()
    s.append_fields(*f("h"))
    s.append_fields(*f("mcx", (3,), (0, 1), (0, 1)))
    vv = s.repeat(2).repeat(3)
    assert len(vv) == 12
    expected = [s.components(i % 2) for i in range(12)]
    assert [vv.components(i) for i in range(12)] == expected
    vv.append_fields(*f("z"))
    assert not vv.is_repeat_view and len(vv) == 13 and vv.version == 1
    assert [vv.components(i) for i in range(12)] == expected
    # Materialised runs are slices over the base's page, no record copied.
    assert vv.memory_usage()["record_slices"] == 7


def test_materialised_view_starts_new_page_on_append():
    s = OpchainPackedNative()
    s.append_fields(*f("h"))
    v = s.repeat(3)
    v.append_fields(*f("x"))
    assert v.memory_usage()["record_slices"] == 4
    assert v.memory_usage()["shared_record_pages"] >= 1


def test_clear_on_repeat_view():
    s = OpchainPackedNative()
    s.append_fields(*f("h"))
    v = s.repeat(5)
    v.clear()
    assert not v.is_repeat_view and len(v) == 0 and v.version == 1


def test_copy_of_view_is_a_view():
    s = OpchainPackedNative()
    s.append_fields(*f("h"))
    v = s.repeat(2)
    c = v.copy()
    assert c.is_repeat_view and len(c) == 2
    c.erase(0)
    assert len(v) == 2 and v.is_repeat_view


def test_repeat_view_figures():
    s = OpchainPackedNative()
    m = np.eye(2)
    for g in ["h", "x", "y"]:
        s.append_fields(*f(g, name=g + "!", matrix=m))
    store_object = OpchainPackedNative().memory_usage()["records"]
    v = s.repeat(3)
    base = s.copy().memory_usage()
    usage = v.memory_usage()
    assert usage["records"] == base["records"] + store_object
    for key in ("auxiliary", "resources", "strings", "record_slices", "int_arena", "parameter_arena"):
        assert usage[key] == base[key]
    assert v.resource_count == s.resource_count == 1
    assert v.storage_bytes == usage["total"]
    vv = v.repeat(2)
    usage2 = vv.memory_usage()
    assert usage2["records"] == usage["records"] + store_object
    assert [usage2[k] for k in ("record_slices", "shared_record_pages", "int_arena", "parameter_arena")] == [0] * 4


def test_storage_bytes_of_inline_gates_is_near_a_record():
    s = OpchainPackedNative()
    n = 3 * 16384
    for i in range(n):
        s.append_fields(*f(("h", "cx", "rz")[i % 3], (i % 4,), (), (), None))
    assert s.storage_bytes / n <= 32.5


def test_records_sharing_an_entry_keep_sharing_after_rebuild():
    s = OpchainPackedNative()
    s.append_fields(*f("mcx", (3,), (0, 1, 2), (1, 0, 1), None, "nm"))
    one_entry = s.memory_usage()
    v = s.repeat(3)
    v.erase(0)  # materialised runs share the base's entry; the rebuild keeps one
    usage = v.memory_usage()
    assert len(v) == 2 and v.components(1) == s.components(0)
    for key in ("auxiliary", "int_arena", "strings"):
        assert usage[key] == one_entry[key]
