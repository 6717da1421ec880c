#include <algorithm>
#include <functional>
#include <stdexcept>
#include <limits>

#include <gtest/gtest.h>
#include <omp.h>

#include "adaptive_pca.hpp"
#include "knn_engine.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

using test::captured_stdout;
using test::expect_invalid_argument;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Data { Matrix X; LabelList y; };

// Three classes whose centres lie 4 apart on every feature, so the neighbours should recover them.
Data clusters(Eigen::Index n, Eigen::Index d, unsigned seed, const std::string& prefix = "class") {
    Data data{test::random_matrix(n, d, seed), {}};
    for (Eigen::Index i = 0; i < n; ++i) {
        data.X.row(i).array() += 4.0 * static_cast<double>(i % 3);
        data.y.push_back(prefix + static_cast<char>('A' + i % 3));
    }
    return data;
}

KNNEngine trained(KNNConfig config, const Data& data, bool scale) {
    KNNEngine engine(config);
    captured_stdout([&] { engine.train(data.X, data.y, scale); });
    return engine;
}

TEST(KNNEngine, ClassesTrainedAsPlacesAnswerAsTheirLabelsDo) {
    // Rounded, so that votes tie; the places run up to the top of their range, and two classes
    // beyond the labels' hold no row.
    Data data = clusters(90, 5, 22);
    data.X = data.X.array().round();
    const Matrix queries = (test::random_matrix(40, 5, 23) * 3.0).array().round();
    const KNNEngine named = trained(KNNConfig{4, 0.9}, data, false);
    const std::vector<std::int32_t> expected = named.predict_places(queries);
    const LabelList labels = named.predict_batch(queries);
    for (std::size_t q = 0; q < labels.size(); ++q) EXPECT_EQ(named.classes()[expected[q]], labels[q]);
    const std::int32_t top = std::numeric_limits<std::int32_t>::max();
    for (const std::int32_t first : {0, top - 5}) {
        SCOPED_TRACE(first);
        ClassPlaces places{label_places(data.y, data.X.rows()).class_of_row, first + 5};
        for (std::int32_t& place : places.of_row) place += first;
        KNNEngine engine(KNNConfig{4, 0.9});
        engine.set_progress(nullptr);
        const MatrixView rows(data.X);
        engine.train(InputRows(rows), std::move(places), false);
        EXPECT_TRUE(engine.classes().empty());
        EXPECT_EQ(engine.n_classes(), first + 5);
        std::vector<std::int32_t> found = engine.predict_places(queries);
        for (std::int32_t& place : found) place -= first;
        EXPECT_EQ(found, expected);
        EXPECT_THROW(engine.predict(queries.row(0).transpose()), std::out_of_range);
        if (first == 0) {
            const VoteMatrix votes = engine.vote_counts(queries);
            ASSERT_EQ(votes.cols(), 5);
            EXPECT_TRUE(votes.leftCols(3) == named.vote_counts(queries));
            EXPECT_TRUE((votes.rightCols(2).array() == 0).all());
        }
    }
}

TEST(KNNEngine, GrowsClassesTrainedAsPlacesInTheirOrder) {
    const Data data = clusters(60, 4, 25);
    const ClassPlaces places{label_places(data.y, data.X.rows()).class_of_row, 3};
    KNNEngine engine(KNNConfig{3, 0.9});
    engine.set_progress(nullptr);
    const MatrixView rows(data.X);
    engine.train(InputRows(rows), places, false);
    const Matrix added = test::random_matrix(4, 4, 26);
    const InputRows more{MatrixView(added)};
    // A class new to the addition comes between the old ones: places 0, 1, 2 become 0, 2, 3.
    const std::vector<std::int32_t> renamed{0, 2, 3};
    const auto grown = engine.grown(more, ClassPlaces{{1, 1, 0, 3}, 4}, renamed);
    EXPECT_EQ(grown->n_classes(), 4);
    EXPECT_EQ(engine.n_classes(), 3);
    std::vector<std::int32_t> expected;
    for (const std::int32_t place : places.of_row) expected.push_back(renamed[static_cast<std::size_t>(place)]);
    expected.insert(expected.end(), {1, 1, 0, 3});
    EXPECT_EQ(grown->training_places(), expected);
    EXPECT_EQ(grown->vote_counts(added).cols(), 4);
    // Out of order (a tie would change class), short, or beyond the count.
    for (const std::vector<std::int32_t>& wrong : {std::vector<std::int32_t>{0, 3, 2}, {0, 2}, {0, 2, 4}}) {
        EXPECT_THROW(engine.grown(more, ClassPlaces{{1, 1, 0, 3}, 4}, wrong), std::invalid_argument);
    }
    // Named classes would need names for the new ones.
    const KNNEngine named = trained(KNNConfig{3, 0.9}, data, false);
    EXPECT_THROW(named.grown(more, ClassPlaces{{0, 0, 0, 0}, 3}, {0, 1, 2}), std::logic_error);
}

TEST(KNNEngine, HoldsEachClassNameOnce) {
    // Long labels on many rows: the engine grows by the strings of its three classes, not one a row.
    Data data = clusters(1000, 3, 24, std::string(200, 'p'));
    const std::size_t short_bytes = trained(KNNConfig{}, clusters(1000, 3, 24), false).memory_bytes();
    EXPECT_LE(trained(KNNConfig{}, data, false).memory_bytes(), short_bytes + 3 * 202);
}

TEST(KNNEngine, TrainReportsReducedWidth) {
    for (const Data& data : {clusters(40, 6, 20), clusters(5, 12, 21)}) {
        AdaptivePCA reference(0.9);
        const std::string pca_line = captured_stdout([&] { reference.fit(data.X, true); });
        KNNEngine engine(KNNConfig{3, 0.9});
        EXPECT_EQ(captured_stdout([&] { engine.train(data.X, data.y, true); }),
                  pca_line + "[Engine] Trained successfully. Reduced to " +
                      std::to_string(reference.n_components) + " dimensions.\n");
    }
}

TEST(KNNEngine, TrainingDataChangedBetweenTheTwoReadsAreRejected) {
    // The stage reports come between the reads: a change made when one arrives is what a writer
    // to a memory-mapped file would do while training reads it.
    using Change = std::function<void(RowMajorMatrix&)>;
    struct Case {
        Eigen::Index rows, cols;
        const char* stage;
        Change change;
        std::vector<std::string> fragments;
        Change prepare = [](RowMajorMatrix&) {};
    };
    const std::string changed = "the training data changed while it was read";
    const Case cases[] = {
        {300, 4, "projection", [](RowMajorMatrix& X) { X(250, 2) += 1.0; }, {"column 2", changed}},
        // Rows swapped leave every column's sum, mean and covariance as they were.
        {300, 4, "projection", [](RowMajorMatrix& X) { X.row(7).swap(X.row(191)); }, {"column 0", changed}},
        // A value and its negation swapped, two rows apart: their bits differ in the sign alone.
        {300, 4, "projection", [](RowMajorMatrix& X) { std::swap(X(10, 1), X(12, 1)); }, {"column 1", changed},
         [](RowMajorMatrix& X) { X(12, 1) = -X(10, 1); }},
        {300, 4, "projection", [](RowMajorMatrix& X) { X(5, 1) = kNaN; }, {"got nan at row 5, column 1"}},
        {5000, 300, "projection", [](RowMajorMatrix& X) { X(4999, 299) = -X(4999, 299); }, {"column 299", changed}},
        // Wide data are read once more between the two, for their axes.
        {6, 40, "eigen-decomposition", [](RowMajorMatrix& X) { X(3, 33) *= 2.0; }, {"column 33", changed}},
        {6, 40, "eigen-decomposition", [](RowMajorMatrix& X) { X(4, 9) = -kInf; }, {"got -inf at row 4, column 9"}},
    };
    const Data before = clusters(30, 3, 27);
    for (const Case& c : cases) {
        const Data data = clusters(c.rows, c.cols, 28);
        RowMajorMatrix X = data.X;
        c.prepare(X);
        KNNEngine engine = trained(KNNConfig{3, 0.95}, before, false);
        const LabelList answers = engine.predict_batch(before.X);
        bool done = false;
        engine.set_progress_report([&](const char* stage, double) {
            if (!done && std::string(stage) == c.stage) {
                c.change(X);
                done = true;
            }
        });
        const auto attempt = [&] { engine.train(InputRows(X), data.y, false); };
        captured_stdout([&] { expect_invalid_argument(attempt, c.fragments); });
        EXPECT_TRUE(done) << c.stage;
        EXPECT_EQ(engine.predict_batch(before.X), answers);
    }
}

TEST(KNNEngine, ReportsEachStageInOrder) {
    const Data data = clusters(40, 3, 25);
    std::vector<std::string> stages;
    KNNEngine engine(KNNConfig{3, 0.95});
    engine.set_progress_report([&](const char* stage, double done) {
        if (stages.empty() || stages.back() != stage) stages.emplace_back(stage);
        EXPECT_TRUE(done >= 0.0 && done <= 1.0) << stage << " " << done;
    });
    captured_stdout([&] { engine.train(data.X, data.y, true); });
    const std::vector<std::string> expected{"statistics and covariance", "eigen-decomposition", "projection",
                                            "store"};
    EXPECT_EQ(stages, expected);
}

TEST(KNNEngine, RetrainingForgetsEarlierData) {
    const Data second = clusters(25, 4, 31, "second");
    KNNEngine retrained = trained(KNNConfig{3, 0.9}, clusters(30, 6, 30, "first"), true);
    captured_stdout([&] { retrained.train(second.X, second.y, false); });
    const Matrix queries = test::random_matrix(20, 4, 32) * 3.0 + Matrix::Constant(20, 4, 4.0);
    const KNNEngine fresh = trained(KNNConfig{3, 0.9}, second, false);
    EXPECT_EQ(retrained.predict_batch(queries), fresh.predict_batch(queries));
}

TEST(KNNEngine, EachQueryIsAnsweredAsIfAlone) {
    // Rounded coordinates repeat rows and distances, so ties in distance and in the vote abound;
    // the store spans more than one block and the batch more than one task.
    Data train = clusters(600, 7, 80);
    train.X = (train.X.array() * 0.5).round();
    const Matrix queries = (test::random_matrix(300, 7, 81) * 2.0).array().round() + 4.0;
    for (const KNNConfig& config : {KNNConfig{4, 0.9}, KNNConfig{6, 100.0}}) {
        const KNNEngine engine = trained(config, train, true);
        LabelList alone;
        for (Eigen::Index i = 0; i < queries.rows(); ++i) alone.push_back(engine.predict(queries.row(i).transpose()));
        const int saved = omp_get_max_threads();
        for (int threads : {1, 2, 3}) {
            omp_set_num_threads(threads);
            EXPECT_EQ(engine.predict_batch(queries), alone) << threads << " threads";
            const LabelList reversed = engine.predict_batch(queries.colwise().reverse());
            EXPECT_TRUE(std::equal(reversed.rbegin(), reversed.rend(), alone.begin())) << threads << " threads";
        }
        omp_set_num_threads(saved);
    }
}

TEST(KNNEngine, BatchIndependentOfThreadCount) {
    const KNNEngine engine = trained(KNNConfig{5, 0.9}, clusters(60, 8, 50), true);
    const Matrix queries = test::random_matrix(40, 8, 51) * 3.0 + Matrix::Constant(40, 8, 4.0);
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    const LabelList serial = engine.predict_batch(queries);
    for (int threads : {2, 3, 64}) {
        omp_set_num_threads(threads);
        EXPECT_EQ(engine.predict_batch(queries), serial) << threads << " threads";
    }
    omp_set_num_threads(saved);
}

}  // namespace
}  // namespace mirelo
