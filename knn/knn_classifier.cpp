#include "knn_classifier.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "store_search.hpp"
#include "vote.hpp"

namespace mirelo {

using Index = Eigen::Index;

namespace {

// One place per row, each from 0 to y.count - 1.
void require_places(const ClassPlaces& y, Index rows) {
    if (static_cast<Index>(y.of_row.size()) != rows) {
        throw std::invalid_argument("expected one label per row: got " + std::to_string(y.of_row.size()) +
                                    " labels for " + std::to_string(rows) + " rows");
    }
    // A place outside the classes would count a vote outside the tally.
    const auto outside = std::find_if(y.of_row.begin(), y.of_row.end(),
                                      [&](std::int32_t place) { return place < 0 || place >= y.count; });
    if (outside != y.of_row.end()) {
        throw std::invalid_argument("expected class places from 0 to " + std::to_string(y.count - 1) + ", got " +
                                    std::to_string(*outside) + " for row " +
                                    std::to_string(outside - y.of_row.begin()));
    }
}

}  // namespace

KNNClassifier::KNNClassifier(std::int32_t k) : k(k) {}

void KNNClassifier::fit(RowMajorMatrix X, ClassPlaces y) {
    require_places(y, X.rows());
    // Build the new store aside so that a failure leaves the old one whole.
    RowMajorMatrix rows = std::move(X);
    ScreenStages stages = ScreenStages::build(rows, choose_lengths(rows));

    const Index count = rows.rows(), width = rows.cols();
    hold_rows(HeldArray<double>::owning(std::move(rows)), count, width);
    class_of_row.swap(y.of_row);
    n_classes = y.count;
    screen = std::move(stages);
}

void KNNClassifier::adopt(HeldArray<double> rows, Index count, Index width, ClassPlaces y, ScreenStages stages) {
    if (count < 0 || width < 1 || rows.size() != static_cast<std::size_t>(count) * static_cast<std::size_t>(width)) {
        throw std::invalid_argument("expected a store of " + std::to_string(count) + " x " + std::to_string(width) +
                                    " values, got " + std::to_string(rows.size()) + " values");
    }
    require_places(y, count);
    ScreenStages adopted = ScreenStages::adopted(std::move(stages), count, width);
    hold_rows(std::move(rows), count, width);
    class_of_row.swap(y.of_row);
    n_classes = y.count;
    screen = std::move(adopted);
}

void KNNClassifier::hold_rows(HeldArray<double> rows, Index count, Index width) {
    train_values = std::move(rows);
    // A Map is placed, not assigned: assigning one copies the values it views.
    new (&X_train) Eigen::Map<const RowMajorMatrix>(train_values.data(), count, width);
}

std::size_t KNNClassifier::memory_bytes() const {
    return static_cast<std::size_t>(X_train.size()) * sizeof(double) + screen.memory_bytes() +
           class_of_row.capacity() * sizeof(std::int32_t);
}

void KNNClassifier::set_screen(ScreenLengths lengths) { screen = ScreenStages::build(X_train, lengths); }

Index KNNClassifier::prefix() const { return screen.prefix; }

std::int32_t KNNClassifier::predict(const Vector& x) const { return predict_row(x.transpose()); }

template <class Heard>
void KNNClassifier::label_rows(const Eigen::Ref<const RowMajorMatrix>& Z, const Seed* seeds, Heard heard) const {
    const Index n = X_train.rows();
    if (n == 0 || k <= 0) {
        for (Index q = 0; q < Z.rows(); ++q) heard(q, kNoClass);
        return;
    }
    if (k >= n) {
        // Every row votes, whatever the query: one count serves them all.
        require_query_length(Z, X_train.cols());
        std::vector<Neighbour> all(static_cast<std::size_t>(n));
        for (Index i = 0; i < n; ++i) all[static_cast<std::size_t>(i)].row = i;
        const std::int32_t place = vote(all.data(), all.size(), class_of_row);
        for (Index q = 0; q < Z.rows(); ++q) heard(q, place);
        return;
    }
    search_store(X_train, screen, Z, k, [&](Index query, NeighbourList& nearest) {
        heard(query, vote(nearest.data(), nearest.size(), class_of_row));
    }, seeds);
}

std::int32_t KNNClassifier::predict_row(const Eigen::Ref<const RowMajorMatrix>& z) const {
    std::int32_t found = kNoClass;
    label_rows(z, nullptr, [&](Index, std::int32_t place) { found = place; });
    return found;
}

std::vector<std::int32_t> KNNClassifier::predict_rows(const Eigen::Ref<const RowMajorMatrix>& Z,
                                                      const Seed* seeds) const {
    std::vector<std::int32_t> places(static_cast<std::size_t>(Z.rows()));
    label_rows(Z, seeds, [&](Index query, std::int32_t place) { places[static_cast<std::size_t>(query)] = place; });
    return places;
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
    VoteMatrix votes = VoteMatrix::Zero(Z.rows(), n_classes);
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
