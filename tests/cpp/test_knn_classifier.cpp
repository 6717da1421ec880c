#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "kernels.hpp"
#include "knn_classifier.hpp"
#include "label_places.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

using test::same;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

ClassPlaces places_of(const LabelList& y) {
    LabelPlaces places = label_places(y, static_cast<Eigen::Index>(y.size()));
    return {std::move(places.class_of_row), static_cast<std::int32_t>(places.classes.size())};
}

// A store fitted on labels as the engine fits one (places in the labels' byte order), answering
// with the labels.
struct Labelled : KNNClassifier {
    using KNNClassifier::KNNClassifier;

    void fit(const Matrix& X, const LabelList& y) {
        KNNClassifier::fit(X, places_of(y));
        names = label_places(y, static_cast<Eigen::Index>(y.size())).classes;
    }
    std::string name(std::int32_t place) const {
        return place == kNoClass ? "Unknown" : names.at(static_cast<std::size_t>(place));
    }
    std::string predict(const Vector& x) const { return name(KNNClassifier::predict(x)); }
    LabelList predict_rows(const Eigen::Ref<const RowMajorMatrix>& Z) const {
        LabelList labels;
        for (std::int32_t place : KNNClassifier::predict_rows(Z)) labels.push_back(name(place));
        return labels;
    }
    LabelList labels() const {
        LabelList labels;
        for (std::int32_t place : class_of_row) labels.push_back(name(place));
        return labels;
    }

    LabelList names;
};

Labelled fitted(std::int32_t k, const Matrix& X, const LabelList& y) {
    Labelled knn(k);
    knn.fit(X, y);
    return knn;
}

bool is_one_of(const std::string& label, const LabelList& y) {
    return std::find(y.begin(), y.end(), label) != y.end();
}

struct VoteCase { std::int32_t k; Matrix X; LabelList y; Vector query; std::string expected; };

// Rows 0, 1, 2, ... along the first axis, labelled by runs: {{"b", 20}, {"a", 20}} labels rows 0 to
// 19 "b" and rows 20 to 39 "a".
std::pair<Matrix, LabelList> runs_on_a_line(const std::vector<std::pair<std::string, int>>& runs) {
    LabelList y;
    for (const auto& [label, count] : runs) y.insert(y.end(), static_cast<std::size_t>(count), label);
    Matrix X = Matrix::Zero(static_cast<Eigen::Index>(y.size()), 2);
    for (Eigen::Index i = 0; i < X.rows(); ++i) X(i, 0) = static_cast<double>(i);
    return {X, y};
}

TEST(KNNClassifier, Votes) {
    const Matrix abc{{0, 0}, {1, 0}, {5, 5}}, pair{{1, 0}, {-1, 0}};
    const Vector q{{0.9, 0.0}}, o = Vector::Zero(2), ones = Vector::Ones(2);
    // More voters than the vote counts on the stack.
    const auto [even, even_y] = runs_on_a_line({{"b", 20}, {"a", 20}, {"c", 10}});
    const auto [odd, odd_y] = runs_on_a_line({{"b", 21}, {"a", 19}, {"c", 10}});
    const std::vector<VoteCase> cases = {
        {1, abc, {"a", "b", "c"}, q, "b"},
        {2, abc, {"a", "b", "c"}, q, "a"},
        {3, abc, {"a", "b", "c"}, q, "a"},
        {10, abc, {"a", "b", "c"}, q, "a"},
        // Equal votes go to the label first in byte order, bytes compared unsigned.
        {2, pair, {"b", "a"}, o, "a"},
        {2, pair, {"a", "B"}, o, "B"},
        {2, pair, {"\xc3\xa9", "z"}, o, "z"},
        {4, Matrix{{1, 0}, {-1, 0}, {0, 1}, {0, -1}}, {"cat", "ca", "cat", "ca"}, o, "ca"},
        // Identical rows vote separately, and the far 'a' stays out of the k = 3 vote.
        {3, Matrix{{0.5, 0}, {1, 0}, {1, 0}, {10, 0}}, {"a", "x", "x", "a"}, o, "x"},
        // Distances that are NaN or infinite rank after every finite one.
        {1, Matrix{{kNaN, kNaN}, {3, 3}, {1, 1}}, {"n", "far", "near"}, ones, "near"},
        {2, Matrix{{kNaN, 0}, {1, 1}, {2, 2}}, {"a", "z", "z"}, ones, "z"},
        {1, Matrix{{kInf, 0}, {-kInf, 0}, {1, 1}, {kInf, -kInf}}, {"p", "m", "f", "q"}, ones, "f"},
        {40, even, even_y, o, "a"},
        {45, even, even_y, o, "a"},
        {40, odd, odd_y, o, "b"},
        {60, odd, odd_y, o, "b"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const VoteCase& c = cases[i];
        EXPECT_EQ(fitted(c.k, c.X, c.y).predict(c.query), c.expected) << "case " << i;
    }
}

// The neighbour search as defined, one query at a time over the whole store.
std::string by_definition(const Labelled& knn, const Vector& x) {
    const Vector norms = knn.X_train.rowwise().squaredNorm();
    const Vector dist = (norms.array() - 2.0 * (knn.X_train * x).array()) + x.squaredNorm();
    std::vector<Eigen::Index> order(static_cast<std::size_t>(dist.size()));
    std::iota(order.begin(), order.end(), Eigen::Index{0});
    const Eigen::Index K = std::min<Eigen::Index>(knn.k, dist.size());
    std::nth_element(order.begin(), order.begin() + K - 1, order.end(), [&](Eigen::Index a, Eigen::Index b) {
        return std::isnan(dist[b]) ? !std::isnan(dist[a]) : dist[a] < dist[b];
    });
    const LabelList labels = knn.labels();
    std::map<std::string, int> votes;
    for (Eigen::Index i = 0; i < K; ++i) ++votes[labels[static_cast<std::size_t>(order[i])]];
    return std::max_element(votes.begin(), votes.end(), [](const auto& a, const auto& b) {
               return a.second < b.second;
           })->first;
}

TEST(KNNClassifier, BlockedSearchMatchesTheDefinition) {
    // Integer coordinates keep every dot product exact whatever the summation order. The store
    // spans several blocks, the queries several tiles, and the NaN rows share one label so that
    // which of them fill the last places cannot change the vote.
    const Matrix X = (test::random_matrix(700, 5, 70) * 300.0).array().round();
    Matrix with_nan = X;
    LabelList y;
    for (Eigen::Index i = 0; i < X.rows(); ++i) y.push_back("c" + std::to_string(i % 7));
    for (Eigen::Index i : {0, 300, 650}) {
        with_nan(i, 2) = kNaN;
        y[static_cast<std::size_t>(i)] = "nan";
    }
    const RowMajorMatrix Z = (test::random_matrix(150, 5, 71) * 300.0).array().round();
    for (std::int32_t k : {1, 4, 9, 698, 700, 2000}) {
        const Labelled knn = fitted(k, with_nan, y);
        const LabelList labels = knn.predict_rows(Z);
        ASSERT_EQ(labels.size(), 150u);
        for (Eigen::Index i = 0; i < Z.rows(); ++i) {
            EXPECT_EQ(labels[static_cast<std::size_t>(i)], by_definition(knn, Z.row(i).transpose()))
                << "k " << k << ", query " << i;
        }
    }
}

TEST(KNNClassifier, IncomparableDistancesStillAnswerAStoredLabel) {
    const LabelList y{"a", "b", "c", "d", "e"};
    EXPECT_TRUE(is_one_of(fitted(2, Matrix::Constant(5, 2, kNaN), y).predict(Vector::Ones(2)), y));
    EXPECT_TRUE(is_one_of(fitted(2, test::random_matrix(5, 2, 3), y).predict(Vector::Constant(2, kNaN)), y));
    // NaN distances come after every number, and among themselves by row like any tie.
    Matrix with_nan = test::random_matrix(300, 2, 4);
    for (Eigen::Index i : {250, 7, 120}) with_nan(i, 1) = kNaN;
    const KNNClassifier knn = fitted(1, with_nan, LabelList(300, "a"));
    const std::vector<Neighbour> all = knn.nearest_rows(RowMajorMatrix::Ones(1, 2), 300);
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(all[static_cast<std::size_t>(297 + j)].row, (std::vector<Eigen::Index>{7, 120, 250})[j]);
    }
    const std::vector<Neighbour> first = knn.nearest_rows(RowMajorMatrix::Constant(1, 2, kNaN), 5);
    for (int j = 0; j < 5; ++j) EXPECT_EQ(first[static_cast<std::size_t>(j)].row, j);
    const Labelled no_features = fitted(1, Matrix(3, 0), {"a", "b", "c"});
    EXPECT_EQ(no_features.labels(), (LabelList{"a", "b", "c"}));
    EXPECT_TRUE(is_one_of(no_features.predict(Vector(0)), y));
}

TEST(KNNClassifier, StoredRowIsItsOwnNearestNeighbour) {
    const Matrix X = test::random_matrix(25, 4, 11) * 10.0;
    LabelList y;
    for (int i = 0; i < X.rows(); ++i) y.push_back("r" + std::to_string(i));
    const Labelled knn = fitted(1, X, y);
    for (int i = 0; i < X.rows(); ++i) EXPECT_EQ(knn.predict(X.row(i).transpose()), y[i]);
}

TEST(KNNClassifier, UnknownWithoutStoreOrNeighbours) {
    const Matrix X{{0, 0}, {1, 1}};
    const LabelList ab{"a", "b"};
    KNNClassifier emptied = fitted(1, X, ab);
    emptied.fit(Matrix(0, 2), ClassPlaces{});
    for (const KNNClassifier& knn : {KNNClassifier(1), KNNClassifier(fitted(0, X, ab)),
                                     KNNClassifier(fitted(-1, X, ab)), emptied}) {
        EXPECT_EQ(knn.predict(Vector::Zero(2)), kNoClass);
        EXPECT_EQ(knn.predict(Vector::Zero(5)), kNoClass);  // no store to disagree with in width
    }
}

TEST(KNNClassifier, HoldsFewBytesARow) {
    const Matrix X = test::random_matrix(1000, 3, 12);
    LabelList short_labels;
    for (int i = 0; i < X.rows(); ++i) short_labels.push_back(i % 2 == 0 ? "p" : "q");
    // Besides each row's values in double and once in single precision: four bytes apiece for
    // its place in the search's order, its single-precision norms and its label's place, and a
    // little for the boxes over groups of rows. Any copy or wide number kept a row shows.
    const Eigen::Index n = X.rows(), m = X.cols();
    EXPECT_LE(fitted(3, X, short_labels).memory_bytes(), static_cast<std::size_t>(n * (12 * m + 18) + 1024));
}

TEST(KNNClassifier, RefitReplacesWholeStore) {
    KNNClassifier knn = fitted(1, Matrix{{3, 4}, {1, 0}}, {"b", "a"});
    EXPECT_EQ(knn.class_of_row, (std::vector<std::int32_t>{1, 0}));
    const Matrix second{{2}, {-1}, {0.5}};
    knn.fit(second, {{2, 0, 1}, 4});
    EXPECT_TRUE(same(knn.X_train, second));
    EXPECT_EQ(knn.class_of_row, (std::vector<std::int32_t>{2, 0, 1}));
    EXPECT_EQ(knn.n_classes, 4);
    EXPECT_EQ(knn.predict(Vector{{-0.9}}), 0);
}

TEST(KNNClassifier, RejectsWrongPlacesAndQueryLengths) {
    KNNClassifier knn = fitted(1, test::random_matrix(4, 3, 5), {"a", "b", "c", "d"});
    const KNNClassifier before = knn;
    // Class places are one per row exactly, neither fewer nor more, and each within the classes.
    for (const Eigen::Index rows : {7, 2, 4}) {
        test::expect_invalid_argument([&] { knn.fit(test::random_matrix(rows, 2, 8), places_of({"p", "q", "r"})); },
                                      {std::to_string(rows), "3"});
    }
    const std::int32_t most = std::numeric_limits<std::int32_t>::max();
    struct Outside { ClassPlaces places; std::vector<std::string> fragments; };
    for (const Outside& c : std::vector<Outside>{{{{0, 3, 1}, 3}, {"0 to 2", "got 3", "row 1"}},
                                                 {{{0, 1, -1}, 3}, {"got -1", "row 2"}},
                                                 {{{0, 0, 0}, 0}, {"0 to -1", "got 0", "row 0"}},
                                                 {{{0, most, 1}, most}, {"got 2147483647", "row 1"}}}) {
        test::expect_invalid_argument([&] { knn.fit(test::random_matrix(3, 2, 8), c.places); }, c.fragments);
    }
    EXPECT_TRUE(same(knn.X_train, before.X_train));
    EXPECT_EQ(knn.class_of_row, before.class_of_row);
    EXPECT_EQ(knn.n_classes, before.n_classes);
    const Matrix queries = test::random_matrix(6, 3, 6);
    for (Eigen::Index i = 0; i < queries.rows(); ++i) {
        EXPECT_EQ(knn.predict(queries.row(i).transpose()), before.predict(queries.row(i).transpose()));
    }
    test::expect_invalid_argument([&] { knn.predict(Vector::Zero(5)); }, {"3", "5"});
}

}  // namespace
}  // namespace mirelo

namespace mirelo {
namespace {

TEST(KNNClassifier, ScreensKeepTheExactAnswer) {
    // Clusters of rows a billionth apart: single precision cannot tell them apart, so every
    // answer rests on the exact distances. Scales far apart, and one cluster set far from the
    // origin, where norms cancel.
    const Matrix centres = test::random_matrix(30, 6, 80);
    const Matrix jitter = test::random_matrix(1500, 6, 81) * 1e-9;
    const RowMajorMatrix queries = test::random_matrix(40, 6, 82);
    LabelList y;
    for (int i = 0; i < 1500; ++i) y.push_back(std::to_string(10000 + i));  // byte order = row order
    for (const auto& [scale, offset] : std::vector<std::pair<double, double>>{
             {1e-10, 0.0}, {1.0, 0.0}, {1e16, 0.0}, {1e-3, 1e4}}) {
        Matrix X(1500, 6);
        for (Eigen::Index i = 0; i < X.rows(); ++i) {
            X.row(i) = ((centres.row(i % 30) + jitter.row(i)) * scale).array() + offset;
        }
        for (std::int32_t k : {1, 3}) {
            const Labelled knn = fitted(k, X, y);
            RowMajorMatrix Z = (queries * scale).array() + offset;
            // The last query lies beyond the screen's range, in a batch with the others: its
            // distances cancel too far for any reference but the search's own, alone.
            Z.row(39) *= 1e16;
            const LabelList labels = knn.predict_rows(Z);
            ASSERT_EQ(labels.back(), knn.predict_rows(Z.bottomRows(1)).front()) << "scale " << scale << ", k " << k;
            for (Eigen::Index q = 0; q + 1 < Z.rows(); ++q) {
                const Vector x = Z.row(q).transpose();
                std::vector<std::pair<double, Eigen::Index>> ranked;
                for (Eigen::Index i = 0; i < X.rows(); ++i) {
                    ranked.emplace_back((knn.X_train.row(i).transpose() - x).squaredNorm(), i);
                }
                std::sort(ranked.begin(), ranked.end());
                // One vote each: the tie goes to the smallest label, here the smallest row.
                const Eigen::Index winner = std::min_element(ranked.begin(), ranked.begin() + k,
                                                             [](const auto& a, const auto& b) {
                                                                 return a.second < b.second;
                                                             })->second;
                ASSERT_EQ(labels[static_cast<std::size_t>(q)], y[static_cast<std::size_t>(winner)])
                    << "scale " << scale << ", k " << k << ", query " << q;
            }
        }
    }
}


TEST(KNNClassifier, EqualDistancesGoToTheLowerRow) {
    // Five points, each stored hundreds of times in shuffled order: every K-th place is a tie that
    // spans blocks and tiles. Integer coordinates keep every distance exact.
    const Matrix points = (test::random_matrix(5, 4, 90) * 3.0).array().round();
    const Eigen::Index n = 2500;
    std::vector<Eigen::Index> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(91));
    Matrix X(n, 4);
    LabelList y;
    for (Eigen::Index i = 0; i < n; ++i) {
        X.row(i) = points.row(order[static_cast<std::size_t>(i)] % 5);
        y.push_back(std::to_string(i));
    }
    const RowMajorMatrix queries = (test::random_matrix(200, 4, 92) * 3.0).array().round();
    // Past the store's size, every row is found; up to 16 are kept sorted, more as a heap.
    for (std::int32_t k : {1, 7, 16, 17, 600, 2499, 2600}) {
        SCOPED_TRACE("k " + std::to_string(k));
        const Labelled knn = fitted(k, X, y);
        const std::vector<Neighbour> found = knn.nearest_rows(queries, k);
        const Eigen::Index kept = std::min<Eigen::Index>(k, n);
        ASSERT_EQ(found.size(), static_cast<std::size_t>(queries.rows() * kept));
        const LabelList labels = knn.predict_rows(queries);
        for (Eigen::Index q = 0; q < queries.rows(); ++q) {
            std::vector<std::pair<double, Eigen::Index>> ranked;
            for (Eigen::Index i = 0; i < n; ++i) {
                ranked.emplace_back((X.row(i) - queries.row(q)).squaredNorm(), i);
            }
            std::sort(ranked.begin(), ranked.end());
            for (Eigen::Index j = 0; j < kept; ++j) {
                const Neighbour& got = found[static_cast<std::size_t>(q * kept + j)];
                ASSERT_EQ(got.row, ranked[static_cast<std::size_t>(j)].second) << q << ", " << j;
                ASSERT_EQ(got.distance, ranked[static_cast<std::size_t>(j)].first);
            }
            EXPECT_EQ(labels[static_cast<std::size_t>(q)], knn.predict(queries.row(q).transpose()));
        }
    }
}

}  // namespace
}  // namespace mirelo

namespace mirelo {
namespace {

TEST(KNNClassifier, PrefixScreenKeepsEveryAnswerBitForBit) {
    // Coordinates with falling spreads, as the PCA leaves them, so that short prefixes and early
    // checkpoints screen out most rows. Clusters of rows a billionth apart, which single precision cannot tell apart;
    // points stored many times, so that the K-th place is a tie; and queries equal to stored rows.
    constexpr Eigen::Index m = 7;
    Vector spreads(m);
    for (Eigen::Index p = 0; p < m; ++p) spreads[p] = std::pow(0.5, static_cast<double>(p));
    const Matrix centres = test::random_matrix(40, m, 100) * spreads.asDiagonal();
    const Matrix jitter = test::random_matrix(1200, m, 101) * 1e-9;
    Matrix unit(1600, m);
    for (Eigen::Index i = 0; i < 1200; ++i) unit.row(i) = centres.row(i % 40) + jitter.row(i);
    for (Eigen::Index i = 1200; i < 1600; ++i) unit.row(i) = centres.row(i % 7);
    RowMajorMatrix unit_queries(60, m);
    unit_queries.topRows(40) = test::random_matrix(40, m, 102) * spreads.asDiagonal();
    for (Eigen::Index q = 40; q < 60; ++q) unit_queries.row(q) = unit.row(q * 37 % 1600);
    LabelList y;
    for (int i = 0; i < 1600; ++i) y.push_back(std::to_string(i % 9));
    for (double scale : {1e-10, 1.0, 1e15}) {
        const Matrix X = unit * scale;
        const RowMajorMatrix Z = unit_queries * scale;
        for (std::int32_t k : {1, 5, 40}) {
            Labelled knn = fitted(k, X, y);
            knn.set_screen({m, 0});
            const std::vector<Neighbour> reference = knn.nearest_rows(Z, k);
            const LabelList reference_labels = knn.predict_rows(Z);
            for (Eigen::Index checkpoint : {0, 1, 3, 6}) {
                for (Eigen::Index length : {1, 2, 4, 6}) {
                    SCOPED_TRACE("scale " + std::to_string(scale) + ", k " + std::to_string(k) + ", prefix " +
                                 std::to_string(length) + ", checkpoint " + std::to_string(checkpoint));
                    knn.set_screen({length, checkpoint});
                    ASSERT_EQ(knn.prefix(), length);
                    const std::vector<Neighbour> found = knn.nearest_rows(Z, k);
                    for (std::size_t j = 0; j < found.size(); ++j) {
                        ASSERT_EQ(found[j].row, reference[j].row) << j;
                        ASSERT_EQ(std::memcmp(&found[j].distance, &reference[j].distance, sizeof(double)), 0) << j;
                    }
                    for (Eigen::Index q = 0; q < Z.rows(); ++q) {
                        const std::vector<Neighbour> alone = knn.nearest_rows(Z.middleRows(q, 1), k);
                        for (std::size_t j = 0; j < alone.size(); ++j) {
                            const Neighbour& expected = reference[static_cast<std::size_t>(q * k) + j];
                            ASSERT_EQ(alone[j].row, expected.row) << q << ", " << j;
                            ASSERT_EQ(std::memcmp(&alone[j].distance, &expected.distance, sizeof(double)), 0) << q;
                        }
                    }
                    EXPECT_EQ(knn.predict_rows(Z), reference_labels);
                    for (Eigen::Index q = 0; q < Z.rows(); q += 7) {
                        EXPECT_EQ(knn.predict(Z.row(q).transpose()), reference_labels[static_cast<std::size_t>(q)]);
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace mirelo

namespace mirelo {
namespace {

// Every stored row ranked by the search's own distance, ties to the lower row.
std::vector<Neighbour> brute_force(const KNNClassifier& knn, const double* query, Eigen::Index K) {
    std::vector<Neighbour> all;
    for (Eigen::Index i = 0; i < knn.X_train.rows(); ++i) {
        all.push_back({squared_distance(query, knn.X_train.row(i).data(), knn.X_train.cols()), i});
    }
    std::partial_sort(all.begin(), all.begin() + K, all.end(), nearer);
    all.resize(static_cast<std::size_t>(K));
    return all;
}

class SearchAtEverySize : public testing::TestWithParam<std::tuple<Eigen::Index, double>> {};

TEST_P(SearchAtEverySize, MatchesBruteForceBitForBit) {
    // Tight clusters along falling spreads, so that whole runs of boxes lie beyond a query's bar
    // and are passed over at every level; rows on a grid and every fifth row a repeat, so that the
    // K-th place is often a tie; the first queries are stored rows, the rest fall anywhere. The
    // spreads halve, so that even the last coordinate keeps rows apart on the grid.
    const auto [n, scale] = GetParam();
    constexpr Eigen::Index m = 5;
    Vector spreads(m);
    for (Eigen::Index p = 0; p < m; ++p) spreads[p] = std::pow(0.5, static_cast<double>(p));
    const Matrix centres = test::random_matrix(60, m, 110) * 20.0 * spreads.asDiagonal();
    const Matrix jitter = test::random_matrix(n, m, 111) * spreads.asDiagonal();
    Matrix unit(n, m);
    for (Eigen::Index i = 0; i < n; ++i) {
        if (i % 5 == 4) {
            unit.row(i) = unit.row(i * 7 / 10);
        } else {
            // On a grid, so that rows lie on the faces of boxes at exactly a query's bar.
            unit.row(i) = ((centres.row(i * 13 % 60) + jitter.row(i)) * 2.0).array().round() / 2.0;
        }
    }
    RowMajorMatrix queries(200, m);
    for (Eigen::Index q = 0; q < 10; ++q) queries.row(q) = unit.row(q * (n - 1) / 9);
    queries.bottomRows(190) = (test::random_matrix(190, m, 112) * 40.0 * spreads.asDiagonal()).array().round() / 2.0;
    // A few lie beyond the screen's range, on either side, and beyond single precision's.
    queries(10, 0) = -1e20;
    queries(11, 1) = 1e20;
    queries(12, 2) = -1e40;
    const Matrix X = unit * scale;
    const RowMajorMatrix Z = queries * scale;
    for (Eigen::Index K : {Eigen::Index{1}, Eigen::Index{5}}) {
        SCOPED_TRACE("rows " + std::to_string(n) + ", scale " + std::to_string(scale) + ", K " + std::to_string(K));
        KNNClassifier knn = fitted(static_cast<std::int32_t>(K), X, LabelList(static_cast<std::size_t>(n), "a"));
        const Eigen::Index kept = std::min(K, n);
        std::vector<std::vector<Neighbour>> expected;
        for (Eigen::Index q = 0; q < Z.rows(); ++q) expected.push_back(brute_force(knn, Z.row(q).data(), kept));
        // Boxes over one coordinate and over all of them, each with checkpoints, which stores this
        // small do not take by themselves: a query alone reads the first's values as 16-bit codes,
        // the second's as 8-bit ones.
        for (const Eigen::Index prefix : {Eigen::Index{1}, m}) {
            for (const Eigen::Index checkpoint : {0, 2, 3}) {
                knn.set_screen({prefix, checkpoint});
                const std::vector<Neighbour> batch = knn.nearest_rows(Z, K);
                for (Eigen::Index q = 0; q < Z.rows(); ++q) {
                    const std::vector<Neighbour> alone = knn.nearest_rows(Z.middleRows(q, 1), K);
                    for (Eigen::Index j = 0; j < kept; ++j) {
                        const Neighbour& want = expected[static_cast<std::size_t>(q)][static_cast<std::size_t>(j)];
                        for (const Neighbour& got : {batch[static_cast<std::size_t>(q * kept + j)], alone[static_cast<std::size_t>(j)]}) {
                            ASSERT_EQ(got.row, want.row) << "query " << q << ", place " << j << ", prefix " << prefix
                                                         << ", checkpoint " << checkpoint;
                            ASSERT_EQ(std::memcmp(&got.distance, &want.distance, sizeof(double)), 0);
                        }
                    }
                }
            }
        }
    }
}

TEST(KNNClassifier, OneRowSearchesOfStoresTakenInTurnKeepTheirAnswers) {
    // One thread's one-row searches reuse their working memory: stores of other widths, sizes and
    // k in between must not leave it sized or filled for them. Small and large k pick the seed
    // bar in different ways.
    std::vector<KNNClassifier> stores;
    std::vector<RowMajorMatrix> queries;
    for (const auto& [n, m, k] : std::vector<std::tuple<Eigen::Index, Eigen::Index, std::int32_t>>{
             {300, 9, 4}, {40, 3, 1}, {3000, 2, 7}, {500, 4, 17}}) {
        stores.push_back(fitted(k, test::random_matrix(n, m, 120 + m), LabelList(static_cast<std::size_t>(n), "a")));
        queries.push_back(test::random_matrix(12, m, 130 + m));
    }
    for (Eigen::Index q = 0; q < 12; ++q) {
        for (std::size_t s = 0; s < stores.size(); ++s) {
            const std::vector<Neighbour> alone = stores[s].nearest_rows(queries[s].middleRows(q, 1), stores[s].k);
            const std::vector<Neighbour> expected = brute_force(stores[s], queries[s].row(q).data(), stores[s].k);
            for (std::size_t j = 0; j < expected.size(); ++j) {
                ASSERT_EQ(alone[j].row, expected[j].row) << "store " << s << ", query " << q << ", place " << j;
                ASSERT_EQ(std::memcmp(&alone[j].distance, &expected[j].distance, sizeof(double)), 0);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, SearchAtEverySize,
                         // A query alone in a store of at most 2048 rows (one block) is searched
                         // in two screens of the whole store, in a larger one block by block.
                         testing::Combine(testing::Values(Eigen::Index{1}, Eigen::Index{15}, Eigen::Index{17},
                                                          Eigen::Index{255}, Eigen::Index{257}, Eigen::Index{2048},
                                                          Eigen::Index{2049}, Eigen::Index{100000}),
                                          // At the ends of double range squared norms overflow
                                          // (1e300), go subnormal (1e-160) or vanish (1e-300); past
                                          // 1e150 and 1e-150 their scale for the screen is no
                                          // longer a normal double.
                                          testing::Values(1e-300, 1e-160, 1e-10, 1.0, 1e15, 1e150, 1e300)));

}  // namespace
}  // namespace mirelo

namespace mirelo {
namespace {

TEST(KNNClassifier, FarRowsShareABlockWithNearOnes) {
    // Rows about the origin take the block's first places and a tight cluster far off the rest;
    // the queries, about the origin too, reach into the cluster, where single precision cannot
    // tell its rows apart: the second stage must allow for the rounding of the far rows' norms,
    // not of the first ones'.
    Matrix X(128, 3);
    X.topRows(64) = test::random_matrix(64, 3, 140) * 0.5;
    X.bottomRows(64) = test::random_matrix(64, 3, 141) * 1e-3;
    X.bottomRows(64).col(0).array() += 1000.0;
    const RowMajorMatrix queries = test::random_matrix(100, 3, 142) * 0.5;
    for (const Eigen::Index K : {Eigen::Index{70}, Eigen::Index{100}}) {
        const KNNClassifier knn = fitted(static_cast<std::int32_t>(K), X, LabelList(128, "a"));
        const std::vector<Neighbour> found = knn.nearest_rows(queries, K);
        for (Eigen::Index q = 0; q < queries.rows(); ++q) {
            const std::vector<Neighbour> expected = brute_force(knn, queries.row(q).data(), K);
            for (Eigen::Index j = 0; j < K; ++j) {
                ASSERT_EQ(found[static_cast<std::size_t>(q * K + j)].row, expected[static_cast<std::size_t>(j)].row)
                    << "K " << K << ", query " << q << ", place " << j;
            }
        }
    }
}

}  // namespace
}  // namespace mirelo
