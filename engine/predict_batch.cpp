#include <algorithm>
#include <exception>
#include <iterator>

#include "input_checks.hpp"
#include "knn_engine.hpp"

namespace mirelo {

LabelList KNNEngine::predict_batch(const Matrix& X) const {
    if (!trained()) {
        return LabelList(static_cast<std::size_t>(X.rows()), "Unknown");
    }
    const RowMajorMatrix reduced = reduce_queries(X, "queries");
    const Eigen::Index n = reduced.rows();
    LabelList labels(static_cast<std::size_t>(n));

    // Enough queries per task for each block of the store to be reused, few enough to share
    // them out evenly. Each row's answer does not depend on the task it falls in.
    constexpr Eigen::Index kTask = 192;
    const Eigen::Index tasks = (n + kTask - 1) / kTask;
    // Exceptions must not leave the parallel region: keep the first, rethrow after it.
    std::exception_ptr failure;
#pragma omp parallel for schedule(static)
    for (Eigen::Index t = 0; t < tasks; ++t) {
        try {
            const Eigen::Index first = t * kTask;
            LabelList part = knn->predict_rows(reduced.middleRows(first, std::min(kTask, n - first)));
            std::move(part.begin(), part.end(), labels.begin() + first);
        } catch (...) {
#pragma omp critical(mirelo_batch_failure)
            if (!failure) {
                failure = std::current_exception();
            }
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return labels;
}

}  // namespace mirelo
