"""Finite-difference operators (`ostrival`) and their time-step circuits (`TDiff`)."""
from .tdiff import TDiff

__all__ = ["TDiff"]
