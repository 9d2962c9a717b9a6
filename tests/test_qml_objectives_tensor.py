"""The tensor utilities the objectives call: target pairing and sample numbering."""
import numpy as np
import pytest
import torch

from quorvex.library.qml.tensor import as_loss_targets, binary_samples_to_indices


@pytest.mark.parametrize(
    "samples, num_qubits",
    [
        (torch.tensor([[0, 0], [1, 0], [0, 1], [1, 1]]), 2),
        (np.array([[0, 0], [1, 0], [0, 1], [1, 1]], dtype=bool), None),
        ([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0]], 2.0),
    ],
    ids=["int-tensor", "bool-array", "float-list"],
)
def test_column_q_is_bit_q(samples, num_qubits):
    indices = binary_samples_to_indices(samples, num_qubits)
    assert indices.dtype == torch.int64 and indices.tolist() == [0, 1, 2, 3]


def test_wide_rows_and_empty_batches():
    row = torch.zeros((1, 62), dtype=torch.int64)
    row[0, 61] = 1
    assert binary_samples_to_indices(row, 62).tolist() == [1 << 61]
    assert binary_samples_to_indices(torch.zeros((0, 3)), 3).shape == (0,)


@pytest.mark.parametrize(
    "samples, num_qubits, message",
    [
        (torch.tensor([1, 0, 1]), 1, "samples must be a 2-D array"),
        (torch.tensor([[1, 0]]), 3, "samples have 2 bits per row, expected num_qubits=3"),
        (torch.tensor([[2, 0]]), 2, "samples must contain only 0 and 1"),
        (torch.tensor([[0.5]]), None, "samples must contain only 0 and 1"),
        (torch.tensor([[-1]]), None, "samples must contain only 0 and 1"),
        (torch.zeros((1, 63)), None, "at most 62 bits"),
    ],
    ids=["one-dimensional", "width", "two", "half", "negative", "too-wide"],
)
def test_bad_samples(samples, num_qubits, message):
    with pytest.raises(ValueError, match=message):
        binary_samples_to_indices(samples, num_qubits)


def test_targets_take_the_predictions_shape_and_dtype():
    predictions = torch.zeros((3, 1), dtype=torch.float64)
    target = as_loss_targets(predictions, [1, 0, 1])
    assert target.shape == (3, 1) and target.dtype == torch.float64


def test_class_indices_stay_integers():
    logits = torch.zeros((3, 4))
    target = as_loss_targets(logits, torch.tensor([0, 3, 1]))
    assert target.dtype == torch.int64 and target.tolist() == [0, 3, 1]
    loss = torch.nn.functional.cross_entropy(logits, target)
    assert loss.item() == pytest.approx(np.log(4.0))


def test_floating_targets_keep_their_graph():
    targets = torch.tensor([0.5, 1.5], dtype=torch.float64, requires_grad=True)
    paired = as_loss_targets(torch.zeros(2, dtype=torch.float64), targets)
    paired.sum().backward()
    assert targets.grad.tolist() == [1.0, 1.0]


# Python floats that float32 would round; the same values as an array.
FINE = [0.1, 0.2, 1 / 3]


@pytest.mark.parametrize("dtype", [torch.float64, torch.complex128, torch.float32])
@pytest.mark.parametrize("given", [FINE, tuple(FINE), [[x] for x in FINE], np.array(FINE)],
                         ids=["list", "tuple", "nested", "array"])
def test_python_float_targets_are_converted_with_the_predictions_dtype(given, dtype):
    predictions = torch.zeros(3, dtype=dtype)
    target = as_loss_targets(predictions, given)
    assert target.dtype == dtype and target.shape == (3,)
    assert torch.equal(target, torch.tensor(FINE, dtype=dtype))
    # floating class-probability rows of another count take the dtype too
    rows = as_loss_targets(torch.zeros((1, 4), dtype=dtype), [FINE])
    assert rows.dtype == dtype and torch.equal(rows, torch.tensor([FINE], dtype=dtype))


def test_python_class_indices_stay_integers():
    assert as_loss_targets(torch.zeros((3, 4)), [0, 3, 1]).dtype == torch.int64
