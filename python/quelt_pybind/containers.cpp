// The container classes vec<letter>, view<letter> and mat<letter>: constructors, element
// access, slicing into views, dimensions and rendering.
#include "containers.hpp"

#include <sstream>
#include <string>

#include <pybind11/complex.h>
#include <pybind11/stl.h>

#include "fixed_class.hpp"
#include "operations/show.hpp"
#include "types.hpp"

namespace py = pybind11;

namespace Quelt::Python {
namespace {

template <typename X>
std::string render(const X& x)
{
    std::stringstream output;
    show(x, output);
    return output.str();
}

// A vector or a view has the single dimension 0.
template <typename X>
size_t vectorDim(const X& x, size_t idx)
{
    if (idx != 0) {
        throw std::runtime_error("dimension " + std::to_string(idx) + " invalid for vector");
    }
    return x.numel();
}

// Python resolves the slice; only a unit step can be a window onto contiguous storage.
// A step read as unsigned exceeds 1 for every step but 1, negative ones included.
template <typename X>
VectorView<typename X::SampleType> slice(const X& x, const py::slice& s)
{
    size_t start = 0, stop = 0, step = 0, length = 0;
    if (!s.compute(x.numel(), &start, &stop, &step, &length)) {
        throw py::error_already_set();
    }
    if (step > 1) {
        throw std::runtime_error("stepsizes larger than 1 invalid for vector");
    }
    return x[std::pair{start, stop}];
}

// The methods of the vector and view classes that follow the constructor.
template <typename X, typename Class>
void defineVectorMethods(Class& cls)
{
    using T = typename X::SampleType;
    // Methods take self by reference: bound as member pointers, pybind11 would let None
    // through as a null self.
    cls.def("numel", [](const X& x) { return x.numel(); })
        .def("dim", &vectorDim<X>)
        .def("__getitem__", [](const X& x, size_t idx) -> T { return x[idx]; })
        .def("__getitem__", &slice<X>)
        .def("__setitem__", [](X& x, size_t idx, T value) { x[idx] = value; })
        .def("__repr__", &render<X>);
}

template <typename T>
void defineMatrixMethods(py::class_<Matrix<T>>& cls)
{
    using M = Matrix<T>;
    using Index = std::pair<size_t, size_t>;
    cls.def(py::init<size_t, size_t>())
        .def("dim",
             [](const M& x, size_t idx) -> size_t {
                 switch (idx) {
                 case 0: return x.template dim<0>();
                 case 1: return x.template dim<1>();
                 default: throw std::runtime_error("dimension " + std::to_string(idx) + " invalid for matrix");
                 }
             })
        .def("numel", [](const M& x) { return x.numel(); })
        .def("__getitem__", [](const M& x, Index idx) -> T { return x[idx]; })
        .def("__setitem__", [](M& x, Index idx, T value) { x[idx] = value; })
        .def("__repr__", &render<M>);
}

template <typename Pair>
void registerContainersOf(py::module_& m, Pair typeAndLetter)
{
    using T = typename decltype(+hana::first(typeAndLetter))::type;
    constexpr auto postfix = hana::second(typeAndLetter);
    constexpr auto vecname = BOOST_HANA_STRING("vec") + postfix;
    constexpr auto vecviewname = BOOST_HANA_STRING("view") + postfix;
    constexpr auto matname = BOOST_HANA_STRING("mat") + postfix;

    // All three classes exist before any method is defined, so that a vector's slice
    // signature names the view class rather than the C++ type.
    py::class_<Vector<T>> vector(m, hana::to<const char*>(vecname));
    py::class_<VectorView<T>> view(m, hana::to<const char*>(vecviewname));
    py::class_<Matrix<T>> matrix(m, hana::to<const char*>(matname));
    fixClassOfInstances<Vector<T>>(vector);
    fixClassOfInstances<VectorView<T>>(view);
    fixClassOfInstances<Matrix<T>>(matrix);

    vector.def(py::init<size_t>());
    defineVectorMethods<Vector<T>>(vector);
    defineVectorMethods<VectorView<T>>(view);
    defineMatrixMethods<T>(matrix);
}

} // namespace

void registerContainers(py::module_& m)
{
    hana::for_each(typeSet, [&](auto typeAndLetter) { registerContainersOf(m, typeAndLetter); });
}

} // namespace Quelt::Python
