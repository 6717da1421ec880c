#include "box_descent.hpp"

#include <algorithm>

#include "kernels.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// next_near within chunk `chunk` of `level`, whose boxes together span rows with squared norms at
// most `largest`.
Index first_near(const ScreenStages& screen, const BoxQuery& query, std::size_t level, Index chunk, double largest,
                 Index from, Index to) {
    const BoxLevel& boxes = screen.levels[level];
    const Index first_box = chunk * kBoxLanes;
    const float limit = screen.box_limit(widened_bar(query.bar, query.norm, largest, screen.width), query.prefix_error);
    Index kept[kBoxLanes];
    const Index count = near_boxes({query.scaled, boxes.boxes.data() + chunk * 2 * kBoxLanes * screen.prefix,
                                    std::min(kBoxLanes, boxes.count - first_box), screen.prefix, limit, kept});
    for (Index i = 0; i < count; ++i) {
        const Index box = first_box + kept[i];
        if ((box + 1) * boxes.span <= from) continue;
        if (box * boxes.span >= to) break;
        const Index found =
            level == 0 ? box * boxes.span
                       : first_near(screen, query, level - 1, box, boxes.largest_norm[box], from, to);
        if (found < to) return found;
    }
    return to;
}

}  // namespace

Index next_near(const ScreenStages& screen, const BoxQuery& query, Index from, Index to) {
    const std::size_t top = screen.levels.size() - 1;
    return first_near(screen, query, top, 0, screen.levels[top].largest_norm.maxCoeff(), from, to);
}

}  // namespace mirelo
