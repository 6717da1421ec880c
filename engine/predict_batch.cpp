#include <algorithm>
#include <iterator>

#include "knn_engine.hpp"
#include "query_tasks.hpp"

namespace mirelo {

LabelList KNNEngine::predict_batch(const MatrixView& X) const {
    if (!trained()) {
        return LabelList(static_cast<std::size_t>(X.rows()), "Unknown");
    }
    const RowMajorMatrix reduced = reduce_queries(X, "queries");
    LabelList labels(static_cast<std::size_t>(reduced.rows()));
    for_each_query_task(reduced.rows(), [&](Eigen::Index first, Eigen::Index count) {
        LabelList part = knn->predict_rows(reduced.middleRows(first, count));
        std::move(part.begin(), part.end(), labels.begin() + first);
    });
    return labels;
}

}  // namespace mirelo
