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
#include <type_traits>
#include <utility>
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

// Optional visitor members: enter_block(block, gate) decides whether the
// children of a composite gate (gate: its mapped targets and combined
// controls) are walked or passed over; done() ends the walk early.
template <class V, class = void>
struct EntersBlocks : std::false_type {};
template <class V>
struct EntersBlocks<V, std::void_t<decltype(std::declval<V&>().enter_block(std::declval<const Store&>(),
                                                                          std::declval<const WalkGate&>()))>>
    : std::true_type {};
template <class V, class = void>
struct EndsEarly : std::false_type {};
template <class V>
struct EndsEarly<V, std::void_t<decltype(std::declval<const V&>().done())>> : std::true_type {};

class GateWalker {
public:
    static constexpr std::uint64_t kAllRuns = ~std::uint64_t{0};

    // With max_runs, a repeat view's records are walked at most that many
    // times in a row instead of as often as the view repeats them: enough
    // for questions whose answer stops changing after so many repetitions.
    // record_work is the work counted per record against the interrupt
    // check: more than decoding when the visitor does more with each gate.
    explicit GateWalker(std::uint64_t max_runs = kAllRuns, std::uint64_t record_work = kRecordWork)
        : max_runs_(max_runs), record_work_(record_work) {}

    // Nested blocks are entered on a stack of their own rather than by
    // recursion, so that the C stack of the calling thread, however small,
    // is not used up by deep nesting.
    template <class Visitor>
    void walk(const Store& store, Visitor& visit) {
        std::vector<Frame> frames;
        enter(store, frames);
        while (!frames.empty()) {
            if constexpr (EndsEarly<Visitor>::value) {
                if (visit.done()) return;
            }
            Frame& f = frames.back();
            const std::vector<RecordSlice>& slices = f.holder->records.slices();
            if (f.slice == slices.size()) {
                // A run is over. A chain of views runs the innermost store's
                // records as often as the counts multiply to; a run that
                // handed on no gate (blocks with nothing in them) ends the
                // repetition, since every other run would do the same.
                if (++f.run < f.runs && handed_on_ != f.handed_at_run_start) {
                    f.slice = 0;
                    f.handed_at_run_start = handed_on_;
                } else {
                    frames.pop_back();
                }
                continue;
            }
            const RecordSlice& slice = slices[f.slice];
            const RecordPage& page = *slice.page;
            if (f.offset == 0 && static_cast<std::uint64_t>(slice.first) + slice.count > page.size()) {
                throw_bad_subscript();
            }
            const Store* block = nullptr;
            const std::size_t depth = frames.size() - 1;
            while (block == nullptr && f.offset < slice.count) {
                if constexpr (EndsEarly<Visitor>::value) {
                    if (visit.done()) return;
                }
                block = visit_record(*f.holder, page[slice.first + f.offset++], depth, visit);
            }
            if (f.offset == slice.count) {
                ++f.slice;
                f.offset = 0;
            }
            // The children read this level's gate as their context.
            if (block != nullptr) enter(*block, frames);
        }
    }

private:
    struct Level {
        WalkGate gate;
        std::vector<std::int32_t> own_targets;
        std::vector<std::int32_t> own_controls;
        std::vector<std::int32_t> own_states;
    };

    // A store being walked: where its records stand, and how often they
    // are walked in a row.
    struct Frame {
        const Store* holder;  // the store whose records and tables are read
        std::uint64_t runs;
        std::uint64_t run = 0;
        std::uint64_t handed_at_run_start = 0;
        std::size_t slice = 0;
        std::uint32_t offset = 0;
    };

    void enter(const Store& store, std::vector<Frame>& frames) const {
        if (!store.repeat_base) {
            frames.push_back(Frame{&store, 1});
            return;
        }
        // An empty base is done at once, whatever its (possibly
        // overflowing) product of counts.
        const Store& inner = store.innermost();
        if (inner.records.empty()) return;
        frames.push_back(Frame{&inner, std::min(store.repeat_runs(), max_runs_), 0, handed_on_});
    }

    Level& level(std::size_t depth) {
        while (levels_.size() <= depth) levels_.push_back(std::make_unique<Level>());
        return *levels_[depth];
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

    // Decodes a record into its level's gate and hands it to the visitor;
    // a composite gate instead returns its block, to be walked next.
    template <class Visitor>
    const Store* visit_record(const Store& holder, const PackedRecord& rec, std::size_t depth, Visitor& visit) {
        signals_.tick(record_work_);
        Level& lv = level(depth);
        const WalkGate* parent = depth == 0 ? nullptr : &levels_[depth - 1]->gate;
        WalkGate& g = lv.gate;
        g.code = rec.id;
        g.id = holder.gate_id(rec);
        g.classical_targets.clear();
        g.has_matrix = false;
        g.matrix = nullptr;
        g.has_classical = false;
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

        if (block != nullptr) {
            if constexpr (EntersBlocks<Visitor>::value) {
                if (!visit.enter_block(*block, static_cast<const WalkGate&>(g))) {
                    // Passed over, but not empty: a repetition around it goes on.
                    ++handed_on_;
                    return nullptr;
                }
            }
            return block;
        }
        ++handed_on_;
        visit(static_cast<const WalkGate&>(g));
        return nullptr;
    }

    std::uint64_t max_runs_;
    std::uint64_t record_work_;
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
