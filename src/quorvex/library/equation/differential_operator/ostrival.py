# Finite-difference operators on a uniform 1-D grid and the classical time
# evolution of du/dt = A u + b.
#
# An operator is returned as the affine map u -> A u + b: the boundary values
# enter through the load vector b, never through extra grid points. For a
# Dirichlet condition g1 / g2 are the function values one spacing before the
# first and after the last grid point; for a Neumann condition they are the
# derivatives at the first and last grid point, imposed through a mirror point.
import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import expm_multiply, spsolve


def _require_two_points(N):
    # The mirror point of a Neumann condition is a neighbour of the end point.
    # NumPy would wrap index -1 around on a one-point grid instead of failing.
    if N < 2:
        raise IndexError("a Neumann condition needs at least two grid points")


def first_order_derivative(N, dx, boundary_condition="dirichlet", g1=0, g2=0, scheme="forward"):
    A = -np.identity(N) + np.eye(N, k=1)
    b = np.zeros(N)
    dirichlet = "dirichlet" in boundary_condition

    # Forward differences only reach past the right end. The wrap-around
    # coupling is added: on a one-point grid it falls on the diagonal, and
    # the difference of a point with itself is 0.
    if dirichlet:
        b[N - 1] = g2
    elif boundary_condition == "periodic":
        A[N - 1, 0] += 1
    elif boundary_condition == "neumann":
        _require_two_points(N)
        A[N - 1, N - 2] = 1
        b[N - 1] = 2 * g2 * dx

    if scheme == "backward":
        # The negated transpose turns the forward stencil into the backward
        # one and carries a periodic wrap-around entry to row 0.
        A = -A.T
        if dirichlet:
            # Only the left value enters. On a one-point grid b[0] is also
            # b[N-1], so the forward value is cleared before, not after.
            b[N - 1] = 0
            b[0] = -g1
        elif boundary_condition == "neumann":
            # Drop the forward mirror terms of the right end first: on a
            # two-point grid row N-2 is row 0, which gets its own mirror next.
            A[N - 2, N - 1] = 0
            b[N - 1] = 0
            A[0, 1] = -1
            b[0] = 2 * g1 * dx
    elif scheme == "central":
        A = (A - A.T) / 2
        if dirichlet:
            # The stencil halves the outside neighbour just like the inside
            # one. A one-point grid has both boundaries as neighbours of its
            # single point, so there the two values meet in b[0].
            b[0] = -g1 / 2
            if N > 1:
                b[N - 1] = g2 / 2
            else:
                b[0] += g2 / 2
        elif boundary_condition == "neumann":
            # The end rows state the prescribed derivative directly.
            A[N - 2, N - 1] = 0.5
            A[0, 1] = 0
            b[0] = g1 * dx
            b[N - 1] = g2 * dx

    return sp.csc_matrix(A) / dx, b / dx


def second_order_derivative(N, dx, boundary_condition="dirichlet", g1=0, g2=0):
    A = -2 * np.identity(N) + np.eye(N, k=1) + np.eye(N, k=-1)
    b = np.zeros(N)

    # On a grid of one or two points the two ends, or an end and its
    # wrap-around neighbour, share entries: the wrap-around couplings are
    # added to the stencil, and a one-point grid gets both boundary values.
    if "dirichlet" in boundary_condition:
        b[0] = g1
        if N > 1:
            b[N - 1] = g2
        else:
            b[0] += g2
    if boundary_condition == "periodic":
        A[0, N - 1] += 1
        A[N - 1, 0] += 1
    elif boundary_condition == "neumann":
        _require_two_points(N)
        A[0, 1] = 2
        A[N - 1, N - 2] = 2
        b[0] = -2 * g1 * dx
        b[N - 1] = 2 * g2 * dx

    dx2 = dx ** 2
    return sp.csc_matrix(A) / dx2, b / dx2


def pre_processing(A, u0, b=None, scale_b=1):
    dim = np.shape(u0)[0]
    if A.shape[0] != dim:
        raise ValueError("The dimension of A does not match the dimension of u0")
    if A.shape[0] != A.shape[1]:
        raise ValueError("The matrix A is not square")

    if b is not None and not np.allclose(b, 0):
        if A.shape[0] != len(b):
            raise ValueError("The dimension of b does not match the dimension of A")
        # The load becomes a constant part of the state: [u; b/s] evolves
        # under [[A, s I], [0, 0]].
        u0 = np.concatenate((u0, b / scale_b))
        A = sp.hstack([A, scale_b * sp.eye(dim)])
        A.resize(2 * dim, 2 * dim)
        A = sp.csc_matrix(A)

    rows = A.shape[0]
    if np.log2(rows) % 1 != 0:
        size = 2 ** (int(np.log2(rows)) + 1)
        if isinstance(A, np.ndarray):
            # ndarray.resize reflows the entries in memory order (and refuses
            # arrays that are referenced elsewhere), so pad into a new array.
            padded = np.zeros((size, size), dtype=A.dtype)
            padded[:rows, :rows] = A
            A = padded
        else:
            # Sparse resize keeps every entry at its index.
            A.resize(size, size)
        u0 = np.concatenate((u0, np.zeros(size - len(u0))))

    return dim, A, u0


def _backward_euler(A, u0, T, dt):
    # Yields the initial state and the state after each step.
    u = np.array(u0)
    if dt is None:
        peak = A.max()
        if not peak > 0:
            raise ValueError(
                f"The default time step 1/max(A)/2 needs a positive largest entry of A, got {peak}")
        dt = 1 / peak / 2
    # A step that is not finite and positive, or an end time before the
    # start, would run no step at all and pass u0 off as the state at T.
    if not (np.isfinite(dt) and dt > 0):
        raise ValueError(f"The time step dt must be finite and positive, got {dt}")
    if T < 0:
        raise ValueError(f"The end time T must not be negative, got {T}")
    steps = int(T / dt)

    yield u
    if steps > 0:
        M = sp.identity(len(u)) - A * dt
        for _ in range(steps):
            u = spsolve(M, u)
            yield u


def matrix_exponential(A, u0, T=1, implicit=False, dt=None):
    if not implicit:
        return np.real(expm_multiply(A * T, u0))
    for u in _backward_euler(A, u0, T, dt):
        pass
    return np.real(u)


def matrix_exponential_fulltime(A, u0, T=1, dt=None):
    return np.real(np.array(list(_backward_euler(A, u0, T, dt))))


def generate_compact_p_2_normal(n, a, b):
    size = 2 ** n
    matrix = np.zeros((size, size), dtype=np.complex128)
    np.fill_diagonal(matrix[1:], 1)
    np.fill_diagonal(matrix[:, 1:], 1)
    np.fill_diagonal(matrix, -2)
    # Periodic closure; on two points the corners are the off-diagonals.
    matrix[0, size - 1] = 1
    matrix[size - 1, 0] = 1
    delta_z = (b - a) / 2 ** n
    return matrix / delta_z ** 2
