#pragma once

#include <algorithm>
#include <chrono>

// The best of five runs, in seconds: the machine is shared, so the fastest run is the one least
// disturbed.
template <class Run>
double best_seconds(Run&& run) {
    double best = 1e300;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto start = std::chrono::steady_clock::now();
        run();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

// Double-precision floating-point operations per second when every thread does nothing but
// independent fused multiply-adds four or eight doubles a vector (peak_rate.hpp).
double peak_flops_avx2();
double peak_flops_avx512();
