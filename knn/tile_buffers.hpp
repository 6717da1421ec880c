#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "mirelo_types.hpp"

namespace mirelo {

// The working memory of a tile search, allocated once per call for its largest tile.
struct TileBuffers {
    // Sizes every buffer for tiles of up to `tile_size` queries of `width` values.
    void size_for(Eigen::Index tile_size, Eigen::Index width);

    // The tile's queries scaled and rounded to single precision, one row each.
    Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> scaled;
    std::vector<float> limits;
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
    // The rows of a block that each query goes on to: their exact distances are taken once all are
    // known, so that the fetches of the scattered rows overlap.
    std::vector<std::pair<Eigen::Index, Eigen::Index>> found;
    std::vector<double> found_distances;
};

}  // namespace mirelo
