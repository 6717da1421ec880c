#include "seeds.hpp"

#include <algorithm>
#include <limits>

#include "kernels.hpp"
#include "scan_order.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

constexpr Index kSeedRows = 32;

// The K-th smallest of `distances`, which it reorders.
double kth_smallest(std::vector<double>& distances, Index K) {
    std::nth_element(distances.begin(), distances.begin() + (K - 1), distances.end());
    return distances[static_cast<std::size_t>(K - 1)];
}

// The K-th smallest distance from the query to the rows of the group around `place`, or infinity
// when the group holds fewer than K rows.
double group_bar(const double* query, const RowMajorMatrix& rows, const ScreenStages& screen, Index place, Index K,
                 std::vector<double>& distances) {
    const Index group = place / kSinglePanelRows * kSinglePanelRows;
    const Index group_rows = std::min(kSinglePanelRows, rows.rows() - group);
    if (group_rows < K) {
        return std::numeric_limits<double>::infinity();
    }
    distances.resize(static_cast<std::size_t>(group_rows));
    for (Index r = 0; r < group_rows; ++r) {
        distances[static_cast<std::size_t>(r)] =
            squared_distance(query, rows.row(screen.row(group + r)).data(), rows.cols());
    }
    return kth_smallest(distances, K);
}

}  // namespace

Index nearest_seed(const double* query, const RowMajorMatrix& rows, const ScreenStages& screen, Index K,
                   std::vector<double>& distances) {
    const Index n = rows.rows();
    const Index count = std::min(n, std::max(2 * K, std::min(kSeedRows, n / kSeedRows)));
    distances.resize(static_cast<std::size_t>(count));
    Index nearest = 0;
    for (Index i = 0; i < count; ++i) {
        const Index row = screen.row((2 * i + 1) * n / (2 * count));
        distances[static_cast<std::size_t>(i)] = squared_distance(query, rows.row(row).data(), rows.cols());
        if (distances[static_cast<std::size_t>(i)] < distances[static_cast<std::size_t>(nearest)]) nearest = i;
    }
    return (2 * nearest + 1) * n / (2 * count);
}

Seed seed(const double* query, const RowMajorMatrix& rows, const ScreenStages& screen, Index K,
          std::vector<double>& distances) {
    const Index nearest_place = nearest_seed(query, rows, screen, K, distances);
    const double bar = kth_smallest(distances, K);
    // The rows of the nearest seed's group lie near it, and so are likely near the query too.
    return {std::min(bar, group_bar(query, rows, screen, nearest_place, K, distances)), origin_at(nearest_place)};
}

}  // namespace mirelo
