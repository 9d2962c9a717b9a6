"""Parser of equation set-ups: the minimal platform layer.

``parse_equation(params)`` takes a dict, or a JSON text of one, such as::

    {"parameters": {"r": 0.05, "σ": 0.2, "K": 100.0},
     "T": 1.0, "nx": 8, "na": 7, "R": 2.0, "point": 1.0, "order": 2,
     "f0": "-min(exp(x), K)",
     "boundary": {"type": "dirichlet", "left_value": 0.0, "right_value": "-K*exp(-r*t)"},
     "solver": {"type": "classical", "dt": 0.05}}

"L", "source" and the parameters "L1" and "L2" are optional. The initial
condition "f0" is looked up in a fixed vocabulary, never evaluated. Every
refusal is a ValueError that names the offending key.
"""
import json
import math
from dataclasses import dataclass
from typing import Any, Callable, Dict, Optional

import numpy as np

_REQUIRED = ("parameters", "T", "nx", "na", "R", "point", "order", "f0", "boundary", "solver")
_OPTIONAL = ("L", "source")
_PARAMETERS_REQUIRED = ("r", "σ", "K")
_PARAMETERS_OPTIONAL = ("L1", "L2")
_MISSING = object()
_MAX_QUBITS = 62
# The boundary conditions the difference operators know.
_BOUNDARY_TYPES = ("dirichlet", "neumann", "periodic")


def _put_option(K):
    # A put-like payoff in log-price: -min(S, K) with S = e^x.
    return lambda x: -np.minimum(np.exp(np.asarray(x, dtype=float)), K)


# Initial conditions by their written form; each entry builds x -> f0(x)
# from the equation's parameters.
_INITIAL_CONDITIONS: Dict[str, Callable[[Dict[str, float]], Callable]] = {
    "-min(exp(x), K)": lambda parameters: _put_option(parameters["K"]),
}


@dataclass(frozen=True)
class Boundary:
    type: str
    left_value: Any
    right_value: Any


@dataclass(frozen=True)
class Solver:
    type: str
    dt: Optional[float]


class Equation:
    """A parsed equation set-up."""

    def __init__(self, *, L, T, source, nx, na, R, point, order, f0, f0_text, parameters, boundary, solver):
        self._common = (L, T, source, nx, na, R, point, order, f0)
        self.f0_text = f0_text
        self._parameters = dict(parameters)
        self.boundary = boundary
        self.solver = solver

    def get_common_coefficients(self):
        """(L, T, source, nx, na, R, point, order, f0)."""
        return self._common

    def get_parameter(self, name, default=_MISSING):
        try:
            return self._parameters[name]
        except KeyError:
            if default is _MISSING:
                raise KeyError(f"the equation has no parameter {name!r}") from None
            return default


def _mapping(value, key):
    if not isinstance(value, dict):
        raise ValueError(f"{key!r} must be an object (dict), got {type(value).__name__}")
    return value


def _check_keys(mapping, required, optional, where):
    for key in mapping:
        if key not in required and key not in optional:
            raise ValueError(f"unknown key {key!r} in {where}")
    for key in required:
        if key not in mapping:
            raise ValueError(f"missing key {key!r} in {where}")


def _number(value, key):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{key!r} must be a number, got {value!r}")
    try:
        finite = math.isfinite(value)
    except OverflowError:
        # An integer beyond the double range (10**400, or that many digits
        # in the JSON text): no more usable than an infinite float.
        raise ValueError(f"{key!r} must be finite, got an integer of {value.bit_length()} bits") from None
    if not finite:
        raise ValueError(f"{key!r} must be finite, got {value!r}")
    return value


def _count(value, key, minimum):
    if isinstance(value, bool) or not isinstance(value, int) or value < minimum:
        raise ValueError(f"{key!r} must be an integer >= {minimum}, got {value!r}")
    return value


def _boundary_value(value, key):
    # A boundary value is either a number or a formula kept as text for display.
    if isinstance(value, str):
        return value
    return _number(value, key)


def parse_equation(params):
    """Parse a set-up (a dict, or a JSON text of one) into an `Equation`."""
    if isinstance(params, str):
        try:
            params = json.loads(params)
        except json.JSONDecodeError as error:
            raise ValueError(f"the equation set-up is not valid JSON: {error}") from None
    params = _mapping(params, "the equation set-up")
    _check_keys(params, _REQUIRED, _OPTIONAL, "the equation set-up")

    parameters = _mapping(params["parameters"], "parameters")
    _check_keys(parameters, _PARAMETERS_REQUIRED, _PARAMETERS_OPTIONAL, "'parameters'")
    parameters = {key: _number(value, key) for key, value in parameters.items()}
    if parameters["K"] <= 0:
        raise ValueError(f"'K' must be positive, got {parameters['K']!r}")
    if parameters["σ"] < 0:
        raise ValueError(f"'σ' must not be negative, got {parameters['σ']!r}")

    T = _number(params["T"], "T")
    if T < 0:
        raise ValueError(f"'T' must not be negative, got {T!r}")
    nx = _count(params["nx"], "nx", 0)
    na = _count(params["na"], "na", 1)
    # The grid's circuits hold nx + 1 + na qubits; bounded here, the sizes
    # derived from nx and na stay numbers that can be checked against memory.
    if nx + 1 + na > _MAX_QUBITS:
        raise ValueError(f"'nx' and 'na' ask for nx + 1 + na = {nx + 1 + na} qubits; "
                         f"at most {_MAX_QUBITS} can be simulated")
    order = _count(params["order"], "order", 1)
    R = _number(params["R"], "R")
    if R <= 0:
        raise ValueError(f"'R' must be positive, got {R!r}")
    point = _number(params["point"], "point")
    if not 0 <= point < math.pi * R:
        raise ValueError(f"'point' must lie in [0, pi*R), got {point!r}")
    L = params.get("L")
    if L is not None:
        L = _number(L, "L")
    source = params.get("source")

    f0_text = params["f0"]
    if not isinstance(f0_text, str) or f0_text not in _INITIAL_CONDITIONS:
        known = ", ".join(repr(text) for text in _INITIAL_CONDITIONS)
        raise ValueError(f"'f0' must be one of {known}, got {f0_text!r}")
    f0 = _INITIAL_CONDITIONS[f0_text](parameters)

    boundary = _mapping(params["boundary"], "boundary")
    _check_keys(boundary, ("type", "left_value", "right_value"), (), "'boundary'")
    if not isinstance(boundary["type"], str):
        raise ValueError(f"'type' of 'boundary' must be a string, got {boundary['type']!r}")
    # The examples always impose the Dirichlet values; the type is shown with
    # the result. A type nothing knows is a mistake in the set-up.
    if boundary["type"] not in _BOUNDARY_TYPES:
        known = ", ".join(repr(kind) for kind in _BOUNDARY_TYPES)
        raise ValueError(f"'type' of 'boundary' must be one of {known}, got {boundary['type']!r}")
    boundary = Boundary(boundary["type"], _boundary_value(boundary["left_value"], "left_value"),
                        _boundary_value(boundary["right_value"], "right_value"))

    solver = _mapping(params["solver"], "solver")
    _check_keys(solver, ("type",), ("dt",), "'solver'")
    if not isinstance(solver["type"], str):
        raise ValueError(f"'type' of 'solver' must be a string, got {solver['type']!r}")
    dt = solver.get("dt")
    if dt is None:
        if solver["type"] == "trotter":
            raise ValueError("missing key 'dt' in 'solver': the trotter solver needs a time step")
    else:
        dt = _number(dt, "dt")
        if solver["type"] != "trotter":
            # Only the trotter solver steps in time: elsewhere dt is not
            # used, and T = 0 (the initial values) is a valid end time.
            if not dt > 0:
                raise ValueError(f"'dt' must be positive, got {dt!r}")
        elif not 0 < dt <= T:
            raise ValueError(f"'dt' must lie in (0, T], got {dt!r} with T = {T!r}")
        # The number of steps is int(T / dt).
        elif not math.isfinite(T / dt):
            raise ValueError(f"'dt' is too small: T / dt overflows, got dt = {dt!r} with T = {T!r}")
    solver = Solver(solver["type"], dt)

    return Equation(L=L, T=T, source=source, nx=nx, na=na, R=R, point=point, order=order, f0=f0,
                    f0_text=f0_text, parameters=parameters, boundary=boundary, solver=solver)
