"""Device add-on of quorvex.

`dravik` holds state vectors and runs gate chunks, measurements and sampling
on them. This build has no GPU: the module keeps the amplitudes in host memory
and runs the package's own state-vector kernels on them.
"""

# dravik shares the process's OpenMP runtime, which takes its wait policy
# once, when it is first loaded. Loading the core package's native back end
# first starts that runtime with the policy the back end chooses (idle
# workers sleep unless the user set a policy), whichever of the two a
# program imports first.
import quorvex.backend.pelmor  # noqa: E402,F401
