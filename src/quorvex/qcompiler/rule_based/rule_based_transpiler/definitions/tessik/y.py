"""Vendor rewrite of y."""
from .._rules import vendor

tessik_y_constructor = vendor("tessik_y_constructor", "y")
