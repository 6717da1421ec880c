#pragma once

#include "mirelo_types.hpp"

namespace mirelo {

// A matrix whose pages the system is asked to back with huge pages before it is written, where it
// offers them on request. The search reads stored rows in an order of its own, one here and one
// there, and with small pages nearly every row it fetches also misses the address cache.
RowMajorMatrix matrix_on_huge_pages(Eigen::Index rows, Eigen::Index cols);

}  // namespace mirelo
