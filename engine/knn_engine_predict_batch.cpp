#include <algorithm>

#include "knn_engine.hpp"
#include "query_tasks.hpp"

namespace mirelo {

LabelList KNNEngine::predict_batch(const InputRows& X) const {
    if (!trained()) {
        return LabelList(static_cast<std::size_t>(X.rows()), "Unknown");
    }
    RowMajorMatrix reduced = reduce_queries(X, "queries");
    LabelList labels(static_cast<std::size_t>(reduced.rows()));
    const auto predict_part = [&](const Eigen::Index* places, const MatrixView& part, const Seed* seeds) {
        LabelList found = knn->predict_rows(part, seeds);
        for (std::size_t i = 0; i < found.size(); ++i) labels[static_cast<std::size_t>(places[i])] = std::move(found[i]);
    };
    for_each_nearby_task(*knn, reduced, knn->k, predict_part);
    return labels;
}

}  // namespace mirelo
