#include "adaptive_pca.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include <omp.h>

#include "kernels.hpp"
#include "parallel_job.hpp"
#include "symmetric_eigen.hpp"

namespace mirelo {

namespace {

constexpr double kMinSpread = 1e-9;
constexpr double kMinRelativeAxisLength = 1e-9;

std::string shape_of(const Matrix& X) {
    return std::to_string(X.rows()) + " x " + std::to_string(X.cols());
}

// Column means in two passes: the second adds the mean of what the first left over, so that a
// constant column centres to exactly zero. A sum that overflows is taken again at a smaller
// power of two, which changes no bits elsewhere.
Vector column_means(const Matrix& X) {
    const double n = static_cast<double>(X.rows());
    const auto mean_of = [n](const auto& values) {
        const double sum = values.sum();
        if (std::isfinite(sum)) {
            return sum / n;
        }
        constexpr int kShift = 64;
        return std::ldexp((values * std::ldexp(1.0, -kShift)).sum() / n, kShift);
    };
    Vector means(X.cols());
    for (Eigen::Index j = 0; j < X.cols(); ++j) {
        const double first = mean_of(X.col(j).array());
        means[j] = first + mean_of(X.col(j).array() - first);
    }
    return means;
}

// The power of two that the centred data are multiplied by before any product: zero unless
// their squares, summed over `terms` products, could overflow, or the squares of their largest
// values would lose precision below the normal range. Scaling is exact, so data that need none
// give the same bits as without it.
int safe_scale_exponent(const Matrix& centred, Eigen::Index terms) {
    const double largest = centred.size() > 0 ? centred.cwiseAbs().maxCoeff() : 0.0;
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
void decompose_descending(const Matrix& symmetric, Vector& eigenvalues, Matrix& axes) {
    // Finite data whose products overflow: no axes can be trusted, and for wide data the
    // overflowed directions would otherwise be zeroed and every row reduced to the origin.
    if (!lower_triangle_is_finite(symmetric)) {
        throw std::invalid_argument(
            "expected values small enough for squared distances to stay finite, got a training matrix whose "
            "covariance overflows");
    }
    symmetric_eigen_descending(symmetric, eigenvalues, axes);
}

// The columns of a column-major matrix, packed as rows for the product kernel.
std::vector<double> packed_columns(const Matrix& M) {
    std::vector<double> packed(static_cast<std::size_t>(packed_size(M.cols(), M.rows())));
    pack_rows({M.data(), M.rows(), 1}, M.cols(), M.rows(), packed.data());
    return packed;
}

// Lower triangle of the products of `count` rows (each `length` long) with each other. The
// length is taken in slices whose packed rows stay in cache; each element's chain runs on
// through the slices, so the result does not depend on the number of threads.
Matrix products_lower(StridedRows rows, Eigen::Index count, Eigen::Index length) {
    constexpr Eigen::Index kSlice = 256;
    constexpr Eigen::Index kBand = 24;
    const Eigen::Index groups = (count + kPanelRows - 1) / kPanelRows;
    const Eigen::Index bands = (count + kBand - 1) / kBand;
    Matrix sum = Matrix::Zero(count, count);
    std::vector<double> packed(static_cast<std::size_t>(packed_size(count, kSlice)));
    ParallelJob job;
    for (Eigen::Index first = 0; first < length; first += kSlice) {
        const Eigen::Index slice = std::min(kSlice, length - first);
        const double* start = rows.data + first * rows.element_stride;
#pragma omp parallel
        {
#pragma omp for schedule(static)
            for (Eigen::Index g = 0; g < groups; ++g) {
                job.run([&] {
                    const Eigen::Index top = g * kPanelRows;
                    pack_rows({start + top * rows.row_stride, rows.row_stride, rows.element_stride},
                              std::min(kPanelRows, count - top), slice, packed.data() + top * slice);
                });
            }
            // Bands of the triangle grow towards the bottom: hand them out one at a time.
#pragma omp for schedule(dynamic, 1)
            for (Eigen::Index band = 0; band < bands; ++band) {
                job.run([&] {
                    const Eigen::Index top = band * kBand;
                    const Eigen::Index height = std::min(kBand, count - top);
                    // Row i of the band fills column top + i, the upper triangle, where each group
                    // of eight outputs is contiguous.
                    multiply_packed({start + top * rows.row_stride, rows.row_stride, rows.element_stride}, height,
                                    packed.data(), top + height, slice, {sum.data() + top * count, count, 1},
                                    true);
                });
            }
        }
        job.finish();
    }
    return sum.transpose();
}

// centred^T * vectors, d x columns, parallel over blocks of output rows.
Matrix back_project(const Matrix& centred, const Matrix& vectors) {
    const Eigen::Index n = centred.rows();
    const Eigen::Index d = centred.cols();
    const std::vector<double> packed = packed_columns(vectors);
    Matrix axes(d, vectors.cols());
    constexpr Eigen::Index kBlock = 24;
    ParallelJob job;
#pragma omp parallel for schedule(static)
    for (Eigen::Index top = 0; top < d; top += kBlock) {
        job.run([&] {
            multiply_packed({centred.data() + top * n, n, 1}, std::min(kBlock, d - top), packed.data(),
                            vectors.cols(), n, {axes.data() + top, 1, d}, false);
        });
    }
    job.finish();
    return axes;
}

}  // namespace

AdaptivePCA::AdaptivePCA(double variance) : variance(variance), progress(&std::cout) {}

void AdaptivePCA::fit(const Matrix& X, bool scale) {
    const Eigen::Index n = X.rows();
    const Eigen::Index d = X.cols();
    if (n == 0 || d == 0) {
        throw std::invalid_argument("expected a training matrix with at least one row and one column, got " +
                                    shape_of(X));
    }
    // With one row the n - 1 divisor is zero; 1.0 keeps spreads and covariance finite.
    const double dof = n > 1 ? static_cast<double>(n - 1) : 1.0;

    Vector new_mean = column_means(X);
    Matrix centred = X.rowwise() - new_mean.transpose();
    if (!centred.allFinite()) {
        throw std::invalid_argument(
            "expected values whose differences from their column's mean are finite, got a training matrix "
            "spanning more than the largest double");
    }

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
    const int new_scale_exponent = safe_scale_exponent(centred, std::max(n, d));
    if (new_scale_exponent != 0) {
        centred *= std::ldexp(1.0, new_scale_exponent);
    }

    Vector eigenvalues;
    Matrix axes;
    const bool thin = n < d;
    if (thin) {
        // Only the lower triangle is formed: half the work of the full product.
        const Matrix gram = products_lower({centred.data(), 1, n}, n, d);
        Matrix gram_vectors;
        decompose_descending(gram, eigenvalues, gram_vectors);
        // Only the axes that will be kept are formed: d x count rather than d x n.
        axes = back_project(centred, gram_vectors.leftCols(count_components(eigenvalues)));
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
        decompose_descending(products_lower({centred.data(), n, 1}, d, n) / dof, eigenvalues, axes);
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
    n_components = count;
    components.swap(kept);
    explained_variance_ratio.swap(ratio);
    if (progress != nullptr) {
        *progress << "[PCA] Fit complete. Mode: " << (thin ? "Thin" : "Standard") << " | Components: " << count
                  << std::endl;
    }
}

std::size_t AdaptivePCA::memory_bytes() const {
    const Eigen::Index values = mean.size() + std_dev.size() + components.size() + explained_variance_ratio.size();
    return static_cast<std::size_t>(values) * sizeof(double);
}

RowMajorMatrix AdaptivePCA::transform(const Matrix& X) const {
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
    // Rows are centred and divided a block at a time (kRows rows by kFeatures features) into a
    // buffer per thread, not copied whole; the buffer is column-major like X, so filling it
    // reads X a page at a time. Each coordinate is one chain of products in feature order,
    // continued from block to block, so a row projects to the same bits alone, in any batch and
    // on any number of threads.
    constexpr Eigen::Index kRows = 512;
    constexpr Eigen::Index kFeatures = 64;
    const Eigen::Index chunks = (n + kRows - 1) / kRows;
    const Eigen::Index slices = (d + kFeatures - 1) / kFeatures;
    const int threads = chunks > 1 ? omp_get_max_threads() : 1;
    std::vector<Matrix> buffers(static_cast<std::size_t>(threads), Matrix(std::min(kRows, n), kFeatures));
    // The components packed slice by slice, each slice laid out for the kernel on its own.
    std::vector<double> packed(static_cast<std::size_t>(slices * packed_size(m, kFeatures)));
    for (Eigen::Index s = 0; s < slices; ++s) {
        const Eigen::Index first = s * kFeatures;
        pack_rows({components.data() + first, d, 1}, m, std::min(kFeatures, d - first),
                  packed.data() + first * packed_size(m, 1));
    }
    ParallelJob job;
#pragma omp parallel for schedule(static) num_threads(threads)
    for (Eigen::Index c = 0; c < chunks; ++c) {
        job.run([&] {
            const Eigen::Index first_row = c * kRows;
            const Eigen::Index rows = std::min(kRows, n - first_row);
            Matrix& scaled = buffers[static_cast<std::size_t>(omp_get_thread_num())];
            for (Eigen::Index s = 0; s < slices; ++s) {
                const Eigen::Index first = s * kFeatures;
                const Eigen::Index features = std::min(kFeatures, d - first);
                for (Eigen::Index j = 0; j < features; ++j) {
                    scaled.col(j).head(rows) = X.col(first + j).segment(first_row, rows).array() - mean[first + j];
                    if (std_dev[first + j] != 1.0) {  // dividing by one changes nothing: skip it
                        scaled.col(j).head(rows) /= std_dev[first + j];
                    }
                    if (scale_exponent != 0) {
                        scaled.col(j).head(rows) *= std::ldexp(1.0, scale_exponent);
                    }
                }
                multiply_packed({scaled.data(), 1, scaled.rows()}, rows, packed.data() + first * packed_size(m, 1), m,
                                features, {reduced.data() + first_row * m, m, 1}, s > 0);
            }
        });
    }
    job.finish();
    return reduced;
}

}  // namespace mirelo
