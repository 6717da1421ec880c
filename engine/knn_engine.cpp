#include "knn_engine.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "free_memory.hpp"
#include "huge_pages.hpp"
#include "input_checks.hpp"
#include "parallel_job.hpp"
#include "small_buffer.hpp"
#include "vote.hpp"

namespace mirelo {

namespace {

// A query's reduced coordinates fit on the stack up to this many components.
constexpr std::size_t kFewComponents = 256;

}  // namespace

KNNEngine::KNNEngine(KNNConfig config)
    : config(config),
      progress(&std::cout),
      pca(std::make_unique<AdaptivePCA>(this->config.variance)),
      knn(std::make_unique<KNNClassifier>(this->config.k)) {}

bool KNNEngine::trained() const { return pca->mean.size() > 0; }

void KNNEngine::set_progress(std::ostream* out) {
    progress = out;
    pca->progress = out;
}

RowMajorMatrix KNNEngine::reduce_queries(const InputRows& X, const char* what) const {
    RowMajorMatrix reduced(X.rows(), pca->n_components);
    reduce_queries(X, reduced.data(), what);
    return reduced;
}

void KNNEngine::reduce_queries(const InputRows& X, double* reduced, const char* what) const {
    require_width(X, pca->mean.size(), "queries");
    pca->project(X, reduced);
    // A value that is not finite leaves every coordinate of its row not finite (inf times a
    // component is inf or NaN, and no sum brings either back), so the reduced rows tell whether X
    // needs the scan that names the value, without a pass of its own over the queries.
    const Eigen::Map<const RowMajorMatrix> rows(reduced, X.rows(), pca->n_components);
    if (!rows.rowwise().squaredNorm().allFinite()) {
        require_finite(X, "the queries");
        require_finite_squared_norms(rows, what);
    }
}

RowMajorMatrix KNNEngine::transform(const InputRows& X) const {
    if (!trained()) {
        throw std::logic_error("an untrained engine has no reduction");
    }
    RowMajorMatrix reduced = reduce_queries(X, "queries");
    if (pca->scale_exponent != 0) {
        reduced *= std::ldexp(1.0, -pca->scale_exponent);
    }
    return reduced;
}

int KNNEngine::scale_exponent() const {
    if (!trained()) {
        throw std::logic_error("an untrained engine has no scale");
    }
    return pca->scale_exponent;
}

const AdaptivePCA& KNNEngine::reduction() const {
    if (!trained()) {
        throw std::logic_error("an untrained engine has no reduction");
    }
    return *pca;
}

Vector KNNEngine::explained_variance() const {
    const int exponent = reduction().scale_exponent;
    // Summed at the stored scale, where no square overflows, and brought to the data's after.
    Vector squares = knn->X_train.colwise().squaredNorm().transpose();
    if (side) {
        for (const auto& run : side->runs) squares += run->X_train.colwise().squaredNorm().transpose();
    }
    const double rows = static_cast<double>(std::max<Eigen::Index>(n_training_rows() - 1, 1));
    return squares.unaryExpr([&](double s) { return std::ldexp(s, -2 * exponent) / rows; });
}

std::size_t KNNEngine::memory_bytes() const {
    std::size_t bytes = pca->memory_bytes() + knn->memory_bytes() + (side ? side->memory_bytes() : 0) +
                        class_names.capacity() * sizeof(std::string);
    for (const std::string& name : class_names) {
        // Short names live inside the string object itself.
        if (name.capacity() > std::string().capacity()) {
            bytes += name.capacity() + 1;
        }
    }
    return bytes;
}

void KNNEngine::train(const InputRows& X, ClassPlaces y, bool scale) { train(X, std::move(y), {}, scale); }

void KNNEngine::train(const InputRows& X, LabelPlaces y, bool scale) {
    const auto count = static_cast<std::int32_t>(y.classes.size());
    train(X, ClassPlaces{std::move(y.class_of_row), count}, std::move(y.classes), scale);
}

void KNNEngine::train(const InputRows& X, ClassPlaces y, LabelList names, bool scale) {
    // An empty X is rejected by the PCA fit below, before anything is swapped in.
    const std::size_t labels = y.of_row.size();
    if (static_cast<Eigen::Index>(labels) != X.rows()) {
        throw std::invalid_argument("expected one label per training row (" + std::to_string(X.rows()) +
                                    "), got " + std::to_string(labels) + " labels");
    }

    // Fit fresh components aside; swap them in only when every step succeeded. The fit checks
    // that every value is finite as it reads them.
    auto new_pca = std::make_unique<AdaptivePCA>(config.variance);
    new_pca->progress = progress;
    ReadDigest first_read;
    new_pca->fit(X, scale, progress_report, &first_read);
    check_interruption();
    // Projected straight into the store's rows, in pieces so that progress can be told.
    const Eigen::Index n = X.rows();
    constexpr Eigen::Index kProjectionRows = Eigen::Index{1} << 16;
    RowMajorMatrix reduced = matrix_on_huge_pages(n, new_pca->n_components);
    ReadDigest second_read(X.cols());
    for (Eigen::Index top = 0; top < n; top += kProjectionRows) {
        if (progress_report) progress_report("projection", static_cast<double>(top) / static_cast<double>(n));
        const Eigen::Index rows = std::min(kProjectionRows, n - top);
        ReadDigest piece(X.cols());
        new_pca->project(X.middle_rows(top, rows), reduced.data() + top * reduced.cols(), &piece);
        second_read.add(piece, top);
        check_interruption();
    }
    // X may lie in memory that another process writes (a memory map): the statistics and the
    // rows must come from the same values. A value that is not finite leaves its reduced row so;
    // it is named as the first read names one, before the reads are compared.
    const bool reduced_finite = reduced.rowwise().squaredNorm().allFinite();
    if (!reduced_finite) require_finite(X, "the training matrix");
    require_same_reads(first_read, second_read);
    if (!reduced_finite) require_finite_squared_norms(reduced, "a training matrix");
    return_free_memory();
    if (progress_report) progress_report("store", 0.0);
    auto new_knn = std::make_unique<KNNClassifier>(config.k);
    new_knn->fit(std::move(reduced), std::move(y));

    pca.swap(new_pca);
    knn = std::move(new_knn);
    side.reset();
    class_names.swap(names);
    if (progress != nullptr) {
        *progress << "[Engine] Trained successfully. Reduced to " << pca->n_components << " dimensions."
                  << std::endl;
    }
}

const std::string& KNNEngine::class_name(std::int32_t place) const {
    static const std::string unknown = "Unknown";
    // at(): classes trained as places have no names to give.
    return place == kNoClass ? unknown : class_names.at(static_cast<std::size_t>(place));
}

std::string KNNEngine::predict(const InputRows& x) const { return class_name(predict_place(x)); }

std::int32_t KNNEngine::predict_place(const InputRows& x) const {
    if (!trained()) {
        return kNoClass;
    }
    SmallBuffer<double, kFewComponents> reduced(static_cast<std::size_t>(pca->n_components));
    reduce_queries(x, reduced.data(), "a query");
    const Eigen::Map<const RowMajorMatrix> z(reduced.data(), 1, pca->n_components);
    if (!side) return knn->predict_row(z);
    // The side's rows vote with the store's, as they would in one store.
    const Eigen::Index K = std::min<Eigen::Index>(knn->k, n_training_rows());
    if (K <= 0) return kNoClass;
    const std::vector<Neighbour> nearest = nearest_part(z, K, nullptr);
    return vote(nearest.data(), nearest.size(), side->classes.of_row);
}

}  // namespace mirelo
