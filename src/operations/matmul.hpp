// Quelt::matmul: Y := A X + Y, which is gemm with a = b = 1 (and reports its refusals as gemm).
#pragma once

#include "operations/gemm.hpp"

namespace Quelt {

template <Blas::TwoDimensional T, Blas::TwoDimensional S, Blas::TwoDimensional R, typename Section = Blas::Plain>
    requires Blas::SameElements<T, S> && Blas::SameElements<T, R>
R& matmul(const T& A, const S& X, R& Y)
{
    using E = typename T::SampleType;
    return Quelt::gemm<T, S, R, Section>(E(1), E(1), A, X, Y);
}

} // namespace Quelt
