"""Quantum linear-system solvers: the minimal platform layer.

``solve(A, b, method=..., **options)`` solves A x = b with one of the three
solvers and returns x, the solution of the system as given (not normalised):

- ``"pelqa"``: `PelqaSolver`, phase estimation with a controlled reciprocal
  rotation;
- ``"zumra"``: `ZumraSolver`, a discrete adiabatic walk;
- ``"tiberq"``: `TiberqSolver`, a Chebyshev expansion of 1/x combined by a
  linear combination of block-encoded unitaries.

``options`` go to the solver unchanged (``epsilon=0.01``, ``d=8``, ``T=40``,
``logging=False``, ...). The solvers themselves, which also return their
circuit and scale factor, are exported here too. Each is imported on first
use, so importing this package loads none of them.
"""
import importlib

# method (the module it lives in) -> solver; every solver returns (circuit, x, scale).
_SOLVERS = {"pelqa": "PelqaSolver", "zumra": "ZumraSolver", "tiberq": "TiberqSolver"}
_METHODS = {solver: method for method, solver in _SOLVERS.items()}

__all__ = ["solve", *_METHODS]


def __getattr__(name):
    method = _METHODS.get(name)
    if method is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module("." + method, __name__), name)


def solve(A, b, method, **options):
    """Solve A x = b by ``method`` ("pelqa", "zumra" or "tiberq"); return x.

    ``options`` are passed to the solver as keywords.
    """
    try:
        solver = _SOLVERS[method]
    except (KeyError, TypeError):
        known = ", ".join(repr(name) for name in _SOLVERS)
        raise ValueError(f"unknown method {method!r}; the methods are {known}") from None
    _, x, _ = __getattr__(solver)(A, b, **options)
    return x
