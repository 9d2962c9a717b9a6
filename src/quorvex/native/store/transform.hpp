// Transformations that derive a new store and leave the receiver as it was.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

#include "store.hpp"

namespace quorvex::packed {

StoreRef repeat_store(const Store& store, std::uint64_t times);
StoreRef reverse_qubits(const Store& store, std::int64_t num_qubits);
StoreRef inverse_store(const Store& store);
StoreRef decompose_store(const Store& store, std::uint64_t levels, const pybind11::handle& selected_names);

}  // namespace quorvex::packed
