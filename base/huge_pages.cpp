#include "huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace mirelo {

void advise_huge_pages(const void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only whole huge pages inside the range can be advised; a smaller range has none.
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const auto first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const auto last = (begin + bytes) & ~(kHugePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

RowMajorMatrix matrix_on_huge_pages(Eigen::Index rows, Eigen::Index cols) {
    RowMajorMatrix matrix(rows, cols);
    advise_huge_pages(matrix.data(), static_cast<std::size_t>(matrix.size()) * sizeof(double));
    return matrix;
}

}  // namespace mirelo
