"""Vendor rewrite of a CNOT as H . CZ . H."""
from .._rules import vendor_cx_constructor


def tessik_cx_constructor(gate, circuit=None):
    """cx or cnot as h(target), cz(control, target), h(target)."""
    return vendor_cx_constructor(gate, "tessik_cx_constructor")
