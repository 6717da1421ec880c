#include <algorithm>
#include <stdexcept>

#include "knn_engine.hpp"
#include "query_tasks.hpp"

namespace mirelo {

std::vector<Neighbour> KNNEngine::nearest_rows(const MatrixView& X, Eigen::Index count) const {
    if (!trained()) {
        throw std::logic_error("an untrained engine has no neighbours");
    }
    const RowMajorMatrix reduced = reduce_queries(X, "queries");
    const Eigen::Index K = std::clamp<Eigen::Index>(count, 0, knn->X_train.rows());
    std::vector<Neighbour> nearest(static_cast<std::size_t>(reduced.rows() * K));
    for_each_query_task(reduced.rows(), [&](Eigen::Index first, Eigen::Index rows) {
        const std::vector<Neighbour> part = knn->nearest_rows(reduced.middleRows(first, rows), K);
        std::copy(part.begin(), part.end(), nearest.begin() + first * K);
    });
    return nearest;
}

VoteMatrix KNNEngine::vote_counts(const MatrixView& X) const {
    if (!trained()) {
        throw std::logic_error("an untrained engine has no votes");
    }
    const RowMajorMatrix reduced = reduce_queries(X, "queries");
    VoteMatrix votes(reduced.rows(), static_cast<Eigen::Index>(knn->classes.size()));
    for_each_query_task(reduced.rows(), [&](Eigen::Index first, Eigen::Index rows) {
        votes.middleRows(first, rows) = knn->vote_counts(reduced.middleRows(first, rows));
    });
    return votes;
}

}  // namespace mirelo
