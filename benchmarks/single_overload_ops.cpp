// The operation floors of one element type, picked at build time by QUELT_FLOOR_TYPE_INDEX
// (0 to 3: s, d, c, z). Each function is named after its operation and the classes of its
// container arguments, as in gemv_matd_vecd_viewd, and calls the very function queltcore
// registers for that overload, with the same argument conversion.
#include <complex>
#include <string>
#include <tuple>

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
// The module's own container casters and type lists.
#include "types.hpp"

#include "single_overload.hpp"

namespace QueltBench {
namespace {

namespace py = pybind11;
namespace hana = boost::hana;
using Quelt::Python::containerSet;
using Quelt::Python::isComplex;
using Quelt::Python::isMatrix;

template <typename T>
const char* letterOf()
{
    if constexpr (std::is_same_v<T, float>) {
        return "s";
    } else if constexpr (std::is_same_v<T, double>) {
        return "d";
    } else if constexpr (std::is_same_v<T, std::complex<float>>) {
        return "c";
    } else {
        return "z";
    }
}

template <typename C>
std::string className()
{
    using T = typename C::SampleType;
    if constexpr (isMatrix<C>) {
        return std::string("mat") + letterOf<T>();
    } else if constexpr (std::is_same_v<C, Quelt::VectorView<T>>) {
        return std::string("view") + letterOf<T>();
    } else {
        return std::string("vec") + letterOf<T>();
    }
}

template <typename... C>
std::string nameOf(const char* operation)
{
    std::string name(operation);
    ((name += '_', name += className<C>()), ...);
    return name;
}

template <typename F>
void def(py::module_& m, const std::string& name, F f)
{
    m.def(name.c_str(), f);
}

} // namespace

template <typename T>
void registerOperationFloors(py::module_& m)
{
    constexpr auto containers = containerSet<T>;
    hana::for_each(containers, [&](auto c0) {
        using X = typename decltype(c0)::type;
        def(m, nameOf<X>("scale"), &Quelt::scale<X>);
        hana::for_each(containers, [&](auto c1) {
            using Y = typename decltype(c1)::type;
            def(m, nameOf<X, Y>("sum"), &Quelt::sum<X, Y>);
            def(m, nameOf<X, Y>("dot"), &Quelt::dot<X, Y>);
            def(m, nameOf<X, Y>("copy"), &Quelt::copy<X, Y>);
            def(m, nameOf<X, Y>("swap"), &Quelt::swap<X, Y>);
            def(m, nameOf<X, Y>("axpy"), &Quelt::axpy<X, Y>);
            if constexpr (isComplex<T>) {
                def(m, nameOf<X, Y>("hdot"), &Quelt::hdot<X, Y>);
            }
            if constexpr (isMatrix<X>) {
                def(m, nameOf<X, Y>("ls"), &Quelt::ls<X, Y>);
            }
            hana::for_each(containers, [&](auto c2) {
                using Z = typename decltype(c2)::type;
                if constexpr (isMatrix<X> && isMatrix<Y> && isMatrix<Z>) {
                    def(m, nameOf<X, Y, Z>("gemm"), &Quelt::gemm<X, Y, Z>);
                    def(m, nameOf<X, Y, Z>("matmul"), &Quelt::matmul<X, Y, Z>);
                }
                def(m, nameOf<X, Y, Z>("matvec"), &Quelt::matvec<X, Y, Z>);
                def(m, nameOf<X, Y, Z>("gemv"), &Quelt::gemv<X, Y, Z>);
            });
        });
    });
}

using FloorTypes = std::tuple<float, double, std::complex<float>, std::complex<double>>;
template void registerOperationFloors<std::tuple_element_t<QUELT_FLOOR_TYPE_INDEX, FloorTypes>>(py::module_&);

} // namespace QueltBench
