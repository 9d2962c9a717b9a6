"""Gate-parameter normalisation: the minimal platform layer.

``validate_gate_parameters`` turns whatever a caller passes as a gate's
parameters into the form every gate record stores: None, or a tuple of
finite floats. It is idempotent, because gate records validate parameters
that have already been validated (builders, inversion, decomposition).
"""
import math

import numpy as np

# Parameter counts the packed executor relies on.
_ONE_PARAMETER_IDS = frozenset({
    "p", "cp", "mcp", "rx", "crx", "mcrx", "ry", "cry", "mcry",
    "rz", "crz", "mcrz", "rzz", "gp", "gphase", "global_phase",
})
_THREE_PARAMETER_IDS = frozenset({"u"})
_FIXED_IDS = frozenset({
    "i", "x", "y", "z", "h", "s", "s_dag", "t", "t_dag",
    "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag", "x2p", "x2m", "y2p", "y2m",
    "swap", "cx", "cnot", "cy", "cz", "ch", "cs", "ct",
    "mcx", "mcy", "mcz", "mch", "mcs", "mct",
    "unitary", "measure", "barrier", "block",
})


def _as_float(value):
    if isinstance(value, (bool, np.bool_)):
        raise TypeError("Gate parameters must be real numbers, not bool.")
    if isinstance(value, (complex, np.complexfloating)):
        raise TypeError("Gate parameters must be real numbers, not complex.")
    if isinstance(value, (str, bytes)):
        raise TypeError("Gate parameters must be real numbers, not " + type(value).__name__ + ".")
    try:
        result = float(value)
    except (TypeError, ValueError) as exc:
        raise TypeError("Gate parameters must be real numbers, got "
                        + type(value).__name__ + ".") from exc
    except OverflowError:
        # An integer beyond any double is as unusable as an infinite angle.
        raise ValueError("Gate parameters must be finite, got a value beyond the range of a double ("
                         + type(value).__name__ + ").") from None
    if not math.isfinite(result):
        raise ValueError("Gate parameters must be finite, got " + repr(result) + ".")
    return result


def _expected_count(gate_id):
    if gate_id in _ONE_PARAMETER_IDS:
        return 1
    if gate_id in _THREE_PARAMETER_IDS:
        return 3
    if gate_id in _FIXED_IDS:
        return 0
    return None  # custom and vendor ids take any number


def validate_gate_parameters(gate_id, parameters):
    """Return ``parameters`` as None or a tuple of floats checked against ``gate_id``."""
    if not isinstance(gate_id, str):
        raise TypeError("gate_id must be a str, got " + type(gate_id).__name__ + ".")
    gate_id = gate_id.lower()

    if parameters is None:
        values = ()
    elif isinstance(parameters, np.ndarray):
        if parameters.ndim > 1:
            raise ValueError("Gate parameters must be a scalar or a flat sequence.")
        values = tuple([_as_float(v) for v in parameters.reshape(-1)])
    elif isinstance(parameters, (list, tuple)):
        values = tuple([_as_float(v) for v in parameters])
    else:
        values = (_as_float(parameters),)

    expected = _expected_count(gate_id)
    if expected is not None and len(values) != expected:
        if expected == 0:
            raise ValueError("Gate '" + gate_id + "' takes no parameters, got "
                             + str(len(values)) + ".")
        raise ValueError("Gate '" + gate_id + "' takes exactly " + str(expected)
                         + (" parameter" if expected == 1 else " parameters")
                         + ", got " + str(len(values)) + ".")
    return values if values else None
