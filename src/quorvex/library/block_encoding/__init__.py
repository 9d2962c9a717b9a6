"""Block encoding of matrices: the minimal platform layer.

``block_encode(matrix, method="dorrin")`` embeds a matrix in a unitary circuit
and returns an object with that ``circuit`` and the normalisation ``alpha``
(the circuit's top-left block is matrix / alpha).
"""
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class BlockEncoding:
    circuit: Any
    alpha: float


def block_encode(matrix, method="dorrin"):
    if method != "dorrin":
        raise ValueError(f"unknown block-encoding method {method!r}; the available method is 'dorrin'")
    # Imported here so that loading this package needs no circuit class.
    from quorvex.library.block_encoding.dorrin.dorrin import Dorrin

    circuit, alpha, _logn, _unitary = Dorrin().encode(matrix)
    return BlockEncoding(circuit=circuit, alpha=alpha)


__all__ = ["BlockEncoding", "block_encode"]
