"""The host-memory add-on dravik, alone and under CuCircuitExecutor: same bits as the packed executor,
sampling statistics, collapse, refusals, the GIL left free during execution, and interrupts."""
import collections
import importlib.machinery
import signal
import threading
import time
import types
from pathlib import Path

import numpy as np
import pytest
from scipy import stats

from quorvex.backend.execution.vorthane import CuCircuitExecutor
from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.pelmor.strovane import execute_gate_sequence_packed
from quorvex.core import Circuit
from quorvex_cu12 import dravik

from interrupts import alarm, rx_turns
from packed_fields import store_of
from test_packed_executor import random_state, random_unitary, reference_run

DTYPES = [np.complex128, np.complex64]
TOL = {np.complex128: 1e-10, np.complex64: 2e-5}

# Every id with a row in the gate dispatch, plus stored matrices on "unitary" and a custom id.
DISPATCH_IDS = ["x", "cx", "cnot", "mcx", "h", "ch", "mch", "y", "cy", "mcy", "z", "cz", "mcz", "s", "cs", "mcs",
                "s_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag", "t", "ct", "mct", "t_dag", "p", "cp", "mcp",
                "rx", "crx", "mcrx", "ry", "cry", "mcry", "rz", "crz", "mcrz", "rzz", "u", "swap", "gp", "gphase",
                "global_phase", "unitary", "custom"]
ONE_PARAMETER = {"p", "cp", "mcp", "rx", "crx", "mcrx", "ry", "cry", "mcry", "rz", "crz", "mcrz", "rzz", "gp",
                 "gphase", "global_phase"}


def random_gate(rng, width, depth=0, kind=None):
    """A gate on positions 0 .. width-1: any dispatch id, "i", or (two levels at most) a composite gate."""
    kinds = DISPATCH_IDS + ["i"] + (["block"] * 6 if depth < 2 and width >= 2 else [])
    kind = str(rng.choice(kinds)) if kind is None else kind
    qubits = [int(q) for q in rng.permutation(width)]
    ntargets = {"swap": 2, "rzz": 2, "unitary": 2, "custom": 2}.get(kind, 1)
    if kind == "block":
        ntargets = int(rng.integers(1, width + 1))
    ntargets = min(ntargets, width)
    if ntargets < {"swap": 2, "rzz": 2}.get(kind, 1):
        kind, ntargets = "x", 1
    targets = qubits[:ntargets]
    ncontrols = int(rng.integers(0, min(2, width - ntargets) + 1))
    controls = qubits[ntargets:ntargets + ncontrols]
    states = [int(v) for v in rng.integers(0, 2, size=ncontrols)]
    fields = dict(id=kind, target=targets, control=controls, control_state=states)
    if kind == "block":
        count = int(rng.integers(0, 4))
        fields["block_gate_sequence"] = [random_gate(rng, ntargets, depth + 1) for _ in range(count)]
    elif kind in ONE_PARAMETER:
        fields["parameter"] = float(rng.uniform(-4, 4))
    elif kind == "u":
        fields["parameter"] = [float(v) for v in rng.uniform(-4, 4, size=3)]
    elif kind in ("unitary", "custom"):
        fields["matrix"] = random_unitary(rng, 2 ** ntargets)
    if kind in ("gp", "gphase", "global_phase") and rng.integers(0, 2):
        fields["target"] = []
    return QuantumGate(**fields)


def expanded(gates):
    """(id, targets, controls, states, params, matrix) of every gate, composite gates expanded by decompose."""
    out = []
    for gate in gates:
        if gate.block_gate_sequence is not None:
            out.extend(expanded(gate.decompose()))
        elif gate.id != "barrier":
            out.append((gate.id, list(gate.target), list(gate.control), list(gate.control_state),
                        gate.parameter, gate.stored_matrix))
    return out


def circuit_of(storage, n, gates):
    circuit = Circuit(n, gate_storage=storage)
    for gate in gates:
        circuit.add_gate(gate)
    return circuit


@pytest.mark.parametrize("storage", ["list", "packed"])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("seed", range(3))
def test_random_circuits_match_the_packed_executor_bit_for_bit(storage, dtype, seed):
    rng = np.random.default_rng(seed)
    n = 5
    gates = [random_gate(rng, n) for _ in range(60)] + [random_gate(rng, n, kind=k) for k in DISPATCH_IDS]
    gates = [gates[i] for i in rng.permutation(len(gates))]
    gates.insert(7, QuantumGate(id="barrier", target=(0, 3)))
    ex = CuCircuitExecutor(dtype=dtype, seed=seed)
    ex._GATE_CHUNK_SIZE = 16
    host = random_state(rng, n, dtype)
    circuit = circuit_of(storage, n, gates)
    assert type(circuit.gate_sequence).__name__ == {"list": "Opchain", "packed": "OpchainPacked"}[storage]
    for start in (None, host):
        keep = None if start is None else start.copy()
        result = ex.run(circuit, start)
        initial = np.zeros(2**n, dtype) if start is None else start.copy()
        if start is None:
            initial[0] = 1
        else:
            assert start.tobytes() == keep.tobytes()
        expected, _ = execute_gate_sequence_packed(n, initial.copy(), store_of(*[g for g in gates
                                                                               if g.id != "barrier"]))
        got = result.backend_state.to_numpy()
        assert got.dtype == dtype and got.tobytes() == expected.tobytes()
        reference = reference_run(n, initial.astype(np.complex128), expanded(gates))
        np.testing.assert_allclose(got, reference, atol=TOL[dtype])


@pytest.mark.parametrize("host, uploaded", [([1, 0, 0, 0], False), ([-1, 0, 0, 0], True)])
def test_run_host_basis_states(host, uploaded):
    ex = CuCircuitExecutor()
    state = np.array(host, dtype=np.complex128)
    result = ex.run(circuit_of("list", 2, [QuantumGate(id="x", target=1)]), state)
    np.testing.assert_array_equal(result.backend_state.to_numpy(), np.roll(state, 2))
    assert state.tolist() == host


@pytest.mark.parametrize("dtype", [">c16", "<c16", ">c8", "=c8"])
def test_run_takes_a_host_state_of_its_own_dtype_in_any_byte_order(dtype):
    # The executor's dtype names the precision; the zero state is made from
    # that name, and a host state of that very dtype is taken alike.
    circuit = circuit_of("list", 2, [QuantumGate(id="h", target=0), QuantumGate(id="cx", target=1, control=0)])
    ex = CuCircuitExecutor(dtype=np.dtype(dtype))
    host = np.array([0, 1, 0, 0], dtype=dtype)
    native = np.dtype(np.dtype(dtype).name)
    from_host = ex.run(circuit, host).backend_state.to_numpy()
    from_zero = ex.run(circuit).backend_state.to_numpy()
    assert from_host.dtype == native and from_zero.dtype == native
    r = 2 ** -0.5
    np.testing.assert_allclose(from_host, [r, 0, 0, -r], atol=1e-6)
    np.testing.assert_allclose(from_zero, [r, 0, 0, r], atol=1e-6)


def test_run_refuses_a_host_state_of_the_wrong_length():
    state = np.ones(3, dtype=np.complex128)
    with pytest.raises(ValueError, match="2\\*\\*n"):
        CuCircuitExecutor().run(circuit_of("list", 2, []), state)
    assert state.tolist() == [1, 1, 1]


def mid_circuit(rng, n):
    gates = []
    for i in range(40):
        gates.append(random_gate(rng, n, depth=2))
        if i % 9 == 4:
            gates.append(QuantumGate(id="measure", target=(i % n, (i + 2) % n), classical_target=(i % 5, 7)))
    return gates


@pytest.mark.parametrize("dtype", DTYPES)
def test_chunk_size_changes_nothing(dtype):
    gates = mid_circuit(np.random.default_rng(3), 4)
    outcomes = []
    for size in (1, 2, 3, 8192):
        ex = CuCircuitExecutor(dtype=dtype, seed=11)
        ex._GATE_CHUNK_SIZE = size
        result = ex.run(circuit_of("packed", 4, gates))
        outcomes.append((result.backend_state.to_numpy().tobytes(), result.classical_results_map))
    assert all(o == outcomes[0] for o in outcomes)
    assert set(outcomes[0][1]) == {1, 2, 3, 4, 7}


def test_sample_terminal_on_the_stand_in():
    ex = CuCircuitExecutor(seed=3)
    result = ex.run(circuit_of("list", 3, [QuantumGate(id="h", target=0), QuantumGate(id="cx", target=2, control=0)]))
    state, counts, last = ex.sample_terminal(result.backend_state, [2, 0], 400)
    assert state is result.backend_state and type(counts) is dict and sum(counts.values()) == 400
    assert set(counts) == {"00", "11"} and last in counts
    collapsed = state.to_numpy()
    assert abs(collapsed[5 if last == "11" else 0]) == pytest.approx(1)


# --- the add-on alone -----------------------------------------------------------------

@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("targets, endian", [([0], "big"), ([3, 1], "big"), ([1, 3], "little"),
                                             ([2, 0, 4], "little"), ([4, 3, 2, 1, 0], "big")])
def test_sampling_follows_the_marginals(dtype, targets, endian):
    rng = np.random.default_rng(len(targets))
    n = 5
    host = random_state(rng, n, dtype)
    state = dravik.DeviceState.from_numpy(n, host)
    counts, last = dravik.sample_measure_device(state, targets, shots=20000, endian=endian, seed=99,
                                                collapse_last=False)
    np.testing.assert_array_equal(state.to_numpy(), host)
    probs = np.abs(host.astype(np.complex128)) ** 2
    exact = {}
    for index, p in enumerate(probs):
        key = "".join(str((index >> q) & 1) for q in targets)
        key = key if endian == "big" else key[::-1]
        exact[key] = exact.get(key, 0.0) + p
    assert set(counts) <= set(exact) and last in counts
    keys = sorted(exact)
    observed = [counts.get(k, 0) for k in keys]
    expected = [exact[k] / sum(exact.values()) * 20000 for k in keys]
    assert stats.chisquare(observed, expected).pvalue > 1e-4


@pytest.mark.parametrize("dtype", DTYPES)
def test_measurement_collapses_to_the_projection(dtype):
    rng = np.random.default_rng(8)
    n = 4
    host = random_state(rng, n, dtype) * 3  # not normalised
    for seed in range(6):
        state = dravik.DeviceState.from_numpy(n, host)
        outcome = dravik.measure_device(state, [2, 0], seed=seed)
        keep = np.array([((i >> 2) & 1, i & 1) == (int(outcome[0]), int(outcome[1])) for i in range(2**n)])
        expected = np.where(keep, host.astype(np.complex128), 0)
        expected /= np.linalg.norm(expected)
        np.testing.assert_allclose(state.to_numpy(), expected, atol=TOL[dtype])
        assert state.to_numpy().dtype == dtype


SUBNORMAL = np.finfo(np.float64).smallest_subnormal
F32 = np.finfo(np.float32)


@pytest.mark.parametrize("dtype, host", [
    # |a|^2 in double is subnormal, or zero although a is not
    (np.complex128, [0, 3e-162, 0, 0]),
    (np.complex128, [0, 1e-170, 0, 3e-171j]),
    (np.complex128, [SUBNORMAL, 0, 0, 3 * SUBNORMAL]),
    (np.complex128, [1e-160, 2e-160j, 1e-300, 0]),
    # largest and smallest float32 amplitudes square to normal doubles
    (np.complex64, [0, F32.smallest_subnormal, 0, 0]),
    (np.complex64, [F32.smallest_subnormal, 0, 3 * F32.smallest_subnormal * 1j, 0]),
    (np.complex64, [F32.max, 0, F32.max * 1j, F32.max]),
    (np.complex128, [1e150, 2e150j, 1e140, 0]),
    # ordinary
    (np.complex128, [0.6, 0.8j, 0.1, -0.3]),
    (np.complex64, [0.6, 0.8j, 0.1, -0.3]),
])
def test_collapse_has_unit_norm_for_tiny_and_huge_amplitudes(dtype, host):
    host = np.array(host, dtype)
    wide = host.astype(np.complex128)
    for targets in ([0], [1, 0]):
        for seed in range(4):
            state = dravik.DeviceState.from_numpy(2, host)
            outcome = dravik.measure_device(state, targets, seed=seed)
            keep = np.array([all((i >> q) & 1 == int(bit) for q, bit in zip(targets, outcome)) for i in range(4)])
            kept = wide[keep]
            assert np.any(kept)
            plain = 0.0
            for a in kept:  # in index order, as the add-on sums
                plain += a.real * a.real + a.imag * a.imag
            got = state.to_numpy()
            assert got.dtype == dtype and not np.any(got[~keep])
            if plain >= np.finfo(np.float64).tiny:
                # The sum is in the normal range: the bits of the plain rule.
                want = (kept * (1 / np.sqrt(plain))).astype(dtype)
                assert got[keep].tobytes() == want.tobytes()
            else:
                # By a power of two: dividing by a subnormal would overflow.
                shift = -np.frexp(np.max(np.abs(np.concatenate([kept.real, kept.imag]))))[1]
                scaled = np.ldexp(kept.real, shift) + 1j * np.ldexp(kept.imag, shift)
                np.testing.assert_allclose(got[keep], scaled / np.linalg.norm(scaled), rtol=1e-15)
            assert np.sum(np.abs(got.astype(np.complex128)) ** 2) == pytest.approx(1, abs=TOL[dtype])


@pytest.mark.parametrize("dtype, unit", [(np.complex128, 1.0), (np.complex128, 1e-161), (np.complex128, 1e-170),
                                         (np.complex128, SUBNORMAL), (np.complex64, 1.0),
                                         (np.complex64, F32.smallest_subnormal)])
def test_sampling_weights_tiny_amplitudes_exactly(dtype, unit):
    # Weights 9 : 16 whether or not their squares fit in double.
    host = np.array([0, 3 * unit, 0, 4 * unit], dtype)
    state = dravik.DeviceState.from_numpy(2, host)
    counts, last = dravik.sample_measure_device(state, [1], shots=20000, seed=5, collapse_last=False)
    assert set(counts) <= {"0", "1"}
    assert stats.chisquare([counts.get("0", 0), counts.get("1", 0)], [7200, 12800]).pvalue > 1e-4
    np.testing.assert_array_equal(state.to_numpy(), host)


def test_equal_seeds_give_equal_outcomes():
    host = random_state(np.random.default_rng(1), 6, np.complex128)

    def draw(seed):
        state = dravik.DeviceState.from_numpy(6, host)
        counts, last = dravik.sample_measure_device(state, [5, 1, 2], shots=50, seed=seed)
        return counts, last, dravik.measure_device(state, [0, 3], endian="little", seed=seed),
    assert draw(2**64 - 2) == draw(2**64 - 2)
    assert draw(1) != draw(2)


def test_outcome_strings_follow_the_endian():
    host = np.zeros(8, np.complex128)
    host[0b011] = 1  # qubits 0 and 1 are 1
    for endian, text in (("big", "110"), ("little", "011")):
        state = dravik.DeviceState.from_numpy(3, host)
        assert dravik.measure_device(state, [0, 1, 2], endian=endian, seed=0) == text
        assert dravik.sample_measure_device(state, [0, 1, 2], shots=3, endian=endian, seed=0) == ({text: 3}, text)


def test_addon_is_installed_beside_the_package():
    import quorvex
    import quorvex_cu12

    site = Path(quorvex.__file__).resolve().parents[1]
    # An installed site (the sanitizer run has its own), never the source tree.
    assert site != Path(__file__).resolve().parents[1] / "src"
    assert Path(quorvex_cu12.__file__).resolve().parent == site / "quorvex_cu12"
    assert isinstance(dravik.__loader__, importlib.machinery.ExtensionFileLoader)
    assert Path(dravik.__file__).resolve().parent == site / "quorvex_cu12"


def test_states_and_copies():
    zero = dravik.DeviceState.zero_state(3, dtype="complex64", device="anything")
    assert zero.n == 3
    a, b = zero.to_numpy(), zero.to_numpy()
    assert a.dtype == np.complex64 and a.tolist() == [1] + [0] * 7 and a is not b
    a[0] = 5
    assert zero.to_numpy()[0] == 1
    host = np.arange(16, dtype=np.complex128)[::2]  # not contiguous
    state = dravik.DeviceState.from_numpy(3, host, device="x", use_pinned_host=False)
    host[0] = 9
    assert state.to_numpy().tolist() == list(range(0, 16, 2))
    with pytest.raises(AttributeError):
        state.n = 4


@pytest.mark.parametrize("call, error", [
    (lambda: dravik.DeviceState.zero_state(0), ValueError),
    (lambda: dravik.DeviceState.zero_state(63), ValueError),
    (lambda: dravik.DeviceState.zero_state(2, dtype="float64"), ValueError),
    (lambda: dravik.DeviceState.zero_state(55), MemoryError),
    (lambda: dravik.DeviceState.zero_state(62, dtype="complex64"), MemoryError),
    (lambda: dravik.DeviceState.from_numpy(2, np.zeros(4)), ValueError),
    (lambda: dravik.DeviceState.from_numpy(2, np.zeros(4, ">c16")), ValueError),
    (lambda: dravik.DeviceState.from_numpy(2, np.zeros((2, 2), np.complex128)), ValueError),
    (lambda: dravik.DeviceState.from_numpy(2, np.zeros(8, np.complex64)), ValueError),
    (lambda: dravik.DeviceState.from_numpy(2, [1, 0, 0, 0]), ValueError),
    (lambda: dravik.prepare_fusion_chunk_gates(2, [], max_gates_per_group=0), ValueError),
    (lambda: dravik.prepare_fusion_chunk_gates(2, [QuantumGate(id="measure", target=0, classical_target=0)]),
     ValueError),
    (lambda: dravik.prepare_fusion_chunk_gates(2, [QuantumGate(id="block", target=0, block_gate_sequence=[])]),
     ValueError),
    (lambda: dravik.sample_measure_device(dravik.DeviceState.zero_state(1), [0], shots=2**62, seed=0), MemoryError),
    # None where an object of the add-on is expected, also as the receiver of its accessors.
    (lambda: dravik.execute_prepared_fusion_chunk(None, dravik.prepare_fusion_chunk_gates(1, [])), TypeError),
    (lambda: dravik.execute_prepared_fusion_chunk(dravik.DeviceState.zero_state(1), None), TypeError),
    (lambda: dravik.DeviceState.n.fget(None), TypeError),
    (lambda: dravik.PreparedChunk.gate_count.fget(None), TypeError),
    (lambda: dravik.DeviceState.to_numpy(None), TypeError),
])
def test_refusals(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("targets, shots, endian", [
    ([], 1, "big"), ([0, 0], 1, "big"), ([2], 1, "big"), ([-1], 1, "big"), ([0], 0, "big"), ([0], 1, "middle"),
])
def test_measurement_refusals_leave_the_state(targets, shots, endian):
    host = np.full(4, 0.5, np.complex128)
    state = dravik.DeviceState.from_numpy(2, host)
    with pytest.raises(ValueError):
        dravik.sample_measure_device(state, targets, shots=shots, endian=endian, seed=1)
    if shots == 1:
        with pytest.raises(ValueError):
            dravik.measure_device(state, targets, endian=endian, seed=1)
    np.testing.assert_array_equal(state.to_numpy(), host)


# 1e200: |a|^2 overflows in double, so the sum is not finite.
@pytest.mark.parametrize("bad", [0.0, np.nan, np.inf, 1e200])
def test_zero_norm_states_are_refused(bad):
    state = dravik.DeviceState.from_numpy(1, np.array([bad, 0], np.complex128))
    for call in (lambda: dravik.measure_device(state, [0], seed=0),
                 lambda: dravik.sample_measure_device(state, [0], shots=2, seed=0)):
        with pytest.raises(RuntimeError, match="^Quantum state has zero norm.$"):
            call()


@pytest.mark.parametrize("gate", [
    QuantumGate(id="x", target=2),
    QuantumGate(id="x", target=0, control=(3,)),
    QuantumGate(id="swap", target=(0,)),
    QuantumGate(id="rzz", target=(0,), parameter=0.1),
    QuantumGate(id="h", target=(0, 1)),
    QuantumGate(id="i", target=(0, 1)),
    QuantumGate(id="i", target=2),
    QuantumGate(id="xyarb", target=0),
    QuantumGate(id="mine", target=0, matrix=np.eye(4)),
    QuantumGate(id="mine", target=0, matrix=np.eye(2)[0]),
    QuantumGate(id="mine", target=0, matrix="abc"),
    QuantumGate(id="mine", target=0, matrix=[[1, 0], [0]]),
    QuantumGate(id="mine", target=0, matrix=object()),
])
def test_prepare_checks_like_the_packed_executor(gate):
    with pytest.raises(Exception) as packed_error:
        execute_gate_sequence_packed(2, np.array([1, 0, 0, 0], np.complex128), store_of(gate))
    with pytest.raises(type(packed_error.value)) as error:
        dravik.prepare_fusion_chunk_gates(2, [QuantumGate(id="x", target=0), gate])
    assert str(error.value) == str(packed_error.value)


# 1 + 2**-24 + 2**-60 rounds up to single precision directly, but to 1 through double precision.
HALFWAY = np.longdouble(1) + np.longdouble(2) ** -24 + np.longdouble(2) ** -60


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("matrix", [
    np.array([[HALFWAY, 0], [0, 1j]], dtype=np.clongdouble),
    np.array([[HALFWAY, 0], [0, -1]], dtype=np.longdouble),
    np.array([[2**60 + 1, 0], [0, 1]], dtype=np.int64),
    [[0.1, 0.2j], [0.3, 1 / 3]],
])
def test_stored_matrices_give_the_packed_executor_bits(dtype, matrix):
    gate = QuantumGate(id="mine", target=0, matrix=matrix)
    host = np.array([1, 1], dtype)
    expected, _ = execute_gate_sequence_packed(1, host.copy(), store_of(gate))
    state = dravik.DeviceState.from_numpy(1, host)
    dravik.execute_prepared_fusion_chunk(state, dravik.prepare_fusion_chunk_gates(1, [gate]))
    assert state.to_numpy().tobytes() == expected.tobytes()


def test_barriers_of_either_id_are_dropped_whatever_they_carry():
    flip = np.array([[0, 1], [1, 0]])
    gates = [QuantumGate(id=gate_id, target=targets, matrix=matrix)
             for gate_id in ("barrier", "b") for targets in ((0,), (1, 0))
             for matrix in (None, np.kron(flip, flip)[:2 ** len(targets), :2 ** len(targets)])]
    assert dravik.prepare_fusion_chunk_gates(2, gates).gate_count == 0


def test_prepared_chunk_keeps_copies():
    matrix = np.array([[0, 1], [1, 0]], dtype=np.complex128)
    gates = [QuantumGate(id="custom", target=0, matrix=matrix), QuantumGate(id="i", target=0),
             QuantumGate(id="barrier", target=(0, 1))]
    prepared = dravik.prepare_fusion_chunk_gates(2, gates, max_gates_per_group=1)
    assert prepared.gate_count == 1
    matrix[:] = 0
    gates.clear()
    state = dravik.DeviceState.zero_state(2)
    dravik.execute_prepared_fusion_chunk(state, prepared)
    assert state.to_numpy().tolist() == [0, 1, 0, 0]
    with pytest.raises(AttributeError):
        prepared.gate_count = 3
    with pytest.raises(ValueError):
        dravik.execute_prepared_fusion_chunk(dravik.DeviceState.zero_state(3), prepared)


def test_one_state_shared_by_threads():
    """Executions, measurements and copies from several threads take turns on the amplitudes."""
    n = 14
    state = dravik.DeviceState.zero_state(n)
    flips = [dravik.prepare_fusion_chunk_gates(n, [QuantumGate(id="x", target=q)] * count)
             for q, count in ((0, 101), (1, 100))]
    stop = threading.Event()
    torn = []

    def execute(prepared):
        for _ in range(30):
            dravik.execute_prepared_fusion_chunk(state, prepared)

    def observe():
        while not stop.is_set():
            # Qubit 5 is 0 throughout; a copy taken mid-chunk would show a sum of basis states.
            dravik.measure_device(state, [5], seed=1)
            if np.count_nonzero(state.to_numpy()) != 1:
                torn.append(True)

    workers = [threading.Thread(target=execute, args=(p,)) for p in flips]
    observer = threading.Thread(target=observe)
    for thread in workers + [observer]:
        thread.start()
    for thread in workers:
        thread.join()
    stop.set()
    observer.join()
    assert not torn
    assert np.flatnonzero(state.to_numpy()).tolist() == [0]


def test_execution_leaves_the_interpreter_free():
    n = 18
    angles = {"h": None, "rx": 0.3, "u": (0.1, 0.2, 0.3)}
    # Long enough (hundreds of ms) that a loaded two-core machine still shows
    # the other thread running many times.
    gates = [QuantumGate(id=k, target=i % n, parameter=angles[k]) for i, k in enumerate(["h", "rx", "u"] * 300)]
    prepared = dravik.prepare_fusion_chunk_gates(n, gates)
    state = dravik.DeviceState.zero_state(n)
    done = threading.Event()

    def execute():
        dravik.execute_prepared_fusion_chunk(state, prepared)
        done.set()

    worker = threading.Thread(target=execute)
    spins = 0
    worker.start()
    while not done.is_set():
        spins += 1
        time.sleep(0.001)
    worker.join()
    # Holding the GIL through the execution would leave this thread one or two turns.
    assert spins >= 5
    assert np.linalg.norm(state.to_numpy()) == pytest.approx(1)


# --- interrupts -----------------------------------------------------------------------------

N_LONG, THETA, COUNT = 18, 2e-4, 4000


def rotations(count):
    return [QuantumGate(id="rx", target=0, parameter=THETA)] * count


def stopped_where_it_should(state):
    """The number k < COUNT of rotations that ran; the state is theirs, bit for bit."""
    got = state.to_numpy()
    k = round(rx_turns(got) / THETA)
    assert k < COUNT
    want = dravik.DeviceState.zero_state(N_LONG)
    if k:
        dravik.execute_prepared_fusion_chunk(want, dravik.prepare_fusion_chunk_gates(N_LONG, rotations(k)))
    assert got.tobytes() == want.to_numpy().tobytes()


def test_interrupt_ends_an_execution_on_the_main_thread():
    # 4,000 gates on 2**18 amplitudes take far longer than the 0.03 s before
    # the interrupt. map and the deque call the execution with no bytecode
    # between its end and the append: an interrupt held until the end would
    # leave its result behind.
    chunk = dravik.prepare_fusion_chunk_gates(N_LONG, rotations(COUNT))
    state = dravik.DeviceState.zero_state(N_LONG)
    done = collections.deque()
    with alarm(0.03, signal.default_int_handler), pytest.raises(KeyboardInterrupt):
        done.extend(map(dravik.execute_prepared_fusion_chunk, [state], [chunk]))
    assert not done
    stopped_where_it_should(state)


def test_interrupt_ends_zeroing_a_large_state():
    # Zeroing 2**25 amplitudes (512 MiB) takes far longer than the 0.03 s
    # before the interrupt; held to its end, the state would be handed back.
    done = collections.deque()
    with alarm(0.03, signal.default_int_handler), pytest.raises(KeyboardInterrupt):
        done.extend(map(dravik.DeviceState.zero_state, [25]))
    assert not done


def test_cancelled_chunk_stops_between_gates():
    chunk = dravik.prepare_fusion_chunk_gates(N_LONG, rotations(COUNT))
    state = dravik.DeviceState.zero_state(N_LONG)
    box = {}

    def execute():
        try:
            dravik.execute_prepared_fusion_chunk(state, chunk)
        except RuntimeError as exc:
            box["error"] = str(exc)

    worker = threading.Thread(target=execute)
    worker.start()
    time.sleep(0.05)
    chunk.cancel()
    worker.join()
    assert box == {"error": "prepared chunk was cancelled"}
    stopped_where_it_should(state)
    # A cancelled chunk stays so: it runs no gate any more.
    fresh = dravik.DeviceState.zero_state(N_LONG)
    with pytest.raises(RuntimeError, match="^prepared chunk was cancelled$"):
        dravik.execute_prepared_fusion_chunk(fresh, chunk)
    assert fresh.to_numpy()[0] == 1


def test_interrupted_run_stops_the_chunk_it_is_waiting_for():
    # The run waits for its worker thread; the interrupt comes once the
    # chunk is running there, and the run ends without waiting for the rest.
    ex = CuCircuitExecutor()
    started = threading.Event()

    def execute(state, prepared):
        started.set()
        return dravik.execute_prepared_fusion_chunk(state, prepared)

    ex.dravik = types.SimpleNamespace(prepare_fusion_chunk_gates=dravik.prepare_fusion_chunk_gates,
                                      execute_prepared_fusion_chunk=execute)

    raised = []

    def interrupt(signum, frame):
        # Once: a second interrupt would be a second Ctrl-C, not this case.
        if started.is_set() and not raised:
            raised.append(True)
            signal.setitimer(signal.ITIMER_REAL, 0)
            raise KeyboardInterrupt

    state = dravik.DeviceState.zero_state(N_LONG)
    with alarm(0.01, interrupt, every=0.01), pytest.raises(KeyboardInterrupt):
        ex._execute_sequence(rotations(COUNT), state)
    assert not [t for t in threading.enumerate() if t.name.startswith("dravik-gpu-consumer")]
    stopped_where_it_should(state)
