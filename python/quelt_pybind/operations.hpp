// The module-level operations: each overload, and the skeleton that fixes where it stands.
//
// pybind11 tries the overloads of one name in the order they were registered and lists them
// in that order in docstrings and TypeErrors, so the loop nesting below is behaviour.
//
// Section is what each overload runs its BLAS or LAPACK call inside (Blas::Plain, nothing, for
// queltcore; quelt's releases the interpreter lock): every module registered from here has the
// same overloads in the same order, with the same signatures, docstrings and refusals.
#pragma once

#include <pybind11/complex.h>
#include <pybind11/pybind11.h>

#include "operations/axpy.hpp"
#include "operations/copy.hpp"
#include "operations/dot.hpp"
#include "operations/gemm.hpp"
#include "operations/gemv.hpp"
#include "operations/ls.hpp"
#include "operations/matmul.hpp"
#include "operations/matvec.hpp"
#include "operations/scale.hpp"
#include "operations/sum.hpp"
#include "operations/swap.hpp"
#include "overloads.hpp"
#include "types.hpp"

namespace Quelt::Python {

// Destinations come back as references: pybind11 finds the object that already wraps the
// referenced container and returns it, so `scale(2.0, v) is v`.

// queltcore's entries leave everything to pybind11's machinery; see EntryPath.
template <typename Section>
inline constexpr auto entryPath
    = std::is_same_v<Section, Blas::Plain> ? dispatch::EntryPath::Generic : dispatch::EntryPath::Direct;

template <typename Section, typename X>
void defScale(pybind11::module_& m)
{
    defOverload<entryPath<Section>>(m, "scale", "scale an object", &Quelt::scale<X, Section>);
}

template <typename Section, typename X, typename Y>
void defLevel1(pybind11::module_& m)
{
    defOverload<entryPath<Section>>(m, "sum", "add objects", &Quelt::sum<X, Y, Section>);
    defOverload<entryPath<Section>>(m, "dot", "dot product", &Quelt::dot<X, Y, Section>);
    defOverload<entryPath<Section>>(m, "copy", "copy an object into another", &Quelt::copy<X, Y, Section>);
    defOverload<entryPath<Section>>(m, "swap", "swap objects into another", &Quelt::swap<X, Y, Section>);
    defOverload<entryPath<Section>>(m, "axpy", "axpy objects", &Quelt::axpy<X, Y, Section>);
}

template <typename Section, typename X, typename Y>
void defHdot(pybind11::module_& m)
{
    defOverload<entryPath<Section>>(m, "hdot", "hermetian dot product", &Quelt::hdot<X, Y, Section>);
}

template <typename Section, typename X, typename Y>
void defLs(pybind11::module_& m)
{
    defOverload<entryPath<Section>>(m, "ls", "ls", &Quelt::ls<X, Y, Section>);
}

template <typename Section, typename X, typename Y, typename Z>
void defMatrixProducts(pybind11::module_& m)
{
    defOverload<entryPath<Section>>(m, "gemm", "gemm", &Quelt::gemm<X, Y, Z, Section>);
    defOverload<entryPath<Section>>(m, "matmul", "matmul", &Quelt::matmul<X, Y, Z, Section>);
}

// Registered for every kind of A; a vector or a view as A is refused when called.
template <typename Section, typename X, typename Y, typename Z>
void defVectorProducts(pybind11::module_& m)
{
    defOverload<entryPath<Section>>(m, "matvec", "matvec", &Quelt::matvec<X, Y, Z, Section>);
    defOverload<entryPath<Section>>(m, "gemv", "gemv", &Quelt::gemv<X, Y, Z, Section>);
}

template <typename T, typename Section = Blas::Plain>
void registerOperations(pybind11::module_& m)
{
    constexpr auto containers = containerSet<T>;
    hana::for_each(containers, [&](auto hanaContainer0) {
        using X = typename decltype(hanaContainer0)::type;
        defScale<Section, X>(m);
        hana::for_each(containers, [&](auto hanaContainer1) {
            using Y = typename decltype(hanaContainer1)::type;
            defLevel1<Section, X, Y>(m);
            if constexpr (isComplex<T>) {
                defHdot<Section, X, Y>(m);
            }
            if constexpr (isMatrix<X>) {
                defLs<Section, X, Y>(m);
            }
            hana::for_each(containers, [&](auto hanaContainer2) {
                using Z = typename decltype(hanaContainer2)::type;
                constexpr bool mat_mat_mat = isMatrix<X> && isMatrix<Y> && isMatrix<Z>;
                if constexpr (mat_mat_mat) {
                    defMatrixProducts<Section, X, Y, Z>(m);
                }
                defVectorProducts<Section, X, Y, Z>(m);
            });
        });
    });
}

// Each element type's overloads are compiled in a translation unit of their own, per section.
#define QUELT_EXTERN_OPERATIONS(Section)                                                           \
    extern template void registerOperations<float, Section>(pybind11::module_&);                   \
    extern template void registerOperations<double, Section>(pybind11::module_&);                  \
    extern template void registerOperations<std::complex<float>, Section>(pybind11::module_&);     \
    extern template void registerOperations<std::complex<double>, Section>(pybind11::module_&);
QUELT_EXTERN_OPERATIONS(Blas::Plain)

} // namespace Quelt::Python
