#include "input_rows.hpp"

#include <cmath>
#include <limits>

namespace mirelo {

namespace {

using Type = InputRows::Type;

template <class Value>
double as_double(Value value) {
    return static_cast<double>(value);
}

template <>
double as_double(Half value) {
    return widened(value);
}

template <class Value>
void read_values(const Value* in, std::ptrdiff_t row_stride, std::ptrdiff_t column_stride, Eigen::Index count,
                 Eigen::Index width, double* out, std::ptrdiff_t out_stride) {
    for (Eigen::Index r = 0; r < count; ++r) {
        const Value* row = in + r * row_stride;
        double* line = out + r * out_stride;
        if (column_stride == 1) {
            for (Eigen::Index j = 0; j < width; ++j) line[j] = as_double(row[j]);
        } else {
            for (Eigen::Index j = 0; j < width; ++j) line[j] = as_double(row[j * column_stride]);
        }
    }
}

// Calls f with the values' pointer as its own type.
template <class F>
decltype(auto) with_values(Type type, const void* values, F&& f) {
    switch (type) {
        case Type::f64: return f(static_cast<const double*>(values));
        case Type::f32: return f(static_cast<const float*>(values));
        case Type::f16: return f(static_cast<const Half*>(values));
        case Type::i8: return f(static_cast<const std::int8_t*>(values));
        case Type::i16: return f(static_cast<const std::int16_t*>(values));
        case Type::i32: return f(static_cast<const std::int32_t*>(values));
        case Type::i64: return f(static_cast<const std::int64_t*>(values));
        case Type::u8: return f(static_cast<const std::uint8_t*>(values));
        case Type::u16: return f(static_cast<const std::uint16_t*>(values));
        case Type::u32: return f(static_cast<const std::uint32_t*>(values));
        case Type::u64: break;
    }
    return f(static_cast<const std::uint64_t*>(values));
}

}  // namespace

double widened(Half value) {
    const bool negative = (value.bits & 0x8000u) != 0;
    const int exponent = (value.bits >> 10) & 0x1f;
    const int fraction = value.bits & 0x3ff;
    double magnitude;
    if (exponent == 0x1f) {
        magnitude = fraction == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    } else if (exponent == 0) {
        magnitude = std::ldexp(static_cast<double>(fraction), -24);  // subnormal
    } else {
        magnitude = std::ldexp(static_cast<double>(fraction + 0x400), exponent - 25);
    }
    return negative ? -magnitude : magnitude;
}

double InputRows::operator()(Eigen::Index i, Eigen::Index j) const {
    const std::ptrdiff_t at = i * row_stride + j * column_stride;
    if (type == Type::f64) return static_cast<const double*>(values)[at];  // the common case, without a switch
    return with_values(type, values, [at](const auto* typed) { return as_double(typed[at]); });
}

void InputRows::read(Eigen::Index first_row, Eigen::Index count, Eigen::Index first_col, Eigen::Index width,
                     double* out, std::ptrdiff_t out_stride) const {
    const std::ptrdiff_t start = first_row * row_stride + first_col * column_stride;
    with_values(type, values, [&](const auto* typed) {
        read_values(typed + start, row_stride, column_stride, count, width, out, out_stride);
    });
}

InputRows InputRows::middle_rows(Eigen::Index first, Eigen::Index count) const {
    InputRows part = *this;
    part.values = with_values(type, values, [&](const auto* typed) {
        return static_cast<const void*>(typed + first * row_stride);
    });
    part.n = count;
    return part;
}

}  // namespace mirelo
