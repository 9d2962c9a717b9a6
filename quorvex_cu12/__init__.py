"""Device add-on of quorvex.

`dravik` holds state vectors and runs gate chunks, measurements and sampling
on them. This build has no GPU: the module keeps the amplitudes in host memory
and runs the package's own state-vector kernels on them.
"""
