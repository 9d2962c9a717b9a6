"""CuCircuitExecutor measurement: the device calls it makes, and the host-side projective measurement."""
import numpy as np
import pytest

from quorvex.backend.execution import vorthane
from quorvex.backend.gate.morlith import QuantumGate

from fake_dravik import Duck, FakeState, ex, fake  # noqa: F401 - fixtures


def seeds_of(seed, count):
    rng = np.random.default_rng(seed)
    return [int(rng.integers(0, np.iinfo(np.uint64).max, dtype=np.uint64)) for _ in range(count)]


@pytest.mark.parametrize("target, classical, outcome, expected", [
    ((3,), 5, "1", {5: 1}),
    ((0, 1), (5, 2), "10", {5: 1, 2: 0}),
    ((0, 1), (4, 4), "01", {4: 1}),
    ((2, 0, 1), [7, 8, 9], "011", {7: 0, 8: 1, 9: 1}),
])
def test_apply_measure_maps_outcome_to_classical_bits(ex, fake, target, classical, outcome, expected):
    fake.outcomes = [outcome]
    gate = Duck("measure", target, classical)
    assert ex._apply_measure_cuda(FakeState(4, "zero"), gate, 4) == expected
    assert fake.calls("measure")[0][:3] == ("measure", list(target), "big")


class Measured(Duck):
    def __init__(self, target, classical, control=()):
        super().__init__("measure", target, classical)
        self.control = control


@pytest.mark.parametrize("gate, message", [
    (Measured((0,), (0,), control=(1,)), "Controlled measure is not supported."),
    (Measured((0,), None), "measure gate requires classical register."),
    (Measured((0, 1), (0,)), "measurement targets and classical targets must match"),
    (Measured((0,), (0, 1)), "measurement targets and classical targets must match"),
    (Measured((0, 1), 3), "measurement targets and classical targets must match"),
    (Measured((), ()), "measurement targets and classical targets must match"),
])
def test_apply_measure_refusals_leave_state_and_rng(ex, fake, gate, message):
    before = ex.rng.bit_generator.state
    with pytest.raises(ValueError) as info:
        ex._apply_measure_cuda(FakeState(2, "zero"), gate, 2)
    assert str(info.value) == message
    assert ex.rng.bit_generator.state == before
    assert not fake.calls("measure")


def test_target_conversion_error_comes_before_the_seed(ex, fake):
    before = ex.rng.bit_generator.state
    with pytest.raises(ValueError):
        ex._apply_measure_cuda(FakeState(2, "zero"), Measured(("a",), (0,)), 2)
    assert ex.rng.bit_generator.state == before and not fake.calls("measure")


def test_device_seeds_follow_the_generator(fake):
    ex = vorthane.CuCircuitExecutor(seed=1234)
    state = FakeState(2, "zero")
    ex._apply_measure_cuda(state, QuantumGate(id="measure", target=(0, 1), classical_target=(0, 1)), 2)
    fake.outcomes = [({"0": 3}, "0")]
    ex.sample_terminal(state, [1], 3)
    ex._apply_measure_cuda(state, QuantumGate(id="measure", target=1, classical_target=0), 2)
    assert fake.seeds == seeds_of(1234, 3)
    assert all(type(s) is int for s in fake.seeds)


class CountMap:
    """A counts object of the add-on's own kind: only convertible by dict()."""

    def __init__(self, pairs):
        self.pairs = pairs

    def keys(self):
        return [k for k, _ in self.pairs]

    def __getitem__(self, key):
        return dict(self.pairs)[key]


def test_sample_terminal_types_and_call(ex, fake):
    state = FakeState(3, "zero")
    fake.outcomes = [(CountMap([("01", 2), ("11", 5)]), np.str_("11"))]
    out_state, counts, last = ex.sample_terminal(state, (np.int64(2), 0.0), 7.9)
    assert out_state is state
    assert type(counts) is dict and counts == {"01": 2, "11": 5}
    assert type(last) is str and last == "11"
    assert fake.calls("sample") == [("sample", [2, 0], 7, "big", True)]


@pytest.mark.parametrize("reply", [("only one",), ({}, "0", "extra")])
def test_sample_terminal_needs_a_pair(ex, fake, reply):
    fake.outcomes = [reply]
    with pytest.raises(ValueError):
        ex.sample_terminal(FakeState(1, "zero"), [0], 1)


def test_sample_terminal_conversion_errors_before_the_device(ex, fake):
    with pytest.raises(TypeError):
        ex.sample_terminal(FakeState(1, "zero"), [None], 1)
    with pytest.raises(ValueError):
        ex.sample_terminal(FakeState(1, "zero"), [0], "many")
    assert not fake.calls("sample")


# --- host measurement ----------------------------------------------------------------------

BASIS_01 = [0, 1, 0, 0]  # index 1: qubit 0 (the low bit) is 1


@pytest.mark.parametrize("state, targets, endian, outcome", [
    (BASIS_01, (1,), "big", "1"),
    (BASIS_01, (1,), "little", "0"),
    (BASIS_01, (1, 0), "big", "10"),
    (BASIS_01, (0, 1), "big", "01"),
    (BASIS_01, 1, "big", "1"),
    (BASIS_01, (0,), "little", "1"),
    (BASIS_01, (1, 0), "little", "01"),
])
def test_host_measure_outcomes(ex, state, targets, endian, outcome):
    original = np.array(state, dtype=np.complex128)
    new_state, got = ex._measure(2, original, targets, endian)
    assert got == outcome
    np.testing.assert_array_equal(new_state, original)
    assert new_state is not original


@pytest.mark.parametrize("dtype", [np.complex128, np.complex64])
@pytest.mark.parametrize("endian", ["big", "little"])
def test_host_measure_collapses_and_renormalises(fake, dtype, endian):
    ex = vorthane.CuCircuitExecutor(dtype=dtype, seed=5)
    rng = np.random.default_rng(0)
    n = 4
    state = 2 * (rng.normal(size=2**n) + 1j * rng.normal(size=2**n))
    state /= np.linalg.norm(state) / 2  # norm 2
    keep = state.copy()
    targets = (3, 1)
    new_state, outcome = ex._measure(n, state, targets, endian)
    np.testing.assert_array_equal(state, keep)
    assert new_state.dtype == dtype and new_state.shape == (2**n,)
    bits = [int(c) for c in outcome]
    qubit_of_axis = (lambda a: n - 1 - a) if endian == "big" else (lambda a: a)
    mask = np.array([all(((i >> qubit_of_axis(t)) & 1) == b for t, b in zip(targets, bits)) for i in range(2**n)])
    expected = np.where(mask, keep, 0)
    expected /= np.linalg.norm(expected)
    np.testing.assert_allclose(new_state, expected, atol=1e-6 if dtype == np.complex64 else 1e-12)


def test_host_measure_follows_the_generator(fake):
    state = np.full(8, 1 / np.sqrt(8), dtype=np.complex128)
    a, b = vorthane.CuCircuitExecutor(seed=9), vorthane.CuCircuitExecutor(seed=9)
    outcomes_a = [a._measure(3, state, (0, 2))[1] for _ in range(20)]
    outcomes_b = [b._measure(3, state, (0, 2))[1] for _ in range(20)]
    assert outcomes_a == outcomes_b and len(set(outcomes_a)) > 1


@pytest.mark.parametrize("state, targets, error, message", [
    ([0, 0, 0, 0], (0,), RuntimeError, "^Quantum state has zero norm.$"),
    ([np.nan, 0, 0, 0], (0,), RuntimeError, "^Quantum state has zero norm.$"),
    ([np.inf, 0, 0, 0], (0,), RuntimeError, "^Quantum state has zero norm.$"),
    ([1, 0, 0, 0], [0], TypeError, r"^Argument 'target_indices' has incorrect type \(expected tuple, got list\)$"),
    ([1, 0, 0, 0], (0, 0), ValueError, "axes"),
    ([1, 0, 0, 0], (2,), Exception, None),
    ([1, 0, 0], (0,), ValueError, "reshape"),
])
def test_host_measure_errors(ex, state, targets, error, message):
    with pytest.raises(error, match=message):
        ex._measure(2, np.array(state, dtype=np.complex128), targets)
