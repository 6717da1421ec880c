#pragma once

#include <string>
#include <utility>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "label_places.hpp"
#include "mirelo_types.hpp"

namespace pybind11::detail {

// Labels are read by iterating, as list(y) does. pybind11's own caster indexes the sequence,
// which a pandas Series with any index but 0..n-1 answers by label, not by position. Hands each
// label to `add`; false for anything but a sequence of labels.
template <class Add>
bool read_labels(handle src, bool convert, Add&& add) {
    if (!isinstance<sequence>(src) || isinstance<bytes>(src) || isinstance<str>(src)) {
        return false;
    }
    for (handle item : iter(src)) {
        make_caster<std::string> label;
        if (!label.load(item, convert)) {
            return false;
        }
        add(cast_op<std::string&&>(std::move(label)));
    }
    return true;
}

// The same inputs are accepted and rejected as by pybind11's list caster, and the signature still
// reads list[str].
template <>
struct type_caster<mirelo::LabelList> : list_caster<mirelo::LabelList, std::string> {
    bool load(handle src, bool convert) {
        value.clear();
        return read_labels(src, convert, [this](std::string&& label) { value.push_back(std::move(label)); });
    }
};

// Training labels as the store keeps them, without a string per row on the way; read as a
// LabelList is and named list[str] like it.
template <>
struct type_caster<mirelo::LabelPlaces> {
    PYBIND11_TYPE_CASTER(mirelo::LabelPlaces, const_name("list[str]"));

    bool load(handle src, bool convert) {
        mirelo::LabelPlacesBuilder places;
        if (!read_labels(src, convert, [&places](std::string&& label) { places.add(std::move(label)); })) {
            return false;
        }
        value = std::move(places).finish();
        return true;
    }
};

}  // namespace pybind11::detail
