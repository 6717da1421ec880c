#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include <gtest/gtest.h>

#include "knn_engine.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

using test::captured_stdout;
using test::expect_invalid_argument;
using test::same;

struct Trained {
    KNNEngine engine;
    Matrix queries;
};

// Three noisy classes; the rounded copy repeats rows so that distances and votes tie.
Trained trained(KNNConfig config, bool rounded, std::ostream* progress = nullptr) {
    Matrix X = test::random_matrix(300, 9, 60);
    LabelList y;
    for (Eigen::Index i = 0; i < X.rows(); ++i) {
        X.row(i).array() += 2.0 * static_cast<double>(i % 3);
        y.push_back(std::string(1, static_cast<char>('a' + i % 3)));
    }
    Matrix queries = test::random_matrix(250, 9, 61).array() + 2.0;
    if (rounded) {
        X = X.array().round();
        queries = queries.array().round();
    }
    Trained t{KNNEngine(config), queries};
    t.engine.set_progress(progress);
    t.engine.train(X, y, true);
    return t;
}

TEST(EngineProgress, LinesGoWhereTheyAreSentAndNowhereWhenNull) {
    std::ostringstream lines;
    EXPECT_EQ(captured_stdout([&] { trained(KNNConfig{3, 0.9}, false, &lines); }), "");
    EXPECT_EQ(lines.str().rfind("[PCA] Fit complete. Mode: Standard | Components: ", 0), 0u);
    EXPECT_NE(lines.str().find("\n[Engine] Trained successfully. Reduced to "), std::string::npos);
    EXPECT_EQ(captured_stdout([&] { trained(KNNConfig{3, 0.9}, false); }), "");
}

TEST(EngineNeighbours, VotesAndNeighboursAgreeWithPredictions) {
    for (const bool rounded : {false, true}) {
        for (const KNNConfig& config : {KNNConfig{1, 0.9}, KNNConfig{4, 0.9}, KNNConfig{6, 100.0}}) {
            SCOPED_TRACE(std::to_string(config.k) + (rounded ? " rounded" : ""));
            const Trained t = trained(config, rounded);
            const KNNEngine& engine = t.engine;
            const LabelList labels = engine.predict_batch(t.queries);
            const VoteMatrix votes = engine.vote_counts(t.queries);
            const std::vector<Neighbour> nearest = engine.nearest_rows(t.queries, config.k);
            const RowMajorMatrix reduced = engine.transform(t.queries);
            const RowMajorMatrix stored = engine.export_state().reduced;
            for (Eigen::Index q = 0; q < t.queries.rows(); ++q) {
                Eigen::Index winner = 0;
                votes.row(q).maxCoeff(&winner);  // the first maximum
                EXPECT_EQ(engine.classes()[static_cast<std::size_t>(winner)], labels[static_cast<std::size_t>(q)]);
                EXPECT_EQ(votes.row(q).sum(), config.k);
                for (Eigen::Index j = 0; j < config.k; ++j) {
                    const Neighbour& n = nearest[static_cast<std::size_t>(q * config.k + j)];
                    EXPECT_DOUBLE_EQ(n.distance, (stored.row(n.row) - reduced.row(q)).squaredNorm());
                    if (j > 0) {
                        const Neighbour& before = nearest[static_cast<std::size_t>(q * config.k + j - 1)];
                        EXPECT_TRUE(before.distance < n.distance ||
                                    (before.distance == n.distance && before.row < n.row));
                    }
                }
            }
        }
    }
}

TEST(EngineNeighbours, TrainingRowsFindWhatTheirQueriesWould) {
    // Rounded rows repeat, so a row's copies tie with it at distance 0.
    for (const bool rounded : {false, true}) {
        SCOPED_TRACE(rounded ? "rounded" : "plain");
        Matrix X = test::random_matrix(200, 7, 64);
        if (rounded) X = X.array().round();
        KNNEngine engine(KNNConfig{3, 0.9});
        engine.set_progress(nullptr);
        engine.train(X, LabelList(200, "same"), false);
        // Past the store's size, every row is found.
        for (const Eigen::Index count : {5, 260}) {
            const std::vector<Neighbour> expected = engine.nearest_rows(X, count);
            const std::vector<Neighbour> found = engine.nearest_training_rows(count);
            ASSERT_EQ(found.size(), static_cast<std::size_t>(200 * std::min<Eigen::Index>(count, 200)));
            ASSERT_EQ(found.size(), expected.size());
            for (std::size_t i = 0; i < expected.size(); ++i) {
                EXPECT_EQ(found[i].row, expected[i].row);
                EXPECT_EQ(found[i].distance, expected[i].distance);
            }
            EXPECT_EQ(found.front().distance, 0.0);
        }
    }
}

TEST(EngineNeighbours, TinyDataReportTrueDistancesAndCoordinates) {
    // Scaling by a power of two is exact; data this small are scaled up inside the PCA.
    const Matrix X = test::random_matrix(40, 5, 62), queries = test::random_matrix(6, 5, 63);
    const LabelList y(40, "same");
    KNNEngine plain(KNNConfig{3, 0.9}), tiny(KNNConfig{3, 0.9});
    plain.set_progress(nullptr);
    tiny.set_progress(nullptr);
    plain.train(X, y, false);
    const double factor = std::ldexp(1.0, -480);
    tiny.train(X * factor, y, false);
    ASSERT_NE(tiny.export_state().scale_exponent, 0);
    EXPECT_TRUE(same(tiny.transform(queries * factor), plain.transform(queries) * factor));
    const Vector variance = plain.explained_variance();
    EXPECT_TRUE(same(tiny.explained_variance(), variance * factor * factor));
    EXPECT_NEAR(variance.sum(), (plain.transform(X).rowwise() - plain.transform(X).colwise().mean()).squaredNorm() / 39,
                1e-12 * variance.sum());
    const std::vector<Neighbour> expected = plain.nearest_rows(queries, 3);
    const std::vector<Neighbour> found = tiny.nearest_rows(queries * factor, 3);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(found[i].row, expected[i].row);
        EXPECT_EQ(std::ldexp(found[i].distance, -2 * tiny.scale_exponent()), std::ldexp(expected[i].distance, -960));
    }
}

TEST(EngineState, ImportedStateAnswersBitForBit) {
    const Trained t = trained(KNNConfig{5, 0.8}, true);
    KNNEngine restored(KNNConfig{5, 0.8});
    restored.set_progress(nullptr);
    EXPECT_EQ(captured_stdout([&] { restored.import_state(t.engine.export_state()); }), "");
    EXPECT_EQ(restored.predict_batch(t.queries), t.engine.predict_batch(t.queries));
    EXPECT_TRUE(same(restored.transform(t.queries), t.engine.transform(t.queries)));
    EXPECT_TRUE(same(restored.vote_counts(t.queries), t.engine.vote_counts(t.queries)));
    EXPECT_EQ(restored.n_components(), t.engine.n_components());
    EXPECT_TRUE(same(restored.explained_variance_ratio(), t.engine.explained_variance_ratio()));
}

TEST(EngineState, CorruptStatesAreRejectedAndChangeNothing) {
    const Trained t = trained(KNNConfig{3, 0.9}, false);
    const EngineState good = t.engine.export_state();
    Trained target = trained(KNNConfig{3, 0.9}, true);
    const LabelList before = target.engine.predict_batch(t.queries);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case { const char* what; void (*corrupt)(EngineState&, double); std::vector<std::string> fragments; };
    const Case cases[] = {
        {"no features", [](EngineState& s, double) { s.mean.resize(0); }, {"empty mean"}},
        {"count", [](EngineState& s, double) { s.n_components = 0; }, {"components", "got 0"}},
        {"count above width", [](EngineState& s, double) { s.n_components = 10; }, {"1 to 9", "10"}},
        {"spreads", [](EngineState& s, double) { s.std_dev.resize(4); }, {"spread vector", "4 x 1"}},
        {"components", [](EngineState& s, double) { s.components.conservativeResize(8, Eigen::NoChange); },
         {"component matrix", "8 x"}},
        {"ratio", [](EngineState& s, double) { s.explained_variance_ratio.resize(1); }, {"explained variance"}},
        {"reduced width", [](EngineState& s, double) { s.reduced.conservativeResize(Eigen::NoChange, 1); },
         {"reduced training matrix"}},
        {"no rows", [](EngineState& s, double) { s.reduced.resize(0, s.n_components); s.classes.of_row.clear(); },
         {"at least one training row"}},
        {"labels", [](EngineState& s, double) { s.classes.of_row.pop_back(); }, {"one label per training row", "299"}},
        {"class place", [](EngineState& s, double) { s.classes.of_row[5] = 3; }, {"class places from 0 to 2", "row 5"}},
        {"class names", [](EngineState& s, double) { s.class_names.pop_back(); }, {"a name per class (3)", "got 2"}},
        {"mean", [](EngineState& s, double v) { s.mean[2] = v; }, {"finite", "mean"}},
        {"component value", [](EngineState& s, double v) { s.components(1, 0) = v; }, {"finite", "components"}},
        {"reduced value", [](EngineState& s, double v) { s.reduced(7, 0) = v; }, {"finite", "reduced"}},
        {"spread value", [](EngineState& s, double) { s.std_dev[0] = 0.0; }, {"spread vector", "got 0 for feature 0"}},
        {"spread below the floor", [](EngineState& s, double) { s.std_dev[4] = 1e-12; },
         {"spread vector holds 1 or finite values of at least 1e-09", "got 1e-12 for feature 4"}},
        {"spread value not finite", [](EngineState& s, double v) { s.std_dev[1] = v; }, {"spread vector", "nan"}},
        // A training leaves rows on zero along an axis of zero length, never elsewhere.
        {"rows along a zero axis", [](EngineState& s, double) { s.components.col(1).setZero(); },
         {"zero along component 1, an axis of zero length"}},
        {"scale exponent", [](EngineState& s, double) { s.scale_exponent = 5000; }, {"scale exponent", "5000"}},
        // Just past the powers of two that scale a double's range to one and back.
        {"exponent above", [](EngineState& s, double) { s.scale_exponent = 1075; }, {"scale exponent", "1075"}},
        {"exponent below", [](EngineState& s, double) { s.scale_exponent = -1024; }, {"scale exponent", "-1024"}},
        {"overflowing row", [](EngineState& s, double) { s.reduced(3, 0) = 1e200; }, {"row 3", "overflows"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineState bad = good;
        c.corrupt(bad, nan);
        expect_invalid_argument([&] { target.engine.import_state(bad); }, c.fragments);
        EXPECT_EQ(target.engine.predict_batch(t.queries), before);
    }
    EXPECT_THROW(KNNEngine(KNNConfig{}).export_state(), std::logic_error);
    EXPECT_THROW(KNNEngine(KNNConfig{}).vote_counts(t.queries), std::logic_error);
}

}  // namespace
}  // namespace mirelo
