"""Batch quantum forward of the QML execution mixin: vectorised against per-sample.

`batch_quantum_forward` of the test host model (plain RY encoding, 2 layers)
for a batch of samples at n = 6, 8, 10 qubits, on three paths:

- vectorised: one compiled ansatz applied to the stacked initial states;
- threads: one circuit per sample from the cached ansatz template, on a
  thread pool of 4 workers;
- sequential: the same per-sample circuits on the calling thread.

For each, the forward pass and the backward pass of the outputs' sum are
timed separately. The paths are first checked to agree (and warmed up), then
repeats are interleaved (path by path within each repeat); min and median are
printed, with the sequential/vectorised ratios (goal: at least 10x).

Run: bash dev.sh bench qml [--threads T] [--repeats R] [--samples B] [--sizes 6,8,10]
"""
import argparse
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")

import statistics
import sys
import time

# quorvex before torch: the OpenMP runtime then starts with quorvex's bounded spin.
import quorvex  # noqa: F401  isort: skip
import torch

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from qml_host import QmlHost, capabilities  # noqa: E402

PATHS = (
    ("vectorised", dict(capabilities=capabilities()), None),
    ("threads", {}, 4),
    ("sequential", {}, None),
)


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=1, help="torch intra-op threads (default 1)")
    parser.add_argument("--repeats", type=int, default=3, help="interleaved repeats (at least 3)")
    parser.add_argument("--samples", type=int, default=256, help="samples per batch")
    parser.add_argument("--sizes", default="6,8,10", help="qubit counts, comma-separated")
    args = parser.parse_args()
    args.repeats = max(3, args.repeats)
    args.sizes = [int(size) for size in args.sizes.split(",")]
    return args


def timed(function):
    start = time.perf_counter()
    result = function()
    return time.perf_counter() - start, result


def run_path(host, features, parameters, workers):
    """(forward seconds, backward seconds, outputs, gradient)."""
    p = parameters.detach().clone().requires_grad_()
    forward, out = timed(lambda: host.batch_quantum_forward(features, p, max_workers=workers))
    backward, _ = timed(lambda: out.sum().backward())
    return forward, backward, out.detach(), p.grad


def main():
    args = arguments()
    torch.set_num_threads(args.threads)
    print("torch threads: %d, samples: %d, repeats: %d (interleaved), times in ms: min / median"
          % (torch.get_num_threads(), args.samples, args.repeats))
    print("%3s  %-11s %21s %21s" % ("n", "path", "forward", "backward"))
    for n in args.sizes:
        generator = torch.Generator().manual_seed(n)
        hosts = {name: QmlHost(n, layers=2, **options) for name, options, _ in PATHS}
        features = torch.rand(args.samples, n, generator=generator, dtype=torch.float64) * 3.0
        parameters = torch.randn(hosts["sequential"].parameter_count, generator=generator, dtype=torch.float64)

        # Agreement, which is also the warm-up.
        reference = None
        for name, _, workers in PATHS:
            _, _, out, grad = run_path(hosts[name], features, parameters, workers)
            if reference is None:
                reference = (out, grad)
            elif not (torch.allclose(out, reference[0], rtol=0, atol=1e-10)
                      and torch.allclose(grad, reference[1], rtol=0, atol=1e-9)):
                raise SystemExit("n=%d: %s disagrees with the vectorised path" % (n, name))

        times = {name: ([], []) for name, _, _ in PATHS}
        for _ in range(args.repeats):
            for name, _, workers in PATHS:
                forward, backward, _, _ = run_path(hosts[name], features, parameters, workers)
                times[name][0].append(forward)
                times[name][1].append(backward)

        for name, _, _ in PATHS:
            cells = ["%9.1f / %9.1f" % (min(t) * 1e3, statistics.median(t) * 1e3) for t in times[name]]
            print("%3d  %-11s %21s %21s" % (n, name, cells[0], cells[1]))
        ratios = [min(s) / min(v) for s, v in zip(times["sequential"], times["vectorised"])]
        verdict = "met" if min(ratios) >= 10 else "MISSED"
        print("%3d  sequential/vectorised (min): forward %.1fx, backward %.1fx; goal 10x %s"
              % (n, ratios[0], ratios[1], verdict))


if __name__ == "__main__":
    main()
