#include "adaptive_pca.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

namespace mirelo {

namespace {

constexpr double kMinSpread = 1e-9;
constexpr double kMinRelativeAxisLength = 1e-9;

std::string shape_of(const Matrix& X) {
    return std::to_string(X.rows()) + " x " + std::to_string(X.cols());
}

// Symmetric eigen-decomposition with eigenvalues and their vectors in decreasing order.
void decompose_descending(const Matrix& symmetric, Vector& eigenvalues, Matrix& axes) {
    const Eigen::SelfAdjointEigenSolver<Matrix> solver(symmetric, Eigen::ComputeEigenvectors);
    eigenvalues = solver.eigenvalues().reverse();
    axes = solver.eigenvectors().rowwise().reverse();
}

}  // namespace

AdaptivePCA::AdaptivePCA(double variance) : variance(variance) {}

void AdaptivePCA::fit(const Matrix& X, bool scale) {
    const Eigen::Index n = X.rows();
    const Eigen::Index d = X.cols();
    if (n == 0 || d == 0) {
        throw std::invalid_argument("expected a training matrix with at least one row and one column, got " +
                                    shape_of(X));
    }
    // With one row the n - 1 divisor is zero; 1.0 keeps spreads and covariance finite.
    const double dof = n > 1 ? static_cast<double>(n - 1) : 1.0;

    Vector new_mean = X.colwise().sum().transpose() / static_cast<double>(n);
    Matrix centred = X.rowwise() - new_mean.transpose();

    Vector new_std_dev = Vector::Ones(d);
    if (scale && n > 1) {
        new_std_dev = (centred.colwise().squaredNorm().transpose() / dof).cwiseSqrt();
        for (Eigen::Index j = 0; j < d; ++j) {
            if (std::isinf(new_std_dev[j])) {  // squares overflowed: take the overflow-safe norm
                new_std_dev[j] = centred.col(j).stableNorm() / std::sqrt(dof);
            }
        }
        new_std_dev = (new_std_dev.array() < kMinSpread).select(1.0, new_std_dev);
        centred.array().rowwise() /= new_std_dev.transpose().array();
    }

    Vector eigenvalues;
    Matrix axes;
    const bool thin = n < d;
    if (thin) {
        const Matrix gram = centred * centred.transpose();
        Matrix gram_vectors;
        decompose_descending(gram, eigenvalues, gram_vectors);
        axes = centred.transpose() * gram_vectors;
        // Null directions of the Gram matrix come out as rounding noise that scales with the data;
        // judged against the longest axis, the call does not depend on the data's magnitude.
        const Vector lengths = axes.colwise().norm().transpose();
        double longest = 0.0;
        for (Eigen::Index c = 0; c < lengths.size(); ++c) {
            if (std::isfinite(lengths[c])) {
                longest = std::max(longest, lengths[c]);
            }
        }
        for (Eigen::Index c = 0; c < axes.cols(); ++c) {
            const double length = lengths[c];
            if (length > kMinRelativeAxisLength * longest) {
                axes.col(c) /= length;
            } else {
                axes.col(c).setZero();  // also catches a length that is not a number
            }
        }
    } else {
        const Matrix covariance = (centred.transpose() * centred) / dof;
        decompose_descending(covariance, eigenvalues, axes);
    }

    select_components(eigenvalues, axes, thin);
    mean.swap(new_mean);
    std_dev.swap(new_std_dev);
}

std::int32_t AdaptivePCA::count_components(const Vector& eigenvalues) const {
    const Eigen::Index m = eigenvalues.size();
    if (variance >= 1.0) {
        // Saturate instead of converting an out-of-range float to int.
        if (variance >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
            return static_cast<std::int32_t>(m);
        }
        return static_cast<std::int32_t>(std::min<Eigen::Index>(m, static_cast<std::int32_t>(variance)));
    }
    if (m == 0) {
        return 0;
    }
    // Summed in order, like the running sums below, so a full prefix gives a ratio of exactly 1.
    const double total = std::accumulate(eigenvalues.begin(), eigenvalues.end(), 0.0);
    double cumulative = 0.0;
    std::int32_t count = 0;
    for (Eigen::Index i = 0; i < m; ++i) {
        cumulative += eigenvalues[i];
        count = static_cast<std::int32_t>(i + 1);
        if (cumulative / total >= variance) {  // NaN ratios never stop the loop
            break;
        }
    }
    return count;
}

void AdaptivePCA::select_components(const Vector& eigenvalues, const Matrix& axes, bool thin) {
    const std::int32_t count = count_components(eigenvalues);
    Matrix kept = axes.leftCols(count);
    n_components = count;
    components.swap(kept);
    std::cout << "[PCA] Fit complete. Mode: " << (thin ? "Thin" : "Standard")
              << " | Components: " << count << std::endl;
}

Matrix AdaptivePCA::transform(const Matrix& X) const {
    const Eigen::Index d = mean.size();
    if (d == 0) {
        return Matrix(X.rows(), 0);
    }
    if (X.cols() != d) {
        throw std::invalid_argument("expected " + std::to_string(d) + " columns, got " +
                                    std::to_string(X.cols()));
    }
    const Matrix scaled = ((X.rowwise() - mean.transpose()).array().rowwise() /
                           std_dev.transpose().array()).matrix();
    return scaled * components;
}

}  // namespace mirelo
