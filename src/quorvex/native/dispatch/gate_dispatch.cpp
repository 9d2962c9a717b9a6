#include "gate_dispatch.hpp"

#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "store/gate_ids.hpp"

namespace quorvex::packed {

namespace {

namespace k = quorvex::kernels;

// Indexed by gate-id code; codes without a case (and custom ids) are none.
constexpr std::array<Op, kGateIdCount> kOpOfCode = {
    Op::none,     Op::identity, Op::x,      Op::y,      Op::z,       Op::h,        Op::s,
    Op::sdag,     Op::t,        Op::tdag,   Op::sqrtx,  Op::sqrtxdag, Op::sqrty,   Op::sqrtydag,
    Op::phase,    Op::gphase,   Op::gphase, Op::gphase, Op::rx,      Op::ry,       Op::rz,
    Op::u,        Op::none,     Op::swap,   Op::x,      Op::x,       Op::y,        Op::z,
    Op::h,        Op::s,        Op::t,      Op::phase,  Op::rx,      Op::ry,       Op::rz,
    Op::x,        Op::y,        Op::z,      Op::h,      Op::s,       Op::t,        Op::phase,
    Op::rx,       Op::ry,       Op::rz,     Op::measure, Op::ordering, Op::none,   Op::none,
    Op::none,     Op::none,     Op::none,   Op::none,   Op::none,    Op::ordering, Op::rzz,
};

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

// A phase on the subspace where the controls hold. It rides on a qubit
// that is not a control; with every qubit a control, it becomes the
// diagonal on one control under the others.
template <class C>
void apply_global_phase(std::int64_t n, C* amps, std::int64_t size, const GateView& g, bool runopenmp) {
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
        for (std::int64_t i = 0; i < n; ++i) {
            if (!((mask >> i) & 1u)) {
                q = i;
                break;
            }
        }
    }
    if (q >= 0) {
        const C m[4] = {e, zero, zero, e};
        K::unitary(n, amps, size, g.controls.data(), g.control_states.data(), nc, &q, 1, m, 2, runopenmp);
        return;
    }
    const std::int64_t c = g.controls[0];
    const C m[4] = {g.control_states[0] == 1 ? one : e, zero, zero, g.control_states[0] == 1 ? e : one};
    K::unitary(n, amps, size, g.controls.data() + 1, g.control_states.data() + 1, nc - 1, &c, 1, m, 2, runopenmp);
}

}  // namespace

Op op_of(std::uint16_t code) { return code < kGateIdCount ? kOpOfCode[code] : Op::none; }

bool gate_has_executor_case(std::uint16_t code) { return op_of(code) != Op::none; }

void validate_gate(std::int64_t n, const GateView& g, Op op) {
    if (g.controls.size() != g.control_states.size()) {
        fail("control indices and control state must have equal length");
    }
    std::uint64_t used = 0;
    for (std::int64_t q : g.targets) {
        if (q < 0 || q >= n || ((used >> q) & 1u)) fail("packed gate contains an invalid or duplicate target");
        used |= std::uint64_t{1} << q;
    }
    for (std::size_t i = 0; i < g.controls.size(); ++i) {
        const std::int64_t q = g.controls[i];
        if (q < 0 || q >= n || ((used >> q) & 1u)) fail("packed gate contains an invalid or duplicate control");
        if (g.control_states[i] != 0 && g.control_states[i] != 1) {
            fail("packed gate control state must contain only 0 or 1");
        }
        used |= std::uint64_t{1} << q;
    }
    // A barrier only orders the gates around it: any qubits of the state.
    if (op == Op::ordering) return;
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

void check_dispatch(const GateView& g, Op op) {
    if (g.targets.empty() && op != Op::gphase) fail("packed gate has no target");
    if (!has_kernel_row(op) && (!g.has_matrix || op == Op::ordering)) {
        throw std::runtime_error("unsupported packed C++ gate: " + std::string(g.id));
    }
}

void check_matrix_shape(std::int64_t t, std::int64_t ndim, std::int64_t rows, std::int64_t cols) {
    if (t < 1 || t > 62 || ndim != 2 || rows != (static_cast<std::int64_t>(1) << t) ||
        cols != (static_cast<std::int64_t>(1) << t)) {
        fail("unitary matrix shape does not match packed gate targets");
    }
}

template <class C>
void apply_kernel_row(std::int64_t n, C* amps, std::int64_t size, const GateView& g, Op op, bool runopenmp,
                      DispatchScratch& scratch) {
    using K = Kernels<C>;
    using R = typename K::R;
    const std::int64_t* ctrl = g.controls.data();
    const std::int64_t* vals = g.control_states.data();
    const auto nc = static_cast<std::int64_t>(g.controls.size());
    const std::int64_t target = g.targets.empty() ? 0 : g.targets[0];
    const R quarter = static_cast<R>(0.78539816339744830961566084581987572L);
    switch (op) {
        case Op::x: K::x(n, amps, size, ctrl, vals, nc, target, runopenmp); return;
        case Op::h: K::h(n, amps, size, ctrl, vals, nc, target, runopenmp); return;
        case Op::y: K::y(n, amps, size, ctrl, vals, nc, target, runopenmp); return;
        case Op::z: K::z(n, amps, size, ctrl, vals, nc, target, runopenmp); return;
        case Op::s: K::s(n, amps, size, ctrl, vals, nc, target, runopenmp); return;
        case Op::sdag: K::sdag(n, amps, size, ctrl, vals, nc, target, runopenmp); return;
        case Op::sqrtx: K::sqrtx(n, amps, size, ctrl, vals, nc, target, runopenmp); return;
        case Op::sqrtxdag: K::sqrtxdag(n, amps, size, ctrl, vals, nc, target, runopenmp); return;
        case Op::sqrty: K::sqrty(n, amps, size, ctrl, vals, nc, target, runopenmp); return;
        case Op::sqrtydag: K::sqrtydag(n, amps, size, ctrl, vals, nc, target, runopenmp); return;
        case Op::t: K::phase(n, amps, size, ctrl, vals, nc, target, quarter, runopenmp); return;
        case Op::tdag: K::phase(n, amps, size, ctrl, vals, nc, target, -quarter, runopenmp); return;
        case Op::phase:
            K::phase(n, amps, size, ctrl, vals, nc, target, static_cast<R>(g.parameters[0]), runopenmp);
            return;
        case Op::rx:
            K::rx(n, amps, size, ctrl, vals, nc, target, static_cast<R>(g.parameters[0]), runopenmp);
            return;
        case Op::ry:
            K::ry(n, amps, size, ctrl, vals, nc, target, static_cast<R>(g.parameters[0]), runopenmp);
            return;
        case Op::rz:
            K::rz(n, amps, size, ctrl, vals, nc, target, static_cast<R>(g.parameters[0]), runopenmp);
            return;
        case Op::u: {
            const R angles[3] = {static_cast<R>(g.parameters[0]), static_cast<R>(g.parameters[1]),
                                 static_cast<R>(g.parameters[2])};
            K::u(n, amps, size, ctrl, vals, nc, target, angles, runopenmp);
            return;
        }
        case Op::swap: K::swap(n, amps, size, ctrl, vals, nc, g.targets.data(), runopenmp); return;
        case Op::rzz: {
            const std::int64_t a0 = g.targets[0], b = g.targets[1];
            scratch.controls.assign(g.controls.begin(), g.controls.end());
            scratch.controls.push_back(a0);
            scratch.values.assign(g.control_states.begin(), g.control_states.end());
            scratch.values.push_back(1);
            const auto ne = static_cast<std::int64_t>(scratch.controls.size());
            K::x(n, amps, size, scratch.controls.data(), scratch.values.data(), ne, b, runopenmp);
            K::rz(n, amps, size, ctrl, vals, nc, b, static_cast<R>(g.parameters[0]), runopenmp);
            K::x(n, amps, size, scratch.controls.data(), scratch.values.data(), ne, b, runopenmp);
            return;
        }
        case Op::gphase: apply_global_phase<C>(n, amps, size, g, runopenmp); return;
        default: break;
    }
    fail("gate has no kernel row");
}

template <class C>
void apply_stored_matrix(std::int64_t n, C* amps, std::int64_t size, const GateView& g, const C* matrix,
                         bool runopenmp) {
    const auto t = static_cast<std::int64_t>(g.targets.size());
    Kernels<C>::unitary(n, amps, size, g.controls.data(), g.control_states.data(),
                        static_cast<std::int64_t>(g.controls.size()), g.targets.data(), t, matrix,
                        static_cast<std::int64_t>(1) << t, runopenmp);
}

// Both state precisions, from one list of the entry points.
#define QUORVEX_DISPATCH_FOR(C)                                                                    \
    template void apply_kernel_row<C>(std::int64_t, C*, std::int64_t, const GateView&, Op, bool,  \
                                      DispatchScratch&);                                          \
    template void apply_stored_matrix<C>(std::int64_t, C*, std::int64_t, const GateView&, const C*, \
                                         bool);
QUORVEX_DISPATCH_FOR(k::c64)
QUORVEX_DISPATCH_FOR(k::c128)
#undef QUORVEX_DISPATCH_FOR

}  // namespace quorvex::packed
