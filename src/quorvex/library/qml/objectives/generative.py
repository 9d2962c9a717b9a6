"""Born-machine objectives scored from a model's exact probability vector.

A Born machine's ``probabilities(parameters)`` gives one probability per
computational basis state, entry i for basis state i in the numbering of
``binary_samples_to_indices``.  The objectives below compare that vector
with observed bit strings or with a fixed target distribution; nothing is
estimated from samples of the model.
"""

from dataclasses import dataclass

import torch

from ..tensor import binary_samples_to_indices
from .supervised import batch_inputs, validate_objective_value


@dataclass(frozen=True)
class BornMachineNLLObjective:
    """Exact negative log-likelihood for observed binary samples."""

    epsilon: float = 1e-12

    def __post_init__(self) -> None:
        if self.epsilon <= 0:
            raise ValueError("epsilon must be positive.")

    def __call__(self, model, batch, parameters) -> torch.Tensor:
        probabilities = model.probabilities(parameters)
        samples = batch_inputs(batch)
        num_qubits = getattr(model, "num_qubits", None)
        indices = binary_samples_to_indices(samples, num_qubits).to(probabilities.device)
        # The floor keeps a sample the model deems impossible finite: it costs
        # -log(epsilon) instead of an infinity.
        likelihoods = probabilities[indices].clamp_min(self.epsilon)
        value = -torch.log(likelihoods).mean()
        return validate_objective_value(value)


@dataclass(frozen=True)
class BornMachineMMDObjective:
    """Exact squared MMD using an RBF kernel on Hamming distance."""

    bandwidth: float = 1.0

    def __post_init__(self) -> None:
        if self.bandwidth <= 0:
            raise ValueError("bandwidth must be positive.")

    def __call__(self, model, batch, parameters) -> torch.Tensor:
        probabilities = model.probabilities(parameters)
        num_qubits = int(model.num_qubits)
        indices = binary_samples_to_indices(batch_inputs(batch), num_qubits)
        dimension = 1 << num_qubits
        device = probabilities.device
        dtype = probabilities.dtype

        counts = torch.bincount(indices.to(device), minlength=dimension).to(dtype=dtype)
        empirical = counts / counts.sum()

        states = torch.arange(dimension, device=device)
        xor = torch.bitwise_xor(states.reshape(-1, 1), states.reshape(1, -1))
        hamming = torch.zeros_like(xor, dtype=dtype)
        for wire in range(num_qubits):
            hamming = hamming + ((xor >> wire) & 1).to(dtype)
        # For bit vectors the Hamming distance is the squared Euclidean
        # distance, so this is the Gaussian RBF kernel on the basis states.
        kernel = torch.exp(-hamming / self.bandwidth)

        difference = probabilities - empirical
        value = difference @ kernel @ difference
        return validate_objective_value(value)


@dataclass(frozen=True)
class BornMachineKLDivergenceObjective:
    """Exact ``KL(target || model)`` for a normalized target distribution."""

    target_probabilities: object
    epsilon: float = 1e-12

    def __post_init__(self) -> None:
        if self.epsilon <= 0:
            raise ValueError("epsilon must be positive.")
        given = self.target_probabilities
        target = torch.as_tensor(given)
        if not target.is_floating_point():
            target = target.to(torch.float64)
        elif not hasattr(given, "dtype"):
            # Python floats: torch's default dtype (float32) would round
            # them; only a tensor or an array brings a dtype of its own.
            target = torch.as_tensor(given, dtype=torch.float64)
        target = target.reshape(-1)
        if target.numel() == 0:
            raise ValueError("target_probabilities must not be empty.")
        if not bool(torch.isfinite(target).all()) or bool((target < 0).any()):
            raise ValueError("target_probabilities must be finite and non-negative.")
        total = target.sum()
        if total <= 0:
            raise ValueError("target_probabilities must have positive mass.")
        if not bool(torch.isfinite(total)):
            # Finite entries whose sum overflows the dtype would normalise to
            # zeros; scaling by the largest entry first keeps the sum finite.
            target = target / target.max()
            total = target.sum()
        # The division makes a new tensor, so the caller's data stays
        # untouched; the write goes around the frozen guard once, here.
        object.__setattr__(self, "target_probabilities", target / total)

    def __call__(self, model, batch, parameters) -> torch.Tensor:
        probabilities = model.probabilities(parameters)
        target = self.target_probabilities.to(
            dtype=probabilities.dtype, device=probabilities.device
        )
        if target.shape != probabilities.shape:
            raise ValueError("target_probabilities must match the model probability width.")
        # Zeros of the target drop out here, before any logarithm; zeros of
        # the model inside the support cost log(epsilon).
        support = target > 0
        weights = target[support]
        log_target = torch.log(weights.clamp_min(self.epsilon))
        log_model = torch.log(probabilities[support].clamp_min(self.epsilon))
        value = (weights * (log_target - log_model)).sum()
        return validate_objective_value(value)
