#pragma once

#include <cstddef>
#include <cstdint>

#include "mirelo_types.hpp"

namespace mirelo {

// A half-precision value, as stored: its bits.
struct Half {
    std::uint16_t bits;
};

// Samples where the caller keeps them, as doubles or in another numeric type with any strides,
// read out a block at a time as doubles. Each value widens as a whole conversion to double would
// widen it (exactly, but for integers beyond 2^53, which round to nearest), so every type gives
// the same answers as its values given as doubles, and no whole copy of the input is ever made.
class InputRows {
public:
    // The value types read in place: a double matrix, or a caller's array of one of these.
    enum class Type { f64, f32, f16, i8, i16, i32, i64, u8, u16, u32, u64 };

    InputRows(const MatrixView& X)  // NOLINT: any double matrix reads as itself
        : InputRows(X.data(), X.rows(), X.cols(), X.outerStride(), 1) {}
    InputRows(const double* data, Eigen::Index rows, Eigen::Index cols, std::ptrdiff_t row_stride,
              std::ptrdiff_t column_stride)
        : InputRows(Type::f64, data, rows, cols, row_stride, column_stride) {}
    InputRows(const float* data, Eigen::Index rows, Eigen::Index cols, std::ptrdiff_t row_stride,
              std::ptrdiff_t column_stride)
        : InputRows(Type::f32, data, rows, cols, row_stride, column_stride) {}
    // Strides count values of `type`, not bytes.
    InputRows(Type type, const void* data, Eigen::Index rows, Eigen::Index cols, std::ptrdiff_t row_stride,
              std::ptrdiff_t column_stride)
        : type(type), values(data), n(rows), d(cols), row_stride(row_stride), column_stride(column_stride) {}

    Eigen::Index rows() const { return n; }
    Eigen::Index cols() const { return d; }

    double operator()(Eigen::Index i, Eigen::Index j) const;

    // Rows [first_row, first_row + count), columns [first_col, first_col + width) to `out`, row r
    // starting at out + r * out_stride.
    void read(Eigen::Index first_row, Eigen::Index count, Eigen::Index first_col, Eigen::Index width, double* out,
              std::ptrdiff_t out_stride) const;

    // The rows [first, first + count) as samples of their own.
    InputRows middle_rows(Eigen::Index first, Eigen::Index count) const;

    // The first value, for telling whether a view reaches the caller's own memory.
    const void* data() const { return values; }

private:
    Type type;
    const void* values;
    Eigen::Index n;
    Eigen::Index d;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t column_stride;
};

// The value of a half-precision number, exactly.
double widened(Half value);

}  // namespace mirelo
