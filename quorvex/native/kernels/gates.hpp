// Pair updates of the single-qubit gates and the factors that feed them.
//
// An update receives the addresses of a0 (target bit clear) and a1 (target
// bit set) and computes both new values from the old ones. Factors are built
// once per call, in the amplitude precision F: single-precision angles go
// through sinf/cosf, double-precision ones through sin/cos.
//
// Phase, S and S-dagger share the diagonal update; the four square roots and
// U3 share the general 2×2 update; the rest have forms of their own. The
// order of every operation below is deliberate (see arith.hpp).
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>

#include "arith.hpp"

namespace quorvex::kernels {

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

template <class F>
struct Hadamard {
    Amp<F> g;
    void operator()(F* p0, F* p1) const {
        const Amp<F> a0 = load(p0), a1 = load(p1);
        store(p0, mul(add(a0, a1), g));
        store(p1, mul(sub(a0, a1), g));
    }
};

// Moves stored bits only, so NaN payloads and signed zeros travel unchanged.
template <class F>
struct PauliX {
    void operator()(F* p0, F* p1) const {
        std::swap(p0[0], p1[0]);
        std::swap(p0[1], p1[1]);
    }
};

template <class F>
struct PauliY {
    void operator()(F* p0, F* p1) const {
        const Amp<F> a0 = load(p0), a1 = load(p1);
        store(p0, mul(Amp<F>{F(0), F(-1)}, a1));
        store(p1, mul(Amp<F>{F(0), F(1)}, a0));
    }
};

// Negation flips the sign bits and nothing else; a0 is left alone.
template <class F>
struct PauliZ {
    void operator()(F*, F* p1) const {
        p1[0] = -p1[0];
        p1[1] = -p1[1];
    }
};

// a1 ← a1·z; a0 is neither read nor written.
template <class F>
struct Diagonal {
    Amp<F> z;
    void operator()(F*, F* p1) const { store(p1, mul(load(p1), z)); }
};

template <class F>
struct RotZ {
    Amp<F> z0, z1;
    void operator()(F* p0, F* p1) const {
        store(p0, mul(load(p0), z0));
        store(p1, mul(load(p1), z1));
    }
};

template <class F>
struct RotX {
    Amp<F> b, a;
    void operator()(F* p0, F* p1) const {
        const Amp<F> a0 = load(p0), a1 = load(p1);
        store(p0, add(mul(a0, b), mul(a1, a)));
        store(p1, add(mul(a0, a), mul(a1, b)));
    }
};

template <class F>
struct RotY {
    Amp<F> b, a;
    void operator()(F* p0, F* p1) const {
        const Amp<F> a0 = load(p0), a1 = load(p1);
        store(p0, sub(mul(a0, b), mul(a1, a)));
        store(p1, add(mul(a0, a), mul(a1, b)));
    }
};

// a0' = a0·m00 + a1·m01, a1' = a0·m10 + a1·m11.
template <class F>
struct Matrix2 {
    Amp<F> m00, m01, m10, m11;
    void operator()(F* p0, F* p1) const {
        const Amp<F> a0 = load(p0), a1 = load(p1);
        store(p0, add(mul(a0, m00), mul(a1, m01)));
        store(p1, add(mul(a0, m10), mul(a1, m11)));
    }
};

// The big-endian U multiplies with the matrix entry on the left.
template <class F>
struct Matrix2Left {
    Amp<F> m00, m01, m10, m11;
    void operator()(F* p0, F* p1) const {
        const Amp<F> a0 = load(p0), a1 = load(p1);
        store(p0, add(mul(m00, a0), mul(m01, a1)));
        store(p1, add(mul(m10, a0), mul(m11, a1)));
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
RotX<F> rx_gate(F theta) {
    const F h = theta * F(0.5);
    const F c = std::cos(h), s = std::sin(h);
    return {{c, F(0)}, {F(0), -s}};
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

}  // namespace quorvex::kernels
