// The three loop shapes of the kernels: one target, SWAP and dense unitary.
// Each is a template over the loop policy (walk.hpp), the precision F and the
// qubit numbering, so serial, parallel, little- and big-endian forms share
// one body. None of them checks its arguments beyond what keeps every index
// inside the buffer; the entry points check before calling.
#pragma once

#include <omp.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "arith.hpp"
#include "walk.hpp"

namespace quorvex::kernels {

// Applies `gate` to every pair (j, j | target bit) with the target bit clear
// in j and the controls matched.
template <class Loop, class F, class Order, class Gate>
void single_target_loop(F* a, std::int64_t size, const std::int64_t* controls,
                        const std::int64_t* values, std::int64_t k, std::int64_t target, Order order,
                        const Gate& gate) {
    IndexSet set(size);
    set.require_controls(controls, values, k, order);
    const std::int64_t pos = order(target);
    set.require_clear(pos);
    const std::uint64_t count = set.prepare();
    if (count == 0) return;
    const std::uint64_t tbit = set.bit(pos);
    Loop::run(count, [&](std::uint64_t begin, std::uint64_t end) {
        set.visit(begin, end, [&](std::uint64_t j) { gate(a + 2 * j, a + 2 * (j | tbit)); });
    });
}

// Exchanges the stored bits of j (first target clear, second set) and of its
// partner with the two bits flipped. Equal targets select nothing.
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
    Loop::run(count, [&](std::uint64_t begin, std::uint64_t end) {
        set.visit(begin, end, [&](std::uint64_t j) {
            F* p = a + 2 * j;
            F* q = a + 2 * (j ^ flip);
            std::swap(p[0], q[0]);
            std::swap(p[1], q[1]);
        });
    });
}

// Dense 2**t × 2**t matrix (row-major, interleaved complex) on t targets;
// targets[0] is the least significant bit of the matrix index. Scratch is
// allocated before any amplitude is touched, one set per thread that may
// run, so an allocation failure leaves the state unchanged and nothing is
// allocated inside a parallel region.
template <class Loop, class F>
void unitary_loop(F* a, std::int64_t size, const std::int64_t* controls, const std::int64_t* values,
                  std::int64_t k, const std::int64_t* targets, std::int64_t t, const F* m,
                  std::int64_t dim, int threads) {
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
    const std::size_t nthreads = threads > 1 ? static_cast<std::size_t>(threads) : 1;
    std::vector<Amp<F>> scratch(nthreads * 2 * d, Amp<F>{F(0), F(0)});

    Loop::run(count, [&](std::uint64_t begin, std::uint64_t end) {
        const auto tid = static_cast<std::size_t>(omp_get_thread_num());
        if (tid >= nthreads) return;  // cannot happen: the team never outgrows the scratch
        Amp<F>* gathered = scratch.data() + tid * 2 * d;
        Amp<F>* results = gathered + d;
        set.visit(begin, end, [&](std::uint64_t j) {
            for (std::size_t r = 0; r < d; ++r) gathered[r] = load(a + 2 * (j | offset[r]));
            for (std::size_t r = 0; r < d; ++r) {
                const F* row = m + 2 * r * d;
                F re = F(0), im = F(0);
                for (std::size_t c = 0; c < d; ++c) {
                    const F mre = row[2 * c], mim = row[2 * c + 1];
                    re = re + (mre * gathered[c].re - mim * gathered[c].im);
                    im = im + (mre * gathered[c].im + mim * gathered[c].re);
                }
                results[r] = {re, im};
            }
            for (std::size_t r = 0; r < d; ++r) store(a + 2 * (j | offset[r]), results[r]);
        });
    });
}

}  // namespace quorvex::kernels
