// Quelt::matvec: y := A x + y, which is gemv with a = b = 1 (and reports its refusals as gemv).
#pragma once

#include "operations/gemv.hpp"

namespace Quelt {

template <Blas::Contiguous T, Blas::Contiguous S, Blas::Contiguous R, typename Section = Blas::Plain>
    requires Blas::SameElements<T, S> && Blas::SameElements<T, R>
R& matvec(const T& A, const S& x, R& y)
{
    using E = typename T::SampleType;
    return Quelt::gemv<T, S, R, Section>(E(1), E(1), A, x, y);
}

} // namespace Quelt
