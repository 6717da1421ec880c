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
