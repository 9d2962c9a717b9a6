// The kernel entry points declared in kernels.hpp: each wrapper makes the
// serial-or-parallel decision, and every serial and parallel loop forwards
// to the table of the vector width in use (table.hpp), in both precisions.
#include "kernels.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "gates.hpp"
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
// same as unset or empty) for each class of gates to measure its own.
struct WalkName {
    const char* name;
    Walk walk;
};
constexpr WalkName kWalkNames[] = {
    {"plain", Walk::kPlain}, {"streams", Walk::kStreams}, {"ahead", Walk::kAhead}};

// False when `setting` names no walk; `forced` is left empty for "auto".
bool parse_walk(const char* setting, std::optional<Walk>& forced) {
    forced.reset();
    if (*setting == '\0' || std::strcmp(setting, "auto") == 0) return true;
    for (const WalkName& w : kWalkNames)
        if (std::strcmp(setting, w.name) == 0) forced = w.walk;
    return forced.has_value();
}

const char* walk_name(Walk walk) {
    for (const WalkName& w : kWalkNames)
        if (w.walk == walk) return w.name;
    return "plain";
}

const std::optional<Walk>& forced_walk() {
    static const std::optional<Walk> forced = [] {
        const char* setting = std::getenv("QUORVEX_WALK");
        std::optional<Walk> out;
        if (setting != nullptr && !parse_walk(setting, out))
            throw std::runtime_error(
                std::string("QUORVEX_WALK must be one of auto, plain, streams, ahead, not '") + setting +
                "'");
        return out;
    }();
    return forced;
}

// The classes of gates that decide their walk apart: kinds of update,
// amplitudes of 8 or 16 bytes, pairs 8 bytes ... 8 KiB apart, without and
// with controls, serial or parallel, states of 2**21 amplitudes (32 MiB of
// complex128, the smallest ever asked for) ... 2**40 and more.
constexpr int kKinds = static_cast<int>(GateKind::kCount);
constexpr int kDistances = 11;  // log2 of the distance in bytes, 3 ... 13
constexpr int kSmallestLog = 21;
constexpr int kSizeLogs = 20;
constexpr int kClasses = kKinds * 2 * kDistances * 2 * 2 * kSizeLogs;

int walk_class(GateKind kind, int amp_bytes, int distance_log, bool controlled, int size_log,
               bool parallel) {
    int c = static_cast<int>(kind) * 2 + (amp_bytes == 8 ? 0 : 1);
    c = c * kDistances + distance_log - 3;
    c = c * 4 + (controlled ? 2 : 0) + (parallel ? 1 : 0);
    return c * kSizeLogs + std::clamp(size_log, kSmallestLog, kSmallestLog + kSizeLogs - 1) -
           kSmallestLog;
}

// A trial takes the two walks in turn, plain first (a fresh state's first
// gate also pays for its pages, and that sample should not be the other
// walk's). The other walk is kept when both its best and its median of
// kWalkSamples passes beat the plain walk's by kOtherMargin (on a machine
// shared with other work the best alone once chose the streams where they
// were slower); the plain walk early when the best and the median of
// kEarlySamples passes of each are already kPlainAtOnce apart, so that
// where the other loses the trial costs two slow gates. (With one pass, a
// single pass slowed by something else lost a twofold gain.)
constexpr int kWalkSamples = 6;
constexpr int kEarlySamples = 2;
constexpr double kOtherMargin = 0.90;
constexpr double kPlainAtOnce = 1.05;
// After the trial the class's gates still time themselves, kWatchSamples
// at a time: when even the best of them falls behind the best time per pair
// of the walk the trial turned down, by the margin that walk would have
// needed to be kept, the trial was misled (a plain pass that found the
// state in a cache has outweighed a real gain) or the machine has changed,
// and it runs again, at most kRetrials times per class. (The best, not the
// median: on a machine shared with other work the medians of four gates
// drifted that far often enough to keep some classes trying.)
constexpr int kWatchSamples = 4;
constexpr double kDrift = 1 / kOtherMargin;
constexpr int kRetrials = 2;

template <std::size_t N>
double median_of(const double (&values)[N], int count) {
    double sorted[N];
    std::copy(values, values + count, sorted);
    std::sort(sorted, sorted + count);
    const int half = count / 2;
    return count % 2 ? sorted[half] : 0.5 * (sorted[half - 1] + sorted[half]);
}

// What a class has measured, guarded by `measuring`; made on its first gate.
struct ClassRecord {
    unsigned turns = 0;
    double times[2][kWalkSamples] = {};  // seconds per pair, plain and the other
    int samples[2] = {0, 0};
    double rejected = 0;  // best time per pair of the walk turned down
    double watched[kWatchSamples] = {};
    int watched_count = 0;
    int retrials = 0;

    double best(int w) const { return *std::min_element(times[w], times[w] + samples[w]); }
    double median(int w) const { return median_of(times[w], samples[w]); }
};

// A class's walk: 0 while it measures, then the walk + 1, with kSettled
// added once the class no longer tries again. A gate of a class already
// decided reads only this, and times itself unless the class has settled.
constexpr unsigned char kSettled = 0x10;
std::atomic<unsigned char> class_walks[kClasses];
std::atomic<ClassRecord*> class_records[kClasses];
std::mutex measuring;

// The walk forced for every class (QUORVEX_WALK or the hook), or -1.
std::atomic<int> forced_for_all{-1};
std::once_flag forced_read;

int forced_now() {
    std::call_once(forced_read, [] {
        const std::optional<Walk>& forced = forced_walk();
        if (forced) forced_for_all.store(static_cast<int>(*forced), std::memory_order_release);
    });
    return forced_for_all.load(std::memory_order_acquire);
}

std::optional<Walk> forced_walk_now() {
    const int forced = forced_now();
    return forced < 0 ? std::nullopt : std::optional<Walk>(static_cast<Walk>(forced));
}

// The walk of a class that no longer measures: the forced one where the
// class may take it (the plain one where it may not), or the class's own
// decision; nothing while it measures.
std::optional<Walk> settled_walk(int slot, Walk candidate) {
    if (const std::optional<Walk> forced = forced_walk_now())
        return *forced == candidate ? candidate : Walk::kPlain;
    const int decided = class_walks[slot].load(std::memory_order_acquire) & ~kSettled;
    return decided == 0 ? std::nullopt : std::optional<Walk>(static_cast<Walk>(decided - 1));
}

// The class's record, made on first use; null when memory runs out (the
// gate then walks plainly, untimed).
ClassRecord* record_of(int slot) {
    ClassRecord* record = class_records[slot].load(std::memory_order_relaxed);
    if (record == nullptr) {
        record = new (std::nothrow) ClassRecord;
        class_records[slot].store(record, std::memory_order_relaxed);
    }
    return record;
}

void forget_classes() {
    const std::lock_guard<std::mutex> hold(measuring);
    for (int slot = 0; slot < kClasses; ++slot) {
        class_walks[slot].store(0, std::memory_order_relaxed);
        if (ClassRecord* record = class_records[slot].load(std::memory_order_relaxed))
            *record = ClassRecord{};
    }
}

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The trial's decision once its samples suffice: the walk kept, or nothing
// while it goes on.
std::optional<Walk> trial_decision(const ClassRecord& c, Walk other) {
    if (c.samples[0] >= kEarlySamples && c.samples[1] >= kEarlySamples &&
        c.best(1) > kPlainAtOnce * c.best(0) && c.median(1) > kPlainAtOnce * c.median(0))
        return Walk::kPlain;
    if (c.samples[0] < kWalkSamples || c.samples[1] < kWalkSamples) return std::nullopt;
    return c.best(1) < kOtherMargin * c.best(0) && c.median(1) < kOtherMargin * c.median(0)
               ? other
               : Walk::kPlain;
}

}  // namespace

WalkTrial walk_trial(GateKind kind, int amp_bytes, int distance_log, Walk candidate,
                     bool controlled, int size_log, bool parallel) {
    const int slot = walk_class(kind, amp_bytes, distance_log, controlled, size_log, parallel);
    if (const std::optional<Walk> walk = settled_walk(slot, candidate)) {
        const bool watched =
            forced_now() < 0 && (class_walks[slot].load(std::memory_order_relaxed) & kSettled) == 0;
        return {*walk, candidate, watched ? slot : -1, watched ? now_ns() : 0};
    }
    const std::lock_guard<std::mutex> hold(measuring);
    ClassRecord* record = record_of(slot);
    if (record == nullptr) return {Walk::kPlain, candidate, -1, 0};
    const unsigned turn = record->turns++;
    return {turn % 2 == 0 ? Walk::kPlain : candidate, candidate, slot, now_ns()};
}

namespace {

// One gate's time per pair, in the class that walk_trial gave it.
void record_walk_time(int slot, Walk walk, Walk other, double per_pair) {
    const std::lock_guard<std::mutex> hold(measuring);
    ClassRecord* c = class_records[slot].load(std::memory_order_relaxed);
    if (c == nullptr) return;
    const int decided = class_walks[slot].load(std::memory_order_relaxed);
    if (decided != 0) {
        // Watching the decided walk; a gate that started in the trial or
        // under a forced walk, or one of a settled class, adds nothing.
        if ((decided & kSettled) != 0 || static_cast<Walk>(decided - 1) != walk) return;
        c->watched[c->watched_count++] = per_pair;
        if (c->watched_count < kWatchSamples) return;
        c->watched_count = 0;
        if (*std::min_element(c->watched, c->watched + kWatchSamples) <= kDrift * c->rejected)
            return;
        const int retrials = c->retrials + 1;
        *c = ClassRecord{};
        c->retrials = retrials;
        class_walks[slot].store(0, std::memory_order_release);
        return;
    }
    const int w = walk == Walk::kPlain ? 0 : 1;
    if (c->samples[w] == kWalkSamples) return;  // concurrent gates took more turns of it
    c->times[w][c->samples[w]++] = per_pair;
    const std::optional<Walk> chosen = trial_decision(*c, other);
    if (!chosen) return;
    c->rejected = c->best(*chosen == Walk::kPlain ? 1 : 0);
    const unsigned char settled = c->retrials == kRetrials ? kSettled : 0;
    class_walks[slot].store((1 + static_cast<unsigned char>(*chosen)) | settled,
                            std::memory_order_release);
}

}  // namespace

void WalkTrial::finish(std::uint64_t pairs) const {
    if (slot < 0 || pairs == 0) return;
    record_walk_time(slot, walk, other,
                     1e-9 * static_cast<double>(now_ns() - start) / static_cast<double>(pairs));
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
                                                 t, raw(matrix), dim);                           \
    }                                                                                            \
    void apply_unitary_little_##P##_parallel(                                                    \
        std::complex<F>* amps, std::int64_t size, const std::int64_t* controls,                  \
        const std::int64_t* values, std::int64_t k, const std::int64_t* targets, std::int64_t t, \
        const std::complex<F>* matrix, std::int64_t dim) {                                       \
        kernel_table().unitary_little_##P.parallel(raw(amps), size, controls, values, k,         \
                                                   targets, t, raw(matrix), dim);                \
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

// The walk forced for every class, as QUORVEX_WALK names it, or "auto" when
// each class measures its own.
extern "C" __attribute__((visibility("default"))) const char* quorvex_walk() {
    const std::optional<kq::Walk> forced = kq::forced_walk_now();
    return forced ? kq::walk_name(*forced) : "auto";
}

// Replaces the walk for the rest of the process: a name as QUORVEX_WALK
// takes it forces that walk for every class; "auto" lets each class measure
// anew on its next gates. Returns 0, or -1 (nothing changed) for a name of
// no walk. Not to be called while a gate runs.
extern "C" __attribute__((visibility("default"))) int quorvex_set_walk(const char* setting) {
    std::optional<kq::Walk> forced;
    if (setting == nullptr || !kq::parse_walk(setting, forced)) return -1;
    kq::forced_now();
    kq::forget_classes();
    kq::forced_for_all.store(forced ? static_cast<int>(*forced) : -1, std::memory_order_release);
    return 0;
}

// The kind of each single-target gate of the module, by its name there.
struct KindOfGate {
    const char* gate;
    kq::GateKind kind;
};
#define QUORVEX_KIND_FIXED(g) {#g, decltype(kq::g##_gate<float>())::kKind},
#define QUORVEX_KIND_ANGLE(g) {#g, decltype(kq::g##_gate<float>(0.0f))::kKind},
constexpr KindOfGate kKindOfGate[] = {
    QUORVEX_FIXED_GATES(QUORVEX_KIND_FIXED) QUORVEX_ANGLE_GATES(QUORVEX_KIND_ANGLE)
    {"u", decltype(kq::u_gate<float>(nullptr))::kKind},
};
#undef QUORVEX_KIND_FIXED
#undef QUORVEX_KIND_ANGLE

// The class of the single-target gate `gate` ("h", "rx", ... as the module
// names them) on `target` with `controls` controls in a little-endian state
// of n qubits whose amplitudes take `amp_bytes` bytes (8 or 16), serial or
// parallel: nothing for a name of no such gate; a slot of -1 for a gate that
// always walks plainly.
struct GateClass {
    kq::GateKind kind;
    int amp_bytes = 0, distance_log = 0, size_log = 0;
    bool controlled = false, parallel = false;
    kq::Walk candidate = kq::Walk::kPlain;
    int slot = -1;
};

std::optional<GateClass> class_of(const char* gate, std::int64_t amp_bytes, std::int64_t n,
                                  std::int64_t target, std::int64_t controls,
                                  std::int64_t parallel) {
    const KindOfGate* found = nullptr;
    for (const KindOfGate& g : kKindOfGate)
        if (gate != nullptr && std::strcmp(gate, g.gate) == 0) found = &g;
    if (found == nullptr) return std::nullopt;
    GateClass c{found->kind};
    if (n < 1 || n > 62 || target < 0 || target >= n || (amp_bytes != 8 && amp_bytes != 16)) return c;
    const auto distance = (std::uint64_t{1} << target) * static_cast<std::uint64_t>(amp_bytes);
    if (!kq::walk_measured((std::uint64_t{1} << n) * static_cast<std::uint64_t>(amp_bytes), distance))
        return c;
    c.amp_bytes = static_cast<int>(amp_bytes);
    c.distance_log = __builtin_ctzll(distance);
    c.size_log = static_cast<int>(n);
    c.controlled = controls > 0;
    c.parallel = parallel != 0;
    c.candidate = kq::walk_candidate(distance);
    c.slot = kq::walk_class(c.kind, c.amp_bytes, c.distance_log, c.controlled, c.size_log, c.parallel);
    return c;
}

// The walk of such a gate: "plain", "streams" or "ahead", or "auto" while
// its class is still measuring; null for a name of no such gate.
extern "C" __attribute__((visibility("default"))) const char* quorvex_gate_walk(
    const char* gate, std::int64_t amp_bytes, std::int64_t n, std::int64_t target,
    std::int64_t controls, std::int64_t parallel) {
    const std::optional<GateClass> c = class_of(gate, amp_bytes, n, target, controls, parallel);
    if (!c) return nullptr;
    if (c->slot < 0) return "plain";
    const std::optional<kq::Walk> walk = kq::settled_walk(c->slot, c->candidate);
    return walk ? kq::walk_name(*walk) : "auto";
}

// Stands in for one such gate that takes `plain_seconds` per pair in the
// plain walk and `other_seconds` in its class's other walk, for the tests of
// the trials: takes the walk the gate would take, records the time it would
// measure, and returns the walk's name (null as above).
extern "C" __attribute__((visibility("default"))) const char* quorvex_gate_walk_timed(
    const char* gate, std::int64_t amp_bytes, std::int64_t n, std::int64_t target,
    std::int64_t controls, std::int64_t parallel, double plain_seconds, double other_seconds) {
    const std::optional<GateClass> c = class_of(gate, amp_bytes, n, target, controls, parallel);
    if (!c) return nullptr;
    if (c->slot < 0) return "plain";
    const kq::WalkTrial trial = kq::walk_trial(c->kind, c->amp_bytes, c->distance_log, c->candidate,
                                               c->controlled, c->size_log, c->parallel);
    if (trial.slot >= 0)
        kq::record_walk_time(trial.slot, trial.walk, trial.other,
                             trial.walk == kq::Walk::kPlain ? plain_seconds : other_seconds);
    return kq::walk_name(trial.walk);
}
