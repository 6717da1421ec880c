#include "input_checks.hpp"

#include <cmath>
#include <stdexcept>

namespace mirelo {

void require_finite(const MatrixView& X, const std::string& what) {
    if (X.allFinite()) {
        return;
    }
    for (Eigen::Index i = 0; i < X.rows(); ++i) {
        for (Eigen::Index j = 0; j < X.cols(); ++j) {
            if (!std::isfinite(X(i, j))) {
                throw std::invalid_argument("expected finite values in " + what + ", got " +
                                            std::to_string(X(i, j)) + " at row " + std::to_string(i) +
                                            ", column " + std::to_string(j));
            }
        }
    }
}

void require_finite_squared_norms(const RowMajorMatrix& reduced, const std::string& what) {
    const Vector norms = reduced.rowwise().squaredNorm();
    for (Eigen::Index i = 0; i < norms.size(); ++i) {
        if (!std::isfinite(norms[i])) {
            throw std::invalid_argument("expected values small enough for squared distances to stay finite, got " +
                                        what + " whose row " + std::to_string(i) +
                                        " overflows once reduced");
        }
    }
}

void require_width(const MatrixView& X, Eigen::Index expected, const std::string& what) {
    if (X.cols() != expected) {
        throw std::invalid_argument("expected " + what + " with " + std::to_string(expected) +
                                    " features (the training width), got " + std::to_string(X.cols()));
    }
}

}  // namespace mirelo
