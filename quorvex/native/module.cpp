// Module definition of strovane: the packed gate store first, then the
// state-vector gate functions, in the order Python sees them.
#include <pybind11/pybind11.h>

#include "registration.hpp"

namespace py = pybind11;

PYBIND11_MODULE(strovane, m, py::multiple_interpreters::not_supported()) {
    quorvex::packed::register_store(m);
    quorvex::kernels::register_functions(m);
}
