// The BLAS and LAPACKE boundary: one thin overload per element type that calls the routine of
// its letter, and the checks every operation makes before it hands storage to one of them.
#pragma once

#include <algorithm>
#include <complex>
#include <concepts>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <cblas.h>

// std::complex has the layout of LAPACK's complex types; with it the element storage passes
// to gels as it is. The casts below keep that true if lapacke.h was included first.
#ifndef lapack_complex_float
#define lapack_complex_float std::complex<float>
#endif
#ifndef lapack_complex_double
#define lapack_complex_double std::complex<double>
#endif
#include <lapacke.h>

namespace Quelt::Blas {

// Counts cross the boundary as 32-bit signed integers, to CBLAS and LAPACKE alike.
static_assert(std::is_same_v<blasint, lapack_int> && sizeof(blasint) == 4,
              "the BLAS and LAPACKE integers must both be 32 bits wide");

// What an operation needs of a container: numel() elements from get() with increment 1.
template <typename C>
concept Contiguous = requires(const C& c) {
    typename C::SampleType;
    { c.get() } -> std::same_as<typename C::SampleType*>;
    { c.numel() } -> std::convertible_to<size_t>;
};

// A matrix: the only kind with a second dimension.
template <typename C>
concept TwoDimensional = Contiguous<C> && requires(const C& c) {
    { c.template dim<1>() } -> std::convertible_to<size_t>;
};

template <typename X, typename Y>
concept SameElements = std::same_as<typename X::SampleType, typename Y::SampleType>;

template <typename T>
concept ComplexElement = std::same_as<T, std::complex<float>> || std::same_as<T, std::complex<double>>;

// The checks made before any storage is handed over: when one throws, nothing has been read
// or written. An operation checks shapes and lengths first, then that what it writes shares no
// element with another operand, then narrows every count.

inline constexpr size_t limit = static_cast<size_t>(std::numeric_limits<blasint>::max());

inline blasint narrow(const char* name, size_t value)
{
    if (value > limit) {
        throw std::runtime_error("In " + std::string(name) + ", size " + std::to_string(value)
                                 + " exceeds the BLAS limit of " + std::to_string(limit));
    }
    return static_cast<blasint>(value);
}

// BLAS and LAPACK refuse a leading dimension of 0, and say so on standard output, even when
// the matrix has no rows and the call would do nothing.
inline size_t leading(size_t rows)
{
    return std::max<size_t>(1, rows);
}

// A level-1 routine takes n from x and would run past a shorter y's storage.
inline void checkHolds(const char* name, size_t n, size_t m)
{
    if (m < n) {
        throw std::runtime_error("In " + std::string(name) + ", y holds " + std::to_string(m)
                                 + " elements, fewer than the " + std::to_string(n) + " elements of x");
    }
}

// Where a container's elements lie: the storage block they belong to and the positions
// [start, start + count) they take in it.
struct Extent {
    const void* storage;
    size_t start;
    size_t count;
};

template <Contiguous C>
Extent extentOf(const C& c)
{
    return {c.m_data.get(), static_cast<size_t>(c.get() - c.m_data.get()), c.numel()};
}

// Empty ranges share no element, wherever they sit.
inline bool overlap(const Extent& a, const Extent& b)
{
    if (a.storage != b.storage || a.count == 0 || b.count == 0) {
        return false;
    }
    return a.start <= b.start ? b.start - a.start < a.count : a.start - b.start < b.count;
}

inline bool sameElements(const Extent& a, const Extent& b)
{
    return a.storage == b.storage && a.start == b.start && a.count == b.count;
}

// A routine that writes one operand while it reads another gives no defined result when the
// two share elements: it may read what it has already overwritten. Such calls are refused
// before anything is handed over.
template <Contiguous W, Contiguous R>
void checkApart(const char* name, const char* written, const W& w, const char* other, const R& r)
{
    if (overlap(extentOf(w), extentOf(r))) {
        throw std::runtime_error("In " + std::string(name) + ", " + written + " overlaps " + other);
    }
}

// The element-wise operations take one window as both x and y: element i of y then depends
// on element i of x alone (complex axpy sees to its kernel itself). Any other overlap is refused.
template <Contiguous X, Contiguous Y>
void checkApartOrSame(const char* name, const X& x, const Y& y)
{
    if (!sameElements(extentOf(x), extentOf(y))) {
        checkApart(name, "y", y, "x", x);
    }
}

template <Contiguous X, Contiguous Y>
bool sameElements(const X& x, const Y& y)
{
    return sameElements(extentOf(x), extentOf(y));
}

// What an operation's routine call runs inside: an operation makes one once every check has
// passed, from the call's work (multiply-adds, or elements for level 1) and its operands, and
// drops it when the routine has returned, before anything may throw. This one adds nothing;
// quelt's bindings give one that lets other Python threads run meanwhile.
struct Plain {
    template <Contiguous... C>
    explicit constexpr Plain(double /*work*/, const C&... /*operands*/) noexcept
    {
    }
};

// Level 1. Complex scalars and results travel by address; the parameter or local holding
// one is what CBLAS reads or writes.

inline void scal(blasint n, float alpha, float* x)
{
    cblas_sscal(n, alpha, x, 1);
}
inline void scal(blasint n, double alpha, double* x)
{
    cblas_dscal(n, alpha, x, 1);
}
inline void scal(blasint n, std::complex<float> alpha, std::complex<float>* x)
{
    cblas_cscal(n, &alpha, x, 1);
}
inline void scal(blasint n, std::complex<double> alpha, std::complex<double>* x)
{
    cblas_zscal(n, &alpha, x, 1);
}

inline void axpy(blasint n, float alpha, const float* x, float* y)
{
    cblas_saxpy(n, alpha, x, 1, y, 1);
}
inline void axpy(blasint n, double alpha, const double* x, double* y)
{
    cblas_daxpy(n, alpha, x, 1, y, 1);
}
inline void axpy(blasint n, std::complex<float> alpha, const std::complex<float>* x, std::complex<float>* y)
{
    cblas_caxpy(n, &alpha, x, 1, y, 1);
}
inline void axpy(blasint n, std::complex<double> alpha, const std::complex<double>* x, std::complex<double>* y)
{
    cblas_zaxpy(n, &alpha, x, 1, y, 1);
}

inline void copy(blasint n, const float* x, float* y)
{
    cblas_scopy(n, x, 1, y, 1);
}
inline void copy(blasint n, const double* x, double* y)
{
    cblas_dcopy(n, x, 1, y, 1);
}
inline void copy(blasint n, const std::complex<float>* x, std::complex<float>* y)
{
    cblas_ccopy(n, x, 1, y, 1);
}
inline void copy(blasint n, const std::complex<double>* x, std::complex<double>* y)
{
    cblas_zcopy(n, x, 1, y, 1);
}

inline void swap(blasint n, float* x, float* y)
{
    cblas_sswap(n, x, 1, y, 1);
}
inline void swap(blasint n, double* x, double* y)
{
    cblas_dswap(n, x, 1, y, 1);
}
inline void swap(blasint n, std::complex<float>* x, std::complex<float>* y)
{
    cblas_cswap(n, x, 1, y, 1);
}
inline void swap(blasint n, std::complex<double>* x, std::complex<double>* y)
{
    cblas_zswap(n, x, 1, y, 1);
}

inline float dot(blasint n, const float* x, const float* y)
{
    return cblas_sdot(n, x, 1, y, 1);
}
inline double dot(blasint n, const double* x, const double* y)
{
    return cblas_ddot(n, x, 1, y, 1);
}
inline std::complex<float> dot(blasint n, const std::complex<float>* x, const std::complex<float>* y)
{
    std::complex<float> result(0, 0);
    cblas_cdotu_sub(n, x, 1, y, 1, &result);
    return result;
}
inline std::complex<double> dot(blasint n, const std::complex<double>* x, const std::complex<double>* y)
{
    std::complex<double> result(0, 0);
    cblas_zdotu_sub(n, x, 1, y, 1, &result);
    return result;
}

inline std::complex<float> hdot(blasint n, const std::complex<float>* x, const std::complex<float>* y)
{
    std::complex<float> result(0, 0);
    cblas_cdotc_sub(n, x, 1, y, 1, &result);
    return result;
}
inline std::complex<double> hdot(blasint n, const std::complex<double>* x, const std::complex<double>* y)
{
    std::complex<double> result(0, 0);
    cblas_zdotc_sub(n, x, 1, y, 1, &result);
    return result;
}

// Level 2: y := a A x + b y, A column-major m x n, unit increments.

inline void gemv(blasint m, blasint n, float a, const float* A, blasint lda, const float* x, float b, float* y)
{
    cblas_sgemv(CblasColMajor, CblasNoTrans, m, n, a, A, lda, x, 1, b, y, 1);
}
inline void gemv(blasint m, blasint n, double a, const double* A, blasint lda, const double* x, double b,
                 double* y)
{
    cblas_dgemv(CblasColMajor, CblasNoTrans, m, n, a, A, lda, x, 1, b, y, 1);
}
inline void gemv(blasint m, blasint n, std::complex<float> a, const std::complex<float>* A, blasint lda,
                 const std::complex<float>* x, std::complex<float> b, std::complex<float>* y)
{
    cblas_cgemv(CblasColMajor, CblasNoTrans, m, n, &a, A, lda, x, 1, &b, y, 1);
}
inline void gemv(blasint m, blasint n, std::complex<double> a, const std::complex<double>* A, blasint lda,
                 const std::complex<double>* x, std::complex<double> b, std::complex<double>* y)
{
    cblas_zgemv(CblasColMajor, CblasNoTrans, m, n, &a, A, lda, x, 1, &b, y, 1);
}

// Level 3: Y := a A X + b Y, all column-major, A m x k, X k x n, Y m x n.

inline void gemm(blasint m, blasint n, blasint k, float a, const float* A, blasint lda, const float* X,
                 blasint ldx, float b, float* Y, blasint ldy)
{
    cblas_sgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, m, n, k, a, A, lda, X, ldx, b, Y, ldy);
}
inline void gemm(blasint m, blasint n, blasint k, double a, const double* A, blasint lda, const double* X,
                 blasint ldx, double b, double* Y, blasint ldy)
{
    cblas_dgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, m, n, k, a, A, lda, X, ldx, b, Y, ldy);
}
inline void gemm(blasint m, blasint n, blasint k, std::complex<float> a, const std::complex<float>* A,
                 blasint lda, const std::complex<float>* X, blasint ldx, std::complex<float> b,
                 std::complex<float>* Y, blasint ldy)
{
    cblas_cgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, m, n, k, &a, A, lda, X, ldx, &b, Y, ldy);
}
inline void gemm(blasint m, blasint n, blasint k, std::complex<double> a, const std::complex<double>* A,
                 blasint lda, const std::complex<double>* X, blasint ldx, std::complex<double> b,
                 std::complex<double>* Y, blasint ldy)
{
    cblas_zgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, m, n, k, &a, A, lda, X, ldx, &b, Y, ldy);
}

// Least squares through gels, no transpose, one right-hand side; the status is returned.

inline lapack_int gels(lapack_int m, lapack_int n, float* A, lapack_int lda, float* b, lapack_int ldb)
{
    return LAPACKE_sgels(LAPACK_COL_MAJOR, 'N', m, n, 1, A, lda, b, ldb);
}
inline lapack_int gels(lapack_int m, lapack_int n, double* A, lapack_int lda, double* b, lapack_int ldb)
{
    return LAPACKE_dgels(LAPACK_COL_MAJOR, 'N', m, n, 1, A, lda, b, ldb);
}
inline lapack_int gels(lapack_int m, lapack_int n, std::complex<float>* A, lapack_int lda, std::complex<float>* b,
                       lapack_int ldb)
{
    return LAPACKE_cgels(LAPACK_COL_MAJOR, 'N', m, n, 1, reinterpret_cast<lapack_complex_float*>(A), lda,
                         reinterpret_cast<lapack_complex_float*>(b), ldb);
}
inline lapack_int gels(lapack_int m, lapack_int n, std::complex<double>* A, lapack_int lda,
                       std::complex<double>* b, lapack_int ldb)
{
    return LAPACKE_zgels(LAPACK_COL_MAJOR, 'N', m, n, 1, reinterpret_cast<lapack_complex_double*>(A), lda,
                         reinterpret_cast<lapack_complex_double*>(b), ldb);
}

} // namespace Quelt::Blas
