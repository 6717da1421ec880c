#include <algorithm>
#include <iterator>

#include "input_checks.hpp"
#include "knn_engine.hpp"
#include "parallel_job.hpp"

namespace mirelo {

LabelList KNNEngine::predict_batch(const MatrixView& X) const {
    if (!trained()) {
        return LabelList(static_cast<std::size_t>(X.rows()), "Unknown");
    }
    check_queries(X);
    const RowMajorMatrix reduced = pca->transform(X);
    require_finite_squared_norms(reduced, "queries");
    const Eigen::Index n = reduced.rows();
    LabelList labels(static_cast<std::size_t>(n));

    // Enough queries per task for each block of the store to be reused, few enough to share
    // them out evenly. Each row's answer does not depend on the task it falls in.
    constexpr Eigen::Index kTask = 192;
    const Eigen::Index tasks = (n + kTask - 1) / kTask;
    ParallelJob job;
#pragma omp parallel for schedule(static)
    for (Eigen::Index t = 0; t < tasks; ++t) {
        job.run([&] {
            const Eigen::Index first = t * kTask;
            LabelList part = knn->predict_rows(reduced.middleRows(first, std::min(kTask, n - first)));
            std::move(part.begin(), part.end(), labels.begin() + first);
        });
    }
    job.finish();
    return labels;
}

}  // namespace mirelo
