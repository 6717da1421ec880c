#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "label_places.hpp"
#include "mirelo_types.hpp"
#include "nearest_rows.hpp"
#include "screen_stages.hpp"
#include "seeds.hpp"

namespace mirelo {

// Votes per query (rows) and per distinct stored label (columns).
using VoteMatrix = Eigen::Matrix<std::int32_t, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// Exact k-nearest-neighbour classifier over PCA-reduced rows (groups the bounds rule out are
// passed over, never a nearer row), with a plain majority vote. Ties in the vote go to the label first in byte order.
class KNNClassifier {
public:
    explicit KNNClassifier(std::int32_t k);

    // Replaces the whole store, taking X's rows as they are (move them in to avoid a copy).
    // Throws std::invalid_argument, leaving the store untouched, when y has fewer labels than X
    // has rows.
    void fit(RowMajorMatrix X, const LabelList& y);
    // fit with the labels given as places, one per row (std::invalid_argument otherwise).
    void fit(RowMajorMatrix X, LabelPlaces y);

    // Replaces the whole store with one whose arrays are kept elsewhere (a model file): `rows`
    // holds count x width values row by row, y a label place for each, and `stages` the screen's
    // parts as ScreenStages::adopted takes them. Everything the search follows is checked first
    // (std::invalid_argument, the store left as it was).
    void adopt(HeldArray<double> rows, Eigen::Index count, Eigen::Index width, LabelPlaces y, ScreenStages stages);
    // The screen as fit built it, for a model file to keep.
    const ScreenStages& stages() const { return screen; }

    // "Unknown" for an empty store or k <= 0. Throws std::invalid_argument when
    // the query length differs from the stored width. Safe to call concurrently.
    std::string predict(const Vector& x) const;

    // predict for a query given as the one row of z, without a list for its one label. The label
    // stays valid until the next fit.
    const std::string& predict_row(const Eigen::Ref<const RowMajorMatrix>& z) const;

    // predict for every row of Z, in row order; each answer is the one the row gets alone. `seeds`,
    // when given, are search_seeds's for Z and k.
    LabelList predict_rows(const Eigen::Ref<const RowMajorMatrix>& Z, const Seed* seeds = nullptr) const;

    // The min(count, stored rows) nearest stored rows of each row of Z, nearest first: neighbour j
    // of query q is at [q * K + j]. Distances are sums of squared differences; at equal distances
    // the lower row is nearer, and NaN comes after every number. Empty for an empty store or
    // count <= 0; throws std::invalid_argument like predict. `seeds`, when given, are search_seeds's
    // for Z and count.
    std::vector<Neighbour> nearest_rows(const Eigen::Ref<const RowMajorMatrix>& Z, Eigen::Index count,
                                        const Seed* seeds = nullptr) const;

    // The votes of each row of Z's min(k, stored rows) nearest rows, one column per entry of
    // `classes`; the first column holding a row's most votes is predict_rows's label for it.
    // All zero for an empty store or k <= 0; throws std::invalid_argument like predict. `seeds`, when
    // given, are search_seeds's for Z and k.
    VoteMatrix vote_counts(const Eigen::Ref<const RowMajorMatrix>& Z, const Seed* seeds = nullptr) const;

    // Where the search of each row of Z for its `count` nearest starts among the stored rows, and
    // the bar it starts with, to `seeds`: rows with near origins lie near each other, and searched
    // in one call they share its reads of the store. Handed to a search for as many neighbours,
    // they spare it finding them again; they change the speed of a call, never an answer.
    void search_seeds(const Eigen::Ref<const RowMajorMatrix>& Z, Eigen::Index count, Seed* seeds) const;

    // The label of each stored row, rebuilt from classes and class_of_row, where they are held.
    LabelList labels() const;

    // Bytes held by the store: rows, norms, their packed copies and the labels.
    std::size_t memory_bytes() const;

    // The screen's first stage bounds distances on this many leading coordinates (0 without a
    // screen). fit chooses the stages' lengths from the data; they change the speed, never an
    // answer.
    Eigen::Index prefix() const;
    void set_screen(ScreenLengths lengths);

    const std::int32_t k;
    // The stored rows, read where they lie: in memory of the store's own or a model file's.
    Eigen::Map<const RowMajorMatrix> X_train{nullptr, 0, 0};
    // The distinct stored labels in byte order, and each stored row's place among them: the labels
    // are held this way only, since a string per row would outweigh the rows' own coordinates.
    LabelList classes;
    std::vector<std::int32_t> class_of_row;

private:
    // Tells `heard` each row of Z's label, as predict_rows gives it.
    template <class Heard>
    void label_rows(const Eigen::Ref<const RowMajorMatrix>& Z, const Seed* seeds, Heard heard) const;

    // Puts `rows` in X_train's place.
    void hold_rows(HeldArray<double> rows, Eigen::Index count, Eigen::Index width);

    HeldArray<double> train_values;
    // Derived from X_train by fit.
    ScreenStages screen;
};

}  // namespace mirelo
