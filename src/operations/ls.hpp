// Quelt::ls: the least-squares (or minimum-norm) solution of A x = b through gels, in place.
#pragma once

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>
#include <string>

#include "operations/blas.hpp"

namespace Quelt {

namespace detail {

template <typename T>
bool isNan(const T& value)
{
    if constexpr (Blas::ComplexElement<T>) {
        return std::isnan(value.real()) || std::isnan(value.imag());
    } else {
        return std::isnan(value);
    }
}

template <typename T>
bool isInfinite(const T& value)
{
    if constexpr (Blas::ComplexElement<T>) {
        return std::isinf(value.real()) || std::isinf(value.imag());
    } else {
        return std::isinf(value);
    }
}

// An operand that holds NaN is reported as holding NaN, whatever else it holds: the
// message LAPACKE's own screening gives.
template <typename T>
void checkFinite(const char* what, const T* values, size_t count)
{
    bool infinite = false;
    for (size_t i = 0; i < count; ++i) {
        if (isNan(values[i])) {
            throw std::runtime_error("In ls, " + std::string(what) + " contains NaN");
        }
        infinite = infinite || isInfinite(values[i]);
    }
    if (infinite) {
        throw std::runtime_error("In ls, " + std::string(what) + " contains an infinity");
    }
}

} // namespace detail

// B holds b in its first m elements on entry and x in its first n on return. A's elements are
// replaced by its QR (m >= n) or LQ (m < n) factorisation.
template <Blas::TwoDimensional T, Blas::Contiguous S, typename Section = Blas::Plain>
    requires Blas::SameElements<T, S>
void ls(const T& A, S& B)
{
    const size_t m = A.template dim<0>();
    const size_t n = A.template dim<1>();
    const size_t needed = std::max(m, n);
    if (B.numel() < needed) {
        throw std::runtime_error("In ls, b holds " + std::to_string(B.numel()) + " elements, fewer than the "
                                 + std::to_string(needed) + " that a " + std::to_string(m) + " x "
                                 + std::to_string(n) + " system needs");
    }
    Blas::checkApart("ls", "b", B, "A", A);
    const blasint rows = Blas::narrow("ls", m);
    const blasint cols = Blas::narrow("ls", n);
    const blasint lda = Blas::narrow("ls", Blas::leading(m));
    const blasint ldb = Blas::narrow("ls", Blas::leading(needed));
    // LAPACKE screens for NaN only; an infinity would pass as a rank deficiency or come back
    // as a NaN solution. The elements it screens are screened here first, in its order.
    detail::checkFinite("matrix A", A.get(), A.numel());
    detail::checkFinite("b", B.get(), needed);

    // A QR or LQ factorisation of an m x n matrix costs about m n min(m, n) multiply-adds.
    lapack_int status = 0;
    {
        const Section section(double(m) * double(n) * double(std::min(m, n)), A, B);
        status = Blas::gels(rows, cols, A.get(), lda, B.get(), ldb);
    }
    if (status == 0) {
        return;
    }
    // A zero on the diagonal of the triangular factor: gels stops with A factored and B
    // partly transformed, so what B holds is not a solution.
    if (status > 0) {
        throw std::runtime_error("In ls, matrix A does not have full rank; b holds no solution");
    }
    // LAPACKE's NaN screening reports the argument's position and touches nothing.
    if (status == -6) {
        throw std::runtime_error("In ls, matrix A contains NaN");
    }
    if (status == -8) {
        throw std::runtime_error("In ls, b contains NaN");
    }
    // LAPACKE could not allocate its workspace: nothing was touched.
    if (status == LAPACK_WORK_MEMORY_ERROR || status == LAPACK_TRANSPOSE_MEMORY_ERROR) {
        throw std::bad_alloc();
    }
    throw std::runtime_error("In ls, LAPACKE rejected argument " + std::to_string(-status));
}

} // namespace Quelt
