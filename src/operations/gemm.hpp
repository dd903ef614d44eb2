// Quelt::validate_gemm and Quelt::gemm: Y := a A X + b Y, all three column-major matrices.
#pragma once

#include <stdexcept>
#include <string>

#include "operations/blas.hpp"

namespace Quelt {

// A is M x K, X must be K x N and Y M x N; the first disagreement found is reported.
template <Blas::TwoDimensional T, Blas::TwoDimensional S, Blas::TwoDimensional R>
void validate_gemm(const T& A, const S& X, R& Y)
{
    if (A.template dim<0>() != Y.template dim<0>()) {
        throw std::runtime_error("In gemm expression Y = aAX + bY, matrix A dimension 0: "
                                 + std::to_string(A.template dim<0>()) + ", doesn't match matrix Y dimension 0: "
                                 + std::to_string(Y.template dim<0>()));
    }
    if (X.template dim<1>() != Y.template dim<1>()) {
        throw std::runtime_error("In gemm expression Y = aAX + bY, matrix X dimension 1: "
                                 + std::to_string(X.template dim<1>()) + ", doesn't match matrix Y dimension 1: "
                                 + std::to_string(Y.template dim<1>()));
    }
    if (A.template dim<1>() != X.template dim<0>()) {
        throw std::runtime_error("In gemm expression Y = aAX + bY, matrix A dimension 1: "
                                 + std::to_string(A.template dim<1>()) + ", doesn't match matrix X dimension 0: "
                                 + std::to_string(X.template dim<0>()));
    }
}

template <Blas::TwoDimensional T, Blas::TwoDimensional S, Blas::TwoDimensional R, typename Section = Blas::Plain>
    requires Blas::SameElements<T, S> && Blas::SameElements<T, R>
R& gemm(typename T::SampleType a, typename T::SampleType b, const T& A, const S& X, R& Y)
{
    validate_gemm(A, X, Y);
    const size_t m = A.template dim<0>();
    const size_t n = X.template dim<1>();
    const size_t k = A.template dim<1>();
    Blas::checkApart("gemm", "Y", Y, "A", A);
    Blas::checkApart("gemm", "Y", Y, "X", X);
    const blasint rows = Blas::narrow("gemm", m);
    const blasint cols = Blas::narrow("gemm", n);
    const blasint inner = Blas::narrow("gemm", k);
    const blasint lda = Blas::narrow("gemm", Blas::leading(m));
    const blasint ldx = Blas::narrow("gemm", Blas::leading(X.template dim<0>()));
    const blasint ldy = Blas::narrow("gemm", Blas::leading(Y.template dim<0>()));
    const Section section(double(m) * double(n) * double(k), A, X, Y);
    Blas::gemm(rows, cols, inner, a, A.get(), lda, X.get(), ldx, b, Y.get(), ldy);
    return Y;
}

} // namespace Quelt
