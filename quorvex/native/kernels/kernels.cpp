// Instantiation of the kernel entry points declared in kernels.hpp: each
// gate of the tables becomes a serial loop, a parallel loop and the wrapper
// that chooses between them, in both precisions.
#include "kernels.hpp"

#include "gates.hpp"
#include "loops.hpp"
#include "walk.hpp"

namespace quorvex::kernels {
namespace {

template <class F>
F* raw(std::complex<F>* p) {
    return reinterpret_cast<F*>(p);
}
template <class F>
const F* raw(const std::complex<F>* p) {
    return reinterpret_cast<const F*>(p);
}

// Keeps every index of a big-endian call inside its 2**n amplitudes.
inline std::int64_t big_size(std::int64_t n) {
    return (n >= 1 && n <= 62) ? std::int64_t{1} << n : 0;
}

}  // namespace

// --------------------------------------------------- little-endian, one target

#define QUORVEX_LITTLE_DEF(name, F, GATE, PARAMS, ARGS)                                           \
    void apply_##name##_serial(std::complex<F>* amps, std::int64_t size,                         \
                               const std::int64_t* controls, const std::int64_t* values,         \
                               std::int64_t k, std::int64_t target PARAMS) {                     \
        single_target_loop<SerialLoop>(raw(amps), size, controls, values, k, target,             \
                                       LittleEndian{}, GATE);                                    \
    }                                                                                            \
    void apply_##name##_parallel(std::complex<F>* amps, std::int64_t size,                       \
                                 const std::int64_t* controls, const std::int64_t* values,       \
                                 std::int64_t k, std::int64_t target PARAMS) {                   \
        single_target_loop<ParallelLoop>(raw(amps), size, controls, values, k, target,           \
                                         LittleEndian{}, GATE);                                  \
    }                                                                                            \
    void apply_##name(std::int64_t n, std::complex<F>* amps, std::int64_t size,                  \
                      const std::int64_t* controls, const std::int64_t* values, std::int64_t k,  \
                      std::int64_t target PARAMS, bool runopenmp) {                              \
        if (use_parallel(single_target_exponent(n, k), kSingleTargetThreshold, runopenmp))       \
            apply_##name##_parallel(amps, size, controls, values, k, target ARGS);               \
        else                                                                                     \
            apply_##name##_serial(amps, size, controls, values, k, target ARGS);                 \
    }

#define QUORVEX_COMMA ,
#define QUORVEX_DEF_FIXED(g)                                          \
    QUORVEX_LITTLE_DEF(g##_little_f32, float, g##_gate<float>(), , )  \
    QUORVEX_LITTLE_DEF(g##_little_f64, double, g##_gate<double>(), , )
#define QUORVEX_DEF_ANGLE(g)                                                                 \
    QUORVEX_LITTLE_DEF(g##_little_f32, float, g##_gate<float>(angle), QUORVEX_COMMA float angle, \
                       QUORVEX_COMMA angle)                                                  \
    QUORVEX_LITTLE_DEF(g##_little_f64, double, g##_gate<double>(angle),                      \
                       QUORVEX_COMMA double angle, QUORVEX_COMMA angle)

QUORVEX_FIXED_GATES(QUORVEX_DEF_FIXED)
QUORVEX_ANGLE_GATES(QUORVEX_DEF_ANGLE)
QUORVEX_LITTLE_DEF(u_little_f32, float, u_gate<float>(angles), QUORVEX_COMMA const float* angles,
                   QUORVEX_COMMA angles)
QUORVEX_LITTLE_DEF(u_little_f64, double, u_gate<double>(angles),
                   QUORVEX_COMMA const double* angles, QUORVEX_COMMA angles)

// --------------------------------------------------------------------- SWAP

#define QUORVEX_SWAP_DEF(P, F)                                                                   \
    void apply_swap_little_##P##_serial(std::complex<F>* amps, std::int64_t size,                \
                                        const std::int64_t* controls, const std::int64_t* values, \
                                        std::int64_t k, const std::int64_t* targets) {           \
        swap_loop<SerialLoop>(raw(amps), size, controls, values, k, targets, LittleEndian{});    \
    }                                                                                            \
    void apply_swap_little_##P##_parallel(std::complex<F>* amps, std::int64_t size,              \
                                          const std::int64_t* controls,                          \
                                          const std::int64_t* values, std::int64_t k,            \
                                          const std::int64_t* targets) {                         \
        swap_loop<ParallelLoop>(raw(amps), size, controls, values, k, targets, LittleEndian{});  \
    }                                                                                            \
    void apply_swap_little_##P(std::int64_t n, std::complex<F>* amps, std::int64_t size,         \
                               const std::int64_t* controls, const std::int64_t* values,         \
                               std::int64_t k, const std::int64_t* targets, bool runopenmp) {    \
        if (use_parallel(single_target_exponent(n, k), kSwapThreshold, runopenmp))               \
            apply_swap_little_##P##_parallel(amps, size, controls, values, k, targets);          \
        else                                                                                     \
            apply_swap_little_##P##_serial(amps, size, controls, values, k, targets);            \
    }
QUORVEX_SWAP_DEF(f32, float)
QUORVEX_SWAP_DEF(f64, double)

// ------------------------------------------------------------ dense unitary

#define QUORVEX_UNITARY_DEF(P, F)                                                                \
    void apply_unitary_little_##P##_serial(                                                      \
        std::complex<F>* amps, std::int64_t size, const std::int64_t* controls,                  \
        const std::int64_t* values, std::int64_t k, const std::int64_t* targets, std::int64_t t, \
        const std::complex<F>* matrix, std::int64_t dim) {                                       \
        unitary_loop<SerialLoop>(raw(amps), size, controls, values, k, targets, t, raw(matrix),  \
                                 dim, 1);                                                        \
    }                                                                                            \
    void apply_unitary_little_##P##_parallel(                                                    \
        std::complex<F>* amps, std::int64_t size, const std::int64_t* controls,                  \
        const std::int64_t* values, std::int64_t k, const std::int64_t* targets, std::int64_t t, \
        const std::complex<F>* matrix, std::int64_t dim) {                                       \
        unitary_loop<ParallelLoop>(raw(amps), size, controls, values, k, targets, t,             \
                                   raw(matrix), dim, omp_get_max_threads());                     \
    }                                                                                            \
    void apply_unitary_little_##P(std::int64_t n, std::complex<F>* amps, std::int64_t size,      \
                                  const std::int64_t* controls, const std::int64_t* values,      \
                                  std::int64_t k, const std::int64_t* targets, std::int64_t t,   \
                                  const std::complex<F>* matrix, std::int64_t dim,               \
                                  bool runopenmp) {                                              \
        if (use_parallel(unitary_exponent(n, t), kUnitaryThreshold, runopenmp))                  \
            apply_unitary_little_##P##_parallel(amps, size, controls, values, k, targets, t,     \
                                                matrix, dim);                                    \
        else                                                                                     \
            apply_unitary_little_##P##_serial(amps, size, controls, values, k, targets, t,       \
                                              matrix, dim);                                      \
    }
QUORVEX_UNITARY_DEF(f32, float)
QUORVEX_UNITARY_DEF(f64, double)

// --------------------------------------------------- big-endian, complex64

#define QUORVEX_BIG_DEF(g, GATE, PARAMS)                                                         \
    void apply_##g##_big_f32_serial(std::int64_t n, c64* amps, const std::int64_t* controls,    \
                                    const std::int64_t* values, std::int64_t k,                 \
                                    std::int64_t target PARAMS) {                               \
        single_target_loop<SerialLoop>(raw(amps), big_size(n), controls, values, k, target,     \
                                       BigEndian{n}, GATE);                                     \
    }                                                                                           \
    void apply_##g##_big_f32_parallel(std::int64_t n, c64* amps, const std::int64_t* controls,  \
                                      const std::int64_t* values, std::int64_t k,               \
                                      std::int64_t target PARAMS) {                             \
        single_target_loop<ParallelLoop>(raw(amps), big_size(n), controls, values, k, target,   \
                                         BigEndian{n}, GATE);                                   \
    }
#define QUORVEX_BIG_DEF_FIXED(g) QUORVEX_BIG_DEF(g, g##_gate<float>(), )
#define QUORVEX_BIG_DEF_ANGLE(g) \
    QUORVEX_BIG_DEF(g, g##_gate<float>(angle), QUORVEX_COMMA float angle)
QUORVEX_BIG_FIXED_GATES(QUORVEX_BIG_DEF_FIXED)
QUORVEX_ANGLE_GATES(QUORVEX_BIG_DEF_ANGLE)
QUORVEX_BIG_DEF(u, u_big_gate(angles), QUORVEX_COMMA const float* angles)

void apply_swap_big_f32_serial(std::int64_t n, c64* amps, const std::int64_t* controls,
                               const std::int64_t* values, std::int64_t k,
                               const std::int64_t* targets) {
    swap_loop<SerialLoop>(raw(amps), big_size(n), controls, values, k, targets, BigEndian{n});
}

}  // namespace quorvex::kernels
