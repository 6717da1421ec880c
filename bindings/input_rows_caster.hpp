#pragma once

#include <optional>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "aligned_rows.hpp"
#include "input_rows.hpp"

namespace pybind11::detail {

// Rows reach the engine where NumPy keeps them, for a training and for queries alike: an aligned
// array of any type in_place_type reads (a memory map too), in any layout, is read in place and
// held for the call, its values widened a block at a time; any other dtype is converted to float64
// first. What is accepted, how a 1-d array reads (as one column) and the signature are those of
// pybind11's own Eigen matrix caster.
template <>
struct type_caster<mirelo::InputRows> {
    static constexpr auto name = const_name("numpy.ndarray[numpy.float64[m, n]]");

    bool load(handle src, bool convert) {
        std::optional<array> rows_read = aligned_rows(src, convert);
        if (!rows_read) {
            return false;
        }
        array& buf = *rows_read;
        const ssize_t rows = buf.shape(0);
        const ssize_t cols = buf.ndim() == 2 ? buf.shape(1) : 1;
        const ssize_t size = buf.itemsize();
        const ssize_t row_stride = buf.strides(0) / size;
        const ssize_t column_stride = buf.ndim() == 2 ? buf.strides(1) / size : 1;
        held = buf;
        view.emplace(*in_place_type(buf), buf.data(), rows, cols, row_stride, column_stride);
        return true;
    }

    operator mirelo::InputRows&() { return *view; }
    template <typename T>
    using cast_op_type = mirelo::InputRows&;

private:
    object held;  // the array read, alive for the call
    std::optional<mirelo::InputRows> view;
};

}  // namespace pybind11::detail
