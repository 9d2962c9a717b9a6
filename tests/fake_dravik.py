"""A recording stand-in for the device add-on, for executor tests that need no device."""
import sys
import threading
import types

import pytest

import quorvex_cu12
from quorvex.backend.execution import vorthane
from quorvex.backend.opchain.opchain import Opchain

TIMEOUT = 5.0


class FakeState:
    def __init__(self, n, origin):
        self.n = n
        self.origin = origin
        self.applied = []

    def to_numpy(self):
        raise AssertionError("the executor never copies the state back")


class Prepared:
    def __init__(self, index, ids, gate_count):
        self.index = index
        self.ids = ids
        self.gate_count = gate_count
        self.cancelled = False


class CancellablePrepared(Prepared):
    """A prepared chunk with cancel(), which also ends a held execution of it at once."""

    def __init__(self, addon, *args):
        super().__init__(*args)
        self.addon = addon

    def cancel(self):
        self.cancelled = True
        self.addon.release(self.index)


class FakeAddon:
    """Records every call. Preparation drops "barrier" (gate_count counts the rest) and refuses "boom";
    an execution containing "fail" raises, so does one of a cancelled chunk; with hold(), execution k
    waits for release(k). Prepared chunks can be cancelled unless can_cancel is false."""

    def __init__(self):
        self.log = []
        self.prepared = []
        self.chunks = []
        self.can_cancel = True
        self.outcomes = []
        self.seeds = []
        self.holding = False
        self.gates = {}
        self.finished = 0
        self.DeviceState = types.SimpleNamespace(zero_state=self._zero_state, from_numpy=self._from_numpy)

    def _zero_state(self, n, *, dtype, device):
        self.log.append(("zero_state", n, dtype, device))
        return FakeState(n, "zero")

    def _from_numpy(self, n, host, *, device, use_pinned_host):
        self.log.append(("from_numpy", n, device, use_pinned_host))
        return FakeState(n, host.copy())

    def hold(self):
        self.holding = True

    def release(self, k):
        self.gates.setdefault(k, threading.Event()).set()

    def prepare_fusion_chunk_gates(self, n, gates, *, max_gates_per_group):
        ids = [g.id for g in gates]
        self.log.append(("prepare", len(ids), max_gates_per_group))
        if "boom" in ids:
            raise ValueError("preparation refused")
        self.prepared.append(ids)
        args = (len(self.prepared) - 1, ids, sum(i != "barrier" for i in ids))
        chunk = CancellablePrepared(self, *args) if self.can_cancel else Prepared(*args)
        self.chunks.append(chunk)
        return chunk

    def execute_prepared_fusion_chunk(self, state, prepared):
        k = prepared.index
        if self.holding:
            assert self.gates.setdefault(k, threading.Event()).wait(TIMEOUT), "chunk never released"
        if prepared.cancelled:
            self.log.append(("cancelled", k))
            raise RuntimeError("chunk %d cancelled" % k)
        self.log.append(("executed", k, threading.current_thread().name))
        self.finished += 1
        if "fail" in prepared.ids:
            raise RuntimeError("chunk %d failed" % k)
        state.applied.extend(prepared.ids)
        return "ignored"

    def measure_device(self, state, targets, *, endian, seed):
        self.log.append(("measure", targets, endian, self.finished))
        self.seeds.append(seed)
        return self.outcomes.pop(0) if self.outcomes else "1" * len(targets)

    def sample_measure_device(self, state, targets, *, shots, endian, seed, collapse_last):
        self.log.append(("sample", targets, shots, endian, collapse_last))
        self.seeds.append(seed)
        return self.outcomes.pop(0)

    def calls(self, kind):
        return [entry for entry in self.log if entry[0] == kind]


class Circ:
    """The two circuit calls the executor makes."""

    def __init__(self, n, gates):
        self.gate_sequence = Opchain(n)
        for gate in gates:
            self.gate_sequence.add_gate(gate)
        self.n = n

    def get_num_qubits(self):
        return self.n


class Duck:
    """A gate-like object whose id is not lower-cased."""

    def __init__(self, id, target=(0,), classical_target=None):
        self.id = id
        self.target = target
        self.control = ()
        self.classical_target = classical_target
        self.block_gate_sequence = None


@pytest.fixture
def fake(monkeypatch):
    addon = FakeAddon()
    monkeypatch.setitem(sys.modules, "quorvex_cu12.dravik", addon)
    monkeypatch.setattr(quorvex_cu12, "dravik", addon, raising=False)
    return addon


@pytest.fixture
def ex(fake):
    return vorthane.CuCircuitExecutor()
