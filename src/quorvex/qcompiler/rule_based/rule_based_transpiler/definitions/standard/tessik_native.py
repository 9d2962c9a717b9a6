"""Vendor native gates written with default-basis ids."""
from .._rules import native_to_default


def tessik_native_to_default(gate, circuit=None):
    """x2p/x2m/y2p/y2m as rx/ry(+-pi/2), xyarb(phi, theta) as rz(-phi) rx(theta) rz(phi), b as barrier."""
    return native_to_default(gate, "tessik_native_to_default")
