// The covariance product's rate, as a fit's first pass forms it, beside the machine's multiply-add
// peak, both timed the same way: the best of several runs on every thread the process is given.
//
//     kernel_rate [rows [features]]     (default 50000 x 784)
#include <omp.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "first_pass.hpp"
#include "kernel_rate.hpp"

int main(int argc, char** argv) {
    const Eigen::Index rows = argc > 1 ? std::atol(argv[1]) : 50'000;
    const Eigen::Index features = argc > 2 ? std::atol(argv[2]) : 784;
    std::mt19937 gen(0);
    std::normal_distribution<double> normal;
    mirelo::RowMajorMatrix X(rows, features);
    for (double& v : X.reshaped()) v = normal(gen);
    const mirelo::InputRows view{mirelo::MatrixView(X)};

    // The whole first pass of a fit, as it forms the covariance (tall) or Gram (wide) product:
    // reading, checking and centring the rows is part of the time.
    const bool tall = rows >= features;
    const double seconds = best_seconds([&] {
        const mirelo::FirstPass pass = tall ? mirelo::tall_first_pass(view, false, {})
                                            : mirelo::wide_first_pass(view, false, {});
        if (pass.products(0, 0) < 0) std::puts("");
    });
    const double count = static_cast<double>(tall ? features : rows);
    const double length = static_cast<double>(tall ? rows : features);
    const double flops = 2.0 * length * count * (count + 1) / 2;  // the lower triangle's multiply-adds
    const double peak = peak_flops();
    std::printf("%s product of %ld x %ld on %d threads: %.3f s, %.1f GFLOP/s; multiply-add peak %.1f GFLOP/s (%.0f%%)\n",
                tall ? "covariance" : "Gram", static_cast<long>(rows), static_cast<long>(features),
                omp_get_max_threads(), seconds, flops / seconds / 1e9, peak / 1e9,
                100.0 * flops / seconds / peak);
}
