#include "seeds.hpp"

#include <algorithm>
#include <utility>

#include "row_distances.hpp"
#include "scan_order.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

constexpr Index kSeedRows = 32;

// Up to this K the K smallest are kept in order at the front, each later value passed down them:
// over a few dozen values that costs far less than partitioning them.
constexpr Index kFewSmallest = 16;

// The K-th smallest of `distances`, which it reorders.
double kth_smallest(std::vector<double>& distances, Index K) {
    const auto kth = distances.begin() + (K - 1);
    if (K > kFewSmallest) {
        std::nth_element(distances.begin(), kth, distances.end());
        return *kth;
    }
    std::sort(distances.begin(), kth + 1);
    for (auto value = kth + 1; value != distances.end(); ++value) {
        // Each value goes down the K smallest, leaving the smaller of each pair behind: no branch
        // on the values, whose order no predictor can guess.
        double carried = *value;
        for (auto place = distances.begin(); place != kth + 1; ++place) {
            const double smaller = std::min(*place, carried);
            carried = std::max(*place, carried);
            *place = smaller;
        }
    }
    return *kth;
}

// The place of seed row i of `count` spread evenly over n places.
Index seed_place(Index i, Index count, Index n) { return (2 * i + 1) * n / (2 * count); }

// The place of the nearest seed row, leaving the seed rows' distances in `distances`.
Index nearest_seed(const double* query, const MatrixView& rows, const ScreenStages& screen, Index K,
                   std::vector<double>& distances) {
    const Index n = rows.rows();
    const Index count = std::min(n, std::max(2 * K, std::min(kSeedRows, n / kSeedRows)));
    // Room for the nearest seed's group too, which seed() adds.
    distances.reserve(static_cast<std::size_t>(count + kSinglePanelRows));
    distances.resize(static_cast<std::size_t>(count));
    row_distances(count, rows.cols(), [&](Index i) {
        return std::pair(query, rows.row(screen.row(seed_place(i, count, n))).data());
    }, distances.data());
    Index nearest = 0;
    for (Index i = 1; i < count; ++i) {
        if (distances[static_cast<std::size_t>(i)] < distances[static_cast<std::size_t>(nearest)]) nearest = i;
    }
    return seed_place(nearest, count, n);
}

}  // namespace

Seed seed(const double* query, const MatrixView& rows, const ScreenStages& screen, Index K,
          std::vector<double>& distances) {
    const Index n = rows.rows();
    const Index nearest_place = nearest_seed(query, rows, screen, K, distances);
    // The rows of the nearest seed's group lie near it, and so are likely near the query too. The
    // bar is the K-th of them and the other seed rows together, each row counted once: a row
    // counted twice could put it below the K-th nearest.
    const Index group = nearest_place / kSinglePanelRows * kSinglePanelRows;
    const Index group_rows = std::min(kSinglePanelRows, n - group);
    const Index count = static_cast<Index>(distances.size());
    std::size_t kept = 0;
    for (Index i = 0; i < count; ++i) {
        const Index place = seed_place(i, count, n);
        if (place < group || place >= group + group_rows) distances[kept++] = distances[static_cast<std::size_t>(i)];
    }
    distances.resize(kept + static_cast<std::size_t>(group_rows));
    row_distances(group_rows, rows.cols(), [&](Index r) {
        return std::pair(query, rows.row(screen.row(group + r)).data());
    }, distances.data() + kept);
    return {kth_smallest(distances, K), origin_at(nearest_place)};
}

}  // namespace mirelo
