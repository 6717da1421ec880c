#include "knn_classifier.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "dot_products.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// Queries that share one pass over a block of the store, and the rows in such a block:
// the block stays in cache while every query of the tile meets it.
constexpr Index kQueryTile = 64;
constexpr Index kRowBlock = 256;

struct Candidate {
    double distance;
    Index row;
};

// NaN distances rank after every number, keeping the ordering strict and weak.
bool nearer(double a, double b) { return std::isnan(b) ? !std::isnan(a) : a < b; }

bool candidate_nearer(const Candidate& a, const Candidate& b) { return nearer(a.distance, b.distance); }

// The same summation order for stored rows and queries, whatever the batch.
double squared_norm(const double* row, Index length) {
    double norm;
    dot_products(row, length, 1, row, length, 1, length, &norm, 0, 0);
    return norm;
}

// The K nearest rows seen so far, farthest on top.
class NearestRows {
public:
    explicit NearestRows(Index K) : K(K) { heap.reserve(static_cast<std::size_t>(K)); }

    void clear() {
        heap.clear();
        open = true;
    }

    // Offers rows first_row, first_row + 1, ... at the given distances, in that order.
    void offer(const double* distances, Index count, Index first_row) {
        for (Index i = 0; i < count; ++i) {
            // Once the heap is full with a number on top, one comparison turns most rows away
            // (a NaN distance compares false, as it must).
            if (open || distances[i] < bar) {
                offer(distances[i], first_row + i);
            }
        }
    }

    const std::vector<Candidate>& rows() const { return heap; }

private:
    void offer(double distance, Index row) {
        if (static_cast<Index>(heap.size()) < K) {
            heap.push_back({distance, row});
            std::push_heap(heap.begin(), heap.end(), candidate_nearer);
        } else if (nearer(distance, heap.front().distance)) {
            std::pop_heap(heap.begin(), heap.end(), candidate_nearer);
            heap.back() = {distance, row};
            std::push_heap(heap.begin(), heap.end(), candidate_nearer);
        }
        bar = heap.front().distance;
        open = static_cast<Index>(heap.size()) < K || std::isnan(bar);
    }

    Index K;
    std::vector<Candidate> heap;
    bool open = true;  // every row must be looked at: the heap is not full or has NaN on top
    double bar = 0.0;  // the farthest distance kept, once the heap is closed
};

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

    X_train.swap(rows);
    y_train.swap(labels);
    sq_norms.swap(norms);
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
    LabelList labels;
    labels.reserve(static_cast<std::size_t>(queries));
    std::vector<double> dots(static_cast<std::size_t>(kQueryTile * kRowBlock));
    std::vector<NearestRows> nearest(static_cast<std::size_t>(std::min(kQueryTile, queries)), NearestRows(K));
    std::vector<double> query_norms(nearest.size());

    for (Index first = 0; first < queries; first += kQueryTile) {
        const Index tile = std::min(kQueryTile, queries - first);
        const double* tile_rows = Z.data() + first * Z.outerStride();
        for (Index t = 0; t < tile; ++t) {
            nearest[static_cast<std::size_t>(t)].clear();
            query_norms[static_cast<std::size_t>(t)] = squared_norm(tile_rows + t * Z.outerStride(), m);
        }
        // Distances for one block at a time: no queries x rows matrix is ever written.
        for (Index start = 0; start < n; start += kRowBlock) {
            const Index block = std::min(kRowBlock, n - start);
            dot_products(tile_rows, Z.outerStride(), tile, X_train.data() + start * m, m, block, m, dots.data(),
                         kRowBlock, 1);
            const double* norms = sq_norms.data() + start;
            for (Index t = 0; t < tile; ++t) {
                const double q = query_norms[static_cast<std::size_t>(t)];
                double* distance = dots.data() + t * kRowBlock;
                for (Index i = 0; i < block; ++i) {
                    distance[i] = (norms[i] - 2.0 * distance[i]) + q;
                }
                nearest[static_cast<std::size_t>(t)].offer(distance, block, start);
            }
        }
        for (Index t = 0; t < tile; ++t) {
            labels.push_back(vote(nearest[static_cast<std::size_t>(t)].rows(), y_train));
        }
    }
    return labels;
}

}  // namespace mirelo
