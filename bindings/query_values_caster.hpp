#pragma once

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "aligned_rows.hpp"
#include "input_rows.hpp"
#include "mirelo_types.hpp"

namespace mirelo {

// One query's values as the engine reads them, for the duration of a call: a row of one.
struct QueryValues {
    InputRows row{static_cast<const double*>(nullptr), 1, 0, 0, 1};
};

}  // namespace mirelo

namespace pybind11::detail {

// A one-row query is read where NumPy keeps it when it is an aligned vector of a type the rows'
// reader takes in place, which spares every call an allocation and a copy through a second array.
// Anything else goes through pybind11's own Eigen vector caster, which also gives the signature,
// so that what is accepted, how it converts and the rendered signature stay exactly those of a
// Vector argument.
template <>
struct type_caster<mirelo::QueryValues> {
    using Copying = type_caster<mirelo::Vector>;
    static constexpr auto name = Copying::name;

    bool load(handle src, bool convert) {
        if (isinstance<array>(src)) {
            const auto values = reinterpret_borrow<array>(src);
            const bool aligned = values.ndim() == 1 && (values.flags() & npy_api::NPY_ARRAY_ALIGNED_) != 0;
            if (const auto type = aligned ? in_place_type(values) : std::nullopt) {
                held = values;
                query.row = {*type, values.data(), 1, values.shape(0), 0, values.strides(0) / values.itemsize()};
                return true;
            }
        }
        if (!copying.load(src, convert)) {
            return false;
        }
        const mirelo::Vector& copy = copying;
        query.row = {copy.data(), 1, copy.size(), copy.size(), 1};
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
