#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirelo_types.hpp"
#include "nearest_rows.hpp"

namespace mirelo {

// The class place with the most votes of `count` neighbours, the lowest at a tie.
std::int32_t vote(const Neighbour* nearest, std::size_t count, const std::vector<std::int32_t>& class_of_row);

}  // namespace mirelo
