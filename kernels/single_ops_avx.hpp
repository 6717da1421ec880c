// The screen's single-precision operations on eight floats, for the builds with AVX2 and FMA or
// wider: included inside each such build's namespace, where its Ops take them in.

struct SingleOps {
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
    static unsigned not_at_most(F x, F limit) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(x, limit, _CMP_NLE_UQ)));
    }
};
