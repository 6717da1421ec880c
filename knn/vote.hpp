#pragma once

#include <cstdint>
#include <vector>

#include "mirelo_types.hpp"
#include "nearest_rows.hpp"

namespace mirelo {

// The place among the classes with the most votes, the first at a tie: places follow the labels'
// byte order.
std::int32_t vote(const std::vector<Neighbour>& nearest, const std::vector<std::int32_t>& class_of_row);

}  // namespace mirelo
