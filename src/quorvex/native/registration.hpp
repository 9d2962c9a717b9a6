// Registration entry points of the store and the gate functions; module.cpp calls them
// in order, so the position of each name on the module is fixed here.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvex::packed {
// OpchainPackedNative and execute_gate_sequence_packed.
void register_store(pybind11::module_& m);
}  // namespace quorvex::packed

namespace quorvex::kernels {
// The 32 gate and utility functions.
void register_functions(pybind11::module_& m);
}  // namespace quorvex::kernels
