#include <gtest/gtest.h>

#include <vector>

#include "kernel_variants.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

struct Variant {
    const char* name;
    void (*multiply)(StridedRows, std::ptrdiff_t, const double*, std::ptrdiff_t, std::ptrdiff_t, StridedOutput,
                     bool) noexcept;
    double (*norm)(const double*, std::ptrdiff_t) noexcept;
};

std::vector<Variant> variants() {
    std::vector<Variant> all = {{"portable", portable_kernels::multiply_packed, portable_kernels::squared_norm}};
#if defined(MIRELO_AVX2_KERNELS)
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        all.push_back({"avx2", avx2_kernels::multiply_packed, avx2_kernels::squared_norm});
    }
#endif
    return all;
}

std::vector<double> packed(const RowMajorMatrix& b, Eigen::Index first_row, Eigen::Index rows) {
    std::vector<double> out(static_cast<std::size_t>(packed_size(rows, b.cols())));
    pack_rows({b.row(first_row).data(), b.cols(), 1}, rows, b.cols(), out.data());
    return out;
}

TEST(Kernels, EachElementHasTheSameBitsHoweverTheWorkIsCut) {
    for (const Variant& variant : variants()) {
        // Lengths below and past one group, row counts around the register blocks.
        for (Eigen::Index length : {1, 3, 8, 35}) {
            SCOPED_TRACE(std::string(variant.name) + ", length " + std::to_string(length));
            const RowMajorMatrix a = test::random_matrix(13, length, 60) * 1e3;
            const RowMajorMatrix b = test::random_matrix(19, length, 61);
            Matrix whole(a.rows(), b.rows());
            variant.multiply({a.data(), length, 1}, a.rows(), packed(b, 0, b.rows()).data(), b.rows(), length,
                             {whole.data(), 1, a.rows()}, false);
            EXPECT_TRUE(whole.isApprox(a * b.transpose(), 1e-12));
            for (Eigen::Index i = 0; i < a.rows(); ++i) {
                for (Eigen::Index j = 0; j < b.rows(); ++j) {
                    double alone;
                    variant.multiply({a.row(i).data(), length, 1}, 1, packed(b, j, 1).data(), 1, length,
                                     {&alone, 0, 0}, false);
                    ASSERT_EQ(alone, whole(i, j)) << i << ", " << j;
                }
                double self;
                variant.multiply({a.row(i).data(), length, 1}, 1, packed(a, i, 1).data(), 1, length, {&self, 0, 0},
                                 false);
                EXPECT_EQ(self, variant.norm(a.row(i).data(), length));
            }
            // The length cut in two slices, the second continuing each chain: the same bits again.
            const Eigen::Index cut = length / 2;
            RowMajorMatrix sliced(a.rows(), b.rows());
            const RowMajorMatrix b_head = b.leftCols(cut), b_tail = b.rightCols(length - cut);
            variant.multiply({a.data(), length, 1}, a.rows(), packed(b_head, 0, b.rows()).data(), b.rows(), cut,
                             {sliced.data(), b.rows(), 1}, false);
            variant.multiply({a.data() + cut, length, 1}, a.rows(), packed(b_tail, 0, b.rows()).data(), b.rows(),
                             length - cut, {sliced.data(), b.rows(), 1}, true);
            EXPECT_TRUE(test::same(sliced, whole));
        }
    }
}

}  // namespace
}  // namespace mirelo
