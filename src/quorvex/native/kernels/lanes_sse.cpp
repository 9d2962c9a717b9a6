// The kernels with 16-byte vectors: the build every x86-64 processor runs,
// and the only one elsewhere.
#define QUORVEX_LANES sse
#define QUORVEX_LANE_BYTES 16
#define QUORVEX_TABLE_FUNCTION lanes_sse
#include "lanes_impl.hpp"
