#pragma once

#include <vector>

#include "mirelo_types.hpp"
#include "screen_stages.hpp"

namespace mirelo {

// What a query learns from a few rows spread evenly over the screen's places before its scan:
// the order there keeps near rows together, so these come from every part of the store. The
// K-th nearest of any rows is no nearer than the K-th of all, so their bar holds from the start;
// the scan starts where the nearest of them lies, among the rows most likely to be nearest.
struct Seed {
    double bar = 0.0;
    Eigen::Index origin = 0;  // a multiple of kBlockUnit
};

// The seed of a query the screen can take; `distances` is scratch.
Seed seed(const double* query, const MatrixView& rows, const ScreenStages& screen, Eigen::Index K,
          std::vector<double>& distances);

}  // namespace mirelo
