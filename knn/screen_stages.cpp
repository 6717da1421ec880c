#include "screen_stages.hpp"

#include <algorithm>
#include <cmath>

#include "kernels.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// The cost of a pair, in first-stage coordinates: the prefix length, a share of the second stage's
// set-up, and for a pair that gets through one listed test, a fixed part for finding the row and
// one part per coordinate. Fitted to the search's times on the benchmark's tall data at variances
// 0.95 and 0.99 with the prefix length forced.
constexpr double kSecondStageCost = 8.0;
constexpr double kListedRowCost = 250.0;
constexpr double kListedCoordinateCost = 10.0;
// Sample rows, spread over the store: every kQueryEvery-th stands in for a query, the rest for
// the store.
constexpr Index kSampleRows = 2112;
constexpr Index kQueryEvery = 33;

Vector prefix_norms(const RowMajorMatrix& rows, Index length) {
    Vector norms(rows.rows());
    for (Index i = 0; i < rows.rows(); ++i) norms[i] = squared_norm(rows.row(i).data(), length);
    return norms;
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

Index choose_prefix_length(const RowMajorMatrix& rows, Index k) {
    const Index n = rows.rows();
    const Index m = rows.cols();
    const Index sampled = std::min(n, kSampleRows);
    const Index queries = sampled / kQueryEvery;
    const Index stored = sampled - queries;
    if (m <= 1 || queries == 0 || !rows.allFinite()) {
        return m;
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
    const double listed_cost = kListedRowCost + kListedCoordinateCost * static_cast<double>(m);
    Index best = m;
    double best_cost = static_cast<double>(m);
    for (Index L = 1; L < m; ++L) {
        const double share = passing[static_cast<std::size_t>(L)] / pairs;
        const double cost = static_cast<double>(L) + kSecondStageCost + listed_cost * share;
        if (cost < best_cost) {
            best = L;
            best_cost = cost;
        }
    }
    return best;
}

ScreenStages ScreenStages::build(const RowMajorMatrix& rows, const Vector& sq_norms, Index prefix_length) {
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

    ScreenStage& prefix = stages.prefix;
    prefix.length = std::clamp<Index>(prefix_length, 1, m);
    prefix.rows.resize(static_cast<std::size_t>(packed_single_size(n, prefix.length)));
    pack_rows_single({rows.data(), m, 1}, n, prefix.length, factor, prefix.rows.data());
    prefix.exact_norms = prefix.length == m ? sq_norms : prefix_norms(rows, prefix.length);
    prefix.norms = scaled_single(prefix.exact_norms, stages.exponent);
    if (prefix.length == m) {
        return stages;
    }
    ScreenStage& rest = stages.rest;
    rest.length = m;
    const Index width = (m + kListedWidth - 1) / kListedWidth * kListedWidth;
    rest.rows.assign(static_cast<std::size_t>(n * width), 0.0f);
    Eigen::Map<Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>, 0, Eigen::OuterStride<>>(
        rest.rows.data(), n, m, Eigen::OuterStride<>(width)) = (rows * factor).cast<float>();
    rest.exact_norms = sq_norms;
    rest.norms = scaled_single(sq_norms, stages.exponent);
    return stages;
}

}  // namespace mirelo
