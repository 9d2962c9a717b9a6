"""The compilation result record."""
import dataclasses

import pytest

from quorvex.qcompiler.contracts import Layout, Machine, RunResult
from quorvex.qcompiler.results import CompilationResult
from quorvex.qcompiler import results


@pytest.fixture
def run_result():
    return RunResult(mapped_circuit=object(), executable="X Q0", executable_format="qcis",
                     optimized_circuit="opt", machine=Machine("m"), layout=Layout({0: 1}),
                     final_layout=Layout({0: 2}), qasm="OPENQASM 2.0;", stage_metadata={"a": [1]})


def test_round_trip_copies_the_metadata_shallowly(run_result):
    record = CompilationResult.from_run_result(result=run_result)
    assert record.mapped_circuit is record.circuit is run_result.mapped_circuit
    for name in ("executable", "executable_format", "optimized_circuit", "machine", "layout",
                 "final_layout", "qasm"):
        assert getattr(record, name) is getattr(run_result, name)
    assert record.stage_metadata == run_result.stage_metadata
    assert record.stage_metadata is not run_result.stage_metadata
    assert record.stage_metadata["a"] is run_result.stage_metadata["a"]
    run_result.stage_metadata["b"] = 2
    assert "b" not in record.stage_metadata


def test_missing_mapped_circuit(run_result):
    run_result.mapped_circuit = None
    with pytest.raises(RuntimeError, match=r"^Compilation did not produce a mapped circuit\.$"):
        CompilationResult.from_run_result(run_result)
    run_result.mapped_circuit = 0  # falsy but present
    assert CompilationResult.from_run_result(run_result).circuit == 0
    run_result.stage_metadata = None
    with pytest.raises(TypeError):
        CompilationResult.from_run_result(run_result)


def test_record_is_frozen_compared_by_fields_and_unhashable():
    a = CompilationResult("c", "e", "f")
    b = CompilationResult("c", "e", "f")
    assert a == b and a.stage_metadata is not b.stage_metadata
    assert (a.optimized_circuit, a.machine, a.layout, a.final_layout, a.qasm, a.stage_metadata) == \
        (None, None, None, None, "", {})
    with pytest.raises(dataclasses.FrozenInstanceError):
        a.qasm = "x"
    with pytest.raises(dataclasses.FrozenInstanceError):
        del a.circuit
    with pytest.raises(TypeError):
        hash(a)
    assert repr(a).startswith("CompilationResult(circuit='c', executable='e'")
    with pytest.raises(TypeError):
        CompilationResult("c", "e")


def test_subclass_and_module_surface(run_result):
    class Mine(CompilationResult):
        pass
    assert type(Mine.from_run_result(run_result)) is Mine
    assert results.__all__ == ["CompilationResult"]
    assert CompilationResult.__doc__ == "Mapped program returned by :meth:`QCompiler.compile`."
    assert [f.name for f in dataclasses.fields(CompilationResult)] == [
        "circuit", "executable", "executable_format", "optimized_circuit", "machine", "layout",
        "final_layout", "qasm", "stage_metadata"]
