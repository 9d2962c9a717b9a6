"""Native simulation back end: the extension module ``strovane``."""

from . import strovane

__all__ = ["strovane"]
