// Quelt::copy: the n elements of x into the first n of y.
#pragma once

#include "operations/blas.hpp"

namespace Quelt {

template <Blas::Contiguous X, Blas::Contiguous Y, typename Section = Blas::Plain>
    requires Blas::SameElements<X, Y>
Y& copy(const X& x, Y& y)
{
    Blas::checkHolds("copy", x.numel(), y.numel());
    Blas::checkApartOrSame("copy", x, y);
    const blasint n = Blas::narrow("copy", x.numel());
    const Section section(n, x, y);
    Blas::copy(n, x.get(), y.get());
    return y;
}

} // namespace Quelt
