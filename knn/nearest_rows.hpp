#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory_resource>
#include <vector>

#include "mirelo_types.hpp"

namespace mirelo {

// A stored row and its squared distance to a query.
struct Neighbour {
    double distance;
    Eigen::Index row;
};

// NaN distances rank after every number; equal distances go to the lower row.
inline bool nearer(const Neighbour& a, const Neighbour& b) {
    if (std::isnan(a.distance) != std::isnan(b.distance)) {
        return std::isnan(b.distance);
    }
    if (a.distance != b.distance && !std::isnan(a.distance)) {
        return a.distance < b.distance;
    }
    return a.row < b.row;
}

// A query's nearest rows, in no particular order.
using NeighbourList = std::pmr::vector<Neighbour>;

// The K nearest rows offered so far, farthest on top, held in `memory`. A few are kept sorted,
// nearest first: for them an insertion's short, mostly predictable moves cost less than a heap's
// steps, whose branches no predictor can guess. More are kept as a heap, whose steps grow as log K.
class NearestRows {
public:
    explicit NearestRows(Eigen::Index K, std::pmr::memory_resource* memory = std::pmr::get_default_resource())
        : K(K), kept(memory) {
        kept.reserve(static_cast<std::size_t>(K));
    }

    Eigen::Index size() const { return K; }

    // Empty, for the K nearest of another query; the memory is kept.
    void reset(Eigen::Index count) {
        K = count;
        kept.clear();
        kept.reserve(static_cast<std::size_t>(K));
    }

    void clear() { kept.clear(); }

    // The K-th distance: no row farther than it can get in. NaN while every row must be looked
    // at (fewer than K are kept, or NaN is on top).
    double bar() const {
        if (static_cast<Eigen::Index>(kept.size()) < K) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        return top().distance;
    }

    void offer(double distance, Eigen::Index row) {
        // A function object rather than a pointer to nearer, so that the steps inline it.
        offer_by([](const Neighbour& a, const Neighbour& b) { return nearer(a, b); }, {distance, row});
    }

    // offer for a distance that is a number, to rows that hold only numbers: nearer's order
    // without its tests for NaN.
    void offer_number(double distance, Eigen::Index row) {
        offer_by([](const Neighbour& a, const Neighbour& b) {
            return a.distance < b.distance || (a.distance == b.distance && a.row < b.row);
        }, {distance, row});
    }

    NeighbourList& rows() { return kept; }

private:
    static constexpr Eigen::Index kMostSorted = 16;

    bool sorted() const { return K <= kMostSorted; }
    const Neighbour& top() const { return sorted() ? kept.back() : kept.front(); }

    template <class Order>
    void offer_by(Order order, const Neighbour& offered) {
        const bool full = static_cast<Eigen::Index>(kept.size()) >= K;
        if (full && !order(offered, top())) {
            return;
        }
        if (sorted()) {
            insert(order, offered, full);
        } else if (full) {
            std::pop_heap(kept.begin(), kept.end(), order);
            kept.back() = offered;
            std::push_heap(kept.begin(), kept.end(), order);
        } else {
            kept.push_back(offered);
            std::push_heap(kept.begin(), kept.end(), order);
        }
    }

    // Into the sorted rows, the farthest dropped when they are full.
    template <class Order>
    void insert(Order order, const Neighbour& offered, bool full) {
        if (!full) kept.push_back(offered);
        std::size_t place = kept.size() - 1;
        for (; place > 0 && order(offered, kept[place - 1]); --place) kept[place] = kept[place - 1];
        kept[place] = offered;
    }

    Eigen::Index K;
    NeighbourList kept;
};

}  // namespace mirelo
