#pragma once

#include <omp.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "knn_classifier.hpp"
#include "mirelo_types.hpp"
#include "parallel_job.hpp"

namespace mirelo {

// Calls fn(first, count) for consecutive blocks of `rows` queries, the blocks handed to the
// OpenMP threads as they come free: several per thread, so that they share evenly, each as large
// as that allows, since the search finds more queries near each other in a larger block to share its
// reads of the store, and at least kSmallestTask. A row's answer does not depend on the block it
// falls in. The first exception (or interruption) stops the loop and is rethrown after it.
template <class Fn>
void for_each_query_task(Eigen::Index rows, Fn&& fn) {
    constexpr Eigen::Index kSmallestTask = 192;
    constexpr Eigen::Index kTasksPerThread = 16;
    const Eigen::Index tasks = std::min<Eigen::Index>((rows + kSmallestTask - 1) / kSmallestTask,
                                                      kTasksPerThread * omp_get_max_threads());
    if (tasks <= 1) {
        // A few queries (one, say): no thread team to start.
        if (rows > 0) fn(0, rows);
        return;
    }
    const Eigen::Index size = (rows + tasks - 1) / tasks;
    ParallelJob job;
#pragma omp parallel for schedule(dynamic, 1)
    for (Eigen::Index t = 0; t < tasks; ++t) {
        job.run([&] {
            const Eigen::Index first = t * size;
            if (first < rows) fn(first, std::min(size, rows - first));
        });
    }
    job.finish();
}

// Reorders the rows of `reduced` so that rows whose searches for their `neighbours` nearest in
// `knn` start near each other come together, then calls fn(places, part, seeds) for blocks of
// them, shared out as above, so that each block's rows share its reads of the store: `part` holds
// the rows that were at `places` of `reduced`, in order, and `seeds` their seeds for a search of
// as many neighbours. The rows move in place, since a copy per call is costly where the heap is
// trimmed eagerly.
template <class Fn>
void for_each_nearby_task(const KNNClassifier& knn, RowMajorMatrix& reduced, Eigen::Index neighbours, Fn&& fn) {
    const Eigen::Index rows = reduced.rows();
    std::vector<Seed> seeds(static_cast<std::size_t>(rows));
    for_each_query_task(rows, [&](Eigen::Index first, Eigen::Index count) {
        knn.search_seeds(reduced.middleRows(first, count), neighbours, seeds.data() + first);
    });
    Eigen::PermutationMatrix<Eigen::Dynamic, Eigen::Dynamic, Eigen::Index> order(rows);
    Eigen::Index* places = order.indices().data();
    std::iota(places, places + rows, Eigen::Index{0});
    std::stable_sort(places, places + rows, [&](Eigen::Index a, Eigen::Index b) {
        return seeds[static_cast<std::size_t>(a)].origin < seeds[static_cast<std::size_t>(b)].origin;
    });
    reduced = order.transpose() * reduced;  // row i becomes the row at places[i]; Eigen permutes in place
    std::vector<Seed> placed(seeds.size());
    for (Eigen::Index i = 0; i < rows; ++i) {
        placed[static_cast<std::size_t>(i)] = seeds[static_cast<std::size_t>(places[i])];
    }
    for_each_query_task(rows, [&](Eigen::Index first, Eigen::Index count) {
        fn(places + first, MatrixView(reduced.middleRows(first, count)), placed.data() + first);
    });
}

}  // namespace mirelo
