#include <gtest/gtest.h>

#include "row_copy.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

TEST(RowCopy, AnyLayoutGivesTheSameRows) {
    // Tiles cut both dimensions; a column-major source and one read backwards both ways.
    const Matrix M = test::random_matrix(70, 300, 22);
    EXPECT_TRUE(test::same(copy_rows({M.data(), 1, M.rows()}, 70, 300), M));
    const RowMajorMatrix R = M;
    EXPECT_TRUE(test::same(copy_rows({R.data() + R.size() - 1, -300, -1}, 70, 300),
                           RowMajorMatrix(R.colwise().reverse().rowwise().reverse())));
}

}  // namespace
}  // namespace mirelo
