#include "tile_search.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "box_descent.hpp"
#include "fetch_row.hpp"
#include "kernels.hpp"
#include "row_distances.hpp"
#include "scan_order.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// A query alone in a store of one block first screens the groups whose boxes lie within this
// share of its seed's bar: in small stores those groups hold most of its nearest rows, so the
// bar they leave passes over much of the rest.
constexpr double kFirstShare = 0.02;

template <class Values>
auto& at(Values& values, Index i) {
    return values[static_cast<std::size_t>(i)];
}

}  // namespace

TileSearch::TileSearch(const MatrixView& rows, const ScreenStages& screen, Index tile_size,
                       std::pmr::monotonic_buffer_resource& memory)
    : rows(rows), screen(screen), memory(memory),
      scaled_values(memory, tile_size * rows.cols()),
      scaled(scaled_values.data(), tile_size, rows.cols()),
      limits(memory, tile_size),
      widened_bars(memory, tile_size),
      box_limits(memory, tile_size),
      coded_values(memory, tile_size * (screen.checkpoint > 0 ? rows.cols() : 0)),
      coded(coded_values.data(), tile_size, screen.checkpoint > 0 ? rows.cols() : 0),
      byte_length(screen.coarse_steps.empty() ? 0 : (screen.checkpoint + kByteLane - 1) / kByteLane * kByteLane),
      byte_queries(memory, tile_size * byte_length),
      byte_scales(memory, byte_length > 0 ? tile_size : 0),
      byte_offsets(memory, byte_length > 0 ? tile_size : 0),
      checkpoint_norms(memory, tile_size),
      checkpoint_limits(memory, tile_size),
      coded_sums(memory, tile_size),
      next(memory, tile_size),
      near(memory, tile_size * kBlockGroups),
      near_count(memory, tile_size),
      // A query alone has no pairs to list.
      queries_near(memory, tile_size > 1 ? kBlockGroups : 0),
      near_groups(memory, tile_size > 1 ? kBlockGroups : 0),
      pair_starts(memory, tile_size > 1 ? kBlockGroups + 1 : 0),
      pair_queries(memory, tile_size > 1 ? tile_size * kBlockGroups : 0),
      candidates(memory, tile_size * kRowBlock / kPanelRows),
      converted_codes(memory, tile_size > 1 && byte_length == 0 ? kSinglePanelRows * screen.checkpoint : 0) {
    // Room for a group's rows per query, so that a block's few found rows do not grow them.
    found.reserve(static_cast<std::size_t>(tile_size * kSinglePanelRows));
    found_distances.reserve(found.capacity());
}

void TileSearch::offer(TileQuery& member, Index place) const {
    const Index row = screen.row(place);
    member.nearest.offer(squared_distance(member.values, rows.row(row).data(), rows.cols()), row);
}

void TileSearch::offer_found(TileQuery* tile) {
    found_distances.resize(found.size());
    row_distances(static_cast<Index>(found.size()), rows.cols(), [&](Index i) {
        const auto& [t, place] = at(found, i);
        return std::pair(tile[t].values, rows.row(screen.row(place)).data());
    }, found_distances.data());
    // The screen takes only queries of finite values over stores of finite rows: every distance
    // here is a number (+inf at most), and so is every one in the heaps.
    for (std::size_t i = 0; i < found.size(); ++i) {
        tile[found[i].first].nearest.offer_number(found_distances[i], screen.row(found[i].second));
    }
}

void TileSearch::run(TileQuery* tile, Index count) {
    const Index n = rows.rows();
    // The queries the screen cannot take come last: each is searched whole.
    while (count > 0 && tile[count - 1].seed.origin == n) {
        --count;
        for (Index place = 0; place < n; ++place) offer(tile[count], place);
    }
    if (count == 0) {
        return;
    }
    prepare(tile, count);
    if (count == 1 && n <= kRowBlock) {
        search_alone(tile[0]);
        return;
    }
    Index pass_end = -1;
    scan_from(tile[count / 2].seed.origin, n, [&](Index start, Index block, Index to) {
        if (to != pass_end) {
            std::fill_n(next.begin(), count, start);
            pass_end = to;
        }
        screen_boxes(tile, count, start, block);
        collect(count, start, block);
        offer_found(tile);
        return next_needed(tile, count, start + block, to);
    });
}

void TileSearch::prepare(TileQuery* tile, Index count) {
    const Index m = rows.cols();
    for (Index t = 0; t < count; ++t) {
        scaled.row(t) =
            (Eigen::Map<const Eigen::RowVectorXd>(tile[t].values, m) * screen.scaled(1.0)).cast<float>();
        tile[t].prefix_error = screen.prefix_error(tile[t].values, scaled.row(t).data());
        // Multiplying by a power of two is exact in the float range.
        coded.row(t) = scaled.row(t).head(coded.cols()) * static_cast<float>(kCodeStep);
        at(checkpoint_norms, t) = squared_norm(tile[t].values, screen.checkpoint);
        double byte_error = 0.0;
        if (byte_length > 0) {
            const ByteQuery codes = screen.code_query(scaled.row(t).data(), byte_queries.data() + t * byte_length);
            at(byte_scales, t) = codes.scale;
            at(byte_offsets, t) = codes.offset;
            byte_error = codes.error;
        }
        if (screen.checkpoint > 0) at(coded_sums, t) = screen.coded_sums(scaled.row(t).data(), byte_error);
    }
}

void TileSearch::bound_boxes(const TileQuery* tile, Index count, Index end, double largest_norm) {
    // A row can displace the K-th only if its squared distance is below the bar; each stage
    // lets through every row whose bound lies within its rounding of that. Worked out for all the
    // queries before any box is read, so that their square roots overlap.
    for (Index t = 0; t < count; ++t) {
        if (at(next, t) >= end) continue;
        at(widened_bars, t) = widened_bar(tile[t].bar(), tile[t].norm, largest_norm, rows.cols());
        at(box_limits, t) = screen.box_limit(at(widened_bars, t), tile[t].prefix_error);
    }
}

void TileSearch::screen_boxes(TileQuery* tile, Index count, Index start, Index block) {
    // Who is near each group is counted only for the pairs of several queries.
    const bool paired = count > 1;
    const ScreenStages::BlockNorms block_norms =
        screen.block_norms(start, block, screen.checkpoint_codes());
    const Index groups = (block + kSinglePanelRows - 1) / kSinglePanelRows;
    const Index chunk_size = 2 * kBoxLanes * screen.prefix;
    if (paired) std::fill_n(queries_near.begin(), groups, Index{0});
    fetch_next_boxes(start + block);
    bound_boxes(tile, count, start + block, block_norms.largest);
    for (Index t = 0; t < count; ++t) {
        const TileQuery& member = tile[t];
        at(near_count, t) = 0;
        if (at(next, t) >= start + block) continue;
        const double widened = at(widened_bars, t);
        Index* listed = near.data() + t * kBlockGroups;
        const Index kept =
            near_boxes({scaled.row(t).data(), screen.levels.front().boxes.data() + start / kBlockUnit * chunk_size,
                        groups, screen.prefix, at(box_limits, t), listed});
        at(near_count, t) = kept;
        if (kept == 0) continue;  // the second stage's limits are read only for the groups listed
        set_limits(t, member.norm, widened, block_norms);
        for (Index i = 0; paired && i < kept; ++i) ++at(queries_near, listed[i]);
    }
}

void TileSearch::fetch_next_boxes(Index start) const {
    // Scans go on to the next block more often than not, and at a large store its boxes are far
    // from the cache; the hardware fetches only within a page, and a block's boxes span several.
    const Index n = rows.rows();
    if (start >= n) return;
    const Index groups = (std::min(kRowBlock, n - start) + kSinglePanelRows - 1) / kSinglePanelRows;
    const Index chunk_size = 2 * kBoxLanes * screen.prefix;
    fetch_values<2>(screen.levels.front().boxes.data() + start / kBlockUnit * chunk_size,
                    (groups + kBoxLanes - 1) / kBoxLanes * chunk_size);
}

void TileSearch::set_limits(Index t, double query_norm, double widened, const ScreenStages::BlockNorms& block_norms) {
    at(limits, t) = screen.limit(widened, query_norm, block_norms, at(coded_sums, t));
    if (screen.checkpoint > 0) {
        at(checkpoint_limits, t) =
            screen.checkpoint_limit(widened, at(checkpoint_norms, t), block_norms, at(coded_sums, t));
    }
}

void TileSearch::search_alone(TileQuery& member) {
    const Index n = rows.rows();
    const ScreenStages::BlockNorms norms = screen.block_norms(0, n, screen.checkpoint_codes());
    // Every group that can hold a row within the seed's bar, and the bound of each group's box.
    std::array<Index, kBlockGroups> left;
    std::array<float, kBlockGroups> bounds;
    const double widened = widened_bar(member.bar(), member.norm, norms.largest, rows.cols());
    const Index count = near_boxes({scaled.row(0).data(), screen.levels.front().boxes.data(),
                                    (n + kSinglePanelRows - 1) / kSinglePanelRows, screen.prefix,
                                    screen.box_limit(widened, member.prefix_error), left.data(), bounds.data()});
    // The rows of the groups whose boxes lie nearest give the first bar, close to the final one;
    // then the groups whose boxes lie well within it go first, bringing the bar down near its
    // end, so that the rest are screened against that. Which go first changes the speed, never an
    // answer.
    Index rest = offer_nearest_groups(member, bounds.data(), left.data(), count);
    rest = screen_within(member, kFirstShare, norms, bounds.data(), left.data(), rest);
    screen_within(member, 1.0, norms, bounds.data(), left.data(), rest);
}

Index TileSearch::offer_nearest_groups(TileQuery& member, const float* bounds, Index* left, Index count) {
    const Index n = rows.rows();
    // The heap's bar is NaN until it holds K rows.
    while (count > 0 && std::isnan(member.nearest.bar())) {
        Index* const nearest = std::min_element(left, left + count, [&](Index a, Index b) { return bounds[a] < bounds[b]; });
        const Index start = *nearest * kSinglePanelRows;
        // Each row goes to the heap once: its group leaves the list the screens go through.
        std::copy(nearest + 1, left + count, nearest);
        --count;
        found.clear();
        for (Index place = start; place < std::min(n, start + kSinglePanelRows); ++place) found.emplace_back(0, place);
        offer_found(&member);
    }
    return count;
}

Index TileSearch::screen_within(TileQuery& member, double share, const ScreenStages::BlockNorms& norms,
                                const float* bounds, Index* left, Index count) {
    const double widened = widened_bar(member.bar(), member.norm, norms.largest, rows.cols());
    const float limit = screen.box_limit(share * widened, member.prefix_error);
    Index kept = 0, still = 0;
    for (Index i = 0; i < count; ++i) {
        // Without a branch on the bounds, whose order no predictor can guess.
        const Index g = left[i];
        const bool within = bounds[g] <= limit;
        at(near, kept) = g;
        left[still] = g;
        kept += within;
        still += !within;
    }
    if (kept > 0) {
        at(near_count, 0) = kept;
        set_limits(0, member.norm, widened, norms);
        collect(1, 0, rows.rows());
        offer_found(&member);
    }
    return still;
}

Index TileSearch::next_needed(TileQuery* tile, Index count, Index from, Index to) {
    // A query that kept a group in the block is likely to keep one in the next block too; one
    // that kept none learns where it next needs a look. One that passed over the block knows.
    Index needed = to;
    for (Index t = 0; t < count; ++t) {
        if (at(near_count, t) > 0) {
            at(next, t) = from;
        } else if (at(next, t) < from) {
            const TileQuery& member = tile[t];
            at(next, t) =
                next_near(screen, {scaled.row(t).data(), member.norm, member.prefix_error, member.bar()}, from, to);
        }
        needed = std::min(needed, at(next, t));
    }
    return needed;
}

Index TileSearch::pair_groups(Index count, Index groups) {
    Index near_total = 0, pairs = 0;
    for (Index g = 0; g < groups; ++g) {
        if (at(queries_near, g) == 0) continue;
        at(near_groups, near_total) = g;
        at(pair_starts, near_total++) = pairs;
        const Index queries = at(queries_near, g);
        at(queries_near, g) = pairs;  // from here on, where group g's next query goes
        pairs += queries;
    }
    at(pair_starts, near_total) = pairs;
    for (Index t = 0; t < count; ++t) {
        for (Index i = 0; i < at(near_count, t); ++i) {
            at(pair_queries, at(queries_near, at(near, t * kBlockGroups + i))++) = t;
        }
    }
    return near_total;
}

void TileSearch::collect(Index count, Index start, Index block) {
    const Index m = rows.cols();
    const Index groups = (block + kSinglePanelRows - 1) / kSinglePanelRows;
    const Index flag_groups = (block + kPanelRows - 1) / kPanelRows;
    // A query alone needs no lists of who is near each group: its own list is the groups.
    const bool alone = count == 1;
    const Index near_total = alone ? at(near_count, 0) : pair_groups(count, groups);
    const Index head = screen.checkpoint == 0 ? m : screen.checkpoint;
    const bool coded_head = screen.checkpoint > 0;
    screen_single({scaled.data(), count, limits.data(), coded_head ? nullptr : screen.rows.data() + start * m,
                   screen.norms.data() + start,
                   block, m, candidates.data(), alone ? near.data() : near_groups.data(), near_total,
                   alone ? nullptr : pair_starts.data(),
                   alone ? nullptr : pair_queries.data(), screen.checkpoint,
                   screen.checkpoint == 0 ? nullptr : screen.checkpoint_norms.data() + start, checkpoint_limits.data(),
                   screen.tails.data() + start * (m - head), coded_head ? screen.codes.data() + start * head : nullptr, coded.data(),
                   byte_length == 0 ? nullptr : screen.coarse_codes.data() + packed_bytes_size(start, head),
                   byte_queries.data(), byte_scales.data(), byte_offsets.data(),
                   alone || byte_length > 0 ? nullptr : converted_codes.data()});
    // Only the near groups' flags were written.
    found.clear();
    for (Index t = 0; t < count; ++t) {
        const std::uint8_t* flags = candidates.data() + t * flag_groups;
        for (Index i = 0; i < at(near_count, t); ++i) {
            const Index g = at(near, t * kBlockGroups + i);
            unsigned bits = flags[2 * g] | (2 * g + 1 < flag_groups ? unsigned{flags[2 * g + 1]} << 8 : 0u);
            for (; bits != 0; bits &= bits - 1) {
                const Index place = start + g * kSinglePanelRows + __builtin_ctz(bits);
                fetch_row(rows.row(screen.row(place)).data(), m);
                found.emplace_back(t, place);
            }
        }
    }
}

}  // namespace mirelo
