#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <omp.h>

#include "adaptive_pca.hpp"
#include "symmetric_eigen.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

using test::captured_stdout;
using test::same;

std::string fit_line(const char* mode, Eigen::Index count) {
    return std::string("[PCA] Fit complete. Mode: ") + mode + " | Components: " + std::to_string(count) + "\n";
}

AdaptivePCA fitted(double variance, const Matrix& X, bool scale) {
    AdaptivePCA pca(variance);
    captured_stdout([&] { pca.fit(X, scale); });
    return pca;
}

TEST(AdaptivePCA, SelectComponentsKeepsLeadingAxes) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<double, int> cases[] = {{0.95, 3}, {0.8, 2}, {0.96, 4}, {1.0, 1}, {2.7, 2}, {50.0, 4},
                                            {0.0, 1}, {-1.0, 1}, {nan, 4}, {2147483648.0, 4}, {1e300, 4}, {inf, 4}};
    const Vector eigenvalues{{5.0, 3.0, 1.5, 0.5}};
    const Matrix axes = test::random_matrix(4, 4, 1);
    for (const auto& [variance, expected] : cases) {
        for (bool thin : {false, true}) {
            AdaptivePCA pca(variance);
            EXPECT_EQ(captured_stdout([&] { pca.select_components(eigenvalues, axes, thin); }),
                      fit_line(thin ? "Thin" : "Standard", expected));
            EXPECT_EQ(pca.n_components, expected) << "variance " << variance;
            EXPECT_TRUE(same(pca.components, axes.leftCols(expected))) << "variance " << variance;
        }
    }
    // A spectrum without variance keeps every axis; an empty one keeps none.
    AdaptivePCA pca(0.5);
    captured_stdout([&] { pca.select_components(Vector::Zero(3), Matrix::Identity(3, 3), false); });
    EXPECT_EQ(pca.n_components, 3);
    captured_stdout([&] { pca.select_components(Vector(0), Matrix(3, 0), false); });
    EXPECT_EQ(pca.n_components, 0);
}

TEST(AdaptivePCA, ModeFollowsShape) {
    const std::tuple<Eigen::Index, Eigen::Index, const char*> cases[] = {
        {4, 4, "Standard"}, {3, 4, "Thin"}, {6, 1, "Standard"}, {1, 3, "Thin"}};
    for (const auto& [n, d, mode] : cases) {
        const Matrix X = test::random_matrix(n, d, 2);
        AdaptivePCA pca(100.0);
        EXPECT_EQ(captured_stdout([&] { pca.fit(X, false); }), fit_line(mode, std::min(n, d)));
    }
}

TEST(AdaptivePCA, DegenerateWideFitsGiveZeroAxes) {
    for (bool scale : {false, true}) {
        const AdaptivePCA pca = fitted(100.0, test::random_matrix(3, 5, 3), scale);
        ASSERT_EQ(pca.n_components, 3);
        EXPECT_TRUE(same(pca.components.col(2), Vector::Zero(5)));
        EXPECT_TRUE(same(pca.transform(test::random_matrix(4, 5, 4)).col(2), Vector::Zero(4)));
        // One row has nothing to spread: a single all-zero axis, unit divisors, finite output.
        const AdaptivePCA single = fitted(0.95, Matrix{{1.0, -2.0, 3.0}}, scale);
        EXPECT_TRUE(same(single.components, Matrix::Zero(3, 1)));
        EXPECT_TRUE(same(single.std_dev, Vector::Ones(3)));
        EXPECT_TRUE(single.transform(test::random_matrix(2, 3, 5)).allFinite());
    }
}

TEST(AdaptivePCA, SingleFeatureProjectsCentredValue) {
    const Matrix X{{1.0}, {2.0}, {6.0}};
    for (bool scale : {false, true}) {
        const AdaptivePCA pca = fitted(0.95, X, scale);
        EXPECT_TRUE(same(pca.components, Matrix::Ones(1, 1)));
        const Matrix expected = (X.array() - 3.0).matrix() / (scale ? std::sqrt(7.0) : 1.0);
        EXPECT_TRUE(pca.transform(X).isApprox(expected, 1e-12));
    }
}

TEST(AdaptivePCA, SpreadUsesSampleDivisorAndFloor) {
    // Values -s, 0, s give a spread of exactly s: sqrt(2 s^2 / (3 - 1)).
    const double floor = 1e-9, below = std::nextafter(floor, 0.0);
    const Matrix X{{1.0, 7.0, -floor, -below}, {2.0, 7.0, 0.0, 0.0}, {6.0, 7.0, floor, below}};
    const AdaptivePCA pca = fitted(0.95, X, true);
    EXPECT_DOUBLE_EQ(pca.std_dev[0], std::sqrt(7.0));
    EXPECT_TRUE(same(pca.std_dev.tail(3), Vector{{1.0, floor, 1.0}}));
}

// Keeping every axis rotates the standardised rows: distances survive, the axes are orthonormal
// (bar the null axis of a wide fit) and projected columns are centred, at any magnitude.
TEST(AdaptivePCA, FullProjectionIsARotation) {
    struct Shape { Eigen::Index n, d; bool scale; double magnitude; };
    for (const Shape& s : {Shape{12, 4, false, 1.0}, Shape{12, 4, true, 1.0}, Shape{5, 5, true, 1.0},
                           Shape{4, 9, false, 1.0}, Shape{4, 9, true, 1.0}, Shape{12, 4, false, 1e-10},
                           Shape{4, 9, false, 1e-10}, Shape{4, 9, false, 1e8}, Shape{6, 600, true, 1.0},
                           Shape{4, 9, true, 1e155}}) {
        SCOPED_TRACE(testing::Message() << s.n << "x" << s.d << " scale " << s.scale << " x" << s.magnitude);
        const Matrix X = (test::random_matrix(s.n, s.d, 7).array() * 3.0 + 5.0).matrix() * s.magnitude;
        const AdaptivePCA pca = fitted(100.0, X, s.scale);
        Matrix Z = X.rowwise() - X.colwise().mean();
        for (Eigen::Index j = 0; s.scale && j < s.d; ++j) {
            Z.col(j) /= Z.col(j).stableNorm() / std::sqrt(static_cast<double>(s.n - 1));  // squares may overflow
        }
        const Matrix T = pca.transform(X);
        const double tolerance = 1e-9 * Z.cwiseAbs().maxCoeff();
        for (Eigen::Index i = 0; i < s.n; ++i) {
            for (Eigen::Index j = i + 1; j < s.n; ++j) {
                EXPECT_NEAR((T.row(i) - T.row(j)).norm(), (Z.row(i) - Z.row(j)).norm(), tolerance);
            }
        }
        Matrix gram = Matrix::Identity(pca.n_components, pca.n_components);
        if (s.n < s.d) gram(s.n - 1, s.n - 1) = 0.0;
        EXPECT_TRUE((pca.components.transpose() * pca.components).isApprox(gram, 1e-9));
        EXPECT_LE(T.colwise().mean().cwiseAbs().maxCoeff(), tolerance);
    }
}

TEST(AdaptivePCA, RefitResizesAndRejectedFitKeepsState) {
    AdaptivePCA pca = fitted(0.9, test::random_matrix(8, 3, 9), true);
    captured_stdout([&] { pca.fit(test::random_matrix(8, 6, 10), true); });
    EXPECT_EQ(pca.mean.size(), 6);
    EXPECT_EQ(pca.std_dev.size(), 6);
    EXPECT_EQ(pca.components.rows(), 6);
    const AdaptivePCA before = pca;
    test::expect_invalid_argument([&] { pca.fit(Matrix(0, 7), true); }, {"0 x 7"});
    test::expect_invalid_argument([&] { pca.fit(Matrix(5, 0), true); }, {"5 x 0"});
    EXPECT_TRUE(same(pca.mean, before.mean));
    EXPECT_TRUE(same(pca.std_dev, before.std_dev));
    EXPECT_TRUE(same(pca.components, before.components));
    EXPECT_EQ(pca.n_components, before.n_components);
}

TEST(AdaptivePCA, TallAxesAreThoseOfTheCovariance) {
    // Past one slice of rows and one band of the covariance, then past several blocks of rows
    // merged, far from the origin and drifting from block to block; decaying spreads keep the
    // eigenvalues apart, so each axis is defined up to its sign.
    for (const auto& [n, offset] : {std::pair<Eigen::Index, double>{1100, 0.0}, {7000, 1e4}}) {
        Matrix X = test::random_matrix(n, 70, 15);
        for (Eigen::Index j = 0; j < X.cols(); ++j) X.col(j) *= 10.0 / static_cast<double>(j + 1);
        X.col(3) += X.col(0);
        X.col(5) += Vector::LinSpaced(n, 0.0, 30.0);
        X.array() += offset;
        for (bool scale : {false, true}) {
            const AdaptivePCA pca = fitted(0.9, X, scale);
            Matrix centred = X.rowwise() - X.colwise().mean();
            if (scale) centred = centred.array().rowwise() / pca.std_dev.transpose().array();
            const double dof = static_cast<double>(n - 1);
            const Eigen::SelfAdjointEigenSolver<Matrix> reference(centred.transpose() * centred / dof);
            ASSERT_GT(pca.n_components, 1);
            for (Eigen::Index c = 0; c < pca.n_components; ++c) {
                const Vector axis = reference.eigenvectors().col(X.cols() - 1 - c);
                EXPECT_NEAR(std::abs(pca.components.col(c).dot(axis)), 1.0, 1e-9) << n << " rows, axis " << c;
            }
            EXPECT_TRUE(pca.mean.isApprox(X.colwise().mean().transpose(), 1e-13));
            if (scale) {
                const Vector spread = (centred.array().rowwise() * pca.std_dev.transpose().array())
                                          .matrix().colwise().norm().transpose() / std::sqrt(dof);
                EXPECT_TRUE(pca.std_dev.isApprox(spread, 1e-12));
            }
        }
    }
}

// Single-precision values widen exactly, so a fit and a projection read from float32 give the
// bits of the same values given as doubles.
TEST(AdaptivePCA, SinglePrecisionInputGivesTheBitsOfItsDoubles) {
    for (const auto& [n, d] : {std::pair<Eigen::Index, Eigen::Index>{4500, 12}, {30, 300}}) {
        const Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> single =
            (test::random_matrix(n, d, 16).array() * 3.0 + 2.0).cast<float>();
        const RowMajorMatrix widened = single.cast<double>();
        for (bool scale : {false, true}) {
            AdaptivePCA from_single(0.9), from_double(0.9);
            from_single.progress = from_double.progress = nullptr;
            from_single.fit(InputRows(single.data(), n, d, d, 1), scale, {});
            from_double.fit(InputRows(widened), scale, {});
            EXPECT_TRUE(same(from_single.components, from_double.components)) << n << "x" << d;
            EXPECT_TRUE(same(from_single.mean, from_double.mean));
            EXPECT_TRUE(same(from_single.std_dev, from_double.std_dev));
            EXPECT_TRUE(same(from_single.transform(InputRows(single.data(), n, d, d, 1)),
                             from_double.transform(widened)));
        }
    }
}

// The statistics of 12-column rows read in runs, 4,096 rows a block: runs that start on blocks
// give the fit's own bits, whether one thread reads a run's blocks or lanes take them; others (an
// empty one too) its axes up to rounding. A run names bad values by their row in the whole matrix,
// and statistics no fit could use are refused.
TEST(AdaptivePCA, StatisticsOfRunsGiveTheFitOfAllTheRows) {
    constexpr Eigen::Index kBlock = 4096;
    RowMajorMatrix X = test::random_matrix(3 * kBlock + 100, 12, 17);
    for (Eigen::Index j = 0; j < X.cols(); ++j) X.col(j) *= static_cast<double>(j + 1);
    const auto from_runs = [&](const std::vector<Eigen::Index>& cuts, bool scale) {
        TallStatistics all = tall_statistics(InputRows(X).middle_rows(0, cuts[0]), 0, X.rows(), {});
        for (std::size_t r = 1; r <= cuts.size(); ++r) {
            const Eigen::Index top = cuts[r - 1], end = r < cuts.size() ? cuts[r] : X.rows();
            append_statistics(all, tall_statistics(InputRows(X).middle_rows(top, end - top), top, X.rows(), {}));
        }
        AdaptivePCA pca(0.9);
        pca.progress = nullptr;
        pca.fit(std::move(all), scale);
        return pca;
    };
    const int saved = omp_get_max_threads();
    for (int threads : {1, 2}) {
        omp_set_num_threads(threads);
        SCOPED_TRACE(std::to_string(threads) + " threads");
        for (bool scale : {false, true}) {
            const AdaptivePCA whole = fitted(0.9, X, scale);
            const AdaptivePCA aligned = from_runs({kBlock, 3 * kBlock, 3 * kBlock}, scale);
            EXPECT_TRUE(same(aligned.components, whole.components));
            EXPECT_TRUE(same(aligned.std_dev, whole.std_dev));
            EXPECT_TRUE(same(aligned.explained_variance_ratio, whole.explained_variance_ratio));
            const AdaptivePCA cut = from_runs({1000, 1000, 5000}, scale);
            ASSERT_EQ(cut.n_components, whole.n_components);
            for (Eigen::Index c = 0; c < whole.n_components; ++c) {
                EXPECT_NEAR(std::abs(cut.components.col(c).dot(whole.components.col(c))), 1.0, 1e-12);
            }
            EXPECT_TRUE(cut.mean.isApprox(whole.mean, 1e-13));
        }
    }
    omp_set_num_threads(saved);
    X(5000, 3) = std::numeric_limits<double>::quiet_NaN();
    test::expect_invalid_argument([&] { from_runs({4000}, false); }, {"row 5000, column 3"});
    const auto refused = [](TallStatistics statistics, const std::string& fragment) {
        AdaptivePCA pca(0.9);
        test::expect_invalid_argument([&] { pca.fit(std::move(statistics), false); }, {fragment});
        EXPECT_EQ(pca.mean.size(), 0);
    };
    const RowMajorMatrix few = test::random_matrix(5, 12, 18);
    refused(tall_statistics(InputRows(few).middle_rows(0, 0), 0, 12, {}), "0 x 12");
    refused(tall_statistics(InputRows(few), 0, 12, {}), "5 x 12");
    // Runs of two matrices.
    TallStatistics first = tall_statistics(InputRows(few), 0, 12, {});
    test::expect_invalid_argument([&] { append_statistics(first, tall_statistics(InputRows(few), 0, 24, {})); },
                                  {"12 columns and 12 terms, got 12 columns and 24 terms"});
}

// A constant column, in every block, has an exact mean and no spread, and has no part in the
// axes of the data's variance.
TEST(AdaptivePCA, ConstantColumnsStayOutOfTheAxes) {
    for (const auto& [n, d] : {std::pair<Eigen::Index, Eigen::Index>{5000, 6}, {20, 40}}) {
        Matrix X = test::random_matrix(n, d, 17);
        X.col(2).setConstant(0.1);
        X.col(d - 1).setConstant(-3e7);
        for (bool scale : {false, true}) {
            const AdaptivePCA pca = fitted(static_cast<double>(std::min(n - 1, d - 2)), X, scale);
            EXPECT_EQ(pca.mean[2], 0.1);
            EXPECT_EQ(pca.mean[d - 1], -3e7);
            EXPECT_EQ(pca.std_dev[2], 1.0);
            EXPECT_EQ(pca.std_dev[d - 1], 1.0);
            EXPECT_LE(pca.components.row(2).cwiseAbs().maxCoeff(), 1e-12);
            EXPECT_LE(pca.components.row(d - 1).cwiseAbs().maxCoeff(), 1e-12);
        }
    }
}

TEST(SymmetricEigen, FormsOnlyTheWantedVectorsOfTheLargestValues) {
    const Matrix A = test::random_matrix(40, 40, 21);
    const Eigen::SelfAdjointEigenSolver<Matrix> reference(A * A.transpose());
    for (Eigen::Index wanted : {0, 1, 5, 40}) {
        Vector values;
        Matrix vectors;
        symmetric_eigen_descending(A * A.transpose(), [&](const Vector&) { return wanted; }, values, vectors);
        ASSERT_EQ(vectors.rows(), 40);
        ASSERT_EQ(vectors.cols(), wanted);
        EXPECT_TRUE(values.isApprox(reference.eigenvalues().reverse(), 1e-10));
        for (Eigen::Index c = 0; c < wanted; ++c) {
            EXPECT_NEAR(std::abs(vectors.col(c).dot(reference.eigenvectors().col(39 - c))), 1.0, 1e-9) << c;
        }
    }
}

TEST(AdaptivePCA, RowProjectsToTheSameBitsAloneAndInAnyBatch) {
    // The last shapes' rows are summed in several blocks, merged, with threads taking blocks
    // side by side, two or three at a time: more threads than blocks, a last round short of a
    // block, and blocks shortened for the width.
    for (const auto& [n, d] :
         {std::pair<Eigen::Index, Eigen::Index>{300, 13}, {40, 90}, {6500, 30}, {140000, 5}, {20000, 300}}) {
        const Matrix X = test::random_matrix(n, d, 13);
        const AdaptivePCA pca = fitted(0.9, X, true);
        const Matrix queries = test::random_matrix(150, d, 14) * 4.0;
        const int saved = omp_get_max_threads();
        omp_set_num_threads(1);
        const RowMajorMatrix serial = pca.transform(queries);
        for (int threads : {1, 2, 3}) {
            omp_set_num_threads(threads);
            EXPECT_TRUE(same(fitted(0.9, X, true).components, pca.components)) << threads << " threads";
            EXPECT_TRUE(same(pca.transform(queries), serial)) << threads << " threads";
            EXPECT_TRUE(same(pca.transform(queries.colwise().reverse()), serial.colwise().reverse()));
            for (Eigen::Index i = 0; i < queries.rows(); i += 7) {
                EXPECT_TRUE(same(pca.transform(queries.row(i)), serial.row(i))) << "row " << i;
            }
        }
        omp_set_num_threads(saved);
    }
}

TEST(AdaptivePCA, LanesTakingBlocksNameTheValueOneThreadMeetsFirst) {
    // Blocks 1 and 4 of seven each hold a value that is not finite; whichever lane reaches its
    // block first, the fit names the one in row order.
    Matrix X = test::random_matrix(20000, 300, 15);
    X(15000, 2) = std::numeric_limits<double>::quiet_NaN();
    X(4000, 7) = std::numeric_limits<double>::infinity();
    const int saved = omp_get_max_threads();
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        SCOPED_TRACE(std::to_string(threads) + " threads");
        // It fails before it reports anything.
        test::expect_invalid_argument([&] { AdaptivePCA(0.9).fit(X, false); }, {"got inf at row 4000, column 7"});
    }
    omp_set_num_threads(saved);
}

TEST(AdaptivePCA, TransformShapes) {
    EXPECT_TRUE(same(AdaptivePCA(2.0).transform(Matrix::Zero(4, 3)), Matrix(4, 0)));
    const AdaptivePCA pca = fitted(2.0, test::random_matrix(10, 3, 12), false);
    test::expect_invalid_argument([&] { pca.transform(Matrix::Zero(2, 5)); }, {"3", "5"});
    EXPECT_TRUE(same(pca.transform(Matrix(0, 3)), Matrix(0, 2)));
}

}  // namespace
}  // namespace mirelo
