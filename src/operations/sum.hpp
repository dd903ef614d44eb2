// Quelt::sum: y := x + y, which is axpy with one (and reports its refusals as axpy).
#pragma once

#include "operations/axpy.hpp"

namespace Quelt {

template <Blas::Contiguous X, Blas::Contiguous Y, typename Section = Blas::Plain>
    requires Blas::SameElements<X, Y>
Y& sum(const X& x, Y& y)
{
    return Quelt::axpy<X, Y, Section>(typename X::SampleType(1), x, y);
}

} // namespace Quelt
