"""Minimal platform layer: the executor base class and the result record.

Executors of the package derive from `BaseCircuitExecutor`, which keeps the
construction keywords and the random generator every random decision of an
executor is drawn from, and return an `ExecutionResult`.
"""

from dataclasses import dataclass
from typing import Any

import numpy as np

__all__ = ["BaseCircuitExecutor", "ExecutionResult"]


@dataclass(frozen=True)
class ExecutionResult:
    """The state a run leaves behind and the classical bits it measured."""

    backend_state: Any
    classical_results_map: dict


class BaseCircuitExecutor:
    """Common state of circuit executors."""

    def __init__(self, backend="cpp", device="cpu", dtype=np.complex128, seed=None):
        self.backend = backend
        self.device = device
        self.dtype = dtype
        self.seed = seed
        self.rng = np.random.default_rng(seed)
        # Bit strings of measurements list the first target first.
        self.measure_endian = "big"
