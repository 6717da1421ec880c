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
    static V load_first(const double* p, std::ptrdiff_t count) {
        const __m256i wanted = _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), _mm256_setr_epi64x(0, 1, 2, 3));
        return _mm256_maskload_pd(p, wanted);
    }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    static V broadcast(double x) { return _mm256_set1_pd(x); }
    static V multiply_add(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static V subtract(V a, V b) { return _mm256_sub_pd(a, b); }
    static V multiply(V a, V b) { return _mm256_mul_pd(a, b); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }

    using F = __m256;
    static F zero_single() { return _mm256_setzero_ps(); }
    static F load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
    static F broadcast(float x) { return _mm256_set1_ps(x); }
    static F multiply_add(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
    static F subtract(F a, F b) { return _mm256_sub_ps(a, b); }
    static F multiply(F a, F b) { return _mm256_mul_ps(a, b); }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F larger(F a, F b) { return _mm256_max_ps(a, b); }
    static F twice_less(F dots, F norms) { return _mm256_fmsub_ps(_mm256_set1_ps(2.0f), dots, norms); }
    // Each half widened straight from memory: no shuffle to take the upper half out of a register.
    static void load_codes(const std::int16_t* p, F& low, F& high) {
        low = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
        high = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8))));
    }
    static void load_codes(const std::int8_t* p, F& low, F& high) {
        low = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
        high = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8))));
    }
    static unsigned not_at_most(F x, F limit) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(x, limit, _CMP_NLE_UQ)));
    }
};

}  // namespace

#include "kernel_body.hpp"

}  // namespace mirelo::avx2_kernels
