"""Blocks shared by reference: a few records that describe very many gates.

A gate whose block holds the same gate twice, k levels deep, is k + 1
records and 2**k gates. Adding it keeps it at that size; whatever has to
expand it counts the gates first and refuses, with MemoryError, an expansion
that cannot fit in the memory the process can still allocate.
"""
import collections
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quorvex._memory import available_memory
from quorvex.backend.expansion import check_expansion
from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.backend.pelmor.strovane import OpchainPackedNative
from quorvex.core import Circuit

from interrupts import alarm

STORAGES = ["list", "packed"]
HUGE = 60  # levels: 2**60 gates, beyond any machine's memory


def shared(leaf, levels):
    gate = leaf
    for _ in range(levels):
        gate = QuantumGate("block", [0], block_gate_sequence=(gate, gate))
    return gate


def too_many(what, levels):
    return r"^" + what + " would make " + str(2**levels) + r" gates, at least \d+ bytes, more than the \d+ bytes"


def test_the_store_holds_a_shared_block_once_per_level():
    levels = 40
    store = OpchainPackedNative()
    store.append_gate(shared(QuantumGate("x", [0]), levels))
    level = store.components(0)[7]
    for depth in range(levels - 1):
        # both records of a level share one snapshot of the level below
        assert len(level) == 2 and level.block_resource_count == 1
        below = level.components(0)[7]
        assert level.components(1)[7] is below
        level = below
    assert [level.components(i)[0] for i in range(2)] == ["x", "x"]


def test_only_an_iterator_is_read_again_where_it_recurs():
    class Gate:
        """Duck-typed gate whose block is whatever it was given."""

        def __init__(self, id, block=None):
            self.id, self.target, self.control, self.control_state = id, (0,), (), ()
            self.parameter, self.name, self.stored_matrix, self.classical_target = None, id.upper(), None, None
            self.block_gate_sequence = block

    for block, second in ((iter([Gate("h")]), 0), ([Gate("h")], 1)):
        store = OpchainPackedNative()
        store.append_gate(Gate("block", [Gate("block", block), Gate("block", block)]))
        inner = store.components(0)[7]
        # an iterator is used up by its first reading, as it always was
        assert [len(inner.components(i)[7]) for i in range(2)] == [1, second]


@pytest.mark.parametrize("storage", STORAGES)
def test_a_circuit_adds_and_runs_a_shared_block(storage):
    levels, theta = 12, 1e-3
    c = Circuit(1, gate_storage=storage)
    c.add_gate(shared(QuantumGate("rx", [0], parameter=theta), levels))
    # vendor gates are run from their matrices, so this one is expanded
    c.add_gate(shared(QuantumGate("x2p", [0]), 2))
    want = Circuit(1)
    want.add_gate(QuantumGate("rx", [0], parameter=theta * 2**levels + 4 * np.pi / 2))
    assert np.allclose(c.execute().state, want.execute().state, atol=1e-9)
    huge = Circuit(1, gate_storage=storage)
    huge.add_gate(shared(QuantumGate("x", [0]), HUGE))
    assert len(huge.gate_sequence.data()) == 1


@pytest.mark.parametrize("storage", STORAGES)
def test_execution_keeps_a_shared_block_shared_whatever_the_executor_needs_rewritten(storage):
    # Vendor gates run from their standard matrices and barriers do nothing:
    # what the executor is handed is rewritten once per block object, the
    # sharing kept, with one matrix for every equal vendor gate.
    inner = QuantumGate("block", [0], block_gate_sequence=(QuantumGate("x2p", [0]), QuantumGate("barrier", [0]),
                                                           QuantumGate("x2p", [0])))
    c = Circuit(1, gate_storage=storage)
    c.h(0)
    for _ in range(3):
        c.add_gate(QuantumGate("x2p", [0]))
    c.add_gate(shared(inner, HUGE))
    store = c._native_store()
    assert len(store) == 5 and store.resource_count == 1
    level = store.components(4)[7]
    for _ in range(HUGE):
        assert len(level) == 2 and level.block_resource_count == 1
        level = level.components(0)[7]
    assert [level.components(i)[0] for i in range(len(level))] == ["x2p", "x2p"]
    assert level.components(0)[6] is store.components(1)[6]
    # a barrier beside gates that run natively expands none of them
    for levels in (9, HUGE):
        beside = Circuit(1, gate_storage=storage)
        beside.add_gate(QuantumGate("block", [0], block_gate_sequence=(shared(QuantumGate("x", [0]), levels),
                                                                       QuantumGate("barrier", [0]))))
        inner = beside._native_store().components(0)[7]
        assert inner.components(0)[0] == "block" and len(inner.components(0)[7]) == 2
        if levels < HUGE:
            np.testing.assert_allclose(beside.execute().state, [1, 0], atol=1e-12)  # 2**9 X


def test_a_decomposition_that_cannot_fit_is_refused_before_it_starts():
    seq = OpchainPacked(1)
    seq.add_gate(shared(QuantumGate("x", [0]), HUGE))
    assert len(seq.decompose(3)) == 8
    with pytest.raises(MemoryError, match=too_many("Decomposing the blocks", HUGE)):
        seq.decompose(HUGE)
    # a repeat view counts as the gates it repeats
    body = OpchainPacked(1)
    body.add_gate(QuantumGate("h", [0]))
    outer = OpchainPacked(1)
    outer.append(body.repeat(2**HUGE), [0])
    with pytest.raises(MemoryError, match=too_many("Decomposing the blocks", HUGE)):
        outer.decompose()


def test_the_bound_is_the_memory_the_process_can_still_allocate():
    assert available_memory() > 2**22 * 32
    check_expansion("Expanding", 2**22)
    # Under an address-space limit 48 MiB (and the limit's reserve) above what
    # the process maps now, 2**21 records (64 MiB) no longer fit, 2**20
    # (32 MiB) do.
    code = textwrap.dedent("""
        import os, resource
        from quorvex._memory import _LIMIT_RESERVE, available_memory
        from quorvex.backend.expansion import check_expansion
        mapped = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 3 * 2**24 + _LIMIT_RESERVE,
                                                resource.getrlimit(resource.RLIMIT_AS)[1]))
        assert available_memory() <= 3 * 2**24
        check_expansion("Expanding", 2**20)
        try:
            check_expansion("Expanding", 2**21)
        except MemoryError as exc:
            print(exc)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("Expanding would make 2097152 gates, at least 67108864 bytes, more than the ")


def test_reading_a_long_block_answers_an_interrupt():
    # 2**21 gates to read take far longer than the 0.03 s before the
    # interrupt; a read held to its end would leave the gate added.
    gate = QuantumGate("block", [0], block_gate_sequence=(QuantumGate("h", [0]),) * 2**21)
    store = OpchainPackedNative()
    done = collections.deque()
    with alarm(0.03, signal.default_int_handler), pytest.raises(KeyboardInterrupt):
        done.extend(map(OpchainPackedNative.append_gate, [store], [gate]))
    assert not done and (len(store), store.version) == (0, 0)


# Each path that expands a shared block, with what it keeps per gate far
# above the store's 32 bytes. Under an address-space limit 160 MiB above
# what the process maps, 2**19 gates at 32 bytes (16 MiB) would pass a count
# made at the store's cost, and the path would then run out of memory
# half-way; counted at its own cost, it is refused before it starts.
EXPANDING_PATHS = {
    "PyTorch execute": ('c = Circuit(1); c.rz(torch.tensor(0.5), 0); c.add_gate(shared(QuantumGate("x", [0]), LEVELS)); '
                        'c.execute()', "Expanding the blocks of 1 composite gate", 1),
    "apply_to_batch": ('c = Circuit(1); c.add_gate(shared(QuantumGate("x", [0]), LEVELS)); '
                       'c.compile().apply_to_batch(torch.eye(2, dtype=torch.complex128))',
                       "Expanding the blocks of 1 composite gate"),
    "to_openqasm": ('s = Opchain(1); s.add_gate(shared(QuantumGate("x", [0]), LEVELS)); s.to_openqasm()',
                    "Writing the sequence as OpenQASM"),
    "to_openqasm2": ('s = Opchain(1); s.add_gate(shared(QuantumGate("x", [0]), LEVELS)); s.to_openqasm2()',
                     "Writing the sequence as OpenQASM"),
    "list decompose": ('s = Opchain(1); s.add_gate(shared(QuantumGate("x", [0]), LEVELS)); s.decompose(LEVELS)',
                       "Decomposing the blocks"),
    "qcompiler_transpile": ('c = Circuit(1); c.add_gate(shared(QuantumGate("h", [0]), LEVELS)); '
                            'qcompiler_transpile(c, basis="default")', "Unrolling into basis 'default'"),
}


@pytest.mark.parametrize("path", sorted(EXPANDING_PATHS))
def test_each_path_counts_an_expansion_at_what_it_keeps_per_gate(path):
    # (the statement, the expansion's name, gates besides the block's)
    statement, what, *others = EXPANDING_PATHS[path]
    levels = 19
    code = textwrap.dedent("""
        import os, resource
        import torch
        from quorvex.backend.gate.morlith import QuantumGate
        from quorvex.backend.opchain.opchain import Opchain
        from quorvex.core import Circuit
        from quorvex.qcompiler.transpile import qcompiler_transpile
        LEVELS = {levels}
        def shared(gate, levels):
            for _ in range(levels):
                gate = QuantumGate("block", [0], block_gate_sequence=(gate, gate))
            return gate
        mapped = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 160 * 2**20, resource.getrlimit(resource.RLIMIT_AS)[1]))
        try:
            {statement}
        except MemoryError as exc:
            print("MemoryError:", exc)
    """).format(levels=levels, statement=statement)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    gates = 2**levels + sum(others)
    assert done.stdout.startswith("MemoryError: " + what + " would make " + str(gates) + " gates"), done.stdout


def _fields(gate):
    """Everything a record says, its blocks read out in full."""
    children = gate.block_gate_sequence
    matrix = gate.stored_matrix
    return (type(gate), gate.id, gate.name, gate.target, gate.control, gate.control_state, gate.parameter,
            None if matrix is None else np.asarray(matrix).tobytes(), gate.classical_target,
            None if children is None else tuple(_fields(child) for child in children))


def _unshared(gate):
    """The same record with a new object for every occurrence of a block."""
    children = gate.block_gate_sequence
    if children is None:
        return gate.replace()
    return gate.replace(block_gate_sequence=tuple(_unshared(child) for child in children))


def test_inverting_a_shared_block_inverts_each_block_once_and_keeps_the_sharing():
    u = np.array([[0, 1j], [1, 0]], dtype=complex)
    leaves = (QuantumGate("rx", [0], parameter=0.3), QuantumGate("u", [0], parameter=(0.1, 0.2, 0.3)),
              QuantumGate("unitary", [0], matrix=u), QuantumGate("s", [0], control=1, name="mine"))
    inner = QuantumGate("block", [0, 1], block_gate_sequence=leaves)
    gate = QuantumGate("block", [1, 0], control=2, block_gate_sequence=(inner, QuantumGate("h", [1]), inner))
    gate = QuantumGate("block", [0, 1, 2], block_gate_sequence=(gate, gate))
    inverse = gate.dagger()
    # the same inverse, value for value, as of the same gate without sharing
    assert _fields(inverse) == _fields(_unshared(gate).dagger())
    first, second = inverse.block_gate_sequence
    assert first is second
    assert first.block_gate_sequence[0] is first.block_gate_sequence[2]
    # 2**60 gates: a walk per block object, not per gate
    huge = shared(QuantumGate("rx", [0], parameter=0.3), HUGE)
    level = huge.dagger()
    for _ in range(HUGE):
        assert level.block_gate_sequence[0] is level.block_gate_sequence[1]
        level = level.block_gate_sequence[0]
    assert (level.id, level.parameter) == ("rx", (-0.3,))


class NeverEnded(Exception):
    pass


def never_ended(signum, frame):
    raise NeverEnded


def test_the_matrix_of_a_shared_block_multiplies_each_block_once():
    u = np.array([[0, 1j], [1, 0]], dtype=complex)
    inner = QuantumGate("block", [1, 0], block_gate_sequence=(
        QuantumGate("rx", [-1], parameter=0.3), QuantumGate("unitary", [0], control=1, matrix=u),
        QuantumGate("block", [0], block_gate_sequence=[QuantumGate("s", [0])], matrix=np.eye(2))))
    gate = QuantumGate("block", [1, 0, 2], control=3, block_gate_sequence=(inner, QuantumGate("h", [2]), inner))
    gate = QuantumGate("block", [0, 1, 2, 3], block_gate_sequence=(gate, QuantumGate("t", [3]), gate))
    for _ in range(3):
        gate = QuantumGate("block", [3, 1, 0, 2], block_gate_sequence=(gate, gate))
    # the same bits as the same gate without sharing
    assert gate.matrix.tobytes() == _unshared(gate).matrix.tobytes()
    # 2**60 gates in 61 records: a product per block object (one per gate would run for ever)
    with alarm(60, never_ended):
        matrix = shared(QuantumGate("x", [0]), HUGE).matrix
    assert matrix.tobytes() == np.eye(2, dtype=complex).tobytes()


@pytest.mark.parametrize("storage", STORAGES)
def test_a_circuit_or_sequence_holding_a_shared_block_inverts_at_its_size(storage):
    small = Circuit(2, gate_storage=storage)
    small.h(0)
    gate = QuantumGate("ry", [1], control=0, parameter=0.1)
    for _ in range(10):
        gate = QuantumGate("block", [0, 1], block_gate_sequence=(gate, gate))
    small.add_gate(gate)
    back = small.dagger()
    top = back.gate_sequence.data()[0]
    if storage == "list":
        assert top.block_gate_sequence[0] is top.block_gate_sequence[1]
    undone = Circuit(small.execute().state, gate_storage=storage)
    undone.append(back, [0, 1])
    assert np.allclose(undone.execute().state, [1, 0, 0, 0], atol=1e-9)
    for levels in (3, HUGE):
        sequence = Opchain(1)
        sequence.add_gate(shared(QuantumGate("rx", [0], parameter=0.3), levels))
        for inverted in (sequence.inverse(), sequence.dagger()):
            top = inverted.data()[0]
            assert top.block_gate_sequence[0] is top.block_gate_sequence[1]
    huge = Circuit(1, gate_storage=storage)
    huge.add_gate(shared(QuantumGate("rx", [0], parameter=0.3), HUGE))
    assert len(huge.dagger().gate_sequence.data()) == 1
