// The standard headers the kernel templates use. A lanes_*.cpp that turns a
// wider instruction set on includes these first: inline code of the standard
// library is then compiled for the common instruction set and may be shared
// between the builds; only the kernels' own code, in its own namespace,
// uses the wider instructions.
#pragma once

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>
