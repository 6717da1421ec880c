// The multiply-add peak eight doubles a vector, built for AVX-512 and only run where the kernels'
// AVX-512 build does.
#include <immintrin.h>

#include "peak_rate.hpp"

namespace {
struct Ops {
    using V = __m512d;
    static constexpr int kLanes = 8;
    static V broadcast(double x) { return _mm512_set1_pd(x); }
    static V multiply_add(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
    static double first_lane(V v) { return _mm512_cvtsd_f64(v); }
};
}  // namespace

double peak_flops_avx512() { return multiply_add_peak<Ops>(); }
