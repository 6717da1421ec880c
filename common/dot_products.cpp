#include "dot_products.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;
using Lanes = double __attribute__((vector_size(32)));
using Bits = long long __attribute__((vector_size(32)));
// The same four doubles read from any address.
using UnalignedLanes = double __attribute__((vector_size(32), aligned(8), may_alias));

#define MIRELO_INLINE inline __attribute__((always_inline))

// Filled through a reference: returning the vector by value would tie the ABI to AVX.
MIRELO_INLINE void load(Lanes& v, const double* p) { v = *reinterpret_cast<const UnalignedLanes*>(p); }

// The last length % 4 values of a row as a vector whose other lanes are exact zeros: the last
// four values with the ones already summed masked off, or for rows shorter than four, the row.
MIRELO_INLINE void load_tail(Lanes& v, const double* row, Index length, const Bits& keep) {
    if (length >= 4) {
        load(v, row + length - 4);
        v = reinterpret_cast<Lanes>(reinterpret_cast<Bits>(v) & keep);
    } else {
        v = Lanes{};
        for (Index j = 0; j < length; ++j) v[j] = row[j];
    }
}

// A rows of a against B rows of b, with A * B accumulators held in registers.
template <int A, int B>
MIRELO_INLINE void block(const double* a, Index a_stride, const double* b, Index b_stride, Index length,
                         double* out, Index out_row_stride, Index out_col_stride) {
    Lanes acc[A][B] = {};
    const Index whole = length - length % 4;
    // Fully unrolled, so that the accumulators live in registers.
    for (Index j = 0; j < whole; j += 4) {
        Lanes bv[B];
#pragma GCC unroll 4
        for (int s = 0; s < B; ++s) load(bv[s], b + s * b_stride + j);
#pragma GCC unroll 4
        for (int r = 0; r < A; ++r) {
            Lanes av;
            load(av, a + r * a_stride + j);
#pragma GCC unroll 4
            for (int s = 0; s < B; ++s) acc[r][s] += av * bv[s];
        }
    }
    if (whole < length) {
        const Index rest = length - whole;
        const Bits keep = {-(rest >= 4), -(rest >= 3), -(rest >= 2), -(rest >= 1)};
        Lanes bv[B];
#pragma GCC unroll 4
        for (int s = 0; s < B; ++s) load_tail(bv[s], b + s * b_stride, length, keep);
#pragma GCC unroll 4
        for (int r = 0; r < A; ++r) {
            Lanes av;
            load_tail(av, a + r * a_stride, length, keep);
#pragma GCC unroll 4
            for (int s = 0; s < B; ++s) acc[r][s] += av * bv[s];
        }
    }
#pragma GCC unroll 4
    for (int r = 0; r < A; ++r) {
#pragma GCC unroll 4
        for (int s = 0; s < B; ++s) {
            out[r * out_row_stride + s * out_col_stride] =
                (acc[r][s][0] + acc[r][s][2]) + (acc[r][s][1] + acc[r][s][3]);
        }
    }
}

// A rows of a against every row of b, three at a time.
template <int A>
MIRELO_INLINE void row_group(const double* a, Index a_stride, const double* b, Index b_stride, Index b_rows,
                             Index length, double* out, Index out_row_stride, Index out_col_stride) {
    constexpr int kB = 3;
    Index j = 0;
    for (; j + kB <= b_rows; j += kB) {
        block<A, kB>(a, a_stride, b + j * b_stride, b_stride, length, out + j * out_col_stride, out_row_stride,
                     out_col_stride);
    }
    for (; j < b_rows; ++j) {
        block<A, 1>(a, a_stride, b + j * b_stride, b_stride, length, out + j * out_col_stride, out_row_stride,
                    out_col_stride);
    }
}

}  // namespace

// One build runs on any x86-64 CPU; where the CPU has AVX2 a clone using 256-bit vectors is
// picked when the module loads. Other architectures get the portable build alone.
#if defined(__x86_64__)
__attribute__((target_clones("avx2", "default")))
#endif
void dot_products(const double* a, Index a_stride, Index a_rows, const double* b, Index b_stride, Index b_rows,
                  Index length, double* out, Index out_row_stride, Index out_col_stride) noexcept {
    constexpr int kA = 4;
    Index i = 0;
    for (; i + kA <= a_rows; i += kA) {
        row_group<kA>(a + i * a_stride, a_stride, b, b_stride, b_rows, length, out + i * out_row_stride,
                      out_row_stride, out_col_stride);
    }
    for (; i < a_rows; ++i) {
        row_group<1>(a + i * a_stride, a_stride, b, b_stride, b_rows, length, out + i * out_row_stride,
                     out_row_stride, out_col_stride);
    }
}

}  // namespace mirelo
