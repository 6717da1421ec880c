#include "screen_stages.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "kernels.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// The cost of a pair, in first-stage coordinates: the prefix length, a share of the second stage's
// set-up, and for a pair that gets through, a fixed part for finding the row and one part per
// coordinate. Fitted to the search's times on the benchmark's tall data at variances 0.95 and 0.99
// with the prefix lengths forced. A single query's first stage loads every value it multiplies,
// so there a row that gets through costs fewer coordinates' worth; without the second stage's
// single-precision rows (kept only when a batch uses them) it goes straight to its exact distance,
// which reads twice the bytes from farther away.
struct StageCosts {
    double second_stage;
    double row;
    double coordinate;
};
constexpr StageCosts kBatchCosts{8.0, 250.0, 10.0};
constexpr StageCosts kSingleListedCosts{0.0, 100.0, 1.0};
constexpr StageCosts kSingleExactCosts{0.0, 300.0, 2.0};
// Sample rows, spread over the store: every kQueryEvery-th stands in for a query, the rest for
// the store.
constexpr Index kSampleRows = 2112;
constexpr Index kQueryEvery = 33;

Vector prefix_norms(const RowMajorMatrix& rows, Index length) {
    Vector norms(rows.rows());
    for (Index i = 0; i < rows.rows(); ++i) norms[i] = squared_norm(rows.row(i).data(), length);
    return norms;
}

Vector run_largest(const Vector& norms) {
    const Index runs = (norms.size() + ScreenStage::kNormRun - 1) / ScreenStage::kNormRun;
    Vector largest(runs);
    for (Index r = 0; r < runs; ++r) {
        const Index first = r * ScreenStage::kNormRun;
        largest[r] = norms.segment(first, std::min(ScreenStage::kNormRun, norms.size() - first)).maxCoeff();
    }
    return largest;
}

std::vector<float> scaled_single(const Vector& norms, int exponent) {
    std::vector<float> out(static_cast<std::size_t>(norms.size()));
    for (Index i = 0; i < norms.size(); ++i) {
        out[static_cast<std::size_t>(i)] = static_cast<float>(std::ldexp(norms[i], 2 * exponent));
    }
    return out;
}

}  // namespace

float ScreenStage::limit(double widened_bar, double query_norm, double largest_norm, int exponent) const {
    const auto scaled = [&](double norm) { return std::ldexp(norm, 2 * exponent); };
    return single_precision_limit(scaled(widened_bar), scaled(query_norm), scaled(largest_norm), length);
}

double ScreenStage::largest_norm(Index first, Index count) const {
    const Index first_run = first / kNormRun;
    return run_largest.segment(first_run, (first + count - 1) / kNormRun - first_run + 1).maxCoeff();
}

PrefixLengths choose_prefix_lengths(const RowMajorMatrix& rows, Index k) {
    const Index n = rows.rows();
    const Index m = rows.cols();
    const Index sampled = std::min(n, kSampleRows);
    const Index queries = sampled / kQueryEvery;
    const Index stored = sampled - queries;
    if (m <= 1 || queries == 0 || !rows.allFinite()) {
        return {m, m};
    }
    // The bar of a sample query: the distance whose rank among the sample matches k's among all rows.
    const Index rank = std::clamp<Index>((k * stored + n - 1) / n, 1, stored);
    std::vector<Index> query_rows, stored_rows;
    for (Index j = 0; j < sampled; ++j) {
        (j % kQueryEvery == kQueryEvery - 1 ? query_rows : stored_rows).push_back(j * n / sampled);
    }
    // passing[L] counts the pairs whose first L coordinates stay within the bar.
    std::vector<double> passing(static_cast<std::size_t>(m + 1), 0.0);
    std::vector<double> distances(static_cast<std::size_t>(stored));
    for (Index q : query_rows) {
        for (Index j = 0; j < stored; ++j) {
            const Index r = stored_rows[static_cast<std::size_t>(j)];
            distances[static_cast<std::size_t>(j)] = (rows.row(r) - rows.row(q)).squaredNorm();
        }
        std::nth_element(distances.begin(), distances.begin() + (rank - 1), distances.end());
        const double bar = distances[static_cast<std::size_t>(rank - 1)];
        for (Index r : stored_rows) {
            double sum = 0.0;
            Index p = 0;
            for (; p < m && sum <= bar; ++p) {
                const double difference = rows(r, p) - rows(q, p);
                sum += difference * difference;
            }
            passing[static_cast<std::size_t>(sum <= bar ? p : p - 1)] += 1.0;
        }
    }
    // From the count that leave after each length to the share still in at it.
    for (Index L = m - 1; L >= 0; --L) passing[static_cast<std::size_t>(L)] += passing[static_cast<std::size_t>(L + 1)];
    const double pairs = static_cast<double>(queries * stored);
    const auto cheapest = [&](const StageCosts& costs, Index longest) {
        const double listed_cost = costs.row + costs.coordinate * static_cast<double>(m);
        Index best = m;
        double best_cost = static_cast<double>(m);
        for (Index L = 1; L <= longest; ++L) {
            const double share = passing[static_cast<std::size_t>(L)] / pairs;
            const double cost = static_cast<double>(L) + costs.second_stage + listed_cost * share;
            if (cost < best_cost) {
                best = L;
                best_cost = cost;
            }
        }
        return best;
    };
    const Index batch = cheapest(kBatchCosts, m - 1);
    // A single query's own first stage adds its rows to the store: at most half a single-precision
    // copy of it.
    return {batch, cheapest(batch < m ? kSingleListedCosts : kSingleExactCosts, m / 2)};
}

ScreenStages ScreenStages::build(const RowMajorMatrix& rows, const Vector& sq_norms, PrefixLengths lengths) {
    ScreenStages stages;
    if (rows.size() == 0 || !rows.allFinite()) {
        return stages;
    }
    const Index n = rows.rows();
    const Index m = rows.cols();
    // Scaling by a power of two is exact, so the screen sees the same values at any magnitude.
    const double largest = rows.cwiseAbs().maxCoeff();
    stages.exponent = largest > 0.0 ? -std::ilogb(largest) : 0;
    const double factor = std::ldexp(1.0, stages.exponent);
    const auto finish = [&](ScreenStage& stage, Vector exact_norms) {
        stage.exact_norms = std::move(exact_norms);
        stage.norms = scaled_single(stage.exact_norms, stages.exponent);
        stage.run_largest = run_largest(stage.exact_norms);
    };
    const auto packed = [&](ScreenStage& stage, Index length) {
        stage.length = length;
        stage.rows.resize(static_cast<std::size_t>(packed_single_size(n, length)));
        pack_rows_single({rows.data(), m, 1}, n, length, factor, stage.rows.data());
        finish(stage, length == m ? sq_norms : prefix_norms(rows, length));
    };
    const Index batch = std::clamp<Index>(lengths.batch, 1, m);
    const Index single = std::clamp<Index>(lengths.single, 1, m);
    packed(stages.prefix, batch);
    if (single < m && single != batch) {
        packed(stages.single, single);
    }
    if (batch == m) {
        return stages;
    }
    ScreenStage& rest = stages.rest;
    rest.length = m;
    const Index width = (m + kListedWidth - 1) / kListedWidth * kListedWidth;
    rest.rows.assign(static_cast<std::size_t>(n * width), 0.0f);
    Eigen::Map<Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>, 0, Eigen::OuterStride<>>(
        rest.rows.data(), n, m, Eigen::OuterStride<>(width)) = (rows * factor).cast<float>();
    finish(rest, sq_norms);
    return stages;
}

}  // namespace mirelo
