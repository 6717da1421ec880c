#pragma once

#include "mirelo_types.hpp"
#include "screen_stages.hpp"

namespace mirelo {

// A query as the first stage sees it.
struct BoxQuery {
    const float* scaled;  // its values scaled like the store and rounded to single precision
    double norm;          // its exact squared norm
    double prefix_error;  // ScreenStages::prefix_error of it
    double bar;           // no row farther than this can be among its nearest
};

// The first place of [from, to) that starts a group whose boxes at every level lie within the
// query's bar, allowing for every rounding, or `to` when there is none: the places before it can
// be passed over. Going down the levels, only the boxes kept above are looked at, so a query far
// from long runs of places passes over them for a few boxes. `from` starts a group.
Eigen::Index next_near(const ScreenStages& screen, const BoxQuery& query, Eigen::Index from, Eigen::Index to);

}  // namespace mirelo
