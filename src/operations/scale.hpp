// Quelt::scale: x := alpha x, in place.
#pragma once

#include "operations/blas.hpp"

namespace Quelt {

template <Blas::Contiguous X, typename Section = Blas::Plain>
X& scale(typename X::SampleType alpha, X& x)
{
    const blasint n = Blas::narrow("scale", x.numel());
    const Section section(n, x);
    Blas::scal(n, alpha, x.get());
    return x;
}

} // namespace Quelt
