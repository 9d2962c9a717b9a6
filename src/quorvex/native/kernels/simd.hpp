// Drivers that feed pair updates several pairs at a time. The run drivers
// take the update by value: a local copy of its factors cannot alias the
// amplitudes, so they stay in registers across the stores.
//
// A group is W pairs held in GCC vectors (W = 4 in single and 2 in double
// precision for 16-byte vectors, twice or four times that for the wider
// ones): the real parts of the W a0 values in one vector, their
// imaginary parts in another, and the same for a1. The update runs on these
// lane vectors with exactly the operations it performs on scalars, so every
// pair gets the same bits whether it went through a group or alone; only
// loads, stores and shuffles (which move bits unchanged) are added.
#pragma once

#include "lanes.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "arith.hpp"

namespace quorvex::kernels {
inline namespace QUORVEX_LANES {

// B bytes per vector: 16 (SSE), 32 (AVX2) or 64 (AVX-512). A group is W
// pairs: W real parts in one vector, W imaginary parts in another.
// GCC vector types; spelled out per width (a vector_size depending on a
// template parameter is not applied in member signatures).
template <class F, std::size_t B>
struct Vector;
#define QUORVEX_VECTOR(F, B)                             \
    template <>                                          \
    struct Vector<F, B> {                                \
        typedef F type __attribute__((vector_size(B)));  \
    };
QUORVEX_VECTOR(float, 16)
QUORVEX_VECTOR(float, 32)
QUORVEX_VECTOR(float, 64)
QUORVEX_VECTOR(double, 16)
QUORVEX_VECTOR(double, 32)
QUORVEX_VECTOR(double, 64)
#undef QUORVEX_VECTOR

template <class F, std::size_t B = QUORVEX_LANE_BYTES>
struct Simd {
    using V = typename Vector<F, B>::type;
    static constexpr std::uint64_t L = B / sizeof(F);  // F per vector
    static constexpr std::uint64_t W = L;              // pairs per group
    // Two vectors of interleaved amplitudes [r0 i0 r1 i1 ..] [..] to lanes.
    static Amp<V> split(V x, V y) { return split_lanes(x, y, std::make_index_sequence<L>{}); }
    static void join(Amp<V> a, V& x, V& y) { join_lanes(a, x, y, std::make_index_sequence<L>{}); }

private:
    template <std::size_t... I>
    static Amp<V> split_lanes(V x, V y, std::index_sequence<I...>) {
        return {__builtin_shufflevector(x, y, (2 * I)...),
                __builtin_shufflevector(x, y, (2 * I + 1)...)};
    }
    template <std::size_t... I>
    static void join_lanes(Amp<V> a, V& x, V& y, std::index_sequence<I...>) {
        x = __builtin_shufflevector(a.re, a.im, (I / 2 + (I % 2) * L)...);
        y = __builtin_shufflevector(a.re, a.im, (L / 2 + I / 2 + (I % 2) * L)...);
    }
};

// The 16-byte lanes, for blocks shorter than a wide group.
template <class F>
using Narrow = Simd<F, 16>;

template <std::size_t B = QUORVEX_LANE_BYTES, class F>
inline typename Simd<F, B>::V vload(const F* p) {
    typename Simd<F, B>::V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <std::size_t B = QUORVEX_LANE_BYTES, class F>
inline void vstore(F* p, typename Simd<F, B>::V v) {
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
template <std::size_t B = QUORVEX_LANE_BYTES, class F, class Gate>
inline void group_update(F* x0, F* y0, F* x1, F* y1, const Gate& gate) {
    using S = Simd<F, B>;
    using V = typename S::V;
    Amp<V> a0{};
    if constexpr (Gate::kWritesA0) a0 = S::split(vload<B>(x0), vload<B>(y0));
    Amp<V> a1 = S::split(vload<B>(x1), vload<B>(y1));
    gate(a0, a1);
    V x, y;
    if constexpr (Gate::kWritesA0) {
        S::join(a0, x, y);
        vstore<B>(x0, x);
        vstore<B>(y0, y);
    }
    S::join(a1, x, y);
    vstore<B>(x1, x);
    vstore<B>(y1, y);
}

// len pairs whose a0 values are consecutive from p0 and a1 values from p1.
template <std::size_t B = QUORVEX_LANE_BYTES, class F, class Gate>
inline void contiguous_pairs(F* p0, F* p1, std::uint64_t len, const Gate gate) {
    constexpr std::uint64_t W = Simd<F, B>::W, L = Simd<F, B>::L;
    std::uint64_t r = 0;
    for (; r + W <= len; r += W) {
        F* q0 = p0 + 2 * r;
        F* q1 = p1 + 2 * r;
        group_update<B>(q0, q0 + L, q1, q1 + L, gate);
    }
    if constexpr (B > 16) {
        for (; r + Narrow<F>::W <= len; r += Narrow<F>::W) {
            F* q0 = p0 + 2 * r;
            F* q1 = p1 + 2 * r;
            group_update<16>(q0, q0 + Narrow<F>::L, q1, q1 + Narrow<F>::L, gate);
        }
    }
    for (; r < len; ++r) pair_update(p0 + 2 * r, p1 + 2 * r, gate);
}

// Single-precision target 0: each block [a0 a1] is one 16-byte vector, so
// four blocks are regrouped into a0 and a1 vectors before the update.
template <class Gate>
inline void target0_group_f32(float* q, std::uint64_t stride, const Gate& gate) {
    using S = Narrow<float>;
    using V = S::V;
    float* p[4] = {q, q + stride, q + 2 * stride, q + 3 * stride};
    const V v0 = vload<16>(p[0]), v1 = vload<16>(p[1]), v2 = vload<16>(p[2]),
            v3 = vload<16>(p[3]);
    Amp<V> a0 = S::split(__builtin_shufflevector(v0, v1, 0, 1, 4, 5),
                         __builtin_shufflevector(v2, v3, 0, 1, 4, 5));
    Amp<V> a1 = S::split(__builtin_shufflevector(v0, v1, 2, 3, 6, 7),
                         __builtin_shufflevector(v2, v3, 2, 3, 6, 7));
    gate(a0, a1);
    V x0, y0, x1, y1;
    S::join(a0, x0, y0);
    S::join(a1, x1, y1);
    vstore<16>(p[0], __builtin_shufflevector(x0, x1, 0, 1, 4, 5));
    vstore<16>(p[1], __builtin_shufflevector(x0, x1, 2, 3, 6, 7));
    vstore<16>(p[2], __builtin_shufflevector(y0, y1, 0, 1, 4, 5));
    vstore<16>(p[3], __builtin_shufflevector(y0, y1, 2, 3, 6, 7));
}

// Adjacent blocks shorter than a wide group (2**T = H pairs each): a group
// spans 2W consecutive amplitudes, W/H blocks, in four vectors. They are
// split into the amplitudes' real and imaginary parts, then regrouped into
// the a0 and a1 lanes; the results go back by the inverse shuffles. Bits are
// only moved, so each pair gets its scalar result; a0 is written back
// unchanged by the gates that leave it alone.
template <std::uint64_t H, class F>
struct ShortBlocks {
    using S = Simd<F>;
    using V = typename S::V;
    static constexpr std::size_t W = S::W;
    // Amplitude of the span that lane i of a0 (part 0) or a1 (part 1) holds.
    static constexpr std::size_t amp(std::size_t i, std::size_t part) {
        return (i / H) * 2 * H + part * H + i % H;
    }
    // Where amplitude m of the span sits in the lanes of (a0, a1).
    static constexpr std::size_t lane(std::size_t m) {
        return (m % (2 * H) >= H ? W : 0) + (m / (2 * H)) * H + m % H;
    }
    template <std::size_t Part, std::size_t... I>
    static V gather(V lo, V hi, std::index_sequence<I...>) {
        return __builtin_shufflevector(lo, hi, amp(I, Part)...);
    }
    template <std::size_t First, std::size_t... I>
    static V scatter(V a0, V a1, std::index_sequence<I...>) {
        return __builtin_shufflevector(a0, a1, lane(First + I)...);
    }
    template <class Gate>
    static void run(F* q, const Gate& gate) {
        constexpr auto seq = std::make_index_sequence<W>{};
        const Amp<V> lo = S::split(vload(q), vload(q + W));
        const Amp<V> hi = S::split(vload(q + 2 * W), vload(q + 3 * W));
        Amp<V> a0{gather<0>(lo.re, hi.re, seq), gather<0>(lo.im, hi.im, seq)};
        Amp<V> a1{gather<1>(lo.re, hi.re, seq), gather<1>(lo.im, hi.im, seq)};
        gate(a0, a1);
        V x, y;
        S::join({scatter<0>(a0.re, a1.re, seq), scatter<0>(a0.im, a1.im, seq)}, x, y);
        vstore(q, x);
        vstore(q + W, y);
        S::join({scatter<W>(a0.re, a1.re, seq), scatter<W>(a0.im, a1.im, seq)}, x, y);
        vstore(q + 2 * W, x);
        vstore(q + 3 * W, y);
    }
};

// A run of len blocks, `stride` floats apart; a block holds 2**T consecutive
// a0 values followed by their 2**T a1 values (target bit T). Blocks too short
// for a wide group go two to a group when a block is half a group, through
// ShortBlocks (64-byte lanes) when they are adjacent, else (and for the rest
// of the run) through the 16-byte lanes.
template <int T, class F, class Gate>
inline void block_pairs(F* p, std::uint64_t len, std::uint64_t stride, const Gate gate) {
    constexpr std::uint64_t half = std::uint64_t{1} << T;  // pairs per block
    constexpr std::uint64_t W = Narrow<F>::W;
    std::uint64_t r = 0;
    if constexpr (half >= Simd<F>::W) {
        for (; r < len; ++r) {
            F* q = p + r * stride;
            contiguous_pairs(q, q + 2 * half, half, gate);
        }
        return;
    } else if constexpr (2 * half == Simd<F>::W && Simd<F>::W > W) {
        // Two blocks per wide group, as below with 16-byte lanes.
        for (; r + 2 <= len; r += 2) {
            F* q = p + r * stride;
            group_update(q, q + stride, q + 2 * half, q + stride + 2 * half, gate);
        }
    } else if constexpr (sizeof(typename Simd<F>::V) == 64) {
        // Measured: with 32-byte lanes the regrouping costs more than it saves.
        if (stride == 4 * half) {
            constexpr std::uint64_t per = Simd<F>::W / half;  // blocks per group
            for (; r + per <= len; r += per) ShortBlocks<half, F>::run(p + r * stride, gate);
        }
    }
    if constexpr (half >= W) {
        for (; r < len; ++r) {
            F* q = p + r * stride;
            contiguous_pairs<16>(q, q + 2 * half, half, gate);
        }
        return;
    } else if constexpr (T == 0 && sizeof(F) == 4) {
        for (; r + 4 <= len; r += 4) target0_group_f32(p + r * stride, stride, gate);
    } else {
        // Two blocks per group: a0 halves and a1 halves are one vector each.
        static_assert(2 * half == W, "a group is two blocks here");
        for (; r + 2 <= len; r += 2) {
            F* q = p + r * stride;
            group_update<16>(q, q + stride, q + 2 * half, q + stride + 2 * half, gate);
        }
    }
    for (; r < len; ++r) {
        F* q = p + r * stride;
        for (std::uint64_t b = 0; b < half; ++b) pair_update(q + 2 * b, q + 2 * (b + half), gate);
    }
}

}  // namespace QUORVEX_LANES
}  // namespace quorvex::kernels
