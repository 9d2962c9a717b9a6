"""What the checks where a gate enters, and the walks per block, cost on ordinary circuits.

Cases, each timed in a fresh process (seconds, min and median of the repeats, this tree's and a
baseline revision's runs interleaved):
- add: 100,000 gate records (1- and 2-qubit gates, a third of them controlled) added to a circuit,
  list and packed storage;
- add blocks: 5,000 composite gates of 8 children (some with positions from the end) added;
- execute: a 10-qubit circuit of 20,000 records and 500 such blocks run once (its store built in
  the call), list and packed storage;
- GPU executor: the same circuit run on the host stand-in of the device add-on;
- vendor gates: 65,536 x2p records side by side, run once (each given the standard matrix of its id),
  list and packed storage;
- equality: 200,000 comparisons of equal gates without and with metadata (a control);
- append: a 2,000-gate sequence appended to an Opchain 200 times.

OMP_NUM_THREADS defaults to 1 (the machine is shared).

Run: bash dev.sh bench admission [--baseline REV] [--repeat R]
"""
import argparse
import os
import statistics
import subprocess
import sys

import quorvex

HERE = os.path.dirname(os.path.abspath(__file__))

CASE = r"""
import os, sys, time
import numpy as np
from quorvex.backend.gate.morlith import QuantumGate
from quorvex.backend.opchain.opchain import Opchain
from quorvex.core import Circuit

rng = np.random.default_rng(7)
N = 10

def records(count):
    out = []
    for _ in range(count):
        kind = int(rng.integers(4))
        q = [int(x) for x in rng.permutation(N)[:3]]
        if kind == 0:
            out.append(QuantumGate("h", q[0]))
        elif kind == 1:
            out.append(QuantumGate("rz", q[0], parameter=float(rng.uniform(-3, 3))))
        elif kind == 2:
            out.append(QuantumGate("x", q[0], control=q[1]))
        else:
            out.append(QuantumGate("swap", q[:2], control=q[2]))
    return out

def blocks(count):
    out = []
    for _ in range(count):
        q = [int(x) for x in rng.permutation(N)[:3]]
        children = [QuantumGate("h", -1), QuantumGate("x", 0, control=1), QuantumGate("rz", 2, parameter=0.5),
                    QuantumGate("swap", [0, -1]), QuantumGate("cz", 1, control=-1), QuantumGate("ry", -3, parameter=0.2),
                    QuantumGate("t", 1), QuantumGate("y", 0, control=2)]
        out.append(QuantumGate("block", q, block_gate_sequence=children))
    return out

kind = sys.argv[1]
if kind in ("add list", "add packed"):
    gates = records(100_000)
    def run():
        c = Circuit(N, gate_storage=kind.split()[1])
        for gate in gates:
            c.add_gate(gate)
elif kind in ("add blocks list", "add blocks packed"):
    gates = blocks(5_000)
    def run():
        c = Circuit(N, gate_storage=kind.split()[2])
        for gate in gates:
            c.add_gate(gate)
elif kind in ("execute list", "execute packed", "GPU executor"):
    gates = records(20_000) + blocks(500)
    order = rng.permutation(len(gates))
    c = Circuit(N, gate_storage="packed" if kind == "execute packed" else "list")
    for i in order:
        c.add_gate(gates[i])
    if kind == "GPU executor":
        from quorvex.backend.execution.vorthane import CuCircuitExecutor
        executor = CuCircuitExecutor()
        run = lambda: executor.run(c)
    else:
        run = c.execute
elif kind in ("vendor gates list", "vendor gates packed"):
    c = Circuit(N, gate_storage=kind.split()[2])
    for q in range(65_536):
        c.add_gate(QuantumGate("x2p", q % N))
    run = c.execute
elif kind == "equality":
    plain = records(100_000)
    again = [g.replace() for g in plain]
    controlled = [QuantumGate("x", 0, control=1)] * 100_000
    other = [QuantumGate("x", 0, control=1) for _ in range(100_000)]
    def run():
        for a, b in zip(plain, again):
            a == b
        for a, b in zip(controlled, other):
            a == b
elif kind == "append":
    body = Opchain(N)
    for gate in records(2_000):
        body.add_gate(gate)
    def run():
        s = Opchain(N)
        for _ in range(200):
            s.append(body, list(range(N)))
start = time.perf_counter()
run()
print(time.perf_counter() - start)
"""

CASES = ["add list", "add packed", "add blocks list", "add blocks packed", "execute list", "execute packed",
         "GPU executor", "vendor gates list", "vendor gates packed", "equality", "append"]


def run_case(site, kind):
    env = dict(os.environ, PYTHONPATH=site)
    env.setdefault("OMP_NUM_THREADS", "1")
    done = subprocess.run([sys.executable, "-P", "-c", CASE, kind], env=env, capture_output=True, text=True,
                          check=True)
    return float(done.stdout.split()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline", default=None)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    builds = {"this tree": os.path.dirname(os.path.dirname(quorvex.__file__))}
    if args.baseline:
        sys.path.insert(0, HERE)
        from interrupt import baseline_site

        site, described = baseline_site(args.baseline)
        print("baseline: " + described)
        builds = {"baseline": site, **builds}
    print("seconds, min / median of %d, runs of the builds interleaved, each in a fresh process; OMP_NUM_THREADS=%s"
          % (args.repeat, os.environ.get("OMP_NUM_THREADS", "1")))
    print("%-20s %-10s %8s %8s" % ("case", "build", "min", "median"))
    for kind in CASES:
        found = {name: [] for name in builds}
        for _ in range(args.repeat):
            for name, site in builds.items():
                found[name].append(run_case(site, kind))
        for name, seconds in found.items():
            print("%-20s %-10s %8.3f %8.3f" % (kind, name, min(seconds), statistics.median(seconds)), flush=True)


if __name__ == "__main__":
    main()
