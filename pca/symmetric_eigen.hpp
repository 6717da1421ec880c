#pragma once

#include "mirelo_types.hpp"

namespace mirelo {

// Eigen-decomposition of a symmetric matrix read from its lower triangle, by LAPACK's dsyevr.
// eigenvalues: all n values in decreasing order; vectors: n x n, column i for eigenvalue i.
// Throws std::invalid_argument for a matrix that is not square or has a non-finite entry in the
// lower triangle, std::length_error for a size LAPACK's 32-bit integers cannot index, and
// std::runtime_error when LAPACK reports a failure. Outputs are only written on success.
void symmetric_eigen_descending(const Matrix& symmetric, Vector& eigenvalues, Matrix& vectors);

// Whether every entry on and below the diagonal of a square matrix is finite.
bool lower_triangle_is_finite(const Matrix& symmetric);

}  // namespace mirelo
