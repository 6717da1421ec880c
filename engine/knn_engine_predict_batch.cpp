#include <algorithm>

#include "knn_engine.hpp"
#include "query_tasks.hpp"
#include "vote.hpp"

namespace mirelo {

LabelList KNNEngine::predict_batch(const InputRows& X) const {
    const std::vector<std::int32_t> places = predict_places(X);
    LabelList labels;
    labels.reserve(places.size());
    for (std::int32_t place : places) labels.push_back(class_name(place));
    return labels;
}

std::vector<std::int32_t> KNNEngine::predict_places(const InputRows& X) const {
    if (!trained()) {
        return std::vector<std::int32_t>(static_cast<std::size_t>(X.rows()), kNoClass);
    }
    RowMajorMatrix reduced = reduce_queries(X, "queries");
    std::vector<std::int32_t> answers(static_cast<std::size_t>(reduced.rows()), kNoClass);
    if (side) {
        // The side's rows vote with the store's: each query's nearest over both, then its vote.
        const Eigen::Index K = std::min<Eigen::Index>(knn->k, n_training_rows());
        if (K <= 0) return answers;
        for_each_nearby_task(*knn, reduced, K, [&](const Eigen::Index* places, const MatrixView& part, const Seed* seeds) {
            const std::vector<Neighbour> found = nearest_part(part, K, seeds);
            for (Eigen::Index i = 0; i < part.rows(); ++i) {
                answers[static_cast<std::size_t>(places[i])] =
                    vote(found.data() + i * K, static_cast<std::size_t>(K), side->classes.of_row);
            }
        });
        return answers;
    }
    const auto predict_part = [&](const Eigen::Index* places, const MatrixView& part, const Seed* seeds) {
        const std::vector<std::int32_t> found = knn->predict_rows(part, seeds);
        for (std::size_t i = 0; i < found.size(); ++i) answers[static_cast<std::size_t>(places[i])] = found[i];
    };
    for_each_nearby_task(*knn, reduced, knn->k, predict_part);
    return answers;
}

}  // namespace mirelo
