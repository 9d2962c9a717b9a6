"""Random circuits of blocks, blocks shared by reference, barriers and negative positions, run through every
path and `.matrix`, against one reference written here from the block rule.

The reference places each child of a block on its owner's targets by position (a position -j counting
from the last target), puts the owner's controls first, skips ordering gates and lets a gate's name
decide before a matrix it carries; its matrices are the textbook ones of ``compiler_dense``.
"""
import numpy as np
import pytest
import torch

from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain
from quorvex.backend.opchain.packed import OpchainPacked
from quorvex.backend.pelmor.strovane import execute_gate_sequence_packed
from quorvex.core import Circuit
from quorvex.qcompiler.transpile import DEFAULT_UNROLL_TIMES, qcompiler_transpile

from compiler_dense import embed, equal_up_to_phase, gate_operator, random_unitary
from executed_unitary import executed_unitary
from test_gate_rules_every_path import circuit_of, native_operator, torch_execute_operator, torch_operator

N = 3
STORAGES = ["list", "packed"]
BASES = ["default", "Tessik"]
ORDERING = ("barrier",)
# Ids that run a matrix they carry: the vendor gates and custom ids; every other id runs by its name.
RUN_THEIR_MATRIX = {"x2p", "x2m", "y2p", "y2m", "xyarb", "rxy", "unitary", "mine"}
# (id, targets, angles); "mine" only ever with a matrix.
PLAIN = [("h", 1, 0), ("x", 1, 0), ("y", 1, 0), ("s", 1, 0), ("t", 1, 0), ("sqrtx", 1, 0), ("rx", 1, 1),
         ("ry", 1, 1), ("rz", 1, 1), ("swap", 2, 0), ("rzz", 2, 1)]
SPECIAL = [("x2p", 1, 0), ("y2m", 1, 0), ("mine", 1, 0), ("unitary", 1, 0)]


def Q(gate_id, target, control=(), **kw):
    return QuantumGate(id=gate_id, target=target, control=control, **kw)


# --- the circuits -------------------------------------------------------------------------------

class Maker:
    """Random gates on ``width`` positions. ``writable``: only what OpenQASM 2.0 can write as well
    (no controlled block, at most one control on a gate, no controlled rzz, no matrices)."""

    def __init__(self, rng, writable):
        self.rng, self.writable = rng, writable
        # No rule of the compiler rewrites a controlled vendor gate: none is made under controls.
        self.vendor = not writable

    def pick(self, count, width):
        return [int(q) for q in self.rng.permutation(width)[:count]]

    def leaf(self, width):
        rng = self.rng
        kinds = PLAIN if self.writable else PLAIN + SPECIAL
        gate_id, k, angles = kinds[int(rng.integers(len(kinds)))]
        if k > width or (gate_id in ("x2p", "y2m") and not self.vendor):
            gate_id, k, angles = "ry", 1, 1
        controls = int(rng.integers(0, min(width - k, 1 if self.writable else 2) + 1))
        if (self.writable and gate_id == "rzz") or gate_id in ("x2p", "y2m"):
            controls = 0
        qubits = self.pick(k + controls, width)
        kw = dict(parameter=tuple(rng.uniform(-3, 3, angles)) or None,
                  control_state=[int(s) for s in rng.integers(0, 2, controls)])
        if gate_id in RUN_THEIR_MATRIX and gate_id not in ("x2p", "y2m"):
            kw["matrix"] = random_unitary(rng, 2 ** k)
        elif not self.writable and rng.random() < 0.15:
            kw["matrix"] = random_unitary(rng, 2 ** k)  # run by its name, the matrix ignored
        return Q(gate_id, qubits[:k], qubits[k:], **kw)

    def barrier(self, width):
        k = int(self.rng.integers(1, width + 1))
        matrix = None if self.writable or self.rng.random() < 0.5 else random_unitary(self.rng, 2 ** k)
        return Q("barrier", self.pick(k, width), matrix=matrix)

    def from_end(self, gate, k):
        """``gate`` with each position written as itself or as its twin counting from the end."""
        twin = lambda qs: tuple(q - k if self.rng.random() < 0.5 else q for q in qs)
        return gate.replace(target=twin(gate.target), control=twin(gate.control))

    def block(self, width, depth, controlled=False):
        rng = self.rng
        k = int(rng.integers(1, width + 1))
        qubits = self.pick(width, width)
        controlled = controlled and not self.writable and k < width and rng.random() < 0.6
        vendor, self.vendor = self.vendor, self.vendor and not controlled
        children = []
        for _ in range(int(rng.integers(1, 5))):
            roll = rng.random()
            if roll < 0.15:
                child = self.barrier(k)
            elif roll < 0.45 and depth < 2:
                child = self.block(k, depth + 1)
            elif roll < 0.55 and depth < 2:
                child = self.shared(k, depth + 1)
            else:
                child = self.leaf(k)
            children.append(self.from_end(child, k))
        self.vendor = vendor
        controls = qubits[k:k + int(rng.integers(1, width - k + 1))] if controlled else []
        return Q("block", qubits[:k], controls, control_state=[int(s) for s in rng.integers(0, 2, len(controls))],
                 block_gate_sequence=children)

    def shared(self, width, depth):
        """A block whose block holds one gate object twice, one to three levels deep."""
        gate = self.block(width, depth)
        for _ in range(int(self.rng.integers(1, 4))):
            targets = gate.target
            gate = Q("block", targets, block_gate_sequence=(gate.replace(target=range(len(targets))),) * 2)
        return gate

    def circuit(self, n):
        gates = []
        for _ in range(int(self.rng.integers(5, 9))):
            roll = self.rng.random()
            if roll < 0.2:
                gates.append(self.leaf(n))
            elif roll < 0.3:
                gates.append(self.barrier(n))
            elif roll < 0.45:
                gates.append(self.shared(n, 0))
            else:
                gates.append(self.block(n, 0, controlled=True))
        return gates


# --- the reference ------------------------------------------------------------------------------

def placed(gates, mapping=None, controls=(), states=()):
    """Every gate without children, on circuit qubits, as the block rule places it."""
    for gate in gates:
        on = (lambda qs: tuple(qs)) if mapping is None else (lambda qs: tuple(mapping[q] for q in qs))
        targets, own = on(gate.target), on(gate.control)
        children = gate.block_gate_sequence
        if children is not None:
            yield from placed(children, targets, controls + own, states + tuple(gate.control_state))
        else:
            yield gate, targets, controls + own, states + tuple(gate.control_state)


def reference(gates, n):
    total = np.eye(1 << n, dtype=complex)
    for gate, targets, controls, states in placed(gates):
        if gate.id in ORDERING:
            continue
        matrix = gate.stored_matrix if gate.id in RUN_THEIR_MATRIX else None
        leaf = QuantumGate(gate.id, targets, controls, states, parameter=gate.parameter, matrix=matrix)
        total = gate_operator(leaf, n) @ total
    return total


def controlled(u):
    """U on the low qubits when the qubit above them is 1."""
    dim = u.shape[0]
    out = np.eye(2 * dim, dtype=complex)
    out[dim:, dim:] = u
    return out


# --- the paths ----------------------------------------------------------------------------------

def converted(gates, n, source, storage):
    c = Circuit(n, gate_storage=storage)
    c.gate_sequence = circuit_of(gates, n, source).gate_sequence
    return executed_unitary(c)


def appended(gates, n, source, storage):
    c = Circuit(n, gate_storage=storage)
    c.append(circuit_of(gates, n, source).gate_sequence, list(range(n)))
    return executed_unitary(c)


def appended_to_a_list_sequence(gates, n, source):
    # Opchain.append copies a packed sequence's gates into records
    sequence = Opchain(n)
    sequence.append(circuit_of(gates, n, source).gate_sequence, list(range(n)))
    c = Circuit(n)
    c.gate_sequence = sequence
    return executed_unitary(c)


def gpu(gates, n, storage):
    from quorvex.backend.execution.vorthane import CuCircuitExecutor

    executor = CuCircuitExecutor()
    circuit = circuit_of(gates, n, storage)
    return np.array([executor.run(circuit, np.eye(1 << n, dtype=complex)[j]).backend_state.to_numpy()
                     for j in range(1 << n)]).T


def appended_from_the_end(gates, n, cls, storage, rng):
    """The gates written with their qubits counting from the end (q - n), in a sequence appended whole."""
    inner = cls(n)
    for gate in gates:
        twin = lambda qs: tuple(q - n if rng.random() < 0.5 else q for q in qs)
        inner.add_gate(gate.replace(target=twin(gate.target), control=twin(gate.control)))
    outer = cls(n)
    outer.append(inner, list(range(n)))
    c = Circuit(n, gate_storage=storage)
    c.gate_sequence = outer
    return executed_unitary(c)


def packed_executor(gates, n):
    """A packed sequence of the gates run by the packed executor itself."""
    sequence = OpchainPacked(n)
    for gate in gates:
        sequence.add_gate(gate)
    columns = []
    for j in range(1 << n):
        state = np.zeros(1 << n, dtype=complex)
        state[j] = 1
        columns.append(execute_gate_sequence_packed(n, state, sequence._packed_store_native)[0])
    return np.array(columns).T


def sequence_controlled(gates, n, storage):
    c = Circuit(n + 1, gate_storage=storage)
    c.gate_sequence = circuit_of(gates, n, storage).gate_sequence.control(1)
    return executed_unitary(c)


def circuit_controlled(gates, n, storage):
    c = Circuit(n + 1, gate_storage=storage)
    c.append(circuit_of(gates, n, storage), list(range(n)), control=[n])
    return executed_unitary(c)


def from_openqasm(gates, n, write):
    return native_operator(Opchain.from_openqasm(write(circuit_of(gates, n).gate_sequence)).data(), n, "list")


def block_matrix(gate, n):
    return embed(gate.matrix, tuple(gate.target), tuple(gate.control), tuple(gate.control_state), n)


def paths(gates, n, writable, rng):
    """(path, operator it applies, what it must equal: "same", "inverse" or "controlled")."""
    for storage in STORAGES:
        for cls in (Opchain, OpchainPacked):
            yield (cls.__name__ + " from the end appended, set on " + storage,
                   appended_from_the_end(gates, n, cls, storage, rng), "same")
        yield storage, native_operator(gates, n, storage), "same"
        yield storage + " complex64", native_operator(gates, n, storage, np.complex64), "same"
        yield storage + " dagger", executed_unitary(circuit_of(gates, n, storage).dagger()), "inverse"
        yield storage + " sequence control", sequence_controlled(gates, n, storage), "controlled"
        yield storage + " circuit append under a control", circuit_controlled(gates, n, storage), "controlled"
        for source in STORAGES:
            yield source + " sequence set on " + storage, converted(gates, n, source, storage), "same"
            yield source + " sequence appended to " + storage, appended(gates, n, source, storage), "same"
        yield storage + " sequence appended to an Opchain", appended_to_a_list_sequence(gates, n, storage), "same"
        yield "GPU executor on " + storage, gpu(gates, n, storage), "same"
    if not any(gate.id in ("x2p", "y2m") for gate, *_ in placed(gates)):
        # the executor alone has no standard matrices for vendor gates
        yield "packed executor", packed_executor(gates, n), "same"
    yield "PyTorch apply_to_batch", torch_operator(gates, n), "same"
    yield "PyTorch execute", torch_execute_operator(gates, n), "same"
    for basis in BASES:
        compiled = qcompiler_transpile(circuit_of(gates, n), basis=basis, times=DEFAULT_UNROLL_TIMES)
        yield "compiled for " + basis, native_operator(compiled.gate_sequence.data(), n, "list"), "same"
    yield "matrix of the whole", Q("block", range(n), block_gate_sequence=gates).matrix, "same"
    for index, gate in enumerate(gates):
        if gate.block_gate_sequence is not None:
            yield "matrix of gate " + str(index), block_matrix(gate, n), ("gate", index)
    if writable:
        yield "OpenQASM 3", from_openqasm(gates, n, Opchain.to_openqasm), "same"
        yield "OpenQASM 2", from_openqasm(gates, n, Opchain.to_openqasm2), "same"


@pytest.mark.parametrize("writable", [False, True], ids=["any block", "OpenQASM 2 writable"])
@pytest.mark.parametrize("seed", range(10))
def test_random_blocks_apply_one_operator_on_every_path(seed, writable):
    rng = np.random.default_rng([40, seed, writable])
    gates = Maker(rng, writable).circuit(N)
    expected = reference(gates, N)
    wanted = {"same": expected, "inverse": expected.conj().T, "controlled": controlled(expected)}
    checked = 0
    for path, found, against in paths(gates, N, writable, rng):
        want = reference([gates[against[1]]], N) if isinstance(against, tuple) else wanted[against]
        atol = 1e-5 if "complex64" in path else 1e-9
        np.testing.assert_allclose(found, want, atol=atol, err_msg=path)
        checked += 1
    assert checked >= 30


def test_the_random_circuits_hold_what_they_are_for():
    # Over the seeds: shared blocks, barriers inside blocks, negative positions, controlled blocks.
    seen = set()
    for seed in range(10):
        for writable in (False, True):
            gates = Maker(np.random.default_rng([40, seed, writable]), writable).circuit(N)
            pending = list(gates)
            while pending:
                gate = pending.pop()
                children = gate.block_gate_sequence
                if children is None:
                    continue
                seen.add("controlled block" if gate.control else "block")
                if len(children) == 2 and children[0] is children[1]:
                    seen.add("shared")
                for child in children:
                    if child.id == "barrier":
                        seen.add("barrier")
                    if any(q < 0 for q in child.target + child.control):
                        seen.add("from the end")
                pending.extend(children)
    assert seen == {"block", "controlled block", "shared", "barrier", "from the end"}
