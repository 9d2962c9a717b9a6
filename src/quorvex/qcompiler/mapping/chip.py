"""Chip model built from calibration data: the minimal platform layer.

Calibration data is a mapping ``{"couplers": [[a, b, fidelity?], ...],
"qubits": {q: fidelity}}``; qubit numbers may be ints or decimal text,
fidelities lie in [0, 1]. A coupler without fidelity has none recorded.
"""
import math
from collections.abc import Mapping


def _qubit(value, where):
    if isinstance(value, bool):
        raise ValueError("Calibration " + where + " names qubit " + repr(value) + ", not a qubit number.")
    if isinstance(value, int):
        number = value
    elif isinstance(value, str) and value.strip().isdigit() and value.strip().isascii():
        number = int(value)
    else:
        raise ValueError("Calibration " + where + " names qubit " + repr(value) + ", not a qubit number.")
    if number < 0:
        raise ValueError("Calibration " + where + " names negative qubit " + str(number) + ".")
    return number


def _fidelity(value, where):
    try:
        number = float(value)
    except (TypeError, ValueError):
        number = math.nan
    if isinstance(value, bool) or not 0.0 <= number <= 1.0:
        raise ValueError("Calibration " + where + " has fidelity " + repr(value) + "; expected a number in [0, 1].")
    return number


class Chip:
    """Qubits, couplers and their fidelities of one device."""

    def __init__(self, calibration):
        if not isinstance(calibration, Mapping) or "qubits" not in calibration or "couplers" not in calibration:
            raise ValueError("Calibration must be a mapping with 'qubits' and 'couplers' entries.")
        qubits = calibration["qubits"]
        if not isinstance(qubits, Mapping) or not qubits:
            raise ValueError("Calibration 'qubits' must be a non-empty mapping of qubit to fidelity.")
        self.qubit_fidelity = {}
        for key, value in qubits.items():
            q = _qubit(key, "'qubits'")
            if q in self.qubit_fidelity:
                raise ValueError("Calibration 'qubits' lists qubit " + str(q) + " twice.")
            self.qubit_fidelity[q] = _fidelity(value, "of qubit " + str(q))
        self.qubits = sorted(self.qubit_fidelity)
        couplers = calibration["couplers"]
        if isinstance(couplers, (str, bytes, Mapping)):
            raise ValueError("Calibration 'couplers' must be a list of [a, b] or [a, b, fidelity].")
        self.coupler_fidelity = {}
        self.neighbours = {q: set() for q in self.qubits}
        for entry in couplers:
            if isinstance(entry, (str, bytes, Mapping)) or len(entry) not in (2, 3):
                raise ValueError("Calibration coupler " + repr(entry) + " is not [a, b] or [a, b, fidelity].")
            a, b = _qubit(entry[0], "coupler"), _qubit(entry[1], "coupler")
            if a == b:
                raise ValueError("Calibration coupler " + repr(entry) + " joins a qubit to itself.")
            for q in (a, b):
                if q not in self.neighbours:
                    raise ValueError("Calibration coupler " + repr(entry) + " names qubit " + str(q)
                                     + ", which 'qubits' does not list.")
            pair = frozenset((a, b))
            if pair in self.coupler_fidelity:
                raise ValueError("Calibration lists coupler " + str(tuple(sorted(pair))) + " twice.")
            self.coupler_fidelity[pair] = (_fidelity(entry[2], "of coupler " + str((a, b)))
                                           if len(entry) == 3 else None)
            self.neighbours[a].add(b)
            self.neighbours[b].add(a)

    def coupled(self, a, b):
        return frozenset((a, b)) in self.coupler_fidelity

    def __repr__(self):
        return "Chip(qubits=" + str(len(self.qubits)) + ", couplers=" + str(len(self.coupler_fidelity)) + ")"
