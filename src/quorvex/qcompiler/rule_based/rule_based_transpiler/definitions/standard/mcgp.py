"""Global phase under controls."""
from .._rules import controlled

mcgp_constructor = controlled("mcgp_constructor", "gp")
