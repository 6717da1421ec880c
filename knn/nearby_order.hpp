#pragma once

#include <vector>

#include "mirelo_types.hpp"

namespace mirelo {

// Places the rows so that each run of kSinglePanelRows lies close together: every span is cut in
// two at the median of its widest coordinate, at a multiple of the group size, down to one group.
// Ties go by row, so the order depends on the rows alone.
std::vector<Eigen::Index> nearby_order(const RowMajorMatrix& rows);

}  // namespace mirelo
