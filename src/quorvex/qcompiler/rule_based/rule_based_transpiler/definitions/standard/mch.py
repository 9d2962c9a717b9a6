"""Multi-controlled Hadamard."""
from .._rules import controlled

mch_constructor = controlled("mch_constructor", "h ch mch")
