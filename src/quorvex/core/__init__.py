"""Circuits and registers: the minimal platform layer.

`Circuit` is the circuit class the rest of the package builds, maps, executes
and compiles; `Register` names a run of consecutive qubits of one circuit.
Qubit q is bit q of an amplitude index throughout.
"""
from .register import Register
from .circuit import Circuit, CircuitResult, CompiledCircuit

__all__ = ["Circuit", "Register", "CircuitResult", "CompiledCircuit"]
