// Pair updates of the single-qubit gates and the factors that feed them.
//
// An update computes the new a0 (target bit clear) and a1 (target bit set)
// from the old ones. Factors are built once per call, in the amplitude
// precision F: single-precision angles go through sinf/cosf, double-precision
// ones through sin/cos.
//
// Phase, S and S-dagger share the diagonal update; RX, the four square roots
// and U3 share the general 2×2 update; the rest have forms of their own. The
// order of every operation below is deliberate (see arith.hpp).
#pragma once

#include "lanes.hpp"

#include <cmath>
#include <cstdint>
#include <utility>

#include "arith.hpp"
#include "table.hpp"

namespace quorvex::kernels {
inline namespace QUORVEX_LANES {

template <class F>
struct Const;

// Nearest representable values of 1/sqrt(2); 1.0 / std::sqrt(2.0) rounds one
// unit lower in double precision and must not be used.
template <>
struct Const<float> {
    static constexpr float inv_sqrt2 = 0.70710677f;
};
template <>
struct Const<double> {
    static constexpr double inv_sqrt2 = 0.7071067811865476;
};

// ---------------------------------------------------------------- updates
//
// An update takes the old (a0, a1) by reference and leaves the new values in
// them. V is the lane type: a scalar F, or a vector of several pairs' parts
// (simd.hpp). kWritesA0 is false for the gates that leave a0 alone, so the
// loops neither read nor write it. kKind names the update for the walk
// trials: gates of one kind do the same work per pair.

template <class F>
struct Hadamard {
    static constexpr GateKind kKind = GateKind::kHadamard;
    static constexpr bool kWritesA0 = true;
    Amp<F> g;
    template <class V>
    void operator()(Amp<V>& a0, Amp<V>& a1) const {
        const Amp<V> s = add(a0, a1), d = sub(a0, a1);
        a0 = mul(s, g);
        a1 = mul(d, g);
    }
};

// Moves stored bits only, so NaN payloads and signed zeros travel unchanged.
template <class F>
struct PauliX {
    static constexpr GateKind kKind = GateKind::kExchange;
    static constexpr bool kWritesA0 = true;
    template <class V>
    void operator()(Amp<V>& a0, Amp<V>& a1) const {
        std::swap(a0, a1);
    }
};

template <class F>
struct PauliY {
    static constexpr GateKind kKind = GateKind::kPauliY;
    static constexpr bool kWritesA0 = true;
    template <class V>
    void operator()(Amp<V>& a0, Amp<V>& a1) const {
        const Amp<V> old0 = a0;
        a0 = mul(Amp<F>{F(0), F(-1)}, a1);
        a1 = mul(Amp<F>{F(0), F(1)}, old0);
    }
};

// Negation flips the sign bits and nothing else.
template <class F>
struct PauliZ {
    static constexpr GateKind kKind = GateKind::kNegate;
    static constexpr bool kWritesA0 = false;
    template <class V>
    void operator()(Amp<V>&, Amp<V>& a1) const {
        a1.re = -a1.re;
        a1.im = -a1.im;
    }
};

// a1 ← a1·z.
template <class F>
struct Diagonal {
    static constexpr GateKind kKind = GateKind::kDiagonal;
    static constexpr bool kWritesA0 = false;
    Amp<F> z;
    template <class V>
    void operator()(Amp<V>&, Amp<V>& a1) const {
        a1 = mul(a1, z);
    }
};

template <class F>
struct RotZ {
    static constexpr GateKind kKind = GateKind::kRotZ;
    static constexpr bool kWritesA0 = true;
    Amp<F> z0, z1;
    template <class V>
    void operator()(Amp<V>& a0, Amp<V>& a1) const {
        a0 = mul(a0, z0);
        a1 = mul(a1, z1);
    }
};

template <class F>
struct RotY {
    static constexpr GateKind kKind = GateKind::kRotY;
    static constexpr bool kWritesA0 = true;
    Amp<F> b, a;
    template <class V>
    void operator()(Amp<V>& a0, Amp<V>& a1) const {
        const Amp<V> n0 = sub(mul(a0, b), mul(a1, a));
        a1 = add(mul(a0, a), mul(a1, b));
        a0 = n0;
    }
};

// a0' = a0·m00 + a1·m01, a1' = a0·m10 + a1·m11.
template <class F>
struct Matrix2 {
    static constexpr GateKind kKind = GateKind::kMatrix2;
    static constexpr bool kWritesA0 = true;
    Amp<F> m00, m01, m10, m11;
    template <class V>
    void operator()(Amp<V>& a0, Amp<V>& a1) const {
        const Amp<V> n0 = add(mul(a0, m00), mul(a1, m01));
        a1 = add(mul(a0, m10), mul(a1, m11));
        a0 = n0;
    }
};

// The big-endian U multiplies with the matrix entry on the left.
template <class F>
struct Matrix2Left {
    static constexpr GateKind kKind = GateKind::kMatrix2;
    static constexpr bool kWritesA0 = true;
    Amp<F> m00, m01, m10, m11;
    template <class V>
    void operator()(Amp<V>& a0, Amp<V>& a1) const {
        const Amp<V> n0 = add(mul(m00, a0), mul(m01, a1));
        a1 = add(mul(m10, a0), mul(m11, a1));
        a0 = n0;
    }
};

// ------------------------------------------------- factors, one per gate id

template <class F>
Hadamard<F> h_gate() {
    return {{Const<F>::inv_sqrt2, F(0)}};
}
template <class F>
PauliX<F> x_gate() {
    return {};
}
template <class F>
PauliY<F> y_gate() {
    return {};
}
template <class F>
PauliZ<F> z_gate() {
    return {};
}
// Exact factors: sin and cos of ±pi/2 would leave a residue in the real part.
template <class F>
Diagonal<F> s_gate() {
    return {{F(0), F(1)}};
}
template <class F>
Diagonal<F> sdag_gate() {
    return {{F(0), F(-1)}};
}
template <class F>
Matrix2<F> sqrtx_gate() {
    const F h = F(0.5);
    return {{h, h}, {h, -h}, {h, -h}, {h, h}};
}
template <class F>
Matrix2<F> sqrtxdag_gate() {
    const F h = F(0.5);
    return {{h, -h}, {h, h}, {h, h}, {h, -h}};
}
template <class F>
Matrix2<F> sqrty_gate() {
    const F h = F(0.5);
    return {{h, h}, {-h, -h}, {h, h}, {h, h}};
}
template <class F>
Matrix2<F> sqrtydag_gate() {
    const F h = F(0.5);
    return {{h, -h}, {h, -h}, {-h, h}, {h, -h}};
}

template <class F>
Diagonal<F> phase_gate(F phi) {
    return {{std::cos(phi), std::sin(phi)}};
}

template <class F>
RotZ<F> rz_gate(F theta) {
    const F h = theta * F(0.5);
    return {{std::cos(-h), std::sin(-h)}, {std::cos(h), std::sin(h)}};
}

template <class F>
Matrix2<F> rx_gate(F theta) {
    const F h = theta * F(0.5);
    const F c = std::cos(h), s = std::sin(h);
    return {{c, F(0)}, {F(0), -s}, {F(0), -s}, {c, F(0)}};
}

template <class F>
RotY<F> ry_gate(F theta) {
    const F h = theta * F(0.5);
    const F c = std::cos(h), s = std::sin(h);
    return {{c, F(0)}, {s, F(0)}};
}

// U3(θ, φ, λ) = [[cos θ/2, −e^{iλ} sin θ/2], [e^{iφ} sin θ/2, e^{i(φ+λ)} cos θ/2]];
// the last entry is the product of the two unit phasors scaled by c, so
// cos(φ + λ) is never evaluated.
template <class F>
Matrix2<F> u_gate(const F* angles) {
    const F c = std::cos(angles[0] * F(0.5));
    const F s = std::sin(angles[0] * F(0.5));
    const F cp = std::cos(angles[1]), sp = std::sin(angles[1]);
    const F cl = std::cos(angles[2]), sl = std::sin(angles[2]);
    return {{c, F(0)},
            {(-s) * cl, (-s) * sl},
            {cp * s, sp * s},
            {(cl * cp - sl * sp) * c, (cl * sp + sl * cp) * c}};
}

// The big-endian U forms its last entry from the summed angle instead.
inline Matrix2Left<float> u_big_gate(const float* angles) {
    const float c = std::cos(angles[0] * 0.5f);
    const float s = std::sin(angles[0] * 0.5f);
    const float cp = std::cos(angles[1]), sp = std::sin(angles[1]);
    const float cl = std::cos(angles[2]), sl = std::sin(angles[2]);
    const float sum = angles[1] + angles[2];
    return {{c, 0.0f},
            {-(s * cl), -(s * sl)},
            {s * cp, s * sp},
            {c * std::cos(sum), c * std::sin(sum)}};
}

}  // namespace QUORVEX_LANES
}  // namespace quorvex::kernels
