// The multiply-add peak, in a file of its own: only it is built for AVX2 and FMA, and it shares no
// Eigen types with code built without them.
#include <immintrin.h>
#include <omp.h>

#include <cstdio>

#include "kernel_rate.hpp"

// Twelve independent chains of four-wide fused multiply-adds per thread, in registers: nothing
// but the multiply-add units limit it.
double peak_flops() {
    constexpr long kSteps = 50'000'000;
    double sink = 0.0;
    const double seconds = best_seconds([&] {
#pragma omp parallel reduction(+ : sink)
        {
            __m256d acc[12];
            for (int r = 0; r < 12; ++r) acc[r] = _mm256_set1_pd(r);
            const __m256d a = _mm256_set1_pd(0.999999), b = _mm256_set1_pd(1e-7);
            for (long s = 0; s < kSteps; ++s) {
#pragma GCC unroll 12
                for (int r = 0; r < 12; ++r) acc[r] = _mm256_fmadd_pd(acc[r], a, b);
            }
            double lanes[4];
            for (int r = 0; r < 12; ++r) {
                _mm256_storeu_pd(lanes, acc[r]);
                sink += lanes[0];
            }
        }
    });
    if (sink == 42.0) std::puts("");  // keeps the loop
    return 2.0 * 4 * 12 * kSteps * omp_get_max_threads() / seconds;
}

