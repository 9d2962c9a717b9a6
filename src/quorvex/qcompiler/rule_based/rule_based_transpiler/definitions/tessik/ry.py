"""Vendor rewrite of ry."""
from .._rules import vendor

tessik_ry_constructor = vendor("tessik_ry_constructor", "ry")
