// The kernel entry points declared in kernels.hpp: each wrapper makes the
// serial-or-parallel decision, and every serial and parallel loop forwards
// to the table of the vector width in use (table.hpp), in both precisions.
#include "kernels.hpp"

#include <omp.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "loops.hpp"
#include "table.hpp"
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

struct Lanes {
    const char* name;
    const KernelTable& (*table)();
    bool supported;
};

// Narrowest first; the last supported one is the default.
const Lanes* lanes_list(std::size_t& count) {
#if defined(__x86_64__)
    static const Lanes list[] = {
        {"sse", lanes_sse, true},
        {"avx2", lanes_avx2, __builtin_cpu_supports("avx2") != 0},
        {"avx512", lanes_avx512, __builtin_cpu_supports("avx512f") != 0},
    };
#else
    static const Lanes list[] = {{"sse", lanes_sse, true}};
#endif
    count = sizeof list / sizeof list[0];
    return list;
}

const KernelTable& choose_table() {
    std::size_t count = 0;
    const Lanes* list = lanes_list(count);
    const char* wanted = std::getenv("QUORVEX_SIMD");
    if (wanted == nullptr || *wanted == '\0') {
        const Lanes* best = list;
        for (std::size_t i = 0; i < count; ++i)
            if (list[i].supported) best = list + i;
        return best->table();
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (std::strcmp(list[i].name, wanted) != 0) continue;
        if (!list[i].supported)
            throw std::runtime_error(std::string("QUORVEX_SIMD=") + wanted +
                                     " is not supported by this processor (supported: " +
                                     supported_lanes() + ")");
        return list[i].table();
    }
    throw std::runtime_error(std::string("QUORVEX_SIMD must be one of sse, avx2, avx512, not '") +
                             wanted + "'");
}

// QUORVEX_WALK: the walk of near pairs on large states, or "auto" (the
// same as unset or empty) for the calibration's choice.
struct WalkName {
    const char* name;
    Walk walk;
};
constexpr WalkName kWalkNames[] = {{"plain", Walk::kPlain}, {"streams", Walk::kStreams}};

// False when `spec` names no walk; `forced` is left empty for "auto".
bool parse_walk(const char* spec, std::optional<Walk>& forced) {
    forced.reset();
    if (*spec == '\0' || std::strcmp(spec, "auto") == 0) return true;
    for (const WalkName& w : kWalkNames)
        if (std::strcmp(spec, w.name) == 0) forced = w.walk;
    return forced.has_value();
}

const char* walk_name(Walk walk) {
    for (const WalkName& w : kWalkNames)
        if (w.walk == walk) return w.name;
    return "plain";
}

const std::optional<Walk>& forced_walk() {
    static const std::optional<Walk> forced = [] {
        const char* spec = std::getenv("QUORVEX_WALK");
        std::optional<Walk> out;
        if (spec != nullptr && !parse_walk(spec, out))
            throw std::runtime_error(
                std::string("QUORVEX_WALK must be one of auto, plain, streams, not '") + spec +
                "'");
        return out;
    }();
    return forced;
}

// The walk in use, or kUndecided until the first walk_choice() (or the
// hook) decides it.
constexpr int kUndecided = -1;
std::atomic<int> walk_in_use{kUndecided};
std::mutex deciding;

}  // namespace

Walk walk_choice() {
    int walk = walk_in_use.load(std::memory_order_acquire);
    if (walk == kUndecided) {
        // Concurrent first callers wait for one calibration.
        const std::lock_guard<std::mutex> hold(deciding);
        walk = walk_in_use.load(std::memory_order_relaxed);
        if (walk == kUndecided) {
            const std::optional<Walk>& forced = forced_walk();
            walk = static_cast<int>(forced ? *forced : kernel_table().calibrate_walk());
            walk_in_use.store(walk, std::memory_order_release);
        }
    }
    return static_cast<Walk>(walk);
}

const char* supported_lanes() {
    static const std::string names = [] {
        std::size_t count = 0;
        const Lanes* list = lanes_list(count);
        std::string out;
        for (std::size_t i = 0; i < count; ++i)
            if (list[i].supported) out += (out.empty() ? "" : ",") + std::string(list[i].name);
        return out;
    }();
    return names.c_str();
}

const KernelTable& kernel_table() {
    // A malformed QUORVEX_WALK fails here too, when the module loads.
    static const KernelTable& table = (forced_walk(), choose_table());
    return table;
}

// --------------------------------------------------- little-endian, one target

#define QUORVEX_LITTLE_DEF(name, F, PARAMS, ARGS)                                                \
    void apply_##name##_serial(std::complex<F>* amps, std::int64_t size,                         \
                               const std::int64_t* controls, const std::int64_t* values,         \
                               std::int64_t k, std::int64_t target PARAMS) {                     \
        kernel_table().name.serial(raw(amps), size, controls, values, k, target ARGS);           \
    }                                                                                            \
    void apply_##name##_parallel(std::complex<F>* amps, std::int64_t size,                       \
                                 const std::int64_t* controls, const std::int64_t* values,       \
                                 std::int64_t k, std::int64_t target PARAMS) {                   \
        kernel_table().name.parallel(raw(amps), size, controls, values, k, target ARGS);         \
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
#define QUORVEX_DEF_FIXED(g)                        \
    QUORVEX_LITTLE_DEF(g##_little_f32, float, , )   \
    QUORVEX_LITTLE_DEF(g##_little_f64, double, , )
#define QUORVEX_DEF_ANGLE(g)                                                                 \
    QUORVEX_LITTLE_DEF(g##_little_f32, float, QUORVEX_COMMA float angle, QUORVEX_COMMA angle) \
    QUORVEX_LITTLE_DEF(g##_little_f64, double, QUORVEX_COMMA double angle, QUORVEX_COMMA angle)

QUORVEX_FIXED_GATES(QUORVEX_DEF_FIXED)
QUORVEX_ANGLE_GATES(QUORVEX_DEF_ANGLE)
QUORVEX_LITTLE_DEF(u_little_f32, float, QUORVEX_COMMA const float* angles, QUORVEX_COMMA angles)
QUORVEX_LITTLE_DEF(u_little_f64, double, QUORVEX_COMMA const double* angles,
                   QUORVEX_COMMA angles)

// --------------------------------------------------------------------- SWAP

#define QUORVEX_SWAP_DEF(P, F)                                                                   \
    void apply_swap_little_##P##_serial(std::complex<F>* amps, std::int64_t size,                \
                                        const std::int64_t* controls, const std::int64_t* values, \
                                        std::int64_t k, const std::int64_t* targets) {           \
        kernel_table().swap_little_##P.serial(raw(amps), size, controls, values, k, targets);    \
    }                                                                                            \
    void apply_swap_little_##P##_parallel(std::complex<F>* amps, std::int64_t size,              \
                                          const std::int64_t* controls,                          \
                                          const std::int64_t* values, std::int64_t k,            \
                                          const std::int64_t* targets) {                         \
        kernel_table().swap_little_##P.parallel(raw(amps), size, controls, values, k, targets);  \
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
        kernel_table().unitary_little_##P.serial(raw(amps), size, controls, values, k, targets,  \
                                                 t, raw(matrix), dim, 1);                        \
    }                                                                                            \
    void apply_unitary_little_##P##_parallel(                                                    \
        std::complex<F>* amps, std::int64_t size, const std::int64_t* controls,                  \
        const std::int64_t* values, std::int64_t k, const std::int64_t* targets, std::int64_t t, \
        const std::complex<F>* matrix, std::int64_t dim) {                                       \
        kernel_table().unitary_little_##P.parallel(raw(amps), size, controls, values, k,         \
                                                   targets, t, raw(matrix), dim,                 \
                                                   omp_get_max_threads());                       \
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

#define QUORVEX_BIG_DEF(g, PARAMS, ARGS)                                                         \
    void apply_##g##_big_f32_serial(std::int64_t n, c64* amps, const std::int64_t* controls,    \
                                    const std::int64_t* values, std::int64_t k,                 \
                                    std::int64_t target PARAMS) {                               \
        kernel_table().g##_big.serial(n, raw(amps), controls, values, k, target ARGS);          \
    }                                                                                           \
    void apply_##g##_big_f32_parallel(std::int64_t n, c64* amps, const std::int64_t* controls,  \
                                      const std::int64_t* values, std::int64_t k,               \
                                      std::int64_t target PARAMS) {                             \
        kernel_table().g##_big.parallel(n, raw(amps), controls, values, k, target ARGS);        \
    }
#define QUORVEX_BIG_DEF_FIXED(g) QUORVEX_BIG_DEF(g, , )
#define QUORVEX_BIG_DEF_ANGLE(g) QUORVEX_BIG_DEF(g, QUORVEX_COMMA float angle, QUORVEX_COMMA angle)
QUORVEX_BIG_FIXED_GATES(QUORVEX_BIG_DEF_FIXED)
QUORVEX_ANGLE_GATES(QUORVEX_BIG_DEF_ANGLE)
QUORVEX_BIG_DEF(u, QUORVEX_COMMA const float* angles, QUORVEX_COMMA angles)

void apply_swap_big_f32_serial(std::int64_t n, c64* amps, const std::int64_t* controls,
                               const std::int64_t* values, std::int64_t k,
                               const std::int64_t* targets) {
    kernel_table().swap_big_serial(raw(amps), n, controls, values, k, targets);
}

}  // namespace quorvex::kernels

// ---------------------------------------------------------- walk hooks
//
// Not part of the module's Python interface: the kernel tests and the
// kernel benchmark reach them through ctypes on the loaded module.

namespace kq = quorvex::kernels;

// The walk in use, as QUORVEX_WALK names it; decides it first.
extern "C" __attribute__((visibility("default"))) const char* quorvex_walk() {
    return kq::walk_name(kq::walk_choice());
}

// Replaces the walk in use for the rest of the process: a name as
// QUORVEX_WALK takes it, "auto" calibrating anew. Returns 0, or -1 (nothing
// changed) for a name of no walk. Not to be called while a gate runs.
extern "C" __attribute__((visibility("default"))) int quorvex_set_walk(const char* spec) {
    std::optional<kq::Walk> forced;
    if (spec == nullptr || !kq::parse_walk(spec, forced)) return -1;
    const std::lock_guard<std::mutex> hold(kq::deciding);
    const kq::Walk walk = forced ? *forced : kq::kernel_table().calibrate_walk();
    kq::walk_in_use.store(static_cast<int>(walk), std::memory_order_release);
    return 0;
}

// The walk of a single-target gate on `target` in a little-endian state of n
// qubits whose amplitudes take `amp_bytes` bytes (8 or 16).
extern "C" __attribute__((visibility("default"))) const char* quorvex_walk_of(
    std::int64_t amp_bytes, std::int64_t n, std::int64_t target) {
    if (n < 1 || n > 62 || target < 0 || target >= n) return "plain";
    const std::int64_t size = std::int64_t{1} << n;
    const auto distance = (std::uint64_t{1} << target) * static_cast<std::uint64_t>(amp_bytes);
    return kq::walk_name(amp_bytes == 8 ? kq::walk_for<float>(size, distance)
                                        : kq::walk_for<double>(size, distance));
}
