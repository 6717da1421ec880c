#pragma once

#include <cstdint>
#include <vector>

#include "box_levels.hpp"
#include "held_array.hpp"
#include "huge_pages.hpp"
#include "kernels.hpp"
#include "mirelo_types.hpp"
#include "nearby_order.hpp"
#include "power_of_two.hpp"

namespace mirelo {

// How many leading coordinates the stages look at on their own: the boxes span `prefix`, and the
// second stage tests the first `checkpoint` before it reads the rest (0: no such test).
struct ScreenLengths {
    Eigen::Index prefix = 0;
    Eigen::Index checkpoint = 0;
};

// How the second stage reads the checkpoint's values: as 16-bit codes, or as 8-bit ones where the
// checkpoint holds most of a row.
enum class HeadCodes { wide = 0, narrow = 1 };

// The two stages in front of the exact distances of the neighbour search.
//
// The stored rows are placed in an order that keeps near rows together, in groups of
// kSinglePanelRows. The first stage bounds a query's squared distance to every row of a box
// from below by its distance to the box over the first `prefix` coordinates, and passes over the
// boxes whose bound, allowing for its rounding, exceeds the query's bar: first the large boxes
// of the upper levels, then, inside those it keeps, the boxes of single groups. The second
// screens the rows of the remaining groups in single precision, with a proven rounding bound:
// on the leading `checkpoint` coordinates first, then on every coordinate of the groups with a
// row left. Only the rows that pass both stages get an exact distance. The distance over a
// prefix is at most the whole distance, and the components come in decreasing order of variance,
// so a short prefix carries most of every distance; the prefix and the order decide speed, never
// an answer.
struct ScreenStages {
    int exponent = 0;                 // the rows are scaled by 2^exponent, which puts their largest in [1, 2)
    PowerOfTwo scaled{0};             // a value scaled like the rows
    PowerOfTwo scaled_norm{0};        // a squared norm or distance scaled like the rows'
    HeldArray<RowNumber> order;       // the stored row at each place
    Eigen::Index prefix = 0;          // coordinates the boxes span; 0 without a screen
    Eigen::Index width = 0;           // coordinates of a row
    std::vector<BoxLevel> levels;     // groups' boxes first, then ever larger ones
    // The scaled rows: without a checkpoint, whole, packed by pack_rows_single; with one, as codes
    // (pack_rows_coded), their first `checkpoint` values and the rest packed apart.
    HeldArray<float> rows;
    HeldArray<std::int16_t> codes;
    HeldArray<std::int16_t> tails;
    // With a checkpoint that holds at least half of a row's values, those values again as 8-bit
    // codes (pack_rows_bytes), which the queries read instead, and each of their coordinates'
    // steps; empty otherwise.
    HeldArray<std::uint8_t> coarse_codes;
    std::vector<float> coarse_steps;
    // How far the values read may lie from a row's, as a 2-norm, at the checkpoint and over the
    // whole row, for each way of reading the checkpoint's values.
    double checkpoint_spread[2] = {};
    double whole_spread[2] = {};
    HeldArray<float> norms;           // their squared norms, scaled, in single precision
    Eigen::Index checkpoint = 0;      // coordinates of the second stage's early test; 0 for none
    HeldArray<float> checkpoint_norms;  // the squared norms of the rows' first `checkpoint` values, likewise
    Vector run_largest;               // the largest exact squared norm of each run of kNormRun places

    static constexpr Eigen::Index kNormRun = 64;

    // Stages over the rows in their order, the boxes' prefix clamped to 1 to the width; a checkpoint
    // not below the width is none. Empty (no screen) when the store is empty, holds a value or a
    // squared norm that is not finite, or has more rows than an order can number.
    static ScreenStages build(const MatrixView& rows, ScreenLengths lengths);
    // Stages for `n` rows of `width` values made of arrays kept elsewhere (a model file): `parts`
    // holds the exponent, the lengths, the arrays and each level's boxes and norms, as build gave
    // them. Each array's length and every place the search follows are checked against the rows
    // (std::invalid_argument otherwise); what derives from them is worked out again.
    static ScreenStages adopted(ScreenStages parts, Eigen::Index n, Eigen::Index width);
    bool empty() const { return prefix == 0; }
    // How the queries read the checkpoint's values.
    HeadCodes checkpoint_codes() const { return coarse_codes.empty() ? HeadCodes::wide : HeadCodes::narrow; }
    // A query's 8-bit codes at the checkpoint (room for whole steps of them), with 8-bit codes.
    ByteQuery code_query(const float* scaled, std::int8_t* codes) const;
    // The stored row at a place: the place itself when there is no screen.
    Eigen::Index row(Eigen::Index place) const {
        return order.empty() ? place : static_cast<Eigen::Index>(order[static_cast<std::size_t>(place)]);
    }
    // How far a query's scaled values, rounded to single precision, lie from the exact ones over
    // the prefix, at least.
    double prefix_error(const double* query, const float* scaled_values) const;
    // The first stage's limit for every box holding a row whose squared distance is at most
    // `widened_bar`, given the query's prefix_error.
    float box_limit(double widened_bar, double query_error) const;
    // The sums of a query's scaled single-precision magnitudes times the codes' largest errors, at
    // the checkpoint and over the whole row, for each way of reading the checkpoint's values, which
    // the coded limits allow for; worked out once per query rather than for every block. With 8-bit
    // codes, also the 2-norm of the query's values there and the error of its own codes
    // (code_query's), which move its dot by at most their sum times the rows' norm there.
    struct CodedSums {
        double checkpoint[2] = {};
        double whole[2] = {};
        double head_magnitude = 0.0;
        double byte_error = 0.0;
    };
    CodedSums coded_sums(const float* scaled, double byte_error = 0.0) const;
    // At least the largest exact norm of places [first, first + count), from the runs they touch.
    double largest_norm(Eigen::Index first, Eigen::Index count) const;
    // A block's largest norm and the bounds the second stage's limits take from it alone, for the
    // codes read, worked out once for all the queries that search the block.
    struct BlockNorms {
        double largest = 0.0;        // as largest_norm gives it
        double whole = 0.0;          // scaled, as the limits over whole rows take it
        double at_checkpoint = 0.0;  // scaled, as the limits over the checkpoint take it
        HeadCodes codes = HeadCodes::wide;
    };
    BlockNorms block_norms(Eigen::Index first, Eigen::Index count, HeadCodes codes) const;
    // The second stage's limit for every pair whose squared distance is at most `widened_bar`, given
    // the query's squared norm, the block's norms, and the query's coded sums (unused without a
    // checkpoint), for the error of the codes read in its product with them.
    float limit(double widened_bar, double query_norm, const BlockNorms& block, const CodedSums& sums) const;
    // The same over the checkpoint's coordinates, given the squared norm of the query's first
    // `checkpoint` values: the distance over them is at most the whole distance.
    float checkpoint_limit(double widened_bar, double query_checkpoint_norm, const BlockNorms& block,
                           const CodedSums& sums) const;
    std::size_t memory_bytes() const;
};

// The bar widened by the rounding of the exact distances and of the norm-based formula, for rows
// whose squared norms are at most `largest_norm`: a row whose formula value lies above it cannot
// displace the K-th.
double widened_bar(double bar, double query_norm, double largest_norm, Eigen::Index length);

// The stages' lengths for a store, from how its spread falls across the coordinates.
ScreenLengths choose_lengths(const MatrixView& rows);

}  // namespace mirelo
