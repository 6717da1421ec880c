// The kernels for CPUs with AVX2 and FMA; built with those instructions enabled and only called
// after the CPU was seen to have them.
#include <immintrin.h>

#include "kernel_variants.hpp"

namespace mirelo::avx2_kernels {
namespace {

struct Ops {
    using V = __m256d;
    static V zero() { return _mm256_setzero_pd(); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    static V broadcast(double x) { return _mm256_set1_pd(x); }
    static V multiply_add(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static V subtract(V a, V b) { return _mm256_sub_pd(a, b); }
    static V multiply(V a, V b) { return _mm256_mul_pd(a, b); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }

    using F = __m256;
    static F zero_single() { return _mm256_setzero_ps(); }
    static F load(const float* p) { return _mm256_loadu_ps(p); }
    static F broadcast(float x) { return _mm256_set1_ps(x); }
    static F multiply_add(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
    static float sum(F x) {
        const __m128 half = _mm_add_ps(_mm256_castps256_ps128(x), _mm256_extractf128_ps(x, 1));
        const __m128 quarter = _mm_add_ps(half, _mm_movehl_ps(half, half));
        return _mm_cvtss_f32(_mm_add_ss(quarter, _mm_movehdup_ps(quarter)));
    }
    static F twice_less(F dots, F norms) { return _mm256_fmsub_ps(_mm256_set1_ps(2.0f), dots, norms); }
    static unsigned not_at_most(F x, F limit) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(x, limit, _CMP_NLE_UQ)));
    }
};

}  // namespace

#include "kernel_body.hpp"

}  // namespace mirelo::avx2_kernels
