"""Norms and unit vectors of right-hand sides of any finite magnitude, and the
input checks, answer checks and warnings the solvers share.

A solver accepts every finite nonzero b. Its Euclidean norm squares the
entries, which underflow below about 1e-154 and overflow above 1e154, and
NumPy divides a complex array by a real number through that number's
reciprocal, which is infinite for a subnormal norm. Ordinary magnitudes take
the plain NumPy operations, so their results keep their bits.
"""
import os
import sys
import warnings

import numpy as np

_TINY = np.finfo(float).tiny

# A solver's answer counts as off, and it warns, when its relative residual
# ||A x - b|| / ||b|| or its relative distance ||x - x_ref|| / ||x_ref|| to
# numpy.linalg.solve's solution exceeds this.
OFF_BOUND = 0.1

# Frames of this package (the `solve` entry point) are passed over when a
# warning names the line that called a solver.
_PACKAGE_PREFIX = os.path.dirname(os.path.abspath(__file__)) + os.sep


def norm(v):
    """Euclidean norm of ``v``, measured on the moduli scaled by the largest
    one where the squares would under- or overflow."""
    with np.errstate(over="ignore", under="ignore"):
        size = np.linalg.norm(v)
    if v.size and not 1e-150 < float(size) < 1e150 and np.all(np.isfinite(v)):
        moduli = np.abs(v)
        peak = np.max(moduli)
        if peak > 0:
            with np.errstate(over="ignore"):
                size = peak * np.linalg.norm(moduli / peak)
    return size


def unit(v):
    """``v / norm(v)``."""
    size = norm(v)
    if size == np.inf and np.all(np.isfinite(v)):
        # Entries near the largest double have no representable norm: the
        # largest modulus is brought near 1 first, by a power of two (exact).
        v = v * 2.0 ** -_exponent(np.max(np.abs(v)))
        size = norm(v)
    elif 0 < size < _TINY:
        # Scaling by a power of two is exact and lifts a subnormal norm into
        # the range where its reciprocal is finite.
        v = v * 2.0 ** 600
        size = norm(v)
    return v / size


def _exponent(size):
    return int(np.frexp(size)[1])


def exponent(v):
    """Power of two that brings ``v`` near unit size, or 0 where its norm is
    ordinary (between 2**-500 and 2**500).

    A solver divides b by 2**e, solves, and multiplies the solution by 2**e
    (``rescaled``): exact, and no factor formed from ||b|| along the way can
    overflow unless the solution itself does.
    """
    size = norm(v)
    if 2.0 ** -500 <= size <= 2.0 ** 500:
        return 0
    if size == np.inf:
        size = np.max(np.abs(v))
    return _exponent(size)


def rescaled(x, e):
    """``x * 2**e``, in two steps: 2**e alone overflows from e = 1024 and is
    zero below e = -1074, while the product may well be representable."""
    if e == 0:
        return x
    half = e // 2
    # An overflow here is a solution beyond the range, which the solvers
    # refuse on their own.
    with np.errstate(over="ignore"):
        return x * 2.0 ** half * 2.0 ** (e - half)


def require_finite(x):
    """Raise ValueError unless every entry of the solution ``x`` is finite."""
    if not np.all(np.isfinite(x)):
        raise ValueError("The solution is not finite: an entry lies beyond the floating-point range "
                         f"(largest double {np.finfo(float).max:.6g}) or is undefined; no result is "
                         "returned.")
    return x


def require_finite_input(v, name):
    """Raise ValueError naming ``name`` (A or b) unless every entry of ``v`` is finite."""
    bad = int(v.size - np.count_nonzero(np.isfinite(v)))
    if bad:
        raise ValueError(f"{name} must be finite: {bad} of its {v.size} entries "
                         f"{'is' if bad == 1 else 'are'} NaN or infinite.")


def real_if_real(x, real):
    """``x`` with its imaginary part set to zero where the system was real.

    The solution of a real system is real: what the simulated amplitudes
    carry beyond it is rounding (or approximation) and only blurs the result;
    dropping it cannot move x away from the solution. The element type stays.
    """
    if not real or not np.iscomplexobj(x):
        return x
    return x.real.astype(x.dtype)


def real_array(x, name):
    """``x`` as a float64 array; ValueError naming ``name`` where an entry has
    a nonzero imaginary part, which a real solver would silently drop."""
    x = np.asarray(x)
    if np.iscomplexobj(x):
        if np.any(x.imag != 0):
            raise ValueError(f"{name} has entries with a nonzero imaginary part; this solver is real "
                             f"(TiberqSolver solves real systems only): pass the real system [[Re A, -Im A], "
                             f"[Im A, Re A]] [Re x, Im x] = [Re b, Im b] instead.")
        x = x.real
    return np.asarray(x, dtype=float)


def type_name(value):
    """The name of ``value``'s type as the interpreter's argument errors show
    it: a type defined in C carries its module ("numpy.int64"), a class
    defined in Python not."""
    kind = type(value)
    shown = kind.__name__
    if not kind.__flags__ & (1 << 9) and kind.__module__ != "builtins":
        shown = kind.__module__ + "." + shown
    return shown


def whole_number(value, name, none_allowed=False):
    """``value`` converted as a parameter typed int is: int() of any number.

    An argument of another type raises the interpreter's TypeError for typed
    parameters; NaN and the infinities, which int() cannot convert, a
    ValueError that names the parameter.
    """
    if none_allowed and value is None:
        return value
    if type(value) is int:
        return refuse_beyond_float(value, name)
    kind = type(value)
    if not any(hasattr(kind, slot) for slot in ("__index__", "__int__", "__float__")) \
            and not isinstance(value, complex):
        raise TypeError(f"Argument '{name}' has incorrect type (expected int, got {type_name(value)})")
    try:
        value = int(value)
    except (ValueError, OverflowError):
        raise ValueError(f"{name} must be a whole number, got {value!r}") from None
    return refuse_beyond_float(value, name)


def warn(message):
    """``warnings.warn(message)`` (a UserWarning) attributed to the line that called the solver.

    The solvers are compiled and run no Python frame of their own, so the
    frame beneath this function's is the caller's, unless it is `solve` of
    this package, which is passed over too.
    """
    warnings.warn(message, UserWarning, stacklevel=2, skip_file_prefixes=(_PACKAGE_PREFIX,))


def misfit(A, b, x, reference):
    """(relative residual ||A x - b|| / ||b||, relative error ||x - reference|| / ||reference||)."""
    with np.errstate(over="ignore", invalid="ignore"):
        return float(norm(A @ x - b) / norm(b)), float(norm(x - reference) / norm(reference))


def is_off(residual, error):
    """Whether an answer of this `misfit` is off (an undefined figure counts as off)."""
    return not (residual <= OFF_BOUND and error <= OFF_BOUND)


def describe_misfit(residual, error):
    """The figures of an answer that is off, as its warning states them."""
    return (f"its relative residual ||Ax - b||/||b|| is {residual:.3g} and its relative error against "
            f"numpy.linalg.solve's solution {error:.3g} (a solution counts as off above {OFF_BOUND:g})")


def is_hermitian(A):
    """Whether A equals its conjugate transpose to NumPy's default tolerances, taken on A divided
    by its largest modulus, so that the verdict does not depend on A's scale."""
    peak = float(np.max(np.abs(A))) if A.size else 0.0
    if not 0 < peak < np.inf:
        return bool(np.allclose(A, A.conj().T))
    scaled = A / peak
    return bool(np.allclose(scaled, scaled.conj().T))


def dense(value, name):
    """Refuse a sparse matrix for ``name`` (A or b) with one sentence; the solvers work on dense arrays."""
    sparse = sys.modules.get("scipy.sparse")
    if sparse is not None and sparse.issparse(value):
        raise TypeError(f"{name} must be a dense array (a NumPy array or nested lists), got a sparse "
                        f"{type(value).__name__}: pass {name}.toarray().")
    return value


def refuse_empty(N):
    """Raise ValueError for an empty (0 x 0) system."""
    if N == 0:
        raise ValueError("A is empty (0 x 0): there is no system to solve.")


def refuse_beyond_float(value, name):
    """Raise ValueError naming ``name`` for an int beyond the floating-point range (10**400):
    no estimate or formula of the solvers can take it."""
    if abs(value) > sys.float_info.max:
        raise ValueError(f"{name} is too large: a number of {len(str(abs(value)))} digits, beyond the "
                         f"floating-point range (largest double {sys.float_info.max:.6g}).")
    return value
