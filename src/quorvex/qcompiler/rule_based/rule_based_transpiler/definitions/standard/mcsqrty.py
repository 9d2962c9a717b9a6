"""Multi-controlled square root of Y."""
from .._rules import controlled

mcsqrty_constructor = controlled("mcsqrty_constructor", "sqrty sqrty_dag")
