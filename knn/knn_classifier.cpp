#include "knn_classifier.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "store_search.hpp"
#include "vote.hpp"

namespace mirelo {

using Index = Eigen::Index;

KNNClassifier::KNNClassifier(std::int32_t k) : k(k) {}

void KNNClassifier::fit(RowMajorMatrix X, const LabelList& y) {
    if (static_cast<Index>(y.size()) < X.rows()) {
        throw std::invalid_argument("expected at least one label per row: got " +
                                    std::to_string(y.size()) + " labels for " +
                                    std::to_string(X.rows()) + " rows");
    }
    LabelPlaces places = label_places(y, X.rows());
    fit(std::move(X), std::move(places));
}

void KNNClassifier::fit(RowMajorMatrix X, LabelPlaces y) {
    if (static_cast<Index>(y.class_of_row.size()) != X.rows()) {
        throw std::invalid_argument("expected one label per row: got " + std::to_string(y.class_of_row.size()) +
                                    " labels for " + std::to_string(X.rows()) + " rows");
    }
    // Build the new store aside so that a failure leaves the old one whole.
    RowMajorMatrix rows = std::move(X);
    ScreenStages stages = ScreenStages::build(rows, choose_lengths(rows));

    const Index count = rows.rows(), width = rows.cols();
    hold_rows(HeldArray<double>::owning(std::move(rows)), count, width);
    classes.swap(y.classes);
    class_of_row.swap(y.class_of_row);
    screen = std::move(stages);
}

void KNNClassifier::adopt(HeldArray<double> rows, Index count, Index width, LabelPlaces y, ScreenStages stages) {
    if (count < 0 || width < 1 || rows.size() != static_cast<std::size_t>(count) * static_cast<std::size_t>(width) ||
        y.class_of_row.size() != static_cast<std::size_t>(count)) {
        throw std::invalid_argument("expected a store of " + std::to_string(count) + " x " + std::to_string(width) +
                                    " values with a label each, got " + std::to_string(rows.size()) + " values and " +
                                    std::to_string(y.class_of_row.size()) + " labels");
    }
    for (const std::int32_t place : y.class_of_row) {
        if (place < 0 || static_cast<std::size_t>(place) >= y.classes.size()) {
            throw std::invalid_argument("expected label places from 0 to " + std::to_string(y.classes.size()) +
                                        ", got " + std::to_string(place));
        }
    }
    ScreenStages adopted = ScreenStages::adopted(std::move(stages), count, width);
    hold_rows(std::move(rows), count, width);
    classes.swap(y.classes);
    class_of_row.swap(y.class_of_row);
    screen = std::move(adopted);
}

void KNNClassifier::hold_rows(HeldArray<double> rows, Index count, Index width) {
    train_values = std::move(rows);
    // A Map is placed, not assigned: assigning one copies the values it views.
    new (&X_train) Eigen::Map<const RowMajorMatrix>(train_values.data(), count, width);
}

LabelList KNNClassifier::labels() const {
    LabelList labels;
    labels.reserve(class_of_row.size());
    for (std::int32_t place : class_of_row) labels.push_back(classes[static_cast<std::size_t>(place)]);
    return labels;
}

std::size_t KNNClassifier::memory_bytes() const {
    std::size_t bytes = static_cast<std::size_t>(X_train.size()) * sizeof(double) + screen.memory_bytes() +
                        class_of_row.capacity() * sizeof(std::int32_t) + classes.capacity() * sizeof(std::string);
    for (const std::string& label : classes) {
        // Short labels live inside the string object itself.
        if (label.capacity() > std::string().capacity()) {
            bytes += label.capacity() + 1;
        }
    }
    return bytes;
}

void KNNClassifier::set_screen(ScreenLengths lengths) { screen = ScreenStages::build(X_train, lengths); }

Index KNNClassifier::prefix() const { return screen.prefix; }

std::string KNNClassifier::predict(const Vector& x) const { return predict_row(x.transpose()); }

template <class Heard>
void KNNClassifier::label_rows(const Eigen::Ref<const RowMajorMatrix>& Z, const Seed* seeds, Heard heard) const {
    const Index n = X_train.rows();
    if (n == 0 || k <= 0) {
        static const std::string unknown = "Unknown";
        for (Index q = 0; q < Z.rows(); ++q) heard(q, unknown);
        return;
    }
    if (k >= n) {
        // Every row votes, whatever the query: one count serves them all.
        require_query_length(Z, X_train.cols());
        std::vector<Neighbour> all(static_cast<std::size_t>(n));
        for (Index i = 0; i < n; ++i) all[static_cast<std::size_t>(i)].row = i;
        const std::string& label = classes[static_cast<std::size_t>(vote(all.data(), all.size(), class_of_row))];
        for (Index q = 0; q < Z.rows(); ++q) heard(q, label);
        return;
    }
    search_store(X_train, screen, Z, k, [&](Index query, NeighbourList& nearest) {
        heard(query, classes[static_cast<std::size_t>(vote(nearest.data(), nearest.size(), class_of_row))]);
    }, seeds);
}

const std::string& KNNClassifier::predict_row(const Eigen::Ref<const RowMajorMatrix>& z) const {
    const std::string* found = nullptr;
    label_rows(z, nullptr, [&](Index, const std::string& label) { found = &label; });
    return *found;
}

LabelList KNNClassifier::predict_rows(const Eigen::Ref<const RowMajorMatrix>& Z, const Seed* seeds) const {
    LabelList labels(static_cast<std::size_t>(Z.rows()));
    label_rows(Z, seeds, [&](Index query, const std::string& label) { labels[static_cast<std::size_t>(query)] = label; });
    return labels;
}

std::vector<Neighbour> KNNClassifier::nearest_rows(const Eigen::Ref<const RowMajorMatrix>& Z, Index count,
                                                   const Seed* seeds) const {
    const Index n = X_train.rows();
    if (n == 0 || count <= 0) {
        return {};
    }
    const Index K = std::min(count, n);
    std::vector<Neighbour> result(static_cast<std::size_t>(Z.rows() * K));
    search_store(X_train, screen, Z, K, [&](Index query, NeighbourList& nearest) {
        std::sort(nearest.begin(), nearest.end(), nearer);
        std::copy(nearest.begin(), nearest.end(), result.begin() + query * K);
    }, seeds);
    return result;
}

VoteMatrix KNNClassifier::vote_counts(const Eigen::Ref<const RowMajorMatrix>& Z, const Seed* seeds) const {
    VoteMatrix votes = VoteMatrix::Zero(Z.rows(), static_cast<Index>(classes.size()));
    const std::vector<Neighbour> nearest = nearest_rows(Z, k, seeds);
    const Index K = Z.rows() > 0 ? static_cast<Index>(nearest.size()) / Z.rows() : 0;
    for (Index q = 0; q < Z.rows(); ++q) {
        for (Index j = 0; j < K; ++j) {
            ++votes(q, class_of_row[static_cast<std::size_t>(nearest[static_cast<std::size_t>(q * K + j)].row)]);
        }
    }
    return votes;
}

void KNNClassifier::search_seeds(const Eigen::Ref<const RowMajorMatrix>& Z, Index count, Seed* seeds) const {
    // The K of nearest_rows and predict_rows wherever they search.
    const Index K = std::max<Index>(1, std::min<Index>(count, X_train.rows()));
    mirelo::search_seeds(X_train, screen, Z, K, seeds);
}

}  // namespace mirelo
