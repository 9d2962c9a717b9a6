#include <unordered_set>
#include <vector>

#include "dispatch/gate_dispatch.hpp"
#include "executor.hpp"
#include "walk.hpp"

namespace quorvex::packed {

namespace {

constexpr std::uint16_t kCodeIdentity = 1;
constexpr std::uint16_t kCodeUnitary = 22;
constexpr std::uint16_t kCodeMeasure = 45;

}  // namespace

bool gate_bulk_supported(std::uint16_t code, bool has_matrix) {
    if (code == kCodeUnitary) return has_matrix;
    // A barrier's matrix is never run: the caller drops the barrier instead.
    if (op_of(code) == Op::ordering) return false;
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

MeasurementPlan measurement_plan(const Store& store) {
    MeasurementPlan plan;
    if (store.repeat_base && store.repeat_times > 1) {
        plan.kind = has_measurement(*store.repeat_base) ? "dynamic" : "none";
        return plan;
    }
    bool seen = false;
    bool dynamic = false;
    std::unordered_set<std::int64_t> measured;
    auto visit = [&](const WalkGate& g) {
        if (g.code == kCodeMeasure) {
            seen = true;
            if (g.controls.empty() && g.has_classical && g.classical_targets.size() == g.targets.size()) {
                bool all_new = true;
                for (std::int64_t q : g.targets) {
                    if (!measured.insert(q).second) {
                        all_new = false;
                        break;
                    }
                }
                if (all_new) {
                    plan.qubits.insert(plan.qubits.end(), g.targets.begin(), g.targets.end());
                    plan.classical.insert(plan.classical.end(), g.classical_targets.begin(),
                                          g.classical_targets.end());
                } else {
                    dynamic = true;
                }
            } else {
                dynamic = true;
            }
        } else if (g.code == kCodeIdentity) {
            // identity gates may follow the measurements
        } else if (seen) {
            dynamic = true;
        }
    };
    // The plan's state after two runs of a repeated sequence is its state
    // after any more. A run without measurements changes nothing the first
    // one did not; once a run has measured, the next one re-measures a qubit
    // or meets another gate after a measurement (dynamic), unless it holds
    // only "i" gates and measurements without targets, which add nothing.
    // The walk's interrupt check may run a signal handler that edits the
    // store; a private copy (sharing the pages) keeps the walk's view fixed.
    const StoreRef run = store.copy();
    GateWalker walker(2);
    walker.walk(*run, visit);
    if (!seen) {
        plan = MeasurementPlan{};
    } else if (dynamic) {
        plan = MeasurementPlan{};
        plan.kind = "dynamic";
    } else {
        plan.kind = "terminal";
    }
    return plan;
}

bool bulk_supported(const Store& store) {
    bool supported = true;
    auto visit = [&](const WalkGate& g) {
        if (!gate_bulk_supported(g.code, g.has_matrix)) supported = false;
    };
    const StoreRef run = store.copy();  // as in measurement_plan
    GateWalker walker(1);
    walker.walk(*run, visit);
    return supported;
}

}  // namespace quorvex::packed
