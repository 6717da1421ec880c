#pragma once

#include <vector>

#include "mirelo_types.hpp"

namespace mirelo {

// The single-precision stages in front of the exact distances of the neighbour search.
//
// A stage looks at the first `length` reduced coordinates of a (query, row) pair and passes over
// the row when, even allowing for every rounding, the squared distance over those coordinates
// exceeds the query's bar. The distance over a prefix is at most the whole distance, so a stage
// never passes over a row that could enter the heap, whatever its length. The components come in
// decreasing order of variance, so a short prefix carries most of every distance: the first stage
// screens every pair on a prefix, the second only its survivors on every coordinate, and only the
// rows that pass both get an exact distance. The prefix length decides speed, never an answer.
struct ScreenStage {
    Eigen::Index length = 0;
    std::vector<float> rows;    // the scaled rows' first `length` values, laid out for the stage
    std::vector<float> norms;   // their squared norms over those values, scaled, in single precision
    Vector exact_norms;         // the same norms in double precision, unscaled

    // A limit that every pair whose squared distance is at most `widened_bar` exceeds, given the
    // query's squared norm over the stage's coordinates and the largest such norm among the rows.
    float limit(double widened_bar, double query_norm, double largest_norm, int exponent) const;
};

struct ScreenStages {
    int exponent = 0;       // the rows are scaled by 2^exponent, which puts their largest in [1, 2)
    ScreenStage prefix;     // packed by pack_rows_single; every coordinate when a prefix gains nothing
    ScreenStage rest;       // row-major, every coordinate, kListedWidth-aligned; empty without a prefix

    // A first stage over prefix_length coordinates (clamped to 1 to the width), then, if that is
    // not all of them, a second over every coordinate. Empty (no screen) when the store is empty
    // or holds a value that is not finite.
    static ScreenStages build(const RowMajorMatrix& rows, const Vector& sq_norms, Eigen::Index prefix_length);
    bool empty() const { return prefix.length == 0; }
};

// The prefix length that leaves the least work for a store searched for k neighbours, from the
// share of a sample's pairs that each length lets through.
Eigen::Index choose_prefix_length(const RowMajorMatrix& rows, Eigen::Index k);

}  // namespace mirelo
