#include "knn_classifier.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kernels.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// Places screened between two updates of a query's bar: at most as many as it has seen, so that a
// bar drawn from few rows is not used on many, and at most kRowBlock. Blocks start on a chunk of
// boxes.
constexpr Index kBlockUnit = kBoxLanes * kSinglePanelRows;
constexpr Index kRowBlock = 2048;
constexpr Index kBlockGroups = kRowBlock / kSinglePanelRows;
// Queries that share each block's reads, and the candidates their lists may hold together: a
// large k gets fewer queries per tile.
constexpr Index kQueryTile = 64;
constexpr Index kTileCandidates = Index{1} << 16;
static_assert(kRowBlock % kBlockUnit == 0 && kSinglePanelRows % kPanelRows == 0);

// NaN distances rank after every number; equal distances go to the lower row.
bool nearer(const Neighbour& a, const Neighbour& b) {
    if (std::isnan(a.distance) != std::isnan(b.distance)) {
        return std::isnan(b.distance);
    }
    if (a.distance != b.distance && !std::isnan(a.distance)) {
        return a.distance < b.distance;
    }
    return a.row < b.row;
}

// Bounds how far the squared distance of a pair can lie from the screen's norm-based formula,
// the rounding of both included: each is a few chains of `length` operations, each step erring by
// at most an epsilon of |q|^2 + |x|^2; the absolute term covers values near the subnormal range.
double rounding_bound(double query_norm, double row_norm, Index length) {
    const double steps = 4.0 * static_cast<double>(length + 4);
    return steps * std::numeric_limits<double>::epsilon() * (query_norm + row_norm) +
           steps * std::numeric_limits<double>::denorm_min();
}

// The bar widened by the rounding of the exact distances: a row whose formula value lies above it
// cannot displace the K-th.
double widened_bar(double bar, double query_norm, double largest_norm, Index length) {
    return std::nextafter(bar + rounding_bound(query_norm, largest_norm, length),
                          std::numeric_limits<double>::infinity());
}

}  // namespace

// What a query learns from a few rows spread evenly over the screen's places before its scan:
// the order there keeps near rows together, so these come from every part of the store. The
// K-th nearest of any rows is no nearer than the K-th of all, so their bar holds from the start;
// the scan starts where the nearest of them lies, among the rows most likely to be nearest.
struct Seed {
    double bar = 0.0;
    Index origin = 0;  // a multiple of kBlockUnit
};

namespace {

constexpr Index kSeedRows = 32;

// The K-th smallest of `distances`, which it reorders.
double kth_smallest(std::vector<double>& distances, Index K) {
    std::nth_element(distances.begin(), distances.begin() + (K - 1), distances.end());
    return distances[static_cast<std::size_t>(K - 1)];
}

// The place of the nearest seed row, leaving the seed rows' distances in `distances`.
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

Index origin_at(Index place) { return place / kBlockUnit * kBlockUnit; }

Seed seed(const double* query, const RowMajorMatrix& rows, const ScreenStages& screen, Index K,
          std::vector<double>& distances) {
    const Index n = rows.rows();
    const Index nearest_place = nearest_seed(query, rows, screen, K, distances);
    double bar = kth_smallest(distances, K);
    // The rows of the nearest seed's group lie near it, and so are likely near the query too.
    const Index group = nearest_place / kSinglePanelRows * kSinglePanelRows;
    const Index group_rows = std::min(kSinglePanelRows, n - group);
    if (group_rows >= K) {
        distances.resize(static_cast<std::size_t>(group_rows));
        for (Index r = 0; r < group_rows; ++r) {
            distances[static_cast<std::size_t>(r)] =
                squared_distance(query, rows.row(screen.row(group + r)).data(), rows.cols());
        }
        bar = std::min(bar, kth_smallest(distances, K));
    }
    return {bar, origin_at(nearest_place)};
}

// The nearer of the heap's bar, once it has one, and the seed's.
double current_bar(double heap_bar, double seed_bar) { return heap_bar < seed_bar ? heap_bar : seed_bar; }

// Calls visit(start, block) on blocks of places [0, n), from `origin` to the end and then from the
// start round to it.
template <class Visit>
void scan_from(Index origin, Index n, Visit&& visit) {
    Index seen = 0;
    for (const auto& [from, to] : {std::pair<Index, Index>{origin, n}, std::pair<Index, Index>{0, origin}}) {
        for (Index start = from; start < to;) {
            const Index block = std::min(std::clamp(seen / kBlockUnit * kBlockUnit, kBlockUnit, kRowBlock), to - start);
            visit(start, block);
            start += block;
            seen += block;
        }
    }
}

// A row whose exact distance is to be taken lies apart from the others in memory: fetched ahead.
void fetch_row(const double* row, Index length) {
    const char* bytes = reinterpret_cast<const char*>(row);
    const Index size = length * static_cast<Index>(sizeof(double));
    for (Index b = 0; b < size; b += 64) __builtin_prefetch(bytes + b);
    __builtin_prefetch(bytes + size - 1);
}

template <class Rows>
bool fits_single_precision(const Rows& rows) {
    return (rows.array().abs() <= kSinglePrecisionLimit).all();  // false for NaN
}

void require_query_length(const Eigen::Ref<const RowMajorMatrix>& Z, Index length) {
    if (Z.cols() != length) {
        throw std::invalid_argument("expected a query of length " + std::to_string(length) + ", got length " +
                                    std::to_string(Z.cols()));
    }
}

// The place among `classes` with the most votes, the first at a tie: places follow the labels'
// byte order.
std::int32_t vote(const std::vector<Neighbour>& nearest, const std::vector<std::int32_t>& class_of_row) {
    std::vector<std::int32_t> places(nearest.size());
    for (std::size_t i = 0; i < nearest.size(); ++i) {
        places[i] = class_of_row[static_cast<std::size_t>(nearest[i].row)];
    }
    std::sort(places.begin(), places.end());
    std::int32_t winner = 0;
    std::size_t most = 0;
    for (std::size_t first = 0, last = 0; first < places.size(); first = last) {
        while (last < places.size() && places[last] == places[first]) ++last;
        if (last - first > most) {
            winner = places[first];
            most = last - first;
        }
    }
    return winner;
}

}  // namespace

// The K nearest rows offered so far, farthest on top.
class NearestRows {
public:
    explicit NearestRows(Index K) : K(K) { heap.reserve(static_cast<std::size_t>(K)); }

    Index size() const { return K; }

    void clear() { heap.clear(); }

    // The K-th distance: no row farther than it can get in. NaN while every row must be looked
    // at (the heap is not full, or has NaN on top).
    double bar() const {
        if (static_cast<Index>(heap.size()) < K) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        return heap.front().distance;
    }

    void offer(double distance, Index row) {
        const Neighbour offered{distance, row};
        if (static_cast<Index>(heap.size()) < K) {
            heap.push_back(offered);
            std::push_heap(heap.begin(), heap.end(), nearer);
        } else if (nearer(offered, heap.front())) {
            std::pop_heap(heap.begin(), heap.end(), nearer);
            heap.back() = offered;
            std::push_heap(heap.begin(), heap.end(), nearer);
        }
    }

    std::vector<Neighbour>& rows() { return heap; }

private:
    Index K;
    std::vector<Neighbour> heap;
};

KNNClassifier::KNNClassifier(std::int32_t k) : k(k) {}

void KNNClassifier::fit(const RowMajorMatrix& X, const LabelList& y) {
    if (static_cast<Index>(y.size()) < X.rows()) {
        throw std::invalid_argument("expected at least one label per row: got " +
                                    std::to_string(y.size()) + " labels for " +
                                    std::to_string(X.rows()) + " rows");
    }
    // Build the new store aside so that a failure leaves the old one whole.
    RowMajorMatrix rows = X;
    LabelList labels = y;
    Vector norms(rows.rows());
    for (Index i = 0; i < rows.rows(); ++i) {
        norms[i] = squared_norm(rows.row(i).data(), rows.cols());
    }
    ScreenStages stages = ScreenStages::build(rows, norms, choose_prefix(rows));

    std::map<std::string, std::int32_t> places;
    for (Index i = 0; i < rows.rows(); ++i) {
        places.emplace(labels[static_cast<std::size_t>(i)], 0);
    }
    LabelList distinct;
    for (auto& [label, place] : places) {
        place = static_cast<std::int32_t>(distinct.size());
        distinct.push_back(label);
    }
    std::vector<std::int32_t> row_places(static_cast<std::size_t>(rows.rows()));
    for (Index i = 0; i < rows.rows(); ++i) {
        row_places[static_cast<std::size_t>(i)] = places[labels[static_cast<std::size_t>(i)]];
    }

    X_train.swap(rows);
    y_train.swap(labels);
    classes.swap(distinct);
    class_of_row.swap(row_places);
    sq_norms.swap(norms);
    screen = std::move(stages);
}

std::size_t KNNClassifier::memory_bytes() const {
    std::size_t bytes = static_cast<std::size_t>(X_train.size() + sq_norms.size()) * sizeof(double) +
                        screen.memory_bytes() +
                        class_of_row.capacity() * sizeof(std::int32_t) +
                        (y_train.capacity() + classes.capacity()) * sizeof(std::string);
    for (const LabelList* list : {&y_train, &classes}) {
        for (const std::string& label : *list) {
            // Short labels live inside the string object itself.
            if (label.capacity() > std::string().capacity()) {
                bytes += label.capacity() + 1;
            }
        }
    }
    return bytes;
}

void KNNClassifier::set_prefix(Index prefix) { screen = ScreenStages::build(X_train, sq_norms, prefix); }

Index KNNClassifier::prefix() const { return screen.prefix; }

std::string KNNClassifier::predict(const Vector& x) const {
    return predict_rows(x.transpose()).front();
}

LabelList KNNClassifier::predict_rows(const Eigen::Ref<const RowMajorMatrix>& Z) const {
    const Index n = X_train.rows();
    if (n == 0 || k <= 0) {
        return LabelList(static_cast<std::size_t>(Z.rows()), "Unknown");
    }
    LabelList labels(static_cast<std::size_t>(Z.rows()));
    if (k >= n) {
        // Every row votes, whatever the query: one count serves them all.
        require_query_length(Z, X_train.cols());
        std::vector<Neighbour> all(static_cast<std::size_t>(n));
        for (Index i = 0; i < n; ++i) all[static_cast<std::size_t>(i)].row = i;
        std::fill(labels.begin(), labels.end(), classes[static_cast<std::size_t>(vote(all, class_of_row))]);
        return labels;
    }
    search(Z, k, [&](Index query, std::vector<Neighbour>& nearest) {
        labels[static_cast<std::size_t>(query)] = classes[static_cast<std::size_t>(vote(nearest, class_of_row))];
    });
    return labels;
}

std::vector<Neighbour> KNNClassifier::nearest_rows(const Eigen::Ref<const RowMajorMatrix>& Z, Index count) const {
    const Index n = X_train.rows();
    if (n == 0 || count <= 0) {
        return {};
    }
    const Index K = std::min(count, n);
    std::vector<Neighbour> result(static_cast<std::size_t>(Z.rows() * K));
    search(Z, K, [&](Index query, std::vector<Neighbour>& nearest) {
        std::sort(nearest.begin(), nearest.end(), nearer);
        std::copy(nearest.begin(), nearest.end(), result.begin() + query * K);
    });
    return result;
}

VoteMatrix KNNClassifier::vote_counts(const Eigen::Ref<const RowMajorMatrix>& Z) const {
    VoteMatrix votes = VoteMatrix::Zero(Z.rows(), static_cast<Index>(classes.size()));
    const std::vector<Neighbour> nearest = nearest_rows(Z, k);
    const Index K = Z.rows() > 0 ? static_cast<Index>(nearest.size()) / Z.rows() : 0;
    for (Index q = 0; q < Z.rows(); ++q) {
        for (Index j = 0; j < K; ++j) {
            ++votes(q, class_of_row[static_cast<std::size_t>(nearest[static_cast<std::size_t>(q * K + j)].row)]);
        }
    }
    return votes;
}

// A query of a tile: where its scan starts, and the rows it keeps.
struct KNNClassifier::TileQuery {
    const double* values = nullptr;
    Index query = 0;  // its row in the batch
    Seed seed;        // its origin is the store's size when the screen cannot take it
    double norm = 0.0;
    double prefix_error = 0.0;
    NearestRows nearest{0};
};

// What search_tile works in, sized once per search for its largest tile: allocated per tile, it
// would be handed back to the system and faulted in again where the heap is trimmed eagerly (as
// in Dask's workers).
struct KNNClassifier::TileBuffers {
    TileBuffers(Index tile_size, Index length)
        : scaled(tile_size, length),
          limits(static_cast<std::size_t>(tile_size)),
          near(static_cast<std::size_t>(tile_size * kBlockGroups)),
          near_count(static_cast<std::size_t>(tile_size)),
          queries_near(static_cast<std::size_t>(kBlockGroups)),
          near_groups(static_cast<std::size_t>(kBlockGroups)),
          pair_starts(static_cast<std::size_t>(kBlockGroups + 1)),
          pair_queries(static_cast<std::size_t>(tile_size * kBlockGroups)),
          candidates(static_cast<std::size_t>(tile_size * kRowBlock / kPanelRows)) {}

    // The tile's queries scaled and rounded to single precision, one row each.
    Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> scaled;
    std::vector<float> limits;
    // The groups of the block that the first stage leaves to query t: near[t * kBlockGroups + i]
    // for i < near_count[t].
    std::vector<Index> near;
    std::vector<Index> near_count;
    // Each near group with the queries it is near, which share its loads.
    std::vector<Index> queries_near;
    std::vector<Index> near_groups;
    std::vector<Index> pair_starts;
    std::vector<Index> pair_queries;
    std::vector<std::uint8_t> candidates;
    // The rows of a block that each query goes on to: their exact distances are taken once all are
    // known, so that the fetches of the scattered rows overlap.
    std::vector<std::pair<Index, Index>> found;
};

bool KNNClassifier::screened(const double* query) const {
    const Eigen::Map<const Eigen::RowVectorXd> values(query, X_train.cols());
    return !screen.empty() && fits_single_precision(values * std::ldexp(1.0, screen.exponent));
}

void KNNClassifier::search_origins(const Eigen::Ref<const RowMajorMatrix>& Z, Index* origins) const {
    require_query_length(Z, X_train.cols());
    const Index K = std::max<Index>(1, std::min<Index>(k, X_train.rows()));
    std::vector<double> distances;
    for (Index q = 0; q < Z.rows(); ++q) {
        const double* query = Z.row(q).data();
        origins[q] = screened(query) ? origin_at(nearest_seed(query, X_train, screen, K, distances)) : X_train.rows();
    }
}

void KNNClassifier::search(const Eigen::Ref<const RowMajorMatrix>& Z, Index K, const Done& done) const {
    const Index n = X_train.rows();
    const Index m = X_train.cols();
    const Index queries = Z.rows();
    require_query_length(Z, m);
    // Queries whose scans start in the same place share tiles, so that the rows of each block are
    // read once for all of them and the first blocks are near each; those the screen cannot take
    // come last.
    std::vector<Seed> seeds(static_cast<std::size_t>(queries));
    std::vector<Index> by_origin(static_cast<std::size_t>(queries));
    std::vector<double> distances;
    for (Index q = 0; q < queries; ++q) {
        by_origin[static_cast<std::size_t>(q)] = q;
        const double* query = Z.row(q).data();
        seeds[static_cast<std::size_t>(q)] = screened(query) ? seed(query, X_train, screen, K, distances) : Seed{0.0, n};
    }
    if (queries > 1) {
        std::stable_sort(by_origin.begin(), by_origin.end(), [&](Index a, Index b) {
            return seeds[static_cast<std::size_t>(a)].origin < seeds[static_cast<std::size_t>(b)].origin;
        });
    }
    const Index tile_size = std::max<Index>(1, std::min(kQueryTile, kTileCandidates / K));
    std::vector<TileQuery> tile(static_cast<std::size_t>(std::min(queries, tile_size)));
    TileBuffers buffers(std::min(queries, tile_size), m);
    for (Index first = 0; first < queries; first += tile_size) {
        const Index count = std::min(tile_size, queries - first);
        for (Index t = 0; t < count; ++t) {
            TileQuery& member = tile[static_cast<std::size_t>(t)];
            member.query = by_origin[static_cast<std::size_t>(first + t)];
            member.values = Z.row(member.query).data();
            member.seed = seeds[static_cast<std::size_t>(member.query)];
            member.norm = squared_norm(member.values, m);
            member.nearest = NearestRows(K);
        }
        search_tile(tile.data(), count, buffers);
        for (Index t = 0; t < count; ++t) {
            done(tile[static_cast<std::size_t>(t)].query, tile[static_cast<std::size_t>(t)].nearest.rows());
        }
    }
}

void KNNClassifier::search_tile(TileQuery* tile, Index count, TileBuffers& buffers) const {
    const Index n = X_train.rows();
    const Index m = X_train.cols();
    const auto offer = [&](TileQuery& member, Index place) {
        const Index row = screen.row(place);
        member.nearest.offer(squared_distance(member.values, X_train.row(row).data(), m), row);
    };
    // The queries the screen cannot take come last: each is searched whole.
    while (count > 0 && tile[count - 1].seed.origin == n) {
        --count;
        for (Index place = 0; place < n; ++place) offer(tile[count], place);
    }
    if (count == 0) {
        return;
    }
    for (Index t = 0; t < count; ++t) {
        buffers.scaled.row(t) =
            (Eigen::Map<const Eigen::RowVectorXd>(tile[t].values, m) * std::ldexp(1.0, screen.exponent)).cast<float>();
        tile[t].prefix_error = screen.prefix_error(tile[t].values, buffers.scaled.row(t).data());
    }
    const Index chunk_size = 2 * kBoxLanes * screen.prefix;
    const auto at = [](auto& values, Index i) -> auto& { return values[static_cast<std::size_t>(i)]; };
    scan_from(tile[count / 2].seed.origin, n, [&](Index start, Index block) {
        const double largest_norm = screen.largest_norm(start, block);
        const Index groups = (block + kSinglePanelRows - 1) / kSinglePanelRows;
        const Index flag_groups = (block + kPanelRows - 1) / kPanelRows;
        std::fill_n(buffers.queries_near.begin(), groups, Index{0});
        // A row can displace the K-th only if its squared distance is below the bar; each stage
        // lets through every row whose bound lies within its rounding of that.
        for (Index t = 0; t < count; ++t) {
            TileQuery& member = tile[t];
            const double widened =
                widened_bar(current_bar(member.nearest.bar(), member.seed.bar), member.norm, largest_norm, m);
            at(buffers.limits, t) = screen.limit(widened, member.norm, largest_norm);
            Index* listed = buffers.near.data() + t * kBlockGroups;
            const Index kept =
                near_boxes({buffers.scaled.row(t).data(), screen.boxes.data() + start / kBlockUnit * chunk_size, groups,
                            screen.prefix, screen.box_limit(widened, member.prefix_error), listed});
            at(buffers.near_count, t) = kept;
            for (Index i = 0; i < kept; ++i) ++at(buffers.queries_near, listed[i]);
        }
        Index near_total = 0, pairs = 0;
        for (Index g = 0; g < groups; ++g) {
            if (at(buffers.queries_near, g) == 0) continue;
            at(buffers.near_groups, near_total) = g;
            at(buffers.pair_starts, near_total++) = pairs;
            const Index queries = at(buffers.queries_near, g);
            at(buffers.queries_near, g) = pairs;  // from here on, where group g's next query goes
            pairs += queries;
        }
        at(buffers.pair_starts, near_total) = pairs;
        for (Index t = 0; t < count; ++t) {
            for (Index i = 0; i < at(buffers.near_count, t); ++i) {
                at(buffers.pair_queries, at(buffers.queries_near, at(buffers.near, t * kBlockGroups + i))++) = t;
            }
        }
        const bool alone = count == 1;
        screen_single({buffers.scaled.data(), count, buffers.limits.data(), screen.rows.data() + start * m,
                       screen.norms.data() + start, block, m, buffers.candidates.data(), buffers.near_groups.data(),
                       near_total, alone ? nullptr : buffers.pair_starts.data(),
                       alone ? nullptr : buffers.pair_queries.data()});
        // Only the near groups' flags were written.
        buffers.found.clear();
        for (Index t = 0; t < count; ++t) {
            const std::uint8_t* flags = buffers.candidates.data() + t * flag_groups;
            for (Index i = 0; i < at(buffers.near_count, t); ++i) {
                const Index g = at(buffers.near, t * kBlockGroups + i);
                unsigned bits = flags[2 * g] | (2 * g + 1 < flag_groups ? unsigned{flags[2 * g + 1]} << 8 : 0u);
                for (; bits != 0; bits &= bits - 1) {
                    const Index place = start + g * kSinglePanelRows + __builtin_ctz(bits);
                    fetch_row(X_train.row(screen.row(place)).data(), m);
                    buffers.found.emplace_back(t, place);
                }
            }
        }
        for (const auto& [t, place] : buffers.found) offer(tile[t], place);
    });
}

}  // namespace mirelo
