"""Single-target dense unitaries, with or without controls."""
from .._rules import controlled

unitary_constructor = controlled("unitary_constructor", "unitary")
