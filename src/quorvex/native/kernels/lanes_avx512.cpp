// The kernels with 64-byte vectors, used when the processor has avx512f.
#if defined(__x86_64__)
#include "lanes_std.hpp"

#pragma GCC target("avx512f")
// AVX-512 brings fused multiply-adds, and the loop vectorizer's complex
// product patterns emit them even with contraction off; the kernels' own
// vector code does not need that pass.
#pragma GCC optimize("no-tree-loop-vectorize")
#define QUORVEX_LANES avx512
#define QUORVEX_LANE_BYTES 64
#define QUORVEX_TABLE_FUNCTION lanes_avx512
#include "lanes_impl.hpp"
#endif
