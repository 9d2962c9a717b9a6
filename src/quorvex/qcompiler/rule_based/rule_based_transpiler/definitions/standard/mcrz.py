"""Multi-controlled Z rotation."""
from .._rules import controlled

mcrz_constructor = controlled("mcrz_constructor", "rz crz mcrz")
