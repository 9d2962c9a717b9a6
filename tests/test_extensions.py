"""Every delivered module is a compiled extension, never a plain .py file."""
import importlib
import importlib.machinery
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1] / "src"

DELIVERABLES = [
    "quorvex.backend.pelmor.strovane",
    "quorvex.backend.gate.morlith",
    "quorvex.backend.opchain.opchain",
    "quorvex.backend.opchain.packed",
    "quorvex.backend.execution.vorthane",
    "quorvex.qcompiler.results",
    "quorvex.qcompiler.stages.mapping",
    "quorvex.qcompiler.synthesis.emit",
    "quorvex.qcompiler.rule_based.rule_based_transpiler.basis",
    "quorvex.qcompiler.rule_based.rule_based_transpiler.definitions.tessik.kelvane",
    "quorvex.qcompiler.hardware_api.providers.vellicor",
    "quorvex.library.linear_solver.pelqa",
    "quorvex.library.linear_solver.zumra",
    "quorvex.library.linear_solver.tiberq",
    "quorvex.library.block_encoding.dorrin.dorrin",
    "quorvex.library.equation.differential_operator.ostrival",
    "quorvex.library.equation.examples.equation_blackScholes.algorithm",
    "quorvex.library.fermi_hubbard.quandrel",
    "quorvex.library.qml.models._tamsin",
    "quorvex.library.qml.objectives.generative",
    "quorvex.library.qml.objectives.supervised",
]


def _has_source(dotted):
    rel = Path(*dotted.split("."))
    if dotted.endswith(".strovane"):
        return (ROOT / "quorvex" / "native" / "module.cpp").exists()
    return (ROOT / rel).with_suffix(".py").exists()


@pytest.mark.parametrize("dotted", DELIVERABLES)
def test_deliverable_is_extension_module(dotted):
    if not _has_source(dotted):
        pytest.skip("not delivered yet")
    module = importlib.import_module(dotted)
    assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert not (Path(module.__file__).with_suffix(".py")).exists()
