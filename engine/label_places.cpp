#include "label_places.hpp"

#include <utility>

namespace mirelo {

void LabelPlacesBuilder::add(std::string label) {
    const auto found = first_seen.emplace(std::move(label), static_cast<std::int32_t>(first_seen.size())).first;
    first_seen_of_row.push_back(found->second);
}

LabelPlaces LabelPlacesBuilder::finish() && {
    LabelPlaces result;
    std::vector<std::int32_t> place_of(first_seen.size());
    for (auto& [label, seen] : first_seen) {
        place_of[static_cast<std::size_t>(seen)] = static_cast<std::int32_t>(result.classes.size());
        result.classes.push_back(label);
    }
    result.class_of_row = std::move(first_seen_of_row);
    for (std::int32_t& place : result.class_of_row) place = place_of[static_cast<std::size_t>(place)];
    return result;
}

LabelPlaces label_places(const LabelList& labels, Eigen::Index rows) {
    LabelPlacesBuilder places;
    for (Eigen::Index i = 0; i < rows; ++i) places.add(labels[static_cast<std::size_t>(i)]);
    return std::move(places).finish();
}

}  // namespace mirelo
