"""ZZ rotation."""
from .._rules import two_qubit

rzz_constructor = two_qubit("rzz_constructor", "rzz")
