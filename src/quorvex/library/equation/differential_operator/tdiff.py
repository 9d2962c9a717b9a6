"""Circuits for the time steps of finite-difference operators: the minimal
platform layer.

``TDiff(n=, dx=, order=)`` stands for the Dirichlet difference matrix on
N = 2**n grid points: D2 = second_order_derivative(N, dx) (order 2) or
C1 = first_order_derivative(N, dx, scheme="central") (order 1). ``c * TDiff``
scales it; ``data()`` is a pair whose entry 2 - order maps a time t to a
``Circuit(n)`` equal to exp(i t c D2) or exp(t c C1) up to O(t^3), global phase
included; the other entry is None.

The circuit splits the tridiagonal matrix into its even pairs (2m, 2m+1), one
rotation on qubit 0, and its odd pairs, the same rotation between a cyclic
decrement and increment of the index; the pair (N-1, 0) that the cyclic shift
adds is rotated back under qubits 1 ... n-1. A symmetric (Strang) product of
the two halves keeps the error at third order in t; a t that would turn a pair
by more than `MAX_PAIR_ANGLE` is split into as many equal steps as that takes.
"""

import math

# The largest angle by which one split step turns a pair of grid points.
MAX_PAIR_ANGLE = 0.2
# Beyond so many split steps a circuit would only be refused for its size later.
MAX_PARTS = 10_000


class TDiff:
    def __init__(self, *, n, dx, order, coefficient=1.0):
        if isinstance(n, bool) or not isinstance(n, int) or n < 1:
            raise ValueError(f"n must be an integer >= 1, got {n!r}")
        if order not in (1, 2):
            raise ValueError(f"order must be 1 or 2, got {order!r}")
        if not dx > 0:
            raise ValueError(f"dx must be positive, got {dx!r}")
        self.n = n
        self.dx = float(dx)
        self.order = order
        self.coefficient = coefficient

    def __rmul__(self, c):
        return TDiff(n=self.n, dx=self.dx, order=self.order, coefficient=c * self.coefficient)

    __mul__ = __rmul__

    def data(self):
        step = self._second_order_step if self.order == 2 else self._first_order_step
        return (step, None) if self.order == 2 else (None, step)

    def _second_order_step(self, t):
        # exp(i t c D2): a pair block (c/dx^2)[[-1, 1], [1, -1]] is
        # e^{-i theta} exp(i theta X) = gp(-theta) rx(-2 theta).
        theta = t * self.coefficient / self.dx ** 2
        return self._split(theta, lambda qc, angle, controls: _rotation(qc, "mcrx", -2 * angle, controls),
                           lambda qc, angle: qc.gp(-angle))

    def _first_order_step(self, t):
        # exp(t c C1): a pair block (c/(2 dx))[[0, 1], [-1, 0]] is ry(-2 theta).
        theta = t * self.coefficient / (2 * self.dx)
        return self._split(theta, lambda qc, angle, controls: _rotation(qc, "mcry", -2 * angle, controls),
                           lambda qc, angle: None)

    def _split(self, theta, rotate, phase):
        from quorvex.core import Circuit

        n = self.n
        qc = Circuit(n)
        # The splitting's error grows as the cube of a pair's angle: a long
        # step is taken as several, none turning a pair by more than the limit
        # (a drift of r = 1 over dt = 0.2 at nx = 8 turns it by 1.6: 5% off).
        parts = abs(theta) / MAX_PAIR_ANGLE
        if not parts <= MAX_PARTS:
            raise ValueError(f"a step of this operator turns a pair of grid points by {theta:.3g}: more than the "
                             f"{MAX_PARTS} steps of at most {MAX_PAIR_ANGLE} it may be split into; a shorter "
                             f"time or a coarser grid is needed")
        parts = max(1, math.ceil(parts - 1e-12))
        angle = theta / parts

        def even(share):
            rotate(qc, angle * share, [])
            phase(qc, angle * share)

        for _ in range(parts):
            even(0.5)
            _decrement(qc, n)
            rotate(qc, angle, [])
            # Undo the wrapped pair (N-1, 0), which sits on (N-2, N-1) after the
            # decrement. Its phase stays: it is the missing diagonal of both ends.
            rotate(qc, -angle, list(range(1, n)))
            phase(qc, angle)
            _increment(qc, n)
            even(0.5)
        return qc


def _rotation(qc, method, angle, controls):
    getattr(qc, method)(angle, controls, 0)


def _flip_if_all_lower_set(qc, n, q):
    # X on qubit q when qubits 0 ... q-1 are all 1, written as H . MCZ . H.
    if q == 0:
        qc.x(0)
        return
    qc.h(q)
    qc.mcz(controls=list(range(q)), target=q, control_state=[1] * q)
    qc.h(q)


def _increment(qc, n):
    for q in range(n - 1, -1, -1):
        _flip_if_all_lower_set(qc, n, q)


def _decrement(qc, n):
    for q in range(n):
        _flip_if_all_lower_set(qc, n, q)
