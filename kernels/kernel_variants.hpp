#pragma once

// Each instruction set's build of the kernels declared in kernels.hpp. kernels.cpp picks one
// per process; the tests reach each one the CPU runs.
#include "kernels.hpp"

#define MIRELO_DECLARE_KERNELS                                                                              \
    void multiply_packed(StridedRows a, std::ptrdiff_t a_rows, const double* packed_b, std::ptrdiff_t b_rows,   \
                         std::ptrdiff_t length, StridedOutput out, bool accumulate) noexcept;                 \
    void products_lower_band(const double* packed, std::ptrdiff_t count, std::ptrdiff_t length,              \
                             std::ptrdiff_t top, std::ptrdiff_t height, StridedOutput out) noexcept;      \
    double squared_norm(const double* row, std::ptrdiff_t length) noexcept;                                   \
    double squared_distance(const double* a, const double* b, std::ptrdiff_t length) noexcept;                \
    void squared_distances(const double* const* a, const double* const* b, std::ptrdiff_t count,             \
                           std::ptrdiff_t length, double* out) noexcept;                                      \
    void screen_single(const SingleScreen& screen) noexcept;                                                 \
    std::ptrdiff_t near_boxes(const NearBoxes& boxes) noexcept;

namespace mirelo {
// Whether the build named "portable", "avx2" or "avx512" is in this library and the CPU runs it.
bool kernel_build_runs(const char* name);

namespace portable_kernels {
MIRELO_DECLARE_KERNELS
}
#if defined(MIRELO_AVX2_KERNELS)
namespace avx2_kernels {
MIRELO_DECLARE_KERNELS
}
#endif
#if defined(MIRELO_AVX512_KERNELS)
namespace avx512_kernels {
MIRELO_DECLARE_KERNELS
}
#endif
}  // namespace mirelo

#undef MIRELO_DECLARE_KERNELS
