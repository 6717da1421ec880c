#pragma once

#include <cstdint>

#include "knn_classifier.hpp"
#include "mirelo_types.hpp"

namespace mirelo {

// Everything a trained engine answers from, as plain values: enough to save a model and
// restore one that answers bit for bit as the original did.
struct EngineState {
    Vector mean;                      // d
    Vector std_dev;                   // d, all ones without scaling
    std::int32_t n_components = 0;
    Matrix components;                // d x n_components
    Vector explained_variance_ratio;  // n_components
    RowMajorMatrix reduced;           // training rows x n_components, times 2^scale_exponent
    ClassPlaces classes;              // a class place per reduced row, and the class count
    LabelList class_names;            // one per class, or none for classes trained as places
    int scale_exponent = 0;           // AdaptivePCA::scale_exponent
};

// The sizes a saved state declares for its fields, read before any field of that size is
// copied, so that a state claiming huge dimensions is refused without allocating them.
struct StateShape {
    Eigen::Index features;        // the mean's length
    Eigen::Index spreads;
    Eigen::Index component_rows;
    Eigen::Index component_cols;
    Eigen::Index ratios;
    Eigen::Index rows;            // the reduced training matrix's
    Eigen::Index reduced_cols;
    Eigen::Index labels;
    std::int64_t n_components;
};

// Throws std::invalid_argument naming the first field whose size disagrees with the others or
// that no training could produce.
void validate_shape(const StateShape& shape);

// Throws std::invalid_argument naming the first field whose shape, count or values could
// not come from a training: a corrupt or mismatched state.
void validate_state(const EngineState& state);

}  // namespace mirelo
