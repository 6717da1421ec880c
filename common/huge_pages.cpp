#include "huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace mirelo {

RowMajorMatrix matrix_on_huge_pages(Eigen::Index rows, Eigen::Index cols) {
    RowMajorMatrix matrix(rows, cols);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only whole huge pages inside the matrix can be advised; a smaller matrix has none. The advice
    // is a hint: where it is refused, nothing changes.
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(matrix.data());
    const auto first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const auto last = (begin + static_cast<std::uintptr_t>(matrix.size()) * sizeof(double)) & ~(kHugePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
    return matrix;
}

}  // namespace mirelo
