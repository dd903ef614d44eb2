// The operation skeleton: where each module-level overload stands in registration order.
//
// pybind11 tries the overloads of one name in the order they were registered and lists them
// in that order in docstrings and TypeErrors, so the loop nesting below is behaviour.
#pragma once

#include <pybind11/pybind11.h>

#include "types.hpp"

namespace Quelt::Python {

template <typename T>
void registerOperations(pybind11::module_& m)
{
    constexpr auto containers = containerSet<T>;
    hana::for_each(containers, [&](auto hanaContainer0) {
        using X = typename decltype(hanaContainer0)::type;
        // scale (alpha, X)
        hana::for_each(containers, [&](auto hanaContainer1) {
            using Y = typename decltype(hanaContainer1)::type;
            // sum, dot, copy, swap, axpy (X, Y); hdot when T is complex; ls when X is a matrix
            hana::for_each(containers, [&](auto hanaContainer2) {
                using Z = typename decltype(hanaContainer2)::type;
                constexpr bool mat_mat_mat = isMatrix<X> && isMatrix<Y> && isMatrix<Z>;
                // gemm, matmul when mat_mat_mat; then matvec, gemv (X, Y, Z)
                (void)mat_mat_mat;
            });
        });
    });
    (void)m;
}

// Each element type's overloads are compiled in a translation unit of their own.
extern template void registerOperations<float>(pybind11::module_&);
extern template void registerOperations<double>(pybind11::module_&);
extern template void registerOperations<std::complex<float>>(pybind11::module_&);
extern template void registerOperations<std::complex<double>>(pybind11::module_&);

} // namespace Quelt::Python
