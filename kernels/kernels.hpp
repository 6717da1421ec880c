#pragma once

#include <cstddef>
#include <cstdint>

namespace mirelo {

// The product kernels behind the projection, the covariance and the neighbour search.
//
// Every element is one chain of multiply-adds in the order of the summed index, continued from
// the value already in the output when accumulating. Its bits therefore do not depend on how
// rows are grouped into calls, tiles or threads: a row gets the same result alone as inside any
// batch. Each step is one fused multiply-add in every build, so the bits do not depend on the
// build either: a portable one, one for AVX2 and FMA and one for AVX-512, vectorised across
// outputs, never along the sum.

// The build this process runs, "portable", "avx2" or "avx512", chosen once, at the first call
// (every kernel makes it): the one the environment variable MIRELO_KERNELS names, or without it
// the widest the CPU runs. A name that is not one of those, or a build the CPU cannot run or this
// module lacks, throws std::runtime_error naming it and the builds that run; call this before any
// kernel, which cannot throw and would end the process instead.
const char* kernel_build();

// Rows laid out for the kernels: groups of kPanelRows rows, each group interleaved along the
// rows (value p of every row of the group side by side), zeros past the last row.
constexpr std::ptrdiff_t kPanelRows = 8;

// Rows read in place: value p of row i is data[i * row_stride + p * element_stride].
struct StridedRows {
    const double* data;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t element_stride;
};

// Element (i, j) is data[i * row_stride + j * column_stride].
struct StridedOutput {
    double* data;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t column_stride;
};

std::ptrdiff_t packed_size(std::ptrdiff_t rows, std::ptrdiff_t length);

// Writes packed_size(rows, length) values to packed.
void pack_rows(StridedRows rows_in, std::ptrdiff_t rows, std::ptrdiff_t length, double* packed) noexcept;

// out(i, j) (+)= sum over p < length of a(i, p) * b(j, p), for i < a_rows and j < b_rows, where b
// is packed. Without `accumulate` each chain starts from zero.
void multiply_packed(StridedRows a, std::ptrdiff_t a_rows, const double* packed_b, std::ptrdiff_t b_rows,
                     std::ptrdiff_t length, StridedOutput out, bool accumulate) noexcept;

// Rows [top, top + height) of the lower triangle of the products of `count` packed items with
// each other, added to out(i, j): every packed item is read as a row of the product too. Tiles on
// the diagonal also add to some elements above it, which callers ignore.
void products_lower_band(const double* packed, std::ptrdiff_t count, std::ptrdiff_t length, std::ptrdiff_t top,
                         std::ptrdiff_t height, StridedOutput out) noexcept;

// The chain of a row with itself: equal to multiply_packed of the row against its own packing.
double squared_norm(const double* row, std::ptrdiff_t length) noexcept;

// The distance that ranks neighbours: the squared differences summed in four chains (lane p % 4
// takes difference p, in p order), then (lane 0 + lane 1) + (lane 2 + lane 3). Every step is
// rounded on its own, so that every build gives the same bits.
double squared_distance(const double* a, const double* b, std::ptrdiff_t length) noexcept;
// out[i] = squared_distance(a[i], b[i], length) for i < count, several pairs at a time.
void squared_distances(const double* const* a, const double* const* b, std::ptrdiff_t count, std::ptrdiff_t length,
                       double* out) noexcept;

// The neighbour search screens in single precision, where a vector holds twice as many values:
// a pair is passed over without its exact distance being formed when, in single precision,
// 2 * dot - row_norm is at most the query's limit. Values must be at most kSinglePrecisionLimit
// in magnitude, so that nothing overflows or underflows the floats' range enough to escape the
// bound below; rows are packed in groups of kSinglePanelRows.
constexpr double kSinglePrecisionLimit = 1e15;
constexpr std::ptrdiff_t kSinglePanelRows = 16;

std::ptrdiff_t packed_single_size(std::ptrdiff_t rows, std::ptrdiff_t length);
// Each value is multiplied by `factor` in double precision before it is rounded to float.
void pack_rows_single(StridedRows rows_in, std::ptrdiff_t rows, std::ptrdiff_t length, double factor,
                      float* packed) noexcept;

// A limit that every pair whose distance (in the formula's own rounding) is below `bar` exceeds
// in single precision: query_norm - bar less a bound on the single-precision error, rounded down.
float single_precision_limit(double bar, double query_norm, double largest_row_norm, std::ptrdiff_t length);

// The screen may read rows' leading values as 16-bit codes, half the bytes of floats: value v,
// below 2 in magnitude once multiplied by the packing's factor, becomes round(v / kCodeStep),
// clamped to +-32767. A code times kCodeStep lies within kCodeError of its value: half a step
// from the rounding, up to a whole one for the values within half a step of 2 that are clamped.
constexpr double kCodeStep = 1.0 / 16384;
constexpr double kCodeError = kCodeStep;

// Packed as pack_rows_single packs, codes in place of floats.
void pack_rows_coded(StridedRows rows_in, std::ptrdiff_t rows, std::ptrdiff_t length, double factor,
                     std::int16_t* packed) noexcept;

// Where the checkpoint holds most of a row, its values are read as 8-bit codes instead, each
// coordinate with a step of its own: value v of coordinate p becomes c = round(v / steps[p]),
// where head_code_step gives steps[p] from the largest magnitude among the coordinate's values,
// so that no code is cut short and each lies within half its step of its value. The query meets
// them as 8-bit codes too (code_query_bytes), and each group's dots are exact integer sums, four
// products a lane at a time.
constexpr double kHeadCodeLargest = 127;
// The smallest power of two, at least 2^-40, by which `largest` is at most kHeadCodeLargest steps.
double head_code_step(double largest);
// Values a lane of an integer dot takes from each row, and the most values the codes may span:
// 255 * 127 times that stays within a 32-bit sum.
constexpr std::ptrdiff_t kByteLane = 4;
constexpr std::ptrdiff_t kLongestByteCodes = std::ptrdiff_t{1} << 14;
std::ptrdiff_t packed_bytes_size(std::ptrdiff_t rows, std::ptrdiff_t length);
// Groups of kSinglePanelRows rows, each a run of kByteLane-value steps: for each step, its values
// of the group's first row, then of the next, and so on; each code c stored as c + 128, padded
// with the code 0 past the last value and row.
void pack_rows_bytes(StridedRows rows_in, std::ptrdiff_t rows, std::ptrdiff_t length, double factor,
                     const double* steps, std::uint8_t* packed) noexcept;
// A query's side of the 8-bit codes: v = values[p] * steps[p] becomes u = round(v / scale), with
// `scale` the head_code_step of the largest |v|, written to `codes` with zeros up to a whole
// number of steps. Returns the scale; `offset` is 128 * sum of u, which the stored codes' 128s add
// to every dot. The screen's dot t * sum(u * c) then differs from the query's dot with the codes'
// values by at most error * |codes' values|, where `error` is the 2-norm of (v - scale * u) / steps[p],
// rounded up.
struct ByteQuery {
    float scale;
    std::int32_t offset;
    double error;
};
ByteQuery code_query_bytes(const float* values, const float* steps, std::ptrdiff_t length, std::int8_t* codes);

// single_precision_limit for rows read as codes, in two parts. The bound on the rows' norms as
// the codes make them depends on the rows alone, so the queries searching a block share it: a
// row's norm over the codes moves by at most `spread`, the 2-norm of the codes' largest errors.
double coded_norm_bound(double largest_row_norm, double spread);
// Then each query's limit: reading the rows as codes moves its dot by at most dot_error, the sum
// over the `coded` values of the query's magnitude times the code's largest error there, summed in
// double.
float coded_limit(double bar, double query_norm, double coded_norm_bound, std::ptrdiff_t length,
                         std::ptrdiff_t coded, double dot_error);

struct SingleScreen {
    const float* queries;        // row-major, `length` values a row
    std::ptrdiff_t query_count;
    const float* limits;         // single_precision_limit of each query
    const float* packed_rows;    // the block, packed by pack_rows_single; unread with a checkpoint
    const float* row_norms;      // squared norms of the block's rows, in single precision
    std::ptrdiff_t row_count;
    std::ptrdiff_t length;
    std::uint8_t* candidates;    // query q, group g at candidates[q * groups + g], groups of
                                 // kPanelRows rows: bit r for row kPanelRows * g + r
    // The groups of kSinglePanelRows rows to screen, by index from the first; the flags of the
    // others are left as they are. With pair lists, group i meets the queries pair_queries[j] for
    // pair_starts[i] <= j < pair_starts[i + 1]; without, it meets the first query.
    const std::ptrdiff_t* groups;
    std::ptrdiff_t group_count;
    const std::ptrdiff_t* pair_starts = nullptr;
    const std::ptrdiff_t* pair_queries = nullptr;
    // With a checkpoint, the same test is first made on the leading `checkpoint` values alone,
    // against their squared norms and limits of their own; a group none of whose rows passes
    // there is not read further, and a row flags only where it passes both. The rows are then
    // read as codes (pack_rows_coded) against coded_queries, each query's `length` values times
    // kCodeStep: their first `checkpoint` values from packed_codes, the rest from packed_tails,
    // so that the groups passed over at the checkpoint leave theirs unread. Both limits then
    // come from coded_limit.
    std::ptrdiff_t checkpoint = 0;
    const float* checkpoint_norms = nullptr;
    const float* checkpoint_limits = nullptr;
    const std::int16_t* packed_tails = nullptr;
    const std::int16_t* packed_codes = nullptr;
    const float* coded_queries = nullptr;
    // The checkpoint's values are read from these 8-bit codes instead, if given (pack_rows_bytes),
    // against each query's codes: query q's at byte_queries + q * byte_length, where byte_length
    // is `checkpoint` rounded up to whole steps, with their scales and offsets. Its limits must
    // allow for them.
    const std::uint8_t* packed_bytes = nullptr;
    const std::int8_t* byte_queries = nullptr;
    const float* byte_scales = nullptr;
    const std::int32_t* byte_offsets = nullptr;
    // With pair lists and 16-bit codes, room for one group's checkpoint codes as floats
    // (kSinglePanelRows * checkpoint): a group met by more than one block of queries has them
    // converted there once. Without, every block converts the codes it reads.
    float* converted_codes = nullptr;
};

// Flags the rows whose 2 * dot - row_norm is not at most the query's limit (NaN flags).
void screen_single(const SingleScreen& screen) noexcept;

// The first stage of the neighbour search bounds distances from below by boxes around groups of
// kSinglePanelRows stored rows, kBoxLanes groups to a chunk: for each value p < length, the
// chunk's groups' least values p, then their greatest.
constexpr std::ptrdiff_t kBoxLanes = 8;

struct NearBoxes {
    const float* query;          // `length` values
    const float* boxes;          // the chunks of `groups` groups
    std::ptrdiff_t groups;
    std::ptrdiff_t length;
    float limit;
    std::ptrdiff_t* near;        // room for `groups`
    float* bounds = nullptr;     // when given, every group's bound, with room for whole chunks
};

// Lists in `near`, in order, the groups whose bound is at most the limit, and returns how many.
// A bound is the sum over p in order of the squared distances from query[p] to the group's range
// of values p, each step rounded to single precision on its own.
std::ptrdiff_t near_boxes(const NearBoxes& boxes) noexcept;

}  // namespace mirelo
