#include "engine_state.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "first_pass.hpp"
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

// Each spread is what the fit divides by: 1 (no scaling, or a column that barely varies) or a
// finite deviation of at least kMinSpread.
void require_spreads(const Vector& spreads) {
    for (Eigen::Index j = 0; j < spreads.size(); ++j) {
        if (!(spreads[j] == 1.0 || (std::isfinite(spreads[j]) && spreads[j] >= kMinSpread))) {
            std::ostringstream message;
            message << "expected a saved state whose spread vector holds 1 or finite values of at least "
                    << kMinSpread << ", got " << spreads[j] << " for feature " << j;
            throw std::invalid_argument(message.str());
        }
    }
}

// A row projected onto an axis of zero length (wide data's null directions) lands on zero.
void require_flat_zero_axes(const EngineState& s) {
    for (Eigen::Index c = 0; c < s.reduced.cols(); ++c) {
        if ((s.components.col(c).array() == 0.0).all() && (s.reduced.col(c).array() != 0.0).any()) {
            throw std::invalid_argument("expected a saved state whose reduced training matrix is zero along component " +
                                        std::to_string(c) + ", an axis of zero length, got rows that vary along it");
        }
    }
}

}  // namespace

void validate_shape(const StateShape& s) {
    const Eigen::Index d = s.features;
    if (d == 0) {
        throw std::invalid_argument("expected a saved state with at least one feature, got an empty mean");
    }
    if (s.n_components < 1 || s.n_components > d) {
        throw std::invalid_argument("expected a saved state with 1 to " + std::to_string(d) +
                                    " components, got " + std::to_string(s.n_components));
    }
    const auto m = static_cast<Eigen::Index>(s.n_components);
    require_shape(s.spreads, 1, d, 1, "spread vector");
    require_shape(s.component_rows, s.component_cols, d, m, "component matrix");
    require_shape(s.ratios, 1, m, 1, "explained variance ratio");
    if (s.rows == 0) {
        throw std::invalid_argument("expected a saved state with at least one training row, got none");
    }
    require_shape(s.rows, s.reduced_cols, s.rows, m, "reduced training matrix");
    if (s.labels != s.rows) {
        throw std::invalid_argument("expected a saved state with one label per training row (" +
                                    std::to_string(s.rows) + "), got " + std::to_string(s.labels) + " labels");
    }
}

namespace {

// validate_state's checks of the reduction and the class names, for a store of rows x cols
// values, `labels` labels and `classes` classes.
void validate_reduction(const EngineState& s, Eigen::Index rows, Eigen::Index cols, Eigen::Index labels,
                        Eigen::Index classes) {
    validate_shape({s.mean.size(), s.std_dev.size(), s.components.rows(), s.components.cols(),
                    s.explained_variance_ratio.size(), rows, cols, labels, s.n_components});
    if (!s.class_names.empty() && static_cast<Eigen::Index>(s.class_names.size()) != classes) {
        throw std::invalid_argument("expected a saved state with a name per class (" + std::to_string(classes) +
                                    "), got " + std::to_string(s.class_names.size()) + " names");
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
    require_spreads(s.std_dev);
}

}  // namespace

void validate_state(const EngineState& s) {
    validate_reduction(s, s.reduced.rows(), s.reduced.cols(), static_cast<Eigen::Index>(s.classes.of_row.size()),
                       s.classes.count);
    require_finite_field(s.reduced, "reduced training matrix");
    require_finite_squared_norms(s.reduced, "a saved state");
    require_flat_zero_axes(s);
}

EngineState KNNEngine::export_state() const {
    if (!trained()) {
        throw std::logic_error("an untrained engine has no state to export");
    }
    return {pca->mean, pca->std_dev, pca->n_components, pca->components, pca->explained_variance_ratio,
            stored_rows(), {training_places(), n_classes()}, class_names, pca->scale_exponent};
}

namespace {

std::unique_ptr<AdaptivePCA> reduction_of(const EngineState& state, double variance, std::ostream* progress) {
    auto pca = std::make_unique<AdaptivePCA>(variance);
    pca->progress = progress;
    pca->mean = state.mean;
    pca->std_dev = state.std_dev;
    pca->n_components = state.n_components;
    pca->set_components(state.components);
    pca->explained_variance_ratio = state.explained_variance_ratio;
    pca->scale_exponent = state.scale_exponent;
    return pca;
}

}  // namespace

void KNNEngine::import_state(const EngineState& state) {
    validate_state(state);
    auto new_pca = reduction_of(state, config.variance, progress);
    auto new_knn = std::make_unique<KNNClassifier>(config.k);
    RowMajorMatrix rows = matrix_on_huge_pages(state.reduced.rows(), state.reduced.cols());
    rows = state.reduced;
    new_knn->fit(std::move(rows), state.classes);
    LabelList names = state.class_names;
    pca.swap(new_pca);
    knn = std::move(new_knn);
    side.reset();
    class_names.swap(names);
}

void KNNEngine::import_state(const EngineState& state, std::shared_ptr<const KNNClassifier> store) {
    validate_reduction(state, store->X_train.rows(), store->X_train.cols(),
                       static_cast<Eigen::Index>(store->class_of_row.size()), store->n_classes);
    if (store->k != config.k) {
        throw std::invalid_argument("expected a store for k=" + std::to_string(config.k) + ", got one for k=" +
                                    std::to_string(store->k));
    }
    auto new_pca = reduction_of(state, config.variance, progress);
    LabelList names = state.class_names;
    pca.swap(new_pca);
    knn = std::move(store);
    side.reset();
    class_names.swap(names);
}

}  // namespace mirelo
