// Quelt::axpy: y := alpha x + y over the n elements of x.
#pragma once

#include "operations/blas.hpp"

namespace Quelt {

template <Blas::Contiguous X, Blas::Contiguous Y, typename Section = Blas::Plain>
    requires Blas::SameElements<X, Y>
Y& axpy(typename X::SampleType alpha, const X& x, Y& y)
{
    using T = typename X::SampleType;
    Blas::checkHolds("axpy", x.numel(), y.numel());
    Blas::checkApartOrSame("axpy", x, y);
    const blasint n = Blas::narrow("axpy", x.numel());
    const Section section(n, x, y);
    // x and y the very same elements: a complex axpy kernel writes an element's real part
    // before it reads that element's real part again for the imaginary one. y := (1 + alpha) y
    // is the same result from a routine that reads each element once.
    if constexpr (Blas::ComplexElement<T>) {
        if (Blas::sameElements(x, y)) {
            Blas::scal(n, T(1) + alpha, y.get());
            return y;
        }
    }
    Blas::axpy(n, alpha, x.get(), y.get());
    return y;
}

} // namespace Quelt
