// The kernels for CPUs with AVX2 and FMA; built with those instructions enabled and only called
// after the CPU was seen to have them.
#include <immintrin.h>

#include "kernel_variants.hpp"

namespace mirelo::avx2_kernels {
namespace {

#include "single_ops_avx.hpp"

struct Ops : SingleOps {
    using SingleOps::add;
    using SingleOps::broadcast;
    using SingleOps::load;
    using SingleOps::multiply;
    using SingleOps::multiply_add;
    using SingleOps::store;
    using SingleOps::subtract;

    using V = __m256d;
    static constexpr int kDoubleLanes = 4;
    static constexpr int kBlockRows = 6;
    static constexpr int kTileVectors = 2;
    static V zero() { return _mm256_setzero_pd(); }
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    using Q = V;
    static Q zero_quad() { return zero(); }
    static Q load_quad(const double* p) { return load(p); }
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

    // The codes back as signed bytes, rows 0 to 7 and 8 to 15, summed without their offset: each
    // product is |u| times c with u's sign, which pairs without saturating as |c|, |u| <= 127.
    struct D {
        __m256i low, high;
    };
    using B = D;
    static D zero_dots() { return {_mm256_setzero_si256(), _mm256_setzero_si256()}; }
    static B load_bytes(const std::uint8_t* p) {
        const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
        return {_mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), flip),
                _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)), flip)};
    }
    static __m256i byte_dots(__m256i sum, __m256i codes, __m256i query, __m256i magnitude) {
        const __m256i pairs = _mm256_maddubs_epi16(magnitude, _mm256_sign_epi8(codes, query));
        return _mm256_add_epi32(sum, _mm256_madd_epi16(pairs, _mm256_set1_epi16(1)));
    }
    static D add_byte_dots(D dots, B step, std::int32_t four) {
        const __m256i query = _mm256_set1_epi32(four);
        const __m256i magnitude = _mm256_abs_epi8(query);
        return {byte_dots(dots.low, step.low, query, magnitude), byte_dots(dots.high, step.high, query, magnitude)};
    }
    static void dot_floats(D dots, std::int32_t, float scale, F& low, F& high) {
        low = _mm256_mul_ps(_mm256_cvtepi32_ps(dots.low), _mm256_set1_ps(scale));
        high = _mm256_mul_ps(_mm256_cvtepi32_ps(dots.high), _mm256_set1_ps(scale));
    }
};

}  // namespace

#include "kernel_body.hpp"

}  // namespace mirelo::avx2_kernels
