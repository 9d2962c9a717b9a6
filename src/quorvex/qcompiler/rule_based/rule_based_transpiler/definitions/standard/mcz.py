"""Multi-controlled Z."""
from .._rules import controlled

mcz_constructor = controlled("mcz_constructor", "z cz mcz")
