#pragma once

#include "mirelo_types.hpp"

namespace mirelo {

// Asks for a row's values ahead of their use: a row reached through an order lies apart from the
// last one in memory, and the hardware cannot guess where.
inline void fetch_row(const double* row, Eigen::Index length) {
    const char* bytes = reinterpret_cast<const char*>(row);
    const Eigen::Index size = length * static_cast<Eigen::Index>(sizeof(double));
    for (Eigen::Index b = 0; b < size; b += 64) __builtin_prefetch(bytes + b);
    __builtin_prefetch(bytes + size - 1);
}

}  // namespace mirelo
