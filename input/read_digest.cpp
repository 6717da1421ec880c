#include "read_digest.hpp"

#include <algorithm>
#include <cstring>

namespace mirelo {

namespace {

using Index = Eigen::Index;

inline __attribute__((always_inline)) std::uint64_t mixed_bits(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits ^ (bits >> 32);
}

// R rows into the running sums, their accumulators held in registers across the rows.
template <int R>
inline __attribute__((always_inline)) void sweep_rows(const double* values, Index width, std::ptrdiff_t stride,
                                                      std::uint64_t* __restrict sum,
                                                      std::uint64_t* __restrict running) {
    for (Index j = 0; j < width; ++j) {
        std::uint64_t s = sum[j], t = running[j];
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) {
            s += mixed_bits(values[j + r * stride]);
            t += s;
        }
        sum[j] = s;
        running[j] = t;
    }
}

inline __attribute__((always_inline)) void sweep(const double* values, Index count, Index width,
                                                 std::ptrdiff_t stride, std::uint64_t* __restrict sum,
                                                 std::uint64_t* __restrict running) {
    Index r = 0;
    for (; r + 4 <= count; r += 4) sweep_rows<4>(values + r * stride, width, stride, sum, running);
    for (; r < count; ++r) sweep_rows<1>(values + r * stride, width, stride, sum, running);
}

// Integer sums come out the same whichever instructions form them: the wider ones are taken where
// the CPU has them, as the kernels do.
void sweep_portable(const double* values, Index count, Index width, std::ptrdiff_t stride, std::uint64_t* sum,
                    std::uint64_t* running) {
    sweep(values, count, width, stride, sum, running);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("avx2"))) void sweep_avx2(const double* values, Index count, Index width,
                                                std::ptrdiff_t stride, std::uint64_t* sum, std::uint64_t* running) {
    sweep(values, count, width, stride, sum, running);
}

bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

const auto sweep_here = cpu_has_avx2() ? sweep_avx2 : sweep_portable;
#else
const auto sweep_here = sweep_portable;
#endif

}  // namespace

ReadDigest::Rows::Rows(Index first_row, Index first_col, Index width)
    : first_row(first_row),
      first_col(first_col),
      width(width),
      sum(static_cast<std::size_t>(width)),
      running(static_cast<std::size_t>(width)) {
    std::fill_n(sum.data(), width, 0);
    std::fill_n(running.data(), width, 0);
}

void ReadDigest::Rows::add(const double* values, Index rows, std::ptrdiff_t stride) {
    sweep_here(values, rows, width, stride, sum.data(), running.data());
    count += rows;
}

ReadDigest::ReadDigest(Index cols) : sums(static_cast<std::size_t>(cols)), weighted(sums.size()) {}

void ReadDigest::add(const Rows& rows) {
    // Over the rows, running counts the bits of row r (count - r) times, so the sum of
    // (first_row + r) * b is (first_row + count) * sum - running: no multiplication per value.
    const auto end = static_cast<std::uint64_t>(rows.first_row + rows.count);
    const std::uint64_t* sum = rows.sum.data();
    const std::uint64_t* running = rows.running.data();
    for (Index j = 0; j < rows.width; ++j) {
        const auto at = static_cast<std::size_t>(rows.first_col + j);
        sums[at] += sum[j];
        weighted[at] += end * sum[j] - running[j];
    }
}

void ReadDigest::add(const double* values, Index first_row, Index count, Index first_col, Index width,
                     std::ptrdiff_t stride) {
    Rows rows(first_row, first_col, width);
    rows.add(values, count, stride);
    add(rows);
}

void ReadDigest::add(const ReadDigest& other, Index row_offset) {
    const auto offset = static_cast<std::uint64_t>(row_offset);
    for (std::size_t j = 0; j < sums.size(); ++j) {
        sums[j] += other.sums[j];
        weighted[j] += other.weighted[j] + offset * other.sums[j];
    }
}

Index ReadDigest::first_difference(const ReadDigest& other) const {
    for (std::size_t j = 0; j < sums.size(); ++j) {
        if (sums[j] != other.sums[j] || weighted[j] != other.weighted[j]) {
            return static_cast<Index>(j);
        }
    }
    return -1;
}

}  // namespace mirelo
