#include <algorithm>

#include "knn_engine.hpp"
#include "query_tasks.hpp"
#include "vote.hpp"

namespace mirelo {

LabelList KNNEngine::predict_batch(const InputRows& X) const {
    if (!trained()) {
        return LabelList(static_cast<std::size_t>(X.rows()), "Unknown");
    }
    RowMajorMatrix reduced = reduce_queries(X, "queries");
    LabelList labels(static_cast<std::size_t>(reduced.rows()));
    if (side) {
        // The side's rows vote with the store's: each query's nearest over both, then its vote.
        const Eigen::Index K = std::clamp<Eigen::Index>(knn->k, 1, n_training_rows());
        for_each_nearby_task(*knn, reduced, K, [&](const Eigen::Index* places, const MatrixView& part, const Seed* seeds) {
            const std::vector<Neighbour> found = nearest_part(part, K, seeds);
            for (Eigen::Index i = 0; i < part.rows(); ++i) {
                const std::int32_t place = vote(found.data() + i * K, static_cast<std::size_t>(K), side->class_of_row);
                labels[static_cast<std::size_t>(places[i])] = side->classes[static_cast<std::size_t>(place)];
            }
        });
        return labels;
    }
    const auto predict_part = [&](const Eigen::Index* places, const MatrixView& part, const Seed* seeds) {
        LabelList found = knn->predict_rows(part, seeds);
        for (std::size_t i = 0; i < found.size(); ++i) labels[static_cast<std::size_t>(places[i])] = std::move(found[i]);
    };
    for_each_nearby_task(*knn, reduced, knn->k, predict_part);
    return labels;
}

}  // namespace mirelo
