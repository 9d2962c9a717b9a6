"""Matrix helpers for block encoding: the minimal platform layer."""
import numpy as np


def normalize_matrix(matrix, norm_type="spectral"):
    """Return ``(matrix / alpha, alpha)`` with alpha the largest singular value.

    Only the spectral norm keeps every polynomial of the scaled matrix on the
    same scale, so it is the only norm offered.
    """
    if norm_type != "spectral":
        raise ValueError(f"unknown norm type {norm_type!r}; the available norm type is 'spectral'")
    matrix = np.asarray(matrix)
    if matrix.ndim != 2 or matrix.size == 0:
        raise ValueError(f"expected a non-empty 2-D matrix, got shape {matrix.shape}")
    alpha = float(np.linalg.norm(matrix, ord=2))
    if not (alpha > 0 and np.isfinite(alpha)):
        raise ValueError(f"cannot normalise a matrix whose spectral norm is {alpha}")
    return matrix / alpha, alpha


def pad_to_power_of_two(a):
    """Return ``(padded, logn, 2**logn)``: ``a`` in the top-left corner of a
    square zero matrix whose size is the next power of two."""
    a = np.asarray(a)
    if a.ndim != 2 or a.size == 0:
        raise ValueError(f"expected a non-empty 2-D matrix, got shape {a.shape}")
    size = max(a.shape)
    logn = (size - 1).bit_length()
    n_padded = 1 << logn
    padded = np.zeros((n_padded, n_padded), dtype=a.dtype)
    padded[: a.shape[0], : a.shape[1]] = a
    return padded, logn, n_padded
