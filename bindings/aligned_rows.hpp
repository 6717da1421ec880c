#pragma once

#include <optional>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "input_rows.hpp"

namespace pybind11::detail {

// The type an InputRows reads an array's values as where they lie: numbers in the machine's byte
// order of at most eight bytes (bools as bytes). Nothing for any other dtype.
inline std::optional<mirelo::InputRows::Type> in_place_type(const array& values) {
    using Type = mirelo::InputRows::Type;
    const dtype type = values.dtype();
    if (!type.attr("isnative").cast<bool>()) {
        return std::nullopt;
    }
    const ssize_t size = type.itemsize();
    switch (type.kind()) {
        case 'f':
            if (size == 8) return Type::f64;
            if (size == 4) return Type::f32;
            if (size == 2) return Type::f16;
            break;
        case 'i':
            if (size == 1) return Type::i8;
            if (size == 2) return Type::i16;
            if (size == 4) return Type::i32;
            if (size == 8) return Type::i64;
            break;
        case 'b':
        case 'u':
            if (size == 1) return Type::u8;
            if (size == 2) return Type::u16;
            if (size == 4) return Type::u32;
            if (size == 8) return Type::u64;
            break;
        default:
            break;
    }
    return std::nullopt;
}

// The rows the array reader takes: a 1-d or 2-d array of any type in_place_type reads (the
// reader takes those values as they are), aligned, in the input's own layout. Other dtypes get the
// cast NumPy would make; nothing when src cannot be read as rows, or needs a conversion that was
// not allowed.
inline std::optional<array> aligned_rows(handle src, bool convert) {
    const auto readable = [](handle value) {
        return isinstance<array>(value) && in_place_type(reinterpret_borrow<array>(value));
    };
    if (!convert && !readable(src)) {
        return std::nullopt;
    }
    array buf = array::ensure(src);
    if (!buf || buf.ndim() < 1 || buf.ndim() > 2) {
        return std::nullopt;
    }
    if (!readable(buf)) {
        try {
            buf = buf.attr("astype")(dtype::of<double>());
        } catch (const error_already_set&) {
            return std::nullopt;
        }
    }
    if ((buf.flags() & npy_api::NPY_ARRAY_ALIGNED_) == 0) {
        buf = buf.attr("copy")();  // unaligned values: NumPy's own copy aligns them
    }
    return buf;
}

}  // namespace pybind11::detail
