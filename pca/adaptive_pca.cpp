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
#include "centring.hpp"
#include "free_memory.hpp"
#include "kernels.hpp"
#include "parallel_job.hpp"
#include "symmetric_eigen.hpp"

namespace mirelo {

namespace {

constexpr double kMinRelativeAxisLength = 1e-9;

std::string shape_of(const InputRows& X) {
    return std::to_string(X.rows()) + " x " + std::to_string(X.cols());
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

void AdaptivePCA::fit(const MatrixView& X, bool scale) { fit(InputRows(X), scale, {}); }

void AdaptivePCA::fit(const InputRows& X, bool scale, const ProgressReport& report, ReadDigest* read) {
    const Eigen::Index n = X.rows();
    const Eigen::Index d = X.cols();
    if (n == 0 || d == 0) {
        throw std::invalid_argument("expected a training matrix with at least one row and one column, got " +
                                    shape_of(X));
    }
    const bool thin = n < d;
    // The one read of X before the projection; X is never copied whole.
    fit(thin ? wide_first_pass(X, scale, report) : tall_first_pass(X, scale, report), thin ? &X : nullptr, report,
        read);
}

void AdaptivePCA::fit(TallStatistics&& statistics, bool scale) {
    Eigen::Index n = 0;
    for (const TallStatistics::Share& share : statistics.shares) n += share.rows;
    const std::string shape = std::to_string(n) + " x " + std::to_string(statistics.cols);
    if (n == 0 || statistics.cols == 0) {
        throw std::invalid_argument("expected statistics of at least one row and one column, got " + shape);
    }
    if (n < statistics.cols) {
        throw std::invalid_argument("expected statistics of at least as many rows as columns, got " + shape);
    }
    fit(tall_first_pass(std::move(statistics), scale), nullptr, {}, nullptr);
}

void AdaptivePCA::fit(FirstPass&& pass, const InputRows* wide_rows, const ProgressReport& report,
                      ReadDigest* read) {
    const bool thin = wide_rows != nullptr;
    // The pass's block buffers are gone: their pages go back before the decomposition and the
    // projection allocate theirs.
    return_free_memory();
    if (report) report("eigen-decomposition", 0.0);
    Vector eigenvalues;
    Matrix axes;
    // Only the vectors of the axes that will be kept are formed.
    const VectorCount kept = [this](const Vector& values) { return count_components(values); };
    if (thin) {
        Matrix gram_vectors;
        decompose_descending(pass.products, kept, eigenvalues, gram_vectors);
        const CentredRows centred{*wide_rows, pass.mean, pass.spread, std::ldexp(1.0, pass.exponent)};
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
        decompose_descending(pass.products, kept, eigenvalues, axes);
    }

    select_components(eigenvalues, axes, thin);
    if (read != nullptr) *read = std::move(pass.read);
    mean.swap(pass.mean);
    std_dev.swap(pass.spread);
    scale_exponent = pass.exponent;
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

RowMajorMatrix AdaptivePCA::transform(const InputRows& X) const {
    const Eigen::Index d = mean.size();
    if (d == 0) {
        return RowMajorMatrix(X.rows(), 0);
    }
    if (X.cols() != d) {
        throw std::invalid_argument("expected " + std::to_string(d) + " columns, got " +
                                    std::to_string(X.cols()));
    }
    RowMajorMatrix reduced(X.rows(), components.cols());
    project(X, reduced.data());
    return reduced;
}

void AdaptivePCA::project(const InputRows& X, double* reduced, ReadDigest* read) const {
    const Eigen::Index d = mean.size();
    const Eigen::Index n = X.rows();
    const Eigen::Index m = components.cols();
    // Rows are read, centred, divided and scaled a block at a time (kRows rows by
    // kTransformFeatures features) into a buffer per thread, so X is read once, where it lies, in
    // runs long enough for the prefetchers. Each coordinate is one chain of products in feature
    // order, continued from block to block, so a row projects to the same bits alone, in any batch
    // and on any number of threads.
    constexpr Eigen::Index kRows = 48;
    const Eigen::Index chunks = (n + kRows - 1) / kRows;
    const Eigen::Index slices = (d + kTransformFeatures - 1) / kTransformFeatures;
    const Centring centring(mean, std_dev, std::ldexp(1.0, scale_exponent));
    // Each thread adds the values it reads to a digest of its own, summed into `read` at the end.
    const int threads = chunks > 1 ? omp_get_max_threads() : 1;
    std::vector<ReadDigest> reads;
    if (read != nullptr) reads.assign(static_cast<std::size_t>(threads), ReadDigest(d));
    const auto reads_of = [&](int thread) {
        return reads.empty() ? nullptr : &reads[static_cast<std::size_t>(thread)];
    };
    const auto project_chunk = [&](Eigen::Index c, double* scaled, ReadDigest* seen) {
        const Eigen::Index first_row = c * kRows;
        const Eigen::Index rows = std::min(kRows, n - first_row);
        for (Eigen::Index s = 0; s < slices; ++s) {
            const Eigen::Index first = s * kTransformFeatures;
            const Eigen::Index features = std::min(kTransformFeatures, d - first);
            X.read(first_row, rows, first, features, scaled, kTransformFeatures);
            if (seen != nullptr) seen->add(scaled, first_row, rows, first, features, kTransformFeatures);
            for (Eigen::Index i = 0; i < rows; ++i) centring.apply(scaled + i * kTransformFeatures, first, features);
            multiply_packed({scaled, kTransformFeatures, 1}, rows,
                            packed_components.data() + first * packed_size(m, 1), m, features,
                            {reduced + first_row * m, m, 1}, s > 0);
        }
    };
    if (n == 1) {
        // One query (predict): its buffer on the stack, which spares the call an allocation and
        // the zeroing of one.
        double row[kTransformFeatures];
        project_chunk(0, row, reads_of(0));
    } else if (chunks == 1) {
        // A few rows: no thread team to start.
        std::vector<double> buffer(static_cast<std::size_t>(n * kTransformFeatures));
        project_chunk(0, buffer.data(), reads_of(0));
    } else if (chunks > 1) {
        const Eigen::Index buffer_size = kRows * kTransformFeatures;
        std::vector<double> buffers(static_cast<std::size_t>(threads * buffer_size));
        // Chunks go to threads as they come free: on a busy machine a thread held up does not hold
        // up the others' share.
        ParallelJob job;
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
        for (Eigen::Index c = 0; c < chunks; ++c) {
            const int thread = omp_get_thread_num();
            job.run([&] { project_chunk(c, buffers.data() + thread * buffer_size, reads_of(thread)); });
        }
        job.finish();
    }
    for (const ReadDigest& part : reads) read->add(part);
}

}  // namespace mirelo
