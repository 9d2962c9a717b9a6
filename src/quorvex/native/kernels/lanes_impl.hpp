// Body of a lanes_*.cpp: instantiates every serial and parallel loop for the
// width the including file chose and returns them as a KernelTable. The
// including file defines QUORVEX_LANES, QUORVEX_LANE_BYTES and
// QUORVEX_TABLE_FUNCTION, and switches the instruction set on (after the
// standard headers, so that their inline code stays the common build).

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
             std::int64_t dim) {
    unitary_loop<Loop>(a, size, controls, values, k, targets, t, m, dim);
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
    };
#undef QUORVEX_PAIR
#undef QUORVEX_SINGLE
#undef QUORVEX_BIG
#undef QUORVEX_LITTLE_ENTRY
#undef QUORVEX_BIG_ENTRY
    return table;
}

}  // namespace quorvex::kernels
