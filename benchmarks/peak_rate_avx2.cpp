// The multiply-add peak four doubles a vector, built for AVX2 and FMA; it shares no Eigen types
// with code built without them.
#include <immintrin.h>

#include "peak_rate.hpp"

namespace {
struct Ops {
    using V = __m256d;
    static constexpr int kLanes = 4;
    static V broadcast(double x) { return _mm256_set1_pd(x); }
    static V multiply_add(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static double first_lane(V v) { return _mm256_cvtsd_f64(v); }
};
}  // namespace

double peak_flops_avx2() { return multiply_add_peak<Ops>(); }
