#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <vector>

#include "first_pass.hpp"
#include "input_rows.hpp"
#include "mirelo_types.hpp"
#include "read_digest.hpp"

namespace mirelo {

// PCA that keeps either enough axes to explain a share of the variance
// (variance < 1) or a fixed number of axes (variance >= 1). Decomposes the
// covariance for tall data (n >= d) and the Gram matrix for wide data (n < d).
// Every variance has a meaning: zero or less keeps one axis (the first share reaches it), NaN
// every axis (no share reaches it), and 2^31 or more, infinity included, every axis.
class AdaptivePCA {
public:
    explicit AdaptivePCA(double variance);

    // Learns means, optional spreads and the kept axes, then writes one line to `progress`;
    // `report` hears of each stage, and `read`, when given, gets the digest of X's values as the
    // statistics read them. Throws std::invalid_argument for a matrix with no rows or no columns,
    // or with a value that is not finite (naming its row and column). On any exception the
    // previous fit stays in place.
    void fit(const InputRows& X, bool scale, const ProgressReport& report, ReadDigest* read = nullptr);
    void fit(const MatrixView& X, bool scale);
    // The same fit from the statistics of all the rows of tall data, with no report; throws
    // std::invalid_argument for statistics of no rows or of fewer rows than columns.
    void fit(TallStatistics&& statistics, bool scale);

    // eigenvalues: m values in decreasing order; axes: d rows, column i for
    // eigenvalue i, at least as many columns as are kept. Sets n_components,
    // components and explained_variance_ratio and writes the fit line.
    void select_components(const Vector& eigenvalues, const Matrix& axes, bool thin);

    // Replaces the components (d x m, one axis a column) and the copy laid out for transform.
    void set_components(Matrix axes);

    // Centres, divides and projects each row. Before any fit the result has no
    // columns; afterwards X must have the training width (std::invalid_argument).
    RowMajorMatrix transform(const InputRows& X) const;
    RowMajorMatrix transform(const MatrixView& X) const { return transform(InputRows(X)); }

    // transform's rows, written row-major to `reduced` (X.rows() x n_components); fitted only,
    // and X of the training width. `read`, when given, has the digest of X's values as read added
    // to it, X's rows counted from 0.
    void project(const InputRows& X, double* reduced, ReadDigest* read = nullptr) const;

    // Bytes held by the fitted arrays.
    std::size_t memory_bytes() const;

    const double variance;
    std::int32_t n_components = 0;
    Vector mean;
    Vector std_dev;
    Matrix components;  // set through set_components
    // Each kept axis's share of the total variance (0 when the data do not vary).
    Vector explained_variance_ratio;
    // Where the fit line goes; null for nowhere.
    std::ostream* progress;
    // Centred (and divided) data are multiplied by 2^scale_exponent before any product, so that
    // no square overflows or underflows; 0 for all but extreme magnitudes. transform applies it
    // too, so reduced rows and their distances carry the factor (squared).
    int scale_exponent = 0;

private:
    // The rest of a fit from its first pass; `wide_rows` are the rows of wide data, null for tall.
    void fit(FirstPass&& pass, const InputRows* wide_rows, const ProgressReport& report, ReadDigest* read);
    std::int32_t count_components(const Vector& eigenvalues) const;

    // The components packed by pack_rows a slice of kTransformFeatures features at a time, each
    // slice on its own, so that a call to transform (one row, say) does not lay them out again.
    static constexpr Eigen::Index kTransformFeatures = 256;
    std::vector<double> packed_components;
};

}  // namespace mirelo
