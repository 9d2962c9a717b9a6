"""Multi-controlled Y."""
from .._rules import controlled

mcy_constructor = controlled("mcy_constructor", "y cy mcy")
