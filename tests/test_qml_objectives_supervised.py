"""Batch forms, value checks and the supervised objective."""
import dataclasses
import math
from collections import namedtuple
from collections.abc import Mapping

import numpy as np
import pytest
import torch

from quorvex.library.qml.objectives.generative import (
    BornMachineKLDivergenceObjective,
    BornMachineMMDObjective,
    BornMachineNLLObjective,
)
from quorvex.library.qml.objectives.supervised import (
    SupervisedObjective,
    batch_inputs,
    supervised_batch,
    validate_objective_value,
)

X = torch.tensor([[1.0, 2.0], [3.0, 4.0]])
Y = torch.tensor([0.5, -0.5])
Z = torch.tensor([9.0])

MISSING_INPUTS = (ValueError, "mapping batches must contain inputs, features, or samples.")
NOT_A_BATCH = (TypeError, "batch must be a tensor, a one/two-item sequence, or a mapping.")
NOT_A_PAIR = (ValueError, "a supervised objective requires input/target pairs.")
MISSING_TARGETS = (ValueError, "supervised mapping batches must contain targets.")


class ReadOnlyMapping(Mapping):
    """A Mapping that is not a dict, to show the abstract test is used."""

    def __init__(self, **items):
        self._items = items

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


Pair = namedtuple("Pair", "inputs targets")

# batch, what batch_inputs gives, what supervised_batch gives; an expected
# value is an (exception type, message) pair when the call must fail.
BATCH_FORMS = [
    pytest.param(X, X, NOT_A_PAIR, id="tensor-of-two-rows-is-one-batch"),
    pytest.param({"features": Y, "inputs": X}, X, MISSING_TARGETS, id="inputs-before-features"),
    pytest.param({"samples": Y, "features": X}, X, MISSING_TARGETS, id="features-before-samples"),
    pytest.param({"samples": X}, X, MISSING_TARGETS, id="samples-only"),
    pytest.param({"targets": Y}, MISSING_INPUTS, MISSING_INPUTS, id="targets-only"),
    pytest.param({"inputs": X, "targets": Y, "weights": Z}, X, (X, Y), id="extra-keys-ignored"),
    pytest.param({"features": X, "targets": Y}, X, (X, Y), id="features-and-targets"),
    pytest.param(ReadOnlyMapping(samples=X, targets=Y), X, (X, Y), id="abstract-mapping"),
    pytest.param([X], X, NOT_A_PAIR, id="one-item-list"),
    pytest.param((X,), X, NOT_A_PAIR, id="one-item-tuple"),
    pytest.param([X, Y], X, (X, Y), id="two-item-list"),
    pytest.param((X, Y), X, (X, Y), id="two-item-tuple"),
    pytest.param(Pair(X, Y), X, (X, Y), id="tuple-subclass"),
    pytest.param((X, Y, Z), NOT_A_BATCH, NOT_A_PAIR, id="three-item-tuple"),
    pytest.param([], NOT_A_BATCH, NOT_A_PAIR, id="empty-list"),
    pytest.param(np.zeros((2, 2)), NOT_A_BATCH, NOT_A_PAIR, id="numpy-array"),
    pytest.param("ab", NOT_A_BATCH, NOT_A_PAIR, id="string"),
    pytest.param(None, NOT_A_BATCH, NOT_A_PAIR, id="none"),
]


def _check(call, expected):
    if isinstance(expected, tuple) and isinstance(expected[0], type):
        with pytest.raises(expected[0]) as info:
            call()
        assert str(info.value) == expected[1]
        return None
    return call()


@pytest.mark.parametrize("batch, inputs, pair", BATCH_FORMS)
def test_batch_forms(batch, inputs, pair):
    got = _check(lambda: batch_inputs(batch), inputs)
    if got is not None:
        assert got is inputs
    got = _check(lambda: supervised_batch(batch), pair)
    if got is not None:
        assert type(got) is tuple and len(got) == 2
        assert got[0] is pair[0] and got[1] is pair[1]
        assert got is not batch


def test_batch_keywords_and_argument_errors():
    assert batch_inputs(batch=[X]) is X
    assert supervised_batch(batch=(X, Y))[1] is Y
    with pytest.raises(TypeError, match=r"^batch_inputs\(\) takes exactly 1 positional argument \(2 given\)$"):
        batch_inputs(X, Y)
    with pytest.raises(TypeError, match=r"^supervised_batch\(\) got an unexpected keyword argument 'pair'$"):
        supervised_batch(pair=(X, Y))


def test_mapping_errors_propagate_unchanged():
    class Liar(dict):
        def __contains__(self, key):
            return True

    with pytest.raises(KeyError):
        batch_inputs(Liar())


# ---------------------------------------------------------------------------
# validate_objective_value and the checks of the objective records
# ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "value, kwargs",
    [
        (torch.tensor(2.5), {}),
        (torch.tensor([2.5]), {}),
        (torch.tensor([[2.5]]), {"name": "loss_fn"}),
    ],
    ids=["0-d", "shape-1", "shape-1x1"],
)
def test_validate_accepts_one_finite_element(value, kwargs):
    got = validate_objective_value(value, **kwargs)
    assert got.shape == () and got.item() == 2.5


def test_validate_keeps_the_autograd_graph():
    x = torch.tensor([1.5], dtype=torch.float64, requires_grad=True)
    value = validate_objective_value(x * x)
    value.backward()
    assert x.grad.item() == 3.0


class _Model:
    def batch_forward(self, inputs, parameters):
        return inputs


def _loss_returning(result):
    return SupervisedObjective(lambda predictions, targets: result)


NAN = float("nan")
INF = float("inf")

# Every refusal of a value or of a record, with its exact message.
REFUSALS = [
    pytest.param(lambda: validate_objective_value(2.5), ValueError,
                 "objective must return a torch tensor.", id="float"),
    pytest.param(lambda: validate_objective_value(torch.tensor([]), name="loss_fn"), ValueError,
                 "loss_fn must return a scalar tensor.", id="empty"),
    pytest.param(lambda: validate_objective_value(torch.ones(2)), ValueError,
                 "objective must return a scalar tensor.", id="two-elements"),
    pytest.param(lambda: validate_objective_value(torch.tensor([NAN])), ValueError,
                 "objective must return a finite value.", id="nan"),
    pytest.param(lambda: validate_objective_value(torch.tensor(INF), name="x"), ValueError,
                 "x must return a finite value.", id="inf"),
    pytest.param(lambda: validate_objective_value(torch.tensor(-INF), name=""), ValueError,
                 " must return a finite value.", id="minus-inf-empty-name"),
    pytest.param(lambda: validate_objective_value(torch.tensor(1.0), "objective"), TypeError,
                 "validate_objective_value() takes exactly 1 positional argument (2 given)",
                 id="name-by-position"),
    pytest.param(lambda: validate_objective_value(torch.tensor(1.0), name=None), TypeError,
                 "Argument 'name' has incorrect type (expected str, got NoneType)", id="name-none"),
    pytest.param(lambda: validate_objective_value(torch.tensor(1.0), name=np.str_("x")), TypeError,
                 "Argument 'name' has incorrect type (expected str, got numpy.str_)",
                 id="name-str-subclass"),
    pytest.param(lambda: SupervisedObjective("mse"), TypeError, "loss_fn must be callable.",
                 id="loss-not-callable"),
    pytest.param(lambda: _loss_returning(0.5)(_Model(), (X, Y), None), ValueError,
                 "loss_fn must return a torch tensor.", id="loss-float"),
    pytest.param(lambda: _loss_returning(torch.ones(3))(_Model(), (X, Y), None), ValueError,
                 "loss_fn must return a scalar tensor.", id="loss-per-sample"),
    pytest.param(lambda: _loss_returning(torch.tensor(NAN))(_Model(), (X, Y), None), ValueError,
                 "loss_fn must return a finite value.", id="loss-nan"),
    pytest.param(lambda: SupervisedObjective(len)(_Model(), X, None), ValueError,
                 "a supervised objective requires input/target pairs.", id="loss-tensor-batch"),
    pytest.param(lambda: BornMachineNLLObjective(0), ValueError, "epsilon must be positive.",
                 id="nll-epsilon-zero"),
    pytest.param(lambda: BornMachineNLLObjective(-1), ValueError, "epsilon must be positive.",
                 id="nll-epsilon-negative"),
    pytest.param(lambda: BornMachineMMDObjective(0.0), ValueError, "bandwidth must be positive.",
                 id="mmd-bandwidth-zero"),
    pytest.param(lambda: BornMachineKLDivergenceObjective([1.0], epsilon=0), ValueError,
                 "epsilon must be positive.", id="kl-epsilon-zero"),
    pytest.param(lambda: BornMachineKLDivergenceObjective([]), ValueError,
                 "target_probabilities must not be empty.", id="kl-empty"),
    pytest.param(lambda: BornMachineKLDivergenceObjective([0, 0]), ValueError,
                 "target_probabilities must have positive mass.", id="kl-no-mass"),
    pytest.param(lambda: BornMachineKLDivergenceObjective([0.5, -0.1]), ValueError,
                 "target_probabilities must be finite and non-negative.", id="kl-negative"),
    pytest.param(lambda: BornMachineKLDivergenceObjective([1, INF]), ValueError,
                 "target_probabilities must be finite and non-negative.", id="kl-inf"),
    pytest.param(lambda: BornMachineKLDivergenceObjective(torch.tensor([NAN, -1.0])), ValueError,
                 "target_probabilities must be finite and non-negative.", id="kl-nan"),
    pytest.param(lambda: BornMachineNLLObjective("small"), TypeError, None,
                 id="epsilon-not-comparable"),
]


@pytest.mark.parametrize("call, error, message", REFUSALS)
def test_refusals(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "record",
    [SupervisedObjective(len), BornMachineNLLObjective(), BornMachineMMDObjective(),
     BornMachineKLDivergenceObjective([1, 1])],
    ids=lambda r: type(r).__name__,
)
def test_records_are_frozen(record):
    field = dataclasses.fields(record)[0].name
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(record, field, 1.0)


def test_nan_epsilon_is_accepted():
    assert math.isnan(BornMachineNLLObjective(NAN).epsilon)


# ---------------------------------------------------------------------------
# SupervisedObjective
# ---------------------------------------------------------------------------

class RecordingModel:
    def __init__(self):
        self.calls = []

    def batch_forward(self, inputs, parameters):
        self.calls.append((inputs, parameters))
        return inputs.sum(dim=1) * parameters


def _recording_loss(log):
    def loss(predictions, targets):
        log.append((predictions, targets))
        return ((predictions - targets) ** 2).mean()
    return loss


def test_call_sequence_is_the_same_for_mapping_and_pair():
    parameters = torch.tensor(0.5)
    runs = []
    for batch in ({"features": X, "targets": Y}, (X, Y)):
        model, log = RecordingModel(), []
        value = SupervisedObjective(_recording_loss(log))(model, batch, parameters)
        assert len(model.calls) == 1 and model.calls[0][0] is X and model.calls[0][1] is parameters
        assert len(log) == 1
        runs.append((value.item(), log[0]))
    (v1, (p1, t1)), (v2, (p2, t2)) = runs
    assert v1 == v2 == ((torch.tensor([1.5, 3.5]) - Y) ** 2).mean().item()
    assert torch.equal(p1, p2) and torch.equal(t1, t2)


def test_tensor_batch_never_reaches_the_model():
    model = RecordingModel()
    with pytest.raises(ValueError):
        SupervisedObjective(_recording_loss([]))(model, X, torch.tensor(1.0))
    assert model.calls == []


def test_keywords_and_class_as_loss():
    class Loss:
        def __init__(self, predictions, targets):
            self.value = (predictions - targets).abs().sum()

    wrapped = SupervisedObjective(loss_fn=lambda p, t: Loss(p, t).value)
    assert SupervisedObjective(Loss).loss_fn is Loss
    value = wrapped(model=RecordingModel(), batch=[X, Y], parameters=torch.tensor(1.0))
    assert value.item() == pytest.approx(abs(3 - 0.5) + abs(7 + 0.5))


def test_loss_alone_pairs_targets_with_predictions():
    # (N, 1) predictions against (N,) integer targets: the targets must take the
    # predictions' shape and dtype, or MSE would broadcast to an (N, N) matrix.
    log = []
    objective = SupervisedObjective(_recording_loss(log))
    predictions = torch.tensor([[1.0], [2.0], [4.0]], dtype=torch.float64)
    value = objective.loss(predictions, [1, 2, 3])
    assert value.item() == 1.0 / 3.0
    assert log[0][0] is predictions
    assert log[0][1].shape == (3, 1) and log[0][1].dtype == torch.float64


@pytest.mark.parametrize("targets", [[0.1, 0.2, 0.7], (0.1, 0.2, 0.7), [[0.1], [0.2], [0.7]]])
def test_python_float_targets_give_the_loss_of_the_same_array(targets):
    objective = SupervisedObjective(torch.nn.functional.mse_loss)
    predictions = torch.tensor([[0.3], [0.5], [0.9]], dtype=torch.float64)
    expected = objective.loss(predictions, np.array([0.1, 0.2, 0.7]))
    assert objective.loss(predictions, targets).item() == expected.item()


def test_subclass_loss_override_is_used():
    class Doubled(SupervisedObjective):
        def loss(self, predictions, targets):
            return 2 * super().loss(predictions, targets)

    value = Doubled(_recording_loss([]))(RecordingModel(), (X, Y), torch.tensor(1.0))
    assert value.item() == 2 * ((torch.tensor([3.0, 7.0]) - Y) ** 2).mean().item()


def test_gradcheck_through_a_linear_model():
    torch.manual_seed(3)
    inputs = torch.randn(5, 3, dtype=torch.float64)
    targets = torch.randn(5, 2, dtype=torch.float64)

    class Linear:
        def batch_forward(self, x, parameters):
            weight, bias = parameters[:6].reshape(3, 2), parameters[6:]
            return x @ weight + bias

    objective = SupervisedObjective(torch.nn.functional.mse_loss)
    parameters = torch.randn(8, dtype=torch.float64, requires_grad=True)
    batch = {"inputs": inputs, "targets": targets}
    assert torch.autograd.gradcheck(lambda w: objective(Linear(), batch, w), (parameters,))
