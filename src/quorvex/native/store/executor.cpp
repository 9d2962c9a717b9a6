#include "executor.hpp"

#include <stdexcept>
#include <type_traits>

#include "dispatch/gate_dispatch.hpp"
#include "kernels/kernels.hpp"
#include "walk.hpp"

namespace quorvex::packed {

namespace {

namespace k = quorvex::kernels;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

// The gate as the shared dispatch reads it; it borrows the walk's buffers.
GateView view_of(const WalkGate& g) {
    GateView v;
    v.id = g.id;
    v.targets = g.targets;
    v.controls = g.controls;
    v.control_states = g.control_states;
    v.parameters = g.parameters;
    v.parameters_absent = g.parameters_absent;
    v.has_matrix = g.has_matrix;
    v.has_classical = g.has_classical;
    v.classical_targets = g.classical_targets;
    return v;
}

PyObject* builtin_descr(int typenum) {
    PyObject* d = py::detail::npy_api::get().PyArray_DescrFromType_(typenum);
    if (d == nullptr) throw py::error_already_set();
    return d;
}

class Executor {
public:
    Executor(std::int64_t n, py::object state, py::object callback, bool runopenmp, bool skip)
        : n_(n), state_(std::move(state)), callback_(std::move(callback)), openmp_(runopenmp), skip_(skip),
          c64_(py::reinterpret_steal<py::object>(builtin_descr(py::detail::npy_api::NPY_CFLOAT_))),
          c128_(py::reinterpret_steal<py::object>(builtin_descr(py::detail::npy_api::NPY_CDOUBLE_))) {}

    // Layout and size conditions of a state vector, with the entry messages.
    static void check_state(std::int64_t n, PyObject* array) {
        auto* a = py::detail::array_proxy(array);
        const int need = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ | py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
        if (a->nd != 1 || (a->flags & need) != need) fail("state must be a writable C-contiguous 1-D array");
        if (n < 1 || n > 62 || a->dimensions[0] != (static_cast<Py_ssize_t>(1) << n)) {
            fail("state size must equal 2**n");
        }
    }

    void operator()(const WalkGate& g) {
        const Op op = op_of(g.code);
        validate(g, op);
        if (op == Op::ordering) return;
        if (op == Op::measure) {
            measure(g);
            return;
        }
        run_on_state(g, op);
    }

    py::object& state() { return state_; }
    py::dict& results() { return results_; }

private:
    void validate(const WalkGate& g, Op op) const { validate_gate(n_, view_of(g), op); }

    void measure(const WalkGate& g) {
        if (skip_) return;
        if (callback_.is_none()) fail("measurement callback is required");
        py::tuple classical = int_list_to_tuple(g.classical_targets);
        py::tuple targets = int64_list_to_tuple(g.targets);
        py::object result = callback_(state_, targets, classical);
        py::tuple pair;
        if (PyTuple_Check(result.ptr())) {
            pair = py::reinterpret_borrow<py::tuple>(result);
        } else {
            PyObject* t = PySequence_Tuple(result.ptr());
            if (t == nullptr) throw py::error_already_set();
            pair = py::reinterpret_steal<py::tuple>(t);
        }
        py::object first = pair[0];
        if (py::detail::npy_api::get().PyArray_Check_(first.ptr())) {
            state_ = std::move(first);
        } else {
            auto& api = py::detail::npy_api::get();
            PyObject* converted = api.PyArray_FromAny_(first.ptr(), nullptr, 0, 0,
                                                       py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_, nullptr);
            if (converted == nullptr) throw py::error_already_set();
            state_ = py::reinterpret_steal<py::object>(converted);
        }
        py::object second = pair[1];
        results_.attr("update")(second);
    }

    int precision() const {
        PyObject* descr = py::detail::array_proxy(state_.ptr())->descr;
        if (descr == c64_.ptr()) return 1;
        if (descr == c128_.ptr()) return 2;
        return 0;
    }

    void run_on_state(const WalkGate& g, Op op) {
        // The kernels write into whatever state is current, and Python code
        // may have changed it since the last gate: a measurement callback's
        // result, or a signal handler run by the walk's interrupt check. A few
        // flag and size reads per gate keep every kernel inside the buffer.
        if (op != Op::identity) check_state(n_, state_.ptr());
        switch (precision()) {
            case 1: apply<k::c64>(g, op); break;
            case 2: apply<k::c128>(g, op); break;
            default: fail("state dtype must be complex64 or complex128");
        }
    }

    template <class C>
    void apply(const WalkGate& g, Op op) {
        if (op == Op::identity) return;
        const GateView view = view_of(g);
        check_dispatch(view, op);
        if (has_kernel_row(op)) {
            auto* a = py::detail::array_proxy(state_.ptr());
            apply_kernel_row<C>(n_, reinterpret_cast<C*>(a->data), a->dimensions[0], view, op, openmp_, scratch_);
            return;
        }
        apply_matrix<C>(g);
    }

    template <class C>
    void apply_matrix(const WalkGate& g) {
        auto matrix = py::array_t<C, py::array::c_style | py::array::forcecast>(
            py::reinterpret_borrow<py::object>(g.matrix));
        check_matrix_shape(static_cast<std::int64_t>(g.targets.size()), matrix.ndim(),
                           matrix.ndim() > 0 ? matrix.shape(0) : 0, matrix.ndim() > 1 ? matrix.shape(1) : 0);
        // The conversion ran Python code, which may have touched the state.
        check_state(n_, state_.ptr());
        if (precision() != (std::is_same_v<C, k::c64> ? 1 : 2)) fail("state dtype must be complex64 or complex128");
        auto* a = py::detail::array_proxy(state_.ptr());
        apply_stored_matrix<C>(n_, reinterpret_cast<C*>(a->data), a->dimensions[0], view_of(g), matrix.data(),
                               openmp_);
    }

    std::int64_t n_;
    py::object state_;
    py::object callback_;
    bool openmp_;
    bool skip_;
    py::object c64_;
    py::object c128_;
    py::dict results_;
    DispatchScratch scratch_;
};

}  // namespace

py::tuple execute_gate_sequence_packed(std::int64_t n, const py::array& state, const Store& sequence,
                                       const py::object& measure_callback, bool runopenmp,
                                       bool skip_measurements) {
    Executor::check_state(n, state.ptr());
    // Callbacks may edit the store they were handed; the run walks a private
    // copy that shares its pages, so it sees the sequence as it was.
    const StoreRef run = sequence.copy();
    Executor executor(n, py::reinterpret_borrow<py::object>(state), measure_callback, runopenmp,
                      skip_measurements);
    // A gate's kernel touches up to every amplitude, which is the work that
    // decides how soon Ctrl-C is answered on a large state.
    GateWalker walker(GateWalker::kAllRuns, kRecordWork + (std::uint64_t{1} << n));
    walker.walk(*run, executor);
    return py::make_tuple(executor.state(), executor.results());
}

}  // namespace quorvex::packed
