"""Vendor rewrite of rxy."""
from .._rules import vendor

tessik_rxy_constructor = vendor("tessik_rxy_constructor", "rxy")
