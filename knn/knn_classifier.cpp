#include "knn_classifier.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <stdexcept>
#include <utility>
#include <vector>

namespace mirelo {

KNNClassifier::KNNClassifier(std::int32_t k) : k(k) {}

void KNNClassifier::fit(const Matrix& X, const LabelList& y) {
    if (static_cast<Eigen::Index>(y.size()) < X.rows()) {
        throw std::invalid_argument("expected at least one label per row: got " +
                                    std::to_string(y.size()) + " labels for " +
                                    std::to_string(X.rows()) + " rows");
    }
    // Build the new store aside so that a failure leaves the old one whole.
    RowMajorMatrix rows = X;
    LabelList labels = y;
    Vector norms = rows.rowwise().squaredNorm();

    X_train.swap(rows);
    y_train.swap(labels);
    sq_norms.swap(norms);
}

std::string KNNClassifier::predict(const Vector& x) const {
    const Eigen::Index n = X_train.rows();
    if (n == 0 || k <= 0) {
        return "Unknown";
    }
    if (x.size() != X_train.cols()) {
        throw std::invalid_argument("expected a query of length " + std::to_string(X_train.cols()) +
                                    ", got length " + std::to_string(x.size()));
    }

    const double q = x.squaredNorm();
    Vector dist(n);
    {
        const Vector p = X_train * x;
        dist.array() = (sq_norms.array() - 2.0 * p.array()) + q;
    }

    std::vector<Eigen::Index> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), Eigen::Index{0});

    const Eigen::Index K = std::min<Eigen::Index>(k, n);
    if (K < n) {
        // NaN distances sort after every number, keeping the ordering strict and weak.
        const auto nearer = [&dist](Eigen::Index a, Eigen::Index b) {
            const double da = dist[a];
            const double db = dist[b];
            if (std::isnan(db)) {
                return !std::isnan(da);
            }
            return da < db;
        };
        std::nth_element(order.begin(), order.begin() + K, order.end(), nearer);
    }

    std::map<std::string, std::int32_t> votes;
    for (Eigen::Index i = 0; i < K; ++i) {
        ++votes[y_train[static_cast<std::size_t>(order[static_cast<std::size_t>(i)])]];
    }

    auto winner = votes.begin();
    for (auto it = std::next(votes.begin()); it != votes.end(); ++it) {
        if (it->second > winner->second) {
            winner = it;
        }
    }
    return winner->first;
}

}  // namespace mirelo
