// Which vector width the kernel templates are built for.
//
// The kernels are compiled once per instruction set (lanes_*.cpp), each time
// with its own lane width and inside its own inline namespace, so that the
// inline functions of one build never stand in for those of another at link
// time. Files that include the kernel headers without choosing get the
// 16-byte build that every x86-64 processor runs.
#pragma once

#ifndef QUORVEX_LANES
#define QUORVEX_LANES sse
#define QUORVEX_LANE_BYTES 16
#endif
