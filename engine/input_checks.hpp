#pragma once

#include <string>

#include "input_rows.hpp"
#include "mirelo_types.hpp"
#include "read_digest.hpp"

namespace mirelo {

// Throws std::invalid_argument naming the first value of X that is NaN or infinite.
// `what` names the argument in the message.
void require_finite(const InputRows& X, const std::string& what);

// Throws std::invalid_argument naming the first row of the PCA-reduced matrix whose
// squared norm is not finite: its values were too large to square (or the PCA overflowed).
void require_finite_squared_norms(const MatrixView& reduced, const std::string& what);

// Throws std::invalid_argument naming the first column whose values differ between two reads of
// the training matrix.
void require_same_reads(const ReadDigest& first, const ReadDigest& second);

// Throws std::invalid_argument unless X has `expected` columns.
void require_width(const InputRows& X, Eigen::Index expected, const std::string& what);

}  // namespace mirelo
