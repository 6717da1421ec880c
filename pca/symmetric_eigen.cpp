#include "symmetric_eigen.hpp"

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

// The scipy-openblas32 build of OpenBLAS: 32-bit LAPACK integers and every symbol prefixed with
// scipy_. The trailing size_t arguments are the hidden Fortran lengths of the character flags.
extern "C" {
void scipy_openblas_set_num_threads(int num_threads);
void scipy_dsyevr_(const char* jobz, const char* range, const char* uplo, const int* n, double* a, const int* lda,
                   const double* vl, const double* vu, const int* il, const int* iu, const double* abstol, int* m,
                   double* w, double* z, const int* ldz, int* isuppz, double* work, const int* lwork, int* iwork,
                   const int* liwork, int* info, std::size_t jobz_length, std::size_t range_length,
                   std::size_t uplo_length);
}

namespace mirelo {

namespace {

static_assert(sizeof(int) == 4, "scipy-openblas32 takes 32-bit integers");

// dsyevr needs at least 26 n doubles of workspace and counts them in an int.
constexpr Eigen::Index kMaxOrder = std::numeric_limits<int>::max() / 26;

[[noreturn]] void lapack_failed(const char* step, int info) {
    throw std::runtime_error(std::string("symmetric eigen-decomposition failed: LAPACK dsyevr ") + step +
                             " returned info = " + std::to_string(info));
}

}  // namespace

bool lower_triangle_is_finite(const Matrix& symmetric) {
    for (Eigen::Index j = 0; j < symmetric.cols(); ++j) {
        if (!symmetric.col(j).tail(symmetric.rows() - j).allFinite()) {
            return false;
        }
    }
    return true;
}

void symmetric_eigen_descending(const Matrix& symmetric, Vector& eigenvalues, Matrix& vectors) {
    const Eigen::Index order = symmetric.rows();
    if (symmetric.cols() != order) {
        throw std::invalid_argument("expected a square matrix to decompose, got " + std::to_string(order) + " x " +
                                    std::to_string(symmetric.cols()));
    }
    if (order > kMaxOrder) {
        throw std::length_error("a " + std::to_string(order) + " x " + std::to_string(order) +
                                " matrix is too large for LAPACK's 32-bit integers (at most " +
                                std::to_string(kMaxOrder) + " rows)");
    }
    // LAPACK's answer for a non-finite matrix is not defined: it may fail or return garbage.
    if (!lower_triangle_is_finite(symmetric)) {
        throw std::invalid_argument("expected a finite matrix to decompose");
    }
    if (order == 0) {
        eigenvalues.resize(0);
        vectors.resize(0, 0);
        return;
    }

    // OpenBLAS would share its BLAS calls between threads that each sum a part, so the rounding,
    // and with it the axes, would follow the thread count. One thread keeps training
    // reproducible; the OpenMP loops already use the cores.
    scipy_openblas_set_num_threads(1);

    const int n = static_cast<int>(order);
    Matrix work_matrix = symmetric;  // dsyevr overwrites its input
    Vector values(order);
    Matrix z(order, order);
    std::vector<int> support(2 * static_cast<std::size_t>(n));
    const double unused_bound = 0.0;
    const int unused_index = 0;
    const double abstol = 0.0;  // the default tolerance; all eigenvalues go through dstemr
    int found = 0;
    int info = 0;

    // Ask for the workspace sizes first.
    double work_size = 0.0;
    int iwork_size = 0;
    const int query = -1;
    scipy_dsyevr_("V", "A", "L", &n, work_matrix.data(), &n, &unused_bound, &unused_bound, &unused_index,
                  &unused_index, &abstol, &found, values.data(), z.data(), &n, support.data(), &work_size, &query,
                  &iwork_size, &query, &info, 1, 1, 1);
    if (info != 0) {
        lapack_failed("workspace query", info);
    }
    if (!(work_size <= static_cast<double>(std::numeric_limits<int>::max()))) {
        throw std::length_error("LAPACK dsyevr asked for more workspace than a 32-bit integer counts");
    }
    const int lwork = static_cast<int>(work_size);
    const int liwork = iwork_size;
    std::vector<double> work(static_cast<std::size_t>(lwork));
    std::vector<int> iwork(static_cast<std::size_t>(liwork));

    scipy_dsyevr_("V", "A", "L", &n, work_matrix.data(), &n, &unused_bound, &unused_bound, &unused_index,
                  &unused_index, &abstol, &found, values.data(), z.data(), &n, support.data(), work.data(), &lwork,
                  iwork.data(), &liwork, &info, 1, 1, 1);
    if (info != 0) {
        lapack_failed("decomposition", info);
    }
    if (found != n) {
        throw std::runtime_error("symmetric eigen-decomposition failed: LAPACK dsyevr found " +
                                 std::to_string(found) + " of " + std::to_string(n) + " eigenvalues");
    }

    // LAPACK sorts ascending.
    values.reverseInPlace();
    z.rowwise().reverseInPlace();
    eigenvalues.swap(values);
    vectors.swap(z);
}

}  // namespace mirelo
