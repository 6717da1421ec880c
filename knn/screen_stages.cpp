#include "screen_stages.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "box_levels.hpp"
#include "fetch_row.hpp"
#include "free_memory.hpp"
#include "huge_pages.hpp"
#include "kernels.hpp"
#include "next_float.hpp"
#include "nearby_order.hpp"
#include "parallel_job.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// The first stage spans the leading coordinates that hold this share of the rows' spread, which
// carry most of every distance, and at most kLongestPrefix, past which a box costs more than the
// rows it passes over would.
constexpr double kPrefixShare = 0.7;
constexpr Index kLongestPrefix = 16;
// A store of at most this many coordinates takes boxes over all of them: with so few, the ones
// past the share still carry much of every distance, and boxes that leave them out let through
// several times the groups. Wider stores pay more for the longer boxes than they save.
constexpr Index kWholeBoxWidth = 13;
// The second stage's checkpoint comes where this share is held: few rows near enough to pass it
// there fail at the end, and most groups are passed over having read only that far.
constexpr double kCheckpointShare = 0.9;
// Stores of at most this many values take no checkpoint: their single-precision copy (1 MiB) stays
// in a core's own cache, where the bytes the codes save cost less than converting them and reading
// a row in two.
constexpr Index kCheckpointValues = Index{1} << 18;

// Runs body(first, last) on runs of places [0, n) side by side, each run a whole number of groups.
template <class Body>
void over_places(Index n, Body&& body) {
    constexpr Index kRun = 256 * kSinglePanelRows;
    ParallelJob job;
#pragma omp parallel for schedule(static)
    for (Index first = 0; first < n; first += kRun) {
        job.run([&] { body(first, std::min(n, first + kRun)); });
    }
    job.finish();
}

// The packed copies and the checkpoint's norms of the rows in the stages' order, from one read of
// each group of rows.
void pack_in_order(const MatrixView& rows, ScreenStages& stages) {
    const Index n = rows.rows();
    const Index width = stages.width;
    const Index head = stages.checkpoint > 0 ? stages.checkpoint : width;
    const double factor = std::ldexp(1.0, stages.exponent);
    const bool coded = stages.checkpoint > 0;
    const std::vector<double> steps(stages.coarse_steps.begin(), stages.coarse_steps.end());
    const bool coarse = !steps.empty();
    AlignedVector<std::uint8_t> coarse_codes;
    AlignedVector<std::int16_t> codes, tails;
    AlignedVector<float> singles, checkpoint_norms;
    if (coarse) resize_on_huge_pages(coarse_codes, static_cast<std::size_t>(packed_bytes_size(n, head)));
    if (coded) {
        resize_on_huge_pages(codes, static_cast<std::size_t>(packed_single_size(n, head)));
        resize_on_huge_pages(tails, static_cast<std::size_t>(packed_single_size(n, width - head)));
        resize_on_huge_pages(checkpoint_norms, static_cast<std::size_t>(n));
    } else {
        resize_on_huge_pages(singles, static_cast<std::size_t>(packed_single_size(n, head)));
    }
    over_places(n, [&](Index first, Index last) {
        RowMajorMatrix group(kSinglePanelRows, width);
        for (Index start = first; start < last; start += kSinglePanelRows) {
            const Index count = std::min(kSinglePanelRows, last - start);
            for (Index r = 0; r < std::min(kSinglePanelRows, n - start - count); ++r) {
                fetch_row(rows.row(stages.row(start + count + r)).data(), width);
            }
            for (Index r = 0; r < count; ++r) group.row(r) = rows.row(stages.row(start + r));
            if (coded) {
                pack_rows_coded({group.data(), width, 1}, count, head, factor, codes.data() + start * head);
                if (coarse) {
                    pack_rows_bytes({group.data(), width, 1}, count, head, factor, steps.data(),
                                    coarse_codes.data() + packed_bytes_size(start, head));
                }
                pack_rows_coded({group.data() + head, width, 1}, count, width - head, factor,
                                tails.data() + start * (width - head));
            } else {
                pack_rows_single({group.data(), width, 1}, count, head, factor, singles.data() + start * head);
            }
            for (Index r = 0; r < count && coded; ++r) {
                checkpoint_norms[static_cast<std::size_t>(start + r)] =
                    static_cast<float>(stages.scaled_norm(squared_norm(group.row(r).data(), head)));
            }
        }
    });
    stages.coarse_codes = HeldArray<std::uint8_t>::owning(std::move(coarse_codes));
    stages.codes = HeldArray<std::int16_t>::owning(std::move(codes));
    stages.tails = HeldArray<std::int16_t>::owning(std::move(tails));
    stages.rows = HeldArray<float>::owning(std::move(singles));
    stages.checkpoint_norms = HeldArray<float>::owning(std::move(checkpoint_norms));
}

// The 2-norms of the largest errors of the values read, from the checkpoint and the 8-bit codes'
// steps: kCodeError for every 16-bit code, half its step for an 8-bit one.
void set_code_spreads(ScreenStages& stages) {
    const Index head = stages.checkpoint;
    const auto wide = static_cast<std::size_t>(HeadCodes::wide), narrow = static_cast<std::size_t>(HeadCodes::narrow);
    stages.checkpoint_spread[wide] = kCodeError * std::sqrt(static_cast<double>(head));
    stages.whole_spread[wide] = kCodeError * std::sqrt(static_cast<double>(stages.width));
    if (stages.coarse_steps.empty()) return;
    double coarse_squares = 0.0;
    for (const float step : stages.coarse_steps) {
        coarse_squares += 0.25 * static_cast<double>(step) * static_cast<double>(step);
    }
    // Each square is exact, and a sum of `width` of them rounds by fewer than `width` epsilons of itself.
    const double margin = 1.0 + static_cast<double>(stages.width + 4) * std::numeric_limits<double>::epsilon();
    const double tail_squares = static_cast<double>(stages.width - head) * kCodeError * kCodeError;
    stages.checkpoint_spread[narrow] = std::sqrt(coarse_squares) * margin;
    stages.whole_spread[narrow] = std::sqrt(coarse_squares + tail_squares) * margin;
}

// The 8-bit codes' steps, from the largest scaled magnitude of each coordinate of the checkpoint,
// and the codes' spreads. Only a checkpoint that holds at least half of a row's values
// takes 8-bit codes: they let more groups on to the rest of the values, and where those are the
// more, a query pays more for reading them than the integer dots save.
void choose_code_steps(const MatrixView& rows, double factor, ScreenStages& stages) {
    const Index head = stages.checkpoint;
    if (head >= stages.width - head && head <= kLongestByteCodes) {
        const Eigen::RowVectorXd largest = rows.leftCols(head).cwiseAbs().colwise().maxCoeff() * factor;
        stages.coarse_steps.resize(static_cast<std::size_t>(head));
        for (Index p = 0; p < head; ++p) {
            stages.coarse_steps[static_cast<std::size_t>(p)] = static_cast<float>(head_code_step(largest[p]));
        }
    }
    set_code_spreads(stages);
}

Vector largest_of_runs(const Vector& norms) {
    const Index runs = (norms.size() + ScreenStages::kNormRun - 1) / ScreenStages::kNormRun;
    Vector largest(runs);
    for (Index r = 0; r < runs; ++r) {
        const Index first = r * ScreenStages::kNormRun;
        largest[r] = norms.segment(first, std::min(ScreenStages::kNormRun, norms.size() - first)).maxCoeff();
    }
    return largest;
}

}  // namespace

double widened_bar(double bar, double query_norm, double largest_norm, Index length) {
    // The formula and the exact distance are each a few chains of `length` operations, each step
    // erring by at most an epsilon of |q|^2 + |x|^2; the absolute term covers values near the
    // subnormal range. Far above that range it is below half a unit of the relative term and
    // cannot change the sum, so its slow subnormal product is left out there.
    constexpr double kNoAbsoluteTerm = 0x1p-900;
    const double steps = 4.0 * static_cast<double>(length + 4);
    const double relative = steps * std::numeric_limits<double>::epsilon() * (query_norm + largest_norm);
    const double rounding =
        relative > kNoAbsoluteTerm ? relative : relative + steps * std::numeric_limits<double>::denorm_min();
    return next_float(bar + rounding, true);
}

double ScreenStages::prefix_error(const double* query, const float* scaled_values) const {
    // Each difference is exact; the sum and the root round by a few epsilons of themselves.
    double sum = 0.0;
    for (Index p = 0; p < prefix; ++p) {
        const double difference = scaled(query[p]) - static_cast<double>(scaled_values[p]);
        sum += difference * difference;
    }
    return std::sqrt(sum) * (1.0 + 2.0 * static_cast<double>(prefix + 4) * std::numeric_limits<double>::epsilon());
}

float ScreenStages::box_limit(double widened_bar, double query_error) const {
    // Every row a box spans lies in it, so its scaled distance over the prefix is at least the
    // box's from the rounded query less query_error. Each of a bound's prefix + 3 roundings raises
    // it by at most half a single-precision epsilon of itself, or by a subnormal step below the
    // normal range, which also covers the double-precision values' own rounding there.
    constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
    const double steps = static_cast<double>(prefix + 3);
    const double reach = std::sqrt(scaled_norm(widened_bar)) * (1.0 + 4.0 * kEpsilon) + query_error;
    const double limit = reach * reach * (1.0 + 4.0 * kEpsilon) *
                             (1.0 + steps * static_cast<double>(std::numeric_limits<float>::epsilon())) +
                         steps * static_cast<double>(std::numeric_limits<float>::denorm_min());
    return limit < static_cast<double>(std::numeric_limits<float>::max()) ? float_at_least(limit)
                                                                           : std::numeric_limits<float>::infinity();
}

ByteQuery ScreenStages::code_query(const float* scaled, std::int8_t* codes) const {
    return code_query_bytes(scaled, coarse_steps.data(), checkpoint, codes);
}

ScreenStages::CodedSums ScreenStages::coded_sums(const float* scaled, double byte_error) const {
    // In double precision, where each term is exact: the errors are powers of two.
    constexpr auto wide = static_cast<std::size_t>(HeadCodes::wide);
    constexpr auto narrow = static_cast<std::size_t>(HeadCodes::narrow);
    CodedSums sums;
    sums.byte_error = byte_error;
    double tail = 0.0, head_squares = 0.0;
    for (Index p = 0; p < width; ++p) {
        const double value = std::abs(static_cast<double>(scaled[p]));
        if (p < checkpoint) {
            head_squares += value * value;
            sums.checkpoint[wide] += value * kCodeError;
            if (!coarse_steps.empty()) {
                sums.checkpoint[narrow] += value * (0.5 * static_cast<double>(coarse_steps[static_cast<std::size_t>(p)]));
            }
        } else {
            tail += value * kCodeError;
        }
    }
    for (const std::size_t codes : {wide, narrow}) sums.whole[codes] = sums.checkpoint[codes] + tail;
    // Each square is exact; the sum rounds by `checkpoint` epsilons of itself, the root by one.
    sums.head_magnitude =
        std::sqrt(head_squares) * (1.0 + static_cast<double>(checkpoint + 4) * std::numeric_limits<double>::epsilon());
    return sums;
}

double ScreenStages::largest_norm(Index first, Index count) const {
    const Index first_run = first / kNormRun;
    return run_largest.segment(first_run, (first + count - 1) / kNormRun - first_run + 1).maxCoeff();
}

ScreenStages::BlockNorms ScreenStages::block_norms(Index first, Index count, HeadCodes codes) const {
    BlockNorms block;
    block.largest = largest_norm(first, count);
    block.codes = codes;
    const double scaled_largest = scaled_norm(block.largest);
    if (checkpoint == 0) {
        block.whole = scaled_largest;
        return block;
    }
    // The largest whole norm bounds the rows' norms over the checkpoint too.
    const auto c = static_cast<std::size_t>(codes);
    block.whole = coded_norm_bound(scaled_largest, whole_spread[c]);
    block.at_checkpoint = coded_norm_bound(scaled_largest, checkpoint_spread[c]);
    return block;
}

namespace {

// How far the dot over the checkpoint's 8-bit codes may lie from the query's with the codes'
// values: the query's codes move it by at most byte_error times the 2-norm of the codes' values,
// which block.at_checkpoint bounds squared, and turning the exact integer sum into a float rounds
// it by half a float epsilon of at most that norm times the query's codes' own.
double byte_dot_error(const ScreenStages::BlockNorms& block, const ScreenStages::CodedSums& sums) {
    if (block.codes != HeadCodes::narrow) return 0.0;
    constexpr double kFloatEpsilon = std::numeric_limits<float>::epsilon();
    constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
    const double reach = sums.byte_error + kFloatEpsilon * (sums.head_magnitude + sums.byte_error);
    return reach * std::sqrt(block.at_checkpoint) * (1.0 + 8.0 * kEpsilon);
}

}  // namespace

float ScreenStages::limit(double widened_bar, double query_norm, const BlockNorms& block, const CodedSums& sums) const {
    return checkpoint == 0 ? single_precision_limit(scaled_norm(widened_bar), scaled_norm(query_norm), block.whole,
                                                    width)
                           : coded_limit(scaled_norm(widened_bar), scaled_norm(query_norm), block.whole, width,
                                         width, sums.whole[static_cast<std::size_t>(block.codes)] +
                                                    byte_dot_error(block, sums));
}

float ScreenStages::checkpoint_limit(double widened_bar, double query_checkpoint_norm, const BlockNorms& block,
                                     const CodedSums& sums) const {
    return coded_limit(scaled_norm(widened_bar), scaled_norm(query_checkpoint_norm), block.at_checkpoint, checkpoint,
                       checkpoint, sums.checkpoint[static_cast<std::size_t>(block.codes)] + byte_dot_error(block, sums));
}

std::size_t ScreenStages::memory_bytes() const {
    std::size_t bytes = order.size() * sizeof(RowNumber) +
                        (rows.size() + norms.size() + checkpoint_norms.size() + coarse_steps.capacity()) *
                            sizeof(float) +
                        (codes.size() + tails.size()) * sizeof(std::int16_t) +
                        coarse_codes.size() * sizeof(std::uint8_t) +
                        static_cast<std::size_t>(run_largest.size()) * sizeof(double);
    for (const BoxLevel& level : levels) bytes += level.memory_bytes();
    return bytes;
}

namespace {

// Each coordinate's squared differences from its mean, summed; every sum runs in row order and
// the threads take coordinates a cache line's worth at a time, so the bits do not depend on how
// many threads there are.
Eigen::RowVectorXd coordinate_spreads(const MatrixView& rows) {
    constexpr Index kColumns = 8;
    const Index n = rows.rows();
    const Index m = rows.cols();
    Eigen::RowVectorXd spread(m);
    ParallelJob job;
#pragma omp parallel for schedule(static)
    for (Index left = 0; left < m; left += kColumns) {
        job.run([&] {
            const Index width = std::min(kColumns, m - left);
            double mean[kColumns] = {};
            double sum[kColumns] = {};
            for (Index i = 0; i < n; ++i) {
                for (Index j = 0; j < width; ++j) mean[j] += rows(i, left + j);
            }
            for (Index j = 0; j < width; ++j) mean[j] /= static_cast<double>(n);
            for (Index i = 0; i < n; ++i) {
                for (Index j = 0; j < width; ++j) {
                    const double difference = rows(i, left + j) - mean[j];
                    sum[j] += difference * difference;
                }
            }
            for (Index j = 0; j < width; ++j) spread[left + j] = sum[j];
        });
    }
    job.finish();
    return spread;
}

}  // namespace

ScreenLengths choose_lengths(const MatrixView& rows) {
    const Index m = rows.cols();
    const Eigen::RowVectorXd spread = coordinate_spreads(rows);
    const double total = spread.sum();
    // The leading coordinates, at most `most`, that hold `share` of the spread.
    const auto holding = [&](double share, Index most) {
        double held = 0.0;
        Index length = 0;
        while (length < std::min(m, most) && !(held >= share * total)) held += spread[length++];
        return length;
    };
    const Index checkpoint = rows.size() > kCheckpointValues ? holding(kCheckpointShare, m) : m;
    const Index prefix = m <= kWholeBoxWidth ? m : holding(kPrefixShare, kLongestPrefix);
    return {std::max<Index>(1, prefix), checkpoint < m ? checkpoint : 0};
}

ScreenStages ScreenStages::build(const MatrixView& rows, ScreenLengths lengths) {
    ScreenStages stages;
    if (rows.size() == 0 || rows.rows() > kMostOrderedRows || !rows.allFinite()) {
        return stages;
    }
    const Index n = rows.rows();
    // Scaling by a power of two is exact, so the screen sees the same values at any magnitude.
    const double largest = rows.cwiseAbs().maxCoeff();
    stages.exponent = largest > 0.0 ? -std::ilogb(largest) : 0;
    stages.scaled = PowerOfTwo(stages.exponent);
    stages.scaled_norm = PowerOfTwo(2 * stages.exponent);
    stages.order = HeldArray<RowNumber>::owning(nearby_order(rows));
    stages.width = rows.cols();
    stages.prefix = std::clamp<Index>(lengths.prefix, 1, rows.cols());
    stages.checkpoint = lengths.checkpoint > 0 && lengths.checkpoint < rows.cols() ? lengths.checkpoint : 0;
    const double factor = std::ldexp(1.0, stages.exponent);
    {
        // The exact norms only bound boxes and runs: gone, and their pages handed back, before the
        // packed copies come, so that they add nothing to the store's peak.
        // Taken in the rows' own order, where they are read straight through, and then placed.
        Vector row_norms(n);
        over_places(n, [&](Index first, Index last) {
            for (Index i = first; i < last; ++i) row_norms[i] = squared_norm(rows.row(i).data(), rows.cols());
        });
        // A row whose norm overflows would fail the second stage at any bar, 2 * dot - inf being
        // above no limit: such stores are searched whole.
        if (!row_norms.allFinite()) {
            return ScreenStages{};
        }
        Vector exact_norms(n);
        AlignedVector<float> norms;
        resize_on_huge_pages(norms, static_cast<std::size_t>(n));
        for (Index i = 0; i < n; ++i) {
            exact_norms[i] = row_norms[stages.row(i)];
            norms[static_cast<std::size_t>(i)] = static_cast<float>(stages.scaled_norm(exact_norms[i]));
        }
        stages.norms = HeldArray<float>::owning(std::move(norms));
        stages.levels = box_levels(rows, stages.order, exact_norms, stages.prefix, factor);
        stages.run_largest = largest_of_runs(exact_norms);
    }
    return_free_memory();
    if (stages.checkpoint > 0) choose_code_steps(rows, factor, stages);
    pack_in_order(rows, stages);
    return stages;
}

namespace {

void require_length(std::size_t length, std::size_t expected, const char* what) {
    if (length != expected) {
        throw std::invalid_argument(std::string("expected a screen whose ") + what + " holds " +
                                    std::to_string(expected) + " values, got " + std::to_string(length));
    }
}

// Every row at exactly one place.
void require_permutation(const HeldArray<RowNumber>& order, Index n) {
    require_length(order.size(), static_cast<std::size_t>(n), "order");
    std::vector<bool> seen(static_cast<std::size_t>(n), false);
    for (const RowNumber row : order) {
        if (row >= static_cast<std::size_t>(n) || seen[row]) {
            throw std::invalid_argument("expected a screen whose order places each of its " + std::to_string(n) +
                                        " rows once, got row " + std::to_string(row) + " out of range or twice");
        }
        seen[row] = true;
    }
}

// head_code_step's values: powers of two from 2^-40 to 1, past the steps of rows scaled below 2.
void require_code_steps(const std::vector<float>& steps) {
    for (const float step : steps) {
        int power = 0;
        if (!(step >= 0x1p-40f && step <= 1.0f) || std::frexp(step, &power) != 0.5f) {
            throw std::invalid_argument("expected a screen whose code steps are powers of two from 2^-40 to 1, got " +
                                        std::to_string(step));
        }
    }
}

}  // namespace

ScreenStages ScreenStages::adopted(ScreenStages parts, Index n, Index width) {
    if (parts.prefix == 0) {
        const bool bare = parts.order.empty() && parts.levels.empty() && parts.norms.empty() && parts.rows.empty() &&
                          parts.codes.empty() && parts.tails.empty() && parts.coarse_codes.empty() &&
                          parts.coarse_steps.empty() && parts.checkpoint_norms.empty() &&
                          parts.run_largest.size() == 0 && parts.checkpoint == 0 && parts.exponent == 0;
        if (!bare) throw std::invalid_argument("expected a store without a screen to hold none of a screen's arrays");
        return ScreenStages{};
    }
    // The rows are scaled into [1, 2): from their largest, a double's exponent range.
    constexpr int kLowest = std::numeric_limits<double>::min_exponent - std::numeric_limits<double>::digits;
    constexpr int kHighest = std::numeric_limits<double>::max_exponent;
    if (n < 1 || n > kMostOrderedRows || parts.prefix < 1 || parts.prefix > width || parts.checkpoint < 0 ||
        parts.checkpoint >= width || parts.exponent < -kHighest || parts.exponent > -kLowest) {
        throw std::invalid_argument("expected a screen over 1 to " + std::to_string(kMostOrderedRows) +
                                    " rows with a prefix from 1 to the width " + std::to_string(width) +
                                    ", a checkpoint below it and an exponent of a double, got " + std::to_string(n) +
                                    " rows, prefix " + std::to_string(parts.prefix) + ", checkpoint " +
                                    std::to_string(parts.checkpoint) + " and exponent " +
                                    std::to_string(parts.exponent));
    }
    ScreenStages stages = std::move(parts);
    stages.width = width;
    stages.scaled = PowerOfTwo(stages.exponent);
    stages.scaled_norm = PowerOfTwo(2 * stages.exponent);
    require_permutation(stages.order, n);
    const auto rows = static_cast<std::size_t>(n);
    require_length(stages.norms.size(), rows, "norms");
    const Index head = stages.checkpoint > 0 ? stages.checkpoint : width;
    const bool coded = stages.checkpoint > 0;
    require_length(stages.rows.size(), coded ? 0 : static_cast<std::size_t>(packed_single_size(n, head)), "rows");
    require_length(stages.codes.size(), coded ? static_cast<std::size_t>(packed_single_size(n, head)) : 0, "codes");
    require_length(stages.tails.size(), coded ? static_cast<std::size_t>(packed_single_size(n, width - head)) : 0,
                   "tails");
    require_length(stages.checkpoint_norms.size(), coded ? rows : 0, "checkpoint norms");
    // The 8-bit codes only where build takes them: a checkpoint of at least half a row.
    const bool coarse = !stages.coarse_steps.empty();
    const bool coarse_allowed = coded && head >= width - head && head <= kLongestByteCodes;
    require_length(stages.coarse_steps.size(), coarse && coarse_allowed ? static_cast<std::size_t>(head) : 0,
                   "code steps");
    require_code_steps(stages.coarse_steps);
    require_length(stages.coarse_codes.size(), coarse ? static_cast<std::size_t>(packed_bytes_size(n, head)) : 0,
                   "8-bit codes");
    require_length(static_cast<std::size_t>(stages.run_largest.size()),
                   static_cast<std::size_t>((n + kNormRun - 1) / kNormRun), "run norms");
    std::vector<BoxLevel> shapes = level_shapes(n);
    require_length(stages.levels.size(), shapes.size(), "levels");
    for (std::size_t l = 0; l < shapes.size(); ++l) {
        require_length(stages.levels[l].boxes.size(), box_values(shapes[l].count, stages.prefix), "boxes");
        require_length(static_cast<std::size_t>(stages.levels[l].largest_norm.size()),
                       static_cast<std::size_t>(shapes[l].count), "box norms");
        stages.levels[l].span = shapes[l].span;
        stages.levels[l].count = shapes[l].count;
    }
    set_code_spreads(stages);
    return stages;
}

}  // namespace mirelo
