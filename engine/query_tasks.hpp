#pragma once

#include <algorithm>

#include "mirelo_types.hpp"
#include "parallel_job.hpp"

namespace mirelo {

// Calls fn(first, count) for consecutive blocks of `rows` queries, the blocks shared out
// between the OpenMP threads. Blocks are big enough for each block of the store to be reused
// and few enough to share evenly; a row's answer does not depend on the block it falls in.
// The first exception (or interruption) stops the loop and is rethrown after it.
template <class Fn>
void for_each_query_task(Eigen::Index rows, Fn&& fn) {
    constexpr Eigen::Index kTask = 192;
    const Eigen::Index tasks = (rows + kTask - 1) / kTask;
    if (tasks <= 1) {
        // A few queries (one, say): no thread team to start.
        if (tasks == 1) fn(0, rows);
        return;
    }
    ParallelJob job;
#pragma omp parallel for schedule(static)
    for (Eigen::Index t = 0; t < tasks; ++t) {
        job.run([&] {
            const Eigen::Index first = t * kTask;
            fn(first, std::min(kTask, rows - first));
        });
    }
    job.finish();
}

}  // namespace mirelo
