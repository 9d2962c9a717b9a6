"""Which host members the QML execution mixin runs, its refusals, and its module surface."""
import dataclasses
import inspect
import subprocess
import sys
import threading
import time
import types
from concurrent.futures import ThreadPoolExecutor

import pytest
import torch

import qml_host
from qml_host import QmlHost, capabilities
from quorvex.library.qml import execution
from quorvex.library.qml.execution import ExecutionRequest
from quorvex.library.qml.models import _tamsin
from quorvex.library.qml.models._tamsin import TamsinMixin
from quorvex.library.qml.objectives.supervised import SupervisedObjective

DTYPE = torch.float64
UNSET = "unset"


class Recorder:
    """Stands in for a host component and logs every method called on it."""

    def __init__(self, target, name, log):
        self._target, self._name, self._log = target, name, log

    def __getattr__(self, attr):
        value = getattr(self._target, attr)
        return _logged(value, self._name + "." + attr, self._log) if callable(value) else value

    def __call__(self, *args, **kwargs):
        return _logged(self._target, self._name, self._log)(*args, **kwargs)


def _logged(function, name, log):
    def call(*args, **kwargs):
        log.append((name, kwargs.get("validate", UNSET)))
        return function(*args, **kwargs)

    return call


HOST_METHODS = (
    "split_parameter_blocks", "build_circuit", "build_ansatz_circuit", "_head", "batch_forward",
    "_execute_readout", "_apply_batch_quantum", "_vectorized_batch_forward", "batch_quantum_forward",
)


def spied(host):
    """The host with its members and mixin methods replaced by logging instance attributes."""
    log = []
    for name in HOST_METHODS:
        setattr(host, name, _logged(getattr(host, name), name, log))
    for name in ("encoding", "readout", "backend"):
        setattr(host, name, Recorder(getattr(host, name), name, log))
    host.log = log
    return host


def names(log):
    return [name for name, _ in log]


def count(log, name):
    return names(log).count(name)


def data(host, samples=3, rows=None, width=None):
    x = torch.linspace(-1, 1, samples * host.num_qubits, dtype=DTYPE).reshape(samples, -1)
    size = host.parameter_count if width is None else width
    p = torch.linspace(-0.7, 0.9, size, dtype=DTYPE)
    if rows is not None:
        p = torch.stack([p * (1 + 0.1 * r) for r in range(rows)])
    return x, p


NO_BATCHED = types.SimpleNamespace(batched_statevectors=False, parameter_batch=True)
MISSING_FLAG = types.SimpleNamespace(parameter_batch=True)

# host options -> which path batch_quantum_forward and the parameter-batch
# methods take ("vectorised"/"template"/"per-sample", "mapped"/"per-row").
DISPATCH = [
    pytest.param({}, "template", "per-row", id="no-capabilities"),
    pytest.param(dict(capabilities=capabilities(True, False)), "vectorised", "per-row", id="batched-only"),
    pytest.param(dict(capabilities=capabilities(True, True)), "vectorised", "mapped", id="both"),
    pytest.param(dict(capabilities=NO_BATCHED), "template", "per-row", id="parameter-batch-only"),
    pytest.param(dict(capabilities=capabilities(), uses_inputs=True), "per-sample", "per-row", id="uses-inputs"),
    pytest.param(dict(capabilities=capabilities(), scaled=True), "template", "per-row", id="no-batched-states"),
    pytest.param(dict(readout_execute=True), "template", "per-row", id="readout-execute"),
]


@pytest.mark.parametrize("options, sample_path, row_path", DISPATCH)
def test_batch_quantum_forward_dispatch(options, sample_path, row_path):
    host = spied(QmlHost(2, layers=1, **options))
    x, p = data(host)
    out = host.batch_quantum_forward(x, p, max_workers=3)
    log = host.log
    assert out.shape == (3, 2)
    assert log[:2] == [("batch_quantum_forward", UNSET), ("split_parameter_blocks", UNSET)]
    if sample_path == "vectorised":
        assert log[2:] == [("_apply_batch_quantum", UNSET), ("encoding.initial_states", UNSET),
                           ("build_ansatz_circuit", True), ("readout.batch_call", True)]
        return
    per_sample = {"_execute_readout": 3, "build_circuit": 0, "backend.create_circuit": 3, "encoding.build": 3,
                  "build_ansatz_circuit": 1, "encoding.initial_states": 0, "_apply_batch_quantum": 0}
    if sample_path == "per-sample":
        # encoding.build is left out: the host's own build_circuit calls it.
        del per_sample["encoding.build"]
        per_sample.update({"build_circuit": 3, "backend.create_circuit": 0, "build_ansatz_circuit": 0})
    assert {name: count(log, name) for name in per_sample} == per_sample
    assert ("build_ansatz_circuit", UNSET) in log or sample_path == "per-sample"
    executing = "readout.execute" in names(log)
    assert count(log, "backend.execute") == (0 if executing else 3)


@pytest.mark.parametrize("options, sample_path, row_path", DISPATCH)
@pytest.mark.parametrize("method", ["parameter_batch_forward", "quantum_parameter_batch_forward"])
def test_parameter_batch_dispatch(method, options, sample_path, row_path):
    host = spied(QmlHost(2, layers=1, **options))
    quantum = method == "quantum_parameter_batch_forward"
    x, rows = data(host, rows=2, width=host.quantum_parameter_count if quantum else None)
    out = getattr(host, method)(x, rows)
    assert out.shape == ((2, 3, 2) if quantum else (2, 3, 1))
    log = host.log
    if row_path == "mapped":
        expected = [("_apply_batch_quantum", False), ("encoding.initial_states", UNSET),
                    ("build_ansatz_circuit", False), ("readout.batch_call", False)]
        if not quantum:
            expected = [("_vectorized_batch_forward", False), ("split_parameter_blocks", False)] + expected
            expected.append(("_head", UNSET))
        assert log == expected
        return
    per_row = "batch_quantum_forward" if quantum else "batch_forward"
    assert count(log, per_row) == 2
    assert count(log, "_vectorized_batch_forward") == 0
    assert count(log, "_apply_batch_quantum") == (2 if sample_path == "vectorised" else 0)


def test_missing_batched_statevectors_flag_raises_attribute_error():
    host = QmlHost(2, capabilities=MISSING_FLAG)
    x, p = data(host)
    for call in (lambda: host.batch_quantum_forward(x, p),
                 lambda: host.parameter_batch_forward(x, p.reshape(1, -1))):
        with pytest.raises(AttributeError, match="batched_statevectors"):
            call()


@pytest.mark.parametrize("validate, handed_on", [(True, True), (False, False), (None, False), (0, False),
                                                 (1, True), ("yes", True)])
def test_validate_is_handed_on_as_a_bool(validate, handed_on):
    host = spied(QmlHost(2, layers=1, capabilities=capabilities()))
    x, p = data(host)
    host._vectorized_batch_forward(x, p, validate=validate)
    skipped = ("_vectorized_batch_forward", "_head", "encoding.initial_states")
    seen = [value for name, value in host.log if name not in skipped]
    assert seen and all(value is handed_on for value in seen)


@pytest.mark.parametrize("max_workers, on_caller", [(None, True), (1, True), (1.0, True), (2, False)])
def test_max_workers_one_runs_on_the_calling_thread(max_workers, on_caller):
    host = QmlHost(2, layers=1)
    threads = []
    run = host._execute_readout

    def where(circuit):
        threads.append(threading.get_ident())
        return run(circuit)

    host._execute_readout = where
    x, p = data(host)
    host.batch_quantum_forward(x, p, max_workers=max_workers)
    assert len(threads) == 3
    assert {ident == threading.get_ident() for ident in threads} == {on_caller}


def test_template_is_built_once_and_never_changed():
    host = QmlHost(3, layers=2)
    built = []
    build = host.build_ansatz_circuit

    def keep(*args, **kwargs):
        circuit = build(*args, **kwargs)
        copies = []
        copy = circuit.copy

        def counted_copy():
            copies.append(threading.get_ident())
            return copy()

        circuit.copy = counted_copy
        built.append((circuit, build(*args, **kwargs), copies))
        return circuit

    host.build_ansatz_circuit = keep
    x, p = data(host, samples=5)
    host.batch_quantum_forward(x, p, max_workers=4)
    (template, fresh, copies), = built
    assert len(copies) == 5 and threading.get_ident() not in copies
    assert list(template.gate_sequence.data()) == list(fresh.gate_sequence.data())


def test_readout_with_execute_bypasses_the_backend():
    host = QmlHost(2, layers=1, readout_execute=True)
    host.backend.execute = None  # would fail if called
    x, p = data(host)
    assert host.quantum_forward(x[0], p).shape == (2,)
    # A request still goes through its executor: the readout's execute is not involved.
    request = host.quantum_execution_request(x[0], p[:host.quantum_parameter_count])
    assert qml_host.StateBackend().execute(request).shape == (2,)


def test_postprocess_reads_only_the_first_result():
    host = QmlHost(1, layers=1)
    seen = []

    class Backend(qml_host.StateBackend):
        def execute(self, request):
            seen.append(request)
            state = qml_host.final_state(request.circuits[0])
            return request.postprocess([state, "ignored"])

    host.backend = Backend()
    x, p = data(host)
    assert host._execute_readout(host.build_circuit(x[0], p[:2])).shape == (1,)
    (request,) = seen
    assert request.parameters is None and request.circuit_factory is None and len(request.circuits) == 1


def test_overrides_on_the_host_class_are_followed():
    class Vectorising(QmlHost):
        def _can_vectorize_batch(self):
            return True

        def _head(self, raw, blocks):
            return raw.sum(dim=1)

    host = Vectorising(2, layers=1)
    x, p = data(host)
    assert torch.allclose(host.batch_quantum_forward(x, p),
                          QmlHost(2, layers=1, capabilities=capabilities()).batch_quantum_forward(x, p))
    assert host.batch_forward(x, p).shape == (3, 1)


# ---------------------------------------------------------------------------
# Refusals

FEATURES_2D = "features must have shape (sample_batch, n_features)."
NON_EMPTY = "parameter batch must be non-empty and finite."
WIDTH = {"parameter_batch_forward": "parameters must have shape (parameter_batch, parameter_count).",
         "quantum_parameter_batch_forward": "parameters must have shape (parameter_batch, quantum_parameter_count)."}


def _with_value(rows, value):
    rows = rows.clone()
    rows[1, 2] = value
    return rows


# (features change, rows change, expected message key)
PARAMETER_BATCH_REFUSALS = [
    pytest.param(lambda x: x[:0], None, FEATURES_2D, id="no-samples"),
    pytest.param(lambda x: x.reshape(1, *x.shape), None, FEATURES_2D, id="3-d-features"),
    pytest.param(None, lambda r: r[0], "width", id="1-d-parameters"),
    pytest.param(None, lambda r: r[:, :-1], "width", id="short-rows"),
    pytest.param(None, lambda r: r[:0], NON_EMPTY, id="no-rows"),
    pytest.param(None, lambda r: _with_value(r, float("nan")), NON_EMPTY, id="nan"),
    pytest.param(None, lambda r: _with_value(r, float("-inf")), NON_EMPTY, id="inf"),
]


@pytest.mark.parametrize("method", list(WIDTH))
@pytest.mark.parametrize("features_change, rows_change, message", PARAMETER_BATCH_REFUSALS)
def test_parameter_batch_refusals(method, features_change, rows_change, message):
    host = spied(QmlHost(2, layers=1, capabilities=capabilities()))
    width = host.quantum_parameter_count if method.startswith("quantum") else host.parameter_count
    x, rows = data(host, rows=3, width=width)
    x = x if features_change is None else features_change(x)
    rows = rows if rows_change is None else rows_change(rows)
    with pytest.raises(ValueError) as error:
        getattr(host, method)(x, rows)
    assert str(error.value) == (WIDTH[method] if message == "width" else message)
    assert host.log == []


def test_batch_quantum_forward_refuses_three_axes_before_reading_parameters():
    host = QmlHost(2)
    with pytest.raises(ValueError, match=r"^features must have shape \(n_samples, n_features\)\.$"):
        host.batch_quantum_forward(torch.zeros(1, 2, 2), object())


@pytest.mark.parametrize("options", [{}, dict(uses_inputs=True)], ids=["template", "per-sample"])
def test_batch_quantum_forward_leaves_an_empty_batch_to_torch_stack(options):
    host = QmlHost(2, **options)
    x, p = data(host)
    with pytest.raises(RuntimeError, match="stack expects a non-empty TensorList"):
        host.batch_quantum_forward(x[:0], p)


class PoolingHead(QmlHost):
    def _head(self, raw, blocks):
        return super()._head(raw, blocks).mean(0, keepdim=True)


class FlatHead(QmlHost):
    def _head(self, raw, blocks):
        return super()._head(raw, blocks).reshape(-1)


class ShortFlatHead(FlatHead):
    def _head(self, raw, blocks):
        return super()._head(raw, blocks)[:-1]


HEAD_OUTPUT = "task head output must have shape (sample_batch, output_dim)."
RAW_SHAPE = "raw_outputs must have shape (sample_batch, readout_width)."

# host class, output_dim, raw change, expected shape or message
HEAD_CASES = [
    pytest.param(QmlHost, 2, None, (3, 2), id="plain"),
    pytest.param(FlatHead, 1, None, (3, 1), id="1-d-output-becomes-a-column"),
    pytest.param(FlatHead, 2, None, HEAD_OUTPUT, id="1-d-output-of-two-columns"),
    pytest.param(ShortFlatHead, 1, None, HEAD_OUTPUT, id="1-d-output-missing-a-row"),
    pytest.param(PoolingHead, 1, None, HEAD_OUTPUT, id="pooling-head"),
    pytest.param(QmlHost, 1, lambda r: r[0], RAW_SHAPE, id="1-d-raw"),
    pytest.param(QmlHost, 1, lambda r: r[:, :1], RAW_SHAPE, id="narrow-raw"),
]


@pytest.mark.parametrize("cls, output_dim, raw_change, expected", HEAD_CASES)
def test_batch_head_forward(cls, output_dim, raw_change, expected):
    host = cls(2, layers=1, output_dim=output_dim)
    x, p = data(host)
    raw = host.batch_quantum_forward(x, p)
    raw = raw if raw_change is None else raw_change(raw)
    if isinstance(expected, str):
        with pytest.raises(ValueError) as error:
            host.batch_head_forward(raw, p)
        assert str(error.value) == expected
    else:
        assert host.batch_head_forward(raw, p).shape == expected


def test_a_pooling_head_cannot_reach_a_loss():
    host = PoolingHead(2, layers=1)
    x, p = data(host, samples=5)
    with pytest.raises(ValueError, match="task head output must have shape"):
        SupervisedObjective(torch.nn.functional.mse_loss)(host, (x, torch.zeros(5)), p)


def test_execution_request_takes_any_shape_of_the_right_count():
    host = QmlHost(3, layers=1)  # 6 quantum parameters
    x, p = data(host)
    grid = p[:6].reshape(2, 3)
    request = host.quantum_execution_request(x[0].tolist(), grid)
    assert isinstance(request, ExecutionRequest)
    assert torch.equal(request.parameters, p[:6]) and request.circuits is None
    direct = host.backend.execute(request)
    assert torch.allclose(direct, host.batch_quantum_forward(x[0], p)[0], rtol=0, atol=1e-12)
    (circuit,) = request.circuit_factory(torch.zeros(6, dtype=DTYPE))
    assert circuit.get_num_qubits() == 3
    for bad in (p[:5], p[:7].reshape(7, 1), p):
        with pytest.raises(ValueError) as error:
            host.quantum_execution_request(x[0], bad)
        assert str(error.value) == "quantum execution parameters must have shape (6,)."


def test_max_workers_zero_is_refused_before_any_sample_runs():
    host = spied(QmlHost(2, layers=1))
    x, p = data(host)
    with pytest.raises(ValueError, match="max_workers must be greater than 0"):
        host.batch_quantum_forward(x, p, max_workers=0)
    assert count(host.log, "_execute_readout") == 0 and count(host.log, "backend.create_circuit") == 0


def test_a_failing_pool_sample_propagates_in_row_order_and_leaves_no_thread():
    class Failing(QmlHost):
        def build_circuit(self, sample, quantum_parameters):
            row = int(sample[0])
            if row == 1:
                time.sleep(0.05)  # fails last in time, first in row order
            if row in (1, 3):
                raise RuntimeError("sample %d failed" % row)
            return super().build_circuit(sample, quantum_parameters)

    host = Failing(2, layers=1, uses_inputs=True)
    x, p = data(host, samples=5)
    x[:, 0] = torch.arange(5)
    before = set(threading.enumerate())
    with pytest.raises(RuntimeError, match="^sample 1 failed$"):
        host.batch_quantum_forward(x, p, max_workers=5)
    assert set(threading.enumerate()) == before


REQUEST_FORMS = [
    pytest.param({}, id="nothing"),
    pytest.param(dict(circuits=(1,)), id="circuits-only"),
    pytest.param(dict(postprocess=len), id="postprocess-only"),
    pytest.param(dict(parameters=1, postprocess=len), id="no-factory"),
    pytest.param(dict(circuit_factory=len, postprocess=len), id="no-parameters"),
    pytest.param(dict(parameters=1, circuit_factory=len), id="no-postprocess"),
    pytest.param(dict(circuits=(1,), parameters=1, postprocess=len), id="circuits-and-parameters"),
    pytest.param(dict(circuits=(1,), parameters=1, circuit_factory=len, postprocess=len), id="all-four"),
]


@pytest.mark.parametrize("fields", REQUEST_FORMS)
def test_execution_request_refuses_other_forms(fields):
    with pytest.raises(TypeError) as error:
        ExecutionRequest(**fields)
    message = str(error.value)
    assert "circuits= and postprocess=" in message and "parameters=, circuit_factory= and postprocess=" in message


def test_execution_request_record():
    request = ExecutionRequest(circuits=("c",), postprocess=len)
    assert request.parameters is None and request.circuit_factory is None
    assert request != ExecutionRequest(circuits=("c",), postprocess=len) and request == request
    with pytest.raises(dataclasses.FrozenInstanceError):
        request.circuits = ()
    with pytest.raises(TypeError):
        ExecutionRequest(("c",), None, None, len)
    for fields in (dict(circuits=("c",), postprocess="f"), dict(parameters=1, circuit_factory=3, postprocess=len)):
        with pytest.raises(TypeError, match="must be callable"):
            ExecutionRequest(**fields)


# ---------------------------------------------------------------------------
# Module surface

METHODS = [
    ("quantum_forward_with_blocks", "(self, inputs, parameters)", {}),
    ("_execute_readout", "(self, circuit) -> 'torch.Tensor'", {"return": "torch.Tensor"}),
    ("quantum_execution_request", "(self, inputs, parameters)", {}),
    ("quantum_forward", "(self, inputs, parameters) -> 'torch.Tensor'", {"return": "torch.Tensor"}),
    ("_can_vectorize_batch", "(self) -> 'bool'", {"return": "bool"}),
    ("_apply_batch_quantum", "(self, features, quantum_parameters, *, validate: 'bool' = True) -> 'torch.Tensor'",
     {"validate": "bool", "return": "torch.Tensor"}),
    ("_vectorized_batch_forward", "(self, features, parameters, *, validate: 'bool' = True) -> 'torch.Tensor'",
     {"validate": "bool", "return": "torch.Tensor"}),
    ("parameter_batch_forward", "(self, features, parameters) -> 'torch.Tensor'", {"return": "torch.Tensor"}),
    ("quantum_parameter_batch_forward", "(self, features, parameters) -> 'torch.Tensor'", {"return": "torch.Tensor"}),
    ("batch_head_forward", "(self, raw_outputs, parameters) -> 'torch.Tensor'", {"return": "torch.Tensor"}),
    ("batch_quantum_forward", "(self, features, parameters, max_workers=None) -> 'torch.Tensor'",
     {"return": "torch.Tensor"}),
]


def test_module_and_class_surface():
    public = {name for name in vars(_tamsin) if not name.startswith("__")}
    assert public == {"ThreadPoolExecutor", "torch", "TamsinMixin", "_parameter_rows"}
    assert _tamsin.ThreadPoolExecutor is ThreadPoolExecutor and _tamsin.torch is torch
    assert TamsinMixin.__bases__ == (object,)
    assert TamsinMixin.__doc__ == "Connect variational model components to requests, backends, and batches."
    members = [name for name in vars(TamsinMixin) if not name.startswith("__")]
    assert members == [name for name, _, _ in METHODS]
    for name, signature, annotations in METHODS:
        method = vars(TamsinMixin)[name]
        assert str(inspect.signature(method)) == signature, name
        assert method.__annotations__ == annotations, name


def test_loading_imports_no_execution_layer():
    code = ("import sys; import quorvex.library.qml.models._tamsin; "
            "print('quorvex.library.qml.execution' in sys.modules)")
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "False"


def test_execution_request_is_imported_at_each_call(monkeypatch):
    made = []

    class StandIn:
        def __init__(self, **fields):
            made.append(fields)
            self.__dict__.update(fields)

    host = QmlHost(1, layers=1)
    x, p = data(host)
    monkeypatch.setitem(sys.modules, "quorvex.library.qml.execution", types.SimpleNamespace(ExecutionRequest=StandIn))
    request = host.quantum_execution_request(x[0], p[:2])
    assert type(request) is StandIn and set(made[0]) == {"parameters", "circuit_factory", "postprocess"}
    assert host.quantum_forward(x[0], p).shape == (1,)  # the backend reads the stand-in's fields
    assert set(made[1]) == {"circuits", "postprocess"}

    monkeypatch.setitem(sys.modules, "quorvex.library.qml.execution", None)
    with pytest.raises(ImportError):
        host.quantum_execution_request(object(), object())
    monkeypatch.setitem(sys.modules, "quorvex.library.qml.execution", execution)
    assert isinstance(host.quantum_execution_request(x[0], p[:2]), ExecutionRequest)
