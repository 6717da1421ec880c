#pragma once

#include "input_rows.hpp"
#include "mirelo_types.hpp"
#include "read_digest.hpp"

namespace mirelo {

// What the fit learns from its one read of the training rows: the column statistics and the
// product to decompose. Throws std::invalid_argument naming the row and column of the first value
// it meets that is not finite, or when the values span more than the largest double.
struct FirstPass {
    Vector mean;
    Vector spread;   // the divisors: ones unless scaling, floored at kMinSpread to one
    Vector largest;  // each column's largest difference from its mean, in magnitude
    // The lower triangle of the matrix to decompose: the covariance (tall data; with scaling the
    // correlation) or the centred and divided rows' products (wide data). Only the ratios of its
    // eigenvalues count, so it may carry any power of two that keeps it finite.
    Matrix products;
    // The projection's power of two (AdaptivePCA::scale_exponent).
    int exponent = 0;
    // The values as this pass read them, for a later read to be checked against.
    ReadDigest read;
};

constexpr double kMinSpread = 1e-9;

// Both passes need at least one row and one column, which the fit checks before either runs.

// Tall data: row blocks, each centred on its own mean, merged pairwise in a tree fixed by the row
// count alone, so the bits do not depend on the thread count. Spreads come from the finished
// products' diagonal.
FirstPass tall_first_pass(const InputRows& X, bool scale, const ProgressReport& progress);

// Wide data: slices of columns, each whole, so that its statistics are exact before its values
// join the rows' products.
FirstPass wide_first_pass(const InputRows& X, bool scale, const ProgressReport& progress);

}  // namespace mirelo
