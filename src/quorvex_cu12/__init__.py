"""Device add-on of quorvex.

`dravik` holds state vectors and runs gate chunks, measurements and sampling
on them. This build has no GPU: the module keeps the amplitudes in host memory
and runs the package's own state-vector kernels on them.
"""

# dravik runs on the core package's own copy of the OpenMP runtime, which
# takes its wait policy once, when it is first loaded. Loading the core
# package's native back end first starts that copy with the policy the back
# end chooses, whichever of the two a program imports first.
import quorvex.backend.pelmor  # noqa: E402,F401
