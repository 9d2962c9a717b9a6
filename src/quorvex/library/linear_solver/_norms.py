"""Norms and unit vectors of right-hand sides of any finite magnitude.

A solver accepts every finite nonzero b. Its Euclidean norm squares the
entries, which underflow below about 1e-154 and overflow above 1e154, and
NumPy divides a complex array by a real number through that number's
reciprocal, which is infinite for a subnormal norm. Ordinary magnitudes take
the plain NumPy operations, so their results keep their bits.
"""
import numpy as np

_TINY = np.finfo(float).tiny


def norm(v):
    """Euclidean norm of ``v``, measured on the moduli scaled by the largest
    one where the squares would under- or overflow."""
    with np.errstate(over="ignore", under="ignore"):
        size = np.linalg.norm(v)
    if v.size and not 1e-150 < float(size) < 1e150 and np.all(np.isfinite(v)):
        moduli = np.abs(v)
        peak = np.max(moduli)
        if peak > 0:
            size = peak * np.linalg.norm(moduli / peak)
    return size


def unit(v):
    """``v / norm(v)``."""
    size = norm(v)
    if 0 < size < _TINY:
        # Scaling by a power of two is exact and lifts a subnormal norm into
        # the range where its reciprocal is finite.
        v = v * 2.0 ** 600
        size = norm(v)
    return v / size
