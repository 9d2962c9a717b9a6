"""Shared by the packed executor and transformation tests: gates given as store fields."""
from quorvex.backend.pelmor.strovane import OpchainPackedNative


class View:
    """Packed view marker: hands its store over instead of being iterated."""

    def __init__(self, store):
        self._packed_store_native = store


def f(id, target=(0,), control=(), state=None, parameter=None, name=None, matrix=None, block=None,
      classical=None):
    """The nine store fields of one gate; every control requires 1 unless states are given."""
    state = (1,) * len(control) if state is None else state
    return (id, target, control, state, parameter, name, matrix, block, classical)


def store_of(*gates):
    """A store holding the gates, each given as fields or as a gate object."""
    s = OpchainPackedNative()
    for g in gates:
        s.append_fields(*g) if isinstance(g, tuple) else s.append_gate(g)
    return s
