"""Multi-controlled X."""
from .._rules import controlled

mcx_constructor = controlled("mcx_constructor", "x cx cnot mcx")
