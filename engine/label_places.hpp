#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "mirelo_types.hpp"

namespace mirelo {

// The distinct labels of a training in byte order, and each row's place among them: the engine
// names its classes by the labels and the store keeps only the places.
struct LabelPlaces {
    LabelList classes;
    std::vector<std::int32_t> class_of_row;
};

// LabelPlaces from labels heard one at a time, holding each distinct label once.
class LabelPlacesBuilder {
public:
    void add(std::string label);
    std::size_t size() const { return first_seen.size(); }
    LabelPlaces finish() &&;

private:
    std::map<std::string, std::int32_t> first_seen;  // each label's order of first appearance
    std::vector<std::int32_t> first_seen_of_row;
};

// The places of the first `rows` labels.
LabelPlaces label_places(const LabelList& labels, Eigen::Index rows);

}  // namespace mirelo
