"""Multi-controlled Y rotation."""
from .._rules import controlled

mcry_constructor = controlled("mcry_constructor", "ry cry mcry")
