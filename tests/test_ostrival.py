import numpy as np
import pytest
import scipy.linalg
import scipy.sparse as sp
from scipy.sparse.linalg import spsolve

from quorvex.library.equation.differential_operator import ostrival

N, DX, G1, G2 = 5, 0.5, 1.5, -2.5

# Interior stencils as diagonals; "second" is the second-order builder.
STENCILS = {
    "forward": ([-1, 1], [0, 1]),
    "backward": ([1, -1], [0, -1]),
    "central": ([0.5, -0.5], [1, -1]),
    "second": ([-2, 1, 1], [0, 1, -1]),
}


def _boundary_rows(scheme, boundary, A, b):
    """The boundary table: entries of A and b before the division by dx."""
    last = N - 1
    if boundary == "dirichlet":
        b[0], b[last] = {
            "forward": (0, G2),
            "backward": (-G1, 0),
            "central": (-G1 / 2, G2 / 2),
            "second": (G1, G2),
        }[scheme]
    elif boundary == "periodic":
        if scheme in ("forward", "second"):
            A[last, 0] = 1
        if scheme in ("backward", "second"):
            A[0, last] = -1 if scheme == "backward" else 1
        if scheme == "central":
            A[last, 0], A[0, last] = 0.5, -0.5
    elif boundary == "neumann":
        if scheme == "forward":
            A[last, last - 1], b[last] = 1, 2 * G2 * DX
        elif scheme == "backward":
            A[0, 1], b[0] = -1, 2 * G1 * DX
        elif scheme == "central":
            A[0, :] = A[last, :] = 0
            b[0], b[last] = G1 * DX, G2 * DX
        else:
            A[0, 1], A[last, last - 1] = 2, 2
            b[0], b[last] = -2 * G1 * DX, 2 * G2 * DX


def _build(scheme, n, dx, boundary, g1, g2):
    if scheme == "second":
        return ostrival.second_order_derivative(n, dx, boundary, g1, g2)
    return ostrival.first_order_derivative(n, dx, boundary, g1, g2, scheme)


# "Dirichlet" (capital D) is not a condition at all: the bare stencil remains.
@pytest.mark.parametrize("boundary", ["dirichlet", "periodic", "neumann", "Dirichlet"])
@pytest.mark.parametrize("scheme", list(STENCILS))
def test_matrix_and_load_follow_the_boundary_table(scheme, boundary):
    values, offsets = STENCILS[scheme]
    A = sp.diags(values, offsets, shape=(N, N), dtype=float).toarray()
    b = np.zeros(N)
    _boundary_rows(scheme, boundary, A, b)
    scale = DX ** 2 if scheme == "second" else DX

    got_A, got_b = _build(scheme, N, DX, boundary, G1, G2)

    assert isinstance(got_A, sp.csc_matrix) and got_A.dtype == np.float64
    np.testing.assert_array_equal(got_A.toarray(), A / scale)
    assert got_b.dtype == np.float64 and got_b.shape == (N,)
    np.testing.assert_array_equal(got_b, b / scale)


@pytest.mark.parametrize(
    "kwargs, same_as",
    [
        ({"boundary_condition": "my_dirichlet_grid"}, {"boundary_condition": "dirichlet"}),
        ({"boundary_condition": ["neumann", "dirichlet"]}, {"boundary_condition": "dirichlet"}),
        ({"boundary_condition": ["periodic"]}, {"boundary_condition": "none"}),
        ({"boundary_condition": "Periodic"}, {"boundary_condition": "none"}),
        ({"scheme": "upwind"}, {"scheme": "forward"}),
        ({"scheme": "Central"}, {"scheme": "forward"}),
    ],
)
def test_selectors(kwargs, same_as):
    base = dict(N=4, dx=0.5, g1=1, g2=3)
    A, b = ostrival.first_order_derivative(**base, **kwargs)
    A_ref, b_ref = ostrival.first_order_derivative(**base, **same_as)
    np.testing.assert_array_equal(A.toarray(), A_ref.toarray())
    np.testing.assert_array_equal(b, b_ref)


# (N, dx, x0): the six-point grid on (0, 0.7) is where the central Dirichlet
# ends used to come out as -9 and 14.5; two points make the ends neighbours.
GRIDS = [(2, 0.5, -1.0), (6, 0.1, 0.1), (9, 0.25, 3.0)]


# On one point both Dirichlet values are neighbours of the same point.
@pytest.mark.parametrize("boundary, grid", [(boundary, grid) for boundary in ("dirichlet", "neumann")
                                            for grid in GRIDS] + [("dirichlet", (1, 0.5, -1.0))])
@pytest.mark.parametrize("scheme", ["forward", "backward", "central", "second"])
def test_exact_on_polynomials_of_the_scheme_order(scheme, boundary, grid):
    n, dx, x0 = grid
    x = x0 + dx * np.arange(n)
    if scheme == "second":
        u, du, d2u = (lambda t: 2 * t**2 - t + 1), (lambda t: 4 * t - 1), 4.0
    else:
        u, du, d2u = (lambda t: 3 * t + 2), (lambda t: 3.0 + 0 * t), 3.0
    if boundary == "dirichlet":
        g1, g2 = u(x[0] - dx), u(x[-1] + dx)
    else:
        g1, g2 = du(x[0]), du(x[-1])

    A, b = _build(scheme, n, dx, boundary, g1, g2)

    np.testing.assert_allclose(A @ u(x) + b, np.full(n, d2u), rtol=1e-12, atol=1e-11)


@pytest.mark.parametrize(
    "scheme, stencil",
    [
        ("forward", lambda u, dx: (np.roll(u, -1) - u) / dx),
        ("backward", lambda u, dx: (u - np.roll(u, 1)) / dx),
        ("central", lambda u, dx: (np.roll(u, -1) - np.roll(u, 1)) / (2 * dx)),
        ("second", lambda u, dx: (np.roll(u, -1) - 2 * u + np.roll(u, 1)) / dx**2),
    ],
)
@pytest.mark.parametrize("n", [1, 2, 7])  # on one or two points the wrap-around meets the stencil
def test_periodic_wraps_around(scheme, stencil, n):
    u = np.random.default_rng(7).standard_normal(n)
    A, b = _build(scheme, n, 0.3, "periodic", 5, 5)
    np.testing.assert_allclose(A @ u + b, stencil(u, 0.3), rtol=1e-12, atol=1e-12)
    assert not b.any()


@pytest.mark.parametrize("scheme", ["forward", "backward", "central", "second"])
def test_neumann_on_one_point_raises(scheme):
    with pytest.raises(IndexError):
        _build(scheme, 1, 0.5, "neumann", 1, 1)


@pytest.mark.parametrize("bad", [None, 3])
def test_boundary_without_containment_test_raises(bad):
    with pytest.raises(TypeError):
        ostrival.first_order_derivative(4, 0.5, bad)
    with pytest.raises(TypeError):
        ostrival.second_order_derivative(4, 0.5, bad)


@pytest.mark.parametrize("n, a, b", [(1, 0, 1), (2, 0, 1), (3, -1.0, 3.0)])
def test_compact_periodic_second_difference(n, a, b):
    size = 2**n
    expected = -2 * np.eye(size) + np.eye(size, k=1) + np.eye(size, k=-1)
    # On two points the periodic corners are the off-diagonals, not added to them.
    expected[0, -1] = expected[-1, 0] = 1
    got = ostrival.generate_compact_p_2_normal(n, a, b)
    assert got.dtype == np.complex128 and got.shape == (size, size)
    np.testing.assert_array_equal(got, expected / ((b - a) / size) ** 2)


# ---------------------------------------------------------------- pre_processing


@pytest.fixture
def system():
    def make(n, dense=False):
        A, _ = ostrival.second_order_derivative(n, 0.5)
        A = A.toarray() if dense else A
        return A, np.linspace(1.0, 2.0, n)

    return make


@pytest.mark.parametrize("b", [None, np.zeros(8), np.full(3, 1e-12)])
def test_without_load_an_eight_point_system_is_returned_as_given(system, b):
    A, u0 = system(8)
    dim, A2, u2 = ostrival.pre_processing(A, u0, b)
    assert dim == 8 and A2 is A and u2 is u0


@pytest.mark.parametrize("n, size", [(3, 8), (4, 8)])
def test_load_is_folded_into_the_state(system, n, size):
    A, u0 = system(n)
    b = np.arange(1.0, n + 1)
    dim, H, w = ostrival.pre_processing(A, u0, b, scale_b=4)

    expected = np.zeros((size, size))
    expected[:n, :n] = A.toarray()
    expected[:n, n : 2 * n] = 4 * np.eye(n)
    assert dim == n and isinstance(H, sp.csc_matrix)
    np.testing.assert_array_equal(H.toarray(), expected)
    np.testing.assert_array_equal(w, np.concatenate((u0, b / 4, np.zeros(size - 2 * n))))


def test_sparse_matrix_is_padded_in_place(system):
    A, u0 = system(5)
    before = A.toarray()
    dim, A2, u2 = ostrival.pre_processing(A, u0)
    assert dim == 5 and A2 is A and A.shape == (8, 8)
    np.testing.assert_array_equal(A.toarray()[:5, :5], before)
    assert A.toarray()[5:].sum() == 0 and A.toarray()[:, 5:].sum() == 0
    np.testing.assert_array_equal(u2, np.concatenate((u0, np.zeros(3))))


def test_dense_matrix_is_padded_into_a_new_array(system):
    A, u0 = system(5, dense=True)
    before = A.copy()
    _, A2, _ = ostrival.pre_processing(A, u0)
    assert A2.shape == (8, 8) and A2.dtype == A.dtype
    np.testing.assert_array_equal(A2[:5, :5], before)
    assert not A2[5:].any() and not A2[:, 5:].any()
    np.testing.assert_array_equal(A, before)


def test_single_point_is_already_a_power_of_two():
    A, u0 = sp.csc_matrix([[2.0]]), np.array([1.0])
    dim, A2, u2 = ostrival.pre_processing(A, u0)
    assert dim == 1 and A2 is A and u2 is u0 and A.shape == (1, 1)


@pytest.mark.parametrize(
    "shape, n_u, b, scale_b, message",
    [
        # a non-square A with the wrong row count reports the u0 mismatch first
        ((3, 4), 2, None, 1, "The dimension of A does not match the dimension of u0"),
        ((3, 4), 3, None, 1, "The matrix A is not square"),
        ((3, 3), 3, np.ones(2), 1, "The dimension of b does not match the dimension of A"),
    ],
)
def test_pre_processing_errors_in_order(shape, n_u, b, scale_b, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        ostrival.pre_processing(sp.csc_matrix(shape), np.ones(n_u), b, scale_b)


@pytest.mark.parametrize("n, scale_b", [(3, 1), (5, 0.25), (4, 3)])
def test_homogenised_exponential_matches_closed_form(n, scale_b):
    A, _ = ostrival.second_order_derivative(n, 0.5, g1=1, g2=2)
    rng = np.random.default_rng(n)
    u0, b, T = rng.standard_normal(n), rng.standard_normal(n), 0.3

    dim, H, w = ostrival.pre_processing(A, u0, b, scale_b)
    u = ostrival.matrix_exponential(H, w, T)

    E = scipy.linalg.expm(A.toarray() * T)
    expected = E @ u0 + np.linalg.solve(A.toarray(), (E - np.eye(n)) @ b)
    np.testing.assert_allclose(u[:dim], expected, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(u[dim : 2 * dim], b / scale_b, rtol=1e-12)
    assert not u[2 * dim :].any()


# ------------------------------------------------------------- time evolution


@pytest.fixture
def heat():
    A, _ = ostrival.second_order_derivative(6, 0.25)
    return A, np.sin(np.linspace(0.3, 2.8, 6))


def _drift(n, seed, fmt):
    # Non-symmetric, complex, big enough for the solver to reorder and pivot.
    rng = np.random.default_rng(seed)
    A = sp.random(n, n, density=0.3, random_state=seed) + 1j * sp.random(
        n, n, density=0.2, random_state=seed + 1)
    A = (A + 2 * sp.eye(n)).asformat(fmt)
    return A, rng.standard_normal(n)


def _spsolve_loop(A, u0, dt, steps):
    states = [np.array(u0)]
    for _ in range(steps):
        states.append(spsolve(sp.identity(len(u0)) - A * dt, states[-1]))
    return states


@pytest.mark.parametrize(
    "T, dt, steps",
    [
        (1, 0.3, 3),  # stops at 0.9
        (0.2, None, 6),  # default dt = 1 / max(A) / 2 = 1/32
        (0.1, 0.3, 0),
    ],
)
@pytest.mark.parametrize("complex_state", [False, True])
def test_backward_euler_matches_a_sparse_solve_per_step(heat, T, dt, steps, complex_state):
    A, u0 = heat
    if complex_state:
        u0 = u0 + 1j * u0[::-1]
    states = _spsolve_loop(A, u0, 1 / 32 if dt is None else dt, steps)

    final = ostrival.matrix_exponential(A, u0, T, implicit=True, dt=dt)
    path = ostrival.matrix_exponential_fulltime(A, u0, T, dt=dt)

    np.testing.assert_array_equal(final, np.real(states[-1]))
    assert path.shape == (steps + 1, len(u0)) and not np.iscomplexobj(path)
    np.testing.assert_array_equal(path, np.real(np.array(states)))


@pytest.mark.parametrize("n, fmt", [(17, "csc"), (40, "csr"), (100, "csc")])
def test_backward_euler_is_bit_identical_for_general_systems(n, fmt):
    A, u0 = _drift(n, n, fmt)
    states = _spsolve_loop(A, u0, 0.1, 10)
    np.testing.assert_array_equal(
        ostrival.matrix_exponential(A, u0, 1.05, implicit=True, dt=0.1), np.real(states[-1]))
    np.testing.assert_array_equal(
        ostrival.matrix_exponential_fulltime(A, u0, 1.05, dt=0.1), np.real(np.array(states)))


def test_zero_steps_return_a_copy(heat):
    A, u0 = heat
    out = ostrival.matrix_exponential(A, u0, 0.01, implicit=True, dt=0.3)
    assert out is not u0 and not np.shares_memory(out, u0)
    np.testing.assert_array_equal(out, u0)


@pytest.mark.parametrize(
    "T, dt, message",
    [
        (1, 0, "time step dt"),
        (1, -0.1, "time step dt"),
        (1, np.nan, "time step dt"),
        (1, np.inf, "time step dt"),
        (-1, 0.1, "end time T"),
        (-0.05, 0.1, "end time T"),
    ],
)
def test_euler_refuses_steps_that_go_nowhere(heat, T, dt, message):
    A, u0 = heat
    with pytest.raises(ValueError, match=message):
        ostrival.matrix_exponential(A, u0, T, implicit=True, dt=dt)
    with pytest.raises(ValueError, match=message):
        ostrival.matrix_exponential_fulltime(A, u0, T, dt=dt)


@pytest.mark.parametrize("A", [-sp.eye(3, format="csc"), sp.csc_matrix((3, 3))])
def test_default_step_needs_a_positive_entry(A):
    with pytest.raises(ValueError, match="1/max"):
        ostrival.matrix_exponential(A, np.ones(3), implicit=True)
    with pytest.raises(ValueError, match="1/max"):
        ostrival.matrix_exponential_fulltime(A, np.ones(3))


def test_exponential_ignores_dt_and_drops_the_imaginary_part(heat):
    A, u0 = heat
    A = 1j * A
    out = ostrival.matrix_exponential(A, u0, 0.4, dt=0)
    expected = scipy.linalg.expm(A.toarray() * 0.4) @ u0
    assert not np.iscomplexobj(out)
    np.testing.assert_allclose(out, expected.real, rtol=1e-10, atol=1e-12)
