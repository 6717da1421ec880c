#pragma once

#include <Eigen/Core>

namespace mirelo {

// out[i * out_row_stride + j * out_col_stride] = dot(row i of a, row j of b) for i < a_rows,
// j < b_rows; row r of a starts at a + r * a_stride and holds `length` values, likewise for b.
//
// Every element is summed in one fixed order (four interleaved partial sums, then their sum),
// whatever the numbers of rows, so a row gets the same bits alone as inside any batch. No
// multiply is fused with its add, so the bits do not depend on the CPU either.
void dot_products(const double* a, Eigen::Index a_stride, Eigen::Index a_rows,
                  const double* b, Eigen::Index b_stride, Eigen::Index b_rows, Eigen::Index length,
                  double* out, Eigen::Index out_row_stride, Eigen::Index out_col_stride) noexcept;

}  // namespace mirelo
