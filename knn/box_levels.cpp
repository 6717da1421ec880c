#include "box_levels.hpp"

#include <algorithm>

#include "huge_pages.hpp"
#include "kernels.hpp"
#include "next_float.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// Where the least value p of box b lies; the greatest is kBoxLanes further on.
std::size_t box_at(Index b, Index p, Index length) {
    return static_cast<std::size_t>(b / kBoxLanes * 2 * kBoxLanes * length + p * 2 * kBoxLanes + b % kBoxLanes);
}

BoxLevel empty_level(Index span, Index count, Index length) {
    BoxLevel level;
    level.span = span;
    level.count = count;
    const Index chunks = (count + kBoxLanes - 1) / kBoxLanes;
    resize_on_huge_pages(level.boxes, static_cast<std::size_t>(chunks * 2 * kBoxLanes * length));
    level.largest_norm.resize(count);
    return level;
}

// The boxes of the groups of rows in `order` over their first `length` values.
BoxLevel group_level(const RowMajorMatrix& rows, const std::vector<RowNumber>& order, const Vector& place_norms,
                     Index length, double factor) {
    const Index n = rows.rows();
    BoxLevel level = empty_level(kSinglePanelRows, (n + kSinglePanelRows - 1) / kSinglePanelRows, length);
    for (Index g = 0; g < level.count; ++g) {
        const Index first = g * kSinglePanelRows;
        const Index last = std::min(n, first + kSinglePanelRows);
        for (Index p = 0; p < length; ++p) {
            double lowest = rows(order[static_cast<std::size_t>(first)], p);
            double highest = lowest;
            for (Index place = first + 1; place < last; ++place) {
                lowest = std::min(lowest, rows(order[static_cast<std::size_t>(place)], p));
                highest = std::max(highest, rows(order[static_cast<std::size_t>(place)], p));
            }
            level.boxes[box_at(g, p, length)] = float_at_most(lowest * factor);
            level.boxes[box_at(g, p, length) + kBoxLanes] = float_at_least(highest * factor);
        }
        level.largest_norm[g] = place_norms.segment(first, last - first).maxCoeff();
    }
    return level;
}

// The level whose boxes each span one chunk of `below`: already rounded outwards, its ranges are
// the chunk's own least and greatest values.
BoxLevel level_above(const BoxLevel& below, Index length) {
    BoxLevel level = empty_level(below.span * kBoxLanes, (below.count + kBoxLanes - 1) / kBoxLanes, length);
    for (Index b = 0; b < level.count; ++b) {
        const Index children = std::min(kBoxLanes, below.count - b * kBoxLanes);
        for (Index p = 0; p < length; ++p) {
            const float* chunk = below.boxes.data() + box_at(b * kBoxLanes, p, length);
            level.boxes[box_at(b, p, length)] = *std::min_element(chunk, chunk + children);
            level.boxes[box_at(b, p, length) + kBoxLanes] = *std::max_element(chunk + kBoxLanes, chunk + kBoxLanes + children);
        }
        level.largest_norm[b] = below.largest_norm.segment(b * kBoxLanes, children).maxCoeff();
    }
    return level;
}

}  // namespace

std::size_t BoxLevel::memory_bytes() const {
    return boxes.capacity() * sizeof(float) + static_cast<std::size_t>(largest_norm.size()) * sizeof(double);
}

std::vector<BoxLevel> box_levels(const RowMajorMatrix& rows, const std::vector<RowNumber>& order, const Vector& place_norms,
                                 Index prefix, double factor) {
    std::vector<BoxLevel> levels;
    levels.push_back(group_level(rows, order, place_norms, prefix, factor));
    while (levels.back().count > kBoxLanes) levels.push_back(level_above(levels.back(), prefix));
    return levels;
}

}  // namespace mirelo
