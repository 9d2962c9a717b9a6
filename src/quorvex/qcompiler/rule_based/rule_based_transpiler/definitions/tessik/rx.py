"""Vendor rewrite of rx."""
from .._rules import vendor

tessik_rx_constructor = vendor("tessik_rx_constructor", "rx")
