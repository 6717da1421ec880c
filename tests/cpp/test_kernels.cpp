#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "kernel_variants.hpp"
#include "row_copy.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

struct Variant {
    const char* name;
    void (*multiply)(StridedRows, std::ptrdiff_t, const double*, std::ptrdiff_t, std::ptrdiff_t, StridedOutput,
                     bool) noexcept;
    double (*norm)(const double*, std::ptrdiff_t) noexcept;
    void (*screen)(const SingleScreen&) noexcept;
    void (*band)(const double*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t, double*,
                 StridedOutput) noexcept;
    std::ptrdiff_t (*listed)(const ListedScreen&) noexcept;
    double (*distance)(const double*, const double*, std::ptrdiff_t) noexcept;
};

std::vector<Variant> variants() {
    std::vector<Variant> all = {{"portable", portable_kernels::multiply_packed, portable_kernels::squared_norm,
                                  portable_kernels::screen_single, portable_kernels::products_lower_band,
                                  portable_kernels::screen_listed, portable_kernels::squared_distance}};
#if defined(MIRELO_AVX2_KERNELS)
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        all.push_back({"avx2", avx2_kernels::multiply_packed, avx2_kernels::squared_norm,
                       avx2_kernels::screen_single, avx2_kernels::products_lower_band,
                       avx2_kernels::screen_listed, avx2_kernels::squared_distance});
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
                // Lane p % 4 sums difference p: the same bits in every build.
                double lanes[4] = {};
                for (Eigen::Index p = 0; p < length; ++p) {
                    const double difference = a(i, p) - b(i, p);
                    lanes[p % 4] += difference * difference;
                }
                EXPECT_EQ(variant.distance(a.row(i).data(), b.row(i).data(), length),
                          (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]));
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
            // The band kernel reads its packed rows as rows of the product too: in bands of 7 rows
            // and the same two slices, its lower triangle has the bits of multiply_packed.
            RowMajorMatrix expected(b.rows(), b.rows());
            variant.multiply({b.data(), length, 1}, b.rows(), packed(b, 0, b.rows()).data(), b.rows(), length,
                             {expected.data(), b.rows(), 1}, false);
            RowMajorMatrix banded = RowMajorMatrix::Zero(b.rows(), b.rows());
            std::vector<double> scratch(static_cast<std::size_t>(7 * length));
            for (Eigen::Index top = 0; top < b.rows(); top += 7) {
                const Eigen::Index height = std::min<Eigen::Index>(7, b.rows() - top);
                for (const auto& [slice, first, count] :
                     {std::tuple{packed(b_head, 0, b.rows()), Eigen::Index{0}, cut},
                      std::tuple{packed(b_tail, 0, b.rows()), cut, length - cut}}) {
                    variant.band(slice.data(), b.rows(), count, top, height, scratch.data(),
                                 {banded.data(), b.rows(), 1});
                }
            }
            const auto lower = [](const RowMajorMatrix& m) { return Matrix(m.triangularView<Eigen::Lower>()); };
            EXPECT_TRUE(test::same(lower(banded), lower(expected)));
        }
    }
}

TEST(RowCopy, AnyLayoutGivesTheSameRows) {
    // Tiles cut both dimensions; a column-major source and one read backwards both ways.
    const Matrix M = test::random_matrix(70, 300, 22);
    EXPECT_TRUE(test::same(copy_rows({M.data(), 1, M.rows()}, 70, 300), M));
    const RowMajorMatrix R = M;
    EXPECT_TRUE(test::same(copy_rows({R.data() + R.size() - 1, -300, -1}, 70, 300),
                           RowMajorMatrix(R.colwise().reverse().rowwise().reverse())));
}

TEST(Kernels, ScreenFlagsTheRowsWithinEachBar) {
    // Integer values keep every product exact in single precision too, and the rounding bound
    // stays below one: a row is flagged when its distance is at most the bar, never when it is a
    // whole unit beyond. 37 and 203 rows leave partial groups of both sizes; 203 also fill the
    // blocks of groups that a query alone takes.
    for (const Eigen::Index n : {37, 203}) {
        SCOPED_TRACE(std::to_string(n) + " rows");
        const Eigen::Index flag_groups = (n + kPanelRows - 1) / kPanelRows;
        const RowMajorMatrix queries = (test::random_matrix(9, 5, 62) * 20.0).array().round();
        const RowMajorMatrix rows = (test::random_matrix(n, 5, 63) * 20.0).array().round();
        const Vector row_norms = rows.rowwise().squaredNorm();
        const Vector query_norms = queries.rowwise().squaredNorm();
        const Matrix distances = ((-2.0 * queries * rows.transpose()).rowwise() + row_norms.transpose()).colwise() +
                                 query_norms;
        std::vector<double> bars(9);
        std::vector<float> limits(9), single_queries(9 * 5);
        std::vector<float> single_rows(static_cast<std::size_t>(packed_single_size(n, 5)));
        std::vector<float> single_norms(row_norms.data(), row_norms.data() + n);
        pack_rows_single({rows.data(), 5, 1}, n, 5, 1.0, single_rows.data());
        for (Eigen::Index q = 0; q < 9; ++q) {
            Vector sorted = distances.row(q).transpose();
            std::sort(sorted.begin(), sorted.end());
            bars[static_cast<std::size_t>(q)] = sorted[4 * q];  // from the nearest row to most of them
            limits[static_cast<std::size_t>(q)] =
                single_precision_limit(bars[static_cast<std::size_t>(q)], query_norms[q], row_norms.maxCoeff(), 5);
            for (Eigen::Index p = 0; p < 5; ++p) single_queries[static_cast<std::size_t>(q * 5 + p)] = queries(q, p);
        }
        for (const Variant& variant : variants()) {
            SCOPED_TRACE(variant.name);
            std::vector<std::uint8_t> candidates(static_cast<std::size_t>(9 * flag_groups), 0xff);
            variant.screen({single_queries.data(), 9, limits.data(), single_rows.data(), single_norms.data(), n, 5,
                            candidates.data()});
            for (Eigen::Index q = 0; q < 9; ++q) {
                for (Eigen::Index j = 0; j < n; ++j) {
                    const std::uint8_t flags = candidates[static_cast<std::size_t>(q * flag_groups + j / 8)];
                    const bool flagged = (flags >> (j % 8)) & 1u;
                    ASSERT_EQ(flagged, distances(q, j) <= bars[static_cast<std::size_t>(q)]) << q << ", " << j;
                }
                // A query alone takes the kernel's other path, to the same flags.
                std::vector<std::uint8_t> alone(static_cast<std::size_t>(flag_groups), 0xff);
                variant.screen({single_queries.data() + q * 5, 1, limits.data() + q, single_rows.data(),
                                single_norms.data(), n, 5, alone.data()});
                ASSERT_TRUE(std::equal(alone.begin(), alone.end(), candidates.begin() + q * flag_groups)) << q;
            }
            // The listed test on rows laid out one after another, every row listed.
            std::vector<float> listed_rows(static_cast<std::size_t>(n * kListedWidth), 0.0f);
            std::vector<float> query(kListedWidth, 0.0f);
            for (Eigen::Index j = 0; j < n; ++j) {
                for (Eigen::Index p = 0; p < 5; ++p) {
                    listed_rows[static_cast<std::size_t>(j * kListedWidth + p)] = static_cast<float>(rows(j, p));
                }
            }
            for (Eigen::Index q = 0; q < 9; ++q) {
                std::copy_n(single_queries.begin() + q * 5, 5, query.begin());
                std::vector<std::ptrdiff_t> listed(static_cast<std::size_t>(n));
                for (std::ptrdiff_t j = 0; j < n; ++j) listed[static_cast<std::size_t>(j)] = n - 1 - j;
                const std::ptrdiff_t kept = variant.listed({query.data(), limits[static_cast<std::size_t>(q)],
                                                            listed_rows.data(), single_norms.data(), kListedWidth,
                                                            listed.data(), n});
                std::vector<std::ptrdiff_t> expected;
                for (std::ptrdiff_t j = n - 1; j >= 0; --j) {
                    if (distances(q, j) <= bars[static_cast<std::size_t>(q)]) expected.push_back(j);
                }
                ASSERT_EQ(std::vector<std::ptrdiff_t>(listed.begin(), listed.begin() + kept), expected) << q;
            }
        }
    }
}

}  // namespace
}  // namespace mirelo
