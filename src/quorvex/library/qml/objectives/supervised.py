"""Batches, value checks and the supervised training objective.

An objective is called as ``objective(model, batch, parameters)`` and returns
a 0-d tensor holding one finite number, still attached to the autograd graph.
The helpers here are shared with the generative objectives.
"""

from dataclasses import dataclass
from collections.abc import Callable, Mapping

import torch

from ..tensor import as_loss_targets

_INPUT_KEYS = ("inputs", "features", "samples")


def batch_inputs(batch) -> torch.Tensor:
    """Return the input samples held in ``batch``, unchanged."""
    # A tensor is one input batch even when it has two rows: it is never
    # taken apart as an (inputs, targets) pair.
    if torch.is_tensor(batch):
        return batch
    if isinstance(batch, Mapping):
        for key in _INPUT_KEYS:
            if key in batch:
                return batch[key]
        raise ValueError("mapping batches must contain inputs, features, or samples.")
    if isinstance(batch, (tuple, list)) and len(batch) in (1, 2):
        return batch[0]
    raise TypeError("batch must be a tensor, a one/two-item sequence, or a mapping.")


def supervised_batch(batch) -> tuple[torch.Tensor, torch.Tensor]:
    """Split ``batch`` into a new ``(inputs, targets)`` tuple."""
    if isinstance(batch, Mapping):
        inputs = batch_inputs(batch)
        if "targets" not in batch:
            raise ValueError("supervised mapping batches must contain targets.")
        return (inputs, batch["targets"])
    if isinstance(batch, (tuple, list)) and len(batch) == 2:
        return (batch[0], batch[1])
    raise ValueError("a supervised objective requires input/target pairs.")


def validate_objective_value(value, *, name: str = "objective") -> torch.Tensor:
    """Return ``value`` as a 0-d tensor, refusing anything but one finite number.

    ``name`` opens every message: the role of whatever produced the value.
    """
    if not torch.is_tensor(value):
        raise ValueError(name + " must return a torch tensor.")
    if value.numel() != 1:
        raise ValueError(name + " must return a scalar tensor.")
    # reshape keeps the autograd connection, so callers can still backpropagate.
    scalar = value.reshape(())
    if not bool(torch.isfinite(scalar)):
        raise ValueError(name + " must return a finite value.")
    return scalar


@dataclass(frozen=True)
class SupervisedObjective:
    """Adapt a conventional ``loss(predictions, targets)`` callable."""

    loss_fn: Callable

    def __post_init__(self) -> None:
        if not callable(self.loss_fn):
            raise TypeError("loss_fn must be callable.")

    def __call__(self, model, batch, parameters) -> torch.Tensor:
        inputs, targets = supervised_batch(batch)
        predictions = model.batch_forward(inputs, parameters)
        return self.loss(predictions, targets)

    def loss(self, predictions, targets) -> torch.Tensor:
        target = as_loss_targets(predictions, targets)
        value = self.loss_fn(predictions, target)
        return validate_objective_value(value, name="loss_fn")
