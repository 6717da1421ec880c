#include "input_rows.hpp"

namespace mirelo {

namespace {

template <class Value>
void read_values(const Value* in, std::ptrdiff_t row_stride, std::ptrdiff_t column_stride, Eigen::Index count,
                 Eigen::Index width, double* out, std::ptrdiff_t out_stride) {
    for (Eigen::Index r = 0; r < count; ++r) {
        const Value* row = in + r * row_stride;
        double* line = out + r * out_stride;
        if (column_stride == 1) {
            for (Eigen::Index j = 0; j < width; ++j) line[j] = static_cast<double>(row[j]);
        } else {
            for (Eigen::Index j = 0; j < width; ++j) line[j] = static_cast<double>(row[j * column_stride]);
        }
    }
}

}  // namespace

void InputRows::read(Eigen::Index first_row, Eigen::Index count, Eigen::Index first_col, Eigen::Index width,
                     double* out, std::ptrdiff_t out_stride) const {
    const std::ptrdiff_t start = first_row * row_stride + first_col * column_stride;
    if (doubles != nullptr) {
        read_values(doubles + start, row_stride, column_stride, count, width, out, out_stride);
    } else {
        read_values(floats + start, row_stride, column_stride, count, width, out, out_stride);
    }
}

InputRows InputRows::middle_rows(Eigen::Index first, Eigen::Index count) const {
    InputRows part = *this;
    const std::ptrdiff_t offset = first * row_stride;
    if (doubles != nullptr) {
        part.doubles += offset;
    } else {
        part.floats += offset;
    }
    part.n = count;
    return part;
}

}  // namespace mirelo
