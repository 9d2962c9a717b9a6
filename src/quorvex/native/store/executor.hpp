// execute_gate_sequence_packed: runs a store on a CPU state vector through
// the little-endian kernels, one call per gate.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "store.hpp"

namespace quorvex::packed {

namespace py = pybind11;

// Whether the executor has a case for a gate-id code (a kernel, the
// identity, an ordering gate run as nothing, or the measurement callback).
// The same table drives dispatch.
bool gate_has_executor_case(std::uint16_t code);

py::tuple execute_gate_sequence_packed(std::int64_t n, const py::array& state, const Store& sequence,
                                       const py::object& measure_callback, bool runopenmp,
                                       bool skip_measurements);

}  // namespace quorvex::packed
