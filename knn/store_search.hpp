#pragma once

#include <functional>
#include <vector>

#include "mirelo_types.hpp"
#include "nearest_rows.hpp"
#include "screen_stages.hpp"
#include "seeds.hpp"

namespace mirelo {

// Throws std::invalid_argument unless the queries have `length` values each.
void require_query_length(const Eigen::Ref<const RowMajorMatrix>& Z, Eigen::Index length);

// Receives a query's row in the batch and its K nearest rows, in no particular order.
using SearchDone = std::function<void(Eigen::Index, NeighbourList&)>;

// Hands each row of Z's K nearest stored rows to `done` as its search ends. Queries whose scans
// start in the same place share tiles; the answer of each is the one it gets alone. `seeds`, when
// given, are what search_seeds gives for Z and the same K; otherwise they are found here.
void search_store(const MatrixView& rows, const ScreenStages& screen, const Eigen::Ref<const RowMajorMatrix>& Z,
                  Eigen::Index K, const SearchDone& done, const Seed* seeds = nullptr);

// Each row of Z's seed for a search of its K nearest, to `seeds`; its origin is the store's size
// for a query the screen cannot take.
void search_seeds(const MatrixView& rows, const ScreenStages& screen, const Eigen::Ref<const RowMajorMatrix>& Z,
                  Eigen::Index K, Seed* seeds);

}  // namespace mirelo
