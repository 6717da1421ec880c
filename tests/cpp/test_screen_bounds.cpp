#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "box_descent.hpp"
#include "kernels.hpp"
#include "knn_classifier.hpp"
#include "screen_stages.hpp"

namespace mirelo {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ScreenBounds, BarsWidenWithTheBitsOfTheWholeFormula) {
    // The subnormal term is left out only where it cannot change the sum.
    constexpr double kTiny = std::numeric_limits<double>::denorm_min();
    for (const Eigen::Index length : {Eigen::Index{1}, Eigen::Index{26}, Eigen::Index{1} << 30}) {
        const double steps = 4.0 * static_cast<double>(length + 4);
        for (const double norm : {0.0, kTiny, 0x1p-1000, 0x1p-960, 0x1p-850, 0x1p-800, 1.0, 1e300, kInf}) {
            for (const double bar : {0.0, 0x1p-1040, 0.5, 1e300}) {
                const double got = widened_bar(bar, norm, norm, length);
                const double expected = std::nextafter(
                    bar + (steps * std::numeric_limits<double>::epsilon() * (norm + norm) + steps * kTiny), kInf);
                EXPECT_EQ(std::memcmp(&got, &expected, sizeof(double)), 0) << length << " " << norm << " " << bar;
            }
        }
    }
}

TEST(ScreenBounds, BoxesAllowForTheQuerysOwnRounding) {
    // Row 0 sits at the low edge of its group's box, 2^-14 above the query, which single precision
    // rounds a quarter of a unit away from the box: the rounded query's bound on row 0 exceeds its
    // true distance by far more than the exact distances' rounding, so only the allowance for the
    // query's rounding keeps the group.
    Matrix X = Matrix::Zero(17, 2);
    for (Eigen::Index i = 0; i < 17; ++i) X(i, 0) = 1.0 + static_cast<double>(i) / 64.0;
    const double below = 1.0 - std::ldexp(1.0, -14);
    const Vector query{{below + std::ldexp(1.0, -26), 0.0}};
    ASSERT_EQ(static_cast<double>(static_cast<float>(query[0])), below);
    KNNClassifier knn(1);
    knn.fit(X, ClassPlaces{std::vector<std::int32_t>(17, 0), 1});
    for (Eigen::Index prefix : {1, 2}) {
        knn.set_screen({prefix, 1});
        const Neighbour nearest = knn.nearest_rows(query.transpose(), 1).front();
        EXPECT_EQ(nearest.row, 0) << prefix;
        EXPECT_EQ(nearest.distance, (X.row(0) - query.transpose()).squaredNorm()) << prefix;
    }
}

TEST(ScreenBounds, BoxesAtEveryLevelAllowForEveryRounding) {
    // Row 0 lies at the low corner of a box at every level, and a query whose bar is row 0's
    // distance must not pass over it at any level. First as above, with the query's own rounding;
    // then with queries on single precision's grid whose gaps to the corner are exact but whose
    // squares and their sum round up past the bar's value rounded up, among normal values and then
    // among subnormal ones (the last row, far off, sets the scale): only the allowance for the
    // boxes' own rounding keeps row 0.
    constexpr Eigen::Index n = 4096;
    const double t = std::ldexp(1.0, -69);
    const auto gap = [](int bits, int exponent) { return std::ldexp(static_cast<double>(bits), exponent); };
    struct Corner { double first, step, last, second; double query[3]; };
    const Corner corners[] = {
        {1.0, 1.0 / 64.0, 1.0 + 4095.0 / 64.0, 0.0, {1.0 - std::ldexp(1.0, -14) + std::ldexp(1.0, -26), 0.0, 0.0}},
        {1.0, 1.0 / 4096.0, 1.0 + 4095.0 / 4096.0, 1.0, {1.0 - gap(0x120f24, -24), 1.0 - gap(0x172624, -24), 1.0}},
        {t, t / 4096.0, 1.0, t, {t - gap(0x93c5e, -90), t - gap(0xd770e, -90), t - gap(0xd89d3, -90)}},
    };
    for (const Corner& corner : corners) {
        RowMajorMatrix X = RowMajorMatrix::Constant(n, 3, corner.second);
        for (Eigen::Index i = 0; i < n; ++i) X(i, 0) = corner.first + static_cast<double>(i) * corner.step;
        X(n - 1, 0) = corner.last;
        const double* query = corner.query;
        for (Eigen::Index prefix : {1, 2, 3}) {
            const ScreenStages screen = ScreenStages::build(X, {prefix, 1});
            ASSERT_GE(screen.levels.size(), 3u);
            ASSERT_NE(std::find(screen.order.begin(), screen.order.begin() + kSinglePanelRows, 0),
                      screen.order.begin() + kSinglePanelRows);  // in the first group
            float scaled[3];
            for (int p = 0; p < 3; ++p) scaled[p] = static_cast<float>(std::ldexp(query[p], screen.exponent));
            const double bar = squared_distance(query, X.row(0).data(), 3);
            const BoxQuery box_query{scaled, squared_norm(query, 3), screen.prefix_error(query, scaled), bar};
            EXPECT_EQ(next_near(screen, box_query, 0, n), 0) << corner.first << ", " << prefix;
        }
    }
}

TEST(ScreenBounds, CodedCheckpointPassesOverNoRowAtTheBar) {
    // Rows whose values lie on the edges of the codes' cells, where rounding takes them half a step
    // toward zero, before and after the checkpoint, and one just below 2 after it, which the
    // largest 16-bit code cuts short by three quarters of a step; each query lies a little beyond
    // its row, so that every error of the codes works against the row. With the bar at the row's own
    // exact distance, the row must stay flagged at any scale (powers of two, so that the scaled
    // values stay on the edges), whether the checkpoint's values are read as 16-bit codes or as
    // 8-bit ones, whose steps the largest values of the first two coordinates set to 2^-6 and
    // 2^-7, by queries paired with the group or alone. With 8-bit codes the queries' own codes err
    // too: the queries' values there are then moved to the edges of their own codes' cells, where
    // the codes are half a cell off.
    constexpr Eigen::Index n = 64, m = 3;
    for (const HeadCodes codes : {HeadCodes::wide, HeadCodes::narrow}) {
        const bool wide = codes == HeadCodes::wide;
        const double steps[m] = {wide ? kCodeStep : 0x1p-6, wide ? kCodeStep : 0x1p-7, kCodeStep};
        RowMajorMatrix unit(n, m);
        for (Eigen::Index i = 0; i < n; ++i) {
            const double sign = i % 2 == 0 ? 1.0 : -1.0;
            unit.row(i) << (2.0 * static_cast<double>(wide ? 8192 + 100 * i : 20 + i % 27) + 0.5) * steps[0],
                sign * (2.0 * static_cast<double>(i * 37 % (wide ? 4000 : 47)) + 0.5) * steps[1],
                -sign * (2.0 * static_cast<double>(i * 53 % 6000) + 0.5) * steps[2];
        }
        unit.row(n - 2) << 0.5 * steps[0], 0.5 * steps[1], -2.0 + kCodeStep / 4;
        unit.row(n - 1) << (wide ? 2.0 - kCodeStep / 4 : 1.5), wide ? 0.5 * kCodeStep : 0.75, 0.5;
        for (const double scale : {std::ldexp(1.0, -33), 1.0, std::ldexp(1.0, 50)}) {
            SCOPED_TRACE("scale " + std::to_string(scale) + (wide ? ", 16-bit" : ", 8-bit"));
            const RowMajorMatrix X = unit * scale;
            const ScreenStages stages = ScreenStages::build(X, {1, 2});
            ASSERT_EQ(stages.checkpoint, 2);
            if (!wide) {
                ASSERT_EQ(stages.coarse_steps, std::vector<float>({0x1p-6f, 0x1p-7f}));
            }
            const ScreenStages::BlockNorms block = stages.block_norms(0, n, codes);
            for (Eigen::Index place = 0; place < n; ++place) {
                const Eigen::RowVectorXd row = X.row(stages.row(place));
                Eigen::RowVectorXd query = row * (1.0 + std::ldexp(1.0, -10));
                float scaled[m], coded[m];
                std::int8_t byte_query[kByteLane];
                for (Eigen::Index p = 0; p < m; ++p) scaled[p] = static_cast<float>(std::ldexp(query[p], stages.exponent));
                for (Eigen::Index p = 0; p < 2 && !wide; ++p) {
                    const double cell = stages.code_query(scaled, byte_query).scale / stages.coarse_steps[static_cast<std::size_t>(p)];
                    scaled[p] = static_cast<float>(std::copysign((std::floor(std::abs(scaled[p]) / cell) + 0.5) * cell, scaled[p]));
                    query[p] = std::ldexp(static_cast<double>(scaled[p]), -stages.exponent);
                }
                for (Eigen::Index p = 0; p < m; ++p) coded[p] = static_cast<float>(scaled[p] * kCodeStep);
                const ByteQuery byte_codes = stages.code_query(scaled, byte_query);
                if (!wide) {
                    ASSERT_GT(byte_codes.error, 0.0);
                }
                const double norm = query.squaredNorm();
                const double widened = widened_bar(squared_distance(query.data(), row.data(), m), norm, block.largest, m);
                const ScreenStages::CodedSums sums = stages.coded_sums(scaled, byte_codes.error);
                const float limit = stages.limit(widened, norm, block, sums);
                const float checkpoint_limit = stages.checkpoint_limit(widened, query.head(2).squaredNorm(), block, sums);
                const std::ptrdiff_t group = place / kSinglePanelRows, starts[2] = {0, 1}, paired[1] = {0};
                for (const bool alone : {true, false}) {
                    std::uint8_t flags[n / kPanelRows] = {};
                    screen_single({scaled, 1, &limit, nullptr, stages.norms.data(), n, m, flags, &group, 1,
                                   alone ? nullptr : starts, alone ? nullptr : paired, 2, stages.checkpoint_norms.data(),
                                   &checkpoint_limit, stages.tails.data(), stages.codes.data(), coded,
                                   wide ? nullptr : stages.coarse_codes.data(), byte_query, &byte_codes.scale,
                                   &byte_codes.offset});
                    EXPECT_EQ((flags[place / kPanelRows] >> (place % kPanelRows)) & 1u, 1u) << place << (alone ? " alone" : " paired");
                }
            }
        }
    }
}

}  // namespace
}  // namespace mirelo
