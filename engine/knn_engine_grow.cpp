#include <stdexcept>
#include <string>
#include <utility>

#include "huge_pages.hpp"
#include "input_checks.hpp"
#include "knn_engine.hpp"

namespace mirelo {

namespace {

// The side folds into the store once it holds this share of the store's rows: a fold rebuilds
// every row, so that the store's rows are rebuilt a bounded number of times as it doubles, and
// the side stays small enough that searching it beside the store costs little.
constexpr double kFoldShare = 0.25;

// Throws std::invalid_argument unless every place is below `count`, and increasing when `increasing`.
void require_places(const std::vector<std::int32_t>& places, std::int32_t count, bool increasing, const char* what) {
    for (std::size_t i = 0; i < places.size(); ++i) {
        const std::int32_t place = places[i];
        if (place < 0 || place >= count || (increasing && i > 0 && place <= places[i - 1])) {
            throw std::invalid_argument(std::string("expected ") + what + (increasing ? " increasing" : "") +
                                        " from 0 to " + std::to_string(count - 1) + ", got " + std::to_string(place) +
                                        " at position " + std::to_string(i));
        }
    }
}

}  // namespace

std::unique_ptr<KNNEngine> KNNEngine::grown(const InputRows& X, ClassPlaces y,
                                            const std::vector<std::int32_t>& renamed) const {
    if (!trained()) {
        throw std::logic_error("an untrained engine has no store to add to");
    }
    if (!class_names.empty()) {
        throw std::logic_error("an engine with named classes has no names for the classes an addition brings");
    }
    if (static_cast<Eigen::Index>(y.of_row.size()) != X.rows()) {
        throw std::invalid_argument("expected one label per added row (" + std::to_string(X.rows()) + "), got " +
                                    std::to_string(y.of_row.size()) + " labels");
    }
    if (static_cast<std::int64_t>(renamed.size()) != n_classes()) {
        throw std::invalid_argument("expected a new place for each of the " + std::to_string(n_classes()) +
                                    " classes, got " + std::to_string(renamed.size()));
    }
    // Renamed in order, so that a tie in the vote goes to the class it went to before.
    require_places(renamed, y.count, true, "the classes' new places");
    require_places(y.of_row, y.count, false, "the added rows' places");
    require_width(X, pca->mean.size(), "added rows");
    // Reduced exactly as train reduces its rows, so that they are the rows a fit's store holds.
    RowMajorMatrix added(X.rows(), pca->n_components);
    pca->project(X, added.data());
    if (!added.rowwise().squaredNorm().allFinite()) {
        require_finite(X, "the training matrix");
        require_finite_squared_norms(added, "added rows");
    }

    auto copy = std::unique_ptr<KNNEngine>(new KNNEngine(config));
    copy->progress = nullptr;
    copy->pca = std::make_unique<AdaptivePCA>(*pca);
    copy->pca->progress = nullptr;
    auto grown_side = std::make_shared<SideStores>();
    std::vector<std::int32_t>& places = grown_side->classes.of_row;
    const std::vector<std::int32_t>& before = training_places();
    places.reserve(before.size() + y.of_row.size());
    for (const std::int32_t place : before) places.push_back(renamed[static_cast<std::size_t>(place)]);
    places.insert(places.end(), y.of_row.begin(), y.of_row.end());
    grown_side->classes.count = y.count;

    const Eigen::Index side_rows = n_side_rows() + X.rows();
    if (static_cast<double>(side_rows) > kFoldShare * static_cast<double>(knn->X_train.rows())) {
        // Folded: one store of every row, as a fit of them builds it.
        RowMajorMatrix rows = matrix_on_huge_pages(n_training_rows() + X.rows(), pca->n_components);
        write_stored_rows(rows);
        rows.bottomRows(X.rows()) = added;
        auto folded = std::make_shared<KNNClassifier>(config.k);
        folded->fit(std::move(rows), std::move(grown_side->classes));
        copy->knn = std::move(folded);
        return copy;
    }
    copy->knn = knn;
    if (side) grown_side->runs = side->runs;
    grown_side->runs = add_run(grown_side->runs, std::move(added), std::move(y), config.k);
    copy->side = std::move(grown_side);
    return copy;
}

}  // namespace mirelo
