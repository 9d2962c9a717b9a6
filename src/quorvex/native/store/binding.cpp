// Python face of the packed gate store: the class OpchainPackedNative.
#include <pybind11/pybind11.h>

#include <new>
#include <vector>

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

// --- garbage collection ---------------------------------------------------
//
// A stored matrix may refer back to the sequence that holds the store, so
// stores take part in the cycle collector. The collector must see each
// reference once, from its one owner: a store reports the objects of its own
// table and of the nested stores (block snapshots, repeat base) that it
// alone owns. A store that others share as well (a snapshot that is also a
// Python object, a base shared by copies) is reported by no one, which the
// collector reads as an outside reference: such a cycle is kept, never
// broken while in use.

// The store behind a Python object, when that object is its only owner.
Store* sole_store(PyObject* self) {
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    const py::detail::value_and_holder vh = inst->get_value_and_holder(nullptr, false);
    if (!vh || !vh.holder_constructed()) return nullptr;
    const StoreRef& holder = vh.holder<StoreRef>();
    return holder.use_count() == 1 ? holder.get() : nullptr;
}

// The nested stores are gone through from a list rather than by recursion,
// since the collector may run on a thread with a small stack. Without memory
// for the list the rest goes unreported, which the collector reads as
// outside references: nothing is freed that is still in use.
int traverse_owned(const Store& store, visitproc visit, void* arg) {
    std::vector<const Store*> pending;
    try {
        for (const Store* s = &store; s != nullptr;) {
            for (const py::object& object : s->resources) Py_VISIT(object.ptr());
            for (const BlockResource& block : s->blocks) {
                if (block.snapshot && block.snapshot.use_count() == 1) pending.push_back(block.snapshot.get());
            }
            if (s->repeat_base && s->repeat_base.use_count() == 1) pending.push_back(s->repeat_base.get());
            s = nullptr;
            if (!pending.empty()) {
                s = pending.back();
                pending.pop_back();
            }
        }
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

int traverse_store(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (const Store* store = sole_store(self)) return traverse_owned(*store, visit, arg);
    return 0;
}

// Breaks a cycle by emptying the store, as clear() does; a store that others
// still use is left alone (the collector never reported its references).
int clear_store(PyObject* self) {
    if (Store* store = sole_store(self)) store->clear();
    return 0;
}

void take_part_in_gc(PyHeapTypeObject* heap_type) {
    PyTypeObject* type = &heap_type->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = traverse_store;
    type->tp_clear = clear_store;
}

}  // namespace

void register_store(py::module_& m) {
    py::class_<Store, StoreRef> cls(m, "OpchainPackedNative", py::custom_type_setup(take_part_in_gc));
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
    cls.def("replace_range", [](Store& s, std::uint64_t first, std::uint64_t last, py::handle gates) {
        s.check_writable();
        replace_range(s, first, last, gates);
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

    m.def("execute_gate_sequence_packed", &execute_gate_sequence_packed,
          "Run the gates of an OpchainPackedNative on `state` (little-endian, 2**n amplitudes, "
          "complex64 or complex128) and return (state, results). A measurement calls "
          "measure_callback(state, targets, classical_targets), which returns (new state, "
          "mapping); the mappings are merged into results.",
          py::arg("n"), py::arg("state"),
          py::arg("sequence"), py::arg("measure_callback") = py::none(), py::arg("runopenmp") = true,
          py::arg("skip_measurements") = false);

}

}  // namespace quorvex::packed
