#pragma once

#include <cstddef>

#include "mirelo_types.hpp"

namespace mirelo {

// Samples where the caller keeps them, in double or single precision with any strides, read out
// a block at a time as doubles: widening a float is exact, so both give the same values and no
// whole copy of the input is ever made.
class InputRows {
public:
    InputRows(const MatrixView& X)  // NOLINT: any double matrix reads as itself
        : InputRows(X.data(), X.rows(), X.cols(), X.outerStride(), 1) {}
    InputRows(const double* data, Eigen::Index rows, Eigen::Index cols, std::ptrdiff_t row_stride,
              std::ptrdiff_t column_stride)
        : doubles(data), n(rows), d(cols), row_stride(row_stride), column_stride(column_stride) {}
    InputRows(const float* data, Eigen::Index rows, Eigen::Index cols, std::ptrdiff_t row_stride,
              std::ptrdiff_t column_stride)
        : floats(data), n(rows), d(cols), row_stride(row_stride), column_stride(column_stride) {}

    Eigen::Index rows() const { return n; }
    Eigen::Index cols() const { return d; }

    double operator()(Eigen::Index i, Eigen::Index j) const {
        const std::ptrdiff_t at = i * row_stride + j * column_stride;
        return doubles != nullptr ? doubles[at] : static_cast<double>(floats[at]);
    }

    // Rows [first_row, first_row + count), columns [first_col, first_col + width) to `out`, row r
    // starting at out + r * out_stride.
    void read(Eigen::Index first_row, Eigen::Index count, Eigen::Index first_col, Eigen::Index width, double* out,
              std::ptrdiff_t out_stride) const;

    // The rows [first, first + count) as samples of their own.
    InputRows middle_rows(Eigen::Index first, Eigen::Index count) const;

    // The first value, for telling whether a view reaches the caller's own memory.
    const void* data() const { return doubles != nullptr ? static_cast<const void*>(doubles) : floats; }

private:
    const double* doubles = nullptr;
    const float* floats = nullptr;
    Eigen::Index n;
    Eigen::Index d;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t column_stride;
};

}  // namespace mirelo
