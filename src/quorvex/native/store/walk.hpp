// The one gate walk of a store: records in order, repeat views unrolled,
// nested blocks expanded through their qubit maps with the enclosing
// controls first. The executor and the queries all see gates through it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "codec.hpp"
#include "store.hpp"

namespace quorvex::packed {

// A gate as the walk hands it on. Qubits are indices of the outermost
// store. id and matrix point into the walked store, which must stay
// unchanged for the duration of the walk.
struct WalkGate {
    std::uint16_t code = 0;
    std::string_view id;
    std::vector<std::int64_t> targets;
    std::vector<std::int64_t> controls;
    std::vector<std::int64_t> control_states;
    std::vector<double> parameters;
    bool parameters_absent = true;
    bool has_matrix = false;
    PyObject* matrix = nullptr;  // borrowed from the store's resources
    bool has_classical = false;
    std::vector<std::int32_t> classical_targets;
};

class GateWalker {
public:
    static constexpr std::uint64_t kAllRuns = ~std::uint64_t{0};

    // With max_runs, a repeat view's records are walked at most that many
    // times in a row instead of as often as the view repeats them: enough
    // for questions whose answer stops changing after so many repetitions.
    explicit GateWalker(std::uint64_t max_runs = kAllRuns) : max_runs_(max_runs) {}

    template <class Visitor>
    void walk(const Store& store, Visitor& visit) {
        walk_level(store, 0, visit);
    }

private:
    struct Level {
        WalkGate gate;
        std::vector<std::int32_t> own_targets;
        std::vector<std::int32_t> own_controls;
        std::vector<std::int32_t> own_states;
    };

    Level& level(std::size_t depth) {
        while (levels_.size() <= depth) levels_.push_back(std::make_unique<Level>());
        return *levels_[depth];
    }

    template <class Visitor>
    void walk_level(const Store& store, std::size_t depth, Visitor& visit) {
        if (store.repeat_base) {
            // A chain of views runs the innermost store's records as often as
            // the counts multiply to; an empty base is done at once, whatever
            // its (possibly overflowing) product of counts. So is a base whose
            // records hand on no gate (blocks with nothing in them): its
            // first run did nothing, and so would every other.
            const Store& inner = store.innermost();
            if (inner.records.empty()) return;
            const std::uint64_t runs = std::min(store.repeat_runs(), max_runs_);
            for (std::uint64_t t = 0; t < runs; ++t) {
                const std::uint64_t before = handed_on_;
                walk_level(inner, depth, visit);
                if (handed_on_ == before) return;
            }
            return;
        }
        for (const RecordSlice& slice : store.records.slices()) {
            const RecordPage& page = *slice.page;
            if (static_cast<std::uint64_t>(slice.first) + slice.count > page.size()) throw_bad_subscript();
            for (std::uint32_t i = 0; i < slice.count; ++i) {
                visit_record(store, page[slice.first + i], depth, visit);
            }
        }
    }

    // Parent context: the gate of the enclosing level (its targets are the
    // qubit map, its controls and states come first), or none at the top.
    std::int64_t map_qubit(std::int64_t q, const WalkGate* parent) const {
        if (parent == nullptr || parent->targets.empty()) return q;
        if (q < 0 || static_cast<std::uint64_t>(q) >= parent->targets.size()) {
            throw std::runtime_error("block-local qubit index out of range");
        }
        return parent->targets[static_cast<std::size_t>(q)];
    }

    template <class Visitor>
    void visit_record(const Store& holder, const PackedRecord& rec, std::size_t depth, Visitor& visit) {
        signals_.tick();
        Level& lv = level(depth);
        const WalkGate* parent = depth == 0 ? nullptr : &levels_[depth - 1]->gate;
        WalkGate& g = lv.gate;
        g.code = rec.id;
        g.id = holder.gate_id(rec);
        g.classical_targets.clear();
        g.has_matrix = false;
        g.matrix = nullptr;
        g.has_classical = false;
        bool has_block = false;
        const Store* block = nullptr;

        const std::optional<ExtraEntry> extra = decode_qubits_and_parameters(
            holder, rec, lv.own_targets, lv.own_controls, lv.own_states, g.parameters, g.parameters_absent);
        if (extra) {
            const ExtraEntry& e = *extra;
            if (e.flags & kExtraMatrix) {
                g.has_matrix = true;
                g.matrix = holder.resource_at(e.matrix).ptr();
            }
            if (e.flags & kExtraBlock) {
                has_block = true;
                block = holder.block_at(holder.block_extra_at(e.block_extra).block).snapshot.get();
            }
            if (e.flags & kExtraClassical) {
                g.has_classical = true;
                holder.ints.read_range(e.classical_targets, g.classical_targets);
            }
        }
        if (rec.flags & kRecordMatrix) {
            g.has_matrix = true;
            g.matrix = holder.resource_at(rec.aux).ptr();
        }

        g.targets.clear();
        for (std::int32_t q : lv.own_targets) g.targets.push_back(map_qubit(q, parent));
        g.controls.clear();
        g.control_states.clear();
        if (parent != nullptr) {
            g.controls.assign(parent->controls.begin(), parent->controls.end());
            g.control_states.assign(parent->control_states.begin(), parent->control_states.end());
        }
        for (std::int32_t q : lv.own_controls) g.controls.push_back(map_qubit(q, parent));
        g.control_states.insert(g.control_states.end(), lv.own_states.begin(), lv.own_states.end());

        if (has_block) {
            // The children read this level's gate as their context.
            walk_level(*block, depth + 1, visit);
            return;
        }
        ++handed_on_;
        visit(static_cast<const WalkGate&>(g));
    }

    std::uint64_t max_runs_;
    std::uint64_t handed_on_ = 0;  // gates handed to a visitor so far
    std::vector<std::unique_ptr<Level>> levels_;
    SignalPoll signals_;
};

// --- queries -----------------------------------------------------------------
bool has_measurement(const Store& store);
// ("none" | "dynamic" | "terminal", qubits, classical bits)
struct MeasurementPlan {
    const char* kind = "none";
    std::vector<std::int64_t> qubits;
    std::vector<std::int32_t> classical;
};
MeasurementPlan measurement_plan(const Store& store);
bool bulk_supported(const Store& store);
bool gate_bulk_supported(std::uint16_t code, bool has_matrix);

}  // namespace quorvex::packed
