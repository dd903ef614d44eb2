// Argument conversion of the container and model classes: pybind11's own, minus
// uninitialised instances; and of real scalars: pybind11's own, minus complex numbers.
//
// `vecs.__new__(vecs)` makes an object whose constructor never ran. pybind11 would hand such
// an object to a method or an operation as a container (or model) made of freshly allocated,
// unset memory, whose counts and pointers are garbage. Every such argument is refused
// instead, with a TypeError, before anything reads it.
#pragma once

#include <string>

#include <pybind11/pybind11.h>

#include "types/Matrix.hpp"
#include "types/Vector.hpp"
#include "types/VectorView.hpp"

namespace Quelt::Onnx {
class Model;
}

namespace Quelt::Python {

// Throws TypeError when src is an instance of the class whose constructor never ran.
inline void refuseUninitialised(pybind11::handle src, const pybind11::detail::type_info* typeinfo)
{
    if (src && typeinfo && PyType_IsSubtype(Py_TYPE(src.ptr()), typeinfo->type)) {
        auto* inst = reinterpret_cast<pybind11::detail::instance*>(src.ptr());
        auto holder = inst->get_value_and_holder(typeinfo, /*throw_if_missing=*/false);
        if (holder.inst != nullptr && !holder.holder_constructed()) {
            throw pybind11::type_error(std::string(Py_TYPE(src.ptr())->tp_name) + " object is not initialised");
        }
    }
}

// The caster of every class whose instances methods read: the container and model classes
// here, and the quelt package's own classes.
template <typename X>
class ContainerCaster : public pybind11::detail::type_caster_base<X> {
public:
    bool load(pybind11::handle src, bool convert)
    {
        refuseUninitialised(src, this->typeinfo);
        return pybind11::detail::type_caster_base<X>::load(src, convert);
    }
};

// A complex number in any form: complex and its subclasses, and values registered as
// numbers.Complex but not numbers.Real (as NumPy's complex64 scalar is). Exact floats and ints
// are answered without the abstract classes' look-up. An error raised by a class's own
// __instancecheck__ is the caller's: it is thrown on.
inline bool isComplexNumber(PyObject* value)
{
    if (PyComplex_Check(value)) {
        return true;
    }
    if (PyFloat_Check(value) || PyLong_Check(value)) {
        return false;
    }
    // Looked up once and kept for the life of the process, as the module's classes are.
    static PyObject* const numbers = PyImport_ImportModule("numbers");
    static PyObject* const complexClass = numbers ? PyObject_GetAttrString(numbers, "Complex") : nullptr;
    static PyObject* const realClass = numbers ? PyObject_GetAttrString(numbers, "Real") : nullptr;
    if (complexClass == nullptr || realClass == nullptr) {
        throw pybind11::error_already_set();
    }
    const int isComplex = PyObject_IsInstance(value, complexClass);
    if (isComplex < 0) {
        throw pybind11::error_already_set();
    }
    if (isComplex == 0) {
        return false;
    }
    const int isReal = PyObject_IsInstance(value, realClass);
    if (isReal < 0) {
        throw pybind11::error_already_set();
    }
    return isReal == 0;
}

} // namespace Quelt::Python

namespace pybind11::detail {

// pybind11's caster of a real scalar would read a complex number through its __float__, which
// drops the imaginary part (and warns, for NumPy's scalars). Such a value does not match, as
// `1j` does not; everything else converts as pybind11 converts it (through its long double
// caster, whose logic is the double one and whose value holds every double exactly).
template <typename T>
class QueltRealCaster {
public:
    bool load(pybind11::handle src, bool convert)
    {
        if (!src || Quelt::Python::isComplexNumber(src.ptr())) {
            return false;
        }
        type_caster<long double> inner;
        if (!inner.load(src, convert)) {
            return false;
        }
        value = T(static_cast<long double>(inner));
        return true;
    }
    static pybind11::handle cast(T src, pybind11::return_value_policy, pybind11::handle)
    {
        return PyFloat_FromDouble(double(src));
    }
    PYBIND11_TYPE_CASTER(T, const_name("float"));
};

template <>
class type_caster<float> : public QueltRealCaster<float> {};
template <>
class type_caster<double> : public QueltRealCaster<double> {};

template <typename T>
class type_caster<Quelt::Vector<T>> : public Quelt::Python::ContainerCaster<Quelt::Vector<T>> {};
template <typename T>
class type_caster<Quelt::VectorView<T>> : public Quelt::Python::ContainerCaster<Quelt::VectorView<T>> {};
template <typename T>
class type_caster<Quelt::Matrix<T>> : public Quelt::Python::ContainerCaster<Quelt::Matrix<T>> {};
template <>
class type_caster<Quelt::Onnx::Model> : public Quelt::Python::ContainerCaster<Quelt::Onnx::Model> {};

} // namespace pybind11::detail
