#include "transform.hpp"

#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "codec.hpp"
#include "gate_ids.hpp"

namespace quorvex::packed {

namespace {

const std::unordered_set<std::string_view>& self_inverse_ids() {
    static const std::unordered_set<std::string_view> ids = {
        "x", "y", "z", "h", "ch", "cx", "cy", "cz", "i", "cnot", "swap", "mcx", "mcy", "mcz", "mch"};
    return ids;
}

const std::unordered_map<std::string_view, std::string_view>& inverse_ids() {
    static const std::unordered_map<std::string_view, std::string_view> ids = {
        {"s", "s_dag"},         {"s_dag", "s"},         {"t", "t_dag"},   {"t_dag", "t"},
        {"sqrtx", "sqrtx_dag"}, {"sqrtx_dag", "sqrtx"}, {"sqrty", "sqrty_dag"}, {"sqrty_dag", "sqrty"},
        {"x2p", "x2m"},         {"x2m", "x2p"},         {"y2p", "y2m"},   {"y2m", "y2p"},
        {"cs", "s_dag"},        {"mcs", "s_dag"},       {"ct", "t_dag"},  {"mct", "t_dag"}};
    return ids;
}

const std::unordered_set<std::string_view>& negated_angle_ids() {
    static const std::unordered_set<std::string_view> ids = {
        "rx", "ry", "rz", "rzz", "p", "gp", "gphase", "global_phase",
        "crx", "cry", "crz", "cp", "mcrx", "mcry", "mcrz", "mcp"};
    return ids;
}

// (phi, theta) about an axis in the XY plane: the inverse turns back about the
// same axis, so theta alone changes sign.
bool is_axis_rotation(std::string_view id) { return id == "rxy" || id == "xyarb"; }

bool ends_with_dag(const std::string& s) { return s.size() > 3 && s.compare(s.size() - 4, 4, "_dag") == 0; }

double flip_sign(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bits ^= std::uint64_t{1} << 63;
    std::memcpy(&v, &bits, sizeof bits);
    return v;
}

// Calls f(holder, record) for every record of the store in order, through
// repeat views.
template <class F>
void for_each_record(const Store& store, SignalPoll& signals, F&& f) {
    const Store& inner = store.innermost();
    if (inner.records.empty()) return;
    const std::uint64_t runs = store.repeat_runs();
    for (std::uint64_t r = 0; r < runs; ++r) {
        for (const RecordSlice& slice : inner.records.slices()) {
            for (std::uint32_t i = 0; i < slice.count; ++i) {
                signals.tick();
                const std::uint64_t pos = static_cast<std::uint64_t>(slice.first) + i;
                if (pos >= slice.page->size()) throw_bad_subscript();
                f(inner, (*slice.page)[pos]);
            }
        }
    }
}

struct InverseMemo {
    std::unordered_map<PyObject*, py::object> matrices;
    std::unordered_map<const Store*, StoreRef> blocks;
};

// Inverts a gate in place, except for a block not met before in this store:
// returns true when the gate's block is still to be replaced by its inverse.
bool invert_gate(DecodedGate& g, InverseMemo& memo) {
    // A self-inverse id says nothing about a block or a stored matrix: such
    // a gate is inverted like any other.
    if (self_inverse_ids().count(g.id) && !g.block && !g.has_matrix) return false;
    const std::string old_name = g.has_name ? g.name : default_display_name(g.id);
    if (auto it = inverse_ids().find(g.id); it != inverse_ids().end()) {
        g.id = std::string(it->second);
    } else if (ends_with_dag(g.id)) {
        g.id.resize(g.id.size() - 4);
    }
    std::string new_name = ends_with_dag(old_name) ? old_name.substr(0, old_name.size() - 4) : old_name + "_dag";
    g.has_name = new_name != default_display_name(g.id);
    g.name = g.has_name ? std::move(new_name) : std::string();

    std::string key = g.id;
    if (auto at = key.find("_dag"); at != std::string::npos) key.erase(at, 4);
    if (negated_angle_ids().count(key)) {
        for (double& p : g.parameters) p = flip_sign(p);
    } else if (key == "u" && g.parameters.size() == 3) {
        const double theta = g.parameters[0], phi = g.parameters[1], lambda = g.parameters[2];
        g.parameters = {flip_sign(theta), flip_sign(lambda), flip_sign(phi)};
    } else if (is_axis_rotation(key) && g.parameters.size() == 2) {
        g.parameters[1] = flip_sign(g.parameters[1]);
    }

    if (g.has_matrix) {
        auto it = memo.matrices.find(g.matrix.ptr());
        if (it != memo.matrices.end()) {
            g.matrix = it->second;
        } else {
            py::object numpy = py::module_::import("numpy");
            py::object inverted = numpy.attr("asarray")(g.matrix).attr("conj")().attr("T");
            // The old object's address stays valid as a key: the private
            // copy being inverted holds it for the whole call.
            memo.matrices.emplace(g.matrix.ptr(), inverted);
            g.matrix = inverted;
        }
    }
    if (g.block) {
        auto it = memo.blocks.find(g.block.get());
        if (it == memo.blocks.end()) return true;
        g.block = it->second;
    }
    return false;
}

// One store being inverted: its records, read last first into a new store,
// with memo tables of its own.
struct Inversion {
    StoreRef source;  // a private copy, which the records point into
    std::vector<std::pair<const Store*, PackedRecord>> records;
    std::size_t done = 0;
    StoreRef result = std::make_shared<Store>();
    InverseMemo memo;
    DecodedGate waiting;  // the gate whose block is being inverted above this one
};

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<std::uint64_t>::max() : product;
}

// How many times a store's records run: the product of the repeat counts
// down its chain of views, saturated.
std::uint64_t runs_of(const Store& store) {
    std::uint64_t runs = 1;
    for (const Store* s = &store; s->repeat_base; s = s->repeat_base.get()) runs = saturating_mul(runs, s->repeat_times);
    return runs;
}

// What a record keeps once decoded and appended again, in bytes, with
// extra_controls more controls in front of its own (all on 1 when
// extra_on_one): the record, and, for a gate that does not fit one, its
// overflow entry, the arena values it names and its block entry.
std::uint64_t appended_bytes(const Store& holder, const PackedRecord& rec, std::uint64_t extra_controls,
                             bool extra_on_one) {
    std::uint64_t bytes = sizeof(PackedRecord);
    if (!(rec.flags & kRecordExtra) && extra_controls == 0) return bytes;
    std::uint64_t targets = (rec.target >= 0) + ((rec.flags & kRecordTarget2) != 0);
    std::uint64_t controls = ((rec.flags & kRecordOneControl) != 0) + extra_controls;
    bool on_one = extra_on_one;
    std::uint64_t parameters = (rec.flags & kRecordParameter) != 0;
    std::uint64_t classical = 0;
    bool overflow = controls > 1 || !on_one;
    bool block = false;
    if (rec.flags & kRecordExtra) {
        const ExtraEntry e = holder.extra_at(rec.extra);
        overflow = true;
        targets += range_count(e.targets);
        controls += range_count(e.controls);
        on_one = on_one && range_count(e.control_states) == 0;
        parameters += range_count(e.parameters);
        classical = range_count(e.classical_targets);
        block = (e.flags & kExtraBlock) != 0;
        if (block) targets = holder.block_extra_at(e.block_extra).target_count;
    }
    if (!overflow) return bytes;
    const std::uint64_t held = block ? 0 : std::min<std::uint64_t>(targets, 2);
    const std::uint64_t ints = (targets - held) + (controls > 1 ? controls - 1 : 0) + (on_one ? 0 : controls) + classical;
    bytes += sizeof(ExtraEntry) + sizeof(std::int32_t) * ints +
             sizeof(double) * (parameters > 1 ? parameters - 1 : 0) + (block ? sizeof(BlockExtraEntry) : 0);
    return bytes;
}

// What the records of a store keep once appended again, each run of a view
// counted: returns (gates, bytes).
std::pair<std::uint64_t, std::uint64_t> appended_size(const Store& store, std::uint64_t extra_controls,
                                                      bool extra_on_one, SignalPoll& signals) {
    const Store& inner = store.innermost();
    std::uint64_t bytes = 0;
    for (const RecordSlice& slice : inner.records.slices()) {
        for (std::uint32_t i = 0; i < slice.count; ++i) {
            signals.tick();
            const std::uint64_t pos = static_cast<std::uint64_t>(slice.first) + i;
            if (pos >= slice.page->size()) throw_bad_subscript();
            bytes = saturating_add(bytes, appended_bytes(inner, (*slice.page)[pos], extra_controls, extra_on_one));
        }
    }
    const std::uint64_t runs = inner.records.empty() ? 0 : runs_of(store);
    return {saturating_mul(inner.records.size(), runs), saturating_mul(bytes, runs)};
}

// Refuses, with the count, re-encoding every gate of a repeat view (its
// runs spelled out), at what each re-encoded gate keeps plus pending bytes
// per gate held while the result is built.
void check_spelled_out(const char* what, const Store& store, std::uint64_t pending, SignalPoll& signals) {
    if (!store.repeat_base) return;  // an ordinary store's gates are there already
    const auto [gates, bytes] = appended_size(store, 0, true, signals);
    check_expansion(what, gates, saturating_add(bytes_per_gate(bytes, gates), pending));
}

// The size of a decomposition, counted without building any of it: the
// gate count of its largest pass, and the bytes all its passes keep (each
// pass appends the children it inlines; what it carries over is shared with
// the pass before, whose tables it keeps) plus the positions a pass lists.
// A block shared by reference doubles the gates at every level, so the
// count must not expand it either: each distinct block store is read once a
// pass (a repeat view once a run of it), with the number of times it occurs
// and the controls its composite gate puts in front of its children.
// selected_block gives the children of a record that a pass replaces, or
// null.
template <class Selected>
std::pair<std::uint64_t, std::uint64_t> decomposition_size(const Store& store, std::uint64_t levels,
                                                           const Selected& selected_block, SignalPoll& signals) {
    struct Placement {
        const Store* store;
        std::uint64_t controls;  // put in front of the children's own
        bool on_one;             // and all of them on 1
        bool operator<(const Placement& o) const {
            return std::tie(store, controls, on_one) < std::tie(o.store, o.controls, o.on_one);
        }
    };
    std::uint64_t kept = 0;  // gates no later pass replaces
    std::uint64_t largest = store.length();
    std::uint64_t bytes = 0;
    std::uint64_t listed = 0;  // the longest list of positions a pass inlines
    std::map<Placement, std::uint64_t> occurring{{Placement{&store, 0, true}, 1}};
    std::vector<std::int32_t> targets, controls, states;
    std::vector<double> parameters;
    bool absent = true;
    for (std::uint64_t pass = 0; pass < levels && !occurring.empty(); ++pass) {
        std::map<Placement, std::uint64_t> placed;
        std::uint64_t inlined = 0;
        for (const auto& [at, times] : occurring) {
            const Store& inner = at.store->innermost();
            const std::uint64_t each = saturating_mul(times, inner.records.empty() ? 0 : runs_of(*at.store));
            for (const RecordSlice& slice : inner.records.slices()) {
                for (std::uint32_t i = 0; i < slice.count; ++i) {
                    signals.tick();
                    const std::uint64_t pos = static_cast<std::uint64_t>(slice.first) + i;
                    if (pos >= slice.page->size()) throw_bad_subscript();
                    const PackedRecord& rec = (*slice.page)[pos];
                    const Store* children = selected_block(inner, rec);
                    if (children == nullptr) {
                        kept = saturating_add(kept, each);
                        continue;
                    }
                    decode_qubits_and_parameters(inner, rec, targets, controls, states, parameters, absent);
                    bool on_one = at.on_one;
                    for (std::int32_t v : states) on_one = on_one && v == 1;
                    std::uint64_t& count = placed[Placement{children, at.controls + controls.size(), on_one}];
                    count = saturating_add(count, each);
                    inlined = saturating_add(inlined, each);
                }
            }
        }
        std::uint64_t gates = kept;
        for (const auto& [at, times] : placed) {
            const auto [count, size] = appended_size(*at.store, at.controls, at.on_one, signals);
            gates = saturating_add(gates, saturating_mul(times, count));
            bytes = saturating_add(bytes, saturating_mul(times, size));
        }
        if (gates > largest) largest = gates;
        if (inlined > listed) listed = inlined;
        occurring = std::move(placed);
    }
    return {largest, saturating_add(bytes, saturating_mul(listed, sizeof(std::uint64_t)))};
}

// Whether some record of a store (each record of a view once) is a
// selected composite gate.
template <class Selected>
bool holds_selected(const Store& store, const Selected& selected_block, SignalPoll& signals) {
    const Store& inner = store.innermost();
    for (const RecordSlice& slice : inner.records.slices()) {
        for (std::uint32_t i = 0; i < slice.count; ++i) {
            signals.tick();
            const std::uint64_t pos = static_cast<std::uint64_t>(slice.first) + i;
            if (pos >= slice.page->size()) throw_bad_subscript();
            if (selected_block(inner, (*slice.page)[pos]) != nullptr) return true;
        }
    }
    return false;
}

}  // namespace

StoreRef inverse_store(const Store& source) {
    // A block met for the first time is inverted like a store of its own
    // before its gate goes on. The stores being inverted wait on a stack of
    // their own rather than on the C stack, so that deep nesting cannot use
    // it up.
    std::vector<Inversion> open;
    SignalPoll signals;  // the records come from private copies
    auto begin = [&](const Store& store) {
        Inversion inversion;
        // A repeat view's runs are inverted one by one: each of its gates
        // waits in the list below and is then appended again.
        check_spelled_out("Inverting the repeated sequence", store, sizeof(inversion.records[0]), signals);
        // NumPy may run user code (a matrix's __array__) that edits the
        // receiver; the gates are read from a copy that nothing else sees.
        inversion.source = store.copy();
        for_each_record(*inversion.source, signals, [&](const Store& holder, const PackedRecord& rec) {
            inversion.records.emplace_back(&holder, rec);
        });
        open.push_back(std::move(inversion));
    };
    begin(source);
    for (;;) {
        Inversion& top = open.back();
        if (top.done < top.records.size()) {
            signals.tick();
            const auto& [holder, record] = top.records[top.records.size() - ++top.done];
            DecodedGate g = decode_record(*holder, record);
            if (invert_gate(g, top.memo)) {
                top.waiting = std::move(g);
                begin(*top.waiting.block);
            } else {
                append_decoded_gate(*top.result, g);
            }
            continue;
        }
        StoreRef inverted = std::move(top.result);
        open.pop_back();
        if (open.empty()) return inverted;
        Inversion& parent = open.back();
        parent.memo.blocks.emplace(parent.waiting.block.get(), inverted);
        parent.waiting.block = std::move(inverted);
        append_decoded_gate(*parent.result, parent.waiting);
        parent.waiting = DecodedGate();
    }
}

StoreRef repeat_store(const Store& store, std::uint64_t times) {
    if (times == 0) throw py::value_error("times must be positive");
    // len() of the view must stay representable in Python.
    const std::uint64_t n = store.length();
    if (n > 0 && times > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / n) {
        throw std::overflow_error("repeated gate sequence is too large");
    }
    check_nesting(store.nesting);
    auto view = std::make_shared<Store>();
    view->repeat_base = store.copy();
    view->repeat_times = times;
    view->nesting = view->repeat_base->nesting + 1;
    return view;
}

StoreRef reverse_qubits(const Store& store, std::int64_t num_qubits) {
    if (num_qubits < 0) throw py::value_error("num_qubits must be non-negative");
    // The loop's interrupt check may run a signal handler that edits the
    // receiver: read a private copy that shares its pages.
    const StoreRef source = store.copy();
    auto result = std::make_shared<Store>();
    SignalPoll signals;
    check_spelled_out("Mirroring the repeated sequence", *source, 0, signals);
    auto mirror = [num_qubits](std::int32_t& q) {
        // A negative stored qubit and a huge count would overflow 64 bits.
        std::int64_t r = 0;
        if (__builtin_sub_overflow(num_qubits - 1, static_cast<std::int64_t>(q), &r) || r < 0 ||
            r > std::numeric_limits<std::int32_t>::max()) {
            throw py::index_error("qubit " + std::to_string(q) + " is out of range for " +
                                  std::to_string(num_qubits) + " qubits");
        }
        q = static_cast<std::int32_t>(r);
    };
    for_each_record(*source, signals, [&](const Store& holder, const PackedRecord& rec) {
        DecodedGate g = decode_record(holder, rec);
        for (std::int32_t& q : g.targets) mirror(q);
        for (std::int32_t& q : g.controls) mirror(q);
        append_decoded_gate(*result, g);
    });
    return result;
}

StoreRef decompose_store(const Store& store, std::uint64_t levels, const py::handle& selected_names) {
    const bool select_all = selected_names.is_none();
    std::unordered_set<std::string> selected;
    if (!select_all) {
        for (py::handle item : selected_names) selected.insert(str_to_name(item));
    }
    StoreRef result = store.copy();
    if (levels == 0) return result;
    SignalPoll signals;  // result and the next one are private; snapshots are read-only

    // The children of a record that is a selected composite gate of the
    // store holding it, or null.
    auto selected_block = [&](const Store& holder, const PackedRecord& rec) -> const Store* {
        if (!(rec.flags & kRecordExtra)) return nullptr;
        const ExtraEntry e = holder.extra_at(rec.extra);
        if (!(e.flags & kExtraBlock)) return nullptr;
        if (!select_all) {
            const std::string shown = (e.flags & kExtraName) ? holder.string_at(e.name)
                                                             : default_display_name(holder.gate_id(rec));
            if (selected.count(shown) == 0) return nullptr;
        }
        return holder.block_at(holder.block_extra_at(e.block_extra).block).snapshot.get();
    };

    // Nothing to inline: the copy, a repeat view still if the receiver is one.
    if (!holds_selected(*result, selected_block, signals)) return result;
    const auto [gates, bytes] = decomposition_size(*result, levels, selected_block, signals);
    check_expansion("Decomposing the blocks", gates, bytes_per_gate(bytes, gates));

    for (std::uint64_t pass = 0; pass < levels; ++pass) {
        if (pass > 0 && !holds_selected(*result, selected_block, signals)) break;
        std::vector<std::uint64_t> inline_at;
        std::uint64_t index = 0;
        for_each_record(*result, signals, [&](const Store& holder, const PackedRecord& rec) {
            if (selected_block(holder, rec) != nullptr) inline_at.push_back(index);
            ++index;
        });
        if (inline_at.empty()) break;

        StoreRef next = result->copy();
        next->materialize_repeat();
        next->records = RecordList();
        std::uint64_t from = 0;
        for (std::uint64_t i : inline_at) {
            signals.tick();
            const DecodedGate parent = decode_gate(*result, i);
            next->append_record_range(*result, from, i);
            const Store& children = *parent.block;
            const std::uint64_t count = children.length();
            auto place = [&](std::int32_t& q) {
                if (q < 0 || static_cast<std::size_t>(q) >= parent.targets.size()) throw_bad_subscript();
                q = parent.targets[static_cast<std::size_t>(q)];
            };
            for (std::uint64_t j = 0; j < count; ++j) {
                signals.tick();
                DecodedGate child = decode_gate(children, j);
                for (std::int32_t& q : child.targets) place(q);
                for (std::int32_t& q : child.controls) place(q);
                child.controls.insert(child.controls.begin(), parent.controls.begin(), parent.controls.end());
                child.control_states.insert(child.control_states.begin(), parent.control_states.begin(),
                                            parent.control_states.end());
                append_decoded_gate(*next, child);
            }
            from = i + 1;
        }
        next->append_record_range(*result, from, result->length());
        result = next;
    }
    return result;
}

}  // namespace quorvex::packed
