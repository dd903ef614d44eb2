// Quelt::copy: the n elements of x into the first n of y.
#pragma once

#include "operations/blas.hpp"

namespace Quelt {

template <Blas::Contiguous X, Blas::Contiguous Y>
    requires Blas::SameElements<X, Y>
Y& copy(const X& x, Y& y)
{
    Blas::checkHolds("copy", x.numel(), y.numel());
    Blas::checkApartOrSame("copy", x, y);
    Blas::copy(Blas::narrow("copy", x.numel()), x.get(), y.get());
    return y;
}

} // namespace Quelt
