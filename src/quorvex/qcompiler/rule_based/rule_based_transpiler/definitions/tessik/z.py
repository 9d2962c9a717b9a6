"""Vendor rewrite of z."""
from .._rules import vendor

tessik_z_constructor = vendor("tessik_z_constructor", "z")
