#include "codec.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "gate_ids.hpp"

namespace quorvex::packed {

namespace {

// What a refusal shows of a value: its str(), or its type where even that
// fails (an int beyond Python's digit limit for text, a raising __str__).
std::string shown(py::handle value) {
    PyObject* text = PyObject_Str(value.ptr());
    if (text != nullptr) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text, &size);
        if (data != nullptr) {
            std::string out(data, static_cast<std::size_t>(std::min<Py_ssize_t>(size, 200)));
            if (size > 200) out += "...";
            Py_DECREF(text);
            return out;
        }
        Py_DECREF(text);
    }
    PyErr_Clear();
    return std::string("a value of type ") + Py_TYPE(value.ptr())->tp_name;
}

std::string quoted(const std::string& gate_id) { return "'" + gate_id + "'"; }

[[noreturn]] void throw_not_utf8(const char* what, py::handle text) {
    const std::string written = py::repr(text).cast<std::string>();
    if (PyUnicode_Check(text.ptr())) {
        throw py::value_error(std::string(what) + " " + written +
                              " is not valid Unicode text: gate storage holds names as UTF-8, which a lone "
                              "surrogate does not have.");
    }
    throw py::value_error(std::string(what) + " " + written +
                          " is not valid UTF-8: gate storage holds names as UTF-8 text.");
}

// UTF-8 of a str, or of bytes as they are; a str without one (lone
// surrogates) or bytes that are not UTF-8 would make the store unreadable.
std::string to_text(py::handle object, const char* what) {
    PyObject* o = object.ptr();
    if (PyUnicode_Check(o)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(o, &size);
        if (data == nullptr) {
            PyErr_Clear();
            throw_not_utf8(what, object);
        }
        return std::string(data, static_cast<std::size_t>(size));
    }
    std::string text;
    if (PyBytes_Check(o)) {
        text.assign(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
    } else if (PyByteArray_Check(o)) {
        text.assign(PyByteArray_AS_STRING(o), static_cast<std::size_t>(PyByteArray_GET_SIZE(o)));
    } else {
        throw py::type_error(std::string(what) + " must be text (str), got " + Py_TYPE(o)->tp_name + ".");
    }
    if (!is_valid_utf8(text)) throw_not_utf8(what, object);
    return text;
}

// Indices as the store holds them: 32-bit signed integers. `what` names
// the field ("Target", "Block position", ...) in a refusal.
void to_int_list(py::handle object, std::vector<std::int32_t>& out, const char* what, const std::string& gate_id) {
    out.clear();
    if (object.is_none()) return;
    for (py::handle item : object) {
        // As an integer argument is read: a float is refused rather than truncated.
        PyObject* number = PyFloat_Check(item.ptr()) ? nullptr : PyNumber_Index(item.ptr());
        if (number == nullptr) {
            PyErr_Clear();
            throw py::type_error(std::string(what) + " " + shown(item) + " of gate " + quoted(gate_id) +
                                 " is not an integer (" + Py_TYPE(item.ptr())->tp_name + ").");
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
        Py_DECREF(number);
        if (overflow == 0 && value == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow != 0 || value < std::numeric_limits<std::int32_t>::min() ||
            value > std::numeric_limits<std::int32_t>::max()) {
            throw py::value_error(std::string(what) + " " + shown(item) + " of gate " + quoted(gate_id) +
                                  " is beyond what gate storage holds: indices from -2**31 to 2**31 - 1 = " +
                                  std::to_string(std::numeric_limits<std::int32_t>::max()) + ".");
        }
        out.push_back(static_cast<std::int32_t>(value));
    }
}

void to_double_list(py::handle object, std::vector<double>& out, const std::string& gate_id) {
    out.clear();
    for (py::handle item : object) {
        const double value = PyFloat_AsDouble(item.ptr());
        if (value == -1.0 && PyErr_Occurred()) {
            const bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError);
            PyErr_Clear();
            if (overflow) {
                throw py::value_error("Parameter " + shown(item) + " of gate " + quoted(gate_id) +
                                      " is beyond what gate storage holds: doubles, up to about 1.8e308.");
            }
            throw py::type_error("Parameter " + shown(item) + " of gate " + quoted(gate_id) +
                                 " is not a real number (" + Py_TYPE(item.ptr())->tp_name + ").");
        }
        out.push_back(value);
    }
}

// A packed view's store, or null for a block of any other kind.
StoreRef packed_view_store(py::handle block) {
    PyObject* native = PyObject_GetAttrString(block.ptr(), "_packed_store_native");
    if (native == nullptr) {
        PyErr_Clear();  // hasattr semantics: any failure means "not a packed view"
        return nullptr;
    }
    auto value = py::reinterpret_steal<py::object>(native);
    // The holder cast would turn None into an empty reference, and the
    // block would vanish from the gate without a word.
    if (!py::isinstance<Store>(value)) {
        throw py::type_error(std::string("A block marked as a packed view (_packed_store_native) must hold a "
                                         "packed gate store, got ") + Py_TYPE(value.ptr())->tp_name + ".");
    }
    return py::cast<StoreRef>(value);
}

struct TargetMapping {
    BlockMapping kind = BlockMapping::listed;
    std::uint32_t count = 0;
    std::uint32_t offset = 0;
};

TargetMapping block_target_mapping(const std::vector<std::int32_t>& targets) {
    if (targets.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::overflow_error("block target count exceeds uint32 range");
    }
    TargetMapping m;
    m.count = static_cast<std::uint32_t>(targets.size());
    bool identity = true;
    for (std::size_t i = 0; i < targets.size() && identity; ++i) {
        identity = static_cast<std::int64_t>(targets[i]) == static_cast<std::int64_t>(i);
    }
    if (identity) {
        m.kind = BlockMapping::identity;
        return m;
    }
    // A negative start would not survive the unsigned offset field.
    if (targets[0] < 0) return m;
    const std::int64_t start = targets[0];
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (static_cast<std::int64_t>(targets[i]) != start + static_cast<std::int64_t>(i)) return m;
    }
    m.kind = BlockMapping::contiguous;
    m.offset = static_cast<std::uint32_t>(start);
    return m;
}

bool all_ones(const std::vector<std::int32_t>& values) {
    for (std::int32_t v : values) {
        if (v != 1) return false;
    }
    return true;
}

}  // namespace

std::string str_to_text(const py::str& text) { return to_text(text, "Gate id"); }

std::string str_to_name(py::handle text) { return to_text(text, "Gate name"); }

namespace {

// What reading a gate leaves to do when its block is an iterable of gate
// objects rather than a packed view: the block's gates, and then the gate's
// classical targets, which are read after them.
struct UnreadBlock {
    py::object block;  // null when nothing is left
    py::object classical_target;
};

void read_classical(DecodedGate& g, py::handle classical_target) {
    g.has_classical = !classical_target.is_none();
    if (g.has_classical) to_int_list(classical_target, g.classical_targets, "Classical bit", g.id);
}

// Reads the fields in their fixed order. A block given as a packed view is
// taken at once; any other block is left in `unread`, with the classical
// targets that follow it.
void read_fields(DecodedGate& g, std::string id, py::handle target, py::handle control, py::handle control_state,
                 py::handle parameter, py::handle name, py::handle matrix, py::handle block,
                 py::handle classical_target, UnreadBlock& unread, bool in_block) {
    g.id = std::move(id);  // checked text already
    ascii_lower_in_place(g.id);
    // Inside a block, targets and controls are positions among its targets.
    to_int_list(target, g.targets, in_block ? "Block position" : "Target", g.id);
    to_int_list(control, g.controls, in_block ? "Block position" : "Control", g.id);
    to_int_list(control_state, g.control_states, "Control state", g.id);
    g.parameters_absent = parameter.is_none();
    if (!g.parameters_absent) to_double_list(parameter, g.parameters, g.id);
    g.has_name = true;
    if (name.is_none()) {
        g.name = g.id;
        ascii_upper_in_place(g.name);
    } else {
        g.name = to_text(name, "Gate name");
    }
    g.has_matrix = !matrix.is_none();
    if (g.has_matrix) g.matrix = py::reinterpret_borrow<py::object>(matrix);
    if (!block.is_none()) {
        g.block = packed_view_store(block);
        if (!g.block) {
            // Owned: reading the block runs Python code, which could drop
            // whatever holds them now.
            unread.block = py::reinterpret_borrow<py::object>(block);
            unread.classical_target = py::reinterpret_borrow<py::object>(classical_target);
            return;
        }
    }
    read_classical(g, classical_target);
}

// The record class itself, once its module is loaded (a gate of it cannot
// exist before); a new reference kept for the life of the process.
[[gnu::noinline]] PyTypeObject* quantum_gate_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    PyObject* module = PyImport_GetModule(py::str("quorvex.backend.gate.morlith").ptr());
    if (module == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* cls = PyObject_GetAttrString(module, "QuantumGate");
    Py_DECREF(module);
    if (cls == nullptr || !PyType_Check(cls)) {
        Py_XDECREF(cls);
        PyErr_Clear();
        return nullptr;
    }
    type = reinterpret_cast<PyTypeObject*>(cls);
    return type;
}

// The attributes of any gate object, in the fixed order.
void read_attributes(py::handle gate, DecodedGate& g, UnreadBlock& unread, bool in_block) {
    py::object classical_target = gate.attr("classical_target");
    py::object block = gate.attr("block_gate_sequence");
    py::object matrix = gate.attr("stored_matrix");
    py::object name = gate.attr("name");
    py::object parameter = gate.attr("parameter");
    py::object control_state = gate.attr("control_state");
    py::object control = gate.attr("control");
    py::object target = gate.attr("target");
    py::object id = gate.attr("id");
    read_fields(g, to_text(id, "Gate id"), target, control, control_state, parameter, name, matrix, block,
                classical_target, unread, in_block);
}

// A QuantumGate itself (a subclass may compute its properties differently)
// keeps id, target and parameter in slots and every other field in its
// `_extra` dict, or None when all of them have their defaults; the
// properties only look them up, so reading the four slots gives the same
// fields without nine property calls. Whatever does not look like that
// (an unset slot, a non-ASCII id whose default name Python would upper-case
// differently) is read through its attributes, which raise the usual errors.
[[gnu::noinline]] void read_quantum_gate(py::handle gate, DecodedGate& g, UnreadBlock& unread, bool in_block) {
    auto slot = [&](const char* name) -> py::object {
        PyObject* value = PyObject_GetAttrString(gate.ptr(), name);
        if (value == nullptr) PyErr_Clear();
        return py::reinterpret_steal<py::object>(value);
    };
    py::object extra = slot("_extra"), id = slot("id"), target = slot("target"),
               parameter = slot("parameter");
    if (!extra || !id || !target || !parameter || !PyUnicode_CheckExact(id.ptr()) ||
        !PyUnicode_IS_ASCII(id.ptr()) || (!extra.is_none() && !PyDict_CheckExact(extra.ptr()))) {
        read_attributes(gate, g, unread, in_block);
        return;
    }
    auto field = [&](const char* key) -> py::handle {
        if (extra.is_none()) return py::handle();
        return PyDict_GetItemString(extra.ptr(), key);  // borrowed, or null
    };
    auto or_none = [](py::handle value) { return value ? value : py::handle(Py_None); };
    const py::tuple no_qubits;
    py::handle control = field("control");
    if (!control) control = no_qubits;
    py::object states;
    if (py::handle given = field("control_state")) {
        states = py::reinterpret_borrow<py::object>(given);
    } else {
        const auto count = static_cast<std::size_t>(py::len(control));
        py::tuple ones(count);
        for (std::size_t i = 0; i < count; ++i) ones[i] = py::int_(1);
        states = std::move(ones);
    }
    read_fields(g, to_text(id, "Gate id"), target, control, states, parameter, or_none(field("name")),
                or_none(field("matrix")), or_none(field("block_gate_sequence")),
                or_none(field("classical_target")), unread, in_block);
}

void read_gate(py::handle gate, DecodedGate& g, UnreadBlock& unread, bool in_block) {
    const PyTypeObject* type = quantum_gate_type();
    if (type != nullptr && Py_TYPE(gate.ptr()) == type) {
        read_quantum_gate(gate, g, unread, in_block);
    } else {
        read_attributes(gate, g, unread, in_block);
    }
}

std::string width_text(std::size_t k) { return std::to_string(k) + (k == 1 ? " target" : " targets"); }

// A position from -k to -1 inside a block of k targets counts from the
// last target, as the gate record has it. It is resolved as the block is
// stored, so that every reader of the store (the walk, the transformations)
// sees positions 0 to k - 1 only. A position outside -k .. k - 1, or two
// that resolve to one target, is refused here, in the words of the circuit
// layer's own check, before the block reaches any store.
[[noreturn]] void throw_outside_block(const DecodedGate& child, std::int64_t q, std::size_t k) {
    const auto count = static_cast<std::int64_t>(k);
    throw py::value_error("Block position " + std::to_string(q) + " of gate '" + child.id +
                          "' is outside its block of " + width_text(k) + ": positions run from " +
                          std::to_string(-count) + " to " + std::to_string(count - 1) + ".");
}

[[noreturn]] void throw_one_target(const DecodedGate& child, std::int64_t first, std::int64_t second,
                                   std::size_t k) {
    const auto count = static_cast<std::int64_t>(k);
    const std::int64_t resolved = second < 0 ? second + count : second;
    throw py::value_error("Block positions " + std::to_string(first) + " and " + std::to_string(second) +
                          " of gate '" + child.id + "' are one target, position " + std::to_string(resolved) +
                          " of its block of " + width_text(k) + " (-j counts from the end, as " +
                          std::to_string(count) + " - j).");
}

void resolve_block_positions(DecodedGate& child, std::size_t k) {
    const auto count = static_cast<std::int64_t>(k);
    // Targets, then controls, as written: the order the messages name them in.
    const std::size_t total = child.targets.size() + child.controls.size();
    auto written = [&child](std::size_t i) -> std::int64_t {
        return i < child.targets.size() ? child.targets[i] : child.controls[i - child.targets.size()];
    };
    auto resolve = [count](std::int64_t q) { return q < 0 ? q + count : q; };
    // A gate names a handful of positions, which a pairwise look compares
    // without allocating; a wide one is sorted instead.
    constexpr std::size_t pairwise_limit = 32;
    for (std::size_t i = 0; i < total; ++i) {
        const std::int64_t q = written(i);
        if (q < -count || q >= count) throw_outside_block(child, q, k);
        if (total > pairwise_limit) continue;
        for (std::size_t j = 0; j < i; ++j) {
            if (resolve(written(j)) == resolve(q)) throw_one_target(child, written(j), q, k);
        }
    }
    if (total > pairwise_limit) {
        std::vector<std::pair<std::int64_t, std::size_t>> order;  // resolved, index as written
        order.reserve(total);
        for (std::size_t i = 0; i < total; ++i) order.emplace_back(resolve(written(i)), i);
        std::sort(order.begin(), order.end());
        for (std::size_t i = 1; i < total; ++i) {
            if (order[i].first == order[i - 1].first) {
                throw_one_target(child, written(order[i - 1].second), written(order[i].second), k);
            }
        }
    }
    for (std::vector<std::int32_t>* positions : {&child.targets, &child.controls}) {
        for (std::int32_t& q : *positions) q = static_cast<std::int32_t>(resolve(q));
    }
}

// A block given as an iterable of gate objects becomes a new store holding
// those gates, and so does every such block among them, to any depth. The
// open levels are kept in a list rather than on the C stack, so that no
// nesting and no thread's stack size can overflow it, and the nesting limit
// is checked as each level is entered: a block that contains itself ends
// there too. A block object met again (a gate shared by reference, at one
// level or at several) gets the store read for it the first time, as a
// packed view would: the parent's records share one snapshot of it, so that
// a block of blocks shared k levels deep costs k stores, not 2**k. Only an
// iterator, which a second reading would find used up, is read each time.
void gather_unread_blocks(DecodedGate& gate, UnreadBlock& unread) {
    struct Level {
        py::object items;  // iterator over the block's gate objects
        py::object source;  // the block object, while it may be read again
        StoreRef store;    // the block's gates read so far
        DecodedGate owner;  // the gate whose block this is
        py::object classical_target;  // the owner's, read once its block is complete
    };
    std::vector<Level> levels;
    // Block objects read so far, kept alive so that no other object takes
    // their address while the gate is gathered. The owner's target count is
    // part of the key: negative positions in one block object resolve
    // differently under owners of different widths.
    using ReadKey = std::pair<PyObject*, std::size_t>;
    std::map<ReadKey, std::pair<py::object, StoreRef>> read;
    SignalPoll signals;
    // Returns false when the block was read before and its gate is complete.
    auto enter = [&levels, &read](DecodedGate& owner, UnreadBlock& block) {
        if (auto it = read.find(ReadKey{block.block.ptr(), owner.targets.size()}); it != read.end()) {
            owner.block = it->second.second;
            read_classical(owner, block.classical_target);
            return false;
        }
        // The outermost block's store is nested at least as deep as the
        // levels open below it.
        check_nesting(static_cast<std::uint32_t>(levels.size()));
        PyObject* items = PyObject_GetIter(block.block.ptr());
        if (items == nullptr) throw py::error_already_set();
        py::object source;
        if (items != block.block.ptr()) source = std::move(block.block);
        levels.push_back(Level{py::reinterpret_steal<py::object>(items), std::move(source),
                               std::make_shared<Store>(), std::move(owner), std::move(block.classical_target)});
        return true;
    };
    if (!enter(gate, unread)) return;
    for (;;) {
        signals.tick();
        if (PyObject* item = PyIter_Next(levels.back().items.ptr())) {
            const auto held = py::reinterpret_steal<py::object>(item);
            DecodedGate child;
            UnreadBlock child_block;
            read_gate(held, child, child_block, true);
            resolve_block_positions(child, levels.back().owner.targets.size());
            if (!child_block.block || !enter(child, child_block)) append_decoded_gate(*levels.back().store, child);
            continue;
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        Level done = std::move(levels.back());
        levels.pop_back();
        if (done.source) {
            const ReadKey key{done.source.ptr(), done.owner.targets.size()};
            read.emplace(key, std::make_pair(std::move(done.source), done.store));
        }
        done.owner.block = std::move(done.store);
        read_classical(done.owner, done.classical_target);
        if (levels.empty()) {
            gate = std::move(done.owner);
            return;
        }
        append_decoded_gate(*levels.back().store, done.owner);
    }
}

}  // namespace

DecodedGate gather_fields(std::string id, py::handle target, py::handle control, py::handle control_state,
                          py::handle parameter, py::handle name, py::handle matrix, py::handle block,
                          py::handle classical_target) {
    DecodedGate g;
    UnreadBlock unread;
    read_fields(g, std::move(id), target, control, control_state, parameter, name, matrix, block, classical_target,
                unread, false);
    if (unread.block) gather_unread_blocks(g, unread);
    return g;
}

DecodedGate gather_gate(py::handle gate) {
    DecodedGate g;
    UnreadBlock unread;
    read_gate(gate, g, unread, false);
    if (unread.block) gather_unread_blocks(g, unread);
    return g;
}

PackedRecord encode_gate(Store& store, const DecodedGate& g) {
    PackedRecord rec;
    const std::uint16_t code = gate_code(g.id);
    rec.id = code;
    if (code == 0) rec.aux = store.intern_string(g.id);

    const auto& targets = g.targets;
    const bool has_block = static_cast<bool>(g.block);
    const bool states_all_one = g.control_states.size() == g.controls.size() && all_ones(g.control_states);
    const bool name_default = !g.has_name || g.name == default_display_name(g.id);
    // A negative first target cannot sit in the record's target field, where
    // negative means "no target"; such targets all go to the overflow entry.
    const bool first_fits = targets.empty() || targets[0] >= 0;
    const bool two_inline = !has_block && targets.size() == 2 && first_fits;
    const bool matrix_inline = g.has_matrix && code != 0;
    const std::size_t held = !first_fits ? 0 : two_inline ? 2 : (targets.empty() ? 0 : 1);

    if (held >= 1) rec.target = targets[0];
    if (two_inline) {
        rec.flags |= kRecordTarget2;
        rec.target2 = targets[1];
    }
    if (matrix_inline) {
        rec.flags |= kRecordMatrix;
        rec.aux = store.intern_resource(g.matrix);
    }
    if (!g.controls.empty()) {
        rec.flags |= kRecordOneControl;
        rec.control = g.controls[0];
    }
    if (!g.parameters_absent) {
        if (g.parameters.empty()) {
            rec.flags |= kRecordEmptyParams;
        } else {
            rec.flags |= kRecordParameter;
            rec.parameter = g.parameters[0];
        }
    }

    const bool fits_inline = targets.size() <= 2 && first_fits && g.controls.size() <= 1 &&
                             g.parameters.size() <= 1 && states_all_one && name_default &&
                             (!g.has_matrix || code != 0) && !has_block && !g.has_classical;
    if (fits_inline) return rec;

    ExtraEntry e;
    TargetMapping mapping;
    if (has_block) mapping = block_target_mapping(targets);
    if (targets.size() > held && (!has_block || mapping.kind == BlockMapping::listed)) {
        e.targets = store.ints.append_values(targets, held);
    }
    if (g.controls.size() >= 2) e.controls = store.ints.append_values(g.controls, 1);
    if (!states_all_one) e.control_states = store.ints.append_values(g.control_states);
    if (g.parameters.size() >= 2) e.parameters = store.doubles.append_values(g.parameters, 1);
    if (g.parameters_absent) e.flags |= kExtraParamsAbsent;
    if (!name_default) {
        e.flags |= kExtraName;
        e.name = store.intern_string(g.name);
    }
    if (g.has_matrix && !matrix_inline) {
        e.flags |= kExtraMatrix;
        e.matrix = store.intern_resource(g.matrix);
    }
    if (has_block) {
        e.flags |= kExtraBlock;
        const std::uint32_t block = store.intern_block(g.block);
        e.block_extra = store.add_block_extra(BlockExtraEntry{block, mapping.count, mapping.offset, mapping.kind});
    }
    if (g.has_classical) {
        e.flags |= kExtraClassical;
        e.classical_targets = store.ints.append_values(g.classical_targets);
    }
    rec.flags |= kRecordExtra;
    rec.extra = store.add_extra(e);
    return rec;
}

void append_decoded_gate(Store& store, const DecodedGate& gate) {
    const PackedRecord rec = encode_gate(store, gate);
    store.records.push_back(rec);
    ++store.version;
}

void decode_targets(const Store& holder, const PackedRecord& record, const ExtraEntry& entry,
                    std::vector<std::int32_t>& out) {
    if (entry.flags & kExtraBlock) {
        const BlockExtraEntry be = holder.block_extra_at(entry.block_extra);
        if (be.kind != BlockMapping::listed) {
            const std::int64_t start = be.kind == BlockMapping::identity ? 0 : be.offset;
            if (be.target_count > 0 &&
                start + be.target_count - 1 > std::numeric_limits<std::int32_t>::max()) {
                throw_bad_subscript();
            }
            out.reserve(out.size() + be.target_count);
            for (std::uint32_t i = 0; i < be.target_count; ++i) out.push_back(static_cast<std::int32_t>(start + i));
            return;
        }
    }
    if (record.target >= 0) out.push_back(record.target);
    if (record.flags & kRecordTarget2) out.push_back(record.target2);
    holder.ints.read_range(entry.targets, out);
}

DecodedGate decode_record(const Store& holder, const PackedRecord& record) {
    DecodedGate g;
    g.id = holder.gate_id(record);
    const std::optional<ExtraEntry> extra = decode_qubits_and_parameters(
        holder, record, g.targets, g.controls, g.control_states, g.parameters, g.parameters_absent);
    if (extra) {
        const ExtraEntry& e = *extra;
        if (e.flags & kExtraName) {
            g.has_name = true;
            g.name = holder.string_at(e.name);
        }
        if (e.flags & kExtraMatrix) {
            g.has_matrix = true;
            g.matrix = holder.resource_at(e.matrix);
        }
        if (e.flags & kExtraBlock) {
            g.block = holder.block_at(holder.block_extra_at(e.block_extra).block).snapshot;
        }
        if (e.flags & kExtraClassical) {
            g.has_classical = true;
            holder.ints.read_range(e.classical_targets, g.classical_targets);
        }
    }
    if (record.flags & kRecordMatrix) {
        g.has_matrix = true;
        g.matrix = holder.resource_at(record.aux);
    }
    return g;
}

DecodedGate decode_gate(const Store& store, std::uint64_t index) {
    const Store* holder = nullptr;
    const PackedRecord record = store.record_at(index, &holder);
    return decode_record(*holder, record);
}

py::tuple int_list_to_tuple(const std::vector<std::int32_t>& values) {
    py::tuple t(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) t[i] = py::int_(values[i]);
    return t;
}

py::tuple int64_list_to_tuple(const std::vector<std::int64_t>& values) {
    py::tuple t(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) t[i] = py::int_(values[i]);
    return t;
}

py::tuple components_tuple(const DecodedGate& g) {
    py::object parameters = py::none();
    if (!g.parameters_absent) {
        py::tuple p(g.parameters.size());
        for (std::size_t i = 0; i < g.parameters.size(); ++i) p[i] = py::float_(g.parameters[i]);
        parameters = std::move(p);
    }
    py::object name = py::none();
    if (g.has_name) {
        name = py::str(g.name);
    } else if (g.id == "unitary") {
        name = py::str("U");
    }
    py::object matrix = g.has_matrix ? g.matrix : py::none();
    py::object block = g.block ? py::cast(g.block) : py::none();
    py::object classical = g.has_classical ? py::object(int_list_to_tuple(g.classical_targets)) : py::none();
    return py::make_tuple(py::str(g.id), int_list_to_tuple(g.targets), int_list_to_tuple(g.controls),
                          int_list_to_tuple(g.control_states), parameters, name, matrix, block, classical);
}

void insert_gate(Store& store, std::uint64_t index, const DecodedGate& gate) {
    if (index > store.records.size()) throw std::out_of_range("gate insertion index out of range");
    const PackedRecord rec = encode_gate(store, gate);
    if (index == store.records.size()) {
        store.records.push_back(rec);
        ++store.version;
        return;
    }
    std::vector<PackedRecord> records = store.flatten_records();
    records.insert(records.begin() + static_cast<std::ptrdiff_t>(index), rec);
    store.rebuild_from_records(records, 1);
}

void replace_gate(Store& store, std::uint64_t index, const DecodedGate& gate) {
    if (index >= store.records.size()) throw std::out_of_range("gate index out of range");
    // The new gate is encoded before the old one goes, so a failure keeps it.
    const PackedRecord rec = encode_gate(store, gate);
    std::vector<PackedRecord> records = store.flatten_records();
    records[static_cast<std::size_t>(index)] = rec;
    store.rebuild_from_records(records, 2);
}

void replace_range(Store& store, std::uint64_t first, std::uint64_t last, py::handle gates) {
    // A replacement of every gate does not need a repeat view written out,
    // as clear() does not; any other does.
    const bool whole = first == 0 && last == store.length();
    if (!whole) store.materialize_repeat();
    if (first > last || last > store.length()) throw std::out_of_range("gate index out of range");
    std::vector<DecodedGate> added;
    for (py::handle gate : gates) added.push_back(gather_gate(gate));
    // Reading the gates ran Python code, which may have changed the store.
    if (whole ? last != store.length() : last > store.records.size() || store.is_repeat_view()) {
        throw std::runtime_error("the gate sequence changed while the new gates were read");
    }
    const std::uint64_t increment = (last - first) + added.size();
    if (whole) {
        Store fresh;
        for (const DecodedGate& g : added) fresh.records.push_back(encode_gate(fresh, g));
        store.take_content(fresh, increment);
        return;  // fresh releases the old content's Python references here
    }
    std::vector<PackedRecord> encoded;
    encoded.reserve(added.size());
    for (const DecodedGate& g : added) encoded.push_back(encode_gate(store, g));
    if (first == store.records.size()) {
        // Added at the end: the pages before stay as they are, shared or not.
        RecordList kept = store.records;
        try {
            for (const PackedRecord& rec : encoded) store.records.push_back(rec);
        } catch (...) {
            store.records = std::move(kept);
            throw;
        }
        store.version += increment;
        return;
    }
    std::vector<PackedRecord> records = store.flatten_records();
    records.erase(records.begin() + static_cast<std::ptrdiff_t>(first),
                  records.begin() + static_cast<std::ptrdiff_t>(last));
    records.insert(records.begin() + static_cast<std::ptrdiff_t>(first), encoded.begin(), encoded.end());
    store.rebuild_from_records(records, increment);
}

void erase_gate(Store& store, std::uint64_t index) {
    if (index >= store.records.size()) throw std::out_of_range("gate index out of range");
    std::vector<PackedRecord> records = store.flatten_records();
    records.erase(records.begin() + static_cast<std::ptrdiff_t>(index));
    store.rebuild_from_records(records, 1);
}

}  // namespace quorvex::packed
