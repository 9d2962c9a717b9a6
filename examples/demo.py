"""Demonstration: apply gates to a state vector through strovane."""
from quorvex.backend.pelmor import strovane

print("OpenMP threads:", strovane.max_threads())
