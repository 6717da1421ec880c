#include "first_pass.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <omp.h>

#include "centred_products.hpp"
#include "parallel_job.hpp"
#include "read_digest.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;
using Block = Eigen::Map<RowMajorMatrix>;

// A block of tall data is read into a buffer of its own, one for each thread that takes blocks:
// about this many bytes, so that the buffers stay small beside the rows, but whole slices of the
// products' summed index and rows enough that its products take far longer than merging them.
constexpr Index kBlockBytes = Index{8} << 20;
constexpr Index kBlockRowStep = 256;
constexpr Index kMostBlockRows = 4096;
// Rows each thread reads into the buffer at a time.
constexpr Index kReadRows = 64;
// Columns per slice of wide data.
constexpr Index kSliceColumns = 256;
// Rows added to the read's digest at a time.
constexpr Index kDigestRows = 8;

// The power of two that values of magnitude up to `largest` are multiplied by before `terms`
// products of them are summed: zero unless a square could overflow or lose precision below the
// normal range. Scaling is exact, so data that need none give the same bits as without it.
int safe_scale_exponent(double largest, Index terms) {
    if (!(largest > 0.0) || !std::isfinite(largest)) {
        return 0;
    }
    const int exponent = std::ilogb(largest);
    const int headroom = static_cast<int>(std::ceil(std::log2(static_cast<double>(terms)))) + 4;
    const bool may_overflow = 2 * (exponent + 1) + headroom > std::numeric_limits<double>::max_exponent;
    const bool may_underflow = 2 * exponent < std::numeric_limits<double>::min_exponent + 2 * 53;
    return may_overflow || may_underflow ? -exponent : 0;
}

[[noreturn]] void reject_span() {
    throw std::invalid_argument(
        "expected values whose differences from their column's mean are finite, got a training matrix "
        "spanning more than the largest double");
}

// Rows [top, top + count) of X into `out`, row-major, in parallel: from a memory map, the page
// faults of one thread overlap those of the others.
void read_rows(const InputRows& X, Index top, Index count, double* out) {
    const Index d = X.cols();
    const Index pieces = (count + kReadRows - 1) / kReadRows;
    ParallelJob job;
#pragma omp parallel for schedule(static)
    for (Index p = 0; p < pieces; ++p) {
        job.run([&] {
            const Index first = p * kReadRows;
            X.read(top + first, std::min(kReadRows, count - first), 0, d, out + first * d, d);
        });
    }
    job.finish();
}

// Names the first value that is not finite, in row order, of a block whose first row and column
// are `top` and `left` in the training matrix.
void require_finite_block(const Block& block, Index top, Index left) {
    if (block.allFinite()) {
        return;
    }
    for (Index i = 0; i < block.rows(); ++i) {
        for (Index j = 0; j < block.cols(); ++j) {
            if (!std::isfinite(block(i, j))) {
                throw std::invalid_argument("expected finite values in the training matrix, got " +
                                            std::to_string(block(i, j)) + " at row " + std::to_string(top + i) +
                                            ", column " + std::to_string(left + j));
            }
        }
    }
}

using RowVector = Eigen::RowVectorXd;

// Where a block's columns are centred: mean plus rest, where rest is the mean of what the first
// estimate leaves over, so that a constant column centres to exactly zero. Each column's values
// are summed in row order; a sum that overflows is taken again at a smaller power of two, which
// changes no other bits.
struct Centres {
    RowVector mean;
    RowVector rest;
    RowVector lowest;
    RowVector highest;
};

// Two reads of the block, each of every row in turn, and nothing written; the first also adds the
// rows to `read`, kDigestRows at a time while they are in cache. A value that is not finite makes
// its column's sum so, which is when the block is searched for one to name.
Centres find_centres(const Block& block, Index top, Index left, ReadDigest& read) {
    const Index rows = block.rows(), d = block.cols();
    const auto count = static_cast<double>(rows);
    RowVector sums = RowVector::Zero(d);
    RowVector lowest = block.row(0), highest = block.row(0);
    ReadDigest::Rows digest(top, left, d);
    for (Index group = 0; group < rows; group += kDigestRows) {
        const Index group_rows = std::min(kDigestRows, rows - group);
        for (Index i = group; i < group + group_rows; ++i) {
            const double* row = block.data() + i * d;
            for (Index j = 0; j < d; ++j) {
                const double value = row[j];
                sums[j] += value;
                lowest[j] = value < lowest[j] ? value : lowest[j];
                highest[j] = value > highest[j] ? value : highest[j];
            }
        }
        digest.add(block.data() + group * d, group_rows, d);
    }
    read.add(digest);
    if (!sums.allFinite()) {
        require_finite_block(block, top, left);
        constexpr int kShift = 64;
        for (Index j = 0; j < d; ++j) {
            if (!std::isfinite(sums[j])) {
                double sum = 0.0;
                for (Index i = 0; i < rows; ++i) sum += block(i, j) * std::ldexp(1.0, -kShift);
                sums[j] = std::ldexp(sum, kShift);
            }
        }
    }
    const RowVector mean = sums / count;
    RowVector rest = RowVector::Zero(d);
    for (Index i = 0; i < rows; ++i) {
        const double* row = block.data() + i * d;
        for (Index j = 0; j < d; ++j) rest[j] += row[j] - mean[j];
    }
    rest /= count;
    return {mean, rest, std::move(lowest), std::move(highest)};
}

// Each column's largest centred value in magnitude. Centring is monotone in the value, so it is
// the larger of the centred least and greatest values; so is any that is not finite.
RowVector centred_largest(const Centres& c) {
    const RowVector low = ((c.lowest - c.mean) - c.rest).cwiseAbs();
    const RowVector high = ((c.highest - c.mean) - c.rest).cwiseAbs();
    RowVector largest = low.cwiseMax(high);
    if (!largest.allFinite()) {
        reject_span();
    }
    return largest;
}

// Centres the block's values in place and multiplies them by 2^exponent: exact, and skipped for an
// exponent of zero.
void centre_block(Block& block, const Centres& c, int exponent) {
    const Index rows = block.rows(), d = block.cols();
    const double factor = std::ldexp(1.0, exponent);
    for (Index i = 0; i < rows; ++i) {
        double* row = block.data() + i * d;
        if (exponent == 0) {
            for (Index j = 0; j < d; ++j) row[j] = (row[j] - c.mean[j]) - c.rest[j];
        } else {
            for (Index j = 0; j < d; ++j) row[j] = ((row[j] - c.mean[j]) - c.rest[j]) * factor;
        }
    }
}

// Multiplies every value by 2^exponent: exact, and skipped for an exponent of zero.
void scale_values(Block& block, int exponent) {
    if (exponent != 0) {
        block *= std::ldexp(1.0, exponent);
    }
}

using Partial = TallStatistics::Share;

// Brings the products to a smaller exponent; exact but for values that leave the normal range.
void lower_exponent(Partial& part, int exponent) {
    if (part.exponent != exponent) {
        part.products *= std::ldexp(1.0, 2 * (exponent - part.exponent));
        part.exponent = exponent;
    }
}

// Chan, Golub and LeVeque's pairwise update: the products about the joint mean are both blocks'
// own plus the outer product of the difference of their means, weighted by na * nb / n.
void merge(Partial& into, Partial& from, Index terms) {
    const Vector delta = from.mean - into.mean;
    if (!delta.allFinite()) {
        reject_span();
    }
    const int exponent =
        std::min({into.exponent, from.exponent, safe_scale_exponent(delta.cwiseAbs().maxCoeff(), terms)});
    lower_exponent(into, exponent);
    lower_exponent(from, exponent);
    const double rows = static_cast<double>(into.rows + from.rows);
    const double weight = static_cast<double>(into.rows) * static_cast<double>(from.rows) / rows;
    const Vector scaled = delta * std::ldexp(1.0, exponent);
    const Index d = delta.size();
    for (Index j = 0; j < d; ++j) {
        const double column = weight * scaled[j];
        for (Index i = 0; i <= j; ++i) {
            into.products(i, j) += from.products(i, j) + column * scaled[i];
        }
    }
    into.mean += delta * (static_cast<double>(from.rows) / rows);
    into.rows += from.rows;
}

using Reader = void (*)(const InputRows&, Index, Index, double*);

// A block's rows read on the calling thread, for one thread of a team that reads other blocks.
void read_rows_alone(const InputRows& X, Index top, Index count, double* out) {
    X.read(top, count, 0, X.cols(), out, X.cols());
}

// What one thread's blocks of tall data have shown: each column's extremes and the digest of the
// values read.
struct Seen {
    RowVector lowest;
    RowVector highest;
    ReadDigest read;

    explicit Seen(Index d)
        : lowest(RowVector::Constant(d, std::numeric_limits<double>::infinity())),
          highest(-lowest),
          read(d) {}
};

// Rows [top, top + rows) read into `buffer`, checked and centred on their mean, with their
// products formed by multiply(items, length); what they show is added to `seen`. X's row 0 is
// row `first_row` of the whole matrix.
template <class Multiply>
Partial block_share(const InputRows& X, Index first_row, Index top, Index rows, Index terms, double* buffer,
                    Seen& seen, Reader read, Multiply&& multiply) {
    const Index d = X.cols();
    Block block(buffer, rows, d);
    read(X, top, rows, buffer);
    const Centres centres = find_centres(block, first_row + top, 0, seen.read);
    seen.lowest = seen.lowest.cwiseMin(centres.lowest);
    seen.highest = seen.highest.cwiseMax(centres.highest);
    const int exponent = safe_scale_exponent(centred_largest(centres).maxCoeff(), terms);
    centre_block(block, centres, exponent);
    multiply({buffer, d, 1, d}, rows);
    return {rows, (centres.mean + centres.rest).transpose(), Matrix(), exponent, 0, 0};
}

// Rows per block, set by the width alone, so that the merge tree depends on the row count alone.
Index block_rows(Index d) {
    const Index fitting = kBlockBytes / (Index{sizeof(double)} * d) / kBlockRowStep * kBlockRowStep;
    return std::clamp(fitting, kBlockRowStep, kMostBlockRows);
}

// Spreads too small to divide by leave their column undivided.
double floored(double spread) { return spread < kMinSpread ? 1.0 : spread; }

// Dividing is monotone, so the largest divided value is the largest of each column's divided.
int transform_exponent(const FirstPass& pass, Index terms) {
    return safe_scale_exponent((pass.largest.array() / pass.spread.array()).maxCoeff(), terms);
}

// How tall data is cut: blocks of a fixed height from row 0 of the whole matrix, taken `lanes`
// at a time. X's row 0 is the whole matrix's row first_row, and its block b the whole matrix's
// block first_block + b, or the part of it that X holds.
struct TallShape {
    Index n;
    Index d;
    Index terms;
    Index first_row;
    Index block_length;
    Index first_block;
    Index block_count;
    Index lanes;

    // The row of X that block b starts at, and its rows.
    Index top(Index b) const { return std::max(Index{0}, (first_block + b) * block_length - first_row); }
    Index rows(Index b) const { return std::min(n, (first_block + b + 1) * block_length - first_row) - top(b); }
};

TallShape tall_shape(const InputRows& X, Index first_row, Index terms) {
    const Index n = X.rows();
    const Index d = X.cols();
    const Index block_length = block_rows(d);
    const Index first_block = first_row / block_length;
    const Index block_count = n == 0 ? 0 : (first_row + n + block_length - 1) / block_length - first_block;
    // Threads take a block each, with no waits for each other inside a block's products, where
    // each extra thread's products matrix adds at most a sixteenth of the rows' own size; else
    // all threads share each block.
    const Index lanes = std::min({Index{omp_get_max_threads()}, block_count, 1 + n / (16 * d)});
    return {n, d, terms, first_row, block_length, first_block, block_count, lanes};
}

// A products matrix for each lane, the first of the spare ones, and each lane's row buffer and what
// its blocks have shown.
struct Lanes {
    std::vector<Matrix> products;
    std::vector<double> buffer;
    std::vector<Seen> seen;

    // Allocated before anything else: a width whose products cannot be held fails here, before
    // any row is read.
    explicit Lanes(const TallShape& shape)
        : products(static_cast<std::size_t>(shape.lanes), Matrix(shape.d, shape.d)),
          buffer(static_cast<std::size_t>(shape.lanes * std::min(shape.n, shape.block_length) * shape.d)),
          seen(static_cast<std::size_t>(shape.lanes), Seen(shape.d)) {}
};

// Pushes a share. The top two merge at once when they are pieces of the same blocks, or when
// they are the two halves of the next level's aligned blocks: from row 0, that is whenever their
// levels are equal, so the tree depends on the row count alone. The products of the shares merged
// away are kept in `spare` for later blocks.
void push_share(std::vector<Partial>& stack, Partial&& part, Index terms, std::vector<Matrix>& spare) {
    stack.push_back(std::move(part));
    while (stack.size() > 1) {
        Partial& below = stack[stack.size() - 2];
        const Partial& above = stack.back();
        if (below.level != above.level) break;
        const Index blocks = Index{1} << below.level;
        const bool pieces = above.first_block == below.first_block;
        const bool halves = above.first_block == below.first_block + blocks && below.first_block % (2 * blocks) == 0;
        if (!pieces && !halves) break;
        merge(below, stack.back(), terms);
        below.level += halves ? 1 : 0;
        spare.push_back(std::move(stack.back().products));
        stack.pop_back();
    }
}

// Block b's share, its products summed into `sum`, sized and zeroed here, so any spare matrix will do.
template <class Multiply>
Partial tall_block(const InputRows& X, const TallShape& shape, Index b, Matrix sum, double* buffer, Seen& seen,
                   Reader read, Multiply&& multiply) {
    sum.setZero(shape.d, shape.d);
    Partial part = block_share(X, shape.first_row, shape.top(b), shape.rows(b), shape.terms, buffer, seen, read,
                               [&](const Items& items, Index length) { multiply(items, length, sum); });
    part.products = std::move(sum);
    part.first_block = shape.first_block + b;
    return part;
}

Matrix take_spare(std::vector<Matrix>& spare) {
    if (spare.empty()) return Matrix();
    Matrix sum = std::move(spare.back());
    spare.pop_back();
    return sum;
}

// The blocks one after another, every thread sharing each block's products.
void shared_blocks(const InputRows& X, const TallShape& shape, Lanes& lanes, std::vector<Partial>& stack,
                   const ProgressReport& progress) {
    std::vector<Matrix>& spare = lanes.products;
    for (Index b = 0; b < shape.block_count; ++b) {
        if (progress) {
            progress("statistics and covariance", static_cast<double>(shape.top(b)) / static_cast<double>(shape.n));
        }
        push_share(stack,
                   tall_block(X, shape, b, take_spare(spare), lanes.buffer.data(), lanes.seen[0], read_rows,
                              add_item_products),
                   shape.terms, spare);
        check_interruption();
    }
}

// The lanes take blocks from a shared counter, with no wait for each other between blocks; the
// shares join the stack in block order whichever lane finished them, so the merge tree is the one
// shared_blocks builds. A lane stays at most kLanesAhead blocks per lane ahead of the first block
// not yet merged, which bounds the products held. A block's error, or a merge's, is kept by block:
// the lowest block's is the one a single thread would have met first.
void lane_blocks(const InputRows& X, const TallShape& shape, Lanes& lanes, std::vector<Partial>& stack,
                 const ProgressReport& progress) {
    constexpr Index kLanesAhead = 2;
    const Index count = shape.block_count;
    const Index window = kLanesAhead * shape.lanes;
    std::vector<Partial> finished(static_cast<std::size_t>(count));
    std::vector<char> ready(static_cast<std::size_t>(count), 0);
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(count));
    std::vector<Matrix>& spare = lanes.products;
    std::atomic<Index> next{0};
    Index merged = 0;
    bool stopped = false;
    std::mutex guard;
    std::condition_variable advanced;
    ParallelJob job;
    // Called with `guard` held: the finished shares that come next in block order join the stack.
    const auto merge_ready = [&] {
        for (; merged < count && ready[static_cast<std::size_t>(merged)]; ++merged) {
            const auto at = static_cast<std::size_t>(merged);
            try {
                push_share(stack, std::move(finished[at]), shape.terms, spare);
            } catch (...) {
                errors[at] = std::current_exception();
                stopped = true;
                return;
            }
        }
    };
#pragma omp parallel num_threads(static_cast<int>(shape.lanes))
    {
        const auto lane = static_cast<std::size_t>(omp_get_thread_num());
        double* buffer =
            lanes.buffer.data() + static_cast<Index>(lane) * std::min(shape.n, shape.block_length) * shape.d;
        for (Index b = next++; b < count; b = next++) {
            const auto at = static_cast<std::size_t>(b);
            Matrix sum;
            {
                std::unique_lock<std::mutex> lock(guard);
                advanced.wait(lock, [&] { return stopped || b < merged + window; });
                if (stopped) break;
                sum = take_spare(spare);
            }
            bool done = false;
            job.run([&] {
                if (lane == 0 && progress) {
                    progress("statistics and covariance",
                             static_cast<double>(shape.top(b)) / static_cast<double>(shape.n));
                }
                try {
                    finished[at] = tall_block(X, shape, b, std::move(sum), buffer, lanes.seen[lane], read_rows_alone,
                                              [&](const Items& items, Index length, Matrix& products) {
                                                  add_item_products_alone(items, length, products, job);
                                              });
                    done = true;
                } catch (...) {
                    errors[at] = std::current_exception();
                }
            });
            {
                std::lock_guard<std::mutex> lock(guard);
                if (done) {
                    ready[at] = 1;
                    merge_ready();
                } else {
                    stopped = true;
                }
            }
            advanced.notify_all();
        }
    }
    for (const std::exception_ptr& error : errors) {
        if (error) std::rethrow_exception(error);
    }
    job.finish();
}

// What is left on the stack merged into its first entry, the whole data's share.
Partial& merge_rest(std::vector<Partial>& stack, Index terms) {
    while (stack.size() > 1) {
        merge(stack[stack.size() - 2], stack.back(), terms);
        stack.pop_back();
    }
    return stack.front();
}

// Adds the extremes and the digest of some of the rows to the statistics'.
void add_seen(TallStatistics& statistics, const RowVector& lowest, const RowVector& highest, const ReadDigest& read) {
    statistics.lowest = statistics.lowest.cwiseMin(lowest);
    statistics.highest = statistics.highest.cwiseMax(highest);
    statistics.read.add(read);
}

}  // namespace

TallStatistics tall_statistics(const InputRows& X, Index first_row, Index terms, const ProgressReport& progress) {
    const TallShape shape = tall_shape(X, first_row, terms);
    const Seen nothing(shape.d);
    TallStatistics out{shape.d, terms, {}, nothing.lowest, nothing.highest, ReadDigest(shape.d)};
    if (shape.block_count == 0) {
        return out;
    }
    Lanes lanes(shape);
    if (shape.lanes == 1) {
        shared_blocks(X, shape, lanes, out.shares, progress);
    } else {
        lane_blocks(X, shape, lanes, out.shares, progress);
    }
    for (const Seen& lane : lanes.seen) add_seen(out, lane.lowest, lane.highest, lane.read);
    return out;
}

void append_statistics(TallStatistics& earlier, TallStatistics&& later) {
    if (later.cols != earlier.cols || later.terms != earlier.terms) {
        throw std::invalid_argument("expected statistics of rows of one matrix, " + std::to_string(earlier.cols) +
                                    " columns and " + std::to_string(earlier.terms) + " terms, got " +
                                    std::to_string(later.cols) + " columns and " + std::to_string(later.terms) +
                                    " terms");
    }
    std::vector<Matrix> spare;  // nothing follows to reuse them
    for (Partial& share : later.shares) {
        push_share(earlier.shares, std::move(share), earlier.terms, spare);
    }
    add_seen(earlier, later.lowest, later.highest, later.read);
}

// The largest centred values, the spreads and the covariance as the projection forms it.
FirstPass tall_first_pass(TallStatistics&& statistics, bool scale) {
    if (statistics.shares.empty()) {
        throw std::invalid_argument("expected statistics of at least one row, got none");
    }
    Partial& all = merge_rest(statistics.shares, statistics.terms);
    const Index n = all.rows;
    const Index d = statistics.cols;
    FirstPass out;
    out.read = std::move(statistics.read);
    out.mean = std::move(all.mean);
    const RowVector mean = out.mean.transpose();
    out.largest = (statistics.highest - mean).cwiseMax(mean - statistics.lowest).transpose();
    if (!out.largest.allFinite()) {
        reject_span();
    }
    const double dof = n > 1 ? static_cast<double>(n - 1) : 1.0;
    out.spread = Vector::Ones(d);
    for (Index j = 0; scale && n > 1 && j < d; ++j) {
        out.spread[j] = floored(std::ldexp(std::sqrt(all.products(j, j) / dof), -all.exponent));
    }
    out.exponent = transform_exponent(out, statistics.terms);
    // The covariance of the values as the projection forms them: divided by the spreads, brought
    // to the projection's power of two, on both sides. A constant column's products stay zero.
    const Vector divisor = out.spread * std::ldexp(1.0, all.exponent - out.exponent);
    out.products = Matrix(d, d);
    for (Index j = 0; j < d; ++j) {
        for (Index i = j; i < d; ++i) {
            out.products(i, j) = all.products(j, i) / divisor[i] / divisor[j] / dof;
        }
    }
    return out;
}

FirstPass tall_first_pass(const InputRows& X, bool scale, const ProgressReport& progress) {
    return tall_first_pass(tall_statistics(X, 0, std::max(X.rows(), X.cols()), progress), scale);
}

FirstPass wide_first_pass(const InputRows& X, bool scale, const ProgressReport& progress) {
    const Index n = X.rows();
    const Index d = X.cols();
    const Index terms = std::max(n, d);
    const double dof = n > 1 ? static_cast<double>(n - 1) : 1.0;
    std::vector<double> buffer(static_cast<std::size_t>(n * std::min(d, kSliceColumns)));
    FirstPass out{Vector(d), Vector::Ones(d), Vector(d), Matrix::Zero(n, n), 0, ReadDigest(d)};
    // The smallest exponent any slice has needed so far; the products summed before it are
    // brought down to it.
    int exponent = std::numeric_limits<int>::max();
    for (Index left = 0; left < d; left += kSliceColumns) {
        if (progress) progress("statistics and Gram matrix", static_cast<double>(left) / static_cast<double>(d));
        const Index width = std::min(kSliceColumns, d - left);
        Block block(buffer.data(), n, width);
        X.read(0, n, left, width, buffer.data(), width);
        const Centres centres = find_centres(block, 0, left, out.read);
        out.largest.segment(left, width) = centred_largest(centres).transpose();
        centre_block(block, centres, 0);
        out.mean.segment(left, width) = (centres.mean + centres.rest).transpose();
        for (Index j = 0; scale && n > 1 && j < width; ++j) {
            double spread = std::sqrt(block.col(j).squaredNorm() / dof);
            if (std::isinf(spread)) {  // squares overflowed: take the overflow-safe norm
                spread = block.col(j).stableNorm() / std::sqrt(dof);
            }
            out.spread[left + j] = floored(spread);
            if (out.spread[left + j] != 1.0) block.col(j) /= out.spread[left + j];
        }
        const double largest =
            (out.largest.segment(left, width).array() / out.spread.segment(left, width).array()).maxCoeff();
        const int needed = safe_scale_exponent(largest, terms);
        if (needed < exponent) {
            if (left > 0) {
                out.products *= std::ldexp(1.0, 2 * (needed - exponent));
            }
            exponent = needed;
        }
        scale_values(block, exponent);
        add_item_products({buffer.data(), n, width, 1}, width, out.products);
        check_interruption();
    }
    out.products.transposeInPlace();
    out.exponent = transform_exponent(out, terms);
    return out;
}

}  // namespace mirelo
