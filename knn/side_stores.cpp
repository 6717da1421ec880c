#include "side_stores.hpp"

#include <omp.h>

#include <algorithm>
#include <utility>

namespace mirelo {

using Index = Eigen::Index;

namespace {

// Runs of fewer rows are built on the calling thread alone: their build's parallel loops are
// too short to pay for a team's start and barriers, which on a busy machine wait on threads
// that are not running.
constexpr Index kTeamRows = Index{1} << 15;

// The calling thread's OpenMP team size for one scope.
class TeamSize {
public:
    explicit TeamSize(int threads) : previous(omp_get_max_threads()) { omp_set_num_threads(threads); }
    ~TeamSize() { omp_set_num_threads(previous); }
    TeamSize(const TeamSize&) = delete;
    TeamSize& operator=(const TeamSize&) = delete;

private:
    int previous;
};

}  // namespace

Index SideStores::rows() const {
    Index rows = 0;
    for (const auto& run : runs) rows += run->X_train.rows();
    return rows;
}

std::size_t SideStores::memory_bytes() const {
    std::size_t bytes = classes.of_row.capacity() * sizeof(std::int32_t);
    for (const auto& run : runs) bytes += run->memory_bytes();
    return bytes;
}

std::vector<std::shared_ptr<const KNNClassifier>> add_run(const std::vector<std::shared_ptr<const KNNClassifier>>& runs,
                                                          RowMajorMatrix added, ClassPlaces places, std::int32_t k) {
    std::size_t kept = runs.size();
    Index rows = added.rows();
    while (kept > 0 && runs[kept - 1]->X_train.rows() <= rows) rows += runs[--kept]->X_train.rows();
    RowMajorMatrix merged(rows, added.cols());
    std::vector<std::int32_t> merged_places;
    merged_places.reserve(static_cast<std::size_t>(rows));
    Index top = 0;
    for (std::size_t r = kept; r < runs.size(); ++r) {
        const KNNClassifier& run = *runs[r];
        merged.middleRows(top, run.X_train.rows()) = run.X_train;
        top += run.X_train.rows();
        merged_places.insert(merged_places.end(), run.class_of_row.begin(), run.class_of_row.end());
    }
    merged.bottomRows(added.rows()) = added;
    merged_places.insert(merged_places.end(), places.of_row.begin(), places.of_row.end());
    auto run = std::make_shared<KNNClassifier>(k);
    const TeamSize team(rows < kTeamRows ? 1 : omp_get_max_threads());
    run->fit(std::move(merged), ClassPlaces{std::move(merged_places), places.count});
    std::vector<std::shared_ptr<const KNNClassifier>> result(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(kept));
    result.push_back(std::move(run));
    return result;
}

std::vector<Neighbour> merge_nearest(const std::vector<Neighbour>& first, Index first_count,
                                     const std::vector<Neighbour>& second, Index second_count, Index offset,
                                     Index queries, Index K) {
    std::vector<Neighbour> merged(static_cast<std::size_t>(queries * K));
    std::vector<Neighbour> later(static_cast<std::size_t>(second_count));
    std::vector<Neighbour> both(static_cast<std::size_t>(first_count + second_count));
    for (Index q = 0; q < queries; ++q) {
        for (Index j = 0; j < second_count; ++j) {
            const Neighbour& found = second[static_cast<std::size_t>(q * second_count + j)];
            later[static_cast<std::size_t>(j)] = {found.distance, found.row + offset};
        }
        const auto from = first.begin() + q * first_count;
        std::merge(from, from + first_count, later.begin(), later.end(), both.begin(), nearer);
        std::copy_n(both.begin(), K, merged.begin() + q * K);
    }
    return merged;
}

}  // namespace mirelo
