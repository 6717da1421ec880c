#include <algorithm>
#include <stdexcept>

#include "knn_engine.hpp"
#include "query_tasks.hpp"

namespace mirelo {

std::vector<Neighbour> KNNEngine::nearest_rows(const MatrixView& X, Eigen::Index count) const {
    if (!trained()) {
        throw std::logic_error("an untrained engine has no neighbours");
    }
    RowMajorMatrix reduced = reduce_queries(X, "queries");
    return nearest_reduced(reduced, count);
}

std::vector<Neighbour> KNNEngine::nearest_training_rows(Eigen::Index count) const {
    if (!trained()) {
        throw std::logic_error("an untrained engine has no neighbours");
    }
    RowMajorMatrix reduced = knn->X_train;
    return nearest_reduced(reduced, count);
}

std::vector<Neighbour> KNNEngine::nearest_reduced(RowMajorMatrix& reduced, Eigen::Index count) const {
    const Eigen::Index K = std::clamp<Eigen::Index>(count, 0, knn->X_train.rows());
    std::vector<Neighbour> nearest(static_cast<std::size_t>(reduced.rows() * K));
    for_each_nearby_task(*knn, reduced, K, [&](const Eigen::Index* places, const MatrixView& part, const Seed* seeds) {
        const std::vector<Neighbour> found = knn->nearest_rows(part, K, seeds);
        for (Eigen::Index i = 0; i < part.rows(); ++i) {
            std::copy_n(found.begin() + i * K, K, nearest.begin() + places[i] * K);
        }
    });
    return nearest;
}

VoteMatrix KNNEngine::vote_counts(const MatrixView& X) const {
    if (!trained()) {
        throw std::logic_error("an untrained engine has no votes");
    }
    RowMajorMatrix reduced = reduce_queries(X, "queries");
    VoteMatrix votes(reduced.rows(), knn->n_classes);
    const auto count_part = [&](const Eigen::Index* places, const MatrixView& part, const Seed* seeds) {
        const VoteMatrix found = knn->vote_counts(part, seeds);
        for (Eigen::Index i = 0; i < part.rows(); ++i) votes.row(places[i]) = found.row(i);
    };
    for_each_nearby_task(*knn, reduced, knn->k, count_part);
    return votes;
}

}  // namespace mirelo
