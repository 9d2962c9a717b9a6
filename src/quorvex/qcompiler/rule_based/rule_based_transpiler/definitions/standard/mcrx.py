"""Multi-controlled X rotation."""
from .._rules import controlled

mcrx_constructor = controlled("mcrx_constructor", "rx crx mcrx")
