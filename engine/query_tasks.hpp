#pragma once

#include <algorithm>
#include <exception>

#include "mirelo_types.hpp"

namespace mirelo {

// Calls fn(first, count) for consecutive blocks of `rows` queries, the blocks shared out
// between the OpenMP threads. Blocks are big enough for each block of the store to be reused
// and few enough to share evenly; a row's answer does not depend on the block it falls in.
// The first exception a block throws is rethrown once the loop is over, since none may leave
// the parallel region.
template <class Fn>
void for_each_query_task(Eigen::Index rows, Fn&& fn) {
    constexpr Eigen::Index kTask = 192;
    const Eigen::Index tasks = (rows + kTask - 1) / kTask;
    std::exception_ptr failure;
#pragma omp parallel for schedule(static)
    for (Eigen::Index t = 0; t < tasks; ++t) {
        try {
            const Eigen::Index first = t * kTask;
            fn(first, std::min(kTask, rows - first));
        } catch (...) {
#pragma omp critical(mirelo_query_task_failure)
            if (!failure) {
                failure = std::current_exception();
            }
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace mirelo
