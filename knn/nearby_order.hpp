#pragma once

#include <cstdint>
#include <vector>

#include "mirelo_types.hpp"

namespace mirelo {

// A stored row's number in the order: four bytes a row rather than eight, for stores of up to
// kMostOrderedRows rows.
using RowNumber = std::uint32_t;
constexpr Eigen::Index kMostOrderedRows = Eigen::Index{1} << 32;

// Places the rows so that each run of kSinglePanelRows lies close together: every span is cut in
// two at the median of its widest coordinate, at a multiple of the group size, down to one group.
// Ties go by row, so the order depends on the rows alone. At most kMostOrderedRows rows.
std::vector<RowNumber> nearby_order(const MatrixView& rows);

}  // namespace mirelo
