#pragma once

#include "mirelo_types.hpp"

namespace mirelo {

// Rows as the PCA sees them, without a copy: value (i, j) is (X(i, j) - mean[j]) / spread[j] *
// factor, formed where it is used. Dividing by a spread of one is skipped, which changes no bits.
struct CentredRows {
    const MatrixView& X;
    const Vector& mean;
    const Vector& spread;
    double factor;  // a power of two

    double value(Eigen::Index i, Eigen::Index j) const {
        const double centred = X(i, j) - mean[j];
        return (spread[j] != 1.0 ? centred / spread[j] : centred) * factor;
    }
};

// Lower triangles of C^T C (the products of the columns, for tall data) and of C C^T (of the
// rows, for wide data), C being the centred rows; the upper triangles are not set. Each element
// is one chain of multiply-adds in index order, so its bits do not depend on the thread count.
Matrix column_products_lower(const CentredRows& rows);
Matrix row_products_lower(const CentredRows& rows);

}  // namespace mirelo
