#pragma once

#include "kernels.hpp"
#include "mirelo_types.hpp"

namespace mirelo {

// The rows x cols values of `in`, in any layout, as a row-major matrix: tiles in parallel, so a
// large column-major or strided matrix is not transposed on one thread.
RowMajorMatrix copy_rows(StridedRows in, Eigen::Index rows, Eigen::Index cols);

}  // namespace mirelo
