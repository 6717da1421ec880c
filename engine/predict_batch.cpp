#include <exception>

#include "input_checks.hpp"
#include "knn_engine.hpp"

namespace mirelo {

LabelList KNNEngine::predict_batch(const Matrix& X) const {
    if (!trained()) {
        return LabelList(static_cast<std::size_t>(X.rows()), "Unknown");
    }
    check_queries(X);
    const Matrix reduced = pca->transform(X);
    require_finite_squared_norms(reduced, "queries");
    const Eigen::Index n = reduced.rows();
    LabelList labels(static_cast<std::size_t>(n));

    // Exceptions must not leave the parallel region: keep the first, rethrow after it.
    std::exception_ptr failure;
#pragma omp parallel for schedule(static)
    for (Eigen::Index i = 0; i < n; ++i) {
        try {
            const Vector z = reduced.row(i).transpose();
            labels[static_cast<std::size_t>(i)] = knn->predict(z);
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
