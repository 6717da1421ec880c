#pragma once

#include <algorithm>
#include <tuple>
#include <utility>

#include "kernels.hpp"
#include "mirelo_types.hpp"

namespace mirelo {

// out[i] = squared_distance of the two rows pair(i) returns (a std::pair of pointers), for
// i < count: taken several at a time, since one alone waits on its chain.
template <class Pair>
void row_distances(Eigen::Index count, Eigen::Index length, Pair&& pair, double* out) {
    constexpr Eigen::Index kTogether = 48;
    const double* firsts[kTogether];
    const double* seconds[kTogether];
    for (Eigen::Index start = 0; start < count; start += kTogether) {
        const Eigen::Index together = std::min(kTogether, count - start);
        for (Eigen::Index i = 0; i < together; ++i) std::tie(firsts[i], seconds[i]) = pair(start + i);
        squared_distances(firsts, seconds, together, length, out + start);
    }
}

}  // namespace mirelo
