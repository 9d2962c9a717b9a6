"""Vendor rewrite of x."""
from .._rules import vendor

tessik_x_constructor = vendor("tessik_x_constructor", "x")
