#include "kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "kernel_variants.hpp"
#include "next_float.hpp"

namespace mirelo {

namespace {

enum class Build { portable, avx2, avx512 };

struct BuildName {
    Build build;
    const char* name;
};
constexpr BuildName kBuilds[] = {{Build::portable, "portable"}, {Build::avx2, "avx2"}, {Build::avx512, "avx512"}};

// Whether this module holds the build and the CPU (and the system, for the wider registers'
// state) has what it uses.
bool runs_here(Build build) {
    __builtin_cpu_init();
    switch (build) {
        case Build::portable:
            return true;
        case Build::avx2:
#if defined(MIRELO_AVX2_KERNELS)
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
            return false;
#endif
        case Build::avx512:
#if defined(MIRELO_AVX512_KERNELS)
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
                   __builtin_cpu_supports("avx512vnni") && __builtin_cpu_supports("fma");
#else
            return false;
#endif
    }
    return false;
}

// The builds' names, or only those that run here, separated by commas.
std::string build_names(bool running_only) {
    std::string names;
    for (const BuildName& b : kBuilds) {
        if (!running_only || runs_here(b.build)) names += (names.empty() ? "" : ", ") + std::string(b.name);
    }
    return names;
}

// The build MIRELO_KERNELS names, or without it the widest that runs here.
Build choose_build() {
    const char* asked = std::getenv("MIRELO_KERNELS");
    if (asked == nullptr || *asked == '\0') {
        return runs_here(Build::avx512) ? Build::avx512 : runs_here(Build::avx2) ? Build::avx2 : Build::portable;
    }
    for (const BuildName& b : kBuilds) {
        if (std::strcmp(asked, b.name) != 0) continue;
        if (!runs_here(b.build)) {
            throw std::runtime_error("MIRELO_KERNELS=" + std::string(asked) +
                                     " names a kernel build this CPU cannot run or this module lacks; "
                                     "the builds that run here are: " + build_names(true));
        }
        return b.build;
    }
    throw std::runtime_error("MIRELO_KERNELS='" + std::string(asked) + "' is not a kernel build: expected one of " +
                             build_names(false) + " (those that run here: " + build_names(true) +
                             "), or unset for the widest that runs");
}

// Decided once, so that every call in the process sums in the same way.
Build chosen_build() {
    static const Build build = choose_build();
    return build;
}

#if defined(MIRELO_AVX512_KERNELS)
#define MIRELO_AVX512_CASE(call) \
    case Build::avx512:          \
        return avx512_kernels::call;
#else
#define MIRELO_AVX512_CASE(call)
#endif
#if defined(MIRELO_AVX2_KERNELS)
#define MIRELO_AVX2_CASE(call) \
    case Build::avx2:          \
        return avx2_kernels::call;
#else
#define MIRELO_AVX2_CASE(call)
#endif
#define MIRELO_DISPATCH(call)                \
    switch (chosen_build()) {                \
        MIRELO_AVX512_CASE(call)             \
        MIRELO_AVX2_CASE(call)               \
        default:                             \
            return portable_kernels::call;   \
    }

// Groups of `group` rows, interleaved along the rows, zeros past the last row.
template <std::ptrdiff_t group, class T, class Convert>
void pack_groups(StridedRows in, std::ptrdiff_t rows, std::ptrdiff_t length, double factor, T* packed,
                 Convert convert) {
    for (std::ptrdiff_t first = 0; first < rows; first += group) {
        T* out = packed + first * length;
        const std::ptrdiff_t count = std::min(group, rows - first);
        for (std::ptrdiff_t p = 0; p < length; ++p) {
            for (std::ptrdiff_t r = 0; r < group; ++r) {
                const double value = r < count ? in.data[(first + r) * in.row_stride + p * in.element_stride] : 0.0;
                out[p * group + r] = convert(value * factor, p);
            }
        }
    }
}

constexpr std::ptrdiff_t rounded_up(std::ptrdiff_t rows, std::ptrdiff_t group) {
    return (rows + group - 1) / group * group;
}

}  // namespace

const char* kernel_build() {
    const Build build = chosen_build();
    for (const BuildName& b : kBuilds) {
        if (b.build == build) return b.name;
    }
    return "portable";
}

bool kernel_build_runs(const char* name) {
    for (const BuildName& b : kBuilds) {
        if (std::strcmp(name, b.name) == 0) return runs_here(b.build);
    }
    return false;
}

std::ptrdiff_t packed_size(std::ptrdiff_t rows, std::ptrdiff_t length) {
    return rounded_up(rows, kPanelRows) * length;
}

void pack_rows(StridedRows in, std::ptrdiff_t rows, std::ptrdiff_t length, double* packed) noexcept {
    pack_groups<kPanelRows>(in, rows, length, 1.0, packed, [](double value, std::ptrdiff_t) { return value; });
}

std::ptrdiff_t packed_single_size(std::ptrdiff_t rows, std::ptrdiff_t length) {
    return rounded_up(rows, kSinglePanelRows) * length;
}

void pack_rows_single(StridedRows in, std::ptrdiff_t rows, std::ptrdiff_t length, double factor,
                      float* packed) noexcept {
    pack_groups<kSinglePanelRows>(in, rows, length, factor, packed,
                                  [](double value, std::ptrdiff_t) { return static_cast<float>(value); });
}

void pack_rows_coded(StridedRows in, std::ptrdiff_t rows, std::ptrdiff_t length, double factor,
                     std::int16_t* packed) noexcept {
    // Dividing by the step is exact: it is a power of two.
    pack_groups<kSinglePanelRows>(in, rows, length, factor, packed, [](double value, std::ptrdiff_t) {
        return static_cast<std::int16_t>(std::clamp(std::nearbyint(value / kCodeStep), -32767.0, 32767.0));
    });
}

float single_precision_limit(double bar, double query_norm, double largest_row_norm, std::ptrdiff_t length) {
    // Rounding the inputs to float, a chain of `length` float multiply-adds and the final
    // multiply-subtract each err by at most a float epsilon times the norms, about (length + 6)
    // of them in all; twice that also covers the double arithmetic here. The absolute term covers
    // what values below the float range lose, given kSinglePrecisionLimit.
    const double epsilon = std::numeric_limits<float>::epsilon();
    const double bound = 2.0 * static_cast<double>(length + 8) * epsilon * (query_norm + largest_row_norm) + 1e-20;
    return float_at_most(query_norm - bar - bound);
}

double head_code_step(double largest) {
    // A power of two, so that dividing by it and multiplying the query's values by it are exact;
    // the quotient is exact too, so the test is.
    double step = std::ldexp(1.0, std::max(-40, std::ilogb(largest / kHeadCodeLargest)));
    while (largest / step > kHeadCodeLargest) step *= 2.0;
    return step;
}

std::ptrdiff_t packed_bytes_size(std::ptrdiff_t rows, std::ptrdiff_t length) {
    return rounded_up(rows, kSinglePanelRows) * rounded_up(length, kByteLane);
}

void pack_rows_bytes(StridedRows in, std::ptrdiff_t rows, std::ptrdiff_t length, double factor, const double* steps,
                     std::uint8_t* packed) noexcept {
    const std::ptrdiff_t padded = rounded_up(length, kByteLane);
    for (std::ptrdiff_t first = 0; first < rows; first += kSinglePanelRows) {
        std::uint8_t* out = packed + first * padded;
        const std::ptrdiff_t count = std::min(kSinglePanelRows, rows - first);
        for (std::ptrdiff_t p = 0; p < padded; ++p) {
            for (std::ptrdiff_t r = 0; r < kSinglePanelRows; ++r) {
                // Dividing by the step is exact: it is a power of two.
                const double code = r < count && p < length
                    ? std::nearbyint(in.data[(first + r) * in.row_stride + p * in.element_stride] * factor / steps[p])
                    : 0.0;
                out[(p / kByteLane * kSinglePanelRows + r) * kByteLane + p % kByteLane] =
                    static_cast<std::uint8_t>(static_cast<int>(code) + 128);
            }
        }
    }
}

ByteQuery code_query_bytes(const float* values, const float* steps, std::ptrdiff_t length, std::int8_t* codes) {
    double largest = 0.0;
    for (std::ptrdiff_t p = 0; p < length; ++p) {
        largest = std::max(largest, std::abs(static_cast<double>(values[p]) * static_cast<double>(steps[p])));
    }
    const double scale = head_code_step(largest);
    std::int32_t sum = 0;
    double squares = 0.0;
    for (std::ptrdiff_t p = 0; p < rounded_up(length, kByteLane); ++p) {
        if (p >= length) {
            codes[p] = 0;
            continue;
        }
        // v, v / scale and scale * u / step are exact: the steps and the scale are powers of two.
        const double step = steps[p];
        const double code = std::nearbyint(static_cast<double>(values[p]) * step / scale);
        const double gap = static_cast<double>(values[p]) - scale * code / step;
        codes[p] = static_cast<std::int8_t>(code);
        sum += static_cast<std::int32_t>(code);
        squares += gap * gap;
    }
    // Each gap and its square round by half an epsilon, the sum by `length` epsilons of itself and
    // the root by one more.
    const double margin = 1.0 + static_cast<double>(length + 8) * std::numeric_limits<double>::epsilon();
    return {static_cast<float>(scale), 128 * sum, std::sqrt(squares * margin) * margin};
}

double coded_norm_bound(double largest_row_norm, double spread) {
    // The chain's rounding is bounded as for rows made of the codes' values, whose norms are at
    // most (|x| + spread)^2.
    constexpr double epsilon = std::numeric_limits<double>::epsilon();
    return (largest_row_norm + 2.0 * std::sqrt(largest_row_norm) * spread + spread * spread) * (1.0 + 8.0 * epsilon);
}

float coded_limit(double bar, double query_norm, double coded_norm_bound, std::ptrdiff_t length,
                         std::ptrdiff_t coded, double dot_error) {
    // The dot with the query's rounded values moves by at most dot_error, which its own summing
    // rounds by (coded + 2) double epsilons at most; twice that for 2 * dot. Query values times a
    // step that fall below the float range lose less than 2^-135 a value, which the absolute term
    // of single_precision_limit covers.
    constexpr double epsilon = std::numeric_limits<double>::epsilon();
    const double shift = 2.0 * dot_error * (1.0 + 2.0 * static_cast<double>(coded + 2) * epsilon);
    return single_precision_limit(bar + shift, query_norm, coded_norm_bound, length);
}

void multiply_packed(StridedRows a, std::ptrdiff_t a_rows, const double* packed_b, std::ptrdiff_t b_rows,
                     std::ptrdiff_t length, StridedOutput out, bool accumulate) noexcept {
    MIRELO_DISPATCH(multiply_packed(a, a_rows, packed_b, b_rows, length, out, accumulate))
}

void products_lower_band(const double* packed, std::ptrdiff_t count, std::ptrdiff_t length, std::ptrdiff_t top,
                         std::ptrdiff_t height, StridedOutput out) noexcept {
    MIRELO_DISPATCH(products_lower_band(packed, count, length, top, height, out))
}

double squared_norm(const double* row, std::ptrdiff_t length) noexcept {
    MIRELO_DISPATCH(squared_norm(row, length))
}

double squared_distance(const double* a, const double* b, std::ptrdiff_t length) noexcept {
    MIRELO_DISPATCH(squared_distance(a, b, length))
}

void squared_distances(const double* const* a, const double* const* b, std::ptrdiff_t count, std::ptrdiff_t length,
                       double* out) noexcept {
    MIRELO_DISPATCH(squared_distances(a, b, count, length, out))
}

void screen_single(const SingleScreen& screen) noexcept { MIRELO_DISPATCH(screen_single(screen)) }

std::ptrdiff_t near_boxes(const NearBoxes& boxes) noexcept { MIRELO_DISPATCH(near_boxes(boxes)) }

}  // namespace mirelo
