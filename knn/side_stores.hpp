#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "knn_classifier.hpp"
#include "mirelo_types.hpp"
#include "nearest_rows.hpp"

namespace mirelo {

// Rows added to a built store since it was last built, searched beside it. Each addition's rows
// make a run, a store of its own with its own screen, rebuilt together with the newest runs
// before it while they are no larger than what is being built, as the digits of a binary count
// carry: the runs halve in size from the oldest (a query searches a few of them), a row is
// rebuilt about log2(side rows / addition) times before the side folds into the main store, and
// most additions build only their own rows. The runs share nothing with one another; a copy of the side shares its runs.
struct SideStores {
    std::vector<std::shared_ptr<const KNNClassifier>> runs;  // in the order added
    // Every stored row's class place, the main store's rows first, then the runs' in order, and
    // the class count. The stores' own places are not read, since an addition may renumber the
    // classes before them.
    ClassPlaces classes;

    Eigen::Index rows() const;
    std::size_t memory_bytes() const;
};

// `runs` with `added` (rows and places) as the newest run, rebuilt together with the newest runs
// before it while each is no larger than the rows gathered so far.
std::vector<std::shared_ptr<const KNNClassifier>> add_run(const std::vector<std::shared_ptr<const KNNClassifier>>& runs,
                                                          RowMajorMatrix added, ClassPlaces places, std::int32_t k);

// The K nearest of each of `queries` queries over two lists of sorted nearest rows, nearest
// first: `first` holds first_count per query, `second` second_count per query numbered from
// zero, which come after every row of `first` at `offset`. Equal distances go to the lower row.
std::vector<Neighbour> merge_nearest(const std::vector<Neighbour>& first, Eigen::Index first_count,
                                     const std::vector<Neighbour>& second, Eigen::Index second_count,
                                     Eigen::Index offset, Eigen::Index queries, Eigen::Index K);

}  // namespace mirelo
