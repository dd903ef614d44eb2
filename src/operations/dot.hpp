// Quelt::dot (sum of x[i] y[i]) and Quelt::hdot (sum of conj(x[i]) y[i], complex only).
#pragma once

#include "operations/blas.hpp"

namespace Quelt {

template <Blas::Contiguous X, Blas::Contiguous Y>
    requires Blas::SameElements<X, Y>
typename X::SampleType dot(const X& x, Y& y)
{
    Blas::checkHolds("dot", x.numel(), y.numel());
    return Blas::dot(Blas::narrow("dot", x.numel()), x.get(), y.get());
}

template <Blas::Contiguous X, Blas::Contiguous Y>
    requires Blas::SameElements<X, Y> && Blas::ComplexElement<typename X::SampleType>
typename X::SampleType hdot(const X& x, Y& y)
{
    Blas::checkHolds("hdot", x.numel(), y.numel());
    return Blas::hdot(Blas::narrow("hdot", x.numel()), x.get(), y.get());
}

} // namespace Quelt
