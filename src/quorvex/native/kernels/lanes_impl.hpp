// Body of a lanes_*.cpp: instantiates every serial and parallel loop for the
// width the including file chose and returns them as a KernelTable. The
// including file defines QUORVEX_LANES, QUORVEX_LANE_BYTES and
// QUORVEX_TABLE_FUNCTION, and switches the instruction set on (after the
// standard headers, so that their inline code stays the common build).

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <chrono>
#include <cstdlib>
#include <limits>

#include "gates.hpp"
#include "loops.hpp"
#include "table.hpp"
#include "walk.hpp"

namespace quorvex::kernels {
inline namespace QUORVEX_LANES {
namespace {

// Keeps every index of a big-endian call inside its 2**n amplitudes.
inline std::int64_t big_size(std::int64_t n) {
    return (n >= 1 && n <= 62) ? std::int64_t{1} << n : 0;
}

template <class Loop, class F, auto Make, class... P>
void single(F* a, std::int64_t size, const std::int64_t* controls, const std::int64_t* values,
            std::int64_t k, std::int64_t target, P... p) {
    single_target_loop<Loop>(a, size, controls, values, k, target, LittleEndian{}, Make(p...));
}

template <class Loop, auto Make, class... P>
void big(std::int64_t n, float* a, const std::int64_t* controls, const std::int64_t* values,
         std::int64_t k, std::int64_t target, P... p) {
    single_target_loop<Loop>(a, big_size(n), controls, values, k, target, BigEndian{n},
                             Make(p...));
}

template <class Loop, class F>
void swap_little(F* a, std::int64_t size, const std::int64_t* controls, const std::int64_t* values,
                 std::int64_t k, const std::int64_t* targets) {
    swap_loop<Loop>(a, size, controls, values, k, targets, LittleEndian{});
}

// size is n here: the big-endian order needs it and the count is 2**n.
void swap_big(float* a, std::int64_t n, const std::int64_t* controls, const std::int64_t* values,
              std::int64_t k, const std::int64_t* targets) {
    swap_loop<SerialLoop>(a, big_size(n), controls, values, k, targets, BigEndian{n});
}

template <class Loop, class F>
void unitary(F* a, std::int64_t size, const std::int64_t* controls, const std::int64_t* values,
             std::int64_t k, const std::int64_t* targets, std::int64_t t, const F* m,
             std::int64_t dim, int threads) {
    unitary_loop<Loop>(a, size, controls, values, k, targets, t, m, dim, threads);
}

#if defined(__x86_64__) || defined(__i386__)
// clflushopt, where the processor has it, flushes several lines at a time.
inline bool has_clflushopt() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx >> 23 & 1);
}
__attribute__((target("clflushopt"))) inline void flush_lines_opt(const char* c,
                                                                  std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; i += 64) __builtin_ia32_clflushopt(c + i);
}
#endif

// Flushes the lines of a buffer from every cache, so that the next pass
// over it reads memory as a gate on a state out of cache does. Elsewhere than
// on x86 the buffer stays where it is.
inline void flush_lines(const void* p, std::size_t bytes) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool opt = has_clflushopt();
    const auto* c = static_cast<const char*>(p);
    if (opt)
        flush_lines_opt(c, bytes);
    else
        for (std::size_t i = 0; i < bytes; i += 64) __builtin_ia32_clflush(c + i);
    __builtin_ia32_mfence();
#else
    (void)p;
    (void)bytes;
#endif
}

// Times the four streams against the plain walk: one thread, a Hadamard on
// target 0 of a private 4 MiB buffer flushed before every pass, the two
// walks taking turns. The streams are kept only when their best pass beats
// the plain walk's by kMargin; where they tie, or the buffer cannot be had,
// the plain walk stays. A few milliseconds, once per process.
Walk calibrate_walk() {
    constexpr std::size_t kBytes = std::size_t{4} << 20;
    constexpr int kRounds = 3;
    constexpr double kMargin = 0.95;
    using F = double;
    void* buffer = nullptr;
    if (posix_memalign(&buffer, 4096, kBytes) != 0) return Walk::kPlain;
    std::memset(buffer, 0, kBytes);
    auto* a = static_cast<F*>(buffer);
    const auto size = static_cast<std::int64_t>(kBytes / (2 * sizeof(F)));
    const auto gate = h_gate<F>();
    const Walk walks[2] = {Walk::kPlain, Walk::kStreams};
    double best[2] = {std::numeric_limits<double>::infinity(),
                      std::numeric_limits<double>::infinity()};
    for (int round = 0; round < kRounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const int which = (round + turn) & 1;
            flush_lines(a, kBytes);
            const auto start = std::chrono::steady_clock::now();
            single_target_loop<SerialLoop>(a, size, nullptr, nullptr, 0, 0, LittleEndian{}, gate,
                                           walks[which]);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            best[which] = std::min(best[which], took.count());
        }
    }
    std::free(buffer);
    return best[1] < kMargin * best[0] ? Walk::kStreams : Walk::kPlain;
}

}  // namespace
}  // namespace QUORVEX_LANES

#define QUORVEX_STRINGIFY_(x) #x
#define QUORVEX_STRINGIFY(x) QUORVEX_STRINGIFY_(x)

const KernelTable& QUORVEX_TABLE_FUNCTION() {
// The serial and the parallel instantiation of a loop template.
#define QUORVEX_PAIR(make, ...) {make(SerialLoop, __VA_ARGS__), make(ParallelLoop, __VA_ARGS__)}
#define QUORVEX_SINGLE(Loop, F, g) &single<Loop, F, &g##_gate<F>>
#define QUORVEX_BIG(Loop, g) &big<Loop, &g##_gate<float>>
#define QUORVEX_LITTLE_ENTRY(g) \
    QUORVEX_PAIR(QUORVEX_SINGLE, float, g), QUORVEX_PAIR(QUORVEX_SINGLE, double, g),
#define QUORVEX_BIG_ENTRY(g) QUORVEX_PAIR(QUORVEX_BIG, g),
    static const KernelTable table = {
        QUORVEX_STRINGIFY(QUORVEX_LANES),
        QUORVEX_FIXED_GATES(QUORVEX_LITTLE_ENTRY)
        QUORVEX_ANGLE_GATES(QUORVEX_LITTLE_ENTRY)
        QUORVEX_BIG_FIXED_GATES(QUORVEX_BIG_ENTRY)
        QUORVEX_ANGLE_GATES(QUORVEX_BIG_ENTRY)
        QUORVEX_PAIR(QUORVEX_SINGLE, float, u),
        QUORVEX_PAIR(QUORVEX_SINGLE, double, u),
        {&big<SerialLoop, &u_big_gate>, &big<ParallelLoop, &u_big_gate>},
        {&swap_little<SerialLoop, float>, &swap_little<ParallelLoop, float>},
        {&swap_little<SerialLoop, double>, &swap_little<ParallelLoop, double>},
        &swap_big,
        {&unitary<SerialLoop, float>, &unitary<ParallelLoop, float>},
        {&unitary<SerialLoop, double>, &unitary<ParallelLoop, double>},
        &calibrate_walk,
    };
#undef QUORVEX_PAIR
#undef QUORVEX_SINGLE
#undef QUORVEX_BIG
#undef QUORVEX_LITTLE_ENTRY
#undef QUORVEX_BIG_ENTRY
    return table;
}

}  // namespace quorvex::kernels
