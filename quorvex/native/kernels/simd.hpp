// Drivers that feed pair updates several pairs at a time. The run drivers
// take the update by value: a local copy of its factors cannot alias the
// amplitudes, so they stay in registers across the stores.
//
// A group is W pairs (4 in single, 2 in double precision) held in 16-byte
// GCC vectors: the real parts of the W a0 values in one vector, their
// imaginary parts in another, and the same for a1. The update runs on these
// lane vectors with exactly the operations it performs on scalars, so every
// pair gets the same bits whether it went through a group or alone; only
// loads, stores and shuffles (which move bits unchanged) are added.
#pragma once

#include <cstdint>
#include <cstring>

#include "arith.hpp"

namespace quorvex::kernels {

template <class F>
struct Simd;

template <>
struct Simd<float> {
    typedef float V __attribute__((vector_size(16)));
    static constexpr std::uint64_t W = 4;  // pairs per group
    static constexpr std::uint64_t L = 4;  // floats per vector
    // Two vectors of interleaved amplitudes [r0 i0 r1 i1] [r2 i2 r3 i3] to lanes.
    static Amp<V> split(V x, V y) {
        return {__builtin_shufflevector(x, y, 0, 2, 4, 6),
                __builtin_shufflevector(x, y, 1, 3, 5, 7)};
    }
    static void join(Amp<V> a, V& x, V& y) {
        x = __builtin_shufflevector(a.re, a.im, 0, 4, 1, 5);
        y = __builtin_shufflevector(a.re, a.im, 2, 6, 3, 7);
    }
};

template <>
struct Simd<double> {
    typedef double V __attribute__((vector_size(16)));
    static constexpr std::uint64_t W = 2;
    static constexpr std::uint64_t L = 2;
    static Amp<V> split(V x, V y) {
        return {__builtin_shufflevector(x, y, 0, 2), __builtin_shufflevector(x, y, 1, 3)};
    }
    static void join(Amp<V> a, V& x, V& y) {
        x = __builtin_shufflevector(a.re, a.im, 0, 2);
        y = __builtin_shufflevector(a.re, a.im, 1, 3);
    }
};

template <class F>
inline typename Simd<F>::V vload(const F* p) {
    typename Simd<F>::V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class F>
inline void vstore(F* p, typename Simd<F>::V v) {
    std::memcpy(p, &v, sizeof v);
}

// Amplitudes p[0], p[step], ... (step in amplitudes) into lane vectors.
template <class F>
inline Amp<typename Simd<F>::V> gather_lanes(const F* p, std::uint64_t step) {
    using S = Simd<F>;
    if (step == 1) return S::split(vload(p), vload(p + S::L));
    Amp<typename S::V> out;
    for (std::uint64_t l = 0; l < S::W; ++l) {
        const Amp<F> v = load(p + 2 * l * step);
        out.re[l] = v.re;
        out.im[l] = v.im;
    }
    return out;
}

template <class F>
inline void scatter_lanes(F* p, std::uint64_t step, Amp<typename Simd<F>::V> v) {
    using S = Simd<F>;
    if (step == 1) {
        typename S::V x, y;
        S::join(v, x, y);
        vstore(p, x);
        vstore(p + S::L, y);
        return;
    }
    for (std::uint64_t l = 0; l < S::W; ++l) store(p + 2 * l * step, Amp<F>{v.re[l], v.im[l]});
}

// One pair, in scalars. Gates that leave a0 alone never touch it.
template <class F, class Gate>
inline void pair_update(F* p0, F* p1, const Gate& gate) {
    Amp<F> a0{F(0), F(0)};
    if constexpr (Gate::kWritesA0) a0 = load(p0);
    Amp<F> a1 = load(p1);
    gate(a0, a1);
    if constexpr (Gate::kWritesA0) store(p0, a0);
    store(p1, a1);
}

// One group whose a0 values sit in the vectors at x0, y0 and whose a1 values
// sit at x1, y1, each vector two (single) or one (double) amplitudes.
template <class F, class Gate>
inline void group_update(F* x0, F* y0, F* x1, F* y1, const Gate& gate) {
    using S = Simd<F>;
    using V = typename S::V;
    Amp<V> a0{};
    if constexpr (Gate::kWritesA0) a0 = S::split(vload(x0), vload(y0));
    Amp<V> a1 = S::split(vload(x1), vload(y1));
    gate(a0, a1);
    V x, y;
    if constexpr (Gate::kWritesA0) {
        S::join(a0, x, y);
        vstore(x0, x);
        vstore(y0, y);
    }
    S::join(a1, x, y);
    vstore(x1, x);
    vstore(y1, y);
}

// len pairs whose a0 values are consecutive from p0 and a1 values from p1.
template <class F, class Gate>
inline void contiguous_pairs(F* p0, F* p1, std::uint64_t len, const Gate gate) {
    constexpr std::uint64_t W = Simd<F>::W, L = Simd<F>::L;
    std::uint64_t r = 0;
    for (; r + W <= len; r += W) {
        F* q0 = p0 + 2 * r;
        F* q1 = p1 + 2 * r;
        group_update(q0, q0 + L, q1, q1 + L, gate);
    }
    for (; r < len; ++r) pair_update(p0 + 2 * r, p1 + 2 * r, gate);
}

// Single-precision target 0: each block [a0 a1] is one vector, so four
// blocks are regrouped into a0 and a1 vectors before the update.
template <class Gate>
inline void target0_group_f32(float* q, std::uint64_t stride, const Gate& gate) {
    using V = Simd<float>::V;
    float* p[4] = {q, q + stride, q + 2 * stride, q + 3 * stride};
    const V v0 = vload(p[0]), v1 = vload(p[1]), v2 = vload(p[2]), v3 = vload(p[3]);
    Amp<V> a0 = Simd<float>::split(__builtin_shufflevector(v0, v1, 0, 1, 4, 5),
                                   __builtin_shufflevector(v2, v3, 0, 1, 4, 5));
    Amp<V> a1 = Simd<float>::split(__builtin_shufflevector(v0, v1, 2, 3, 6, 7),
                                   __builtin_shufflevector(v2, v3, 2, 3, 6, 7));
    gate(a0, a1);
    V x0, y0, x1, y1;
    Simd<float>::join(a0, x0, y0);
    Simd<float>::join(a1, x1, y1);
    vstore(p[0], __builtin_shufflevector(x0, x1, 0, 1, 4, 5));
    vstore(p[1], __builtin_shufflevector(x0, x1, 2, 3, 6, 7));
    vstore(p[2], __builtin_shufflevector(y0, y1, 0, 1, 4, 5));
    vstore(p[3], __builtin_shufflevector(y0, y1, 2, 3, 6, 7));
}

// A run of len blocks, `stride` floats apart; a block holds 2**T consecutive
// a0 values followed by their 2**T a1 values (target bit T).
template <int T, class F, class Gate>
inline void block_pairs(F* p, std::uint64_t len, std::uint64_t stride, const Gate gate) {
    constexpr std::uint64_t half = std::uint64_t{1} << T;  // pairs per block
    constexpr std::uint64_t W = Simd<F>::W;
    std::uint64_t r = 0;
    if constexpr (half >= W) {
        for (; r < len; ++r) {
            F* q = p + r * stride;
            contiguous_pairs(q, q + 2 * half, half, gate);
        }
        return;
    } else if constexpr (T == 0 && sizeof(F) == 4) {
        for (; r + 4 <= len; r += 4) target0_group_f32(p + r * stride, stride, gate);
    } else {
        // Two blocks per group: a0 halves and a1 halves are one vector each.
        static_assert(2 * half == W, "a group is two blocks here");
        for (; r + 2 <= len; r += 2) {
            F* q = p + r * stride;
            group_update(q, q + stride, q + 2 * half, q + stride + 2 * half, gate);
        }
    }
    for (; r < len; ++r) {
        F* q = p + r * stride;
        for (std::uint64_t b = 0; b < half; ++b) pair_update(q + 2 * b, q + 2 * (b + half), gate);
    }
}

}  // namespace quorvex::kernels
