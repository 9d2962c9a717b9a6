"""Shared by the gate and sequence tests: watch what reaches the parameter validator."""


def record_validator_calls(monkeypatch, module):
    """Wrap ``module.validate_gate_parameters`` so that every call's (gate_id, parameters) is recorded.

    The real validator still runs; the returned list fills as calls are made.
    """
    calls = []
    real = module.validate_gate_parameters

    def record(gate_id, parameters):
        calls.append((gate_id, parameters))
        return real(gate_id, parameters)

    monkeypatch.setattr(module, "validate_gate_parameters", record)
    return calls
