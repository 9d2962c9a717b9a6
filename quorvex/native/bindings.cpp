#include <omp.h>

#include "registration.hpp"

namespace quorvex::kernels {
void register_functions(pybind11::module_& m) {
    m.def("openmp_enabled", [] { return true; });
    m.def("max_threads", [] { return omp_get_max_threads(); });
}
}  // namespace quorvex::kernels
