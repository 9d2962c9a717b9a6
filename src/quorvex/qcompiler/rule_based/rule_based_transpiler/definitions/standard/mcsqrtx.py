"""Multi-controlled square root of X."""
from .._rules import controlled

mcsqrtx_constructor = controlled("mcsqrtx_constructor", "sqrtx sqrtx_dag")
