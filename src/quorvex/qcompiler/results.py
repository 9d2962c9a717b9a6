"""The record a compilation returns: mapped circuit, executable and stage metadata."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from .contracts import Layout, Machine, RunResult

if TYPE_CHECKING:
    from quorvex.core import Circuit

__all__ = ["CompilationResult"]


@dataclass(frozen=True)
class CompilationResult:
    """Mapped program returned by :meth:`QCompiler.compile`."""

    circuit: Circuit
    executable: str
    executable_format: str
    optimized_circuit: Circuit | None = None
    machine: Machine | None = None
    layout: Layout | None = None
    final_layout: Layout | None = None
    qasm: str = ""
    stage_metadata: dict[str, Any] = field(default_factory=dict)

    @classmethod
    def from_run_result(cls, result: RunResult) -> CompilationResult:
        """Build a record from the compiler's run result, copying its stage metadata."""
        if result.mapped_circuit is None:
            raise RuntimeError("Compilation did not produce a mapped circuit.")
        circuit = result.mapped_circuit
        executable = result.executable
        executable_format = result.executable_format
        optimized_circuit = result.optimized_circuit
        machine = result.machine
        layout = result.layout
        final_layout = result.final_layout
        qasm = result.qasm
        stage_metadata = dict(result.stage_metadata)
        return cls(
            circuit=circuit,
            executable=executable,
            executable_format=executable_format,
            optimized_circuit=optimized_circuit,
            machine=machine,
            layout=layout,
            final_layout=final_layout,
            qasm=qasm,
            stage_metadata=stage_metadata,
        )

    @property
    def mapped_circuit(self) -> Circuit:
        return self.circuit
