"""SWAP, with or without controls."""
from .._rules import two_qubit

swap_constructor = two_qubit("swap_constructor", "swap")
