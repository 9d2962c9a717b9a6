// The standard headers the kernel templates use. A lanes_*.cpp that turns a
// wider instruction set on includes these first: inline code of the standard
// library is then compiled for the common instruction set and may be shared
// between the builds; only the kernels' own code, in its own namespace,
// uses the wider instructions.
#pragma once

#include <omp.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>
