// The kernels with 32-byte vectors, used when the processor has avx2.
#if defined(__x86_64__)
#include "lanes_std.hpp"

#pragma GCC target("avx2")
#define QUORVEX_LANES avx2
#define QUORVEX_LANE_BYTES 32
#define QUORVEX_TABLE_FUNCTION lanes_avx2
#include "lanes_impl.hpp"
#endif
