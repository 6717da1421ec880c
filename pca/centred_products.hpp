#pragma once

#include "input_rows.hpp"
#include "mirelo_types.hpp"
#include "parallel_job.hpp"

namespace mirelo {

// Rows as the PCA sees them, without a copy: value (i, j) is (X(i, j) - mean[j]) / spread[j] *
// factor, formed where it is used. Dividing by a spread of one is skipped, which changes no bits.
struct CentredRows {
    const InputRows& X;
    const Vector& mean;
    const Vector& spread;
    double factor;  // a power of two

    double value(Eigen::Index i, Eigen::Index j) const { return centre(X(i, j), j); }
    double centre(double x, Eigen::Index j) const {
        const double centred = x - mean[j];
        return (spread[j] != 1.0 ? centred / spread[j] : centred) * factor;
    }
};

// Where add_item_products finds value p of item t: values[t * item_stride + p * value_stride].
// The columns of a row-major block are items with stride 1 and the block's width; its rows,
// items with the width and 1.
struct Items {
    const double* values;
    Eigen::Index count;
    Eigen::Index item_stride;
    Eigen::Index value_stride;
};

// Adds the products of the items with each other over `length` values to `sum` (count x count).
// Only sum(j, i) for j <= i is meant (the upper triangle; its transpose is the lower); each such
// element is one chain of multiply-adds in index order, continued from the value already there,
// so its bits depend on neither the thread count nor where a caller splits the summed index.
void add_item_products(const Items& items, Eigen::Index length, Matrix& sum);

// The same sums on the calling thread alone, for one thread of a team that shares `job`: its
// pieces stop once the job has failed.
void add_item_products_alone(const Items& items, Eigen::Index length, Matrix& sum, ParallelJob& job);

}  // namespace mirelo
