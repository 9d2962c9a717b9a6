"""Packed storage: writes that keep everything or nothing, positions from the
end taken over by a circuit, and walks of blocks shared by reference or of
repeat views that finish, or are refused with their count, at once."""
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.backend.pelmor.strovane import OpchainPackedNative, execute_gate_sequence_packed
from quorvex.core import Circuit

H, X, Y, Z = (QuantumGate(g, (0,)) for g in "hxyz")
# A block whose child names a position outside it: the store refuses it.
BAD = QuantumGate("block", (0,), block_gate_sequence=(QuantumGate("x", (5,)),))
REFUSED = "Block position 5 of gate 'x' is outside its block of 1 target"


def packed(*gates):
    seq = OpchainPacked(1)
    for gate in gates:
        seq.add_gate(gate)
    return seq


def shared(levels, leaf="x"):
    gate = QuantumGate(leaf, (0,))
    for _ in range(levels):
        gate = QuantumGate("block", (0,), block_gate_sequence=(gate, gate))
    return gate


# --- writes: all or nothing ---------------------------------------------------

WRITES = [
    ("setter", lambda s: setattr(s, "_data", [Y, BAD])),
    ("setter, non-gate", lambda s: setattr(s, "_data", [Y, "v"])),
    ("contiguous slice", lambda s: s.data().__setitem__(slice(0, 2), [Y, BAD])),
    ("growing slice", lambda s: s.data().__setitem__(slice(1, 2), [Y, Y, BAD])),
    ("slice at the end", lambda s: s.data().__setitem__(slice(3, 3), [Y, BAD])),
    ("extended slice", lambda s: s.data().__setitem__(slice(None, None, 2), [Y, BAD])),
    ("extend", lambda s: s.data().extend([Y, BAD])),
    ("+=, non-gate", lambda s: s.data().__iadd__([Y, Z, "v"])),
]


@pytest.mark.parametrize("write", [w[1] for w in WRITES], ids=[w[0] for w in WRITES])
def test_a_refused_write_leaves_the_sequence_as_it_was(write):
    seq = packed(H, X, Z)
    version = seq.version
    with pytest.raises((ValueError, TypeError)):
        write(seq)
    assert list(seq) == [H, X, Z] and seq.version == version


def test_writes_that_succeed_count_each_change_and_keep_shared_blocks():
    block = QuantumGate("block", (0,), block_gate_sequence=packed(H, X).data())
    seq = packed(H, X, Z)
    version = seq.version
    seq.data()[1:2] = [Y, block, Y]
    assert list(seq) == [H, Y, block, Y, Z] and seq.version == version + 4
    seq._data = [Z, block]
    assert list(seq) == [Z, block]
    seq.data()[2:] = [X]
    assert list(seq) == [Z, block, X]
    # a repeat view is replaced whole without being written out
    rep = packed(H).repeat(2**40)
    rep._data = [X]
    assert list(rep) == [X]


@pytest.mark.parametrize("storage", ["list", "packed"])
def test_circuit_setter_refusal_keeps_the_circuit(storage):
    c = Circuit(1, gate_storage=storage)
    c.h(0)
    bad = Opchain(1)
    bad.add_gate(H)
    bad.add_gate(QuantumGate("x", (3,)))
    with pytest.raises(ValueError):
        c.gate_sequence = bad
    assert [g.id for g in c.gate_sequence.data()] == ["h"]


# --- positions from the end of a packed sequence --------------------------------

@pytest.mark.parametrize("build", ["append", "control"])
@pytest.mark.parametrize("storage", ["list", "packed"])
def test_positions_from_the_end_in_a_packed_block_run_on_every_storage(build, storage):
    inner = OpchainPacked(2)
    inner.add_gate(QuantumGate("x", -1))
    if build == "append":
        outer = OpchainPacked(2)
        outer.append(inner, [0, 1])
    else:
        outer = inner.control(1, control_state=(0,))
    c = Circuit(outer._num_qubits, gate_storage=storage)
    c.gate_sequence = outer
    state = c.execute().state
    assert abs(state[2]) == pytest.approx(1.0)  # X on qubit 1


# --- barriers ---------------------------------------------------------------------

@pytest.mark.parametrize("storage", ["list", "packed"])
def test_a_barrier_does_not_expand_a_shared_block(storage):
    # 2**23 gates: expanded leaf by leaf they are refused or take minutes;
    # walked natively they run in about a second.
    c = Circuit(1, gate_storage=storage)
    c.add_gate(QuantumGate("block", (0,), block_gate_sequence=(shared(23), QuantumGate("barrier", (0,)))))
    c.add_gate(QuantumGate("b", (0,)))
    np.testing.assert_allclose(c.execute().state, [1, 0])


def test_the_executor_runs_a_barrier_as_nothing():
    store = OpchainPackedNative()
    store.append_gate(QuantumGate("barrier", (0, 1)))
    state = np.array([0.6, 0.8j, 0, 0], complex)
    out, results = execute_gate_sequence_packed(2, state.copy(), store)
    np.testing.assert_array_equal(out, state)
    assert results == {}


# --- walks of shared blocks and repeat views ----------------------------------------

def test_measurement_plans_answered_from_block_facts():
    def store(*gates):
        s = OpchainPackedNative()
        for gate in gates:
            s.append_gate(gate)
        return s

    measure = QuantumGate("measure", (0,), classical_target=(0,))
    block = QuantumGate("block", (0,), block_gate_sequence=(QuantumGate("i", (0,)), QuantumGate("h", (0,))))
    identities = QuantumGate("block", (1,), block_gate_sequence=(QuantumGate("i", (0,)),))
    measured = QuantumGate("block", (3,), block_gate_sequence=(measure,))
    cases = [
        ((block, measured, identities), ("terminal", (3,), (0,))),
        ((measured, block), ("dynamic", (), ())),
        ((measured, measured), ("dynamic", (), ())),
        ((measured, identities), ("terminal", (3,), (0,))),
        ((QuantumGate("block", (3,), control=(1,), block_gate_sequence=(measure,)),), ("dynamic", (), ())),
        ((block, identities), ("none", (), ())),
    ]
    for gates, plan in cases:
        assert store(*gates).measurement_plan() == plan, gates


GUARDED = textwrap.dedent("""
    import os, resource, sys
    # Far below what a walk of 2**40 gates or its expansion would need; above
    # what the process maps now, which a sanitizer's shadow memory makes huge.
    mapped = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (6 << 30), resource.getrlimit(resource.RLIMIT_AS)[1]))
    from quorvex.backend.gate.morlith import QuantumGate
    from quorvex.backend.opchain.packed import OpchainPacked
    from quorvex.core import Circuit

    def shared(levels):
        gate = QuantumGate("x", (0,))
        for _ in range(levels):
            gate = QuantumGate("block", (0,), block_gate_sequence=(gate, gate))
        return gate

    one = OpchainPacked(1)
    one.add_gate(QuantumGate("x", (0,)))
    rep = one.repeat(2**40)
    deep, other = OpchainPacked(1), OpchainPacked(1)
    deep.add_gate(shared(40))
    other.add_gate(shared(40))
    # A block over the repeat view: each block object is read once, and this
    # one stands for 2**40 records.
    over = QuantumGate("block", (0,), block_gate_sequence=rep.data())
    holding = OpchainPacked(1)
    holding.add_gate(over)
    cases = {
        "bulk_supported": lambda: deep._native.bulk_supported(),
        "measurement_plan": lambda: deep._native.measurement_plan(),
        "packed setter": lambda: setattr(Circuit(1, gate_storage="packed"), "gate_sequence", deep),
        "views equal": lambda: deep.data() == other.data(),
        "decompose": lambda: deep.decompose(40),
        "repeat inverse": rep.inverse,
        "repeat reverse": rep.reverse,
        "repeat insert": lambda: rep.copy().data().insert(0, QuantumGate("h", (0,))),
        "repeat decompose": lambda: len(rep.decompose()),
        "repeat to_openqasm": rep.to_openqasm,
        "repeat packed setter": lambda: setattr(Circuit(1, gate_storage="packed"), "gate_sequence", rep),
        "repeat list setter": lambda: setattr(Circuit(1), "gate_sequence", rep),
        "repeat Circuit.append": lambda: Circuit(1).append(rep, [0]),
        "block over repeat, list add": lambda: Circuit(1).add_gate(over),
        "block over repeat, packed add": lambda: Circuit(1, gate_storage="packed").add_gate(over),
        "block over repeat, packed setter": lambda: setattr(Circuit(1, gate_storage="packed"), "gate_sequence",
                                                            holding),
        "block over repeat, to_openqasm": holding.to_openqasm,
        "block over repeat, matrix": lambda: holding.data()[0].matrix,
        "block over repeat, dagger": lambda: holding.data()[0].dagger(),
    }
    for name in sys.argv[1:]:
        try:
            outcome = repr(cases[name]())[:40]
        except MemoryError as exc:
            outcome = "MemoryError: " + str(exc)
        print(name, "->", outcome)
""")

WALKS = {
    "bulk_supported": "True",
    "measurement_plan": "('none', (), ())",
    "packed setter": "None",
    "views equal": "True",
    "decompose": "MemoryError: Decomposing the blocks would make 1099511627776 gates",
    "repeat inverse": "MemoryError: Inverting the repeated sequence would make 1099511627776 gates",
    "repeat reverse": "MemoryError: Mirroring the repeated sequence would make 1099511627776 gates",
    "repeat insert": "MemoryError: Writing out the repeated sequence would make 1099511627776 gates",
    "repeat decompose": "1099511627776",
    "repeat to_openqasm": "MemoryError: Writing the sequence as OpenQASM would make 1099511627776 gates",
    "repeat packed setter": "MemoryError: Taking over the gates of the sequence would make 1099511627776 gates",
    "repeat list setter": "MemoryError: Reading the gates of the sequence would make 1099511627776 gates",
    "repeat Circuit.append": "MemoryError: Reading the gates of the sequence would make 1099511627776 gates",
    **dict.fromkeys(["block over repeat, list add", "block over repeat, packed add", "block over repeat, packed setter",
                     "block over repeat, to_openqasm", "block over repeat, matrix", "block over repeat, dagger"],
                    "MemoryError: Reading the gates of a block's packed sequence would make 1099511627776 gates"),
}


def test_walks_of_forty_shared_levels_and_huge_repeat_views_finish_or_are_refused():
    # One process for all: each case answers at once (a generous timeout
    # guards against a walk that goes through every gate).
    done = subprocess.run([sys.executable, "-c", GUARDED, *WALKS], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = dict(line.split(" -> ", 1) for line in done.stdout.splitlines())
    for name, expected in WALKS.items():
        assert lines[name].startswith(expected), (name, lines[name])


# --- builds that keep reading the sequence -----------------------------------------

def test_a_kept_packed_view_does_not_give_every_added_gate_a_page():
    c = Circuit(4, gate_storage="packed")
    for i in range(3000):
        kept = c.gate_sequence
        c.h(i % 4)
    del kept
    # pages of doubling room, not one per gate
    assert c.gate_sequence.storage_breakdown["record_slices"] <= 16
    assert [g.target for g in c.gate_sequence[:5]] == [(0,), (1,), (2,), (3,), (0,)]


def test_a_copy_still_sees_only_its_own_records():
    s = OpchainPackedNative()
    s.append_gate(H)
    c = s.copy()
    for _ in range(5):
        s.append_gate(X)
    assert len(c) == 1 and [c.components(0)[0]] == ["h"]
    c.append_gate(Z)
    assert [s.components(i)[0] for i in range(len(s))] == ["h"] + ["x"] * 5
    assert [c.components(i)[0] for i in range(len(c))] == ["h", "z"]


EDITS = [
    ("append", lambda data: data.append(QuantumGate("y", (1,)))),
    ("replace", lambda data: data.__setitem__(0, QuantumGate("z", (0,)))),
    ("slice", lambda data: data.__setitem__(slice(0, 1), [QuantumGate("z", (0,))])),
    ("delete", lambda data: data.__delitem__(0)),
    ("reverse", lambda data: data.reverse()),
]


@pytest.mark.parametrize("edit", [e[1] for e in EDITS], ids=[e[0] for e in EDITS])
@pytest.mark.parametrize("kept", [True, False])
def test_list_storage_takes_edits_of_the_read_sequence_before_the_next_add(edit, kept):
    c = Circuit(2)
    c.h(0)
    c.x(1)
    want = Opchain(2)
    for gate in c.gate_sequence.data():
        want.add_gate(gate)
    edit(want._data)
    sequence = c.gate_sequence
    edit(sequence.data())
    if not kept:
        del sequence
    c.h(1)
    want.add_gate(QuantumGate("h", (1,)))
    assert c.gate_sequence.data() == want.data()


def test_list_storage_reads_between_adds_stay_snapshots():
    c = Circuit(2)
    first = c.gate_sequence
    c.h(0)
    second = c.gate_sequence
    del second  # dropped: the next read may go on with it
    c.x(1)
    third = c.gate_sequence
    c.h(1)
    assert [g.id for g in first.data()] == []
    assert [g.id for g in third.data()] == ["h", "x"]
    assert [g.id for g in c.gate_sequence.data()] == ["h", "x", "h"]
