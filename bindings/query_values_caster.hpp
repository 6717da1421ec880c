#pragma once

#include <optional>

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "mirelo_types.hpp"

namespace mirelo {

// One query's values as the engine reads them, for the duration of a call.
struct QueryValues {
    const double* data = nullptr;
    Eigen::Index size = 0;

    Eigen::Map<const Vector> vector() const { return {data, size}; }
};

}  // namespace mirelo

namespace pybind11::detail {

// A one-row query is read where NumPy keeps it when it is a contiguous, aligned float64 vector,
// which spares every call an allocation and a copy through a second array. Anything else goes
// through pybind11's own Eigen vector caster, which also gives the signature, so that what is
// accepted, how it converts and the rendered signature stay exactly those of a Vector argument.
template <>
struct type_caster<mirelo::QueryValues> {
    using Copying = type_caster<mirelo::Vector>;
    static constexpr auto name = Copying::name;

    bool load(handle src, bool convert) {
        if (isinstance<array_t<double>>(src)) {
            const auto values = reinterpret_borrow<array>(src);
            const bool in_place = values.ndim() == 1 && (values.flags() & npy_api::NPY_ARRAY_ALIGNED_) != 0 &&
                                  (values.shape(0) <= 1 || values.strides(0) == ssize_t{sizeof(double)});
            if (in_place) {
                held = values;
                query = {static_cast<const double*>(values.data()), values.shape(0)};
                return true;
            }
        }
        if (!copying.load(src, convert)) {
            return false;
        }
        const mirelo::Vector& copy = copying;
        query = {copy.data(), copy.size()};
        return true;
    }

    operator mirelo::QueryValues&() { return query; }
    template <typename T>
    using cast_op_type = mirelo::QueryValues&;

private:
    object held;  // the array read in place, alive for the call
    Copying copying;
    mirelo::QueryValues query;
};

}  // namespace pybind11::detail
