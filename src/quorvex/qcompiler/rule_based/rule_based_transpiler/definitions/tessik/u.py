"""Vendor rewrite of u."""
from .._rules import vendor

tessik_u_constructor = vendor("tessik_u_constructor", "u")
