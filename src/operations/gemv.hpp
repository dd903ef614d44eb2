// Quelt::validate_gemv and Quelt::gemv: y := a A x + b y, A a column-major matrix.
#pragma once

#include <stdexcept>
#include <string>

#include "operations/blas.hpp"

namespace Quelt {

// x must have exactly A's columns and y exactly A's rows; a matrix x or y counts its rows.
// A vector or a view has no columns, so it cannot stand as A.
template <Blas::Contiguous T, Blas::Contiguous S, Blas::Contiguous R>
void validate_gemv(const T& A, const S& x, R& y)
{
    if constexpr (!Blas::TwoDimensional<T>) {
        throw std::runtime_error("In gemv expression y = aAx + by, A must be a matrix, not a vector");
    } else {
        if (x.template dim<0>() != A.template dim<1>()) {
            throw std::runtime_error("In gemv expression y = aAx + by, matrix A dimension 1: "
                                     + std::to_string(A.template dim<1>()) + ", doesn't match vector x dimension 0: "
                                     + std::to_string(x.template dim<0>()));
        }
        if (y.template dim<0>() != A.template dim<0>()) {
            throw std::runtime_error("In gemv expression y = aAx + by, matrix A dimension 0: "
                                     + std::to_string(A.template dim<0>()) + ", doesn't match vector y dimension 0: "
                                     + std::to_string(y.template dim<0>()));
        }
    }
}

// Only the first n elements of x and the first m of y take part: the first column of a
// matrix standing as x or y.
template <Blas::Contiguous T, Blas::Contiguous S, Blas::Contiguous R, typename Section = Blas::Plain>
    requires Blas::SameElements<T, S> && Blas::SameElements<T, R>
R& gemv(typename T::SampleType a, typename T::SampleType b, const T& A, const S& x, R& y)
{
    validate_gemv(A, x, y);
    if constexpr (Blas::TwoDimensional<T>) {
        const size_t m = A.template dim<0>();
        const size_t n = A.template dim<1>();
        // A matrix with no columns has rows but no storage: standing as x or y it would send
        // BLAS past its end.
        if (x.numel() < n) {
            throw std::runtime_error("In gemv, x holds " + std::to_string(x.numel()) + " elements, fewer than the "
                                     + std::to_string(n) + " columns of A");
        }
        if (y.numel() < m) {
            throw std::runtime_error("In gemv, y holds " + std::to_string(y.numel()) + " elements, fewer than the "
                                     + std::to_string(m) + " rows of A");
        }
        Blas::checkApart("gemv", "y", y, "A", A);
        Blas::checkApart("gemv", "y", y, "x", x);
        const blasint rows = Blas::narrow("gemv", m);
        const blasint cols = Blas::narrow("gemv", n);
        const blasint lda = Blas::narrow("gemv", Blas::leading(m));
        // BLAS returns at once for a matrix without columns; a A x is then zero and y := b y,
        // as gemm does with an inner size of 0.
        const Section section(double(m) * double(n) + double(m), A, x, y);
        if (cols == 0) {
            Blas::scal(rows, b, y.get());
        } else {
            Blas::gemv(rows, cols, a, A.get(), lda, x.get(), b, y.get());
        }
    }
    return y;
}

} // namespace Quelt
