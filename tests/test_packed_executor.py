"""execute_gate_sequence_packed against a NumPy reference and the per-gate kernel functions."""
import re

import numpy as np
import pytest

from quorvex.backend.pelmor import strovane
from quorvex.backend.pelmor.strovane import OpchainPackedNative, execute_gate_sequence_packed

from packed_fields import View, f, store_of

BULK_IDS = ["i", "x", "y", "z", "h", "s", "s_dag", "t", "t_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag",
            "p", "gp", "gphase", "global_phase", "rx", "ry", "rz", "rzz", "u", "unitary", "swap", "cx", "cnot",
            "cy", "cz", "ch", "cs", "ct", "cp", "crx", "cry", "crz", "mcx", "mcy", "mcz", "mch", "mcs", "mct",
            "mcp", "mcrx", "mcry", "mcrz", "measure"]


# --- NumPy reference ----------------------------------------------------------

def single_matrix(gate_id, params):
    c = np.cos
    s = np.sin
    base = gate_id[2:] if gate_id.startswith("mc") else gate_id[1:] if gate_id in (
        "cx", "cy", "cz", "ch", "cs", "ct", "cp", "crx", "cry", "crz", "cnot") else gate_id
    base = {"not": "x"}.get(base, base)
    if base == "x":
        return np.array([[0, 1], [1, 0]])
    if base == "y":
        return np.array([[0, -1j], [1j, 0]])
    if base == "z":
        return np.diag([1, -1])
    if base == "h":
        return np.array([[1, 1], [1, -1]]) / np.sqrt(2)
    if base == "s":
        return np.diag([1, 1j])
    if base == "s_dag":
        return np.diag([1, -1j])
    if base == "t":
        return np.diag([1, np.exp(1j * np.pi / 4)])
    if base == "t_dag":
        return np.diag([1, np.exp(-1j * np.pi / 4)])
    if base == "sqrtx":
        return 0.5 * np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]])
    if base == "sqrtx_dag":
        return 0.5 * np.array([[1 - 1j, 1 + 1j], [1 + 1j, 1 - 1j]])
    if base == "sqrty":
        return 0.5 * np.array([[1 + 1j, -1 - 1j], [1 + 1j, 1 + 1j]])
    if base == "sqrty_dag":
        return 0.5 * np.array([[1 - 1j, 1 - 1j], [-1 + 1j, 1 - 1j]])
    if base == "p":
        return np.diag([1, np.exp(1j * params[0])])
    h = params[0] / 2 if params else 0
    if base == "rx":
        return np.array([[c(h), -1j * s(h)], [-1j * s(h), c(h)]])
    if base == "ry":
        return np.array([[c(h), -s(h)], [s(h), c(h)]])
    if base == "rz":
        return np.diag([np.exp(-1j * h), np.exp(1j * h)])
    if base == "u":
        th, ph, la = params
        return np.array([[c(th / 2), -np.exp(1j * la) * s(th / 2)],
                         [np.exp(1j * ph) * s(th / 2), np.exp(1j * (ph + la)) * c(th / 2)]])
    raise KeyError(gate_id)


def apply_reference(state, n, targets, controls, states, matrix):
    out = state.copy()
    k = len(targets)
    tmask = sum(1 << t for t in targets)
    for j in range(2**n):
        if j & tmask:
            continue
        if not all(((j >> c) & 1) == (1 if v == 1 else 0) for c, v in zip(controls, states)):
            continue
        idx = [j | sum(((r >> i) & 1) << t for i, t in enumerate(targets)) for r in range(2**k)]
        out[idx] = matrix @ state[idx]
    return out


def reference_run(n, state, gates):
    """gates: already expanded (id, targets, controls, states, params, matrix)."""
    for gate_id, targets, controls, states, params, matrix in gates:
        if gate_id == "i":
            continue
        if gate_id == "swap":
            m = np.eye(4)[[0, 2, 1, 3]]
            state = apply_reference(state, n, targets, controls, states, m)
        elif gate_id == "rzz":
            a, b = targets
            state = apply_reference(state, n, [b], list(controls) + [a], list(states) + [1], single_matrix("x", ()))
            state = apply_reference(state, n, [b], controls, states, single_matrix("rz", params))
            state = apply_reference(state, n, [b], list(controls) + [a], list(states) + [1], single_matrix("x", ()))
        elif gate_id in ("gp", "gphase", "global_phase"):
            e = np.exp(1j * params[0])
            free = [q for q in range(n) if q not in controls]
            state = apply_reference(state, n, [free[0]] if not targets else [targets[0]], controls, states,
                                    np.diag([e, e]))
        elif matrix is not None and gate_id in ("unitary", "custom"):
            state = apply_reference(state, n, targets, controls, states, np.asarray(matrix))
        else:
            state = apply_reference(state, n, targets, controls, states, single_matrix(gate_id, params))
    return state


def random_unitary(rng, dim):
    q, r = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q * (np.diag(r) / abs(np.diag(r)))


def random_gate(rng, n):
    """(fields for the store, expanded reference gate)."""
    kind = rng.choice(["x", "h", "y", "z", "s", "s_dag", "t", "t_dag", "sqrtx", "sqrtx_dag", "sqrty",
                       "sqrty_dag", "p", "rx", "ry", "rz", "u", "swap", "rzz", "gp", "unitary", "mcx", "cp",
                       "i", "custom"])
    qubits = list(rng.permutation(n))
    ntargets = 2 if kind in ("swap", "rzz", "unitary", "custom") else 1
    targets = [int(q) for q in qubits[:ntargets]]
    nctrl = int(rng.integers(0, min(3, n - ntargets) + 1))
    controls = [int(q) for q in qubits[ntargets:ntargets + nctrl]]
    states = [int(v) for v in rng.integers(0, 2, size=nctrl)]
    params = None
    if kind in ("p", "rx", "ry", "rz", "rzz", "gp", "cp"):
        params = (float(rng.uniform(-4, 4)),)
    elif kind == "u":
        params = tuple(float(v) for v in rng.uniform(-4, 4, size=3))
    matrix = random_unitary(rng, 4) if kind in ("unitary", "custom") else None
    if kind == "gp" and rng.integers(0, 2):
        targets = []
    name = "U" if kind == "unitary" else None
    fields = f(str(kind), tuple(targets), tuple(controls), tuple(states), params, name, matrix)
    return fields, (str(kind), targets, controls, states, params, matrix)


def random_state(rng, n, dtype):
    v = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return (v / np.linalg.norm(v)).astype(dtype)


@pytest.mark.parametrize("dtype, tol", [(np.complex128, 1e-10), (np.complex64, 2e-5)])
@pytest.mark.parametrize("seed", range(6))
def test_random_circuits_match_reference(dtype, tol, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 6))
    gates = [random_gate(rng, n) for _ in range(40)]
    s = store_of(*[g for g, _ in gates])
    state = random_state(rng, n, dtype)
    expected = reference_run(n, state.astype(np.complex128), [r for _, r in gates])
    out, results = execute_gate_sequence_packed(n, state, s)
    assert out is state and results == {}
    np.testing.assert_allclose(out, expected, atol=tol)


def per_gate_kernels(n, state, fields_list):
    """The same gates through the module's per-gate functions."""
    S = strovane
    fixed = {"x": S.x_little, "h": S.h_little, "y": S.y_little, "z": S.z_little, "s": S.s_little,
             "s_dag": S.sdag_little, "sqrtx": S.sqrtx_little, "sqrtx_dag": S.sqrtxdag_little,
             "sqrty": S.sqrty_little, "sqrty_dag": S.sqrtydag_little, "mcx": S.x_little}
    angle = {"p": S.phase_little, "cp": S.phase_little, "rx": S.rx_little, "ry": S.ry_little,
             "rz": S.rz_little}
    for gate_id, targets, controls, states, params, name, matrix, _, _ in fields_list:
        c, v = list(controls), list(states)
        if gate_id in fixed:
            state = fixed[gate_id](n, state, c, v, targets[0])
        elif gate_id in angle:
            state = angle[gate_id](n, state, c, v, targets[0], params[0])
        elif gate_id in ("t", "t_dag"):
            state = S.phase_little(n, state, c, v, targets[0], np.pi / 4 if gate_id == "t" else -np.pi / 4)
        elif gate_id == "u":
            state = S.u_little(n, state, c, v, targets[0], list(params))
        elif gate_id == "swap":
            state = S.swap_little(n, state, c, v, list(targets))
        elif gate_id == "rzz":
            a, b = targets
            state = S.x_little(n, state, c + [a], v + [1], b)
            state = S.rz_little(n, state, c, v, b, params[0])
            state = S.x_little(n, state, c + [a], v + [1], b)
        elif gate_id in ("unitary", "custom"):
            state = S.unitary_little(n, state, c, v, list(targets), np.asarray(matrix, dtype=state.dtype))
    return state


@pytest.mark.parametrize("dtype", [np.complex128, np.complex64])
@pytest.mark.parametrize("seed", range(4))
def test_bit_identical_to_per_gate_kernel_calls(dtype, seed):
    rng = np.random.default_rng(100 + seed)
    n = 4
    gates = [g for g, _ in (random_gate(rng, n) for _ in range(60)) if g[0] not in ("gp", "i")]
    s = store_of(*gates)
    state = random_state(rng, n, dtype)
    expected = per_gate_kernels(n, state.copy(), gates)
    out, _ = execute_gate_sequence_packed(n, state, s)
    assert out.tobytes() == expected.tobytes()


def test_large_state_parallel_and_serial_agree():
    rng = np.random.default_rng(7)
    n = 16
    gates = [g for g, _ in (random_gate(rng, n) for _ in range(30))]
    s = store_of(*gates)
    a = random_state(rng, n, np.complex128)
    b = a.copy()
    execute_gate_sequence_packed(n, a, s, runopenmp=True)
    execute_gate_sequence_packed(n, b, s, runopenmp=False)
    assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize("dtype, quarter", [(np.complex64, 0.7853981852531433), (np.complex128, np.pi / 4)])
def test_t_gates_use_the_precision_of_the_state(dtype, quarter):
    state = np.array([0.6, 0.8j], dtype=dtype)
    expected = strovane.phase_little(1, state.copy(), [], [], 0, quarter)
    execute_gate_sequence_packed(1, state, store_of(f("t", (0,))))
    assert state.tobytes() == expected.tobytes()
    execute_gate_sequence_packed(1, state, store_of(f("t_dag", (0,))))
    expected = strovane.phase_little(1, expected, [], [], 0, -quarter)
    assert state.tobytes() == expected.tobytes()


# --- nested blocks and repeat views --------------------------------------------

def test_nested_block_maps_qubits_and_prepends_controls():
    inner = store_of(f("cx", (1,), (0,)))
    s = store_of(f("block", (3, 5), (0,), (1,), block=View(inner)))
    n = 6
    state = random_state(np.random.default_rng(1), n, np.complex128)
    expected = reference_run(n, state.copy(), [("x", [5], [0, 3], [1, 1], None, None)])
    out, _ = execute_gate_sequence_packed(n, state, s)
    np.testing.assert_allclose(out, expected, atol=1e-12)


def test_two_level_blocks_with_mixed_states_and_repeat_views():
    rng = np.random.default_rng(3)
    leaf = store_of(f("rx", (0,), parameter=(0.7,)), f("mcx", (2,), (0, 1), (0, 1)))
    leaf_twice = leaf.repeat(2)
    mid = store_of(f("block", (2, 0, 1), (3,), (0,), block=View(leaf_twice)), f("h", (1,)))
    top = store_of(f("block", (4, 1, 0, 2), (5,), (1,), block=View(mid)), f("x", (3,))).repeat(3)
    n = 6
    # Expanded by hand: mid position p -> top target, leaf position q -> mid target -> top target.
    top_map, mid_map = [4, 1, 0, 2], [2, 0, 1]
    leaf_gates = [("rx", [0], [], [], (0.7,), None), ("mcx", [2], [0, 1], [0, 1], None, None)]
    once = []
    for _ in range(2):
        for gid, t, c, v, p, m in leaf_gates:
            once.append((gid, [top_map[mid_map[q]] for q in t], [5, top_map[3]] + [top_map[mid_map[q]] for q in c],
                         [1, 0] + v, p, m))
    once.append(("h", [top_map[1]], [5], [1], None, None))
    once.append(("x", [3], [], [], None, None))
    state = random_state(rng, n, np.complex128)
    expected = reference_run(n, state.copy(), once * 3)
    out, _ = execute_gate_sequence_packed(n, state, top)
    np.testing.assert_allclose(out, expected, atol=1e-12)
    assert top.is_repeat_view


def test_global_phase_stays_off_its_controls():
    n = 2
    state = np.full(4, 0.5, dtype=np.complex128)
    # Control on qubit 0: the phase must appear only where qubit 0 is 1.
    execute_gate_sequence_packed(n, state, store_of(f("gp", (), (0,), (1,), (np.pi / 2,))))
    np.testing.assert_allclose(state, [0.5, 0.5j, 0.5, 0.5j], atol=1e-15)
    # Every qubit a control: only the one matching basis state changes.
    state = np.full(4, 0.5, dtype=np.complex128)
    execute_gate_sequence_packed(n, state, store_of(f("gphase", (), (0, 1), (0, 1), (np.pi,))))
    np.testing.assert_allclose(state, [0.5, 0.5, -0.5, 0.5], atol=1e-15)
    state = np.full(4, 0.5, dtype=np.complex64)
    execute_gate_sequence_packed(n, state, store_of(f("global_phase", (), (1, 0), (1, 1), (np.pi,))))
    np.testing.assert_allclose(state, [0.5, 0.5, 0.5, -0.5], atol=1e-6)


def test_unitary_first_target_is_low_bit_and_name_decides_before_matrix():
    n = 2
    m = np.eye(4)[[0, 2, 1, 3]].astype(complex)  # swap
    state = np.array([0, 1, 0, 0], dtype=np.complex128)
    execute_gate_sequence_packed(n, state, store_of(f("unitary", (0, 1), name="U", matrix=np.diag([1, 1, 1, -1]))))
    execute_gate_sequence_packed(n, state, store_of(f("unitary", (1, 0), name="U", matrix=m)))
    np.testing.assert_array_equal(state, [0, 0, 1, 0])
    state = np.array([1, 0], dtype=np.complex64)
    execute_gate_sequence_packed(1, state, store_of(f("x", (0,), matrix=np.eye(2))))
    np.testing.assert_array_equal(state, [0, 1])
    # Real and other-precision matrices are cast to the state's type.
    state = np.array([1, 0], dtype=np.complex64)
    execute_gate_sequence_packed(1, state, store_of(f("Custom", (0,), matrix=[[0.0, 1.0], [1.0, 0.0]])))
    np.testing.assert_array_equal(state, [0, 1])


# --- measurement protocol ------------------------------------------------------

def test_measurement_callback_protocol():
    n = 3
    inner = store_of(f("measure", (1,), classical=(7,)))
    s = store_of(f("h", (0,)), f("measure", (0, 2), classical=(0, 1)), f("x", (1,)),
                 f("block", (2, 1), block=View(inner)))
    calls = []
    replacement = np.zeros(8, dtype=np.complex128)

    def callback(state, targets, classical):
        calls.append((state, targets, classical))
        if len(calls) == 1:
            return [replacement, {"a": 1, "b": 2}]
        return replacement.tolist(), {"b": 3}

    state = np.zeros(8, dtype=np.complex128)
    state[0] = 1
    out, results = execute_gate_sequence_packed(n, state, s, measure_callback=callback)
    assert [c[1:] for c in calls] == [((0, 2), (0, 1)), ((1,), (7,))]
    assert calls[0][0] is state and calls[1][0] is replacement
    assert results == {"a": 1, "b": 3}
    assert isinstance(out, np.ndarray) and out is not replacement
    np.testing.assert_array_equal(out, replacement)


def test_skip_measurements_and_missing_callback():
    s = store_of(f("measure", (0,), classical=(0,)), f("x", (0,)))
    state = np.array([1, 0], dtype=np.complex128)
    out, results = execute_gate_sequence_packed(1, state, s, skip_measurements=True)
    assert out is state and results == {} and state[1] == 1
    with pytest.raises(RuntimeError, match="^measurement callback is required$"):
        execute_gate_sequence_packed(1, state, s)
    bad = store_of(f("measure", (0,)))
    with pytest.raises(RuntimeError, match="^measurement targets and classical targets must match$"):
        execute_gate_sequence_packed(1, state, bad, skip_measurements=True)


@pytest.mark.parametrize("result, error", [
    (lambda st: (st,), IndexError),
    (lambda st: (), IndexError),
    (lambda st: 5, TypeError),
    (lambda st: (st, 5), TypeError),
    (lambda st: ("not a number", {}), RuntimeError),
])
def test_malformed_callback_results(result, error):
    s = store_of(f("measure", (0,), classical=(0,)), f("x", (0,)))
    state = np.array([1, 0], dtype=np.complex128)
    with pytest.raises(error):
        execute_gate_sequence_packed(1, state, s, lambda st, t, c: result(st))


def test_callback_returning_wrong_state_is_refused_before_use():
    s = store_of(f("measure", (0,), classical=(0,)), f("x", (1,)))
    base = np.zeros(4, dtype=np.complex128)
    for returned, message in [(np.zeros(2, np.complex128), "state size must equal 2**n"),
                              (np.zeros((2, 2), np.complex128), "state must be a writable C-contiguous 1-D array"),
                              (np.zeros(8, np.complex128)[::2], "state must be a writable C-contiguous 1-D array"),
                              (np.zeros(4, np.float64), "state dtype must be complex64 or complex128")]:
        with pytest.raises(RuntimeError, match=f"^{re.escape(message)}"):
            execute_gate_sequence_packed(2, base, s, lambda st, t, c, r=returned: (r, {}))
    ro = np.zeros(4, np.complex128)
    ro.flags.writeable = False
    with pytest.raises(RuntimeError, match="^state must be a writable C-contiguous 1-D array$"):
        execute_gate_sequence_packed(2, base, s, lambda st, t, c: (ro, {}))
    # A state returned for measurements only is never touched and not checked.
    only = store_of(f("measure", (0,), classical=(0,)))
    out, _ = execute_gate_sequence_packed(2, base, only, lambda st, t, c: (np.zeros(3), {"k": 1}))
    assert out.shape == (3,)


def test_callback_that_edits_the_store_does_not_disturb_the_run():
    s = store_of(f("x", (0,)), f("measure", (0,), classical=(0,)), *[f("h", (1,)) for _ in range(3)],
                 f("Custom", (1,), name="mine", matrix=np.eye(2)))

    def callback(state, targets, classical):
        s.clear()
        for _ in range(100):
            s.append_fields(*f("x", (1,)))
        return state, {"seen": len(s)}

    state = np.array([1, 0, 0, 0], dtype=np.complex128)
    out, results = execute_gate_sequence_packed(2, state, s, callback)
    expected = np.array([0, 1, 0, 1]) / np.sqrt(2)
    np.testing.assert_allclose(out, expected, atol=1e-12)
    assert results == {"seen": 100} and len(s) == 100


# --- entry checks and per-gate validation --------------------------------------

def test_empty_store_returns_state_whatever_its_dtype():
    state = np.zeros(4, dtype=np.float64)
    out, results = execute_gate_sequence_packed(2, state, OpchainPackedNative())
    assert out is state and results == {}


@pytest.mark.parametrize("n, state, message", [
    (0, np.zeros(1, np.complex128), "state size must equal 2**n"),
    (63, np.zeros(2, np.complex128), "state size must equal 2**n"),
    (2, np.zeros(8, np.complex128), "state size must equal 2**n"),
    (1, np.zeros((1, 2), np.complex128), "state must be a writable C-contiguous 1-D array"),
    (1, np.zeros(4, np.complex128)[::2], "state must be a writable C-contiguous 1-D array"),
])
def test_entry_checks(n, state, message):
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        execute_gate_sequence_packed(n, state, store_of(f("x", (0,))))


def test_entry_binding_refusals():
    with pytest.raises(TypeError):
        execute_gate_sequence_packed(1, [1, 0], OpchainPackedNative())
    with pytest.raises(TypeError):
        execute_gate_sequence_packed(1, np.zeros(2, complex), View(OpchainPackedNative()))
    ro = np.zeros(2, complex)
    ro.flags.writeable = False
    with pytest.raises(RuntimeError, match="writable"):
        execute_gate_sequence_packed(1, ro, OpchainPackedNative())


@pytest.mark.parametrize("gate, message", [
    (f("x", (1,), (0,), (1, 1)), "control indices and control state must have equal length"),
    (f("x", (3,)), "packed gate contains an invalid or duplicate target"),
    (f("swap", (1, 1)), "packed gate contains an invalid or duplicate target"),
    (f("x", (-1,)), "packed gate contains an invalid or duplicate target"),
    (f("x", (1,), (1,)), "packed gate contains an invalid or duplicate control"),
    (f("x", (1,), (0, 0), (1, 1)), "packed gate contains an invalid or duplicate control"),
    (f("x", (1,), (0,), (2,)), "packed gate control state must contain only 0 or 1"),
    (f("measure", (0, 1), classical=(0,)), "measurement targets and classical targets must match"),
    (f("measure", (), classical=()), "measurement targets and classical targets must match"),
    (f("swap", (0, 1, 2)), "swap requires exactly two targets"),
    (f("barrier", (0, 3)), "packed gate contains an invalid or duplicate target"),
    (f("x", (0, 1), matrix=np.eye(4)), "packed gate requires exactly one target"),
    (f("h", ()), "packed gate requires exactly one target"),
    (f("rzz", (0,), parameter=(0.1,)), "rzz requires exactly two targets"),
    (f("rz", (0,)), "packed gate has an invalid parameter count"),
    (f("u", (0,), parameter=(0.1, 0.2)), "packed gate has an invalid parameter count"),
    (f("gp", ()), "packed gate has an invalid parameter count"),
    (f("x2p", (0,)), "unsupported packed C++ gate: x2p"),
    (f("Custom", (0,)), "unsupported packed C++ gate: custom"),
    (f("unitary", (0,)), "unsupported packed C++ gate: unitary"),
    (f("unitary", (0,), name="U", matrix=np.eye(4)), "unitary matrix shape does not match packed gate targets"),
    (f("unitary", (), name="U", matrix=np.eye(1)), "packed gate has no target"),
])
def test_per_gate_validation_messages(gate, message):
    state = np.zeros(8, np.complex128)
    with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
        execute_gate_sequence_packed(3, state, store_of(gate), lambda st, t, c: (st, {}))


def test_dtype_checked_per_gate_after_validation():
    state = np.zeros(2, np.float64)
    with pytest.raises(RuntimeError, match="^state dtype must be complex64 or complex128$"):
        execute_gate_sequence_packed(1, state, store_of(f("x", (0,))))
    with pytest.raises(RuntimeError, match="invalid or duplicate target"):
        execute_gate_sequence_packed(1, state, store_of(f("x", (4,))))
    seen = []
    execute_gate_sequence_packed(1, state, store_of(f("measure", (0,), classical=(0,))),
                                 lambda st, t, c: (seen.append(t) or st, {}))
    assert seen == [(0,)]
    big_endian = np.zeros(2, dtype=">c16")
    with pytest.raises(RuntimeError, match="^state dtype must be complex64 or complex128$"):
        execute_gate_sequence_packed(1, big_endian, store_of(f("x", (0,))))


def test_block_local_index_out_of_range():
    inner = store_of(f("x", (2,)))
    s = store_of(f("block", (0, 1), block=View(inner)))
    with pytest.raises(RuntimeError, match="^block-local qubit index out of range$"):
        execute_gate_sequence_packed(2, np.zeros(4, complex), s)


# --- supported ids -------------------------------------------------------------

def valid_gate(gate_id):
    if gate_id == "measure":
        return f(gate_id, (0,), classical=(0,))
    if gate_id in ("swap", "rzz"):
        return f(gate_id, (0, 1), parameter=(0.3,) if gate_id == "rzz" else None)
    if gate_id == "unitary":
        return f(gate_id, (0,), name="U", matrix=np.eye(2))
    params = {"u": (0.1, 0.2, 0.3)}.get(gate_id)
    if gate_id.lstrip("mc").lstrip("c") in ("p", "rx", "ry", "rz") or gate_id in (
            "p", "gp", "gphase", "global_phase", "cp", "mcp"):
        params = (0.3,)
    return f(gate_id, (0,), parameter=params)


@pytest.mark.parametrize("gate_id", BULK_IDS)
def test_every_bulk_id_has_an_executor_case(gate_id):
    s = store_of(valid_gate(gate_id))
    assert s.bulk_supported()
    state = np.zeros(4, np.complex128)
    state[0] = 1
    execute_gate_sequence_packed(2, state, s, lambda st, t, c: (st, {}))


@pytest.mark.parametrize("dtype, tol", [(np.complex128, 1e-12), (np.complex64, 1e-6)])
@pytest.mark.parametrize("gate_id", [g for g in BULK_IDS if g != "measure"])
def test_every_executed_id_applies_its_own_gate(gate_id, dtype, tol):
    # One row per id: a wrong row (cy run as Z, crx as RY, ...) shows here.
    n = 3
    fields = valid_gate(gate_id)
    targets = list(fields[1])
    if gate_id == "gp":
        targets = []
    if gate_id == "unitary":
        fields = f(gate_id, (0,), name="U", matrix=random_unitary(np.random.default_rng(5), 2))
    controls, states = [2], [0]
    fields = (fields[0], tuple(targets), tuple(controls), tuple(states)) + fields[4:]
    state = random_state(np.random.default_rng(11), n, dtype)
    expected = reference_run(n, state.astype(np.complex128),
                             [(gate_id, targets, controls, states, fields[4], fields[6])])
    out, _ = execute_gate_sequence_packed(n, state, store_of(fields))
    np.testing.assert_allclose(out, expected, atol=tol)


@pytest.mark.parametrize("gate_id", ["block", "rxy", "xyarb", "x2p", "x2m", "y2p", "y2m", "unitary", "my_gate"])
def test_ids_without_a_case(gate_id):
    s = store_of(f(gate_id, (0,)))
    assert not s.bulk_supported()
    with pytest.raises(RuntimeError, match=f"^unsupported packed C\\+\\+ gate: {gate_id}$"):
        execute_gate_sequence_packed(1, np.zeros(2, complex), s)
    with_matrix = store_of(f(gate_id, (0,), name="M", matrix=np.eye(2)))
    assert with_matrix.bulk_supported()


@pytest.mark.parametrize("gate_id", ["barrier", "b"])
@pytest.mark.parametrize("targets", [(0,), (0, 1), (2, 0, 1)])
@pytest.mark.parametrize("matrix", [None, "identity", "x"])
def test_ordering_gates_run_as_nothing(gate_id, targets, matrix):
    # A barrier only orders the gates around it, on any number of qubits;
    # its name decides before a stored matrix, which is never run.
    if matrix is not None:
        matrix = np.eye(2 ** len(targets)) if matrix == "identity" else np.eye(2 ** len(targets))[::-1]
    state = random_state(np.random.default_rng(5), 3, np.complex128)
    s = store_of(f("h", (0,)), f(gate_id, targets, matrix=matrix), f("x", (2,)))
    assert s.bulk_supported() and s.measurement_plan() == ("none", (), ())
    out, results = execute_gate_sequence_packed(3, state.copy(), s)
    expected, _ = execute_gate_sequence_packed(3, state.copy(), store_of(f("h", (0,)), f("x", (2,))))
    np.testing.assert_array_equal(out, expected)
    assert results == {}
    # Its qubits are still checked as every gate's are.
    with pytest.raises(RuntimeError, match="^packed gate contains an invalid or duplicate target$"):
        execute_gate_sequence_packed(2, np.zeros(4, complex), store_of(f(gate_id, (0, 2))))
    # A barrier after the measurements keeps the plan dynamic, as any gate does.
    measured = store_of(f("measure", (0,), classical=(0,)), f(gate_id, targets))
    assert measured.measurement_plan() == ("dynamic", (), ())