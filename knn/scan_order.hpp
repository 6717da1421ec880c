#pragma once

#include <algorithm>
#include <utility>

#include "kernels.hpp"
#include "mirelo_types.hpp"

namespace mirelo {

// Places screened between two updates of a query's bar: at most as many as it has seen, so that a
// bar drawn from few rows is not used on many, and at most kRowBlock. Blocks start on a chunk of
// boxes.
constexpr Eigen::Index kBlockUnit = kBoxLanes * kSinglePanelRows;
constexpr Eigen::Index kRowBlock = 2048;
constexpr Eigen::Index kBlockGroups = kRowBlock / kSinglePanelRows;
static_assert(kRowBlock % kBlockUnit == 0 && kSinglePanelRows % kPanelRows == 0);

// The block at the start of which a search beginning at `place` starts.
inline Eigen::Index origin_at(Eigen::Index place) { return place / kBlockUnit * kBlockUnit; }

// Calls visit(start, block, to) on blocks of places [0, n), from `origin` to the end (`to` = n) and
// then from the start round to it (`to` = origin). visit returns the first place past the block
// that is to be looked at, at most `to`: the blocks before it are passed over.
template <class Visit>
void scan_from(Eigen::Index origin, Eigen::Index n, Visit&& visit) {
    using Index = Eigen::Index;
    Index seen = 0;
    for (const auto& [from, to] : {std::pair<Index, Index>{origin, n}, std::pair<Index, Index>{0, origin}}) {
        for (Index start = from; start < to;) {
            const Index block = std::min(std::clamp(seen / kBlockUnit * kBlockUnit, kBlockUnit, kRowBlock), to - start);
            const Index next = visit(start, block, to);
            seen += block;
            start = std::max(start + block, origin_at(next));
        }
    }
}

}  // namespace mirelo
