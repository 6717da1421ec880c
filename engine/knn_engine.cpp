#include "knn_engine.hpp"

#include <iostream>
#include <stdexcept>
#include <utility>

#include "input_checks.hpp"
#include "parallel_job.hpp"

namespace mirelo {

KNNEngine::KNNEngine(KNNConfig config)
    : config(config),
      pca(std::make_unique<AdaptivePCA>(this->config.variance)),
      knn(std::make_unique<KNNClassifier>(this->config.k)) {}

bool KNNEngine::trained() const { return pca->mean.size() > 0; }

void KNNEngine::check_queries(const MatrixView& X) const {
    require_width(X, pca->mean.size(), "queries");
    require_finite(X, "the queries");
}

void KNNEngine::train(const MatrixView& X, const LabelList& y, bool scale) {
    // An empty X is rejected by the PCA fit below, before anything is swapped in.
    if (static_cast<Eigen::Index>(y.size()) != X.rows()) {
        throw std::invalid_argument("expected one label per training row (" + std::to_string(X.rows()) +
                                    "), got " + std::to_string(y.size()) + " labels");
    }
    require_finite(X, "the training matrix");

    // Fit fresh components aside; swap them in only when every step succeeded.
    auto new_pca = std::make_unique<AdaptivePCA>(config.variance);
    new_pca->fit(X, scale);
    check_interruption();
    const RowMajorMatrix reduced = new_pca->transform(X);
    require_finite_squared_norms(reduced, "a training matrix");
    auto new_knn = std::make_unique<KNNClassifier>(config.k);
    new_knn->fit(reduced, y);

    pca.swap(new_pca);
    knn.swap(new_knn);
    std::cout << "[Engine] Trained successfully. Reduced to " << pca->n_components << " dimensions."
              << std::endl;
}

std::string KNNEngine::predict(const Vector& x) const {
    if (!trained()) {
        return "Unknown";
    }
    const Eigen::Map<const RowMajorMatrix> row(x.data(), 1, x.size());
    check_queries(row);
    const RowMajorMatrix reduced = pca->transform(row);
    require_finite_squared_norms(reduced, "a query");
    return knn->predict_rows(reduced).front();
}

}  // namespace mirelo
