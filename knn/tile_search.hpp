#pragma once

#include <cstdint>
#include <memory_resource>
#include <utility>
#include <vector>

#include "mirelo_types.hpp"
#include "nearest_rows.hpp"
#include "scratch_array.hpp"
#include "screen_stages.hpp"
#include "seeds.hpp"

namespace mirelo {

// A query of a tile: where its scan starts, and the rows it keeps, in `memory`.
struct TileQuery {
    explicit TileQuery(std::pmr::memory_resource* memory) : nearest(0, memory) {}

    const double* values = nullptr;
    Eigen::Index query = 0;  // its row in the batch
    Seed seed;               // its origin is the store's size when the screen cannot take it
    double norm = 0.0;
    double prefix_error = 0.0;
    NearestRows nearest;

    // The nearer of the heap's bar, once it has one, and the seed's.
    double bar() const {
        const double heap_bar = nearest.bar();
        return heap_bar < seed.bar ? heap_bar : seed.bar;
    }
};

// Searches tiles of queries that share each block's reads. It works in buffers sized once for its
// largest tile, drawn from the call's `memory`: allocated per tile, they would be handed back to the
// system and faulted in again where the heap is trimmed eagerly (as in Dask's workers).
class TileSearch {
public:
    TileSearch(const MatrixView& rows, const ScreenStages& screen, Eigen::Index tile_size,
               std::pmr::monotonic_buffer_resource& memory);

    // Offers each query of the tile the rows that can be among its nearest, block by block; each
    // query's bar follows every row it keeps. Queries the screen cannot take come last.
    void run(TileQuery* tile, Eigen::Index count);

private:
    void offer(TileQuery& member, Eigen::Index place) const;
    // Offers each query the rows `found` holds for it.
    void offer_found(TileQuery* tile);
    // Scales and rounds the queries for the screen.
    void prepare(TileQuery* tile, Eigen::Index count);
    // Each query's widened bar and box limit for a block ending at `end` whose rows' squared norms
    // are at most `largest_norm`, for the queries that need a look before `end`.
    void bound_boxes(const TileQuery* tile, Eigen::Index count, Eigen::Index end, double largest_norm);
    // The first stage: lists the groups of the block near each query, with its second-stage limit.
    void screen_boxes(TileQuery* tile, Eigen::Index count, Eigen::Index start, Eigen::Index block);
    // Asks for the boxes of the block that starts at `start`, if any, ahead of the scan.
    void fetch_next_boxes(Eigen::Index start) const;
    // The second stage's limits for query t over rows with the norms of `block_norms`.
    void set_limits(Eigen::Index t, double query_norm, double widened, const ScreenStages::BlockNorms& block_norms);
    // A query alone in a store of at most a block: the groups near it by their boxes, those well
    // within its bar first, in two screens rather than the blocks' passes over the store.
    void search_alone(TileQuery& member);
    // Offers the query alone every row of the groups of `left` whose boxes' bounds are lowest, a
    // group at a time until it holds K rows; those groups leave `left`, whose count is returned.
    Eigen::Index offer_nearest_groups(TileQuery& member, const float* bounds, Eigen::Index* left, Eigen::Index count);
    // Screens for the query alone the `count` groups of `left` whose boxes' bounds lie within the
    // box limit of `share` of its bar, and offers it the rows that pass; the other groups stay in
    // `left`, and their count is returned.
    Eigen::Index screen_within(TileQuery& member, double share, const ScreenStages::BlockNorms& norms,
                               const float* bounds, Eigen::Index* left, Eigen::Index count);
    // The first place from `from` on that a query of the tile needs, at most `to`: the others
    // are passed over for every query.
    Eigen::Index next_needed(TileQuery* tile, Eigen::Index count, Eigen::Index from, Eigen::Index to);
    // Lists each near group with the queries it is near; returns how many groups are near any.
    Eigen::Index pair_groups(Eigen::Index count, Eigen::Index groups);
    // The rows of the block that pass the second stage, as (query, place) pairs in `found`.
    void collect(Eigen::Index count, Eigen::Index start, Eigen::Index block);

    using FloatRows = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

    const MatrixView& rows;
    const ScreenStages& screen;
    std::pmr::monotonic_buffer_resource& memory;
    // The tile's queries scaled and rounded to single precision, one row each.
    ScratchArray<float> scaled_values;
    Eigen::Map<FloatRows> scaled;
    ScratchArray<float> limits;
    ScratchArray<double> widened_bars;
    ScratchArray<float> box_limits;
    // With a checkpoint, each query's values as the codes meet them (times kCodeStep).
    ScratchArray<float> coded_values;
    Eigen::Map<FloatRows> coded;
    // With 8-bit codes, each query's codes there, whole steps of them a query, their scales and
    // offsets.
    Eigen::Index byte_length = 0;
    ScratchArray<std::int8_t> byte_queries;
    ScratchArray<float> byte_scales;
    ScratchArray<std::int32_t> byte_offsets;
    // Each query's squared norm over the screen's checkpoint, and its limit there.
    ScratchArray<double> checkpoint_norms;
    ScratchArray<float> checkpoint_limits;
    // Each query's 1-norms for the coded limits.
    ScratchArray<ScreenStages::CodedSums> coded_sums;
    // The first place each query may need to look at, in the current pass of its scan.
    ScratchArray<Eigen::Index> next;
    // The groups of the block that the first stage leaves to query t: near[t * kBlockGroups + i]
    // for i < near_count[t].
    ScratchArray<Eigen::Index> near;
    ScratchArray<Eigen::Index> near_count;
    // Each near group with the queries it is near, which share its loads.
    ScratchArray<Eigen::Index> queries_near;
    ScratchArray<Eigen::Index> near_groups;
    ScratchArray<Eigen::Index> pair_starts;
    ScratchArray<Eigen::Index> pair_queries;
    ScratchArray<std::uint8_t> candidates;
    // One group's checkpoint codes as floats, which the queries near it share.
    ScratchArray<float> converted_codes;
    // The rows of a block that each query goes on to: their exact distances are taken once all are
    // known, so that the fetches of the scattered rows overlap.
    std::pmr::vector<std::pair<Eigen::Index, Eigen::Index>> found{&memory};
    std::pmr::vector<double> found_distances{&memory};
};

}  // namespace mirelo
