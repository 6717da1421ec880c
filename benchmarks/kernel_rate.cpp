// The covariance product's rate, as a fit's first pass forms it, beside the machine's multiply-add
// peak at the width of the kernel build that runs (the AVX-512 build's eight doubles, the others'
// four), both timed the same way: the best of several runs on every thread the process is given.
//
//     kernel_rate [rows [features]]     (default 50000 x 784)
#include <omp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <random>

#include "first_pass.hpp"
#include "kernel_rate.hpp"
#include "kernels.hpp"

namespace {

[[noreturn]] void usage(const char* program) {
    std::fprintf(stderr, "usage: %s [rows [features]]  (positive whole numbers; default 50000 784)\n", program);
    std::exit(2);
}

// Argument `at`, or `fallback` without one. The first pass is only ever given a matrix with rows
// and columns (the fit refuses others), so anything but a positive whole number stops here.
Eigen::Index count_argument(int argc, char** argv, int at, Eigen::Index fallback) {
    if (at >= argc) return fallback;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(argv[at], &end, 10);
    if (end == argv[at] || *end != '\0' || errno != 0 || value < 1) usage(argv[0]);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3) usage(argv[0]);
    const Eigen::Index rows = count_argument(argc, argv, 1, 50'000);
    const Eigen::Index features = count_argument(argc, argv, 2, 784);
    const char* build = nullptr;
    try {
        build = mirelo::kernel_build();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
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
    const double peak = std::strcmp(build, "avx512") == 0 ? peak_flops_avx512() : peak_flops_avx2();
    std::printf("%s product of %ld x %ld on %d threads (%s kernels): %.3f s, %.1f GFLOP/s; multiply-add peak "
                "%.1f GFLOP/s (%.0f%%)\n",
                tall ? "covariance" : "Gram", static_cast<long>(rows), static_cast<long>(features),
                omp_get_max_threads(), build, seconds, flops / seconds / 1e9, peak / 1e9,
                100.0 * flops / seconds / peak);
}
