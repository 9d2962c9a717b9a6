"""Base class and logger of the equation examples: the minimal platform layer.

`BaseAlgorithm` writes an example's solution plot (SVG) and its circuit
diagrams (SVG) and OpenQASM 3.0 files into ``self.algo_dir``;
`create_algorithm_logger` gives a logger that prints each line and appends it
to ``algorithm.log`` in the results directory.
"""
import math
import os
import re
import sys

import numpy as np

_MAX_DIAGRAM_GATES = 200
_MAX_SLUG = 100


def _slug(title):
    # Only ASCII letters and digits survive, so a title can never leave the
    # results directory ("../x") or name a hidden or empty file.
    slug = re.sub(r"[^a-z0-9]+", "_", str(title).lower()).strip("_")[:_MAX_SLUG]
    return slug or "untitled"


class AlgorithmLogger:
    """Prints each line to the current standard output and appends it to a file."""

    def __init__(self, path):
        self.path = path

    def _write(self, level, message):
        print(message, file=sys.stdout)
        with open(self.path, "a", encoding="utf-8") as log:
            log.write(f"{level} {message}\n")

    def info(self, message):
        self._write("INFO", message)

    def error(self, message):
        self._write("ERROR", message)


def create_algorithm_logger(algo_dir):
    os.makedirs(algo_dir, exist_ok=True)
    return AlgorithmLogger(os.path.join(algo_dir, "algorithm.log"))


def _expanded_gates(sequence, limit):
    """The first `limit` gates with blocks expanded, each as (label, qubits)."""
    out = []
    stack = [iter(sequence.data())]
    while stack and len(out) < limit:
        gate = next(stack[-1], None)
        if gate is None:
            stack.pop()
            continue
        if gate.block_gate_sequence is not None:
            stack.append(iter(gate.decompose()))
            continue
        out.append((gate.name, tuple(gate.control), tuple(gate.target)))
    return out


def _pyplot():
    # Loaded on first use, so that the logger costs no plotting import;
    # "Agg" draws without a display.
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


class BaseAlgorithm:
    """Results of an equation example: plots and circuit files in ``algo_dir``."""

    def _grid_spacing(self, L1, L2, n, derived=""):
        """dx = (L2 - L1) / (n + 1): the spacing of n interior points on [L1, L2].

        Equal or swapped ends would give no grid or one that runs downwards;
        the difference operators divide by dx and by dx**2, so each of dx,
        dx**2 and 1/dx**2 must also be finite and nonzero (ends 1e308 apart,
        or 1e-300 apart, give none). Both refusals name L1 and L2, and
        ``derived`` where an end was not given but derived from another key.
        """
        note = f" ({derived})" if derived else ""
        if not (math.isfinite(L1) and math.isfinite(L2) and L1 < L2):
            raise ValueError(f"L2 must be greater than L1, got L1 = {L1} and L2 = {L2}{note}")
        dx = (L2 - L1) / (n + 1)
        dx2 = dx * dx
        if not (math.isfinite(dx) and 0 < dx2 < math.inf and 1 / dx2 < math.inf):
            raise ValueError(f"L1 = {L1} and L2 = {L2} give no usable grid on {n} points: dx = {dx}, and dx, "
                             f"dx**2 and 1/dx**2 must be finite and nonzero{note}")
        return dx

    def _require_finite(self, values, what):
        """Log and raise RuntimeError unless every entry of ``values`` is finite.

        A NaN or infinite result (a rate of -1000 overflows the evolution) is
        a failure, never a solution to plot and report with status "ok".
        """
        bad = int(np.count_nonzero(~np.isfinite(values)))
        if bad:
            message = (f"The {what} is not finite at {bad} of {len(values)} grid points; "
                       f"no result is reported.")
            self.logger.error(message)
            raise RuntimeError(message)

    def _output_path(self, title, suffix):
        # The suffix stays outside the length limit: a long title must not
        # make two circuits' files, or a circuit and the plot, collide.
        os.makedirs(self.algo_dir, exist_ok=True)
        return os.path.join(self.algo_dir, _slug(title) + suffix)

    def _generate_solution_plot(self, title, xs, ys, *, xlabel, ylabel, bd, ul, ur):
        plt = _pyplot()
        path = self._output_path(title, ".svg")
        fig, ax = plt.subplots(figsize=(7, 4.5))
        try:
            ax.plot(xs, ys, marker="o", markersize=3)
            ax.set_title(str(title))
            ax.set_xlabel(xlabel)
            ax.set_ylabel(ylabel)
            ax.grid(True, alpha=0.3)
            ax.text(0.01, 0.01, f"boundary: {bd}, left {ul}, right {ur}", transform=ax.transAxes,
                    fontsize=8, alpha=0.7)
            fig.savefig(path, format="svg")
        finally:
            plt.close(fig)
        return path

    def _generate_circuit_plots(self, title, *circuits):
        plt = _pyplot()
        diagrams, qasm_files = [], []
        for index, circuit in enumerate(circuits):
            # Exported before the file is opened: a circuit that has no
            # OpenQASM form must not leave an empty file behind.
            text = circuit.gate_sequence.to_openqasm()
            qasm_path = self._output_path(title, f"_circuit_{index}.qasm")
            with open(qasm_path, "w", encoding="utf-8") as out:
                out.write(text)
            qasm_files.append(qasm_path)

            n = circuit.get_num_qubits()
            gates = _expanded_gates(circuit.gate_sequence, _MAX_DIAGRAM_GATES)
            svg_path = self._output_path(title, f"_circuit_{index}.svg")
            fig, ax = plt.subplots(figsize=(min(2 + 0.35 * len(gates), 60), 1 + 0.4 * max(n, 1)))
            try:
                for q in range(n):
                    ax.plot([0, len(gates) + 1], [q, q], color="black", linewidth=0.6)
                for column, (name, controls, targets) in enumerate(gates, start=1):
                    qubits = controls + targets
                    if qubits:
                        ax.plot([column, column], [min(qubits), max(qubits)], color="tab:blue", linewidth=0.8)
                    for q in controls:
                        ax.plot(column, q, "o", color="tab:blue", markersize=3)
                    for q in targets:
                        ax.text(column, q, name, ha="center", va="center", fontsize=5,
                                bbox={"boxstyle": "square,pad=0.2", "facecolor": "white", "edgecolor": "tab:blue"})
                ax.set_yticks(range(n), [f"q{q}" for q in range(n)])
                ax.set_xticks([])
                ax.set_ylim(-0.7, n - 0.3)
                ax.invert_yaxis()
                ax.set_title(f"{title} (circuit {index}, first {len(gates)} gates)", fontsize=8)
                fig.savefig(svg_path, format="svg")
            finally:
                plt.close(fig)
            diagrams.append(svg_path)
        return diagrams, qasm_files
