#include "executor.hpp"

#include <array>
#include <cmath>
#include <stdexcept>

#include "kernels/kernels.hpp"
#include "walk.hpp"

namespace quorvex::packed {

namespace {

namespace k = quorvex::kernels;

enum class Op : std::uint8_t {
    none, identity, measure,
    x, h, y, z, s, sdag, sqrtx, sqrtxdag, sqrty, sqrtydag, t, tdag, phase, rx, ry, rz, u,
    swap, gphase, rzz,
};

// Indexed by gate-id code; codes without a case (and custom ids) are none.
constexpr std::array<Op, kGateIdCount> kOpOfCode = {
    Op::none,     Op::identity, Op::x,      Op::y,      Op::z,       Op::h,        Op::s,
    Op::sdag,     Op::t,        Op::tdag,   Op::sqrtx,  Op::sqrtxdag, Op::sqrty,   Op::sqrtydag,
    Op::phase,    Op::gphase,   Op::gphase, Op::gphase, Op::rx,      Op::ry,       Op::rz,
    Op::u,        Op::none,     Op::swap,   Op::x,      Op::x,       Op::y,        Op::z,
    Op::h,        Op::s,        Op::t,      Op::phase,  Op::rx,      Op::ry,       Op::rz,
    Op::x,        Op::y,        Op::z,      Op::h,      Op::s,       Op::t,        Op::phase,
    Op::rx,       Op::ry,       Op::rz,     Op::measure, Op::none,   Op::none,     Op::none,
    Op::none,     Op::none,     Op::none,   Op::none,   Op::none,    Op::none,     Op::rzz,
};

Op op_of(std::uint16_t code) { return code < kGateIdCount ? kOpOfCode[code] : Op::none; }

bool single_target_kernel(Op op) { return op >= Op::x && op <= Op::u; }

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

// Per-precision kernel wrappers.
template <class C>
struct Kernels;

#define QUORVEX_KERNEL_SET(P, C, Real)                                  \
    template <>                                                         \
    struct Kernels<C> {                                                 \
        using R = Real;                                                 \
        static constexpr auto x = &k::apply_x_little_##P;               \
        static constexpr auto h = &k::apply_h_little_##P;               \
        static constexpr auto y = &k::apply_y_little_##P;               \
        static constexpr auto z = &k::apply_z_little_##P;               \
        static constexpr auto s = &k::apply_s_little_##P;               \
        static constexpr auto sdag = &k::apply_sdag_little_##P;         \
        static constexpr auto sqrtx = &k::apply_sqrtx_little_##P;       \
        static constexpr auto sqrtxdag = &k::apply_sqrtxdag_little_##P; \
        static constexpr auto sqrty = &k::apply_sqrty_little_##P;       \
        static constexpr auto sqrtydag = &k::apply_sqrtydag_little_##P; \
        static constexpr auto phase = &k::apply_phase_little_##P;       \
        static constexpr auto rx = &k::apply_rx_little_##P;             \
        static constexpr auto ry = &k::apply_ry_little_##P;             \
        static constexpr auto rz = &k::apply_rz_little_##P;             \
        static constexpr auto u = &k::apply_u_little_##P;               \
        static constexpr auto swap = &k::apply_swap_little_##P;         \
        static constexpr auto unitary = &k::apply_unitary_little_##P;   \
    };
QUORVEX_KERNEL_SET(f32, k::c64, float)
QUORVEX_KERNEL_SET(f64, k::c128, double)
#undef QUORVEX_KERNEL_SET

PyObject* builtin_descr(int typenum) {
    PyObject* d = py::detail::npy_api::get().PyArray_DescrFromType_(typenum);
    if (d == nullptr) throw py::error_already_set();
    return d;
}

class Executor {
public:
    Executor(std::int64_t n, py::object state, py::object callback, bool runopenmp, bool skip)
        : n_(n), state_(std::move(state)), callback_(std::move(callback)), openmp_(runopenmp), skip_(skip),
          c64_(py::reinterpret_steal<py::object>(builtin_descr(py::detail::npy_api::NPY_CFLOAT_))),
          c128_(py::reinterpret_steal<py::object>(builtin_descr(py::detail::npy_api::NPY_CDOUBLE_))) {}

    // Layout and size conditions of a state vector, with the entry messages.
    static void check_state(std::int64_t n, PyObject* array) {
        auto* a = py::detail::array_proxy(array);
        const int need = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ | py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
        if (a->nd != 1 || (a->flags & need) != need) fail("state must be a writable C-contiguous 1-D array");
        if (n < 1 || n > 62 || a->dimensions[0] != (static_cast<Py_ssize_t>(1) << n)) {
            fail("state size must equal 2**n");
        }
    }

    void operator()(const WalkGate& g) {
        const Op op = op_of(g.code);
        validate(g, op);
        if (op == Op::measure) {
            measure(g);
            return;
        }
        run_on_state(g, op);
    }

    py::object& state() { return state_; }
    py::dict& results() { return results_; }

private:
    void validate(const WalkGate& g, Op op) const {
        if (g.controls.size() != g.control_states.size()) {
            fail("control indices and control state must have equal length");
        }
        std::uint64_t used = 0;
        for (std::int64_t q : g.targets) {
            if (q < 0 || q >= n_ || ((used >> q) & 1u)) fail("packed gate contains an invalid or duplicate target");
            used |= std::uint64_t{1} << q;
        }
        for (std::size_t i = 0; i < g.controls.size(); ++i) {
            const std::int64_t q = g.controls[i];
            if (q < 0 || q >= n_ || ((used >> q) & 1u)) fail("packed gate contains an invalid or duplicate control");
            if (g.control_states[i] != 0 && g.control_states[i] != 1) {
                fail("packed gate control state must contain only 0 or 1");
            }
            used |= std::uint64_t{1} << q;
        }
        if (op == Op::measure) {
            if (g.targets.empty() || !g.has_classical || g.classical_targets.size() != g.targets.size()) {
                fail("measurement targets and classical targets must match");
            }
            return;
        }
        if (op == Op::swap && g.targets.size() != 2) fail("swap requires exactly two targets");
        const bool any_targets = op == Op::swap || op == Op::rzz || op == Op::gphase;
        // A single-target kernel acts on one qubit only, stored matrix or not.
        if (((!any_targets && !g.has_matrix) || single_target_kernel(op)) && g.targets.size() != 1) {
            fail("packed gate requires exactly one target");
        }
        if (op == Op::rzz && g.targets.size() != 2) fail("rzz requires exactly two targets");
        const std::size_t count = g.parameters_absent ? 0 : g.parameters.size();
        const bool one = op == Op::phase || op == Op::rx || op == Op::ry || op == Op::rz || op == Op::rzz ||
                         op == Op::gphase;
        if ((one && count != 1) || (op == Op::u && count != 3)) fail("packed gate has an invalid parameter count");
    }

    void measure(const WalkGate& g) {
        if (skip_) return;
        if (callback_.is_none()) fail("measurement callback is required");
        py::tuple classical = int_list_to_tuple(g.classical_targets);
        py::tuple targets = int64_list_to_tuple(g.targets);
        py::object result = callback_(state_, targets, classical);
        py::tuple pair;
        if (PyTuple_Check(result.ptr())) {
            pair = py::reinterpret_borrow<py::tuple>(result);
        } else {
            PyObject* t = PySequence_Tuple(result.ptr());
            if (t == nullptr) throw py::error_already_set();
            pair = py::reinterpret_steal<py::tuple>(t);
        }
        py::object first = pair[0];
        if (py::detail::npy_api::get().PyArray_Check_(first.ptr())) {
            state_ = std::move(first);
        } else {
            auto& api = py::detail::npy_api::get();
            PyObject* converted = api.PyArray_FromAny_(first.ptr(), nullptr, 0, 0,
                                                       py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_, nullptr);
            if (converted == nullptr) throw py::error_already_set();
            state_ = py::reinterpret_steal<py::object>(converted);
        }
        py::object second = pair[1];
        results_.attr("update")(second);
    }

    int precision() const {
        PyObject* descr = py::detail::array_proxy(state_.ptr())->descr;
        if (descr == c64_.ptr()) return 1;
        if (descr == c128_.ptr()) return 2;
        return 0;
    }

    void run_on_state(const WalkGate& g, Op op) {
        // The kernels write into whatever state is current, and Python code
        // may have changed it since the last gate: a measurement callback's
        // result, or a signal handler run by the walk's interrupt check. A few
        // flag and size reads per gate keep every kernel inside the buffer.
        if (op != Op::identity) check_state(n_, state_.ptr());
        switch (precision()) {
            case 1: apply<k::c64>(g, op); break;
            case 2: apply<k::c128>(g, op); break;
            default: fail("state dtype must be complex64 or complex128");
        }
    }

    template <class C>
    void apply(const WalkGate& g, Op op) {
        using K = Kernels<C>;
        using R = typename K::R;
        if (op == Op::identity) return;
        if (g.targets.empty() && op != Op::gphase) fail("packed gate has no target");
        auto* a = py::detail::array_proxy(state_.ptr());
        C* amps = reinterpret_cast<C*>(a->data);
        const std::int64_t size = a->dimensions[0];
        const std::int64_t* ctrl = g.controls.data();
        const std::int64_t* vals = g.control_states.data();
        const auto nc = static_cast<std::int64_t>(g.controls.size());
        const std::int64_t target = g.targets.empty() ? 0 : g.targets[0];
        const R quarter = static_cast<R>(0.78539816339744830961566084581987572L);
        switch (op) {
            case Op::x: K::x(n_, amps, size, ctrl, vals, nc, target, openmp_); return;
            case Op::h: K::h(n_, amps, size, ctrl, vals, nc, target, openmp_); return;
            case Op::y: K::y(n_, amps, size, ctrl, vals, nc, target, openmp_); return;
            case Op::z: K::z(n_, amps, size, ctrl, vals, nc, target, openmp_); return;
            case Op::s: K::s(n_, amps, size, ctrl, vals, nc, target, openmp_); return;
            case Op::sdag: K::sdag(n_, amps, size, ctrl, vals, nc, target, openmp_); return;
            case Op::sqrtx: K::sqrtx(n_, amps, size, ctrl, vals, nc, target, openmp_); return;
            case Op::sqrtxdag: K::sqrtxdag(n_, amps, size, ctrl, vals, nc, target, openmp_); return;
            case Op::sqrty: K::sqrty(n_, amps, size, ctrl, vals, nc, target, openmp_); return;
            case Op::sqrtydag: K::sqrtydag(n_, amps, size, ctrl, vals, nc, target, openmp_); return;
            case Op::t: K::phase(n_, amps, size, ctrl, vals, nc, target, quarter, openmp_); return;
            case Op::tdag: K::phase(n_, amps, size, ctrl, vals, nc, target, -quarter, openmp_); return;
            case Op::phase:
                K::phase(n_, amps, size, ctrl, vals, nc, target, static_cast<R>(g.parameters[0]), openmp_);
                return;
            case Op::rx:
                K::rx(n_, amps, size, ctrl, vals, nc, target, static_cast<R>(g.parameters[0]), openmp_);
                return;
            case Op::ry:
                K::ry(n_, amps, size, ctrl, vals, nc, target, static_cast<R>(g.parameters[0]), openmp_);
                return;
            case Op::rz:
                K::rz(n_, amps, size, ctrl, vals, nc, target, static_cast<R>(g.parameters[0]), openmp_);
                return;
            case Op::u: {
                const R angles[3] = {static_cast<R>(g.parameters[0]), static_cast<R>(g.parameters[1]),
                                     static_cast<R>(g.parameters[2])};
                K::u(n_, amps, size, ctrl, vals, nc, target, angles, openmp_);
                return;
            }
            case Op::swap: K::swap(n_, amps, size, ctrl, vals, nc, g.targets.data(), openmp_); return;
            case Op::rzz: {
                const std::int64_t a0 = g.targets[0], b = g.targets[1];
                ext_controls_.assign(g.controls.begin(), g.controls.end());
                ext_controls_.push_back(a0);
                ext_values_.assign(g.control_states.begin(), g.control_states.end());
                ext_values_.push_back(1);
                const auto ne = static_cast<std::int64_t>(ext_controls_.size());
                K::x(n_, amps, size, ext_controls_.data(), ext_values_.data(), ne, b, openmp_);
                K::rz(n_, amps, size, ctrl, vals, nc, b, static_cast<R>(g.parameters[0]), openmp_);
                K::x(n_, amps, size, ext_controls_.data(), ext_values_.data(), ne, b, openmp_);
                return;
            }
            case Op::gphase: apply_global_phase<C>(g, amps, size); return;
            default: break;
        }
        if (!g.has_matrix) {
            throw std::runtime_error("unsupported packed C++ gate: " + std::string(g.id));
        }
        apply_matrix<C>(g);
    }

    // A phase on the subspace where the controls hold. It rides on a qubit
    // that is not a control; with every qubit a control, it becomes the
    // diagonal on one control under the others.
    template <class C>
    void apply_global_phase(const WalkGate& g, C* amps, std::int64_t size) {
        using K = Kernels<C>;
        using R = typename K::R;
        const R theta = static_cast<R>(g.parameters[0]);
        const C e(std::cos(theta), std::sin(theta));
        const C one(1, 0);
        const C zero(0, 0);
        const std::int64_t nc = static_cast<std::int64_t>(g.controls.size());
        std::int64_t q = -1;
        if (!g.targets.empty()) {
            q = g.targets[0];
        } else {
            std::uint64_t mask = 0;
            for (std::int64_t c : g.controls) mask |= std::uint64_t{1} << c;
            for (std::int64_t i = 0; i < n_; ++i) {
                if (!((mask >> i) & 1u)) {
                    q = i;
                    break;
                }
            }
        }
        if (q >= 0) {
            const C m[4] = {e, zero, zero, e};
            K::unitary(n_, amps, size, g.controls.data(), g.control_states.data(), nc, &q, 1, m, 2, openmp_);
            return;
        }
        const std::int64_t c = g.controls[0];
        const C m[4] = {g.control_states[0] == 1 ? one : e, zero, zero, g.control_states[0] == 1 ? e : one};
        K::unitary(n_, amps, size, g.controls.data() + 1, g.control_states.data() + 1, nc - 1, &c, 1, m, 2,
                   openmp_);
    }

    template <class C>
    void apply_matrix(const WalkGate& g) {
        using K = Kernels<C>;
        auto matrix = py::array_t<C, py::array::c_style | py::array::forcecast>(
            py::reinterpret_borrow<py::object>(g.matrix));
        const auto t = static_cast<std::int64_t>(g.targets.size());
        if (t < 1 || t > 62 || matrix.ndim() != 2 || matrix.shape(0) != (static_cast<Py_ssize_t>(1) << t) ||
            matrix.shape(1) != (static_cast<Py_ssize_t>(1) << t)) {
            fail("unitary matrix shape does not match packed gate targets");
        }
        // The conversion ran Python code, which may have touched the state.
        check_state(n_, state_.ptr());
        if (precision() != (std::is_same_v<C, k::c64> ? 1 : 2)) fail("state dtype must be complex64 or complex128");
        auto* a = py::detail::array_proxy(state_.ptr());
        K::unitary(n_, reinterpret_cast<C*>(a->data), a->dimensions[0], g.controls.data(), g.control_states.data(),
                   static_cast<std::int64_t>(g.controls.size()), g.targets.data(), t, matrix.data(),
                   static_cast<std::int64_t>(1) << t, openmp_);
    }

    std::int64_t n_;
    py::object state_;
    py::object callback_;
    bool openmp_;
    bool skip_;
    py::object c64_;
    py::object c128_;
    py::dict results_;
    std::vector<std::int64_t> ext_controls_;
    std::vector<std::int64_t> ext_values_;
};

}  // namespace

bool gate_has_executor_case(std::uint16_t code) { return op_of(code) != Op::none; }

py::tuple execute_gate_sequence_packed(std::int64_t n, const py::array& state, const Store& sequence,
                                       const py::object& measure_callback, bool runopenmp,
                                       bool skip_measurements) {
    Executor::check_state(n, state.ptr());
    // Callbacks may edit the store they were handed; the run walks a private
    // copy that shares its pages, so it sees the sequence as it was.
    const StoreRef run = sequence.copy();
    Executor executor(n, py::reinterpret_borrow<py::object>(state), measure_callback, runopenmp,
                      skip_measurements);
    GateWalker walker;
    walker.walk(*run, executor);
    return py::make_tuple(executor.state(), executor.results());
}

}  // namespace quorvex::packed
