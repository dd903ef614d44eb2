// Quelt::dot (sum of x[i] y[i]) and Quelt::hdot (sum of conj(x[i]) y[i], complex only).
#pragma once

#include "operations/blas.hpp"

namespace Quelt {

template <Blas::Contiguous X, Blas::Contiguous Y, typename Section = Blas::Plain>
    requires Blas::SameElements<X, Y>
typename X::SampleType dot(const X& x, Y& y)
{
    Blas::checkHolds("dot", x.numel(), y.numel());
    const blasint n = Blas::narrow("dot", x.numel());
    const Section section(n, x, y);
    return Blas::dot(n, x.get(), y.get());
}

template <Blas::Contiguous X, Blas::Contiguous Y, typename Section = Blas::Plain>
    requires Blas::SameElements<X, Y> && Blas::ComplexElement<typename X::SampleType>
typename X::SampleType hdot(const X& x, Y& y)
{
    Blas::checkHolds("hdot", x.numel(), y.numel());
    const blasint n = Blas::narrow("hdot", x.numel());
    const Section section(n, x, y);
    return Blas::hdot(n, x.get(), y.get());
}

} // namespace Quelt
