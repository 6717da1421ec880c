#include <algorithm>
#include <stdexcept>

#include "knn_engine.hpp"
#include "query_tasks.hpp"

namespace mirelo {

std::vector<Neighbour> KNNEngine::nearest_rows(const InputRows& X, Eigen::Index count) const {
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
    RowMajorMatrix reduced = stored_rows();
    return nearest_reduced(reduced, count);
}

RowMajorMatrix KNNEngine::stored_rows() const {
    if (!side) return knn->X_train;
    RowMajorMatrix rows(n_training_rows(), knn->X_train.cols());
    write_stored_rows(rows);
    return rows;
}

void KNNEngine::write_stored_rows(RowMajorMatrix& rows) const {
    rows.topRows(knn->X_train.rows()) = knn->X_train;
    Eigen::Index top = knn->X_train.rows();
    for (const auto& run : side ? side->runs : decltype(side->runs){}) {
        rows.middleRows(top, run->X_train.rows()) = run->X_train;
        top += run->X_train.rows();
    }
}

std::vector<Neighbour> KNNEngine::nearest_part(const MatrixView& part, Eigen::Index K, const Seed* seeds) const {
    std::vector<Neighbour> nearest = knn->nearest_rows(part, K, seeds);
    if (!side) return nearest;
    Eigen::Index found = std::min(K, knn->X_train.rows());
    Eigen::Index offset = knn->X_train.rows();
    for (const auto& run : side->runs) {
        const Eigen::Index rows = run->X_train.rows();
        const Eigen::Index merged = std::min(K, found + rows);
        nearest = merge_nearest(nearest, found, run->nearest_rows(part, K), std::min(K, rows), offset, part.rows(),
                                merged);
        found = merged;
        offset += rows;
    }
    return nearest;
}

std::vector<Neighbour> KNNEngine::nearest_reduced(RowMajorMatrix& reduced, Eigen::Index count) const {
    const Eigen::Index K = std::clamp<Eigen::Index>(count, 0, n_training_rows());
    std::vector<Neighbour> nearest(static_cast<std::size_t>(reduced.rows() * K));
    if (K == 0) return nearest;
    for_each_nearby_task(*knn, reduced, K, [&](const Eigen::Index* places, const MatrixView& part, const Seed* seeds) {
        const std::vector<Neighbour> found = nearest_part(part, K, seeds);
        for (Eigen::Index i = 0; i < part.rows(); ++i) {
            std::copy_n(found.begin() + i * K, K, nearest.begin() + places[i] * K);
        }
    });
    return nearest;
}

VoteMatrix KNNEngine::vote_counts(const InputRows& X) const {
    if (!trained()) {
        throw std::logic_error("an untrained engine has no votes");
    }
    RowMajorMatrix reduced = reduce_queries(X, "queries");
    VoteMatrix votes = VoteMatrix::Zero(reduced.rows(), n_classes());
    if (!side) {
        const auto count_part = [&](const Eigen::Index* places, const MatrixView& part, const Seed* seeds) {
            const VoteMatrix found = knn->vote_counts(part, seeds);
            for (Eigen::Index i = 0; i < part.rows(); ++i) votes.row(places[i]) = found.row(i);
        };
        for_each_nearby_task(*knn, reduced, knn->k, count_part);
        return votes;
    }
    const Eigen::Index K = std::clamp<Eigen::Index>(knn->k, 0, n_training_rows());
    if (K == 0) return votes;
    for_each_nearby_task(*knn, reduced, K, [&](const Eigen::Index* places, const MatrixView& part, const Seed* seeds) {
        const std::vector<Neighbour> found = nearest_part(part, K, seeds);
        for (Eigen::Index i = 0; i < part.rows() * K; ++i) {
            ++votes(places[i / K], side->classes.of_row[static_cast<std::size_t>(found[static_cast<std::size_t>(i)].row)]);
        }
    });
    return votes;
}

}  // namespace mirelo
