#pragma once

// The multiply-add peak's loop, for one vector width: included by one file per instruction set,
// each built with its instructions.
#include <omp.h>

#include <cstdio>

#include "kernel_rate.hpp"

// Twelve independent chains of fused multiply-adds per thread, in registers: nothing but the
// multiply-add units limit it. Ops gives V, kLanes, broadcast, multiply_add and first_lane.
template <class Ops>
double multiply_add_peak() {
    using V = typename Ops::V;
    constexpr long kSteps = 50'000'000;
    double sink = 0.0;
    const double seconds = best_seconds([&] {
#pragma omp parallel reduction(+ : sink)
        {
            V acc[12];
            for (int r = 0; r < 12; ++r) acc[r] = Ops::broadcast(r);
            const V a = Ops::broadcast(0.999999), b = Ops::broadcast(1e-7);
            for (long s = 0; s < kSteps; ++s) {
#pragma GCC unroll 12
                for (int r = 0; r < 12; ++r) acc[r] = Ops::multiply_add(acc[r], a, b);
            }
            for (int r = 0; r < 12; ++r) sink += Ops::first_lane(acc[r]);
        }
    });
    if (sink == 42.0) std::puts("");  // keeps the loop
    return 2.0 * Ops::kLanes * 12 * kSteps * omp_get_max_threads() / seconds;
}
