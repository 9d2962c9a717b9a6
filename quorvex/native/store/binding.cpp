#include "registration.hpp"

namespace quorvex::packed {
void register_store(pybind11::module_&) {}
}  // namespace quorvex::packed
