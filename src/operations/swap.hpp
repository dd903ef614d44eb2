// Quelt::swap: exchanges the n elements of x with the first n of y.
#pragma once

#include "operations/blas.hpp"

namespace Quelt {

// Always called qualified: for containers of std::complex an unqualified call would also
// find std::swap by argument-dependent lookup.
template <Blas::Contiguous X, Blas::Contiguous Y, typename Section = Blas::Plain>
    requires Blas::SameElements<X, Y>
void swap(X& x, Y& y)
{
    Blas::checkHolds("swap", x.numel(), y.numel());
    Blas::checkApartOrSame("swap", x, y);
    const blasint n = Blas::narrow("swap", x.numel());
    const Section section(n, x, y);
    Blas::swap(n, x.get(), y.get());
}

} // namespace Quelt
