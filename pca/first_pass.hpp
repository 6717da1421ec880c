#pragma once

#include <vector>

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

// The tall pass before its answer, for rows read in runs (by several processes, say). Blocks
// start at fixed rows of the whole matrix, multiples of a height set by its width; two shares
// merge only where one read of all the rows would merge them. So runs that start on those rows,
// appended in order, give the bits of one read; other runs give the same statistics up to rounding.
struct TallStatistics {
    // Whole blocks [first_block, first_block + 2^level), or a piece of one block: their row count,
    // mean and centred columns' products (the upper triangle meant) at 4^exponent.
    struct Share {
        Eigen::Index rows;
        Vector mean;
        Matrix products;
        int exponent;
        int level;
        Eigen::Index first_block;
    };
    Eigen::Index cols = 0;
    // Products summed over the whole matrix: its rows or columns, whichever are more. Sets the
    // powers of two that keep the products finite, so every run of one matrix needs the same.
    Eigen::Index terms = 0;
    std::vector<Share> shares;  // in row order
    Eigen::RowVectorXd lowest;  // each column's extremes
    Eigen::RowVectorXd highest;
    ReadDigest read;
};

// The statistics of X, whose rows are rows first_row onwards of a matrix summing `terms` terms.
// Throws as tall_first_pass does, naming rows of the whole matrix.
TallStatistics tall_statistics(const InputRows& X, Eigen::Index first_row, Eigen::Index terms,
                               const ProgressReport& progress);

// Adds the statistics of the rows that follow those of `earlier`. Throws std::invalid_argument
// for statistics of another width or another matrix's term count.
void append_statistics(TallStatistics& earlier, TallStatistics&& later);

// The pass's answer from the statistics of all the rows, at least one.
FirstPass tall_first_pass(TallStatistics&& all, bool scale);

// Wide data: slices of columns, each whole, so that its statistics are exact before its values
// join the rows' products.
FirstPass wide_first_pass(const InputRows& X, bool scale, const ProgressReport& progress);

}  // namespace mirelo
