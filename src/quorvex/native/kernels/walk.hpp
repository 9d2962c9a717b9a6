// Index walk and loop policies shared by every kernel.
//
// A kernel acts on the amplitude indices j that satisfy a few bit conditions:
// target bits clear (or, for SWAP, one clear and one set) and the control
// bits equal to the control-value mask. Rather than testing every index of
// the state, IndexSet enumerates exactly the qualifying indices: it numbers
// them 0 .. count-1 by depositing the bits of the counter into the free bit
// positions. The lowest run of free bits maps to a contiguous stride, so the
// inner loop is a plain strided loop and the deposit is paid once per run.
//
// The loop policy (SerialLoop or ParallelLoop) decides how the counter range
// is split, so one kernel body serves both. ParallelLoop hands the threads
// chunks of the counter on demand. Both visit the same indices with the
// same per-index arithmetic, so their results agree to the bit whatever the
// number of threads and whichever thread takes which chunk.
#pragma once

#include "lanes.hpp"

#include <omp.h>

#include <algorithm>
#include <cstdint>

namespace quorvex::kernels {
inline namespace QUORVEX_LANES {

// Serial-or-parallel decision of every wrapper: the work measure is 2**s,
// s the low six bits of `exponent` (two's complement), read as a signed
// 64-bit number, so s = 63 is negative and stays serial.
inline bool use_parallel(std::int64_t exponent, std::int64_t threshold, bool runopenmp) {
    if (!runopenmp) return false;
    if (omp_get_max_threads() <= 1) return false;
    const unsigned s = static_cast<unsigned>(static_cast<std::uint64_t>(exponent) & 63u);
    const auto measure = static_cast<std::int64_t>(std::uint64_t{1} << s);
    return measure > threshold;
}

// n − k − 1 without signed overflow, for the single-target and SWAP measures.
inline std::int64_t single_target_exponent(std::int64_t n, std::int64_t k) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(n) - static_cast<std::uint64_t>(k) -
                                     1u);
}

// n − t, the dense unitary's measure.
inline std::int64_t unitary_exponent(std::int64_t n, std::int64_t t) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(n) - static_cast<std::uint64_t>(t));
}

// Besides splitting the range, a policy says how many threads may run the
// body at once (team) and which of them is running it (worker, below team):
// a kernel that keeps scratch per thread sizes it by the one and picks its
// block by the other. The serial form is one worker whatever thread calls
// it, also a thread of a team its caller opened.
struct SerialLoop {
    static int team() { return 1; }
    static int worker() { return 0; }

    template <class Body>
    static void run(std::uint64_t count, const Body& body, int = 1) {
        if (count > 0) body(std::uint64_t{0}, count);
    }
};

struct ParallelLoop {
    // The counter range is cut into chunks that the threads take one at a
    // time, so a thread the system deschedules holds back one chunk, not a
    // whole share of the gate. Chunks are a power of two long (runs and lane
    // groups keep their alignment), about sixteen per thread, and at least
    // kMinChunk members so that taking one costs little against its work.
    static constexpr std::uint64_t kMinChunk = std::uint64_t{1} << 12;
    static constexpr std::uint64_t kChunksPerThread = 16;

    static int team() { return std::max(1, omp_get_max_threads()); }
    static int worker() { return omp_get_thread_num(); }

    static std::uint64_t chunk_size(std::uint64_t count, int threads) {
        const std::uint64_t want =
            count / (kChunksPerThread * static_cast<std::uint64_t>(threads > 1 ? threads : 1));
        std::uint64_t chunk = kMinChunk;
        while (chunk < want) chunk <<= 1;
        return chunk;
    }

    // `threads` bounds the team (the runtime may give fewer), so a worker
    // number is always below the count the caller sized its scratch for.
    template <class Body>
    static void run(std::uint64_t count, const Body& body, int threads = team()) {
        if (count == 0) return;
        const std::uint64_t chunk = chunk_size(count, threads);
        const auto chunks = static_cast<std::int64_t>((count - 1) / chunk + 1);
#pragma omp parallel num_threads(threads)
        {
#pragma omp for schedule(dynamic, 1) nowait
            for (std::int64_t c = 0; c < chunks; ++c) {
                const std::uint64_t begin = static_cast<std::uint64_t>(c) * chunk;
                body(begin, std::min(begin + chunk, count));
            }
        }
    }
};

// The set of indices j < size with (j & mask) == value.
class IndexSet {
public:
    // The universe is every index below size, a power of two (a smaller one
    // if size is not, so nothing outside the buffer is ever formed).
    explicit IndexSet(std::int64_t size) {
        if (size <= 0) {
            empty_ = true;
            return;
        }
        bits_ = 63 - __builtin_clzll(static_cast<std::uint64_t>(size));
        universe_ = (std::uint64_t{1} << bits_) - 1;
    }

    // True when no condition fixes a bit below position pos.
    bool free_below(std::int64_t pos) const {
        return (mask_ & ((std::uint64_t{1} << pos) - 1)) == 0;
    }

    // Bit of a position inside the universe, 0 when the position lies outside.
    std::uint64_t bit(std::int64_t pos) const {
        return (pos >= 0 && pos < bits_) ? std::uint64_t{1} << pos : 0;
    }

    void require(std::uint64_t mask, std::uint64_t value) {
        if ((mask_ & mask) & (value_ ^ value)) empty_ = true;
        mask_ |= mask;
        value_ |= value;
    }

    // A target must lie inside the universe, or its partner would not.
    void require_clear(std::int64_t pos) {
        const std::uint64_t b = bit(pos);
        if (b == 0) empty_ = true;
        require(b, 0);
    }
    void require_set(std::int64_t pos) {
        const std::uint64_t b = bit(pos);
        if (b == 0) empty_ = true;
        require(b, b);
    }

    // Controls combine by OR: a qubit listed with values 0 and 1 must be 1.
    // Only the value exactly 1 asks for a set bit. A control outside the
    // universe is clear in every index: it can only be satisfied by a 0.
    template <class Position>
    void require_controls(const std::int64_t* controls, const std::int64_t* values, std::int64_t k,
                          Position position) {
        std::uint64_t cmask = 0, cval = 0;
        for (std::int64_t i = 0; i < k; ++i) {
            const std::uint64_t b = bit(position(controls[i]));
            if (values[i] == 1) {
                if (b == 0) empty_ = true;
                cval |= b;
            }
            cmask |= b;
        }
        require(cmask, cval);
    }

    // Number of indices in the set; fixes the layout used by visit().
    std::uint64_t prepare() {
        if (empty_) return 0;
        const std::uint64_t free = universe_ & ~mask_;
        free_ = free;
        holes_ = 0;
        for (int p = 0; p < bits_; ++p)
            if (!(free >> p & 1)) hole_[holes_++] = p;
        if (free == 0) {
            shift_ = 0;
            run_bits_ = 0;
        } else {
            shift_ = __builtin_ctzll(free);
            run_bits_ = __builtin_ctzll(~(free >> shift_));
        }
        return std::uint64_t{1} << __builtin_popcountll(free);
    }

    // Distance between consecutive members of a run.
    std::uint64_t step() const { return std::uint64_t{1} << shift_; }

    // Hands the members numbered begin .. end-1 to f(first, len) as runs:
    // the run's members are first, first + step(), ..., in ascending order.
    template <class Run>
    void visit_runs(std::uint64_t begin, std::uint64_t end, const Run& f) const {
        if (begin >= end) return;
        const std::uint64_t run = std::uint64_t{1} << run_bits_;
        // The first run's members come from the deposit; each next run's
        // first member from the one before, by adding 1 across the bits
        // that are fixed or the run's own.
        const std::uint64_t skip = ~free_ | ((run - 1) << shift_);
        std::uint64_t off = begin & (run - 1);
        std::uint64_t base = deposit(begin - off);
        for (std::uint64_t i = begin;;) {
            const std::uint64_t len = std::min(run - off, end - i);
            f(value_ | base | (off << shift_), len);
            i += len;
            if (i >= end) return;
            off = 0;
            base = ((base | skip) + 1) & free_;
        }
    }

    // As visit_runs, for the same members, but the range is cut into kWays
    // equal parts walked side by side: `piece` members of the first part,
    // then of the second, and so on, then the next piece of each. A single
    // ascending stream keeps only the processor's prefetch for one 4 KiB
    // region running at a time; several regions far apart keep several
    // running, which some processors need once the state is out of cache
    // (others prefetch one stream better: the gates measure which, WalkTrial).
    // Each member still gets its own update, only the order changes. Falls
    // back to visit_runs when the range does not split evenly.
    static constexpr std::uint64_t kWays = 4;
    template <class Run>
    void visit_runs_abreast(std::uint64_t begin, std::uint64_t end, std::uint64_t piece,
                            const Run& f) const {
        const std::uint64_t run = std::uint64_t{1} << run_bits_;
        piece = std::min(piece, run);
        const std::uint64_t len = end - begin, part = len / kWays;
        if (piece == 0 || (piece & (piece - 1)) != 0 || (begin & (piece - 1)) != 0 ||
            part < piece || len % (kWays * piece) != 0)
            return visit_runs(begin, end, f);
        // Pieces lie inside one run each (piece divides run, both aligned);
        // the deposit is paid when a part enters a new run.
        std::uint64_t base[kWays] = {};
        for (std::uint64_t i = 0; i < part; i += piece) {
            for (std::uint64_t w = 0; w < kWays; ++w) {
                const std::uint64_t m = begin + w * part + i;
                const std::uint64_t off = m & (run - 1);
                if (i == 0 || off == 0) base[w] = value_ | deposit(m - off);
                f(base[w] | (off << shift_), piece);
            }
        }
    }

    // Calls f(j) for the members numbered begin .. end-1, in ascending order.
    template <class Visit>
    void visit(std::uint64_t begin, std::uint64_t end, const Visit& f) const {
        const std::uint64_t s = step();
        visit_runs(begin, end, [&](std::uint64_t first, std::uint64_t len) {
            for (std::uint64_t r = 0; r < len; ++r) f(first + r * s);
        });
    }

private:
    // Spreads the counter over the free positions by opening a zero bit at
    // every fixed position, lowest first.
    std::uint64_t deposit(std::uint64_t i) const {
        for (int h = 0; h < holes_; ++h) {
            const int p = hole_[h];
            const std::uint64_t low = i & ((std::uint64_t{1} << p) - 1);
            i = ((i >> p) << (p + 1)) | low;
        }
        return i;
    }

    bool empty_ = false;
    int bits_ = 0;
    std::uint64_t universe_ = 0;
    std::uint64_t mask_ = 0, value_ = 0;
    std::uint64_t free_ = 0;
    int shift_ = 0, run_bits_ = 0;
    int holes_ = 0;
    int hole_[64] = {};
};

// Qubit numbering: little-endian qubit q is bit q; big-endian is bit n-1-q.
struct LittleEndian {
    std::int64_t operator()(std::int64_t q) const { return q; }
};
struct BigEndian {
    std::int64_t n;
    std::int64_t operator()(std::int64_t q) const {
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(n) - 1u -
                                         static_cast<std::uint64_t>(q));
    }
};

}  // namespace QUORVEX_LANES
}  // namespace quorvex::kernels
