"""The closing lines of the Black-Scholes demonstration: what the option values it prints are.

The example prices a European call, whose value is never negative; the
finite-difference grid puts each value within some distance of the exact
price, so a value just below zero at the grid's low end is zero within that.
The distance is measured here against the closed-form price, not assumed.
"""
import json
import math
import os

import numpy as np
from scipy.special import ndtr


def call_price(S, K, r, sigma, T):
    """The closed-form Black-Scholes price of a European call (S may be an array)."""
    S = np.asarray(S, dtype=float)
    if T <= 0 or sigma <= 0:
        # No diffusion: the payoff of the discounted forward.
        return np.maximum(S - K * math.exp(-r * T), 0.0)
    root = sigma * math.sqrt(T)
    with np.errstate(divide="ignore"):
        d1 = (np.log(S / K) + (r + 0.5 * sigma ** 2) * T) / root
    return S * ndtr(d1) - K * math.exp(-r * T) * ndtr(d1 - root)


def setup_equation():
    """The equation of the setup.json beside the example, as its run reads it."""
    from ...equation_parser import parse_equation

    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "setup.json"), encoding="utf-8") as handle:
        return parse_equation(json.load(handle))


def summary_lines(result, eq):
    """Plain-ASCII lines saying what the values of ``result`` (a run of ``eq``) are."""
    lines = [f"Execution completed: {result['status']} ({result['message']})"]
    S, V = np.asarray(result["x"], dtype=float), np.asarray(result["u"], dtype=float)
    n_points = result["grid"]["n_points"]
    if not len(V):
        lines.append(f"No grid point lies below S = 2K (of {n_points} points)")
        return lines
    T = eq.get_common_coefficients()[1]
    K, r, sigma = eq.get_parameter("K"), eq.get_parameter("r"), eq.get_parameter("σ")
    error = float(np.max(np.abs(V - call_price(S, K, r, sigma, T))))
    low, high = float(V.min()), float(V.max())
    shown = 0.0 if low < 0 else low
    lines.append(f"European call values V at T = {T} on {len(V)} of {n_points} grid points, S = {S[0]:.4g} ... "
                 f"{S[-1]:.4g}: V = {shown:.4g} ... {high:.4g}, each within {error:.2g} of the closed-form "
                 f"Black-Scholes price")
    if low < 0:
        lines.append(f"(the lowest value computed, {low:.4g} at S = {S[int(V.argmin())]:.4g}, is 0 within that: "
                     f"a call is never worth less)")
    return lines
