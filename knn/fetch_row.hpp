#pragma once

#include "mirelo_types.hpp"

namespace mirelo {

// Asks for `count` values ahead of their use, into every cache level or, with Level 2, the
// second and beyond: values read after many others would push out those read first.
template <int Level = 3, class T>
inline void fetch_values(const T* values, Eigen::Index count) {
    const char* bytes = reinterpret_cast<const char*>(values);
    const Eigen::Index size = count * static_cast<Eigen::Index>(sizeof(T));
    for (Eigen::Index b = 0; b < size; b += 64) __builtin_prefetch(bytes + b, 0, Level);
    __builtin_prefetch(bytes + size - 1, 0, Level);
}

// A row reached through an order lies apart from the last one in memory, and the hardware cannot
// guess where.
inline void fetch_row(const double* row, Eigen::Index length) { fetch_values(row, length); }

}  // namespace mirelo
