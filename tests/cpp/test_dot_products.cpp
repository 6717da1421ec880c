#include <gtest/gtest.h>

#include "dot_products.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

// Row-major a (rows x length) against row-major b, all at once into a column-major result.
Matrix all_at_once(const RowMajorMatrix& a, const RowMajorMatrix& b) {
    Matrix out(a.rows(), b.rows());
    dot_products(a.data(), a.cols(), a.rows(), b.data(), b.cols(), b.rows(), a.cols(), out.data(), 1, a.rows());
    return out;
}

TEST(DotProducts, EachElementHasTheSameBitsInAnyBatch) {
    // Lengths below, at and past one vector, and row counts around the register blocks.
    for (Eigen::Index length : {1, 3, 4, 5, 8, 13, 35}) {
        SCOPED_TRACE("length " + std::to_string(length));
        const RowMajorMatrix a = test::random_matrix(9, length, 60) * 1e3;
        const RowMajorMatrix b = test::random_matrix(11, length, 61);
        const Matrix whole = all_at_once(a, b);
        EXPECT_TRUE(whole.isApprox(a * b.transpose(), 1e-12));
        for (Eigen::Index i = 0; i < a.rows(); ++i) {
            for (Eigen::Index j = 0; j < b.rows(); ++j) {
                double alone;
                dot_products(a.row(i).data(), length, 1, b.row(j).data(), length, 1, length, &alone, 0, 0);
                EXPECT_EQ(alone, whole(i, j)) << i << ", " << j;
            }
        }
        // A window of rows starting anywhere, written row-major, gives the same bits again.
        RowMajorMatrix window(5, 7);
        dot_products(a.row(3).data(), length, 5, b.row(2).data(), length, 7, length, window.data(), 7, 1);
        EXPECT_TRUE(test::same(window, whole.block(3, 2, 5, 7)));
    }
}

}  // namespace
}  // namespace mirelo
