#include "nearby_order.hpp"

#include <algorithm>
#include <utility>

#include "kernels.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// Coordinates that the order below looks at: the leading ones carry most of every distance.
constexpr Index kOrderCoordinates = 32;

}  // namespace

std::vector<RowNumber> nearby_order(const RowMajorMatrix& rows) {
    const Index n = rows.rows();
    const Index looked_at = std::min(rows.cols(), kOrderCoordinates);
    std::vector<RowNumber> order(static_cast<std::size_t>(n));
    for (Index i = 0; i < n; ++i) order[static_cast<std::size_t>(i)] = static_cast<RowNumber>(i);
    std::vector<std::pair<Index, Index>> spans{{0, n}};  // first place, count
    std::vector<std::pair<double, RowNumber>> keyed;     // a span's values on its widest coordinate
    keyed.reserve(static_cast<std::size_t>(n));           // once, not grown through copies left behind
    Eigen::RowVectorXd lowest(looked_at), highest(looked_at);
    while (!spans.empty()) {
        const auto [first, count] = spans.back();
        spans.pop_back();
        if (count <= kSinglePanelRows) continue;
        const auto begin = order.begin() + first;
        lowest = highest = rows.row(*begin).head(looked_at);
        for (auto it = begin + 1; it != begin + count; ++it) {
            lowest = lowest.cwiseMin(rows.row(*it).head(looked_at));
            highest = highest.cwiseMax(rows.row(*it).head(looked_at));
        }
        Index widest = 0;
        (highest - lowest).maxCoeff(&widest);
        keyed.clear();
        for (auto it = begin; it != begin + count; ++it) keyed.emplace_back(rows(*it, widest), *it);
        const Index half = std::max(kSinglePanelRows, count / 2 / kSinglePanelRows * kSinglePanelRows);
        std::nth_element(keyed.begin(), keyed.begin() + half, keyed.end());
        for (Index i = 0; i < count; ++i) begin[i] = keyed[static_cast<std::size_t>(i)].second;
        spans.emplace_back(first, half);
        spans.emplace_back(first + half, count - half);
    }
    return order;
}

}  // namespace mirelo
