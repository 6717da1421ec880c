#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mirelo_types.hpp"

namespace mirelo {

// Exhaustive k-nearest-neighbour classifier over PCA-reduced rows, with a plain
// majority vote. Ties in the vote go to the label first in byte order.
class KNNClassifier {
public:
    explicit KNNClassifier(std::int32_t k);

    // Replaces the whole store. Throws std::invalid_argument, leaving the store
    // untouched, when y has fewer labels than X has rows.
    void fit(const RowMajorMatrix& X, const LabelList& y);

    // "Unknown" for an empty store or k <= 0. Throws std::invalid_argument when
    // the query length differs from the stored width. Safe to call concurrently.
    std::string predict(const Vector& x) const;

    // predict for every row of Z, in row order; each answer is the one the row gets alone.
    LabelList predict_rows(const Eigen::Ref<const RowMajorMatrix>& Z) const;

    // Bytes held by the store: rows, norms, their packed copies and the labels.
    std::size_t memory_bytes() const;

    const std::int32_t k;
    RowMajorMatrix X_train;
    LabelList y_train;
    Vector sq_norms;

private:
    // X_train laid out for the search kernel, and in single precision for its first pass (empty
    // when the values are too large for it); like sq_norms, derived from X_train by fit.
    std::vector<double> packed_rows;
    std::vector<float> packed_rows_single;
    std::vector<float> sq_norms_single;
};

}  // namespace mirelo
