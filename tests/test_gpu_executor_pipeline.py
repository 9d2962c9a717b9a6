"""CuCircuitExecutor against a recording fake add-on: chunking, slots, flattening, measurement, errors."""
import sys
import threading
import time
import types

import numpy as np
import pytest

import quorvex_cu12
from quorvex.backend.execution import vorthane
from quorvex.backend.execution.brantel import ExecutionResult
from quorvex.backend.gate.morlith import QuantumGate

from block_loops import Loop
from fake_dravik import TIMEOUT, Circ, Duck, FakeState, ex, fake  # noqa: F401 - fixtures

# Ids the fake add-on fails on; as custom ids they run their matrix, without which they would be refused
# before the add-on.
FAILING = ("fail", "boom")


def G(id, target=0, **kw):
    if id in FAILING:
        kw.setdefault("matrix", np.eye(2))
    return QuantumGate(id=id, target=target, **kw)


def xs(count, n=3):
    return [G("x", i % n) for i in range(count)]


def run_gates(ex, gates, n=3, **kw):
    return ex._execute_sequence(gates, FakeState(n, "zero"), **kw)


def wait_until(condition):
    deadline = time.monotonic() + TIMEOUT
    while not condition():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.002)


def consumer_threads():
    return [t for t in threading.enumerate() if t.name.startswith("dravik-gpu-consumer")]


# --- module and construction -----------------------------------------------------------

def test_module_surface(ex, fake):
    assert vorthane.INT_TWO == 2
    assert ex.dravik is fake
    assert (ex.backend, ex.device, ex.dtype, ex.measure_endian) == ("cpp", "gpu", np.complex128, "big")
    assert vorthane.CuCircuitExecutor._GATE_CHUNK_SIZE == 8192
    assert vorthane.CuCircuitExecutor._MAX_FUSION_GATES == 512
    with pytest.raises(NotImplementedError, match="^_apply_backend_gate is not implemented for cpp gpu backend.$"):
        ex._apply_backend_gate(None, G("x"), 1)


@pytest.mark.parametrize("kw, message", [
    (dict(device=None), "Argument 'device' has incorrect type (expected str, got NoneType)"),
    (dict(device=b"gpu"), "Argument 'device' has incorrect type (expected str, got bytes)"),
    (dict(seed=True), "Argument 'seed' has incorrect type (expected int, got bool)"),
    (dict(seed=1.0), "Argument 'seed' has incorrect type (expected int, got float)"),
    (dict(seed=np.int64(3)), "Argument 'seed' has incorrect type (expected int, got int64)"),
])
def test_constructor_refusals(fake, kw, message):
    with pytest.raises(TypeError) as info:
        vorthane.CuCircuitExecutor(**kw)
    assert str(info.value) == message


def test_constructor_keeps_seed_and_device(fake):
    ex = vorthane.CuCircuitExecutor(device="cuda:1", dtype=np.complex64, seed=None)
    assert (ex.device, ex.dtype) == ("cuda:1", np.complex64)
    assert isinstance(ex.rng, np.random.Generator)


def test_missing_addon_is_import_error_with_cause(monkeypatch):
    monkeypatch.setitem(sys.modules, "quorvex_cu12.dravik", None)
    monkeypatch.delattr(quorvex_cu12, "dravik", raising=False)
    with pytest.raises(ImportError) as info:
        vorthane.CuCircuitExecutor()
    assert str(info.value) == 'CUDA backend requires quorvex-cu12. Install it with: pip install "quorvex[cuda]"'
    assert isinstance(info.value.__cause__, ImportError)


# --- run --------------------------------------------------------------------------------

@pytest.mark.parametrize("dtype", [np.complex128, np.complex64])
def test_run_zero_state_and_result(fake, dtype):
    ex = vorthane.CuCircuitExecutor(dtype=dtype, device="dev0")
    result = ex.run(Circ(2, [G("h", 0), G("x", 1)]))
    assert isinstance(result, ExecutionResult)
    assert result.classical_results_map == {}
    assert result.backend_state.origin == "zero" and result.backend_state.applied == ["h", "x"]
    assert fake.calls("zero_state") == [("zero_state", 2, np.dtype(dtype).name, "dev0")]


@pytest.mark.parametrize("host, uploaded", [
    ([1, 0, 0, 0], False),
    (np.array([1, 0, 0, 0], dtype=np.complex64), False),
    ([-1, 0, 0, 0], True),
    ([1, 0, 0, 1e-300], True),
    ([1, 0, 0], True),
    ([[1, 0], [0, 0]], True),
    ([0.6, 0.8j, 0, 0], True),
])
def test_run_uploads_only_non_zero_states(ex, fake, host, uploaded):
    original = np.array(host, dtype=np.complex128) if not isinstance(host, np.ndarray) else host
    keep = original.copy()
    result = ex.run(Circ(2, []), original)
    assert original.tobytes() == keep.tobytes()
    assert bool(fake.calls("from_numpy")) == uploaded
    assert bool(fake.calls("zero_state")) != uploaded
    if uploaded:
        sent = result.backend_state.origin
        assert sent.dtype == np.complex128 and sent.flags.c_contiguous
        np.testing.assert_array_equal(sent, keep)
        assert fake.calls("from_numpy") == [("from_numpy", 2, "gpu", True)]


def test_execute_sequence_needs_a_device_state(ex):
    for state in (object(), types.SimpleNamespace(n=2), types.SimpleNamespace(to_numpy=None)):
        with pytest.raises(TypeError, match=r"^CuCircuitExecutor._execute_sequence expects dravik.DeviceState.$"):
            ex._execute_sequence([], state)


# --- chunks and slots -------------------------------------------------------------------

@pytest.mark.parametrize("count, sizes", [(0, []), (1, [1]), (8192, [8192]), (8193, [8192, 1])])
def test_chunk_sizes(ex, fake, count, sizes):
    state, results = run_gates(ex, xs(count))
    assert [e[1] for e in fake.calls("prepare")] == sizes
    assert all(e[2] == 512 for e in fake.calls("prepare"))
    assert len(state.applied) == count and results == {}
    assert not consumer_threads()


def test_identities_never_reach_the_addon(ex, fake):
    state, _ = run_gates(ex, [G("i"), Duck("I"), G("x"), G("i", 1)])
    assert fake.prepared == [["x"]]
    state, _ = run_gates(ex, [G("i"), Duck("I")])
    assert fake.prepared == [["x"]]


def test_chunk_size_is_read_from_the_executor(ex, fake):
    ex._GATE_CHUNK_SIZE = 3
    ex._MAX_FUSION_GATES = 7
    run_gates(ex, xs(7))
    assert [(e[1], e[2]) for e in fake.calls("prepare")] == [(3, 7), (3, 7), (1, 7)]


def run_in_thread(ex, gates, **kw):
    box = {}

    def target():
        try:
            box["result"] = run_gates(ex, gates, **kw)
        except BaseException as exc:  # noqa: BLE001 - handed to the test thread
            box["error"] = exc

    thread = threading.Thread(target=target)
    thread.start()
    return thread, box


def pulled_gates(count, pulled, ids=None):
    for i in range(count):
        pulled.append(i)
        yield G(ids[i] if ids else "x", i % 3)


def test_new_chunk_waits_for_the_chunk_before_the_previous(ex, fake):
    ex._GATE_CHUNK_SIZE = 2
    fake.hold()
    pulled = []
    thread, box = run_in_thread(ex, pulled_gates(8, pulled))
    # Chunks 0 and 1 are submitted; gate 4 starts chunk 2 and waits for chunk 0.
    wait_until(lambda: len(pulled) == 5 and len(fake.prepared) == 2)
    time.sleep(0.05)
    assert len(pulled) == 5 and len(fake.prepared) == 2
    fake.release(0)
    # Chunk 1 may still run while chunk 2 is filled and prepared; chunk 3 waits for it.
    wait_until(lambda: len(pulled) == 7 and len(fake.prepared) == 3)
    time.sleep(0.05)
    assert len(pulled) == 7 and fake.finished == 1
    for k in (1, 2, 3):
        fake.release(k)
    thread.join(TIMEOUT)
    assert "error" not in box and len(box["result"][0].applied) == 8
    assert [e[1] for e in fake.calls("executed")] == [0, 1, 2, 3]
    assert {e[2].startswith("dravik-gpu-consumer") for e in fake.calls("executed")} == {True}
    assert not consumer_threads()


def test_chunk_without_runnable_gates_takes_no_slot(ex, fake):
    ex._GATE_CHUNK_SIZE = 2
    fake.hold()
    pulled = []
    ids = ["x", "x", "barrier", "barrier", "x", "x", "x"]
    thread, box = run_in_thread(ex, pulled_gates(7, pulled, ids))
    # Chunk 1 prepares to nothing, so chunk 2 takes slot 1 and does not wait for chunk 0.
    wait_until(lambda: len(fake.prepared) == 3 and len(pulled) == 7)
    time.sleep(0.05)
    assert fake.finished == 0
    for k in (0, 2, 3):
        fake.release(k)
    thread.join(TIMEOUT)
    assert "error" not in box
    assert [e[1] for e in fake.calls("executed")] == [0, 2, 3]


def test_measure_drains_both_slots_and_closes_the_chunk(ex, fake):
    ex._GATE_CHUNK_SIZE = 2
    gates = xs(5) + [G("measure", (0, 2), classical_target=(4, 1))] + xs(1)
    fake.outcomes = ["10"]
    state, results = run_gates(ex, gates)
    assert [e[1] for e in fake.calls("prepare")] == [2, 2, 1, 1]
    assert fake.calls("measure") == [("measure", [0, 2], "big", 3)]
    assert results == {4: 1, 1: 0}


def test_skip_measurements_keeps_the_chunk_open(ex, fake):
    gates = [G("x"), G("measure", 0, classical_target=0), Duck("MEASURE", classical_target=(1,)), G("x")]
    state, results = run_gates(ex, gates, skip_measurements=True)
    assert fake.prepared == [["x", "x"]] and results == {}
    assert not fake.calls("measure")


def test_measurements_merge_in_order(ex, fake):
    fake.outcomes = ["1", "0", "1"]
    gates = [G("measure", 0, classical_target=3), G("x"), Duck("MEASURE", (1,), classical_target=(3,)),
             G("measure", 2, classical_target=0)]
    state, results = run_gates(ex, gates)
    assert results == {3: 0, 0: 1}
    assert [e[0] for e in fake.log] == ["measure", "prepare", "executed", "measure", "measure"]


def test_run_passes_skip_measurements(ex, fake):
    result = ex.run(Circ(1, [G("measure", 0, classical_target=0)]), skip_measurements=True)
    assert result.classical_results_map == {} and not fake.calls("measure")


# --- failures -----------------------------------------------------------------------------

def test_worker_error_surfaces_at_the_chunk_after_next(ex, fake):
    ex._GATE_CHUNK_SIZE = 1
    pulled = []
    with pytest.raises(RuntimeError, match="^chunk 0 failed$"):
        run_gates(ex, pulled_gates(5, pulled, ["fail", "x", "x", "x", "x"]))
    # Gate 2 starts the chunk that needs slot 0; the chunk queued behind the failed one still ran.
    assert pulled == [0, 1, 2]
    assert [e[1] for e in fake.calls("executed")] == [0, 1]
    assert not consumer_threads()


@pytest.mark.parametrize("gates, executed", [
    ([G("fail"), G("measure", 0, classical_target=0), G("x")], [0]),
    ([G("x"), G("fail")], [0]),
])
def test_worker_error_surfaces_at_measure_or_end(ex, fake, gates, executed):
    with pytest.raises(RuntimeError, match="failed"):
        run_gates(ex, gates)
    assert [e[1] for e in fake.calls("executed")] == executed
    assert not fake.calls("measure")


def test_only_one_error_is_reported_and_the_pool_drains(ex, fake):
    ex._GATE_CHUNK_SIZE = 1
    with pytest.raises(RuntimeError, match="^chunk 0 failed$"):
        run_gates(ex, [G("fail"), G("fail"), G("x")])
    assert [e[1] for e in fake.calls("executed")] == [0, 1]


def test_preparation_error_is_raised_at_once_after_the_pool_drains(ex, fake):
    ex._GATE_CHUNK_SIZE = 2
    with pytest.raises(ValueError, match="^preparation refused$"):
        run_gates(ex, [G("x"), G("x"), G("boom"), G("x"), G("x")])
    assert [e[1] for e in fake.calls("executed")] == [0]
    assert not consumer_threads()


@pytest.mark.parametrize("stop, can_cancel, cancelled", [
    (KeyboardInterrupt, True, True),
    (SystemExit, True, True),
    (ValueError, True, False),
    (KeyboardInterrupt, False, False),
])
def test_interrupt_cancels_the_chunks_in_flight(ex, fake, stop, can_cancel, cancelled):
    # Held, the two chunks in flight would never end by themselves: an
    # interrupt cancels both instead of waiting for them. An ordinary error,
    # or an add-on that cannot cancel, waits for them (released here first).
    ex._GATE_CHUNK_SIZE = 2
    fake.hold()
    fake.can_cancel = can_cancel

    def gates():
        yield from xs(4)
        if not cancelled:
            fake.release(0)
            fake.release(1)
        raise stop()

    with pytest.raises(stop):
        run_gates(ex, gates())
    assert [chunk.cancelled for chunk in fake.chunks] == [cancelled] * 2
    assert [e[:2] for e in fake.log if e[0] in ("executed", "cancelled")] == \
        [("cancelled" if cancelled else "executed", k) for k in (0, 1)]
    assert not consumer_threads()


# --- flattening ---------------------------------------------------------------------------

def test_flatten_two_levels_under_controls(ex):
    inner = QuantumGate(id="block", target=(1, 0), control=(2,), control_state=(0,),
                        block_gate_sequence=[G("rx", 1, parameter=0.5, control=0),
                                             G("measure", 0, classical_target=7)])
    outer = QuantumGate(id="block", target=(4, 2, 5, 1), control=(0,), control_state=(0,),
                        block_gate_sequence=(G("h", 3), inner, QuantumGate(id="block", target=0,
                                                                             block_gate_sequence=())))
    flat = list(ex._iter_flatten_sequence([G("x", 3), outer]))
    assert flat == [
        G("x", 3),
        G("h", 1, control=(0,), control_state=(0,)),
        QuantumGate(id="rx", target=4, control=(0, 5, 2), control_state=(0, 0, 1), parameter=0.5),
        QuantumGate(id="measure", target=2, control=(0, 5), control_state=(0, 0), classical_target=7),
    ]


def test_flatten_walks_any_depth_in_order(ex):
    # 30,001 levels, as append in a loop makes them, each swapping the two
    # qubits of the one below; the walk must neither recurse nor reorder.
    gate = G("block", (1, 0), block_gate_sequence=(G("x", 0), G("h", 1)))
    for _ in range(30_000):
        gate = G("block", (1, 0), block_gate_sequence=(gate,))
    gate = G("block", (0, 1), control=2, control_state=0, block_gate_sequence=(gate,))
    flat = ex._iter_flatten_sequence([G("z", 4), gate, G("y", 3)])
    # an odd number of swaps
    assert list(flat) == [G("z", 4), G("x", 1, control=2, control_state=0), G("h", 0, control=2, control_state=0),
                          G("y", 3)]


def test_flatten_refuses_a_block_that_contains_itself(ex):
    flat = ex._iter_flatten_sequence([G("x"), Loop().gate])
    assert next(flat) == G("x")
    with pytest.raises(RecursionError, match="^a gate block contains itself$"):
        next(flat)


def test_flatten_is_lazy(ex):
    def source():
        yield G("x")
        raise AssertionError("read too far")

    assert next(ex._iter_flatten_sequence(source())) == G("x")


def test_remap_keeps_child_fields_and_class():
    class MyGate(QuantumGate):
        __slots__ = ()

    matrix = np.eye(2)
    child = MyGate(id="unitary", target=-1, name="Mine", matrix=matrix, classical_target=(3,))
    block = G("block", (6, 4, 2), block_gate_sequence=[])
    mapped = vorthane.CuCircuitExecutor._remap_block_child(block, child)
    assert type(mapped) is MyGate
    assert (mapped.id, mapped.target, mapped.name, mapped.classical_target) == ("unitary", (2,), "Mine", (3,))
    assert mapped.stored_matrix is matrix


@pytest.mark.parametrize("child, error", [
    (G("x", 2), IndexError),
    (G("x", -1, control=1), ValueError),  # -1 counts from the end: target and control both land on qubit 3
])
def test_remap_errors(child, error):
    block = G("block", (2, 3), control=0, block_gate_sequence=[])
    with pytest.raises(error):
        vorthane.CuCircuitExecutor._remap_block_child(block, child)
