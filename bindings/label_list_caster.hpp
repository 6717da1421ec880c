#pragma once

#include <string>
#include <utility>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "mirelo_types.hpp"

namespace pybind11::detail {

// Labels are read by iterating, as list(y) does. pybind11's own caster indexes the sequence,
// which a pandas Series with any index but 0..n-1 answers by label, not by position. The same
// inputs are accepted and rejected, and the signature still reads list[str].
template <>
struct type_caster<mirelo::LabelList> : list_caster<mirelo::LabelList, std::string> {
    bool load(handle src, bool convert) {
        if (!isinstance<sequence>(src) || isinstance<bytes>(src) || isinstance<str>(src)) {
            return false;
        }
        value.clear();
        for (handle item : iter(src)) {
            make_caster<std::string> label;
            if (!label.load(item, convert)) {
                return false;
            }
            value.push_back(cast_op<std::string&&>(std::move(label)));
        }
        return true;
    }
};

}  // namespace pybind11::detail
