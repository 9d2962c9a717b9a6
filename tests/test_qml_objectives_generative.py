"""Born-machine objectives: worked values, references, gradients, call order."""
import math

import numpy as np
import pytest
import torch
from scipy.special import rel_entr

from quorvex.library.qml.objectives.generative import (
    BornMachineKLDivergenceObjective,
    BornMachineMMDObjective,
    BornMachineNLLObjective,
)

F64 = torch.float64


class FixedModel:
    """A Born machine whose probability vector is given outright."""

    def __init__(self, probabilities, num_qubits=None, dtype=F64):
        self.p = torch.as_tensor(probabilities, dtype=dtype)
        if num_qubits is not None:
            self.num_qubits = num_qubits
        self.log = []

    def probabilities(self, parameters):
        self.log.append("probabilities")
        return self.p

    def __getattribute__(self, name):
        if name == "num_qubits":
            object.__getattribute__(self, "log").append("num_qubits")
        return object.__getattribute__(self, name)


class SoftmaxModel:
    """Plain-PyTorch Born machine: softmax over 2**n logits."""

    def __init__(self, num_qubits):
        self.num_qubits = num_qubits

    def probabilities(self, parameters):
        return torch.softmax(parameters, dim=0)


def bits(indices, num_qubits):
    """Sample rows whose column q is bit q of the basis-state index."""
    return torch.tensor([[(i >> q) & 1 for q in range(num_qubits)] for i in indices])


# objective, probabilities, qubit count, sample indices, exact value
WORKED = [
    pytest.param(BornMachineNLLObjective(), [0.25, 0.75], 1, [1, 1, 0],
                 0.6538861686744841, id="nll"),
    pytest.param(BornMachineNLLObjective(), [0.0, 1.0], 1, [0], 27.631021115928547,
                 id="nll-epsilon-floor"),
    pytest.param(BornMachineMMDObjective(bandwidth=1), [0.5, 0.5], 1, [0, 0],
                 0.31606027941427883, id="mmd-one-qubit"),
    pytest.param(BornMachineMMDObjective(), [0.25] * 4, 2, [0, 3],
                 0.09989410022343201, id="mmd-two-qubits"),
    pytest.param(BornMachineMMDObjective(), [0.5, 0.0, 0.0, 0.5], 2, [0, 3], 0.0,
                 id="mmd-matching-empirical"),
    pytest.param(BornMachineKLDivergenceObjective([1, 0]), [0.5, 0.5], None, None,
                 0.6931471805599453, id="kl"),
    pytest.param(BornMachineKLDivergenceObjective([1, 0]), [0.0, 1.0], None, None,
                 27.631021115928547, id="kl-epsilon-floor"),
]


@pytest.mark.parametrize("objective, probabilities, num_qubits, indices, expected", WORKED)
def test_worked_values(objective, probabilities, num_qubits, indices, expected):
    batch = None if indices is None else {"samples": bits(indices, num_qubits)}
    value = objective(FixedModel(probabilities, num_qubits), batch, None)
    assert value.shape == () and value.dtype == F64
    assert value.item() == expected


def test_nll_takes_the_width_from_the_samples_without_num_qubits():
    model = FixedModel([0.1, 0.2, 0.3, 0.4])
    value = BornMachineNLLObjective()(model, [bits([3, 2], 2)], None)
    assert value.item() == pytest.approx(-(math.log(0.4) + math.log(0.3)) / 2, rel=1e-15)


def test_mmd_needs_num_qubits():
    with pytest.raises(AttributeError):
        BornMachineMMDObjective()(FixedModel([0.5, 0.5]), bits([0], 1), None)


def _numpy_mmd(p, indices, n, bandwidth):
    dimension = 2 ** n
    empirical = np.bincount(indices, minlength=dimension) / len(indices)
    labels = np.arange(dimension)
    distance = np.array([[bin(i ^ j).count("1") for j in labels] for i in labels])
    d = p - empirical
    return d @ np.exp(-distance / bandwidth) @ d


@pytest.mark.parametrize("n, bandwidth", [(1, 0.3), (3, 1.0), (4, 2.5)])
def test_mmd_matches_numpy(n, bandwidth):
    rng = np.random.default_rng(n)
    p = rng.random(2 ** n)
    p /= p.sum()
    indices = rng.integers(0, 2 ** n, size=7)
    value = BornMachineMMDObjective(bandwidth)(FixedModel(p, n), (bits(indices, n), None), None)
    assert value.item() == pytest.approx(_numpy_mmd(p, indices, n, bandwidth), rel=1e-12, abs=1e-15)


def test_mmd_bandwidth_flattens_the_kernel():
    model = FixedModel([0.5, 0.5], 1)
    values = [BornMachineMMDObjective(b)(model, bits([0], 1), None).item() for b in (0.5, 5.0, 500.0)]
    # 0.5 (1 - exp(-1/b)) shrinks towards 0 as the kernel tends to all ones.
    assert values == sorted(values, reverse=True)
    assert values[-1] == pytest.approx(0.5 * -math.expm1(-1 / 500.0), rel=1e-12)


@pytest.mark.parametrize("with_zeros", [False, True])
def test_kl_matches_rel_entr(with_zeros):
    rng = np.random.default_rng(7)
    target = rng.random(8)
    if with_zeros:
        target[[1, 5]] = 0.0
    p = rng.random(8)
    p /= p.sum()
    value = BornMachineKLDivergenceObjective(target)(FixedModel(p), None, None)
    expected = rel_entr(target / target.sum(), p).sum()
    assert value.item() == pytest.approx(expected, rel=1e-13)


@pytest.mark.parametrize(
    "given, stored",
    [
        ([1, 3], torch.tensor([0.25, 0.75], dtype=F64)),
        (np.ones((2, 2)), torch.full((4,), 0.25, dtype=F64)),
        (5, torch.tensor([1.0], dtype=F64)),
        ([True, False], torch.tensor([1.0, 0.0], dtype=F64)),
        (torch.tensor([1.0, 1.0, 2.0]), torch.tensor([0.25, 0.25, 0.5])),
        (torch.tensor([3e38, 3e38]), torch.tensor([0.5, 0.5])),
        ([0.1, 0.3], torch.tensor([0.1, 0.3], dtype=F64) / torch.tensor(0.4, dtype=F64)),
        ((0.1, 0.3), torch.tensor([0.1, 0.3], dtype=F64) / torch.tensor(0.4, dtype=F64)),
        (np.array([0.1, 0.3], np.float32), torch.tensor([0.1, 0.3]) / torch.tensor(0.4)),
    ],
    ids=["ints", "2x2-ones", "scalar", "bools", "float32-kept", "float32-sum-overflows",
         "float-list", "float-tuple", "float32-array-kept"],
)
def test_kl_target_is_normalised(given, stored):
    target = BornMachineKLDivergenceObjective(given).target_probabilities
    assert target.dtype == stored.dtype and torch.equal(target, stored)


def test_kl_leaves_the_callers_data_alone():
    array = np.array([1.0, 3.0])
    tensor = torch.tensor([[2.0, 2.0]], dtype=F64)
    BornMachineKLDivergenceObjective(array)
    stored = BornMachineKLDivergenceObjective(tensor).target_probabilities
    assert array.tolist() == [1.0, 3.0] and tensor.tolist() == [[2.0, 2.0]]
    stored.zero_()
    assert tensor.tolist() == [[2.0, 2.0]]


@pytest.mark.parametrize(
    "probabilities",
    [torch.full((8,), 0.125, dtype=F64), torch.full((2, 2), 0.25, dtype=F64)],
    ids=["wider", "two-dimensional"],
)
def test_kl_width_mismatch(probabilities):
    objective = BornMachineKLDivergenceObjective([1, 1, 1, 1])
    with pytest.raises(ValueError, match=r"^target_probabilities must match the model probability width\.$"):
        objective(FixedModel(probabilities), None, None)


def test_kl_target_follows_the_model_dtype():
    # 1e-50 is positive in float64 but 0 in float32: it leaves the support
    # instead of reaching a logarithm.
    objective = BornMachineKLDivergenceObjective(torch.tensor([1.0, 1e-50], dtype=F64))
    value = objective(FixedModel([1.0, 0.0], dtype=torch.float32), object(), None)
    assert value.dtype == torch.float32 and value.item() == 0.0


@pytest.mark.parametrize(
    "objective, reads",
    [
        (BornMachineNLLObjective(), ["probabilities"]),
        (BornMachineMMDObjective(), ["probabilities", "num_qubits"]),
    ],
    ids=["nll", "mmd"],
)
def test_malformed_batch_fails_after_the_model_ran(objective, reads):
    model = FixedModel([0.5, 0.5], 1)
    with pytest.raises(TypeError, match=r"^batch must be a tensor"):
        objective(model, [1, 2, 3], None)
    assert model.log == reads


@pytest.mark.parametrize(
    "objective",
    [BornMachineNLLObjective(), BornMachineMMDObjective()],
    ids=["nll", "mmd"],
)
def test_no_samples_is_not_a_value(objective):
    with pytest.raises(ValueError, match=r"^objective must return a finite value\.$"):
        objective(FixedModel([0.5, 0.5], 1), torch.zeros((0, 1)), None)


@pytest.mark.parametrize(
    "objective",
    [
        BornMachineNLLObjective(),
        BornMachineMMDObjective(bandwidth=0.7),
        BornMachineKLDivergenceObjective([0.1, 0.0, 0.3, 0.2, 0.0, 0.1, 0.2, 0.1]),
    ],
    ids=["nll", "mmd", "kl"],
)
def test_gradcheck_softmax_born_machine(objective):
    torch.manual_seed(0)
    logits = torch.randn(8, dtype=F64, requires_grad=True)
    batch = {"inputs": bits([0, 5, 5, 7, 2], 3)}
    assert torch.autograd.gradcheck(lambda w: objective(SoftmaxModel(3), batch, w), (logits,))
