#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirelo_types.hpp"
#include "nearest_rows.hpp"
#include "screen_stages.hpp"
#include "seeds.hpp"

namespace mirelo {

// Votes per query (rows) and per class (columns).
using VoteMatrix = Eigen::Matrix<std::int32_t, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The classes of a store's rows: `count` classes, each row's class given as its place 0 to count - 1.
struct ClassPlaces {
    std::vector<std::int32_t> of_row;
    std::int32_t count = 0;
};

// The answer for a query that no stored row votes on: an empty store, or k <= 0.
constexpr std::int32_t kNoClass = -1;

// Exact k-nearest-neighbour classifier over PCA-reduced rows (groups the bounds rule out are
// passed over, never a nearer row), with a plain majority vote. Classes are places, and a tie in
// the vote goes to the lowest place.
class KNNClassifier {
public:
    explicit KNNClassifier(std::int32_t k);

    // Replaces the whole store, taking X's rows as they are (move them in to avoid a copy).
    // Throws std::invalid_argument, leaving the store untouched, unless y has one place per row
    // of X, each from 0 to y.count - 1.
    void fit(RowMajorMatrix X, ClassPlaces y);

    // Replaces the whole store with one whose arrays are kept elsewhere (a model file): `rows`
    // holds count x width values row by row, y a class place for each, and `stages` the screen's
    // parts as ScreenStages::adopted takes them. Everything the search follows is checked first
    // (std::invalid_argument, the store left as it was).
    void adopt(HeldArray<double> rows, Eigen::Index count, Eigen::Index width, ClassPlaces y, ScreenStages stages);
    // The screen as fit built it, for a model file to keep.
    const ScreenStages& stages() const { return screen; }

    // The class place of x's majority; kNoClass for an empty store or k <= 0. Throws
    // std::invalid_argument when the query length differs from the stored width. Safe to call
    // concurrently.
    std::int32_t predict(const Vector& x) const;

    // predict for a query given as the one row of z.
    std::int32_t predict_row(const Eigen::Ref<const RowMajorMatrix>& z) const;

    // predict for every row of Z, in row order; each answer is the one the row gets alone. `seeds`,
    // when given, are search_seeds's for Z and k.
    std::vector<std::int32_t> predict_rows(const Eigen::Ref<const RowMajorMatrix>& Z,
                                           const Seed* seeds = nullptr) const;

    // The min(count, stored rows) nearest stored rows of each row of Z, nearest first: neighbour j
    // of query q is at [q * K + j]. Distances are sums of squared differences; at equal distances
    // the lower row is nearer, and NaN comes after every number. Empty for an empty store or
    // count <= 0; throws std::invalid_argument like predict. `seeds`, when given, are search_seeds's
    // for Z and count.
    std::vector<Neighbour> nearest_rows(const Eigen::Ref<const RowMajorMatrix>& Z, Eigen::Index count,
                                        const Seed* seeds = nullptr) const;

    // The votes of each row of Z's min(k, stored rows) nearest rows, one column per class place;
    // the first column holding a row's most votes is predict_rows's answer for it.
    // All zero for an empty store or k <= 0; throws std::invalid_argument like predict. `seeds`, when
    // given, are search_seeds's for Z and k.
    VoteMatrix vote_counts(const Eigen::Ref<const RowMajorMatrix>& Z, const Seed* seeds = nullptr) const;

    // Where the search of each row of Z for its `count` nearest starts among the stored rows, and
    // the bar it starts with, to `seeds`: rows with near origins lie near each other, and searched
    // in one call they share its reads of the store. Handed to a search for as many neighbours,
    // they spare it finding them again; they change the speed of a call, never an answer.
    void search_seeds(const Eigen::Ref<const RowMajorMatrix>& Z, Eigen::Index count, Seed* seeds) const;

    // Bytes held by the store: rows, norms, their packed copies and the class places.
    std::size_t memory_bytes() const;

    // The screen's first stage bounds distances on this many leading coordinates (0 without a
    // screen). fit chooses the stages' lengths from the data; they change the speed, never an
    // answer.
    Eigen::Index prefix() const;
    void set_screen(ScreenLengths lengths);

    const std::int32_t k;
    // The stored rows, read where they lie: in memory of the store's own or a model file's.
    Eigen::Map<const RowMajorMatrix> X_train{nullptr, 0, 0};
    // Each stored row's class place, and the number of classes (some may hold no row).
    std::vector<std::int32_t> class_of_row;
    std::int32_t n_classes = 0;

private:
    // Tells `heard` each row of Z's class place, as predict_rows gives it.
    template <class Heard>
    void label_rows(const Eigen::Ref<const RowMajorMatrix>& Z, const Seed* seeds, Heard heard) const;

    // Puts `rows` in X_train's place.
    void hold_rows(HeldArray<double> rows, Eigen::Index count, Eigen::Index width);

    HeldArray<double> train_values;
    // Derived from X_train by fit.
    ScreenStages screen;
};

}  // namespace mirelo
