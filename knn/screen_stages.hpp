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
    Vector run_largest;         // the largest exact norm of each run of kNormRun rows

    static constexpr Eigen::Index kNormRun = 64;

    // A limit that every pair whose squared distance is at most `widened_bar` exceeds, given the
    // query's squared norm over the stage's coordinates and the largest such norm among the rows.
    float limit(double widened_bar, double query_norm, double largest_norm, int exponent) const;
    // At least the largest exact norm of rows [first, first + count), from the runs they touch.
    double largest_norm(Eigen::Index first, Eigen::Index count) const;
};

// The first stage's length for a batch, whose queries share each load of a row, and for a
// single query, which reads every row alone and so gains from a shorter prefix.
struct PrefixLengths {
    Eigen::Index batch = 0;
    Eigen::Index single = 0;
};

struct ScreenStages {
    int exponent = 0;       // the rows are scaled by 2^exponent, which puts their largest in [1, 2)
    ScreenStage prefix;     // packed by pack_rows_single; every coordinate when a prefix gains nothing
    ScreenStage single;     // packed, a single query's first stage; empty when that is `prefix`
    ScreenStage rest;       // row-major, every coordinate, kListedWidth-aligned; empty without a prefix

    // First stages over the given lengths (clamped to 1 to the width; a single query whose length
    // is the width takes the batch's), then, if the batch's is not all of them, a second over every
    // coordinate: a single query's survivors go on to it when it is there, else straight to their
    // exact distances. Empty (no screen) when the store is empty or holds a value that is not finite.
    static ScreenStages build(const RowMajorMatrix& rows, const Vector& sq_norms, PrefixLengths lengths);
    bool empty() const { return prefix.length == 0; }
    const ScreenStage& first(bool one_query) const { return one_query && single.length > 0 ? single : prefix; }
    // The stage over every coordinate.
    const ScreenStage& whole() const { return rest.length > 0 ? rest : prefix; }
};

// The prefix lengths that leave the least work for a store searched for k neighbours, from the
// share of a sample's pairs that each length lets through.
PrefixLengths choose_prefix_lengths(const RowMajorMatrix& rows, Eigen::Index k);

}  // namespace mirelo
