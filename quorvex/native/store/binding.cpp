// Python face of the packed gate store: the class OpchainPackedNative.
#include <pybind11/pybind11.h>

#include "codec.hpp"
#include "executor.hpp"
#include "registration.hpp"
#include "store.hpp"
#include "transform.hpp"
#include "walk.hpp"

namespace quorvex::packed {

namespace {

py::dict memory_usage(const Store& store) {
    const std::size_t records = store.records_bytes();
    const std::size_t auxiliary = store.auxiliary_bytes();
    const std::size_t resources = store.resources_bytes();
    const std::size_t strings = store.strings_bytes();
    // The list figures describe the store itself, or the one a view repeats.
    const Store& direct = store.repeat_base ? *store.repeat_base : store;
    py::dict usage;
    usage["records"] = records;
    usage["auxiliary"] = auxiliary;
    usage["resources"] = resources;
    usage["strings"] = strings;
    usage["total"] = records + auxiliary + resources + strings;
    usage["record_slices"] = direct.records.slices().size();
    usage["shared_record_pages"] = direct.records.shared_pages();
    usage["int_arena"] = direct.ints.bytes();
    usage["parameter_arena"] = direct.doubles.bytes();
    return usage;
}

}  // namespace

void register_store(py::module_& m) {
    py::class_<Store, StoreRef> cls(m, "OpchainPackedNative");
    cls.def(py::init<>());
    cls.def("copy", [](const Store& s) { return s.copy(); });
    cls.def("clear", [](Store& s) {
        s.check_writable();
        s.clear();
    });
    cls.def("append_fields", [](Store& s, const py::str& id, py::handle target, py::handle control,
                                py::handle control_state, py::handle parameter, py::handle name, py::handle matrix,
                                py::handle block, py::handle classical_target) {
        s.check_writable();
        s.materialize_repeat();
        DecodedGate g = gather_fields(str_to_text(id), target, control, control_state, parameter, name, matrix,
                                      block, classical_target);
        insert_gate(s, s.records.size(), g);
    });
    cls.def("insert_fields", [](Store& s, std::uint64_t index, const py::str& id, py::handle target,
                                py::handle control, py::handle control_state, py::handle parameter, py::handle name,
                                py::handle matrix, py::handle block, py::handle classical_target) {
        s.check_writable();
        s.materialize_repeat();
        DecodedGate g = gather_fields(str_to_text(id), target, control, control_state, parameter, name, matrix,
                                      block, classical_target);
        insert_gate(s, index, g);
    });
    cls.def("append_gate", [](Store& s, py::handle gate) {
        s.check_writable();
        s.materialize_repeat();
        DecodedGate g = gather_gate(gate);
        insert_gate(s, s.records.size(), g);
    });
    cls.def("set_gate", [](Store& s, std::uint64_t index, py::handle gate) {
        s.check_writable();
        s.materialize_repeat();
        DecodedGate g = gather_gate(gate);
        replace_gate(s, index, g);
    });
    cls.def("erase", [](Store& s, std::uint64_t index) {
        s.check_writable();
        s.materialize_repeat();
        erase_gate(s, index);
    });
    cls.def("components", [](const Store& s, std::uint64_t index) {
        // Decode fully before any Python object is made: allocation may run
        // the garbage collector, and with it code that changes this store.
        const DecodedGate g = decode_gate(s, index);
        return components_tuple(g);
    });
    cls.def("reverse_qubits", [](const Store& s, std::int64_t num_qubits) { return reverse_qubits(s, num_qubits); });
    cls.def("repeat", [](const Store& s, std::uint64_t times) { return repeat_store(s, times); });
    cls.def("inverse", [](const Store& s) { return inverse_store(s); });
    cls.def(
        "decompose",
        [](const Store& s, std::uint64_t levels, const py::object& selected_names) {
            return decompose_store(s, levels, selected_names);
        },
        py::arg("levels") = 1, py::arg("selected_names") = py::none());
    cls.def("has_measurement", [](const Store& s) { return has_measurement(s); });
    cls.def("measurement_plan", [](const Store& s) {
        const MeasurementPlan plan = measurement_plan(s);
        return py::make_tuple(py::str(plan.kind), int64_list_to_tuple(plan.qubits),
                              int_list_to_tuple(plan.classical));
    });
    cls.def("bulk_supported", [](const Store& s) { return bulk_supported(s); });
    cls.def("memory_usage", [](const Store& s) { return memory_usage(s); });
    cls.def_property_readonly("version", [](const Store& s) { return s.version; });
    cls.def_property_readonly("resource_count", [](const Store& s) { return s.innermost().resources.size(); });
    cls.def_property_readonly("block_resource_count", [](const Store& s) { return s.innermost().blocks.size(); });
    cls.def_property_readonly("is_repeat_view", [](const Store& s) { return s.is_repeat_view(); });
    cls.def_property_readonly("storage_bytes", [](const Store& s) { return s.total_bytes(); });
    cls.def("__len__", [](const Store& s) { return s.length(); });

    m.def("execute_gate_sequence_packed", &execute_gate_sequence_packed, py::arg("n"), py::arg("state"),
          py::arg("sequence"), py::arg("measure_callback") = py::none(), py::arg("runopenmp") = true,
          py::arg("skip_measurements") = false);

}

}  // namespace quorvex::packed
