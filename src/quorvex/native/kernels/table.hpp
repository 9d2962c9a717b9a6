// The serial and parallel loops of one vector width, as a table of function
// pointers. Each lanes_*.cpp fills one table; kernels.cpp picks the widest
// the processor runs (or the one QUORVEX_SIMD names) and forwards every
// entry point through it. All tables give the same bits.
#pragma once

#include <cstdint>

#include "kernels.hpp"

namespace quorvex::kernels {

template <class F, class... Extra>
using SingleLoop = void (*)(F*, std::int64_t, const std::int64_t*, const std::int64_t*,
                            std::int64_t, std::int64_t, Extra...);
template <class F>
using SwapLoop = void (*)(F*, std::int64_t, const std::int64_t*, const std::int64_t*, std::int64_t,
                          const std::int64_t*);
template <class F>
using UnitaryLoop = void (*)(F*, std::int64_t, const std::int64_t*, const std::int64_t*,
                             std::int64_t, const std::int64_t*, std::int64_t, const F*,
                             std::int64_t);
template <class... Extra>
using BigLoop = void (*)(std::int64_t, float*, const std::int64_t*, const std::int64_t*,
                         std::int64_t, std::int64_t, Extra...);

// The order in which a gate whose pairs lie close together visits them on a
// state too large for the caches. Which order is faster depends on the
// processor's prefetchers, and on one processor it differed between pair
// distances and between gates with and without controls, so it is measured
// on the machine, on the gates themselves, for each such class (WalkTrial).
// Both visit the same pairs with the same arithmetic.
enum class Walk : unsigned char {
    kPlain,    // one ascending sweep
    kStreams,  // four far apart parts side by side (IndexSet::visit_runs_abreast)
    kAhead,    // one ascending sweep, each block prefetched a few blocks early
};

// The update a single-target gate applies to each pair (gates.hpp). Gates
// of different kinds do different work per pair, and the walk that suits
// one did not always suit another at the same pair distance (measured), so
// each kind measures its own. The general 2×2 update serves both orders.
enum class GateKind : unsigned char {
    kHadamard,
    kExchange,  // X: the halves exchanged
    kPauliY,
    kNegate,    // Z: a1 negated, a0 untouched
    kDiagonal,  // S, S-dagger, phase: a1 multiplied, a0 untouched
    kRotZ,
    kRotY,
    kMatrix2,   // RX, U3, the square roots
    kCount,
};

template <class Fn>
struct LoopPair {
    Fn serial;
    Fn parallel;
};

struct KernelTable {
    const char* name;
#define QUORVEX_TABLE_FIXED(g)                   \
    LoopPair<SingleLoop<float>> g##_little_f32;  \
    LoopPair<SingleLoop<double>> g##_little_f64;
#define QUORVEX_TABLE_ANGLE(g)                          \
    LoopPair<SingleLoop<float, float>> g##_little_f32;  \
    LoopPair<SingleLoop<double, double>> g##_little_f64;
#define QUORVEX_TABLE_BIG(g) LoopPair<BigLoop<>> g##_big;
#define QUORVEX_TABLE_BIG_ANGLE(g) LoopPair<BigLoop<float>> g##_big;
    QUORVEX_FIXED_GATES(QUORVEX_TABLE_FIXED)
    QUORVEX_ANGLE_GATES(QUORVEX_TABLE_ANGLE)
    QUORVEX_BIG_FIXED_GATES(QUORVEX_TABLE_BIG)
    QUORVEX_ANGLE_GATES(QUORVEX_TABLE_BIG_ANGLE)
#undef QUORVEX_TABLE_FIXED
#undef QUORVEX_TABLE_ANGLE
#undef QUORVEX_TABLE_BIG
#undef QUORVEX_TABLE_BIG_ANGLE
    LoopPair<SingleLoop<float, const float*>> u_little_f32;
    LoopPair<SingleLoop<double, const double*>> u_little_f64;
    LoopPair<BigLoop<const float*>> u_big;
    LoopPair<SwapLoop<float>> swap_little_f32;
    LoopPair<SwapLoop<double>> swap_little_f64;
    SwapLoop<float> swap_big_serial;  // amplitude count 2**n passed as size
    LoopPair<UnitaryLoop<float>> unitary_little_f32;
    LoopPair<UnitaryLoop<double>> unitary_little_f64;
};

// One table per build; the wider ones exist only on x86-64.
const KernelTable& lanes_sse();
const KernelTable& lanes_avx2();
const KernelTable& lanes_avx512();

// The table in use: chosen on first use from QUORVEX_SIMD ("sse", "avx2",
// "avx512") or else the widest the processor supports. Throws
// std::runtime_error when QUORVEX_SIMD names an unknown width or one the
// processor lacks, or when QUORVEX_WALK names no walk.
const KernelTable& kernel_table();

// Names of the widths this processor runs, narrowest first, comma-separated.
const char* supported_lanes();

// The walk of one gate whose pairs lie fewer than kAheadPairs bytes apart on
// a state out of cache. Gates fall into classes by kind, precision, pair
// distance, controls or none, state size and serial or parallel loop.
// QUORVEX_WALK may force one walk for all; otherwise the first gates of a
// class take the two walks in turn, the plain one and its candidate, and
// time themselves (finish()): the class keeps the plain walk as soon as two
// passes of the other are clearly slower, or, after a few passes of each,
// unless the other's best and median time per pair beat the plain walk's by
// 10%. Its later gates go on timing themselves, and a class whose walk falls
// behind the time the trial measured for the walk it turned down tries
// again (a few times at most). Every walk gives the same bits.
struct WalkTrial {
    Walk walk = Walk::kPlain;
    Walk other = Walk::kPlain;  // the class's walk other than the plain one
    int slot = -1;              // the class timing this gate, or -1
    std::int64_t start = 0;     // steady-clock nanoseconds
    void finish(std::uint64_t pairs) const;
};
// `candidate` is the walk other than the plain one that the class may take.
WalkTrial walk_trial(GateKind kind, int amp_bytes, int distance_log, Walk candidate,
                     bool controlled, int size_log, bool parallel);

}  // namespace quorvex::kernels
