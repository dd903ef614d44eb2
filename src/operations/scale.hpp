// Quelt::scale: x := alpha x, in place.
#pragma once

#include "operations/blas.hpp"

namespace Quelt {

template <Blas::Contiguous X>
X& scale(typename X::SampleType alpha, X& x)
{
    Blas::scal(Blas::narrow("scale", x.numel()), alpha, x.get());
    return x;
}

} // namespace Quelt
