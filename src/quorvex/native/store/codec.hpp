// Turning gates into records and back. Everything read from Python is
// gathered into a DecodedGate first; encoding then runs no Python code, so
// nothing can change the store between the index check and the write.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store.hpp"

namespace quorvex::packed {

namespace py = pybind11;

// --- gathering (may run arbitrary Python code) ---------------------------
// UTF-8 of a str; a str without one (lone surrogates) is refused with ValueError.
std::string str_to_text(const py::str& text);
// A gate name given as str or UTF-8 bytes; anything else is refused by type.
std::string str_to_name(py::handle text);
DecodedGate gather_fields(std::string id, py::handle target, py::handle control, py::handle control_state,
                          py::handle parameter, py::handle name, py::handle matrix, py::handle block,
                          py::handle classical_target);
DecodedGate gather_gate(py::handle gate);

// --- encoding (no Python code) -----------------------------------------
// Interns what the gate needs into the store's tables and returns its
// record. A name is stored when has_name is set and it differs from the
// default display name of the id.
PackedRecord encode_gate(Store& store, const DecodedGate& gate);

// Appends an encoded gate at the end of an ordinary store; version + 1.
void append_decoded_gate(Store& store, const DecodedGate& gate);

// --- decoding (no Python code) -----------------------------------------
// holder is the store whose tables the record refers to.
DecodedGate decode_record(const Store& holder, const PackedRecord& record);
DecodedGate decode_gate(const Store& store, std::uint64_t index);
// Targets of a record that has an ExtraEntry.
void decode_targets(const Store& holder, const PackedRecord& record, const ExtraEntry& entry,
                    std::vector<std::int32_t>& out);

// Reads the targets, controls, control states and parameters of a record
// into the given buffers. They are cleared first, so that the gate walk can
// reuse its buffers without allocating per gate. Returns the record's
// ExtraEntry, which holds the rest of the gate, if it has one.
inline std::optional<ExtraEntry> decode_qubits_and_parameters(
    const Store& holder, const PackedRecord& record, std::vector<std::int32_t>& targets,
    std::vector<std::int32_t>& controls, std::vector<std::int32_t>& control_states,
    std::vector<double>& parameters, bool& parameters_absent) {
    targets.clear();
    controls.clear();
    control_states.clear();
    parameters.clear();
    if (!(record.flags & kRecordExtra)) {
        if (record.target >= 0) targets.push_back(record.target);
        if (record.flags & kRecordTarget2) targets.push_back(record.target2);
        if (record.flags & kRecordOneControl) {
            controls.push_back(record.control);
            control_states.push_back(1);
        }
        if (record.flags & kRecordParameter) parameters.push_back(record.parameter);
        parameters_absent = !(record.flags & (kRecordParameter | kRecordEmptyParams));
        return std::nullopt;
    }
    const ExtraEntry e = holder.extra_at(record.extra);
    decode_targets(holder, record, e, targets);
    if (record.flags & kRecordOneControl) controls.push_back(record.control);
    holder.ints.read_range(e.controls, controls);
    // Without stored states every control is on 1.
    if (range_count(e.control_states) != 0) {
        holder.ints.read_range(e.control_states, control_states);
    } else {
        control_states.assign(controls.size(), 1);
    }
    if (record.flags & kRecordParameter) parameters.push_back(record.parameter);
    holder.doubles.read_range(e.parameters, parameters);
    parameters_absent = (e.flags & kExtraParamsAbsent) != 0;
    return e;
}

// The nine-field tuple handed back to Python.
py::tuple components_tuple(const DecodedGate& gate);

// --- editing ------------------------------------------------------------
void insert_gate(Store& store, std::uint64_t index, const DecodedGate& gate);
void replace_gate(Store& store, std::uint64_t index, const DecodedGate& gate);
void erase_gate(Store& store, std::uint64_t index);
// Replaces the gates at positions first to last - 1 by the gate objects of
// gates, all or nothing: every gate is read and checked before the store
// changes. The version rises by one per gate removed and per gate added.
void replace_range(Store& store, std::uint64_t first, std::uint64_t last, py::handle gates);

py::tuple int_list_to_tuple(const std::vector<std::int32_t>& values);
py::tuple int64_list_to_tuple(const std::vector<std::int64_t>& values);

}  // namespace quorvex::packed
