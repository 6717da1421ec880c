#include "adaptive_pca.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <omp.h>

#include "centred_products.hpp"
#include "kernels.hpp"
#include "parallel_job.hpp"
#include "symmetric_eigen.hpp"

namespace mirelo {

namespace {

constexpr double kMinSpread = 1e-9;
constexpr double kMinRelativeAxisLength = 1e-9;

std::string shape_of(const MatrixView& X) {
    return std::to_string(X.rows()) + " x " + std::to_string(X.cols());
}

// What the fit needs to know of X's columns before any product.
struct ColumnStatistics {
    Vector mean;
    Vector squares;  // of the differences from the mean
    Vector largest;  // magnitude of those differences
    bool finite = true;  // whether every difference is finite
};

// The mean over a column's values: sum / n, or, where the sum overflows, the same taken at a
// smaller power of two, which changes no bits elsewhere.
template <class Values>
double mean_of(const Values& values) {
    const double sum = values.sum();
    if (std::isfinite(sum)) {
        return sum / static_cast<double>(values.size());
    }
    constexpr int kShift = 64;
    return std::ldexp((values * std::ldexp(1.0, -kShift)).sum() / static_cast<double>(values.size()), kShift);
}

// Column statistics from one pass over X, in parallel over blocks of columns. Each block is
// gathered into a column-major buffer, every column at the alignment it has in a column-major
// copy of X, and summed there: a column's sums are then those of such a copy, whatever the thread
// count. The mean takes a second pass over the buffer that adds the mean of what the first left
// over, so that a constant column centres to exactly zero.
ColumnStatistics column_statistics(const MatrixView& X) {
    constexpr Eigen::Index kColumns = 8;
    const Eigen::Index n = X.rows();
    const Eigen::Index d = X.cols();
    const Eigen::Index blocks = (d + kColumns - 1) / kColumns;
    ColumnStatistics out{Vector(d), Vector(d), Vector(d)};
    std::vector<char> finite(static_cast<std::size_t>(blocks));
    const int threads = omp_get_max_threads();
    std::vector<Vector> buffers(static_cast<std::size_t>(threads), Vector(n * kColumns + 1));
    ParallelJob job;
#pragma omp parallel for schedule(static) num_threads(threads)
    for (Eigen::Index b = 0; b < blocks; ++b) {
        job.run([&] {
            const Eigen::Index first = b * kColumns;
            const Eigen::Index count = std::min(kColumns, d - first);
            Vector& buffer = buffers[static_cast<std::size_t>(omp_get_thread_num())];
            Eigen::Map<Matrix> block(buffer.data() + (first * n) % 2, n, count);
            // A run of rows at a time, whose lines of X stay in cache while each column is written.
            constexpr Eigen::Index kRun = 256;
            for (Eigen::Index top = 0; top < n; top += kRun) {
                const Eigen::Index rows = std::min(kRun, n - top);
                for (Eigen::Index c = 0; c < count; ++c) {
                    for (Eigen::Index i = top; i < top + rows; ++i) block(i, c) = X(i, first + c);
                }
            }
            for (Eigen::Index c = 0; c < count; ++c) {
                const double first_mean = mean_of(block.col(c).array());
                out.mean[first + c] = first_mean + mean_of(block.col(c).array() - first_mean);
            }
            block.rowwise() -= out.mean.segment(first, count).transpose();
            finite[static_cast<std::size_t>(b)] = block.allFinite();
            out.squares.segment(first, count) = block.colwise().squaredNorm().transpose();
            out.largest.segment(first, count) = block.cwiseAbs().colwise().maxCoeff().transpose();
        });
    }
    job.finish();
    out.finite = std::all_of(finite.begin(), finite.end(), [](char f) { return f != 0; });
    return out;
}

// The power of two that the centred data are multiplied by before any product: zero unless
// their squares, summed over `terms` products, could overflow, or the squares of their largest
// values would lose precision below the normal range. Scaling is exact, so data that need none
// give the same bits as without it.
int safe_scale_exponent(double largest, Eigen::Index terms) {
    if (!(largest > 0.0) || !std::isfinite(largest)) {
        return 0;
    }
    const int exponent = std::ilogb(largest);
    const int headroom = static_cast<int>(std::ceil(std::log2(static_cast<double>(terms)))) + 4;
    const bool may_overflow = 2 * (exponent + 1) + headroom > std::numeric_limits<double>::max_exponent;
    const bool may_underflow = 2 * exponent < std::numeric_limits<double>::min_exponent + 2 * 53;
    return may_overflow || may_underflow ? -exponent : 0;
}

// Symmetric eigen-decomposition (of the lower triangle) with eigenvalues and their vectors in
// decreasing order.
void decompose_descending(const Matrix& symmetric, const VectorCount& vectors_wanted, Vector& eigenvalues,
                          Matrix& axes) {
    // Finite data whose products overflow: no axes can be trusted, and for wide data the
    // overflowed directions would otherwise be zeroed and every row reduced to the origin.
    if (!lower_triangle_is_finite(symmetric)) {
        throw std::invalid_argument(
            "expected values small enough for squared distances to stay finite, got a training matrix whose "
            "covariance overflows");
    }
    symmetric_eigen_descending(symmetric, vectors_wanted, eigenvalues, axes);
}

// centred^T * vectors, d x columns, parallel over blocks of output rows: each block's features
// are centred into a buffer of the thread's as rows of the product.
Matrix back_project(const CentredRows& centred, const Matrix& vectors) {
    const Eigen::Index n = centred.X.rows();
    const Eigen::Index d = centred.X.cols();
    std::vector<double> packed(static_cast<std::size_t>(packed_size(vectors.cols(), n)));
    pack_rows({vectors.data(), n, 1}, vectors.cols(), n, packed.data());
    Matrix axes(d, vectors.cols());
    constexpr Eigen::Index kBlock = 24;
    const int threads = omp_get_max_threads();
    std::vector<double> buffers(static_cast<std::size_t>(threads * kBlock * n));
    ParallelJob job;
#pragma omp parallel for schedule(static) num_threads(threads)
    for (Eigen::Index top = 0; top < d; top += kBlock) {
        job.run([&] {
            const Eigen::Index features = std::min(kBlock, d - top);
            double* rows = buffers.data() + omp_get_thread_num() * kBlock * n;
            for (Eigen::Index i = 0; i < n; ++i) {
                for (Eigen::Index r = 0; r < features; ++r) rows[r * n + i] = centred.value(i, top + r);
            }
            multiply_packed({rows, n, 1}, features, packed.data(), vectors.cols(), n, {axes.data() + top, 1, d},
                            false);
        });
    }
    job.finish();
    return axes;
}

}  // namespace

AdaptivePCA::AdaptivePCA(double variance) : variance(variance), progress(&std::cout) {}

void AdaptivePCA::fit(const MatrixView& X, bool scale) {
    const Eigen::Index n = X.rows();
    const Eigen::Index d = X.cols();
    if (n == 0 || d == 0) {
        throw std::invalid_argument("expected a training matrix with at least one row and one column, got " +
                                    shape_of(X));
    }
    // With one row the n - 1 divisor is zero; 1.0 keeps spreads and covariance finite.
    const double dof = n > 1 ? static_cast<double>(n - 1) : 1.0;

    // X is never copied: it is centred, divided and scaled while it is packed for each product.
    ColumnStatistics columns = column_statistics(X);
    Vector new_mean = std::move(columns.mean);
    if (!columns.finite) {
        throw std::invalid_argument(
            "expected values whose differences from their column's mean are finite, got a training matrix "
            "spanning more than the largest double");
    }

    Vector new_std_dev = Vector::Ones(d);
    if (scale && n > 1) {
        new_std_dev = (columns.squares / dof).cwiseSqrt();
        for (Eigen::Index j = 0; j < d; ++j) {
            if (std::isinf(new_std_dev[j])) {  // squares overflowed: take the overflow-safe norm
                new_std_dev[j] = (X.col(j).array() - new_mean[j]).matrix().stableNorm() / std::sqrt(dof);
            }
        }
        new_std_dev = (new_std_dev.array() < kMinSpread).select(1.0, new_std_dev);
    }
    // Dividing is monotone, so the largest divided value is the largest of each column's divided.
    const int new_scale_exponent =
        safe_scale_exponent((columns.largest.array() / new_std_dev.array()).maxCoeff(), std::max(n, d));
    const CentredRows centred{X, new_mean, new_std_dev, std::ldexp(1.0, new_scale_exponent)};

    Vector eigenvalues;
    Matrix axes;
    const bool thin = n < d;
    // Only the vectors of the axes that will be kept are formed.
    const VectorCount kept = [this](const Vector& values) { return count_components(values); };
    if (thin) {
        // Only the lower triangle is formed: half the work of the full product.
        const Matrix gram = row_products_lower(centred);
        Matrix gram_vectors;
        decompose_descending(gram, kept, eigenvalues, gram_vectors);
        axes = back_project(centred, gram_vectors);
        // Null directions of the Gram matrix come out as rounding noise that scales with the data;
        // judged against the longest axis (the first, always kept), the call does not depend on
        // the data's magnitude.
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
        decompose_descending(column_products_lower(centred) / dof, kept, eigenvalues, axes);
    }

    select_components(eigenvalues, axes, thin);
    mean.swap(new_mean);
    std_dev.swap(new_std_dev);
    scale_exponent = new_scale_exponent;
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
    const double total = eigenvalues.sum();
    Vector ratio = total > 0.0 ? Vector(eigenvalues.head(count) / total) : Vector(Vector::Zero(count));
    set_components(std::move(kept));
    n_components = count;
    explained_variance_ratio.swap(ratio);
    if (progress != nullptr) {
        *progress << "[PCA] Fit complete. Mode: " << (thin ? "Thin" : "Standard") << " | Components: " << count
                  << std::endl;
    }
}

std::size_t AdaptivePCA::memory_bytes() const {
    const Eigen::Index values = mean.size() + std_dev.size() + components.size() + explained_variance_ratio.size();
    return (static_cast<std::size_t>(values) + packed_components.capacity()) * sizeof(double);
}

void AdaptivePCA::set_components(Matrix axes) {
    const Eigen::Index d = axes.rows();
    const Eigen::Index m = axes.cols();
    const Eigen::Index slices = (d + kTransformFeatures - 1) / kTransformFeatures;
    std::vector<double> packed(static_cast<std::size_t>(slices * packed_size(m, kTransformFeatures)));
    for (Eigen::Index s = 0; s < slices; ++s) {
        const Eigen::Index first = s * kTransformFeatures;
        pack_rows({axes.data() + first, d, 1}, m, std::min(kTransformFeatures, d - first),
                  packed.data() + first * packed_size(m, 1));
    }
    components.swap(axes);
    packed_components.swap(packed);
}

RowMajorMatrix AdaptivePCA::transform(const MatrixView& X) const {
    const Eigen::Index d = mean.size();
    if (d == 0) {
        return RowMajorMatrix(X.rows(), 0);
    }
    if (X.cols() != d) {
        throw std::invalid_argument("expected " + std::to_string(d) + " columns, got " +
                                    std::to_string(X.cols()));
    }
    const Eigen::Index n = X.rows();
    const Eigen::Index m = components.cols();
    RowMajorMatrix reduced(n, m);
    // Rows are centred, divided and scaled a block at a time (kRows rows by kTransformFeatures
    // features) into a buffer per thread, so X is read once, where it lies. Each coordinate is one
    // chain of products in feature order, continued from block to block, so a row projects to the
    // same bits alone, in any batch and on any number of threads.
    constexpr Eigen::Index kRows = 256;
    const Eigen::Index chunks = (n + kRows - 1) / kRows;
    const Eigen::Index slices = (d + kTransformFeatures - 1) / kTransformFeatures;
    const int threads = chunks > 1 ? omp_get_max_threads() : 1;
    const Eigen::Index buffer_size = std::min(kRows, n) * kTransformFeatures;
    std::vector<double> buffers(static_cast<std::size_t>(threads * buffer_size));
    const CentredRows centred{X, mean, std_dev, std::ldexp(1.0, scale_exponent)};
    const auto project = [&](Eigen::Index c, double* scaled) {
        const Eigen::Index first_row = c * kRows;
        const Eigen::Index rows = std::min(kRows, n - first_row);
        for (Eigen::Index s = 0; s < slices; ++s) {
            const Eigen::Index first = s * kTransformFeatures;
            const Eigen::Index features = std::min(kTransformFeatures, d - first);
            for (Eigen::Index i = 0; i < rows; ++i) {
                for (Eigen::Index j = 0; j < features; ++j) {
                    scaled[i * kTransformFeatures + j] = centred.value(first_row + i, first + j);
                }
            }
            multiply_packed({scaled, kTransformFeatures, 1}, rows,
                            packed_components.data() + first * packed_size(m, 1), m, features,
                            {reduced.data() + first_row * m, m, 1}, s > 0);
        }
    };
    if (chunks <= 1) {
        // A few rows (one query, say): no thread team to start.
        if (chunks == 1) project(0, buffers.data());
        return reduced;
    }
    ParallelJob job;
#pragma omp parallel for schedule(static) num_threads(threads)
    for (Eigen::Index c = 0; c < chunks; ++c) {
        job.run([&] { project(c, buffers.data() + omp_get_thread_num() * buffer_size); });
    }
    job.finish();
    return reduced;
}

}  // namespace mirelo
