// Complex arithmetic of the kernels, written out by hand.
//
// std::complex multiplication may take a NaN-recovery path and lets the
// compiler pick the evaluation order; here every product is the plain
// four-multiplication form, and with contraction disabled at build time each
// operation is rounded on its own. That is what makes the serial and the
// parallel loops, and a NumPy re-evaluation of the same formulas, agree to
// the bit.
#pragma once

#include <cstring>

#include "lanes.hpp"

namespace quorvex::kernels {
inline namespace QUORVEX_LANES {

template <class F>
struct Amp {
    F re;
    F im;
};

// Amplitudes live in a caller's buffer of interleaved (re, im) pairs. NumPy
// arrays may be unaligned (a view at a byte offset), so the buffer is read
// and written through memcpy, which compiles to plain moves either way.
template <class F>
inline Amp<F> load(const F* p) {
    F v[2];
    std::memcpy(v, p, sizeof v);
    return {v[0], v[1]};
}

template <class F>
inline void store(F* p, Amp<F> v) {
    const F w[2] = {v.re, v.im};
    std::memcpy(p, w, sizeof w);
}

// The operations take any lane type: a scalar, or a GCC vector of several
// amplitudes' real (or imaginary) parts, possibly mixed with a scalar factor.
// Each lane then sees exactly the scalar sequence of operations.

// x·y, with products by zero evaluated (they decide NaN and signed zeros).
template <class X, class Y>
inline auto mul(Amp<X> x, Amp<Y> y) -> Amp<decltype(x.re * y.re)> {
    return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}

template <class V>
inline Amp<V> add(Amp<V> x, Amp<V> y) {
    return {x.re + y.re, x.im + y.im};
}

template <class V>
inline Amp<V> sub(Amp<V> x, Amp<V> y) {
    return {x.re - y.re, x.im - y.im};
}

}  // namespace QUORVEX_LANES
}  // namespace quorvex::kernels
