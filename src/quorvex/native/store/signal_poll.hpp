// How long native loops answer Ctrl-C. They check for signals after a fixed
// amount of work rather than a fixed number of steps, since one step may
// decode a record (tens of nanoseconds) or apply a gate to 2**26 amplitudes
// (tens of milliseconds). Work is counted in amplitudes touched; a check is
// due after a fraction of a millisecond of it, so an interrupt waits for
// little more than the gate in progress.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace quorvex::packed {

// The work between two checks, in amplitudes touched.
constexpr std::uint64_t kWorkPerPoll = std::uint64_t{1} << 18;
// The work of decoding or encoding one record, in the same units: a check
// every 4,096 records.
constexpr std::uint64_t kRecordWork = 64;

class WorkMeter {
public:
    // Adds work done; true once per kWorkPerPoll of it.
    bool add(std::uint64_t work) {
        done_ += work;
        if (done_ < kWorkPerPoll) return false;
        done_ = 0;
        return true;
    }

private:
    std::uint64_t done_ = 0;
};

// For loops that hold the GIL: tick() after each step, with the work it
// did; when a check is due it runs the pending signal handlers, so Ctrl-C
// ends the loop with KeyboardInterrupt (or whatever a handler raises).
class SignalPoll {
public:
    void tick(std::uint64_t work = kRecordWork) {
        if (meter_.add(work) && PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
    }

private:
    WorkMeter meter_;
};

}  // namespace quorvex::packed
