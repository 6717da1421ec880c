#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mirelo_types.hpp"
#include "small_buffer.hpp"

namespace mirelo {

// A fingerprint of a matrix's values as read, column by column, to tell whether two reads of the
// same rows saw the same values: any one value changed, or two rows of a column swapped, changes
// it, whatever blocks each read took and in whatever order. Values count by their bits, so that
// reads agree exactly or not at all.
class ReadDigest {
public:
    // Consecutive rows of some columns, fed a few at a time (while they are in cache), then added
    // to a digest.
    class Rows {
    public:
        Rows(Eigen::Index first_row, Eigen::Index first_col, Eigen::Index width);
        Rows(const Rows&) = delete;
        Rows& operator=(const Rows&) = delete;

        // The next `count` rows, row r's `width` values at values + r * stride.
        void add(const double* values, Eigen::Index count, std::ptrdiff_t stride);

    private:
        friend class ReadDigest;
        Eigen::Index first_row;
        Eigen::Index first_col;
        Eigen::Index width;
        Eigen::Index count = 0;
        // Per column: the sum of its values' bits so far, and the sum of those sums, which
        // counts each row's bits once for itself and once for every row after it. On the stack
        // for a slice of a row, as the projection reads them.
        static constexpr std::size_t kFewColumns = 256;
        SmallBuffer<std::uint64_t, kFewColumns> sum;
        SmallBuffer<std::uint64_t, kFewColumns> running;
    };

    explicit ReadDigest(Eigen::Index cols = 0);

    void add(const Rows& rows);

    // Adds rows [first_row, first_row + count) of columns [first_col, first_col + width), row r
    // read into values + r * stride.
    void add(const double* values, Eigen::Index first_row, Eigen::Index count, Eigen::Index first_col,
             Eigen::Index width, std::ptrdiff_t stride);

    // Adds a digest of the same columns whose rows are `row_offset` further down here.
    void add(const ReadDigest& other, Eigen::Index row_offset = 0);

    // The first column whose values differ between the two reads, or -1 when none does.
    Eigen::Index first_difference(const ReadDigest& other) const;

private:
    // Per column, over its rows i and their values' bits b, each first mixed with its own high
    // half (so that values apart only in their sign or exponent, x and -x or x and 2x, differ in
    // the low bits too): the sum of b and the sum of i * b, both modulo 2^64. A changed value
    // changes the first. Two swapped rows change the second by (i - j) times the difference of
    // their b, a multiple of 2^64 only when that difference ends in many zero bits.
    std::vector<std::uint64_t> sums;
    std::vector<std::uint64_t> weighted;
};

}  // namespace mirelo
