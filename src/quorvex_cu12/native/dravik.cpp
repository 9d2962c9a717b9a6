// dravik: device state vectors, prepared gate chunks, measurement and
// sampling. This build keeps the amplitudes in host memory (qubit q is bit q
// of the amplitude index) and runs them through the package's gate dispatch,
// the one the packed executor uses, so both give the same bits.
//
// Locking: every DeviceState has a mutex for its amplitudes. It is taken only
// with the GIL released, so a thread waiting for the amplitudes never blocks
// the interpreter. The one thread that takes the GIL while holding it is the
// main thread, to run signal handlers in the middle of a chunk; the mutex is
// recursive, so that a handler may use the state too.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "dispatch/gate_dispatch.hpp"
#include "store/gate_ids.hpp"
#include "store/signal_poll.hpp"

namespace py = pybind11;

namespace quorvex::device {

namespace {

using kernels::c128;
using kernels::c64;
using packed::DispatchScratch;
using packed::GateView;
using packed::Op;

// --- signal handlers in loops without the GIL ---------------------------------

// Python runs signal handlers on the main thread only: the identity of that
// thread, taken when the module is loaded.
unsigned long main_thread_ident = 0;

// Taking the GIL waits for the thread that holds it, up to the interpreter's
// switch interval (5 ms) when that thread is busy, so the main thread runs
// the signal handlers only this often, the first time after this long: a
// busy Python thread beside it then delays an execution by at most a switch
// interval per check, and not at all when it is shorter.
constexpr std::chrono::milliseconds kHandlerInterval{50};

// For a long loop that has released the GIL: called between its steps, on
// the main thread it runs the pending signal handlers once they are due, so
// that Ctrl-C ends the loop with KeyboardInterrupt; elsewhere it does nothing.
class HandlerCheck {
public:
    HandlerCheck() : runs_(PyThread_get_thread_ident() == main_thread_ident) {}

    void operator()() {
        if (!runs_ || std::chrono::steady_clock::now() < due_) return;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        due_ = std::chrono::steady_clock::now() + kHandlerInterval;
    }

private:
    bool runs_;
    std::chrono::steady_clock::time_point due_ = std::chrono::steady_clock::now() + kHandlerInterval;
};

// --- device state -------------------------------------------------------------

constexpr std::size_t kHugePage = std::size_t{1} << 21;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

class DeviceState {
public:
    DeviceState(std::int64_t n, bool single) : n_(n), single_(single) {
        if (n < 1 || n > 62) throw py::value_error("qubit count must be between 1 and 62");
        const std::size_t item = single ? sizeof(c64) : sizeof(c128);
        // 2**n items of 16 bytes overflow 64 bits from n = 60 on.
        if (static_cast<std::uint64_t>(n) + (single ? 3 : 4) >= 64) throw std::bad_alloc();
        bytes_ = (std::size_t{1} << n) * item;
        // Large states sit on huge pages where the system grants them, as
        // NumPy's own large arrays do; a gate sweeps the whole state, and
        // with small pages the address translations alone cost a fifth.
        const std::size_t align = bytes_ >= kHugePage ? kHugePage : 64;
        const std::size_t rounded = (bytes_ + align - 1) / align * align;
        void* memory = std::aligned_alloc(align, rounded);
        if (memory == nullptr) throw std::bad_alloc();
        amps_.reset(memory);
        if (align == kHugePage) madvise(memory, rounded, MADV_HUGEPAGE);
    }

    std::int64_t n() const { return n_; }
    bool single() const { return single_; }
    std::size_t bytes() const { return bytes_; }
    std::int64_t size() const { return std::int64_t{1} << n_; }
    void* data() { return amps_.get(); }
    std::recursive_mutex& mutex() { return mutex_; }

private:
    std::int64_t n_;
    bool single_;
    std::size_t bytes_ = 0;
    std::unique_ptr<void, FreeDeleter> amps_;
    std::recursive_mutex mutex_;
};

using StateRef = std::shared_ptr<DeviceState>;

// Runs body(amplitudes) without the GIL, holding the state's mutex.
template <class Body>
void with_amplitudes(DeviceState& state, Body&& body) {
    py::gil_scoped_release release;
    std::lock_guard<std::recursive_mutex> lock(state.mutex());
    if (state.single()) {
        body(static_cast<c64*>(state.data()));
    } else {
        body(static_cast<c128*>(state.data()));
    }
}

bool single_of(const std::string& dtype) {
    if (dtype == "complex64") return true;
    if (dtype == "complex128") return false;
    throw py::value_error("dtype must be 'complex64' or 'complex128', not '" + dtype + "'");
}

// Zeroing takes seconds for the largest states (2**26 amplitudes: 1 GiB,
// most of the time the first touch of each page), so it goes in pieces,
// answering Ctrl-C between them.
constexpr std::size_t kZeroPiece = std::size_t{1} << 24;  // bytes

StateRef zero_state(std::int64_t n, const std::string& dtype) {
    auto state = std::make_shared<DeviceState>(n, single_of(dtype));
    HandlerCheck handlers;
    with_amplitudes(*state, [&](auto* amps) {
        auto* bytes = static_cast<unsigned char*>(static_cast<void*>(amps));
        for (std::size_t done = 0; done < state->bytes(); done += kZeroPiece) {
            handlers();
            std::memset(bytes + done, 0, std::min(kZeroPiece, state->bytes() - done));
        }
        amps[0] = 1;
    });
    return state;
}

StateRef from_numpy(std::int64_t n, const py::handle& host) {
    if (!py::isinstance<py::array>(host)) throw py::value_error("host state must be a NumPy array");
    auto array = py::reinterpret_borrow<py::array>(host);
    const bool single = array.dtype().equal(py::dtype::of<c64>());
    if (!single && !array.dtype().equal(py::dtype::of<c128>())) {
        throw py::value_error("host state must be a complex64 or complex128 array");
    }
    if (n < 1 || n > 62) throw py::value_error("qubit count must be between 1 and 62");
    if (array.ndim() != 1 || array.shape(0) != (py::ssize_t{1} << n)) {
        throw py::value_error("host state must be a 1-D array of 2**n amplitudes");
    }
    // The copy below reads a C-contiguous buffer; any other layout is copied
    // into one first (through NumPy, so that its errors come through).
    if (!(array.flags() & py::array::c_style)) {
        array = py::module_::import("numpy").attr("ascontiguousarray")(array);
    }
    auto state = std::make_shared<DeviceState>(n, single);
    const void* source = array.data();
    with_amplitudes(*state, [&](auto* amps) { std::memcpy(static_cast<void*>(amps), source, state->bytes()); });
    return state;
}

py::array to_numpy(DeviceState& state) {
    const auto size = static_cast<py::ssize_t>(state.size());
    py::array out = state.single() ? py::array(py::array_t<c64>(size)) : py::array(py::array_t<c128>(size));
    void* target = out.mutable_data();
    with_amplitudes(state, [&](auto* amps) { std::memcpy(target, static_cast<const void*>(amps), state.bytes()); });
    return out;
}

// --- prepared chunks --------------------------------------------------------------

// A gate of a chunk with everything the dispatch reads, owned.
struct PreparedGate {
    Op op = Op::none;
    std::string id;
    std::vector<std::int64_t> targets;
    std::vector<std::int64_t> controls;
    std::vector<std::int64_t> control_states;
    std::vector<double> parameters;
    bool parameters_absent = true;
    bool has_matrix = false;
    std::vector<c128> matrix128;  // only for gates that run their stored matrix
    std::vector<c64> matrix64;

    GateView view() const {
        GateView g;
        g.id = id;
        g.targets = targets;
        g.controls = controls;
        g.control_states = control_states;
        g.parameters = parameters;
        g.parameters_absent = parameters_absent;
        g.has_matrix = has_matrix;
        return g;
    }
};

class PreparedChunk {
public:
    PreparedChunk(std::int64_t n, std::vector<PreparedGate> gates) : n_(n), gates_(std::move(gates)) {}
    std::int64_t n() const { return n_; }
    std::size_t gate_count() const { return gates_.size(); }
    const std::vector<PreparedGate>& gates() const { return gates_; }
    // Read by an execution on another thread, without the GIL.
    void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

private:
    std::int64_t n_;
    std::vector<PreparedGate> gates_;
    std::atomic<bool> cancelled_{false};
};

using ChunkRef = std::shared_ptr<PreparedChunk>;

// Preparation reads seven attributes of every gate: their names are made
// once (and kept for the life of the process).
enum GateField { kId, kTarget, kControl, kControlState, kParameter, kStoredMatrix, kBlock, kFieldCount };

py::object field(const py::handle& gate, GateField which) {
    static PyObject* const* names = [] {
        static PyObject* interned[kFieldCount];
        const char* spelled[kFieldCount] = {"id", "target", "control", "control_state", "parameter", "stored_matrix",
                                            "block_gate_sequence"};
        for (int i = 0; i < kFieldCount; ++i) {
            interned[i] = PyUnicode_InternFromString(spelled[i]);
            if (interned[i] == nullptr) throw py::error_already_set();
        }
        return interned;
    }();
    PyObject* value = PyObject_GetAttr(gate.ptr(), names[which]);
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

// Reads every item of a tuple (the gate record's own form) or other iterable.
template <class T, class Read>
void read_items(const py::handle& values, std::vector<T>& out, Read read) {
    out.clear();
    if (PyTuple_CheckExact(values.ptr())) {
        const Py_ssize_t count = PyTuple_GET_SIZE(values.ptr());
        for (Py_ssize_t i = 0; i < count; ++i) out.push_back(read(PyTuple_GET_ITEM(values.ptr(), i)));
        return;
    }
    for (py::handle item : values) out.push_back(read(item.ptr()));
}

std::int64_t to_int64(PyObject* item) {
    if (PyLong_CheckExact(item)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow == 0 && !(value == -1 && PyErr_Occurred())) return value;
        PyErr_Clear();
    }
    return py::cast<std::int64_t>(py::handle(item));
}

double to_double(PyObject* item) {
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    return py::cast<double>(py::handle(item));
}

void read_ints(const py::handle& values, std::vector<std::int64_t>& out) {
    if (values.is_none()) {
        out.clear();
        return;
    }
    read_items(values, out, to_int64);
}

// The stored matrix as the dense path uses it, in both precisions, after the
// shape check of the packed executor. Each precision is converted from the
// object itself, as the packed executor converts it for a state of that
// precision: rounding through complex128 first could differ in the last bit
// (a long double entry, say). A failed conversion raises NumPy's own error.
template <class C>
py::array_t<C, py::array::c_style | py::array::forcecast> checked_matrix(const py::handle& matrix, std::int64_t t) {
    py::array_t<C, py::array::c_style | py::array::forcecast> m(py::reinterpret_borrow<py::object>(matrix));
    packed::check_matrix_shape(t, m.ndim(), m.ndim() > 0 ? m.shape(0) : 0, m.ndim() > 1 ? m.shape(1) : 0);
    return m;
}

void read_matrix(const py::handle& matrix, PreparedGate& g) {
    const auto t = static_cast<std::int64_t>(g.targets.size());
    const auto wide = checked_matrix<c128>(matrix, t);
    g.matrix128.assign(wide.data(), wide.data() + wide.size());
    const auto narrow = checked_matrix<c64>(matrix, t);
    g.matrix64.assign(narrow.data(), narrow.data() + narrow.size());
}

// Gathers a gate, or returns false for one that has nothing to run.
bool prepare_gate(std::int64_t n, const py::handle& gate, PreparedGate& g) {
    g.id = py::cast<std::string>(field(gate, kId));
    packed::ascii_lower_in_place(g.id);
    g.op = packed::op_of(packed::gate_code(g.id));
    // Barriers only order the gates around them, a stored matrix or not.
    if (g.op == Op::ordering) return false;
    if (g.id == "measure") throw py::value_error("measure gates are not part of a chunk; measure them on the state");
    if (!field(gate, kBlock).is_none()) {
        throw py::value_error("composite gates must be flattened before they are prepared");
    }
    read_ints(field(gate, kTarget), g.targets);
    read_ints(field(gate, kControl), g.controls);
    read_ints(field(gate, kControlState), g.control_states);
    py::object parameter = field(gate, kParameter);
    g.parameters_absent = parameter.is_none();
    g.parameters.clear();
    if (!g.parameters_absent) read_items(parameter, g.parameters, to_double);
    py::object matrix = field(gate, kStoredMatrix);
    g.has_matrix = !matrix.is_none();

    const GateView view = g.view();
    packed::validate_gate(n, view, g.op);
    // An identity is checked as the packed executor checks it, then dropped.
    if (g.op == Op::identity) return false;
    packed::check_dispatch(view, g.op);
    // A gate with a kernel row ignores its matrix, as the packed executor does.
    if (!packed::has_kernel_row(g.op)) read_matrix(matrix, g);
    return true;
}

// A chunk is prepared while the worker runs the one before: the worker needs
// the GIL for a moment to start it, and a brief release hands the GIL over
// only once the waiter has asked for it, after the interpreter's switch
// interval (5 ms). A large chunk sleeps for a moment without the GIL first,
// so that a worker already waiting takes it at once.
constexpr Py_ssize_t kHandOffGates = 256;

void hand_off_gil() {
    py::gil_scoped_release release;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
}

ChunkRef prepare_fusion_chunk_gates(std::int64_t n, const py::handle& gates, std::int64_t max_gates_per_group) {
    if (max_gates_per_group < 1) throw py::value_error("max_gates_per_group must be at least 1");
    if (n < 1 || n > 62) throw py::value_error("qubit count must be between 1 and 62");
    std::vector<PreparedGate> prepared;
    if (PyList_Check(gates.ptr()) && PyList_GET_SIZE(gates.ptr()) >= kHandOffGates) hand_off_gil();
    std::size_t seen = 0;
    for (py::handle gate : gates) {
        PreparedGate g;
        if (prepare_gate(n, gate, g)) prepared.push_back(std::move(g));
        // Let a thread waiting for the GIL (the worker that runs the previous
        // chunk) in now and then: nothing here yields it otherwise.
        if (++seen % 256 == 0) py::gil_scoped_release yield_now;
    }
    return std::make_shared<PreparedChunk>(n, std::move(prepared));
}

[[noreturn]] void throw_cancelled() { throw std::runtime_error("prepared chunk was cancelled"); }

// Between gates, after every so many amplitudes touched, an execution stops
// when its chunk has been cancelled (the way a run on another thread is
// interrupted) and, on the main thread, runs the pending signal handlers, so
// that Ctrl-C ends it with KeyboardInterrupt. The state keeps the gates
// applied so far.
void execute_prepared_fusion_chunk(const StateRef& state, const ChunkRef& chunk) {
    if (chunk->n() != state->n()) {
        throw py::value_error("chunk was prepared for " + std::to_string(chunk->n()) + " qubits, the state has " +
                              std::to_string(state->n()));
    }
    if (chunk->cancelled()) throw_cancelled();
    HandlerCheck handlers;
    with_amplitudes(*state, [&](auto* amps) {
        using C = std::remove_pointer_t<decltype(amps)>;
        DispatchScratch scratch;
        packed::WorkMeter meter;
        const std::int64_t n = state->n();
        const std::int64_t size = state->size();
        for (const PreparedGate& g : chunk->gates()) {
            if (meter.add(static_cast<std::uint64_t>(size))) {
                if (chunk->cancelled()) throw_cancelled();
                handlers();
            }
            const GateView view = g.view();
            if (packed::has_kernel_row(g.op)) {
                packed::apply_kernel_row<C>(n, amps, size, view, g.op, true, scratch);
            } else if constexpr (std::is_same_v<C, c64>) {
                packed::apply_stored_matrix<C>(n, amps, size, view, g.matrix64.data(), true);
            } else {
                packed::apply_stored_matrix<C>(n, amps, size, view, g.matrix128.data(), true);
            }
        }
    });
}

// --- measurement and sampling ------------------------------------------------------

enum class Endian { big, little };

Endian endian_of(const std::string& endian) {
    if (endian == "big") return Endian::big;
    if (endian == "little") return Endian::little;
    throw py::value_error("endian must be 'big' or 'little', not '" + endian + "'");
}

void check_targets(const DeviceState& state, const std::vector<std::int64_t>& targets) {
    if (targets.empty()) throw py::value_error("targets must not be empty");
    std::uint64_t seen = 0;
    for (std::int64_t q : targets) {
        if (q < 0 || q >= state.n()) throw py::value_error("target " + std::to_string(q) + " is out of range");
        if ((seen >> q) & 1u) throw py::value_error("target " + std::to_string(q) + " is repeated");
        seen |= std::uint64_t{1} << q;
    }
}

// |a|^2 in double, of the amplitude times `factor`: a power of two, exact,
// and 1 unless the sum of the weights would fall below the normal range.
template <class C>
double weight(const C& a, double factor = 1.0) {
    const double re = static_cast<double>(a.real()) * factor;
    const double im = static_cast<double>(a.imag()) * factor;
    return re * re + im * im;
}

// When the weights of the amplitudes that `selected` picks sum below the
// normal range, |a|^2 has lost digits or vanished although the amplitudes
// need not be zero (an amplitude of 3e-162 keeps about two bits of its
// square). The power of two that brings the largest selected component to
// about 2^-60 is then returned, so that the weights are taken again from
// amplitudes scaled without rounding; 2^-60 rather than 1 keeps the factor
// itself finite for the smallest subnormal (2^-1074). Ordinary sums keep
// factor 1 and their bits. A sum that is not finite, or amplitudes that are
// all zero, give 0.
template <class C, class Selected>
double rescue_factor(const C* amps, std::int64_t size, double sum, Selected selected) {
    if (!std::isfinite(sum)) return 0.0;
    if (sum >= std::numeric_limits<double>::min()) return 1.0;
    double largest = 0.0;
    for (std::int64_t i = 0; i < size; ++i) {
        if (!selected(i)) continue;
        largest = std::max({largest, std::fabs(static_cast<double>(amps[i].real())),
                            std::fabs(static_cast<double>(amps[i].imag()))});
    }
    if (largest == 0.0) return 0.0;
    return std::ldexp(1.0, -60 - std::ilogb(largest));
}

// Draws `shots` amplitude indices with probability |a|^2 over the total, in
// shot order. The uniforms are sorted so that one pass over the state serves
// every shot; the sums run in index order so that equal seeds give equal
// outcomes. An index of zero weight is never drawn.
template <class C>
std::vector<std::uint64_t> draw_indices(const C* amps, std::int64_t size, std::uint64_t shots, std::uint64_t seed) {
    double total = 0.0;
    for (std::int64_t i = 0; i < size; ++i) total += weight(amps[i]);
    const double factor = rescue_factor(amps, size, total, [](std::int64_t) { return true; });
    if (factor == 0.0) throw std::runtime_error("Quantum state has zero norm.");
    if (factor != 1.0) {
        total = 0.0;
        for (std::int64_t i = 0; i < size; ++i) total += weight(amps[i], factor);
    }

    std::mt19937_64 engine(seed);
    std::vector<std::pair<double, std::uint64_t>> points;
    // Beyond what a vector can hold is still an allocation failure to the caller.
    if (shots > points.max_size()) throw std::bad_alloc();
    points.resize(shots);
    for (std::uint64_t s = 0; s < shots; ++s) {
        const double u = static_cast<double>(engine() >> 11) * 0x1.0p-53;
        points[s] = {u * total, s};
    }
    std::sort(points.begin(), points.end());

    std::vector<std::uint64_t> drawn(shots);
    std::size_t next = 0;
    double cumulative = 0.0;
    std::int64_t last_nonzero = 0;
    for (std::int64_t i = 0; i < size && next < points.size(); ++i) {
        const double w = weight(amps[i], factor);
        if (w > 0.0) last_nonzero = i;
        cumulative += w;
        while (next < points.size() && points[next].first < cumulative) {
            drawn[points[next].second] = static_cast<std::uint64_t>(i);
            ++next;
        }
    }
    // Points that rounding left at the very top (the pass then saw every
    // amplitude) belong to the last index of weight.
    for (; next < points.size(); ++next) drawn[points[next].second] = static_cast<std::uint64_t>(last_nonzero);
    return drawn;
}

// Keeps the amplitudes whose target bits equal those of `index` and scales
// them to unit norm.
template <class C>
void collapse(C* amps, std::int64_t size, const std::vector<std::int64_t>& targets, std::uint64_t index) {
    std::uint64_t mask = 0;
    for (std::int64_t q : targets) mask |= std::uint64_t{1} << q;
    const std::uint64_t kept = index & mask;
    const auto is_kept = [&](std::int64_t i) { return (static_cast<std::uint64_t>(i) & mask) == kept; };
    double norm = 0.0;
    for (std::int64_t i = 0; i < size; ++i) {
        if (is_kept(i)) norm += weight(amps[i]);
    }
    const double factor = rescue_factor(amps, size, norm, is_kept);
    // Not reached after a draw: the drawn amplitude is not zero and the
    // kept sum is at most the finite total.
    if (factor == 0.0) throw std::runtime_error("Quantum state has zero norm.");
    if (factor != 1.0) {
        norm = 0.0;
        for (std::int64_t i = 0; i < size; ++i) {
            if (is_kept(i)) norm += weight(amps[i], factor);
        }
    }
    const double scale = 1.0 / std::sqrt(norm);
    using R = typename C::value_type;
    for (std::int64_t i = 0; i < size; ++i) {
        if (is_kept(i)) {
            amps[i] = C(static_cast<R>(static_cast<double>(amps[i].real()) * factor * scale),
                        static_cast<R>(static_cast<double>(amps[i].imag()) * factor * scale));
        } else {
            amps[i] = C(0, 0);
        }
    }
}

std::string outcome_text(std::uint64_t index, const std::vector<std::int64_t>& targets, Endian endian) {
    std::string text(targets.size(), '0');
    for (std::size_t j = 0; j < targets.size(); ++j) {
        if ((index >> targets[j]) & 1u) text[j] = '1';
    }
    if (endian == Endian::little) std::reverse(text.begin(), text.end());
    return text;
}

// Draws the shots and collapses the state to the last one's outcome when asked;
// returns the drawn amplitude indices.
std::vector<std::uint64_t> sample(DeviceState& state, const std::vector<std::int64_t>& targets, std::uint64_t shots,
                                  std::uint64_t seed, bool collapse_last) {
    std::vector<std::uint64_t> drawn;
    with_amplitudes(state, [&](auto* amps) {
        drawn = draw_indices(amps, state.size(), shots, seed);
        if (collapse_last) collapse(amps, state.size(), targets, drawn.back());
    });
    return drawn;
}

std::string measure_device(DeviceState& state, const std::vector<std::int64_t>& targets, const std::string& endian,
                           std::uint64_t seed) {
    const Endian order = endian_of(endian);
    check_targets(state, targets);
    const std::vector<std::uint64_t> drawn = sample(state, targets, 1, seed, true);
    return outcome_text(drawn[0], targets, order);
}

py::tuple sample_measure_device(DeviceState& state, const std::vector<std::int64_t>& targets, std::int64_t shots,
                                const std::string& endian, std::uint64_t seed, bool collapse_last) {
    const Endian order = endian_of(endian);
    check_targets(state, targets);
    if (shots < 1) throw py::value_error("shots must be at least 1");
    const std::vector<std::uint64_t> drawn =
        sample(state, targets, static_cast<std::uint64_t>(shots), seed, collapse_last);
    std::uint64_t mask = 0;
    for (std::int64_t q : targets) mask |= std::uint64_t{1} << q;
    std::map<std::uint64_t, std::int64_t> tally;
    for (std::uint64_t index : drawn) ++tally[index & mask];
    py::dict counts;
    for (const auto& [outcome, count] : tally) counts[py::str(outcome_text(outcome, targets, order))] = count;
    return py::make_tuple(counts, outcome_text(drawn.back(), targets, order));
}

}  // namespace

}  // namespace quorvex::device

PYBIND11_MODULE(dravik, m, py::multiple_interpreters::not_supported()) {
    using namespace quorvex::device;
    m.doc() = "Device state vectors and gate chunks; this build keeps the amplitudes in host memory.";
    main_thread_ident = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

    py::class_<DeviceState, StateRef>(m, "DeviceState")
        .def_static(
            "zero_state",
            [](std::int64_t n, const std::string& dtype, const std::string& /*device*/) {
                return zero_state(n, dtype);
            },
            py::arg("n"), py::kw_only(), py::arg("dtype") = "complex128", py::arg("device") = "gpu",
            "The basis state with every qubit 0.")
        .def_static(
            "from_numpy",
            [](std::int64_t n, const py::handle& host, const std::string& /*device*/, bool /*use_pinned_host*/) {
                return from_numpy(n, host);
            },
            py::arg("n"), py::arg("host"), py::kw_only(), py::arg("device") = "gpu", py::arg("use_pinned_host") = true,
            "A copy of a 1-D complex64 or complex128 array of 2**n amplitudes, in its precision.")
        // Accessors take the object by reference: pybind11 would hand None to a
        // member pointer's getter as a null receiver.
        .def_property_readonly("n", [](const DeviceState& state) { return state.n(); })
        .def("to_numpy", &to_numpy, "A new array holding the amplitudes.");

    py::class_<PreparedChunk, ChunkRef>(m, "PreparedChunk")
        .def_property_readonly("gate_count", [](const PreparedChunk& chunk) { return chunk.gate_count(); })
        .def("cancel", &PreparedChunk::cancel,
             "Stops every execution of this chunk, running or to come, at its next check between gates with "
             "RuntimeError; the state keeps the gates applied so far.");

    m.def("prepare_fusion_chunk_gates", &prepare_fusion_chunk_gates, py::arg("n"), py::arg("gates"), py::kw_only(),
          py::arg("max_gates_per_group") = 512,
          "Checks a list of gates and gathers them for execution; identities and barriers (barrier, b) are "
          "dropped.");
    m.def("execute_prepared_fusion_chunk", &execute_prepared_fusion_chunk, py::arg("state").none(false),
          py::arg("prepared").none(false),
          "Applies a prepared chunk to the state, in its precision.");
    m.def("measure_device", &measure_device, py::arg("state"), py::arg("targets"), py::kw_only(),
          py::arg("endian") = "big", py::arg("seed"), "Measures the targets, collapsing the state; the outcome text.");
    m.def("sample_measure_device", &sample_measure_device, py::arg("state"), py::arg("targets"), py::kw_only(),
          py::arg("shots"), py::arg("endian") = "big", py::arg("seed"), py::arg("collapse_last") = true,
          "Samples the targets shots times; (counts, last outcome), the state collapsed to the last one.");
}
