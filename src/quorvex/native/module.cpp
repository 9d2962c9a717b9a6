// Module definition of strovane: the packed gate store first, then the
// state-vector gate functions, in the order Python sees them.
#include <pybind11/pybind11.h>

#include "registration.hpp"

namespace py = pybind11;

PYBIND11_MODULE(strovane, m, py::multiple_interpreters::not_supported()) {
    m.doc() =
        "quorvex's state-vector engine.\n\n"
        "The *_little functions apply one gate in place to a complex64 or complex128 state "
        "vector of 2**n amplitudes, qubit q being bit q of the amplitude index; h, x, ..., "
        "swap do the same on complex64 states in big-endian order. OpchainPackedNative is "
        "the packed gate store and execute_gate_sequence_packed runs one on a state.\n\n"
        "Most code builds and runs circuits with quorvex.core.Circuit instead.";
    quorvex::packed::register_store(m);
    quorvex::kernels::register_functions(m);
}
