"""Execution requests of the QML library: the minimal platform layer.

An `ExecutionRequest` tells an executor what to run and how to turn the
results into a value; the executor returns ``postprocess(results)``, where
``results`` holds one result per circuit, in order.  It comes in two forms:

- ``ExecutionRequest(circuits=..., postprocess=...)``: run the given circuits;
- ``ExecutionRequest(parameters=..., circuit_factory=..., postprocess=...)``:
  run the circuits that ``circuit_factory(parameters)`` returns, so that an
  executor may rebuild them for other parameter values (a shifted vector for
  a gradient, say).
"""

from dataclasses import dataclass

_FORMS = (
    "ExecutionRequest takes either circuits= and postprocess=, "
    "or parameters=, circuit_factory= and postprocess=."
)


@dataclass(frozen=True, kw_only=True, eq=False)
class ExecutionRequest:
    """What to run and how to post-process it; an unset field is None."""

    circuits: object = None
    parameters: object = None
    circuit_factory: object = None
    postprocess: object = None

    def __post_init__(self) -> None:
        given = (
            self.circuits is not None,
            self.parameters is not None,
            self.circuit_factory is not None,
            self.postprocess is not None,
        )
        if given not in ((True, False, False, True), (False, True, True, True)):
            raise TypeError(_FORMS)
        if not callable(self.postprocess):
            raise TypeError("postprocess must be callable.")
        if self.circuit_factory is not None and not callable(self.circuit_factory):
            raise TypeError("circuit_factory must be callable.")
