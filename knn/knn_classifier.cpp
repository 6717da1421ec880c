#include "knn_classifier.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
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
// used on many. Multiples of both group sizes keep every block aligned with the groups.
constexpr Index kQueryTile = 96;
constexpr Index kOpeningBlock = 32;
constexpr Index kRowBlock = 1024;
static_assert(kOpeningBlock % kSinglePanelRows == 0 && kRowBlock % kSinglePanelRows == 0 &&
              kSinglePanelRows % kPanelRows == 0);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "candidate flags are read eight bytes to a word");

struct Candidate {
    double distance;
    Index row;
};

// NaN distances rank after every number, keeping the ordering strict and weak.
bool nearer(double a, double b) { return std::isnan(b) ? !std::isnan(a) : a < b; }

bool candidate_nearer(const Candidate& a, const Candidate& b) { return nearer(a.distance, b.distance); }

// The K nearest rows seen so far, farthest on top. Rows must be offered in row order: at
// equal distances the row offered first stays.
class NearestRows {
public:
    explicit NearestRows(Index K) : K(K) { heap.reserve(static_cast<std::size_t>(K)); }

    void clear() { heap.clear(); }

    // Rows at this distance or farther cannot get in; NaN while every row must be looked at
    // (the heap is not full, or has NaN on top).
    double bar() const {
        if (static_cast<Index>(heap.size()) < K) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        return heap.front().distance;
    }

    void offer(double distance, Index row) {
        if (static_cast<Index>(heap.size()) < K) {
            heap.push_back({distance, row});
            std::push_heap(heap.begin(), heap.end(), candidate_nearer);
        } else if (nearer(distance, heap.front().distance)) {
            std::pop_heap(heap.begin(), heap.end(), candidate_nearer);
            heap.back() = {distance, row};
            std::push_heap(heap.begin(), heap.end(), candidate_nearer);
        }
    }

    const std::vector<Candidate>& rows() const { return heap; }

private:
    Index K;
    std::vector<Candidate> heap;
};

template <class Rows>
bool fits_single_precision(const Rows& rows) {
    return (rows.array().abs() <= kSinglePrecisionLimit).all();  // false for NaN
}

std::string vote(const std::vector<Candidate>& nearest, const LabelList& labels) {
    std::map<std::string, std::int32_t> votes;
    for (const Candidate& c : nearest) {
        ++votes[labels[static_cast<std::size_t>(c.row)]];
    }
    auto winner = votes.begin();
    for (auto it = std::next(votes.begin()); it != votes.end(); ++it) {
        if (it->second > winner->second) {
            winner = it;
        }
    }
    return winner->first;
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
    std::vector<double> packed(static_cast<std::size_t>(packed_size(rows.rows(), rows.cols())));
    pack_rows({rows.data(), rows.cols(), 1}, rows.rows(), rows.cols(), packed.data());
    std::vector<float> packed_single;
    std::vector<float> norms_single;
    if (fits_single_precision(rows)) {
        packed_single.resize(static_cast<std::size_t>(packed_single_size(rows.rows(), rows.cols())));
        pack_rows_single({rows.data(), rows.cols(), 1}, rows.rows(), rows.cols(), packed_single.data());
        norms_single.assign(norms.begin(), norms.end());
    }

    X_train.swap(rows);
    y_train.swap(labels);
    sq_norms.swap(norms);
    packed_rows.swap(packed);
    packed_rows_single.swap(packed_single);
    sq_norms_single.swap(norms_single);
}

std::size_t KNNClassifier::memory_bytes() const {
    std::size_t bytes = static_cast<std::size_t>(X_train.size() + sq_norms.size()) * sizeof(double) +
                        packed_rows.capacity() * sizeof(double) +
                        (packed_rows_single.capacity() + sq_norms_single.capacity()) * sizeof(float) +
                        y_train.capacity() * sizeof(std::string);
    for (const std::string& label : y_train) {
        // Short labels live inside the string object itself.
        if (label.capacity() > std::string().capacity()) {
            bytes += label.capacity() + 1;
        }
    }
    return bytes;
}

std::string KNNClassifier::predict(const Vector& x) const {
    return predict_rows(x.transpose()).front();
}

LabelList KNNClassifier::predict_rows(const Eigen::Ref<const RowMajorMatrix>& Z) const {
    const Index n = X_train.rows();
    const Index m = X_train.cols();
    const Index queries = Z.rows();
    if (n == 0 || k <= 0) {
        return LabelList(static_cast<std::size_t>(queries), "Unknown");
    }
    if (Z.cols() != m) {
        throw std::invalid_argument("expected a query of length " + std::to_string(m) + ", got length " +
                                    std::to_string(Z.cols()));
    }

    const Index K = std::min<Index>(k, n);
    const Index tile_capacity = std::min(kQueryTile, queries);
    const auto per_query = [&](auto value) { return std::vector<decltype(value)>(tile_capacity, value); };
    LabelList labels;
    labels.reserve(static_cast<std::size_t>(queries));
    std::vector<double> distances(static_cast<std::size_t>(tile_capacity * kRowBlock));
    std::vector<std::uint8_t> candidates(static_cast<std::size_t>(tile_capacity * kRowBlock / kPanelRows));
    std::vector<NearestRows> nearest = per_query(NearestRows(K));
    std::vector<double> query_norms = per_query(0.0);
    std::vector<double> bars = per_query(0.0);
    std::vector<float> single_queries(static_cast<std::size_t>(tile_capacity * m));
    std::vector<float> limits = per_query(0.0f);

    for (Index first = 0; first < queries; first += kQueryTile) {
        const Index tile = std::min(kQueryTile, queries - first);
        const auto tile_rows = Z.middleRows(first, tile);
        for (Index t = 0; t < tile; ++t) {
            nearest[static_cast<std::size_t>(t)].clear();
            query_norms[static_cast<std::size_t>(t)] = squared_norm(tile_rows.row(t).data(), m);
        }
        // The single-precision pass pays once every heap is full (bars are numbers).
        const bool single_ready = !packed_rows_single.empty() && fits_single_precision(tile_rows);
        if (single_ready) {
            Eigen::Map<Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(single_queries.data(),
                                                                                              tile, m) =
                tile_rows.cast<float>();
        }
        // One block at a time: no queries x rows matrix is ever written, and rows reach each
        // query's heap in row order.
        for (Index start = 0, block = 0; start < n; start += block) {
            bool bars_set = true;
            for (Index t = 0; t < tile; ++t) {
                bars[static_cast<std::size_t>(t)] = nearest[static_cast<std::size_t>(t)].bar();
                bars_set = bars_set && !std::isnan(bars[static_cast<std::size_t>(t)]);
            }
            block = std::min(bars_set ? std::clamp(start, kOpeningBlock, kRowBlock) : kOpeningBlock, n - start);
            const Index groups = (block + kPanelRows - 1) / kPanelRows;
            const bool use_single = single_ready && bars_set;
            SinglePrecisionPass single{};
            if (use_single) {
                const double largest_norm = sq_norms.segment(start, block).maxCoeff();
                for (Index t = 0; t < tile; ++t) {
                    limits[static_cast<std::size_t>(t)] = single_precision_limit(
                        bars[static_cast<std::size_t>(t)], query_norms[static_cast<std::size_t>(t)], largest_norm, m);
                }
                single = {single_queries.data(), limits.data(), packed_rows_single.data() + start * m,
                          sq_norms_single.data() + start};
            }
            screen_distances({{tile_rows.data(), Z.outerStride(), 1}, tile, query_norms.data(), bars.data(),
                              packed_rows.data() + start * m, sq_norms.data() + start, block, m, distances.data(),
                              candidates.data(), use_single ? &single : nullptr});
            for (Index t = 0; t < tile; ++t) {
                NearestRows& heap = nearest[static_cast<std::size_t>(t)];
                const double* distance = distances.data() + t * groups * kPanelRows;
                const std::uint8_t* flags = candidates.data() + t * groups;
                // Eight groups' flags at a time: most of them are zero.
                for (Index g = 0; g < groups; g += 8) {
                    std::uint64_t bits = 0;
                    std::memcpy(&bits, flags + g, static_cast<std::size_t>(std::min<Index>(8, groups - g)));
                    for (; bits != 0; bits &= bits - 1) {
                        // Bit b of group g + i is bit 8 i + b of the word.
                        const Index row = g * kPanelRows + __builtin_ctzll(bits);
                        heap.offer(distance[row], start + row);
                    }
                }
            }
        }
        for (Index t = 0; t < tile; ++t) {
            labels.push_back(vote(nearest[static_cast<std::size_t>(t)].rows(), y_train));
        }
    }
    return labels;
}

}  // namespace mirelo
