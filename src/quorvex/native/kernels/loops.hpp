// The three loop shapes of the kernels: one target, SWAP and dense unitary.
// Each is a template over the loop policy (walk.hpp), the precision F and the
// qubit numbering, so serial, parallel, little- and big-endian forms share
// one body. None of them checks its arguments beyond what keeps every index
// inside the buffer; the entry points check before calling.
#pragma once

#include "lanes.hpp"

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "arith.hpp"
#include "simd.hpp"
#include "table.hpp"
#include "walk.hpp"

namespace quorvex::kernels {
inline namespace QUORVEX_LANES {

// Gates whose pairs lie fewer than kNearPairs bytes apart may walk them in
// four streams (IndexSet::visit_runs_abreast, kStreamPiece bytes of each at a
// time: a whole number of lane groups of every width) instead of one
// ascending sweep, on states of kStreamState bytes or more, which the caches
// no longer hold: on smaller ones the extra steps cost more than the memory
// they overlap (measured). Gates whose pairs lie kNearPairs to kAheadPairs
// bytes apart alternate between the two halves of a block inside a few
// pages, where some processors' prefetchers lose track: these may prefetch
// each block kAheadBytes before they reach it. Whether either wins depends
// on the processor, so the gates measure it (WalkTrial). Pairs farther apart
// make two streams of their own, and with four more they ran slower
// (measured), so they always walk plainly.
constexpr std::uint64_t kNearPairs = 512;
constexpr std::uint64_t kAheadPairs = std::uint64_t{16} << 10;
constexpr std::uint64_t kStreamPiece = 256;
constexpr std::uint64_t kAheadBytes = std::uint64_t{8} << 10;
constexpr std::uint64_t kStreamState = std::uint64_t{32} << 20;

// Whether a gate on a state of `state_bytes` whose pairs lie `distance`
// bytes apart may take a walk other than the plain one.
inline bool walk_measured(std::uint64_t state_bytes, std::uint64_t distance) {
    return state_bytes >= kStreamState && distance < kAheadPairs;
}

// The walk other than the plain one that pairs `distance` bytes apart may
// take: the streams for near pairs, prefetching ahead for the middle ones.
inline Walk walk_candidate(std::uint64_t distance) {
    return distance < kNearPairs ? Walk::kStreams : Walk::kAhead;
}

// The walk of a gate of `kind` whose pairs lie `distance` bytes apart (a
// power of two) in a state of `size` amplitudes, with or without controls.
template <class Loop, class F>
inline WalkTrial walk_for(GateKind kind, std::int64_t size, std::uint64_t distance,
                          bool controlled) {
    if (!walk_measured(static_cast<std::uint64_t>(size) * 2 * sizeof(F), distance)) return {};
    const int size_log = 63 - __builtin_clzll(static_cast<std::uint64_t>(size));
    return walk_trial(kind, static_cast<int>(2 * sizeof(F)), __builtin_ctzll(distance),
                      walk_candidate(distance), controlled, size_log,
                      std::is_same_v<Loop, ParallelLoop>);
}

// Low targets give runs of pairs too short to pay for a loop each: runs of
// up to two lane groups (targets 0 ... log2(W) + 1, and 0 ... 2 whatever
// the width). Walked run by run, a run of one or two groups took 10-35%
// more time in cache than in blocks, at every width (measured).
// There the walk goes over blocks of 2**(T+1) amplitudes instead, each
// holding 2**T pairs: the a0 half, then the a1 half. The pairs and their
// arithmetic are the same; only the grouping changes.
template <class F>
constexpr std::int64_t kLowTargetMax = std::max(2, __builtin_ctzll(Simd<F>::W) + 1);

template <int T, class Loop, class F, class Order, class Gate>
void low_target_loop(F* a, std::int64_t size, const std::int64_t* controls,
                     const std::int64_t* values, std::int64_t k, Order order, const Gate& gate,
                     Walk walk) {
    IndexSet blocks(size);
    blocks.require_controls(controls, values, k, order);
    blocks.require((std::uint64_t{2} << T) - 1, 0);
    const std::uint64_t count = blocks.prepare();
    const std::uint64_t stride = 2 * blocks.step();
    // A whole number of lane groups of every block length, a block at least.
    constexpr std::uint64_t piece =
        std::max<std::uint64_t>(1, kStreamPiece / ((std::uint64_t{4} << T) * sizeof(F)));
    const auto run = [&](std::uint64_t first, std::uint64_t len) {
        block_pairs<T>(a + 2 * first, len, stride, gate);
    };
    Loop::run(count, [&](std::uint64_t begin, std::uint64_t end) {
        if (walk == Walk::kStreams)
            blocks.visit_runs_abreast(begin, end, piece, run);
        else
            blocks.visit_runs(begin, end, run);
    });
}

// Applies `gate` to every pair (j, j | target bit) with the target bit clear
// in j and the controls matched, in the walk the state's size and the pairs'
// distance call for.
template <class Loop, class F, class Order, class Gate>
void single_target_loop(F* a, std::int64_t size, const std::int64_t* controls,
                        const std::int64_t* values, std::int64_t k, std::int64_t target,
                        Order order, const Gate& gate) {
    IndexSet set(size);
    set.require_controls(controls, values, k, order);
    const std::int64_t pos = order(target);
    set.require_clear(pos);
    const std::uint64_t count = set.prepare();
    if (count == 0) return;
    const std::uint64_t tbit = set.bit(pos);
    const std::uint64_t distance = tbit * 2 * sizeof(F);
    const WalkTrial trial = walk_for<Loop, F>(Gate::kKind, size, distance, k > 0);
    const Walk walk = trial.walk;
    if (pos <= kLowTargetMax<F> && set.free_below(pos)) {
        const auto low_loop = [&](auto t) {
            low_target_loop<decltype(t)::value, Loop>(a, size, controls, values, k, order, gate,
                                                      walk);
            trial.finish(count);
        };
        switch (pos) {
            case 0: return low_loop(std::integral_constant<int, 0>{});
            case 1: return low_loop(std::integral_constant<int, 1>{});
            case 2: return low_loop(std::integral_constant<int, 2>{});
            case 3: return low_loop(std::integral_constant<int, 3>{});
            case 4: return low_loop(std::integral_constant<int, 4>{});
            case 5: return low_loop(std::integral_constant<int, 5>{});
        }
    }
    const std::uint64_t step = 2 * set.step();
    // Runs of whole halves make blocks that follow each other, unless
    // controls leave some out: then the prefetch only misses.
    const bool ahead = walk == Walk::kAhead && step == 2 && set.free_below(pos);
    const std::uint64_t state_bytes = static_cast<std::uint64_t>(size) * 2 * sizeof(F);
    const auto pairs = [&](std::uint64_t first, std::uint64_t len) {
        F* p0 = a + 2 * first;
        F* p1 = a + 2 * (first | tbit);
        if (ahead) {
            // Offsets from the state's start, so that no pointer past its end
            // is ever formed, even for the last blocks.
            const std::uint64_t at = first * 2 * sizeof(F);
            const std::uint64_t stop = std::min(at + kAheadBytes + 2 * distance, state_bytes);
            const char* const base = reinterpret_cast<const char*>(a);
            for (std::uint64_t line = at + kAheadBytes; line < stop; line += 64)
                __builtin_prefetch(base + line, 1, 3);
        }
        if (step == 2) {
            contiguous_pairs(p0, p1, len, gate);
        } else {
            const Gate g = gate;
            for (std::uint64_t r = 0; r < len; ++r) pair_update(p0 + r * step, p1 + r * step, g);
        }
    };
    const std::uint64_t piece = kStreamPiece / (2 * sizeof(F) * set.step());
    Loop::run(count, [&](std::uint64_t begin, std::uint64_t end) {
        if (walk == Walk::kStreams)
            set.visit_runs_abreast(begin, end, piece, pairs);
        else
            set.visit_runs(begin, end, pairs);
    });
    trial.finish(count);
}

// Exchanges two equally long blocks of amplitudes through a small buffer,
// a batch at a time: each side is read and written in long sequential
// stretches however far apart the blocks lie (two blocks a large power of
// two apart would otherwise alternate between the same memory banks on
// every amplitude). The bits are copied unchanged.
template <class F>
inline void swap_blocks(F* p, F* q, std::uint64_t amps) {
    constexpr std::size_t kBatch = 8192;  // bytes
    alignas(64) unsigned char buffer[kBatch];
    std::size_t bytes = static_cast<std::size_t>(amps) * 2 * sizeof(F);
    auto* x = reinterpret_cast<unsigned char*>(p);
    auto* y = reinterpret_cast<unsigned char*>(q);
    for (; bytes >= kBatch; bytes -= kBatch, x += kBatch, y += kBatch) {
        std::memcpy(buffer, x, kBatch);
        std::memcpy(x, y, kBatch);
        std::memcpy(y, buffer, kBatch);
    }
    if (bytes > 0) {
        std::memcpy(buffer, x, bytes);
        std::memcpy(x, y, bytes);
        std::memcpy(y, buffer, bytes);
    }
}

// Exchanges the stored bits of j (first target clear, second set) and of its
// partner with the two bits flipped. Equal targets select nothing. A run of
// consecutive members has a run of consecutive partners (the flipped bits
// lie outside the run), so the exchange goes block by block.
template <class Loop, class F, class Order>
void swap_loop(F* a, std::int64_t size, const std::int64_t* controls, const std::int64_t* values,
               std::int64_t k, const std::int64_t* targets, Order order) {
    IndexSet set(size);
    set.require_controls(controls, values, k, order);
    const std::int64_t p0 = order(targets[0]), p1 = order(targets[1]);
    set.require_clear(p0);
    set.require_set(p1);
    const std::uint64_t count = set.prepare();
    if (count == 0) return;
    const std::uint64_t flip = set.bit(p0) | set.bit(p1);
    const std::uint64_t step = set.step();
    Loop::run(count, [&](std::uint64_t begin, std::uint64_t end) {
        set.visit_runs(begin, end, [&](std::uint64_t first, std::uint64_t len) {
            F* p = a + 2 * first;
            F* q = a + 2 * (first ^ flip);
            if (step == 1) return swap_blocks(p, q, len);
            for (std::uint64_t r = 0; r < len; ++r) {
                const Amp<F> x = load(p + 2 * r * step), y = load(q + 2 * r * step);
                store(p + 2 * r * step, y);
                store(q + 2 * r * step, x);
            }
        });
    });
}

// One row of the dense product, summed in column order from a (+0, +0) start.
// V is F for one base index or a lane vector for several (simd.hpp): every
// lane sees the scalar sequence of operations.
template <class V, class F>
inline Amp<V> dense_row(const F* row, const Amp<V>* gathered, std::size_t d) {
    V re{}, im{};
    for (std::size_t c = 0; c < d; ++c) {
        const Amp<F> entry = load(row + 2 * c);  // the matrix may be unaligned too
        const F mre = entry.re, mim = entry.im;
        re = re + (mre * gathered[c].re - mim * gathered[c].im);
        im = im + (mre * gathered[c].im + mim * gathered[c].re);
    }
    return {re, im};
}

// One base index j of the dense unitary: gather the amplitudes, form every
// row's sum, then scatter. All outputs are computed from the gathered old
// values before any is written.
template <class F>
inline void dense_apply(F* a, std::uint64_t j, const std::uint64_t* offset, const F* m,
                        std::size_t d, Amp<F>* gathered, Amp<F>* results) {
    for (std::size_t r = 0; r < d; ++r) gathered[r] = load(a + 2 * (j | offset[r]));
    for (std::size_t r = 0; r < d; ++r) results[r] = dense_row(m + 2 * r * d, gathered, d);
    for (std::size_t r = 0; r < d; ++r) store(a + 2 * (j | offset[r]), results[r]);
}

// The common small dimensions, unrolled, with the scratch in registers.
template <std::size_t D, class F>
inline void dense_apply_fixed(F* a, std::uint64_t j, const std::uint64_t* offset, const F* m) {
    Amp<F> gathered[D], results[D];
    dense_apply(a, j, offset, m, D, gathered, results);
}

// The same for W base indices at once, lane l holding base first + l*step:
// each lane performs exactly the scalar sequence of dense_apply.
template <std::size_t D, class F>
inline void dense_apply_lanes(F* a, std::uint64_t first, std::uint64_t step,
                              const std::uint64_t* offset, const F* m) {
    using V = typename Simd<F>::V;
    Amp<V> gathered[D], results[D];
    for (std::size_t c = 0; c < D; ++c)
        gathered[c] = gather_lanes(a + 2 * (first | offset[c]), step);
    for (std::size_t r = 0; r < D; ++r) results[r] = dense_row(m + 2 * r * D, gathered, D);
    for (std::size_t r = 0; r < D; ++r)
        scatter_lanes(a + 2 * (first | offset[r]), step, results[r]);
}

template <std::size_t D, class F>
inline void dense_run(F* a, std::uint64_t first, std::uint64_t len, std::uint64_t step,
                      const std::uint64_t* offset, const F* m) {
    constexpr std::uint64_t W = Simd<F>::W;
    std::uint64_t r = 0;
    for (; r + W <= len; r += W) dense_apply_lanes<D>(a, first + r * step, step, offset, m);
    for (; r < len; ++r) dense_apply_fixed<D>(a, first + r * step, offset, m);
}

// Dense 2**t × 2**t matrix (row-major, interleaved complex) on t targets;
// targets[0] is the least significant bit of the matrix index. Heap scratch
// is allocated before any amplitude is touched, so an allocation failure
// leaves the state unchanged and nothing is allocated inside a parallel
// region: one block per worker the loop policy may run (one for the serial
// form, whichever thread calls it), a cache line apart so that threads never
// share one.
template <class Loop, class F>
void unitary_loop(F* a, std::int64_t size, const std::int64_t* controls, const std::int64_t* values,
                  std::int64_t k, const std::int64_t* targets, std::int64_t t, const F* m,
                  std::int64_t dim) {
    if (dim <= 0 || t < 0 || t > 62 || dim != (std::int64_t{1} << t)) return;
    IndexSet set(size);
    set.require_controls(controls, values, k, LittleEndian{});
    for (std::int64_t l = 0; l < t; ++l) set.require_clear(targets[l]);
    const std::uint64_t count = set.prepare();
    if (count == 0) return;

    const auto d = static_cast<std::size_t>(dim);
    std::vector<std::uint64_t> offset(d, 0);
    for (std::size_t r = 0; r < d; ++r)
        for (std::int64_t l = 0; l < t; ++l)
            if (r >> l & 1) offset[r] |= set.bit(targets[l]);
    // Dimensions 2, 4 and 8 need no heap scratch.
    const bool fixed = d == 2 || d == 4 || d == 8;
    const int team = Loop::team();
    const std::size_t block = 2 * d + (64 + sizeof(Amp<F>) - 1) / sizeof(Amp<F>);
    std::vector<Amp<F>> scratch(fixed ? 0 : static_cast<std::size_t>(team) * block,
                                Amp<F>{F(0), F(0)});
    const std::uint64_t* off = offset.data();
    const std::uint64_t step = set.step();

    Loop::run(
        count,
        [&](std::uint64_t begin, std::uint64_t end) {
            switch (d) {
                case 2:
                    return set.visit_runs(begin, end, [&](std::uint64_t first, std::uint64_t len) {
                        dense_run<2>(a, first, len, step, off, m);
                    });
                case 4:
                    return set.visit_runs(begin, end, [&](std::uint64_t first, std::uint64_t len) {
                        dense_run<4>(a, first, len, step, off, m);
                    });
                case 8:
                    return set.visit_runs(begin, end, [&](std::uint64_t first, std::uint64_t len) {
                        dense_run<8>(a, first, len, step, off, m);
                    });
            }
            // The policy keeps the worker number below the team it sized.
            Amp<F>* gathered = scratch.data() + static_cast<std::size_t>(Loop::worker()) * block;
            Amp<F>* results = gathered + d;
            set.visit(begin, end,
                      [&](std::uint64_t j) { dense_apply(a, j, off, m, d, gathered, results); });
        },
        team);
}

}  // namespace QUORVEX_LANES
}  // namespace quorvex::kernels
