#include "engine_state.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "huge_pages.hpp"
#include "input_checks.hpp"
#include "knn_engine.hpp"

namespace mirelo {

namespace {

std::string shape_of(Eigen::Index rows, Eigen::Index cols) {
    return std::to_string(rows) + " x " + std::to_string(cols);
}

void require_shape(Eigen::Index rows, Eigen::Index cols, Eigen::Index expected_rows, Eigen::Index expected_cols,
                   const std::string& what) {
    if (rows != expected_rows || cols != expected_cols) {
        throw std::invalid_argument("expected a saved state whose " + what + " is " +
                                    shape_of(expected_rows, expected_cols) + ", got " + shape_of(rows, cols));
    }
}

template <class M>
void require_finite_field(const M& values, const std::string& what) {
    if (!values.allFinite()) {
        throw std::invalid_argument("expected finite values in the saved state's " + what);
    }
}

// Room for rounding: the fit's axes come from an eigensolver, or for wide data from projecting
// the Gram matrix's vectors back, which loses a little orthogonality on the shortest axes.
constexpr double kAxisTolerance = 1e-4;
constexpr double kRatioTolerance = 1e-9;

// Unit, mutually orthogonal axes; for wide data an axis without length is zero instead.
void require_orthonormal_axes(const Matrix& components, const Vector& ratios) {
    const Matrix products = components.transpose() * components;
    bool any_axis = false;
    for (Eigen::Index i = 0; i < products.rows(); ++i) {
        const bool zero = products(i, i) == 0.0;
        any_axis = any_axis || !zero;
        bool fits = zero || std::abs(products(i, i) - 1.0) <= kAxisTolerance;
        for (Eigen::Index j = 0; j < i && fits; ++j) {
            fits = std::abs(products(i, j)) <= kAxisTolerance;
        }
        if (!fits) {
            throw std::invalid_argument("expected a saved state with orthonormal components, got component " +
                                        std::to_string(i) + " of squared length " + std::to_string(products(i, i)) +
                                        " or not orthogonal to an earlier one");
        }
    }
    // Only data that do not vary at all leave no axis.
    if (!any_axis && (ratios.array() != 0.0).any()) {
        throw std::invalid_argument("expected a saved state with at least one non-zero component, got none");
    }
}

// Shares of the variance: finite, not negative, largest first, at most one in all.
void require_ratios(const Vector& ratios) {
    bool fits = ratios.allFinite() && ratios.sum() <= 1.0 + kRatioTolerance;
    for (Eigen::Index i = 0; i < ratios.size() && fits; ++i) {
        fits = ratios[i] >= -kRatioTolerance && (i == 0 || ratios[i] <= ratios[i - 1] + kRatioTolerance);
    }
    if (!fits) {
        throw std::invalid_argument("expected a saved state whose explained variance ratios are finite, not "
                                    "negative, non-increasing and at most 1 in all");
    }
}

}  // namespace

void validate_state(const EngineState& s) {
    const Eigen::Index d = s.mean.size();
    if (d == 0) {
        throw std::invalid_argument("expected a saved state with at least one feature, got an empty mean");
    }
    if (s.n_components < 1 || s.n_components > d) {
        throw std::invalid_argument("expected a saved state with 1 to " + std::to_string(d) +
                                    " components, got " + std::to_string(s.n_components));
    }
    const Eigen::Index m = s.n_components;
    require_shape(s.std_dev.size(), 1, d, 1, "spread vector");
    require_shape(s.components.rows(), s.components.cols(), d, m, "component matrix");
    require_shape(s.explained_variance_ratio.size(), 1, m, 1, "explained variance ratio");
    if (s.reduced.rows() == 0) {
        throw std::invalid_argument("expected a saved state with at least one training row, got none");
    }
    require_shape(s.reduced.rows(), s.reduced.cols(), s.reduced.rows(), m, "reduced training matrix");
    if (static_cast<Eigen::Index>(s.labels.size()) != s.reduced.rows()) {
        throw std::invalid_argument("expected a saved state with one label per training row (" +
                                    std::to_string(s.reduced.rows()) + "), got " +
                                    std::to_string(s.labels.size()) + " labels");
    }
    // The PCA's exponent brings the largest centred magnitude near one: a double's exponent range.
    constexpr int kLowest = 1 - std::numeric_limits<double>::max_exponent;
    constexpr int kHighest = std::numeric_limits<double>::digits - std::numeric_limits<double>::min_exponent;
    if (s.scale_exponent < kLowest || s.scale_exponent > kHighest) {
        throw std::invalid_argument("expected a saved state with a scale exponent from " + std::to_string(kLowest) +
                                    " to " + std::to_string(kHighest) + ", got " +
                                    std::to_string(s.scale_exponent));
    }
    require_finite_field(s.mean, "mean");
    require_finite_field(s.components, "components");
    require_ratios(s.explained_variance_ratio);
    require_orthonormal_axes(s.components, s.explained_variance_ratio);
    require_finite_field(s.reduced, "reduced training matrix");
    // Spreads are at least the smallest the fit keeps, or one.
    if (!s.std_dev.allFinite() || (s.std_dev.array() <= 0.0).any()) {
        throw std::invalid_argument("expected finite, positive spreads in the saved state");
    }
    require_finite_squared_norms(s.reduced, "a saved state");
}

EngineState KNNEngine::export_state() const {
    if (!trained()) {
        throw std::logic_error("an untrained engine has no state to export");
    }
    return {pca->mean, pca->std_dev, pca->n_components, pca->components, pca->explained_variance_ratio,
            knn->X_train, knn->labels(), pca->scale_exponent};
}

void KNNEngine::import_state(const EngineState& state) {
    validate_state(state);
    auto new_pca = std::make_unique<AdaptivePCA>(config.variance);
    new_pca->progress = progress;
    new_pca->mean = state.mean;
    new_pca->std_dev = state.std_dev;
    new_pca->n_components = state.n_components;
    new_pca->set_components(state.components);
    new_pca->explained_variance_ratio = state.explained_variance_ratio;
    new_pca->scale_exponent = state.scale_exponent;
    auto new_knn = std::make_unique<KNNClassifier>(config.k);
    RowMajorMatrix rows = matrix_on_huge_pages(state.reduced.rows(), state.reduced.cols());
    rows = state.reduced;
    new_knn->fit(std::move(rows), state.labels);
    pca.swap(new_pca);
    knn.swap(new_knn);
}

}  // namespace mirelo
