#include "nearby_order.hpp"

#include <algorithm>
#include <utility>

#include "fetch_row.hpp"
#include "kernels.hpp"
#include "parallel_job.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// Coordinates that the order below looks at: the leading ones carry most of every distance.
constexpr Index kOrderCoordinates = 32;

// Rows fetched ahead of the one being read.
constexpr Index kAhead = 8;

struct Span {
    Index first = 0;  // place
    Index count = 0;
};

// Where a span is cut: at a multiple of the group size, so that groups never straddle two spans.
Index half_of(Index count) { return std::max(kSinglePanelRows, count / 2 / kSinglePanelRows * kSinglePanelRows); }

// Cuts one span in two at the median of its widest coordinate. `keyed` is scratch for the span's
// places only, so spans apart from each other can be cut side by side.
void cut(const MatrixView& rows, Index looked_at, Span span, RowNumber* order, std::pair<double, RowNumber>* keyed) {
    using Coordinates = Eigen::Matrix<double, 1, Eigen::Dynamic, Eigen::RowMajor, 1, kOrderCoordinates>;
    Coordinates lowest = rows.row(order[0]).head(looked_at);
    Coordinates highest = lowest;
    for (Index i = 1; i < span.count; ++i) {
        if (i + kAhead < span.count) fetch_row(rows.row(order[i + kAhead]).data(), looked_at);
        lowest = lowest.cwiseMin(rows.row(order[i]).head(looked_at));
        highest = highest.cwiseMax(rows.row(order[i]).head(looked_at));
    }
    Index widest = 0;
    (highest - lowest).maxCoeff(&widest);
    for (Index i = 0; i < span.count; ++i) {
        if (i + kAhead < span.count) __builtin_prefetch(rows.row(order[i + kAhead]).data() + widest);
        keyed[i] = {rows(order[i], widest), order[i]};
    }
    std::nth_element(keyed, keyed + half_of(span.count), keyed + span.count);
    for (Index i = 0; i < span.count; ++i) order[i] = keyed[i].second;
}

// Cuts a span and then its parts, down to single groups, depth first so that a part's rows are
// still in the cache when it is cut.
void order_span(const MatrixView& rows, Index looked_at, Span whole, RowNumber* order,
                std::pair<double, RowNumber>* keyed) {
    std::vector<Span> spans{whole};
    while (!spans.empty()) {
        const Span span = spans.back();
        spans.pop_back();
        if (span.count <= kSinglePanelRows) continue;
        cut(rows, looked_at, span, order + span.first, keyed + span.first);
        const Index half = half_of(span.count);
        spans.push_back({span.first, half});
        spans.push_back({span.first + half, span.count - half});
    }
}

// What the cuts of one order share.
struct Ordering {
    const MatrixView* rows;
    Index looked_at;
    RowNumber* order;
    std::pair<double, RowNumber>* keyed;
    ParallelJob* job;
};

// Spans of at least this many places have their two parts ordered as tasks of their own, which
// the threads take up as they come free: a thread held up on a busy machine delays only its
// own. Smaller spans are finished depth first by the thread that reaches them.
constexpr Index kTaskPlaces = 4096;

void order_in_tasks(const Ordering* ordering, Span span) {
    bool cut_done = false;
    ordering->job->run([&] {
        if (span.count < kTaskPlaces) {
            order_span(*ordering->rows, ordering->looked_at, span, ordering->order, ordering->keyed);
        } else {
            cut(*ordering->rows, ordering->looked_at, span, ordering->order + span.first, ordering->keyed + span.first);
            cut_done = true;
        }
    });
    if (!cut_done) return;
    const Index half = half_of(span.count);
    const Span first{span.first, half};
    const Span second{span.first + half, span.count - half};
#pragma omp task firstprivate(ordering, first)
    order_in_tasks(ordering, first);
    order_in_tasks(ordering, second);
}

}  // namespace

std::vector<RowNumber> nearby_order(const MatrixView& rows) {
    const Index n = rows.rows();
    std::vector<RowNumber> order(static_cast<std::size_t>(n));
    for (Index i = 0; i < n; ++i) order[static_cast<std::size_t>(i)] = static_cast<RowNumber>(i);
    std::vector<std::pair<double, RowNumber>> keyed(static_cast<std::size_t>(n));
    // Spans apart hold places apart, and each is cut the same way on whichever thread, so the
    // order does not depend on the thread count.
    ParallelJob job;
    const Ordering ordering{&rows, std::min(rows.cols(), kOrderCoordinates), order.data(), keyed.data(), &job};
#pragma omp parallel
#pragma omp single
    order_in_tasks(&ordering, {0, n});
    job.finish();
    return order;
}

}  // namespace mirelo
