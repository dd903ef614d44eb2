// Argument conversion of the container and model classes: pybind11's own, minus
// uninitialised instances.
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

} // namespace Quelt::Python

namespace pybind11::detail {

template <typename T>
class type_caster<Quelt::Vector<T>> : public Quelt::Python::ContainerCaster<Quelt::Vector<T>> {};
template <typename T>
class type_caster<Quelt::VectorView<T>> : public Quelt::Python::ContainerCaster<Quelt::VectorView<T>> {};
template <typename T>
class type_caster<Quelt::Matrix<T>> : public Quelt::Python::ContainerCaster<Quelt::Matrix<T>> {};
template <>
class type_caster<Quelt::Onnx::Model> : public Quelt::Python::ContainerCaster<Quelt::Onnx::Model> {};

} // namespace pybind11::detail
