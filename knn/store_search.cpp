#include "store_search.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cmath>
#include <limits>
#include <memory_resource>
#include <numeric>
#include <stdexcept>
#include <string>

#include "kernels.hpp"
#include "scan_order.hpp"
#include "seeds.hpp"
#include "tile_search.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// Queries that share each block's reads, and the candidates their lists may hold together: a
// large k gets fewer queries per tile.
constexpr Index kQueryTile = 64;
constexpr Index kTileCandidates = Index{1} << 16;
// A call's working memory on the stack: enough for a query alone in all but wide stores, whose
// call is short enough for each allocation to show. Larger calls take the rest from the heap.
constexpr std::size_t kCallBytes = 8192;

// Whether the screen can take the query: its values are within the single-precision range.
bool screened(const ScreenStages& screen, const double* query, Index length) {
    const Eigen::Map<const Eigen::RowVectorXd> values(query, length);
    return !screen.empty() &&
           ((values * screen.scaled(1.0)).array().abs() <= kSinglePrecisionLimit).all();  // false for NaN
}

// The seed of a query the screen cannot take: the store's size as its origin.
Seed unscreened_seed(const MatrixView& rows) { return {0.0, rows.rows()}; }

// The queries in the order of where their scans start; those the screen cannot take come last.
std::pmr::vector<Index> by_origin(const Seed* seeds, Index queries, std::pmr::memory_resource& memory) {
    std::pmr::vector<Index> order(static_cast<std::size_t>(queries), &memory);
    std::iota(order.begin(), order.end(), Index{0});
    if (queries > 1) {
        std::stable_sort(order.begin(), order.end(),
                         [&](Index a, Index b) { return seeds[a].origin < seeds[b].origin; });
    }
    return order;
}

}  // namespace

void require_query_length(const Eigen::Ref<const RowMajorMatrix>& Z, Index length) {
    if (Z.cols() != length) {
        throw std::invalid_argument("expected a query of length " + std::to_string(length) + ", got length " +
                                    std::to_string(Z.cols()));
    }
}

void search_store(const MatrixView& rows, const ScreenStages& screen, const Eigen::Ref<const RowMajorMatrix>& Z,
                  Index K, const SearchDone& done, const Seed* seeds) {
    const Index m = rows.cols();
    const Index queries = Z.rows();
    require_query_length(Z, m);
    // Queries whose scans start in the same place share tiles, so that the rows of each block are
    // read once for all of them and the first blocks are near each.
    std::array<std::byte, kCallBytes> local;
    std::pmr::monotonic_buffer_resource memory(local.data(), local.size());
    std::pmr::vector<Seed> found_seeds(&memory);
    if (seeds == nullptr) {
        found_seeds.resize(static_cast<std::size_t>(queries));
        if (queries == 1 && rows.rows() <= kRowBlock) {
            // A query alone in a store of one block takes its first bar from the groups its boxes
            // put nearest, which is closer than rows spread over the store give: no bar until then.
            found_seeds[0] = screened(screen, Z.row(0).data(), rows.cols())
                                 ? Seed{std::numeric_limits<double>::infinity(), 0}
                                 : unscreened_seed(rows);
        } else {
            search_seeds(rows, screen, Z, K, found_seeds.data());
        }
        seeds = found_seeds.data();
    }
    const std::pmr::vector<Index> order = by_origin(seeds, queries, memory);
    const Index tile_size = std::max<Index>(1, std::min(kQueryTile, kTileCandidates / K));
    const Index members = std::min(queries, tile_size);
    // The queries' nearest rows are drawn from the call's memory too.
    std::pmr::vector<TileQuery> tile(&memory);
    tile.reserve(static_cast<std::size_t>(members));
    while (static_cast<Index>(tile.size()) < members) tile.emplace_back(&memory);
    TileSearch tiles(rows, screen, members, memory);
    for (Index first = 0; first < queries; first += tile_size) {
        const Index count = std::min(tile_size, queries - first);
        for (Index t = 0; t < count; ++t) {
            TileQuery& member = tile[static_cast<std::size_t>(t)];
            member.query = order[static_cast<std::size_t>(first + t)];
            member.values = Z.row(member.query).data();
            member.seed = seeds[member.query];
            member.norm = squared_norm(member.values, m);
            member.nearest.reset(K);
        }
        tiles.run(tile.data(), count);
        for (Index t = 0; t < count; ++t) {
            done(tile[static_cast<std::size_t>(t)].query, tile[static_cast<std::size_t>(t)].nearest.rows());
        }
    }
}

void search_seeds(const MatrixView& rows, const ScreenStages& screen, const Eigen::Ref<const RowMajorMatrix>& Z,
                  Index K, Seed* seeds) {
    require_query_length(Z, rows.cols());
    std::vector<double> distances;
    for (Index q = 0; q < Z.rows(); ++q) {
        const double* query = Z.row(q).data();
        seeds[q] = screened(screen, query, Z.cols()) ? seed(query, rows, screen, K, distances) : unscreened_seed(rows);
    }
}

}  // namespace mirelo
