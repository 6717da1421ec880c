#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "adaptive_pca.hpp"
#include "knn_classifier.hpp"
#include "mirelo_types.hpp"

namespace mirelo {

struct KNNConfig {
    std::int32_t k = 3;
    double variance = 0.95;
};

// Sequences the adaptive PCA and the classifier. Training is all or nothing:
// a failed train leaves the previous training in place.
class KNNEngine {
public:
    explicit KNNEngine(KNNConfig config);

    // Throws std::invalid_argument for an empty X, a label count other than
    // X's row count, or a value of X that is not finite.
    void train(const MatrixView& X, const LabelList& y, bool scale);

    // Untrained: "Unknown" for any input. Trained: throws std::invalid_argument
    // for a query of another width or with a value that is not finite.
    std::string predict(const Vector& x) const;

    // One label per row of X, in row order; rows are classified in parallel.
    LabelList predict_batch(const MatrixView& X) const;

private:
    bool trained() const;
    void check_queries(const MatrixView& X) const;

    KNNConfig config;
    std::unique_ptr<AdaptivePCA> pca;
    std::unique_ptr<KNNClassifier> knn;
};

}  // namespace mirelo
