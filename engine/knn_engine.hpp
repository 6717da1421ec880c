#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "adaptive_pca.hpp"
#include "engine_state.hpp"
#include "input_rows.hpp"
#include "knn_classifier.hpp"
#include "label_places.hpp"
#include "mirelo_types.hpp"
#include "side_stores.hpp"

namespace mirelo {

struct KNNConfig {
    std::int32_t k = 3;
    double variance = 0.95;
};

// Sequences the adaptive PCA and the classifier. Training is all or nothing:
// a failed train leaves the previous training in place.
// Defined in knn_engine.cpp but for the groups marked with their own file.
class KNNEngine {
public:
    explicit KNNEngine(KNNConfig config);

    // Any variance trains (AdaptivePCA says what each keeps). Throws std::invalid_argument for an
    // empty X, a label count other than X's row count, or a value of X that is not finite.
    // X is read twice, a block at a time: once for the PCA's statistics and product, once for
    // the projection. The store takes y's places as they are (move them in to avoid a copy).
    // Classes trained as places have no names: predict_places and vote_counts answer for them.
    void train(const InputRows& X, ClassPlaces y, bool scale);
    // train with the classes named by y's labels, in byte order, a tie going to the first.
    void train(const InputRows& X, LabelPlaces y, bool scale);
    void train(const InputRows& X, const LabelList& y, bool scale) {
        train(X, label_places(y, static_cast<Eigen::Index>(y.size())), scale);
    }
    void train(const MatrixView& X, const LabelList& y, bool scale) { train(InputRows(X), y, scale); }

    // In knn_engine_grow.cpp. A copy of this trained engine with X's rows added to its store,
    // reduced by the fitted reduction as train reduces its rows, numbered after every row stored
    // before. y.count is the grown store's class count and y's places the added rows';
    // `renamed` gives each of the n_classes() places its new place, increasing, so that ties
    // still go to the class they went to. The copy shares the store's arrays with this engine,
    // which stays as it was. Throws std::invalid_argument (a wrong width, a value that is not
    // finite, a label count other than X's row count, a place out of range or out of order) and
    // std::logic_error before training or for classes trained with names.
    std::unique_ptr<KNNEngine> grown(const InputRows& X, ClassPlaces y, const std::vector<std::int32_t>& renamed) const;

    // Untrained: "Unknown" for any input. Trained: throws std::invalid_argument
    // for a query of another width or with a value that is not finite.
    std::string predict(const InputRows& x) const;
    std::string predict(const Eigen::Ref<const Vector>& x) const {
        return predict(InputRows(x.data(), 1, x.size(), x.size(), 1));
    }
    // predict's class place (kNoClass for "Unknown"), for classes with or without names.
    std::int32_t predict_place(const InputRows& x) const;

    // One label per row of X, in row order; rows are classified in parallel.
    // In knn_engine_predict_batch.cpp, as is predict_places.
    LabelList predict_batch(const InputRows& X) const;
    LabelList predict_batch(const MatrixView& X) const { return predict_batch(InputRows(X)); }
    // predict_batch's class places.
    std::vector<std::int32_t> predict_places(const InputRows& X) const;
    std::vector<std::int32_t> predict_places(const MatrixView& X) const { return predict_places(InputRows(X)); }

    // nearest_rows, nearest_training_rows and vote_counts: in knn_engine_neighbours.cpp.
    // The min(count, training rows) nearest training rows of each row of X, nearest first:
    // neighbour j of query q is at [q * K + j]; at equal distances the lower row first.
    // Distances are the exact squared Euclidean distances in the reduced space times
    // 4^scale_exponent(): finite wherever the data are, where the true ones may overflow.
    // Trained only: throws std::logic_error before training, std::invalid_argument for
    // queries predict_batch rejects.
    std::vector<Neighbour> nearest_rows(const InputRows& X, Eigen::Index count) const;
    std::vector<Neighbour> nearest_rows(const MatrixView& X, Eigen::Index count) const {
        return nearest_rows(InputRows(X), count);
    }

    // nearest_rows with the stored training rows as the queries, so that each finds itself
    // (unless duplicates with lower rows fill its count): their neighbours without the
    // training data. Trained only.
    std::vector<Neighbour> nearest_training_rows(Eigen::Index count) const;

    // The votes of each row of X's k nearest training rows, one column per class place: the
    // first column holding a row's most votes is its predicted class. Trained only, like
    // nearest_rows.
    VoteMatrix vote_counts(const InputRows& X) const;
    VoteMatrix vote_counts(const MatrixView& X) const { return vote_counts(InputRows(X)); }
    // The classes' names, by place; none for classes trained as places.
    const LabelList& classes() const { return class_names; }
    std::int32_t n_classes() const { return side ? side->classes.count : knn->n_classes; }

    // The reduced coordinates of each row of X, in true units (without the PCA's power of
    // two). Trained only, like nearest_rows.
    RowMajorMatrix transform(const InputRows& X) const;
    RowMajorMatrix transform(const MatrixView& X) const { return transform(InputRows(X)); }

    // The PCA's power of two (AdaptivePCA::scale_exponent); trained only, like nearest_rows.
    int scale_exponent() const;

    // The fitted reduction: means, spreads and axes. Trained only, like nearest_rows.
    const AdaptivePCA& reduction() const;

    // Each kept axis's variance over the training rows, in the data's units: its reduced
    // coordinates' sum of squares over (rows - 1), the PCA's eigenvalue, found from the
    // stored rows. Trained only, like nearest_rows.
    Vector explained_variance() const;

    // In engine_state.cpp, beside the state's checks.
    // The trained state, copied (std::logic_error before training), and its restoration:
    // import_state validates the state (std::invalid_argument) and leaves the engine as it
    // was when it rejects it. The engine's own k and variance stay.
    EngineState export_state() const;
    void import_state(const EngineState& state);
    // import_state for a store kept as it was saved (a model file's, read in place): `state` holds
    // the reduction and class names, `store` the rows, classes and screen, checked when it was adopted. The rows'
    // values are not read, so that opening costs nothing per row.
    void import_state(const EngineState& state, std::shared_ptr<const KNNClassifier> store);
    // The store, for a model file to keep as it is; null while added rows wait beside it.
    const KNNClassifier* whole_store() const { return side ? nullptr : knn.get(); }

    bool trained() const;
    Eigen::Index n_samples() const { return n_training_rows(); }
    Eigen::Index n_features() const { return pca->mean.size(); }
    // Each training row's class place.
    const std::vector<std::int32_t>& training_places() const {
        return side ? side->classes.of_row : knn->class_of_row;
    }
    std::int32_t n_components() const { return pca->n_components; }
    Eigen::Index n_training_rows() const { return knn->X_train.rows() + (side ? side->rows() : 0); }
    // Rows added since the store was last built, searched beside it.
    Eigen::Index n_side_rows() const { return side ? side->rows() : 0; }
    const Vector& explained_variance_ratio() const { return pca->explained_variance_ratio; }
    // Bytes held by the trained model's arrays and labels.
    std::size_t memory_bytes() const;

    // Where the two training lines go (std::cout unless changed); null for nowhere.
    void set_progress(std::ostream* out);
    // Who hears of a training's stages as they pass (no one unless set).
    void set_progress_report(ProgressReport report) { progress_report = std::move(report); }

private:
    // train for either kind of classes: `names` is empty for places without names.
    void train(const InputRows& X, ClassPlaces y, LabelList names, bool scale);
    // The name of a class place, "Unknown" for kNoClass.
    const std::string& class_name(std::int32_t place) const;
    // Checks queries against the training and reduces them; `what` names them in errors.
    RowMajorMatrix reduce_queries(const InputRows& X, const char* what) const;
    // reduce_queries's rows, written row-major to `reduced` (X.rows() x n_components()).
    void reduce_queries(const InputRows& X, double* reduced, const char* what) const;
    // nearest_rows of queries already reduced; reorders their rows. In knn_engine_neighbours.cpp.
    std::vector<Neighbour> nearest_reduced(RowMajorMatrix& reduced, Eigen::Index count) const;
    // Each row of `part`'s K nearest over the store and the side, nearest first, K at most the
    // stored rows; `seeds` are the store's for K. In knn_engine_neighbours.cpp.
    std::vector<Neighbour> nearest_part(const MatrixView& part, Eigen::Index K, const Seed* seeds) const;
    // Every stored row, the store's then the side's. In knn_engine_neighbours.cpp.
    RowMajorMatrix stored_rows() const;
    // stored_rows to the top rows of `rows`, which has at least as many.
    void write_stored_rows(RowMajorMatrix& rows) const;

    KNNConfig config;
    std::ostream* progress;
    ProgressReport progress_report;
    std::unique_ptr<AdaptivePCA> pca;
    // Built by train, never changed after: an engine grown from this one shares it.
    std::shared_ptr<const KNNClassifier> knn;
    // Null until rows are added, and again once they are folded into knn.
    std::shared_ptr<const SideStores> side;
    LabelList class_names;
};

}  // namespace mirelo
