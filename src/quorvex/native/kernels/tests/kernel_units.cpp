// Unit tests of the kernel entry points that need no interpreter: calls made
// from threads of a team the caller opened. Linked against the gate library;
// exit code 0 on success.
#include <omp.h>

#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/kernels.hpp"
#include "unit_check.hpp"

using namespace quorvex::kernels;

namespace {

template <class C>
std::vector<C> random_values(std::size_t count, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    std::vector<C> out(count);
    for (C& v : out) v = C(normal(gen), normal(gen));
    return out;
}

template <class C>
bool same_bits(const std::vector<C>& x, const std::vector<C>& y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(C)) == 0;
}

// One form of the dense unitary (serial, parallel or the wrapper) over the
// whole of `state`, on the targets of the reproduction: {0, 2, 4, 6}, 16 × 16.
enum class Form { kSerial, kParallel, kWrapper };
constexpr std::int64_t kTargets[] = {0, 2, 4, 6};
constexpr std::int64_t kT = 4, kDim = 16;

template <class C>
struct UnitaryForms;
template <>
struct UnitaryForms<c64> {
    static constexpr auto serial = &apply_unitary_little_f32_serial;
    static constexpr auto parallel = &apply_unitary_little_f32_parallel;
    static constexpr auto wrapper = &apply_unitary_little_f32;
};
template <>
struct UnitaryForms<c128> {
    static constexpr auto serial = &apply_unitary_little_f64_serial;
    static constexpr auto parallel = &apply_unitary_little_f64_parallel;
    static constexpr auto wrapper = &apply_unitary_little_f64;
};

template <class C>
void unitary(Form form, std::int64_t n, std::vector<C>& state, const std::vector<C>& m) {
    using Forms = UnitaryForms<C>;
    const auto size = static_cast<std::int64_t>(state.size());
    if (form == Form::kWrapper)
        return Forms::wrapper(n, state.data(), size, nullptr, nullptr, 0, kTargets, kT, m.data(),
                              kDim, true);
    (form == Form::kSerial ? Forms::serial : Forms::parallel)(state.data(), size, nullptr, nullptr,
                                                              0, kTargets, kT, m.data(), kDim);
}

// Each of four threads of the caller's team applies the gate to its own copy
// of the state: every copy must come out as the call made outside the team.
// With nested teams allowed, the parallel forms open teams of their own
// inside each thread; n = 17 gives them many chunks to share.
template <class C>
void dense_unitary_inside_a_callers_team(Form form, std::int64_t n, int levels) {
    const std::vector<C> start = random_values<C>(std::size_t{1} << n, 1);
    const std::vector<C> m = random_values<C>(kDim * kDim, 2);
    std::vector<C> expected = start;
    unitary(form, n, expected, m);
    CHECK(!same_bits(expected, start));

    std::vector<std::vector<C>> copies(4, start);
    const int saved = omp_get_max_active_levels();
    omp_set_max_active_levels(levels);
#pragma omp parallel num_threads(4)
    {
        const int me = omp_get_thread_num();
        if (me < 4) unitary(form, n, copies[me], m);
    }
    omp_set_max_active_levels(saved);
    for (const std::vector<C>& copy : copies) CHECK(same_bits(copy, expected));
}

}  // namespace

int main() {
    const struct {
        Form form;
        std::int64_t n;
        int levels;
    } cases[] = {
        {Form::kSerial, 8, 1},   {Form::kSerial, 17, 2},  {Form::kParallel, 8, 1},
        {Form::kParallel, 17, 1}, {Form::kParallel, 17, 2}, {Form::kWrapper, 17, 1},
        {Form::kWrapper, 17, 2},
    };
    for (const auto& c : cases) {
        dense_unitary_inside_a_callers_team<c64>(c.form, c.n, c.levels);
        dense_unitary_inside_a_callers_team<c128>(c.form, c.n, c.levels);
    }
    std::puts("kernel units: all passed");
    return 0;
}
