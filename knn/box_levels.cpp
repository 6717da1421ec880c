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

BoxLevel empty_level(Index span, Index count) {
    BoxLevel level;
    level.span = span;
    level.count = count;
    level.largest_norm.resize(count);
    return level;
}

// Room for a level's boxes, advised for huge pages before it is written.
AlignedVector<float> box_room(Index count, Index length) {
    AlignedVector<float> boxes;
    resize_on_huge_pages(boxes, box_values(count, length));
    return boxes;
}

// The boxes of the groups of rows in `order` over their first `length` values.
BoxLevel group_level(const MatrixView& rows, const HeldArray<RowNumber>& order, const Vector& place_norms,
                     Index length, double factor) {
    const Index n = rows.rows();
    BoxLevel level = empty_level(kSinglePanelRows, (n + kSinglePanelRows - 1) / kSinglePanelRows);
    AlignedVector<float> boxes = box_room(level.count, length);
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
            boxes[box_at(g, p, length)] = float_at_most(lowest * factor);
            boxes[box_at(g, p, length) + kBoxLanes] = float_at_least(highest * factor);
        }
        level.largest_norm[g] = place_norms.segment(first, last - first).maxCoeff();
    }
    level.boxes = HeldArray<float>::owning(std::move(boxes));
    return level;
}

// The level whose boxes each span one chunk of `below`: already rounded outwards, its ranges are
// the chunk's own least and greatest values.
BoxLevel level_above(const BoxLevel& below, Index length) {
    BoxLevel level = empty_level(below.span * kBoxLanes, (below.count + kBoxLanes - 1) / kBoxLanes);
    AlignedVector<float> boxes = box_room(level.count, length);
    for (Index b = 0; b < level.count; ++b) {
        const Index children = std::min(kBoxLanes, below.count - b * kBoxLanes);
        for (Index p = 0; p < length; ++p) {
            const float* chunk = below.boxes.data() + box_at(b * kBoxLanes, p, length);
            boxes[box_at(b, p, length)] = *std::min_element(chunk, chunk + children);
            boxes[box_at(b, p, length) + kBoxLanes] = *std::max_element(chunk + kBoxLanes, chunk + kBoxLanes + children);
        }
        level.largest_norm[b] = below.largest_norm.segment(b * kBoxLanes, children).maxCoeff();
    }
    level.boxes = HeldArray<float>::owning(std::move(boxes));
    return level;
}

}  // namespace

std::size_t box_values(Index count, Index length) {
    const Index chunks = (count + kBoxLanes - 1) / kBoxLanes;
    return static_cast<std::size_t>(chunks * 2 * kBoxLanes * length);
}

std::vector<BoxLevel> level_shapes(Index n) {
    std::vector<BoxLevel> levels{empty_level(kSinglePanelRows, (n + kSinglePanelRows - 1) / kSinglePanelRows)};
    while (levels.back().count > kBoxLanes) {
        const BoxLevel& below = levels.back();
        levels.push_back(empty_level(below.span * kBoxLanes, (below.count + kBoxLanes - 1) / kBoxLanes));
    }
    return levels;
}

std::size_t BoxLevel::memory_bytes() const {
    return boxes.size() * sizeof(float) + static_cast<std::size_t>(largest_norm.size()) * sizeof(double);
}

std::vector<BoxLevel> box_levels(const MatrixView& rows, const HeldArray<RowNumber>& order, const Vector& place_norms,
                                 Index prefix, double factor) {
    std::vector<BoxLevel> levels;
    levels.push_back(group_level(rows, order, place_norms, prefix, factor));
    while (levels.back().count > kBoxLanes) levels.push_back(level_above(levels.back(), prefix));
    return levels;
}

}  // namespace mirelo
