#include <map>
#include <stdexcept>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dispatch/gate_dispatch.hpp"
#include "executor.hpp"
#include "walk.hpp"

namespace quorvex::packed {

namespace {

constexpr std::uint16_t kCodeIdentity = 1;
constexpr std::uint16_t kCodeUnitary = 22;
constexpr std::uint16_t kCodeMeasure = 45;

// What the gates a store expands to say about the queries, none of which
// depends on where the store is placed: a block shared by reference is
// looked at once, however many gates its occurrences make.
struct GateFacts {
    bool supported = true;  // every gate has a case in the executor
    bool measures = false;  // some gate is a measurement
    bool others = false;    // some gate is neither "i" nor a measurement
    bool other_after_measure = false;  // such a gate follows a measurement
    // A measurement that a plan records or refuses: one with targets, with
    // controls, or without a classical bit per target.
    bool placed_measures = false;

    // These gates followed by the gates of next.
    void then(const GateFacts& next) {
        other_after_measure = other_after_measure || next.other_after_measure || (measures && next.others);
        supported = supported && next.supported;
        measures = measures || next.measures;
        others = others || next.others;
        placed_measures = placed_measures || next.placed_measures;
    }

    // These gates run twice or more in a row.
    GateFacts repeated() const {
        GateFacts twice = *this;
        twice.then(*this);
        return twice;
    }
};

// Whether a store's records run more than once in a row (a repeat view
// whose counts are not all 1).
bool runs_again(const Store& store) {
    for (const Store* s = &store; s->repeat_base; s = s->repeat_base.get()) {
        if (s->repeat_times > 1 && !s->innermost().records.empty()) return true;
    }
    return false;
}

// The facts of every store reached from one, each distinct store (by the
// width of the composite gate around it) looked at once. Looking also checks
// what the gate walk checks as it maps block positions: a position outside
// the targets of the composite gate around it fails with the walk's message.
class BlockFacts {
public:
    // The facts of store, whose records address positions among width
    // targets (0: not checked, as at the top or under a targetless gate).
    GateFacts of(const Store& store, std::size_t width) {
        GateFacts facts = of_records(store.innermost(), width);
        return runs_again(store) ? facts.repeated() : facts;
    }

private:
    using Key = std::pair<const Store*, std::size_t>;

    struct Frame {
        const Store* store;  // holds the records and tables read
        std::size_t width;
        std::size_t slice = 0;
        std::uint32_t offset = 0;
        GateFacts facts;
        // The composite gate whose children are being looked at above.
        bool child_again = false;
        bool child_controlled = false;
    };

    void check_positions(const std::vector<std::int32_t>& positions, std::size_t width) const {
        if (width == 0) return;
        for (std::int32_t q : positions) {
            if (q < 0 || static_cast<std::size_t>(q) >= width) {
                throw std::runtime_error("block-local qubit index out of range");
            }
        }
    }

    // The children's facts as their composite gate contributes them.
    static GateFacts placed(GateFacts child, bool again, bool controlled) {
        if (again) child = child.repeated();
        // Every measurement under a controlled gate is controlled.
        if (controlled && child.measures) child.placed_measures = true;
        return child;
    }

    GateFacts of_records(const Store& inner, std::size_t width) {
        if (auto it = known_.find(Key{&inner, width}); it != known_.end()) return it->second;
        // Stores wait on a stack of their own, not on the C stack.
        std::vector<Frame> frames{Frame{&inner, width}};
        for (;;) {
            Frame& f = frames.back();
            const std::vector<RecordSlice>& slices = f.store->records.slices();
            if (f.slice == slices.size()) {
                const GateFacts done = f.facts;
                known_.emplace(Key{f.store, f.width}, done);
                frames.pop_back();
                if (frames.empty()) return done;
                Frame& parent = frames.back();
                parent.facts.then(placed(done, parent.child_again, parent.child_controlled));
                continue;
            }
            const RecordSlice& slice = slices[f.slice];
            if (static_cast<std::uint64_t>(slice.first) + slice.count > slice.page->size()) throw_bad_subscript();
            const PackedRecord rec = (*slice.page)[slice.first + f.offset];
            if (++f.offset == slice.count) {
                ++f.slice;
                f.offset = 0;
            }
            signals_.tick();
            const Store& holder = *f.store;
            const std::optional<ExtraEntry> extra =
                decode_qubits_and_parameters(holder, rec, targets_, controls_, states_, parameters_, absent_);
            check_positions(targets_, f.width);
            check_positions(controls_, f.width);
            if (extra && (extra->flags & kExtraBlock)) {
                const Store& block = *holder.block_at(holder.block_extra_at(extra->block_extra).block).snapshot;
                const bool again = runs_again(block);
                const bool controlled = !controls_.empty();
                const Key key{&block.innermost(), targets_.size()};
                if (auto it = known_.find(key); it != known_.end()) {
                    f.facts.then(placed(it->second, again, controlled));
                } else {
                    f.child_again = again;
                    f.child_controlled = controlled;
                    frames.push_back(Frame{key.first, key.second});  // f is not used after this
                }
                continue;
            }
            GateFacts leaf;
            const bool has_matrix = (rec.flags & kRecordMatrix) || (extra && (extra->flags & kExtraMatrix));
            leaf.supported = gate_bulk_supported(rec.id, has_matrix);
            if (rec.id == kCodeMeasure) {
                leaf.measures = true;
                const bool classical = extra && (extra->flags & kExtraClassical);
                const std::uint64_t bits = classical ? range_count(extra->classical_targets) : 0;
                leaf.placed_measures = !targets_.empty() || !controls_.empty() || !classical || bits != targets_.size();
            } else if (rec.id != kCodeIdentity) {
                leaf.others = true;
            }
            f.facts.then(leaf);
        }
    }

    std::map<Key, GateFacts> known_;
    std::vector<std::int32_t> targets_, controls_, states_;
    std::vector<double> parameters_;
    bool absent_ = true;
    SignalPoll signals_;
};

}  // namespace

bool gate_bulk_supported(std::uint16_t code, bool has_matrix) {
    if (code == kCodeUnitary) return has_matrix;
    // A gate that only orders the others (barrier, b) runs as nothing.
    return has_matrix || gate_has_executor_case(code);
}

bool has_measurement(const Store& store) {
    // The stores still to look through: nested blocks wait here rather than
    // on the C stack, and a block that many gates share is looked at once.
    std::vector<const Store*> pending{&store.innermost()};
    std::unordered_set<const Store*> seen{pending.back()};
    while (!pending.empty()) {
        const Store& s = *pending.back();
        pending.pop_back();
        for (const RecordSlice& slice : s.records.slices()) {
            const RecordPage& page = *slice.page;
            if (static_cast<std::uint64_t>(slice.first) + slice.count > page.size()) throw_bad_subscript();
            for (std::uint32_t i = 0; i < slice.count; ++i) {
                const PackedRecord& rec = page[slice.first + i];
                if (rec.id == kCodeMeasure) return true;
                if (!(rec.flags & kRecordExtra)) continue;
                const ExtraEntry e = s.extra_at(rec.extra);
                if (!(e.flags & kExtraBlock)) continue;
                const Store* block = &s.block_at(s.block_extra_at(e.block_extra).block).snapshot->innermost();
                if (seen.insert(block).second) pending.push_back(block);
            }
        }
    }
    return false;
}

namespace {

// The plan's walk. A composite gate whose children cannot change the plan
// but by what their facts say (no measurement, or only measurements that
// record nothing) is answered from those facts instead of walked, and the
// walk ends once the plan is dynamic: a block shared by reference costs its
// distinct stores, not its occurrences.
struct PlanWalk {
    BlockFacts& facts;
    MeasurementPlan& plan;
    bool seen = false;
    bool dynamic = false;
    std::unordered_set<std::int64_t> measured;

    bool done() const { return dynamic; }

    bool enter_block(const Store& block, const WalkGate& gate) {
        const GateFacts f = facts.of(block, gate.targets.size());
        if (!f.measures) {
            if (seen && f.others) dynamic = true;
            return false;
        }
        if (!gate.controls.empty()) {  // every measurement in it is controlled
            seen = dynamic = true;
            return false;
        }
        if (f.placed_measures) return true;
        if ((seen && f.others) || f.other_after_measure) dynamic = true;
        seen = true;
        return false;
    }

    void operator()(const WalkGate& g) {
        if (g.code == kCodeMeasure) {
            seen = true;
            if (g.controls.empty() && g.has_classical && g.classical_targets.size() == g.targets.size()) {
                for (std::int64_t q : g.targets) {
                    if (!measured.insert(q).second) {
                        dynamic = true;
                        return;
                    }
                }
                plan.qubits.insert(plan.qubits.end(), g.targets.begin(), g.targets.end());
                plan.classical.insert(plan.classical.end(), g.classical_targets.begin(), g.classical_targets.end());
            } else {
                dynamic = true;
            }
        } else if (g.code == kCodeIdentity) {
            // identity gates may follow the measurements
        } else if (seen) {
            dynamic = true;
        }
    }
};

}  // namespace

MeasurementPlan measurement_plan(const Store& store) {
    MeasurementPlan plan;
    if (store.repeat_base && store.repeat_times > 1) {
        plan.kind = has_measurement(*store.repeat_base) ? "dynamic" : "none";
        return plan;
    }
    // The walk's interrupt check may run a signal handler that edits the
    // store; a private copy (sharing the pages) keeps the walk's view fixed.
    const StoreRef run = store.copy();
    // Looking at every distinct store first also raises, before any answer,
    // the position error the walk would meet anywhere in the sequence; the
    // walk below may then stop as soon as the plan is dynamic.
    BlockFacts facts;
    if (!facts.of(*run, 0).measures) return plan;
    PlanWalk walk{facts, plan};
    // The plan's state after two runs of a repeated sequence is its state
    // after any more. A run without measurements changes nothing the first
    // one did not; once a run has measured, the next one re-measures a qubit
    // or meets another gate after a measurement (dynamic), unless it holds
    // only "i" gates and measurements without targets, which add nothing.
    GateWalker walker(2);
    walker.walk(*run, walk);
    if (!walk.seen) {
        plan = MeasurementPlan{};
    } else if (walk.dynamic) {
        plan = MeasurementPlan{};
        plan.kind = "dynamic";
    } else {
        plan.kind = "terminal";
    }
    return plan;
}

bool bulk_supported(const Store& store) {
    const StoreRef run = store.copy();  // as in measurement_plan
    BlockFacts facts;
    return facts.of(*run, 0).supported;
}

}  // namespace quorvex::packed
