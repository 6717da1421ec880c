#include "symmetric_eigen.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

// The scipy-openblas32 build of OpenBLAS: 32-bit LAPACK integers and every symbol prefixed with
// scipy_. The trailing size_t arguments are the hidden Fortran lengths of the character flags.
extern "C" {
void scipy_openblas_set_num_threads(int num_threads);
void scipy_dsytrd_(const char* uplo, const int* n, double* a, const int* lda, double* d, double* e, double* tau,
                   double* work, const int* lwork, int* info, std::size_t uplo_length);
void scipy_dsterf_(const int* n, double* d, double* e, int* info);
void scipy_dstemr_(const char* jobz, const char* range, const int* n, double* d, double* e, const double* vl,
                   const double* vu, const int* il, const int* iu, int* m, double* w, double* z, const int* ldz,
                   const int* nzc, int* isuppz, int* tryrac, double* work, const int* lwork, int* iwork,
                   const int* liwork, int* info, std::size_t jobz_length, std::size_t range_length);
void scipy_dormtr_(const char* side, const char* uplo, const char* trans, const int* m, const int* n,
                   const double* a, const int* lda, const double* tau, double* c, const int* ldc, double* work,
                   const int* lwork, int* info, std::size_t side_length, std::size_t uplo_length,
                   std::size_t trans_length);
}

namespace mirelo {

namespace {

static_assert(sizeof(int) == 4, "scipy-openblas32 takes 32-bit integers");

// The workspaces take at most 26 n values, counted in an int.
constexpr Eigen::Index kMaxOrder = std::numeric_limits<int>::max() / 26;

[[noreturn]] void lapack_failed(const char* routine, int info) {
    throw std::runtime_error(std::string("symmetric eigen-decomposition failed: LAPACK ") + routine +
                             " returned info = " + std::to_string(info));
}

// A workspace size that LAPACK reported as a double, checked to fit its int.
int workspace_size(double reported) {
    if (!(reported <= static_cast<double>(std::numeric_limits<int>::max()))) {
        throw std::length_error("LAPACK asked for more workspace than a 32-bit integer counts");
    }
    return static_cast<int>(reported);
}

// LAPACK's two-call convention: a call with lwork = -1 (and liwork = -1) only reports the
// workspace it needs; the second call is given that much and does the work.
// `routine(work, lwork, iwork, liwork, info)` calls one routine; those without an integer
// workspace ignore iwork and liwork.
template <typename Routine>
void call_with_workspace(const char* name, Routine routine) {
    const int query = -1;
    double work_reported = 0.0;
    int iwork_reported = 0, info = 0;
    routine(&work_reported, &query, &iwork_reported, &query, &info);
    std::vector<double> work(static_cast<std::size_t>(std::max(1, workspace_size(work_reported))));
    std::vector<int> iwork(static_cast<std::size_t>(std::max(1, iwork_reported)));
    const int lwork = static_cast<int>(work.size()), liwork = static_cast<int>(iwork.size());
    routine(work.data(), &lwork, iwork.data(), &liwork, &info);
    if (info != 0) {
        lapack_failed(name, info);
    }
}

// A symmetric matrix reduced to tridiagonal form: the reflectors that undo the reduction are kept
// in `reflectors` (below the diagonal) and `tau`.
struct Tridiagonal {
    int n;
    Matrix reflectors;
    Vector diagonal, off_diagonal, tau;
};

Tridiagonal reduce_to_tridiagonal(const Matrix& symmetric) {
    const Eigen::Index order = symmetric.rows();
    Tridiagonal t{static_cast<int>(order), symmetric, Vector(order), Vector(order), Vector(order)};
    call_with_workspace("dsytrd", [&](double* work, const int* lwork, int*, const int*, int* info) {
        scipy_dsytrd_("L", &t.n, t.reflectors.data(), &t.n, t.diagonal.data(), t.off_diagonal.data(), t.tau.data(),
                      work, lwork, info, 1);
    });
    return t;
}

// All eigenvalues, ascending.
Vector tridiagonal_eigenvalues(const Tridiagonal& t) {
    Vector values = t.diagonal;
    Vector scratch = t.off_diagonal;
    int info = 0;
    scipy_dsterf_(&t.n, values.data(), scratch.data(), &info);
    if (info != 0) {
        lapack_failed("dsterf", info);
    }
    return values;
}

// The eigenvectors of the `wanted` largest eigenvalues of the tridiagonal matrix, ascending, by
// index from the top of the ascending order; all of them as dsyevr would form them.
Matrix largest_tridiagonal_vectors(const Tridiagonal& t, Eigen::Index wanted) {
    const int n = t.n;
    const char* range = wanted == n ? "A" : "I";
    const int first = n - static_cast<int>(wanted) + 1, last = n;
    const int columns = static_cast<int>(wanted);
    const double unused_bound = 0.0;
    int found = 0, tryrac = 1;
    Vector diagonal = t.diagonal, off_diagonal = t.off_diagonal;  // dstemr overwrites both
    Vector selected(n);
    Matrix z(n, wanted);
    std::vector<int> support(2 * static_cast<std::size_t>(columns));
    call_with_workspace("dstemr", [&](double* work, const int* lwork, int* iwork, const int* liwork, int* info) {
        scipy_dstemr_("V", range, &n, diagonal.data(), off_diagonal.data(), &unused_bound, &unused_bound, &first,
                      &last, &found, selected.data(), z.data(), &n, &columns, support.data(), &tryrac, work, lwork,
                      iwork, liwork, info, 1, 1);
    });
    if (found != columns) {
        throw std::runtime_error("symmetric eigen-decomposition failed: LAPACK dstemr found " + std::to_string(found) +
                                 " of " + std::to_string(columns) + " eigenvectors");
    }
    return z;
}

// Vectors of the tridiagonal matrix turned into vectors of the matrix it was reduced from.
void transform_back(const Tridiagonal& t, Matrix& z) {
    const int columns = static_cast<int>(z.cols());
    call_with_workspace("dormtr", [&](double* work, const int* lwork, int*, const int*, int* info) {
        scipy_dormtr_("L", "L", "N", &t.n, &columns, t.reflectors.data(), &t.n, t.tau.data(), z.data(), &t.n, work,
                      lwork, info, 1, 1, 1);
    });
}

// The eigenvectors of the reduced matrix's `wanted` largest eigenvalues, largest first.
Matrix largest_vectors(const Tridiagonal& t, Eigen::Index wanted) {
    if (wanted == 0) {
        return Matrix(t.n, 0);
    }
    Matrix z = largest_tridiagonal_vectors(t, wanted);
    transform_back(t, z);
    z.rowwise().reverseInPlace();
    return z;
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

void symmetric_eigen_descending(const Matrix& symmetric, const VectorCount& vectors_wanted, Vector& eigenvalues,
                                Matrix& vectors) {
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

    // The reduction to tridiagonal form is done once; all eigenvalues come from it cheaply, and
    // only the vectors that will be used are formed and transformed back, which is most of the
    // cost of a full decomposition.
    const Tridiagonal tridiagonal = reduce_to_tridiagonal(symmetric);
    Vector values = tridiagonal_eigenvalues(tridiagonal);
    values.reverseInPlace();  // LAPACK sorts ascending
    const Eigen::Index wanted = std::min<Eigen::Index>(order, std::max<Eigen::Index>(0, vectors_wanted(values)));
    Matrix z = largest_vectors(tridiagonal, wanted);
    eigenvalues.swap(values);
    vectors.swap(z);
}

}  // namespace mirelo
