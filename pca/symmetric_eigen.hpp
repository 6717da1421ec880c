#pragma once

#include <functional>

#include "mirelo_types.hpp"

namespace mirelo {

// How many eigenvectors a caller needs, given all eigenvalues in decreasing order.
using VectorCount = std::function<Eigen::Index(const Vector& eigenvalues)>;

// Eigen-decomposition of a symmetric matrix read from its lower triangle, by LAPACK (tridiagonal
// reduction, then the vectors of the largest eigenvalues only). eigenvalues: all n values in
// decreasing order; vectors: n x vectors_wanted(eigenvalues), column i for eigenvalue i.
// Throws std::invalid_argument for a matrix that is not square or has a non-finite entry in the
// lower triangle, std::length_error for a size LAPACK's 32-bit integers cannot index, and
// std::runtime_error when LAPACK reports a failure. Outputs are only written on success.
void symmetric_eigen_descending(const Matrix& symmetric, const VectorCount& vectors_wanted, Vector& eigenvalues,
                                Matrix& vectors);

// Whether every entry on and below the diagonal of a square matrix is finite.
bool lower_triangle_is_finite(const Matrix& symmetric);

}  // namespace mirelo
