"""Tensor utilities of the QML library: the minimal platform layer.

Only what the training objectives need lives here: pairing loss targets with
model predictions, and numbering observed bit strings as basis states.

Basis states are numbered little-endian, as everywhere else in the package:
qubit q is bit q of the index, so a sample row ``(b_0, b_1, ..., b_{n-1})``
stands for the basis state ``sum(b_q << q)``.  Probability vectors of Born
machines use the same numbering.
"""

import torch


def as_loss_targets(predictions, targets):
    """Return ``targets`` as a tensor that a loss can pair with ``predictions``.

    Targets land on the predictions' device.  When they hold one value per
    prediction, they take the predictions' dtype and shape, so that an
    element-wise loss never broadcasts ``(N,)`` against ``(N, 1)`` into an
    ``(N, N)`` matrix.  Otherwise (class indices for a classifier, say)
    integer targets are left as they are and floating ones take the
    predictions' floating dtype.

    Targets given as Python numbers (no dtype of their own) are converted
    straight to that dtype: torch.as_tensor alone would first round Python
    floats to float32.
    """
    if not torch.is_tensor(predictions):
        raise TypeError("predictions must be a torch tensor.")
    target = torch.as_tensor(targets, device=predictions.device)
    floating = predictions.is_floating_point() or predictions.is_complex()
    same_count = target.numel() == predictions.numel()
    if floating and (same_count or target.is_floating_point()):
        if hasattr(targets, "dtype"):
            target = target.to(dtype=predictions.dtype)
        else:
            target = torch.as_tensor(targets, dtype=predictions.dtype, device=predictions.device)
    if same_count:
        return target.reshape(predictions.shape)
    return target


def binary_samples_to_indices(samples, num_qubits):
    """Return the basis-state index of every observed bit string.

    ``samples`` is array-like of shape ``(num_samples, num_qubits)`` holding
    only zeros and ones (booleans, integers or floats); ``num_qubits`` is the
    expected width, or None to take it from the samples.  The result is a
    1-D ``torch.int64`` tensor on the samples' device (the CPU for non-tensor
    input).
    """
    bits = torch.as_tensor(samples)
    if bits.dim() != 2:
        raise ValueError("samples must be a 2-D array of shape (num_samples, num_qubits).")
    width = bits.shape[1]
    if num_qubits is not None:
        num_qubits = int(num_qubits)
        if width != num_qubits:
            raise ValueError(
                f"samples have {width} bits per row, expected num_qubits={num_qubits}."
            )
    if width > 62:
        raise ValueError("samples may hold at most 62 bits per row.")
    if bits.is_complex() or not bool(((bits == 0) | (bits == 1)).all()):
        raise ValueError("samples must contain only 0 and 1.")
    bits = bits.to(torch.int64)
    weights = torch.ones(width, dtype=torch.int64, device=bits.device) << torch.arange(
        width, dtype=torch.int64, device=bits.device
    )
    return (bits * weights).sum(dim=1)
