// quelt.Tensor's Python face (elements, lists, repr, buffer export) and quelt.tensor.
#include "tensor.hpp"

#include <algorithm>
#include <cstring>

#include <pybind11/stl.h>

#include "buffer_exporter.hpp"
#include "buffer_format.hpp"
#include "convert.hpp"
#include "fixed_class.hpp"
#include "type_name.hpp"

namespace py = pybind11;

namespace Quelt::Python {

using Onnx::Tensor;
using Onnx::TypeDesc;
using namespace tensors;

namespace tensors {
pybind11::detail::type_info* tensorType = nullptr;
} // namespace tensors

namespace {

py::object nestedList(const Tensor& tensor, size_t depth, size_t& index)
{
    if (depth == tensor.shape().size()) {
        return elementObject(tensor, index++);
    }
    py::list items(size_t(tensor.shape()[depth]));
    for (size_t i = 0; i < size_t(tensor.shape()[depth]); ++i) {
        items[i] = nestedList(tensor, depth + 1, index);
    }
    return items;
}

py::object toList(const Tensor& tensor)
{
    size_t index = 0;
    return nestedList(tensor, 0, index);
}

std::string tensorRepr(const Tensor& tensor)
{
    constexpr size_t shown = 6;
    std::string values;
    // Each value's text shortened too, so that long strings keep it short.
    constexpr size_t longest = 40;
    for (size_t i = 0; i < std::min(tensor.numel(), shown); ++i) {
        std::string text = py::repr(elementObject(tensor, i)).cast<std::string>();
        if (text.size() > longest) {
            size_t cut = longest - 3;
            while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
                --cut; // not inside a character's UTF-8 bytes
            }
            text = text.substr(0, cut) + "...";
        }
        values += (i ? ", " : "") + text;
    }
    if (tensor.numel() > shown) {
        values += ", ...";
    }
    return "quelt.Tensor(" + nameOf(tensor.type()) + ", shape=" + shapeText(tensor.shape()) + ", [" + values + "])";
}

// The shape and strides an exported buffer points at, freed when the export ends.
struct Layout {
    std::vector<Py_ssize_t> shape, strides;
};

int getBuffer(PyObject* self, Py_buffer* view, int flags)
{
    try {
        const TensorPtr* held = tensorOf(self);
        if (!held) {
            PyErr_SetString(PyExc_BufferError, "not a quelt.Tensor");
            return -1;
        }
        const TensorPtr& tensor = *held;
        if (tensor->isString()) {
            PyErr_SetString(PyExc_BufferError, "a string tensor exports no buffer");
            return -1;
        }
        // Row-major memory is also Fortran-ordered when at most one dimension exceeds 1.
        if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS
            && std::count_if(tensor->shape().begin(), tensor->shape().end(), [](int64_t d) { return d > 1; }) > 1) {
            PyErr_SetString(PyExc_BufferError, "a tensor's memory is row-major, not Fortran-ordered");
            return -1;
        }
        auto layout = std::make_unique<Layout>();
        const Py_ssize_t itemsize = Py_ssize_t(tensor->itemSize());
        layout->shape.assign(tensor->shape().begin(), tensor->shape().end());
        layout->strides = rowMajorStrides(layout->shape, itemsize);
        fillView(view, self, flags, tensor->data(), Py_ssize_t(tensor->byteCount()), itemsize,
                 Onnx::findElementType(tensor->type())->format, layout->shape, layout->strides);
        view->internal = layout.release();
        return 0;
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_BufferError, error.what());
        return -1;
    }
}

void releaseBuffer(PyObject*, Py_buffer* view) { delete static_cast<Layout*>(view->internal); }

std::optional<ONNXTensorElementDataType> dtypeArgument(const py::object& dtype)
{
    if (dtype.is_none()) {
        return std::nullopt;
    }
    if (!py::isinstance<py::str>(dtype)) {
        typeError("dtype must be an element type name, got " + typeNameOf(dtype));
    }
    const auto name = dtype.cast<std::string>();
    const ElementInfo* entry = findElement(name);
    if (!entry) {
        valueError("unknown dtype '" + name + "'; the element types are " + elementNames());
    }
    return Onnx::onnxType(entry->code);
}

// quelt.tensor's shape: a sequence of ints, each from 0 to int64's largest.
std::vector<int64_t> shapeArgument(const py::object& shape)
{
    const auto refuse = [](const std::string& got) { typeError("quelt.tensor: shape must be a sequence of ints, got " + got); };
    if (!PySequence_Check(shape.ptr()) || PyUnicode_Check(shape.ptr()) || PyBytes_Check(shape.ptr())) {
        refuse(typeNameOf(shape));
    }
    py::object items = py::reinterpret_steal<py::object>(PySequence_Tuple(shape.ptr()));
    if (!items) {
        throw py::error_already_set();
    }
    std::vector<int64_t> sizes;
    for (py::handle dim : items) {
        if (PyFloat_Check(dim.ptr()) || !PyIndex_Check(dim.ptr())) {
            refuse("an item of type " + typeNameOf(dim));
        }
        const auto [index, size, overflow] = indexValue(dim.ptr());
        if (overflow > 0) {
            valueError("quelt.tensor: shape " + py::repr(shape).cast<std::string>() + " has a size beyond int64");
        }
        if (overflow < 0 || size < 0) {
            valueError("quelt.tensor: shape " + py::repr(shape).cast<std::string>() + " has a negative size");
        }
        sizes.push_back(size);
    }
    Onnx::elementCount(sizes);
    return sizes;
}

TensorPtr makeTensor(py::handle data, const py::object& dtype, const py::object& shape)
{
    const auto element = dtypeArgument(dtype);
    std::optional<std::vector<int64_t>> wanted;
    if (!shape.is_none()) {
        wanted = shapeArgument(shape);
    }
    TensorPtr tensor = tensorFrom(data, element, "quelt.tensor");
    if (wanted && *wanted != tensor->shape()) {
        if (Onnx::elementCount(*wanted) != tensor->numel()) {
            valueError("quelt.tensor: shape " + shapeText(*wanted) + " holds " + std::to_string(Onnx::elementCount(*wanted))
                       + " elements, the data " + std::to_string(tensor->numel()));
        }
        tensor = copyOfTensor(*tensor, tensor->type(), *wanted);
    }
    return tensor;
}

} // namespace

void registerTensor(py::module_& m)
{
    py::class_<Tensor, TensorPtr> cls(m, "Tensor", py::buffer_protocol(),
                                      "A dense row-major tensor: a run's result or a copy made by quelt.tensor.");
    fixClassOfInstances<Tensor>(cls);
    // Exports of its own rather than pybind11's: C-contiguous, writable, and the formats of
    // every element type, with a clear refusal for strings.
    auto* heap = reinterpret_cast<PyHeapTypeObject*>(cls.ptr());
    heap->as_buffer.bf_getbuffer = getBuffer;
    heap->as_buffer.bf_releasebuffer = releaseBuffer;
    tensorType = py::detail::get_type_info(typeid(Tensor));
    cls.def_property_readonly("dtype", [](const Tensor& t) { return nameOf(t.type()); }, "The element type's name.")
        .def_property_readonly(
            "shape", [](const Tensor& t) { return py::tuple(py::cast(t.shape())); }, "The dimensions.")
        .def("tolist", &toList, "The elements as nested lists (the bare value for rank 0).")
        .def("__len__",
             [](const Tensor& t) {
                 if (t.shape().empty()) {
                     throw py::type_error("len() of a rank-0 tensor");
                 }
                 return size_t(t.shape()[0]);
             })
        .def("__repr__", &tensorRepr);
    m.def("tensor", &makeTensor, py::arg("data"), py::arg("dtype") = py::none(), py::arg("shape") = py::none(),
          "An owning quelt.Tensor holding a copy of data (any feed value).");
}

} // namespace Quelt::Python
