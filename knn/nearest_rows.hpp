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

// The K nearest rows offered so far, farthest on top, held in `memory`.
class NearestRows {
public:
    explicit NearestRows(Eigen::Index K, std::pmr::memory_resource* memory = std::pmr::get_default_resource())
        : K(K), heap(memory) {
        heap.reserve(static_cast<std::size_t>(K));
    }

    Eigen::Index size() const { return K; }

    // Empty, for the K nearest of another query; the heap's memory is kept.
    void reset(Eigen::Index count) {
        K = count;
        heap.clear();
        heap.reserve(static_cast<std::size_t>(K));
    }

    void clear() { heap.clear(); }

    // The K-th distance: no row farther than it can get in. NaN while every row must be looked
    // at (the heap is not full, or has NaN on top).
    double bar() const {
        if (static_cast<Eigen::Index>(heap.size()) < K) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        return heap.front().distance;
    }

    void offer(double distance, Eigen::Index row) {
        // A function object rather than a pointer to nearer, so that the heap's steps inline it.
        offer_by([](const Neighbour& a, const Neighbour& b) { return nearer(a, b); }, {distance, row});
    }

    // offer for a distance that is a number, to a heap that holds only numbers: nearer's order
    // without its tests for NaN.
    void offer_number(double distance, Eigen::Index row) {
        offer_by([](const Neighbour& a, const Neighbour& b) {
            return a.distance < b.distance || (a.distance == b.distance && a.row < b.row);
        }, {distance, row});
    }

    NeighbourList& rows() { return heap; }

private:
    template <class Order>
    void offer_by(Order order, const Neighbour& offered) {
        if (static_cast<Eigen::Index>(heap.size()) < K) {
            heap.push_back(offered);
            std::push_heap(heap.begin(), heap.end(), order);
        } else if (order(offered, heap.front())) {
            std::pop_heap(heap.begin(), heap.end(), order);
            heap.back() = offered;
            std::push_heap(heap.begin(), heap.end(), order);
        }
    }

    Eigen::Index K;
    NeighbourList heap;
};

}  // namespace mirelo
