"""Compiler pipeline contracts: the minimal platform layer.

The records and the registry that the compiler's stages exchange: a named
``Registry`` of strategy classes, the ``MappingStrategy`` base, and the
dataclasses ``Layout``, ``Machine``, ``MappingOutcome``, ``PipelineContext``
and ``RunResult``.
"""
from dataclasses import dataclass, field
from typing import Any, Optional


class Registry:
    """Classes registered under string keys, kept in registration order."""

    def __init__(self, name):
        self.name = name
        self._entries = {}

    def register(self, key):
        """A class decorator storing the class under ``key`` and returning it unchanged."""
        def decorator(cls):
            if key in self._entries:
                raise ValueError(self.name + " " + repr(key) + " is already registered.")
            self._entries[key] = cls
            return cls
        return decorator

    def __getitem__(self, key):
        try:
            return self._entries[key]
        except KeyError:
            raise KeyError("Unknown " + self.name + " " + repr(key) + "; known: "
                           + ", ".join(map(repr, self._entries)) + ".") from None

    def __contains__(self, key):
        return key in self._entries

    def __len__(self):
        return len(self._entries)

    def __iter__(self):
        return iter(list(self._entries))

    def __repr__(self):
        return "Registry(" + repr(self.name) + ", " + repr(list(self._entries)) + ")"


class MappingStrategy:
    """Base of the mapping strategies; ``config.mapping`` holds their options."""

    def __init__(self, config):
        self.config = config

    def run(self, circuit, machine, ctx):
        raise NotImplementedError


@dataclass
class Layout:
    """Placement of logical (virtual) qubits on physical qubits."""
    virtual_to_physical: dict


@dataclass
class Machine:
    """A compilation target: its basis name, coupling ("all" or qubit pairs) and client."""
    name: str
    basis: Optional[str] = None
    coupling: Any = "all"
    client: Any = None


@dataclass(kw_only=True)
class MappingOutcome:
    """What a mapping strategy hands back to the pipeline."""
    mapped_qcis: str
    mapped_circuit: Any
    layout: Layout
    final_layout: Optional[Layout] = None


@dataclass
class PipelineContext:
    """State shared by the stages of one compilation."""
    metadata: dict = field(default_factory=dict)


@dataclass
class RunResult:
    """The compiler's raw output, before it becomes a ``CompilationResult``."""
    mapped_circuit: Any
    executable: str
    executable_format: str
    optimized_circuit: Any = None
    machine: Optional[Machine] = None
    layout: Optional[Layout] = None
    final_layout: Optional[Layout] = None
    qasm: str = ""
    stage_metadata: dict = field(default_factory=dict)
