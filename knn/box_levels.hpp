#pragma once

#include <vector>

#include "held_array.hpp"
#include "mirelo_types.hpp"
#include "nearby_order.hpp"

namespace mirelo {

// Boxes over runs of places of the nearby order, level by level: level 0 boxes each group of
// kSinglePanelRows rows, and each box of a level above spans kBoxLanes boxes of the level below,
// which are one chunk of it. The top level has at most kBoxLanes boxes. A box holds, over the
// first `prefix` coordinates, the range of every row it spans, scaled and rounded outwards.
struct BoxLevel {
    Eigen::Index span = 0;   // places per box
    Eigen::Index count = 0;  // boxes
    // Chunks of kBoxLanes boxes laid out for near_boxes: for each coordinate, the chunk's least
    // values, then its greatest; zeros past the last box.
    HeldArray<float> boxes;
    Vector largest_norm;     // the largest exact squared norm of each box's rows

    std::size_t memory_bytes() const;
};

// Every level over the rows in `order` (places to rows), whose exact norms in place order are
// `place_norms`; the boxes span `prefix` coordinates scaled by `factor`. Built in time linear in
// the rows once the order is known.
std::vector<BoxLevel> box_levels(const MatrixView& rows, const HeldArray<RowNumber>& order,
                                 const Vector& place_norms, Eigen::Index prefix, double factor);

// The values a level of `count` boxes over `length` coordinates holds.
std::size_t box_values(Eigen::Index count, Eigen::Index length);

// The span and count of each level box_levels gives `n` places, from level 0 up.
std::vector<BoxLevel> level_shapes(Eigen::Index n);

}  // namespace mirelo
