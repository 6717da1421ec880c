#pragma once

#include <memory>
#include <optional>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "aligned_rows.hpp"
#include "mirelo_types.hpp"
#include "row_copy.hpp"

namespace pybind11::detail {

// Matrices reach the engine where NumPy keeps them: a C-contiguous, aligned float64 array is
// viewed in place (and held for the call), anything else is converted once into a row-major copy.
// What is accepted, how a 1-d array reads (as one column) and the signature are those of
// pybind11's own Eigen caster.
template <>
struct type_caster<mirelo::MatrixView> {
    static constexpr auto name = const_name("numpy.ndarray[numpy.float64[m, n]]");

    bool load(handle src, bool convert) {
        std::optional<array> rows_read = aligned_rows(src, convert, /*any_in_place=*/false);
        if (!rows_read) {
            return false;
        }
        array& buf = *rows_read;
        const ssize_t rows = buf.shape(0);
        const ssize_t cols = buf.ndim() == 2 ? buf.shape(1) : 1;
        if ((buf.flags() & npy_api::NPY_ARRAY_C_CONTIGUOUS_) != 0) {
            held = buf;
            view.emplace(Eigen::Map<const mirelo::RowMajorMatrix, 0, Eigen::OuterStride<>>(
                static_cast<const double*>(buf.data()), rows, cols, Eigen::OuterStride<>(cols)));
            return true;
        }
        const auto* data = static_cast<const double*>(buf.data());
        const ssize_t row_stride = buf.strides(0) / static_cast<ssize_t>(sizeof(double));
        const ssize_t element_stride = buf.ndim() == 2 ? buf.strides(1) / static_cast<ssize_t>(sizeof(double)) : 0;
        copy = std::make_unique<mirelo::RowMajorMatrix>(mirelo::copy_rows({data, row_stride, element_stride}, rows, cols));
        view.emplace(*copy);
        return true;
    }

    operator mirelo::MatrixView&() { return *view; }
    template <typename T>
    using cast_op_type = mirelo::MatrixView&;

private:
    object held;                                   // the array viewed, alive for the call
    std::unique_ptr<mirelo::RowMajorMatrix> copy;  // or the converted copy
    std::optional<mirelo::MatrixView> view;
};

}  // namespace pybind11::detail
