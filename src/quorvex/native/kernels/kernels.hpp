// Precision-specific entry points of the state-vector kernels.
//
// These are plain C++ functions with no knowledge of Python; the module's
// gate functions and the packed executor call them. None of them checks its
// arguments: callers guarantee 1 <= n <= 62, size == 2**n, targets and
// controls in [0, n), distinct targets, and for the dense unitary
// dim == 2**t with dim*dim matrix entries. A control asks for its qubit to be
// 1 only when its value is exactly 1; repeated controls combine by OR.
//
// Little-endian family (qubit q is bit q of the amplitude index). For every
// gate G of the single-target tables and each precision P in {f32, f64}:
//
//   void apply_G_little_P(int64_t n, C* amps, int64_t size,
//                         const int64_t* controls, const int64_t* values, int64_t k,
//                         int64_t target [, R angle | , const R* angles], bool runopenmp);
//   void apply_G_little_P_serial  (same, without n and runopenmp);
//   void apply_G_little_P_parallel(same, without n and runopenmp);
//
// with C = c64 / c128 and R = float / double. The wrapper (first form) runs
// the parallel loop when runopenmp is true, at least two OpenMP threads are
// available and the work measure 2**((n - k - 1) mod 64), as a signed 64-bit
// value, exceeds kSingleTargetThreshold; otherwise the serial loop. Both
// loops produce the same bits.
//
// Big-endian complex64 family (qubit q is bit n-1-q), for G in h, x, y, s,
// sdag, z, phase, rx, ry, rz, u:
//
//   void apply_G_big_f32_serial  (int64_t n, c64* amps, const int64_t* controls,
//                                 const int64_t* values, int64_t k, int64_t target
//                                 [, float angle | , const float* angles]);
//   void apply_G_big_f32_parallel(same);
//
// and apply_swap_big_f32_serial. The amplitude count is 2**n.
#pragma once

#include <complex>
#include <cstdint>

namespace quorvex::kernels {

using c64 = std::complex<float>;
using c128 = std::complex<double>;

// Work thresholds of the serial-or-parallel decision.
constexpr std::int64_t kSingleTargetThreshold = 8192;
constexpr std::int64_t kSwapThreshold = 4096;
constexpr std::int64_t kUnitaryThreshold = 2048;
constexpr std::int64_t kBigEndianThreshold = 4096;

// Gate tables: single-target gates without an angle, with one angle; u takes
// a pointer to (theta, phi, lambda).
#define QUORVEX_FIXED_GATES(X) \
    X(h) X(x) X(y) X(z) X(s) X(sdag) X(sqrtx) X(sqrtxdag) X(sqrty) X(sqrtydag)
#define QUORVEX_ANGLE_GATES(X) X(phase) X(rx) X(ry) X(rz)
#define QUORVEX_BIG_FIXED_GATES(X) X(h) X(x) X(y) X(s) X(sdag) X(z)

#define QUORVEX_LITTLE_DECL(name, C, ...)                                                        \
    void apply_##name(std::int64_t n, C* amps, std::int64_t size, const std::int64_t* controls, \
                      const std::int64_t* values, std::int64_t k,                               \
                      std::int64_t target __VA_ARGS__, bool runopenmp);                         \
    void apply_##name##_serial(C* amps, std::int64_t size, const std::int64_t* controls,        \
                               const std::int64_t* values, std::int64_t k,                      \
                               std::int64_t target __VA_ARGS__);                                \
    void apply_##name##_parallel(C* amps, std::int64_t size, const std::int64_t* controls,      \
                                 const std::int64_t* values, std::int64_t k,                    \
                                 std::int64_t target __VA_ARGS__);

#define QUORVEX_DECL_FIXED(g)                  \
    QUORVEX_LITTLE_DECL(g##_little_f32, c64, ) \
    QUORVEX_LITTLE_DECL(g##_little_f64, c128, )
#define QUORVEX_DECL_ANGLE(g)                              \
    QUORVEX_LITTLE_DECL(g##_little_f32, c64, , float angle) \
    QUORVEX_LITTLE_DECL(g##_little_f64, c128, , double angle)

QUORVEX_FIXED_GATES(QUORVEX_DECL_FIXED)
QUORVEX_ANGLE_GATES(QUORVEX_DECL_ANGLE)
QUORVEX_LITTLE_DECL(u_little_f32, c64, , const float* angles)
QUORVEX_LITTLE_DECL(u_little_f64, c128, , const double* angles)

#undef QUORVEX_DECL_FIXED
#undef QUORVEX_DECL_ANGLE
#undef QUORVEX_LITTLE_DECL

// SWAP of targets[0] and targets[1] (only those two entries are read). The
// wrapper's work measure is the single-target one against kSwapThreshold.
#define QUORVEX_SWAP_DECL(P, C)                                                                  \
    void apply_swap_little_##P(std::int64_t n, C* amps, std::int64_t size,                       \
                               const std::int64_t* controls, const std::int64_t* values,         \
                               std::int64_t k, const std::int64_t* targets, bool runopenmp);     \
    void apply_swap_little_##P##_serial(C* amps, std::int64_t size, const std::int64_t* controls, \
                                        const std::int64_t* values, std::int64_t k,              \
                                        const std::int64_t* targets);                            \
    void apply_swap_little_##P##_parallel(C* amps, std::int64_t size,                            \
                                          const std::int64_t* controls,                          \
                                          const std::int64_t* values, std::int64_t k,            \
                                          const std::int64_t* targets);
QUORVEX_SWAP_DECL(f32, c64)
QUORVEX_SWAP_DECL(f64, c128)
#undef QUORVEX_SWAP_DECL

// Dense unitary: matrix of dim × dim entries, row-major, dim == 2**t;
// targets[0] is the least significant bit of the row and column index. The
// work measure is 2**((n - t) mod 64) against kUnitaryThreshold. May throw
// std::bad_alloc before any amplitude is touched.
#define QUORVEX_UNITARY_DECL(P, C)                                                                \
    void apply_unitary_little_##P(std::int64_t n, C* amps, std::int64_t size,                     \
                                  const std::int64_t* controls, const std::int64_t* values,       \
                                  std::int64_t k, const std::int64_t* targets, std::int64_t t,    \
                                  const C* matrix, std::int64_t dim, bool runopenmp);             \
    void apply_unitary_little_##P##_serial(C* amps, std::int64_t size,                            \
                                           const std::int64_t* controls,                          \
                                           const std::int64_t* values, std::int64_t k,            \
                                           const std::int64_t* targets, std::int64_t t,           \
                                           const C* matrix, std::int64_t dim);                    \
    void apply_unitary_little_##P##_parallel(C* amps, std::int64_t size,                          \
                                             const std::int64_t* controls,                        \
                                             const std::int64_t* values, std::int64_t k,          \
                                             const std::int64_t* targets, std::int64_t t,         \
                                             const C* matrix, std::int64_t dim);
QUORVEX_UNITARY_DECL(f32, c64)
QUORVEX_UNITARY_DECL(f64, c128)
#undef QUORVEX_UNITARY_DECL

// Big-endian complex64 kernels.
#define QUORVEX_BIG_DECL(g, ...)                                                                 \
    void apply_##g##_big_f32_serial(std::int64_t n, c64* amps, const std::int64_t* controls,    \
                                    const std::int64_t* values, std::int64_t k,                 \
                                    std::int64_t target __VA_ARGS__);                           \
    void apply_##g##_big_f32_parallel(std::int64_t n, c64* amps, const std::int64_t* controls,  \
                                      const std::int64_t* values, std::int64_t k,               \
                                      std::int64_t target __VA_ARGS__);
#define QUORVEX_BIG_DECL_FIXED(g) QUORVEX_BIG_DECL(g, )
#define QUORVEX_BIG_DECL_ANGLE(g) QUORVEX_BIG_DECL(g, , float angle)
QUORVEX_BIG_FIXED_GATES(QUORVEX_BIG_DECL_FIXED)
QUORVEX_ANGLE_GATES(QUORVEX_BIG_DECL_ANGLE)
QUORVEX_BIG_DECL(u, , const float* angles)
#undef QUORVEX_BIG_DECL_FIXED
#undef QUORVEX_BIG_DECL_ANGLE
#undef QUORVEX_BIG_DECL

void apply_swap_big_f32_serial(std::int64_t n, c64* amps, const std::int64_t* controls,
                               const std::int64_t* values, std::int64_t k,
                               const std::int64_t* targets);

}  // namespace quorvex::kernels
