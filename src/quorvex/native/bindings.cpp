// Python face of the state-vector kernels: argument conversion, the argument
// checks with their messages, the choice of precision, and the 32 functions
// in the order the module exposes them. The kernels themselves live in
// kernels/ and know nothing of Python.
#include <omp.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "kernels/kernels.hpp"
#include "kernels/table.hpp"
#include "kernels/walk.hpp"
#include "registration.hpp"

namespace py = pybind11;

namespace quorvex::kernels {
namespace {

using Index = std::vector<std::int64_t>;
using State64 = py::array_t<c64, py::array::c_style>;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

bool in_range(std::int64_t q, std::int64_t n) { return q >= 0 && q < n; }

// ------------------------------------------------------------------ checks

// Shape, layout, writability and size of a state vector against n. The
// converting complex64 state type is contiguous by construction.
void check_state(std::int64_t n, const py::array& state) {
    if (state.ndim() != 1) fail("state must be 1D");
    if (!(state.flags() & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_))
        fail("state must be C-contiguous");
    if (!state.writeable()) fail("state must be writable");
    if (n < 1 || n > 62) fail("n must be in range [1, 62]");
    if (state.size() != (py::ssize_t{1} << n)) fail("state size must be equal to 2**n");
}

void check_control_lengths(const Index& controls, const Index& values) {
    if (controls.size() != values.size())
        fail("control_indices and control_sequence must have the same length");
}

// Big-endian functions make the same checks, except that any control value
// other than 1 stands for 0, so only the little-endian ones check the values.
void validate_single_target_args(std::int64_t n, const py::array& state, const Index& controls,
                                 const Index& values, std::int64_t target,
                                 bool values_must_be_binary) {
    check_state(n, state);
    check_control_lengths(controls, values);
    if (!in_range(target, n)) fail("target_index out of range");
    for (std::size_t i = 0; i < controls.size(); ++i) {
        if (!in_range(controls[i], n)) fail("control index out of range");
        if (controls[i] == target) fail("target_index cannot also be a control index");
        if (values_must_be_binary && values[i] != 0 && values[i] != 1)
            fail("control_sequence must contain only 0 or 1");
    }
}

// SWAP entry points: two targets in range (further entries are ignored). In
// little-endian order a control may sit on a target, which then either is
// already satisfied or selects nothing; the big-endian swap refuses it, as
// the other big-endian functions do.
void validate_swap_args(std::int64_t n, const py::array& state, const Index& controls,
                        const Index& values, const Index& targets,
                        bool control_on_target_allowed) {
    check_state(n, state);
    check_control_lengths(controls, values);
    if (targets.size() < 2 || !in_range(targets[0], n) || !in_range(targets[1], n))
        fail("target_indices must hold two qubit indices in range [0, n)");
    for (std::size_t i = 0; i < controls.size(); ++i) {
        if (!in_range(controls[i], n)) fail("control index out of range");
        if (!control_on_target_allowed && (controls[i] == targets[0] || controls[i] == targets[1]))
            fail("target_index cannot also be a control index");
    }
}

void validate_unitary_args(std::int64_t n, const py::array& state, const Index& controls,
                           const Index& values, const Index& targets, const py::array& matrix) {
    check_state(n, state);
    check_control_lengths(controls, values);
    const auto t = static_cast<std::int64_t>(targets.size());
    if (t < 1 || t > 62) fail("target_indices size must be in range [1, 62]");
    const py::ssize_t dim = py::ssize_t{1} << t;
    if (matrix.ndim() != 2 || matrix.shape(0) != dim || matrix.shape(1) != dim)
        fail("matrix shape must be (2**num_targets, 2**num_targets)");
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (!in_range(targets[i], n)) fail("target index out of range");
        for (std::size_t j = 0; j < i; ++j)
            if (targets[j] == targets[i]) fail("duplicate qubit index");
    }
    for (std::size_t i = 0; i < controls.size(); ++i) {
        if (!in_range(controls[i], n)) fail("control index out of range");
        if (values[i] != 0 && values[i] != 1) fail("control_sequence must contain only 0 or 1");
        bool clash = false;
        for (const std::int64_t q : targets) clash = clash || q == controls[i];
        for (std::size_t j = 0; j < i; ++j) clash = clash || controls[j] == controls[i];
        if (clash) fail("control index cannot also be a target or duplicate control");
    }
}

// ------------------------------------------------------- precision dispatch

enum class Precision { f32, f64 };

// NumPy's own descriptor of a builtin type; the reference is kept, as NumPy
// keeps these for the life of the process.
PyObject* builtin_descr(int typenum) {
    PyObject* descr = py::detail::npy_api::get().PyArray_DescrFromType_(typenum);
    if (descr == nullptr) throw py::error_already_set();
    return descr;
}

// The dtype descriptor must be NumPy's own complex64 or complex128 object, so
// a byte-swapped complex array is refused rather than misread.
Precision precision_of(const py::array& state) {
    static PyObject* const c64_descr = builtin_descr(py::detail::npy_api::NPY_CFLOAT_);
    static PyObject* const c128_descr = builtin_descr(py::detail::npy_api::NPY_CDOUBLE_);
    const PyObject* descr = py::detail::array_proxy(state.ptr())->descr;
    if (descr == c64_descr) return Precision::f32;
    if (descr == c128_descr) return Precision::f64;
    fail("unsupported state dtype: expected np.complex64 or np.complex128");
}

template <class C>
C* amplitudes(py::array& state) {
    return static_cast<C*>(state.mutable_data());
}

// --------------------------------------------------- single-target family

// A gate's kernel wrapper in one precision; Extra is what follows the target
// (nothing or an angle).
template <class C, class... Extra>
using Wrapper = void (*)(std::int64_t, C*, std::int64_t, const std::int64_t*, const std::int64_t*,
                         std::int64_t, std::int64_t, Extra..., bool);

py::array run_fixed(Wrapper<c64> f32, Wrapper<c128> f64, std::int64_t n, py::array state,
                    const Index& controls, const Index& values, std::int64_t target,
                    bool runopenmp) {
    validate_single_target_args(n, state, controls, values, target, true);
    const auto size = static_cast<std::int64_t>(state.size());
    const auto k = static_cast<std::int64_t>(controls.size());
    if (precision_of(state) == Precision::f32)
        f32(n, amplitudes<c64>(state), size, controls.data(), values.data(), k, target,
            runopenmp);
    else
        f64(n, amplitudes<c128>(state), size, controls.data(), values.data(), k, target,
            runopenmp);
    return state;
}

py::array run_angle(Wrapper<c64, float> f32, Wrapper<c128, double> f64, std::int64_t n,
                    py::array state, const Index& controls, const Index& values,
                    std::int64_t target, double angle, bool runopenmp) {
    validate_single_target_args(n, state, controls, values, target, true);
    const auto size = static_cast<std::int64_t>(state.size());
    const auto k = static_cast<std::int64_t>(controls.size());
    if (precision_of(state) == Precision::f32)
        f32(n, amplitudes<c64>(state), size, controls.data(), values.data(), k, target,
            static_cast<float>(angle), runopenmp);
    else
        f64(n, amplitudes<c128>(state), size, controls.data(), values.data(), k, target, angle,
            runopenmp);
    return state;
}

py::array u_little(std::int64_t n, py::array state, const Index& controls, const Index& values,
                   std::int64_t target, const std::vector<double>& parameters, bool runopenmp) {
    validate_single_target_args(n, state, controls, values, target, true);
    const Precision precision = precision_of(state);
    if (parameters.size() != 3) fail("u_little parameter must have size 3");
    const auto size = static_cast<std::int64_t>(state.size());
    const auto k = static_cast<std::int64_t>(controls.size());
    if (precision == Precision::f32) {
        const float angles[3] = {static_cast<float>(parameters[0]),
                                 static_cast<float>(parameters[1]),
                                 static_cast<float>(parameters[2])};
        apply_u_little_f32(n, amplitudes<c64>(state), size, controls.data(), values.data(), k,
                           target, angles, runopenmp);
    } else {
        apply_u_little_f64(n, amplitudes<c128>(state), size, controls.data(), values.data(), k,
                           target, parameters.data(), runopenmp);
    }
    return state;
}

// ------------------------------------------------------- SWAP and unitary

// Converting a matrix may run Python code (an entry's __complex__) that
// resizes the state or changes its dtype: check it again before the kernel
// runs. Returns the amplitude count.
std::int64_t recheck_state(std::int64_t n, const py::array& state, Precision expected) {
    check_state(n, state);
    if (precision_of(state) != expected)
        fail("unsupported state dtype: expected np.complex64 or np.complex128");
    return static_cast<std::int64_t>(state.size());
}

py::array unitary_little(std::int64_t n, py::array state, const Index& controls,
                         const Index& values, const Index& targets, const py::array& matrix,
                         bool runopenmp) {
    validate_unitary_args(n, state, controls, values, targets, matrix);
    const auto k = static_cast<std::int64_t>(controls.size());
    const auto t = static_cast<std::int64_t>(targets.size());
    // Forced cast to the state's precision; NumPy copies only when the
    // matrix is not already of that type and layout, and never writes it.
    constexpr int layout = py::array::c_style | py::array::forcecast;
    if (precision_of(state) == Precision::f32) {
        const py::array_t<c64, layout> m(matrix);
        const auto size = recheck_state(n, state, Precision::f32);
        apply_unitary_little_f32(n, amplitudes<c64>(state), size, controls.data(), values.data(),
                                 k, targets.data(), t, m.data(), m.shape(0), runopenmp);
    } else {
        const py::array_t<c128, layout> m(matrix);
        const auto size = recheck_state(n, state, Precision::f64);
        apply_unitary_little_f64(n, amplitudes<c128>(state), size, controls.data(),
                                 values.data(), k, targets.data(), t, m.data(), m.shape(0),
                                 runopenmp);
    }
    return state;
}

py::array swap_little(std::int64_t n, py::array state, const Index& controls,
                      const Index& values, const Index& targets, bool runopenmp) {
    validate_swap_args(n, state, controls, values, targets, true);
    const auto size = static_cast<std::int64_t>(state.size());
    const auto k = static_cast<std::int64_t>(controls.size());
    if (precision_of(state) == Precision::f32)
        apply_swap_little_f32(n, amplitudes<c64>(state), size, controls.data(), values.data(), k,
                              targets.data(), runopenmp);
    else
        apply_swap_little_f64(n, amplitudes<c128>(state), size, controls.data(), values.data(),
                              k, targets.data(), runopenmp);
    return state;
}

// Little-endian complex64 SWAP; with runopenmp the parallel loop runs whatever
// the size and the number of threads.
State64 test(std::int64_t n, State64 state, const Index& controls, const Index& values,
             const Index& targets, bool runopenmp) {
    validate_swap_args(n, state, controls, values, targets, true);
    const auto size = static_cast<std::int64_t>(state.size());
    const auto k = static_cast<std::int64_t>(controls.size());
    c64* a = state.mutable_data();
    if (runopenmp)
        apply_swap_little_f32_parallel(a, size, controls.data(), values.data(), k,
                                       targets.data());
    else
        apply_swap_little_f32_serial(a, size, controls.data(), values.data(), k, targets.data());
    return state;
}

// ------------------------------------------------------ big-endian family

template <class... Extra>
struct BigLoops {
    using Loop = void (*)(std::int64_t, c64*, const std::int64_t*, const std::int64_t*,
                          std::int64_t, std::int64_t, Extra...);
    Loop serial;
    Loop parallel;

    State64 operator()(std::int64_t n, State64 state, const Index& controls, const Index& values,
                       std::int64_t target, bool runopenmp, Extra... extra) const {
        validate_single_target_args(n, state, controls, values, target, false);
        const auto k = static_cast<std::int64_t>(controls.size());
        const Loop loop =
            use_parallel(single_target_exponent(n, k), kBigEndianThreshold, runopenmp)
                ? parallel
                : serial;
        loop(n, state.mutable_data(), controls.data(), values.data(), k, target, extra...);
        return state;
    }
};

State64 swap_big(std::int64_t n, State64 state, const Index& controls, const Index& values,
                 const Index& targets, bool) {
    validate_swap_args(n, state, controls, values, targets, false);
    apply_swap_big_f32_serial(n, state.mutable_data(), controls.data(), values.data(),
                              static_cast<std::int64_t>(controls.size()), targets.data());
    return state;
}

// ------------------------------------------------------------ registration

void def_fixed(py::module_& m, const char* name, const char* doc, Wrapper<c64> f32,
               Wrapper<c128> f64) {
    m.def(
        name,
        [f32, f64](std::int64_t n, py::array state, const Index& controls, const Index& values,
                   std::int64_t target, bool runopenmp) {
            return run_fixed(f32, f64, n, std::move(state), controls, values, target, runopenmp);
        },
        doc, py::arg("n"), py::arg("state").noconvert(), py::arg("control_indices"),
        py::arg("control_sequence"), py::arg("target_index"), py::arg("runopenmp") = true);
}

void def_angle(py::module_& m, const char* name, const char* doc, Wrapper<c64, float> f32,
               Wrapper<c128, double> f64) {
    m.def(
        name,
        [f32, f64](std::int64_t n, py::array state, const Index& controls, const Index& values,
                   std::int64_t target, double parameter, bool runopenmp) {
            return run_angle(f32, f64, n, std::move(state), controls, values, target, parameter,
                             runopenmp);
        },
        doc, py::arg("n"), py::arg("state").noconvert(), py::arg("control_indices"),
        py::arg("control_sequence"), py::arg("target_index"), py::arg("parameter"),
        py::arg("runopenmp") = true);
}

void def_big_fixed(py::module_& m, const char* name, const char* doc, BigLoops<> loops) {
    m.def(
        name,
        [loops](std::int64_t n, State64 state, const Index& controls, const Index& values,
                std::int64_t target, bool runopenmp) {
            return loops(n, std::move(state), controls, values, target, runopenmp);
        },
        doc, py::arg("n"), py::arg("state"), py::arg("control_indices"), py::arg("control_sequence"),
        py::arg("target_index"), py::arg("runopenmp") = true);
}

void def_big_angle(py::module_& m, const char* name, const char* doc, BigLoops<float> loops) {
    m.def(
        name,
        [loops](std::int64_t n, State64 state, const Index& controls, const Index& values,
                std::int64_t target, float parameter, bool runopenmp) {
            return loops(n, std::move(state), controls, values, target, runopenmp, parameter);
        },
        doc, py::arg("n"), py::arg("state"), py::arg("control_indices"), py::arg("control_sequence"),
        py::arg("target_index"), py::arg("parameter"), py::arg("runopenmp") = true);
}

#define QUORVEX_BIG(g) BigLoops<>{apply_##g##_big_f32_serial, apply_##g##_big_f32_parallel}
#define QUORVEX_BIG_ANGLE(g) \
    BigLoops<float>{apply_##g##_big_f32_serial, apply_##g##_big_f32_parallel}

}  // namespace

// What every little-endian gate function does, after its own first line.
#define QUORVEX_LITTLE_DOC                                                                       \
    "\n\nApplies the gate in place to `state`, a 1-D C-contiguous complex64 or complex128 "     \
    "array of 2**n amplitudes in which qubit q is bit q of the index, and returns it. The "       \
    "gate acts where every qubit of control_indices equals its value in control_sequence. "      \
    "With runopenmp a large gate runs on the OpenMP threads; the result is the same bits."
#define QUORVEX_BIG_DOC                                                                          \
    "\n\nApplies the gate in place to a complex64 state of 2**n amplitudes in big-endian "      \
    "order (qubit q is bit n-1-q of the index) and returns it; a control acts on 1."

void register_functions(py::module_& m) {
    struct Little {
        const char* name;
        const char* doc;
        Wrapper<c64> f32;
        Wrapper<c128> f64;
    };
    struct LittleAngle {
        const char* name;
        const char* doc;
        Wrapper<c64, float> f32;
        Wrapper<c128, double> f64;
    };
#define QUORVEX_LITTLE(g, first) \
    {#g "_little", first QUORVEX_LITTLE_DOC, apply_##g##_little_f32, apply_##g##_little_f64}
    static constexpr Little little_fixed[] = {
        QUORVEX_LITTLE(x, "Pauli X on target_index."),
        QUORVEX_LITTLE(h, "Hadamard on target_index."),
        QUORVEX_LITTLE(z, "Pauli Z on target_index."),
        QUORVEX_LITTLE(y, "Pauli Y on target_index."),
        QUORVEX_LITTLE(s, "S = diag(1, i) on target_index."),
        QUORVEX_LITTLE(sdag, "S dagger = diag(1, -i) on target_index."),
        QUORVEX_LITTLE(sqrtx, "Square root of X on target_index."),
        QUORVEX_LITTLE(sqrtxdag, "Inverse square root of X on target_index."),
        QUORVEX_LITTLE(sqrty, "Square root of Y on target_index."),
        QUORVEX_LITTLE(sqrtydag, "Inverse square root of Y on target_index."),
    };
    static constexpr LittleAngle little_angle[] = {
        QUORVEX_LITTLE(phase, "diag(1, exp(i parameter)) on target_index."),
        QUORVEX_LITTLE(rx, "exp(-i parameter X / 2) on target_index."),
        QUORVEX_LITTLE(ry, "exp(-i parameter Y / 2) on target_index."),
        QUORVEX_LITTLE(rz, "exp(-i parameter Z / 2) on target_index."),
    };
#undef QUORVEX_LITTLE
    for (const Little& g : little_fixed) def_fixed(m, g.name, g.doc, g.f32, g.f64);
    for (const LittleAngle& g : little_angle) def_angle(m, g.name, g.doc, g.f32, g.f64);
    m.def("u_little", &u_little,
          "U3(theta, phi, lambda) on target_index, parameters = (theta, phi, lambda)." QUORVEX_LITTLE_DOC,
          py::arg("n"), py::arg("state").noconvert(), py::arg("control_indices"),
          py::arg("control_sequence"), py::arg("target_index"), py::arg("parameters"),
          py::arg("runopenmp") = true);
    m.def("unitary_little", &unitary_little,
          "A dense 2**k x 2**k matrix on the k target_indices; bit i of its row and column "
          "index is qubit target_indices[i]." QUORVEX_LITTLE_DOC,
          py::arg("n"), py::arg("state").noconvert(), py::arg("control_indices"),
          py::arg("control_sequence"), py::arg("target_indices"), py::arg("matrix"),
          py::arg("runopenmp") = true);
    m.def("swap_little", &swap_little,
          "SWAP of the two target_indices; the same qubit twice does nothing." QUORVEX_LITTLE_DOC,
          py::arg("n"), py::arg("state").noconvert(), py::arg("control_indices"),
          py::arg("control_sequence"), py::arg("target_indices"), py::arg("runopenmp") = true);
    m.def("test", &test,
          "SWAP of the two target_indices on a complex64 state, little-endian, without the "
          "vector paths: a reference for the kernels.",
          py::arg("n"), py::arg("state"), py::arg("control_indices"),
          py::arg("control_sequence"), py::arg("target_indices"), py::arg("runopenmp"));
    m.def("openmp_enabled", [] { return true; }, "True: the kernels are built with OpenMP.");
    m.def("max_threads", [] { return omp_get_max_threads(); },
          "The OpenMP team size a parallel gate uses (OMP_NUM_THREADS sets it).");
    def_big_fixed(m, "h", "Hadamard on target_index." QUORVEX_BIG_DOC, QUORVEX_BIG(h));
    def_big_fixed(m, "x", "Pauli X on target_index." QUORVEX_BIG_DOC, QUORVEX_BIG(x));
    def_big_fixed(m, "y", "Pauli Y on target_index." QUORVEX_BIG_DOC, QUORVEX_BIG(y));
    def_big_fixed(m, "s", "S = diag(1, i) on target_index." QUORVEX_BIG_DOC, QUORVEX_BIG(s));
    def_big_fixed(m, "sdag", "S dagger on target_index." QUORVEX_BIG_DOC, QUORVEX_BIG(sdag));
    def_big_fixed(m, "z", "Pauli Z on target_index." QUORVEX_BIG_DOC, QUORVEX_BIG(z));
    def_big_angle(m, "phase", "diag(1, exp(i parameter)) on target_index." QUORVEX_BIG_DOC,
                  QUORVEX_BIG_ANGLE(phase));
    def_big_angle(m, "rx", "exp(-i parameter X / 2) on target_index." QUORVEX_BIG_DOC,
                  QUORVEX_BIG_ANGLE(rx));
    def_big_angle(m, "ry", "exp(-i parameter Y / 2) on target_index." QUORVEX_BIG_DOC,
                  QUORVEX_BIG_ANGLE(ry));
    def_big_angle(m, "rz", "exp(-i parameter Z / 2) on target_index." QUORVEX_BIG_DOC,
                  QUORVEX_BIG_ANGLE(rz));
    m.def(
        "u",
        [](std::int64_t n, State64 state, const Index& controls, const Index& values,
           std::int64_t target, const std::array<float, 3>& parameter, bool runopenmp) {
            const BigLoops<const float*> loops{apply_u_big_f32_serial, apply_u_big_f32_parallel};
            return loops(n, std::move(state), controls, values, target, runopenmp,
                         parameter.data());
        },
        "U3(theta, phi, lambda) on target_index, parameter = (theta, phi, lambda)." QUORVEX_BIG_DOC,
        py::arg("n"), py::arg("state"), py::arg("control_indices"), py::arg("control_sequence"),
        py::arg("target_index"), py::arg("parameter"), py::arg("runopenmp") = true);
    m.def("swap", &swap_big, "SWAP of the two target_indices." QUORVEX_BIG_DOC, py::arg("n"),
          py::arg("state"), py::arg("control_indices"), py::arg("control_sequence"),
          py::arg("target_indices"), py::arg("runopenmp") = true);
    // Choose the vector width now, so that a bad QUORVEX_SIMD fails the
    // import with its message rather than the first gate.
    kernel_table();
}

}  // namespace quorvex::kernels
