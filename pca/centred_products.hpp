#pragma once

#include "mirelo_types.hpp"

namespace mirelo {

// The training rows as the PCA sees them, without a copy: value (i, j) is
// (X(i, j) - mean[j]) / spread[j], formed while the rows are packed for the product kernel.
struct CentredRows {
    const MatrixView& X;
    const Vector& mean;
    const Vector& spread;
};

// Lower triangles of C^T C (the products of the columns, for tall data) and of C C^T (of the
// rows, for wide data), C being the centred rows; the upper triangles are not set. Each element
// is one chain of multiply-adds in index order, so its bits do not depend on the thread count.
Matrix column_products_lower(const CentredRows& rows);
Matrix row_products_lower(const CentredRows& rows);

}  // namespace mirelo
