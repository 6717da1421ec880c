// The kernels for CPUs with AVX-512 F, DQ, BW, VL and VNNI; built with those instructions enabled
// and only called after the CPU was seen to have them. The products run eight doubles a vector,
// with 32 registers for their tiles; the distances keep their four chains, which define their
// bits, and the screen its eight floats a vector, its 8-bit codes a group's sixteen dots a vector.
#include <immintrin.h>

#include "kernel_variants.hpp"

namespace mirelo::avx512_kernels {
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

    using V = __m512d;
    static constexpr int kDoubleLanes = 8;
    // Eight rows, one packed group's, of three vectors: 24 chains in flight beside the three
    // loaded vectors of columns, and eight values broadcast for 24 multiply-adds.
    static constexpr int kBlockRows = 8;
    static constexpr int kTileVectors = 3;
    static V zero() { return _mm512_setzero_pd(); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
    static V broadcast(double x) { return _mm512_set1_pd(x); }
    static V multiply_add(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }

    using Q = __m256d;
    static Q zero_quad() { return _mm256_setzero_pd(); }
    static Q load_quad(const double* p) { return _mm256_loadu_pd(p); }
    static Q load_first(const double* p, std::ptrdiff_t count) {
        return _mm256_maskz_loadu_pd(static_cast<__mmask8>((1u << count) - 1u), p);
    }
    static void store(double* p, Q v) { _mm256_storeu_pd(p, v); }
    static Q subtract(Q a, Q b) { return _mm256_sub_pd(a, b); }
    static Q multiply(Q a, Q b) { return _mm256_mul_pd(a, b); }
    static Q add(Q a, Q b) { return _mm256_add_pd(a, b); }

    // Each lane sums its row's four stored codes times the query's four, in one instruction.
    using D = __m512i;
    using B = __m512i;
    static D zero_dots() { return _mm512_setzero_si512(); }
    static B load_bytes(const std::uint8_t* p) { return _mm512_loadu_si512(p); }
    static D add_byte_dots(D dots, B step, std::int32_t four) {
        return _mm512_dpbusd_epi32(dots, step, _mm512_set1_epi32(four));
    }
    // The zero-masked forms: the plain ones pass an undefined register, which GCC warns of.
    static void dot_floats(D dots, std::int32_t offset, float scale, F& low, F& high) {
        const __m512 values = _mm512_mul_ps(
            _mm512_maskz_cvtepi32_ps(0xffff, _mm512_sub_epi32(dots, _mm512_set1_epi32(offset))), _mm512_set1_ps(scale));
        low = _mm512_maskz_extractf32x8_ps(0xff, values, 0);
        high = _mm512_maskz_extractf32x8_ps(0xff, values, 1);
    }
};

}  // namespace

#include "kernel_body.hpp"

}  // namespace mirelo::avx512_kernels
