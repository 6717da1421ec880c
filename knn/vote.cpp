#include "vote.hpp"

#include <algorithm>
#include <map>
#include <string>

namespace mirelo {

LabelPlaces label_places(const LabelList& labels, Eigen::Index rows) {
    std::map<std::string, std::int32_t> places;
    for (Eigen::Index i = 0; i < rows; ++i) {
        places.emplace(labels[static_cast<std::size_t>(i)], 0);
    }
    LabelPlaces result;
    for (auto& [label, place] : places) {
        place = static_cast<std::int32_t>(result.classes.size());
        result.classes.push_back(label);
    }
    result.class_of_row.resize(static_cast<std::size_t>(rows));
    for (Eigen::Index i = 0; i < rows; ++i) {
        result.class_of_row[static_cast<std::size_t>(i)] = places[labels[static_cast<std::size_t>(i)]];
    }
    return result;
}

std::int32_t vote(const std::vector<Neighbour>& nearest, const std::vector<std::int32_t>& class_of_row) {
    std::vector<std::int32_t> places(nearest.size());
    for (std::size_t i = 0; i < nearest.size(); ++i) {
        places[i] = class_of_row[static_cast<std::size_t>(nearest[i].row)];
    }
    std::sort(places.begin(), places.end());
    std::int32_t winner = 0;
    std::size_t most = 0;
    for (std::size_t first = 0, last = 0; first < places.size(); first = last) {
        while (last < places.size() && places[last] == places[first]) ++last;
        if (last - first > most) {
            winner = places[first];
            most = last - first;
        }
    }
    return winner;
}

}  // namespace mirelo
