#include "row_copy.hpp"

#include <algorithm>

#include "parallel_job.hpp"

namespace mirelo {

RowMajorMatrix copy_rows(StridedRows in, Eigen::Index rows, Eigen::Index cols) {
    // A tile's source lines stay in cache whichever way the input runs.
    constexpr Eigen::Index kTileRows = 32;
    constexpr Eigen::Index kTileCols = 256;
    RowMajorMatrix out(rows, cols);
    const Eigen::Index row_tiles = (rows + kTileRows - 1) / kTileRows;
    const Eigen::Index col_tiles = (cols + kTileCols - 1) / kTileCols;
    ParallelJob job;
#pragma omp parallel for schedule(static) collapse(2)
    for (Eigen::Index rt = 0; rt < row_tiles; ++rt) {
        for (Eigen::Index ct = 0; ct < col_tiles; ++ct) {
            job.run([&] {
                const Eigen::Index top = rt * kTileRows, left = ct * kTileCols;
                const Eigen::Index bottom = std::min(rows, top + kTileRows), right = std::min(cols, left + kTileCols);
                for (Eigen::Index i = top; i < bottom; ++i) {
                    for (Eigen::Index j = left; j < right; ++j) {
                        out(i, j) = in.data[i * in.row_stride + j * in.element_stride];
                    }
                }
            });
        }
    }
    job.finish();
    return out;
}

}  // namespace mirelo
