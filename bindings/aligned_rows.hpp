#pragma once

#include <optional>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace pybind11::detail {

// The rows both array casters read: a 1-d or 2-d array, float64 (or float32 where the reader
// takes it as it is), aligned, in the input's own layout. Other dtypes get the cast NumPy would
// make; nothing when src cannot be read as rows, or needs a conversion that was not allowed.
inline std::optional<array> aligned_rows(handle src, bool convert, bool float32_too) {
    const auto readable = [float32_too](handle value) {
        return isinstance<array_t<double>>(value) || (float32_too && isinstance<array_t<float>>(value));
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
