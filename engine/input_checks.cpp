#include "input_checks.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace mirelo {

void require_finite(const InputRows& X, const std::string& what) {
    // Read a piece of a row at a time, where any value type widens to double.
    constexpr Eigen::Index kPiece = 256;
    double piece[kPiece];
    for (Eigen::Index i = 0; i < X.rows(); ++i) {
        for (Eigen::Index first = 0; first < X.cols(); first += kPiece) {
            const Eigen::Index width = std::min(kPiece, X.cols() - first);
            X.read(i, 1, first, width, piece, kPiece);
            for (Eigen::Index j = 0; j < width; ++j) {
                if (!std::isfinite(piece[j])) {
                    throw std::invalid_argument("expected finite values in " + what + ", got " +
                                                std::to_string(piece[j]) + " at row " + std::to_string(i) +
                                                ", column " + std::to_string(first + j));
                }
            }
        }
    }
}

void require_finite_squared_norms(const MatrixView& reduced, const std::string& what) {
    const Vector norms = reduced.rowwise().squaredNorm();
    for (Eigen::Index i = 0; i < norms.size(); ++i) {
        if (!std::isfinite(norms[i])) {
            throw std::invalid_argument("expected values small enough for squared distances to stay finite, got " +
                                        what + " whose row " + std::to_string(i) +
                                        " overflows once reduced");
        }
    }
}

void require_same_reads(const ReadDigest& first, const ReadDigest& second) {
    const Eigen::Index column = first.first_difference(second);
    if (column >= 0) {
        throw std::invalid_argument(
            "expected a training matrix that stays the same while it is read, got one whose column " +
            std::to_string(column) + " changed between the two reads: the training data changed while it was read");
    }
}

void require_width(const InputRows& X, Eigen::Index expected, const std::string& what) {
    if (X.cols() != expected) {
        throw std::invalid_argument("expected " + what + " with " + std::to_string(expected) +
                                    " features (the training width), got " + std::to_string(X.cols()));
    }
}

}  // namespace mirelo
