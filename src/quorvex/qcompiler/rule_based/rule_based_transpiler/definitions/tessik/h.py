"""Vendor rewrite of h."""
from .._rules import vendor

tessik_h_constructor = vendor("tessik_h_constructor", "h")
