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
};

}  // namespace

#include "kernel_body.hpp"

}  // namespace mirelo::avx2_kernels
