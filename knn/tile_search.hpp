#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "mirelo_types.hpp"
#include "nearest_rows.hpp"
#include "screen_stages.hpp"
#include "seeds.hpp"

namespace mirelo {

// A query of a tile: where its scan starts, and the rows it keeps.
struct TileQuery {
    const double* values = nullptr;
    Eigen::Index query = 0;  // its row in the batch
    Seed seed;               // its origin is the store's size when the screen cannot take it
    double norm = 0.0;
    double prefix_error = 0.0;
    NearestRows nearest{0};

    // The nearer of the heap's bar, once it has one, and the seed's.
    double bar() const {
        const double heap_bar = nearest.bar();
        return heap_bar < seed.bar ? heap_bar : seed.bar;
    }
};

// Searches tiles of queries that share each block's reads. It works in buffers sized once for its
// largest tile: allocated per tile, they would be handed back to the system and faulted in again
// where the heap is trimmed eagerly (as in Dask's workers).
class TileSearch {
public:
    TileSearch(const RowMajorMatrix& rows, const ScreenStages& screen, Eigen::Index tile_size);

    // Offers each query of the tile the rows that can be among its nearest, block by block; each
    // query's bar follows every row it keeps. Queries the screen cannot take come last.
    void run(TileQuery* tile, Eigen::Index count);

private:
    void offer(TileQuery& member, Eigen::Index place) const;
    // Offers each query the rows `found` holds for it.
    void offer_found(TileQuery* tile);
    // Scales and rounds the queries for the screen.
    void prepare(TileQuery* tile, Eigen::Index count);
    // The first stage: lists the groups of the block near each query, with its second-stage limit.
    void screen_boxes(TileQuery* tile, Eigen::Index count, Eigen::Index start, Eigen::Index block);
    // The first place from `from` on that a query of the tile needs, at most `to`: the others
    // are passed over for every query.
    Eigen::Index next_needed(TileQuery* tile, Eigen::Index count, Eigen::Index from, Eigen::Index to);
    // Lists each near group with the queries it is near; returns how many groups are near any.
    Eigen::Index pair_groups(Eigen::Index count, Eigen::Index groups);
    // The rows of the block that pass the second stage, as (query, place) pairs in `found`.
    void collect(Eigen::Index count, Eigen::Index start, Eigen::Index block);

    const RowMajorMatrix& rows;
    const ScreenStages& screen;
    // The tile's queries scaled and rounded to single precision, one row each.
    Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> scaled;
    std::vector<float> limits;
    // Each query's values over the checkpoint as the codes meet them (times kCodeStep), and
    // their 1-norm.
    Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> coded;
    std::vector<double> coded_sums;
    // Each query's squared norm over the screen's checkpoint, and its limit there.
    std::vector<double> checkpoint_norms;
    std::vector<float> checkpoint_limits;
    // The first place each query may need to look at, in the current pass of its scan.
    std::vector<Eigen::Index> next;
    // The groups of the block that the first stage leaves to query t: near[t * kBlockGroups + i]
    // for i < near_count[t].
    std::vector<Eigen::Index> near;
    std::vector<Eigen::Index> near_count;
    // Each near group with the queries it is near, which share its loads.
    std::vector<Eigen::Index> queries_near;
    std::vector<Eigen::Index> near_groups;
    std::vector<Eigen::Index> pair_starts;
    std::vector<Eigen::Index> pair_queries;
    std::vector<std::uint8_t> candidates;
    // One group's checkpoint codes as floats, which the queries near it share.
    std::vector<float> converted_codes;
    // The rows of a block that each query goes on to: their exact distances are taken once all are
    // known, so that the fetches of the scattered rows overlap.
    std::vector<std::pair<Eigen::Index, Eigen::Index>> found;
    std::vector<double> found_distances;
};

}  // namespace mirelo
