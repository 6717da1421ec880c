#include "knn_classifier.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kernels.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// Queries that share one pass over the store, and the rows screened between two updates of
// their heaps' bars. Until every heap is full the blocks are short, since each of their rows
// must be offered; then they double up to kRowBlock, so that a bar drawn from few rows is not
// used on many. Multiples of the group size keep every block aligned with the groups.
constexpr Index kQueryTile = 96;
constexpr Index kOpeningBlock = 32;
constexpr Index kRowBlock = 1024;
// Candidates a tile's heaps may hold together: a large k gets fewer queries per tile.
constexpr Index kTileCandidates = Index{1} << 16;
// A single query's rows screened between two updates of its bar: at most as many as it has seen,
// so that a bar drawn from few rows is not used on many, and at most kSingleBlock.
constexpr Index kSingleBlock = 1024;
static_assert(kOpeningBlock % kSinglePanelRows == 0 && kRowBlock % kSinglePanelRows == 0 &&
              kSingleBlock % kSinglePanelRows == 0 &&
              kSinglePanelRows % kPanelRows == 0);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "candidate flags are read eight bytes to a word");

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

// The K nearest rows offered so far, farthest on top.
class NearestRows {
public:
    explicit NearestRows(Index K) : K(K) { heap.reserve(static_cast<std::size_t>(K)); }

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

// Writes the rows flagged in `groups` flag groups, the first for row `start`, to `listed`;
// returns how many.
Index flagged_rows(const std::uint8_t* flags, Index groups, Index start, Index* listed) {
    Index count = 0;
    // Eight groups' flags at a time: most of them are zero.
    for (Index g = 0; g < groups; g += 8) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, flags + g, static_cast<std::size_t>(std::min<Index>(8, groups - g)));
        for (; bits != 0; bits &= bits - 1) {
            // Bit b of group g + i is bit 8 i + b of the word.
            listed[count++] = start + g * kPanelRows + __builtin_ctzll(bits);
        }
    }
    return count;
}

// Rows of the store that a single query goes on to read, this many places ahead in its list, are
// fetched while it reads the current one: they lie apart in memory.
constexpr Index kFetchAhead = 4;

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
    ScreenStages stages = ScreenStages::build(rows, norms, choose_prefix_lengths(rows, k));

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

namespace {

std::size_t screen_bytes(const ScreenStage& stage) {
    return (stage.rows.capacity() + stage.norms.capacity()) * sizeof(float) +
           static_cast<std::size_t>(stage.exact_norms.size() + stage.run_largest.size()) * sizeof(double);
}

}  // namespace

std::size_t KNNClassifier::memory_bytes() const {
    std::size_t bytes = static_cast<std::size_t>(X_train.size() + sq_norms.size()) * sizeof(double) +
                        screen_bytes(screen.prefix) + screen_bytes(screen.single) + screen_bytes(screen.rest) +
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

void KNNClassifier::set_prefix_lengths(PrefixLengths lengths) {
    screen = ScreenStages::build(X_train, sq_norms, lengths);
}

PrefixLengths KNNClassifier::prefix_lengths() const {
    return {screen.prefix.length, screen.first(true).length};
}

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

void KNNClassifier::search(const Eigen::Ref<const RowMajorMatrix>& Z, Index K, const Done& done) const {
    const Index n = X_train.rows();
    const Index m = X_train.cols();
    const Index queries = Z.rows();
    require_query_length(Z, m);
    if (queries == 1) {
        search_one(Z, K, done);
        return;
    }
    const ScreenStage& prefix = screen.prefix;
    const ScreenStage& rest = screen.rest;
    const Index width = rest.length == 0 ? 0 : static_cast<Index>(rest.rows.size()) / n;
    const Index tile_rows = std::max<Index>(1, std::min(kQueryTile, kTileCandidates / K));
    const Index tile_capacity = std::min(tile_rows, queries);
    const auto per_query = [&](auto value) { return std::vector<decltype(value)>(tile_capacity, value); };
    std::vector<std::uint8_t> candidates(static_cast<std::size_t>(tile_capacity * kRowBlock / kPanelRows));
    std::vector<Index> listed(static_cast<std::size_t>(kRowBlock));
    std::vector<NearestRows> nearest = per_query(NearestRows(K));
    std::vector<double> query_norms = per_query(0.0);
    std::vector<double> prefix_norms = per_query(0.0);
    std::vector<double> bars = per_query(0.0);
    std::vector<float> prefix_queries(static_cast<std::size_t>(tile_capacity * prefix.length));
    std::vector<float> rest_queries(static_cast<std::size_t>(tile_capacity * width), 0.0f);
    std::vector<float> prefix_limits = per_query(0.0f);
    std::vector<float> rest_limits = per_query(0.0f);
    const double single_scale = std::ldexp(1.0, screen.exponent);
    using SingleRows = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

    for (Index first = 0; first < queries; first += tile_rows) {
        const Index tile = std::min(tile_rows, queries - first);
        const auto tile_queries = Z.middleRows(first, tile);
        for (Index t = 0; t < tile; ++t) {
            nearest[static_cast<std::size_t>(t)].clear();
            query_norms[static_cast<std::size_t>(t)] = squared_norm(tile_queries.row(t).data(), m);
            prefix_norms[static_cast<std::size_t>(t)] =
                prefix.length == m ? query_norms[static_cast<std::size_t>(t)]
                                   : squared_norm(tile_queries.row(t).data(), prefix.length);
        }
        // The single-precision screen pays once every heap is full (bars are numbers).
        const bool single_ready = !screen.empty() && fits_single_precision(tile_queries * single_scale);
        if (single_ready) {
            Eigen::Map<SingleRows>(prefix_queries.data(), tile, prefix.length) =
                (tile_queries.leftCols(prefix.length) * single_scale).cast<float>();
            if (width > 0) {
                Eigen::Map<SingleRows, 0, Eigen::OuterStride<>>(rest_queries.data(), tile, m,
                                                                Eigen::OuterStride<>(width)) =
                    (tile_queries * single_scale).cast<float>();
            }
        }
        const auto offer = [&](Index t, Index row) {
            nearest[static_cast<std::size_t>(t)].offer(
                squared_distance(tile_queries.row(t).data(), X_train.row(row).data(), m), row);
        };
        // One block at a time: no queries x rows matrix is ever written.
        for (Index start = 0, block = 0; start < n; start += block) {
            bool bars_set = true;
            for (Index t = 0; t < tile; ++t) {
                bars[static_cast<std::size_t>(t)] = nearest[static_cast<std::size_t>(t)].bar();
                bars_set = bars_set && !std::isnan(bars[static_cast<std::size_t>(t)]);
            }
            block = std::min(bars_set ? std::clamp(start, kOpeningBlock, kRowBlock) : kOpeningBlock, n - start);
            if (!(single_ready && bars_set)) {
                for (Index t = 0; t < tile; ++t) {
                    for (Index row = start; row < start + block; ++row) offer(t, row);
                }
                continue;
            }
            // A row can displace the K-th only if its squared distance is below the bar; each stage
            // lets through every row whose formula value lies within the rounding bound of that.
            const double largest_norm = sq_norms.segment(start, block).maxCoeff();
            const double largest_prefix_norm = prefix.exact_norms.segment(start, block).maxCoeff();
            for (Index t = 0; t < tile; ++t) {
                const std::size_t q = static_cast<std::size_t>(t);
                const double widened = widened_bar(bars[q], query_norms[q], largest_norm, m);
                prefix_limits[q] = prefix.limit(widened, prefix_norms[q], largest_prefix_norm, screen.exponent);
                if (width > 0) rest_limits[q] = rest.limit(widened, query_norms[q], largest_norm, screen.exponent);
            }
            screen_single({prefix_queries.data(), tile, prefix_limits.data(),
                           prefix.rows.data() + start * prefix.length, prefix.norms.data() + start, block,
                           prefix.length, candidates.data()});
            const Index groups = (block + kPanelRows - 1) / kPanelRows;
            for (Index t = 0; t < tile; ++t) {
                Index count = flagged_rows(candidates.data() + t * groups, groups, start, listed.data());
                if (width > 0) {
                    count = screen_listed({rest_queries.data() + t * width, rest_limits[static_cast<std::size_t>(t)],
                                           rest.rows.data(), rest.norms.data(), width, listed.data(), count});
                }
                for (Index i = 0; i < count; ++i) offer(t, listed[static_cast<std::size_t>(i)]);
            }
        }
        for (Index t = 0; t < tile; ++t) {
            done(first + t, nearest[static_cast<std::size_t>(t)].rows());
        }
    }
}

void KNNClassifier::search_one(const Eigen::Ref<const RowMajorMatrix>& Z, Index K, const Done& done) const {
    const Index n = X_train.rows();
    const Index m = X_train.cols();
    const double* query = Z.data();
    NearestRows nearest(K);
    const auto offer = [&](Index row) {
        nearest.offer(squared_distance(query, X_train.row(row).data(), m), row);
    };
    const double single_scale = std::ldexp(1.0, screen.exponent);
    // Until the heap is full every row is offered; the screen then starts on a group's first row.
    Index start = !screen.empty() && fits_single_precision(Z * single_scale)
                      ? std::min(n, (K + kSinglePanelRows - 1) / kSinglePanelRows * kSinglePanelRows)
                      : n;
    for (Index row = 0; row < start; ++row) offer(row);
    if (start < n) {
        const ScreenStage& first = screen.first(true);
        const ScreenStage& whole = screen.whole();
        const ScreenStage& rest = screen.rest;
        const Index width = rest.length == 0 ? 0 : static_cast<Index>(rest.rows.size()) / n;
        const double query_norm = squared_norm(query, m);
        const double first_norm = first.length == m ? query_norm : squared_norm(query, first.length);
        // The query's first-stage values, then its rest-stage values.
        const Eigen::RowVectorXf scaled = (Z.row(0) * single_scale).cast<float>();
        std::vector<float> values(static_cast<std::size_t>(first.length + width), 0.0f);
        Eigen::Map<Eigen::RowVectorXf>(values.data(), first.length) = scaled.head(first.length);
        if (width > 0) Eigen::Map<Eigen::RowVectorXf>(values.data() + first.length, m) = scaled;
        std::vector<std::uint8_t> candidates(static_cast<std::size_t>(kSingleBlock / kPanelRows));
        // Written before it is read: left uninitialised.
        const std::unique_ptr<Index[]> listed(new Index[static_cast<std::size_t>(std::min(n, kSingleBlock))]);
        for (Index block = 0; start < n; start += block) {
            block = std::min(std::clamp(start, kSinglePanelRows, kSingleBlock), n - start);
            const double bar = nearest.bar();
            if (std::isnan(bar)) {
                for (Index row = start; row < start + block; ++row) offer(row);
                continue;
            }
            const double largest_norm = whole.largest_norm(start, block);
            const double widened = widened_bar(bar, query_norm, largest_norm, m);
            const float first_limit =
                first.limit(widened, first_norm, first.largest_norm(start, block), screen.exponent);
            screen_single({values.data(), 1, &first_limit, first.rows.data() + start * first.length,
                           first.norms.data() + start, block, first.length, candidates.data()});
            Index count =
                flagged_rows(candidates.data(), (block + kPanelRows - 1) / kPanelRows, start, listed.get());
            if (first.length < m && width > 0) {
                count = screen_listed({values.data() + first.length,
                                       rest.limit(widened, query_norm, largest_norm, screen.exponent),
                                       rest.rows.data(), rest.norms.data(), width, listed.get(), count});
            }
            for (Index i = 0; i < count; ++i) {
                if (i + kFetchAhead < count) fetch_row(X_train.row(listed[i + kFetchAhead]).data(), m);
                offer(listed[i]);
            }
        }
    }
    done(0, nearest.rows());
}

}  // namespace mirelo
