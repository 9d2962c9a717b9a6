// The one gate dispatch of the executors that drive the little-endian
// kernels: what each gate-id code runs, the checks a gate passes before it
// runs, and the kernel calls. No Python here; a stored matrix reaches the
// dense path already converted to the state's precision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "kernels/kernels.hpp"

namespace quorvex::packed {

// ordering: a gate that only orders the gates around it (barrier, b). The
// executors run it as nothing, a stored matrix included: the name decides.
enum class Op : std::uint8_t {
    none, identity, measure, ordering,
    x, h, y, z, s, sdag, sqrtx, sqrtxdag, sqrty, sqrtydag, t, tdag, phase, rx, ry, rz, u,
    swap, gphase, rzz,
};

// The op of a gate-id code; codes without a case (and custom ids) are none.
Op op_of(std::uint16_t code);

// Whether a kernel call (or calls) of the dispatch applies the op.
inline bool has_kernel_row(Op op) { return op >= Op::x; }

// A borrowed run of values, read like the vector it usually comes from.
template <class T>
class Span {
public:
    Span() = default;
    Span(const std::vector<T>& values) : first_(values.data()), count_(values.size()) {}  // NOLINT
    Span(const T* first, std::size_t count) : first_(first), count_(count) {}
    const T* data() const { return first_; }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const T& operator[](std::size_t i) const { return first_[i]; }
    const T* begin() const { return first_; }
    const T* end() const { return first_ + count_; }

private:
    const T* first_ = nullptr;
    std::size_t count_ = 0;
};

// A gate as the dispatch reads it. Qubits are indices of the whole state.
struct GateView {
    std::string_view id;
    Span<std::int64_t> targets;
    Span<std::int64_t> controls;
    Span<std::int64_t> control_states;
    Span<double> parameters;
    bool parameters_absent = true;
    bool has_matrix = false;
    bool has_classical = false;
    Span<std::int32_t> classical_targets;
};

// Reused buffers of the kernel calls (the extra control of "rzz").
struct DispatchScratch {
    std::vector<std::int64_t> controls;
    std::vector<std::int64_t> values;
};

// The per-gate checks, in order; std::runtime_error with the executor's
// messages. A measurement is checked for its targets and classical targets
// only, an ordering gate for its qubits only.
void validate_gate(std::int64_t n, const GateView& g, Op op);

// The refusals of the dispatch itself, raised before any amplitude is
// touched: a gate without target (other than a global phase), and a gate
// that has neither a kernel row nor a stored matrix. Not for the identity or
// a measurement.
void check_dispatch(const GateView& g, Op op);

// Whether a matrix of the given dimensions fits a gate of t targets
// (1 <= t <= 62, two dimensions of 2**t); std::runtime_error if not.
void check_matrix_shape(std::int64_t t, std::int64_t ndim, std::int64_t rows, std::int64_t cols);

// Applies a gate that has a kernel row (has_kernel_row(op)), in the
// precision of C, to amps (size == 2**n). The gate has passed validate_gate
// and check_dispatch.
template <class C>
void apply_kernel_row(std::int64_t n, C* amps, std::int64_t size, const GateView& g, Op op, bool runopenmp,
                      DispatchScratch& scratch);

// Applies a stored matrix of dim 2**t (t = the gate's target count, already
// checked by check_matrix_shape), row-major in the precision of C.
template <class C>
void apply_stored_matrix(std::int64_t n, C* amps, std::int64_t size, const GateView& g, const C* matrix,
                         bool runopenmp);

extern template void apply_kernel_row<kernels::c64>(std::int64_t, kernels::c64*, std::int64_t, const GateView&, Op,
                                                    bool, DispatchScratch&);
extern template void apply_kernel_row<kernels::c128>(std::int64_t, kernels::c128*, std::int64_t, const GateView&,
                                                     Op, bool, DispatchScratch&);
extern template void apply_stored_matrix<kernels::c64>(std::int64_t, kernels::c64*, std::int64_t, const GateView&,
                                                       const kernels::c64*, bool);
extern template void apply_stored_matrix<kernels::c128>(std::int64_t, kernels::c128*, std::int64_t,
                                                        const GateView&, const kernels::c128*, bool);

}  // namespace quorvex::packed
