// Instances of the module's classes keep the class they were made with.
//
// pybind11 gives every class one instance layout, so Python would let `v.__class__ = viewd`
// through, and a vector's storage would then be read as a view's (or a model's). Python moves
// an object between two classes only when their layouts agree up to a common base; each class
// here ends one pointer past that base instead, so no two of them, nor any Python subclasses of
// two of them, agree, whichever way the assignment is made (object.__setattr__, the
// descriptor). The classes' own attribute setter refuses the plain assignment first, with a
// message that names it.
#pragma once

#include <pybind11/pybind11.h>

namespace Quelt::Python {

namespace fixedClass {

// The setter each class had before, per C++ type.
template <typename C>
inline setattrofunc inheritedSetattro = nullptr;

template <typename C>
int setAttribute(PyObject* self, PyObject* name, PyObject* value)
{
    // Deleting __class__ is left to Python, which refuses it with its own message.
    if (value != nullptr && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__class__") == 0) {
        PyErr_Format(PyExc_TypeError, "__class__ of a %s object cannot be reassigned", Py_TYPE(self)->tp_name);
        return -1;
    }
    return inheritedSetattro<C>(self, name, value);
}

} // namespace fixedClass

// Called once per class, right after pybind11 has made it and before any instance or subclass
// of it exists. The extra pointer is allocated with each instance and never used; pybind11
// grows a class the same way when it gives its instances a dictionary.
template <typename C>
void fixClassOfInstances(pybind11::handle cls)
{
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_basicsize += static_cast<Py_ssize_t>(sizeof(PyObject*));
    fixedClass::inheritedSetattro<C> = type->tp_setattro;
    type->tp_setattro = &fixedClass::setAttribute<C>;
}

} // namespace Quelt::Python
